// Driver: the write queue and the XOFF counter. writeQueue takes flushes and
// XOFF-counter requests in order: a flush completes once it reaches the head
// and the writes accepted before it have ended (driver/io/flush.h);
// an XOFF counter first sends its XoffChar on the dedicated transmitter, then
// leaves the queue and counts received characters until its count, its
// time-out, a cancel or a later write or counter ends it. The dispatch
// routine, TzSerialFlush, is in driver/core/dispatch.h.
#pragma once

#include "driver/core/device_context.h"

// writeQueueRefs: who holds the write queue's current request.
constexpr ULONG WriteQueueHeldByTransmit = 0x1;
constexpr ULONG WriteQueueHeldByCancel = 0x2;
constexpr ULONG WriteQueueHeldByTimer = 0x4;
// A transfer of the transmitter points into the request's buffer: the request
// is not completed (its buffer freed) until the transfer is back.
constexpr ULONG WriteQueueHeldBySend = 0x8;
// xoffRefs: who holds the current XOFF counter.
constexpr ULONG XoffHeldByCount = 0x1;
constexpr ULONG XoffHeldByCancel = 0x2;
constexpr ULONG XoffHeldByTimer = 0x4;

// writeQueue's start routine, DISPATCH_LEVEL.
TzSerialStartRoutine TzSerialWriteQueueStart;
// The transmitter's transfer for the current request is back, or never went:
// it lets go of the request (WriteQueueHeldBySend). When every character of
// the request has gone out the request moves on; when it was cancelled or
// timed out meanwhile, it completes now if nothing else holds it. Called with
// the transmitter idle again (queuedSendBusy 0), controlLock not held.
void TzSerialWriteQueueSendOver(DeviceContext* context);
DRIVER_CANCEL TzSerialWriteQueueCancel;
KDEFERRED_ROUTINE TzSerialWriteQueueTimeoutDpc;

DRIVER_CANCEL TzSerialXoffCancel;
KDEFERRED_ROUTINE TzSerialXoffTimeoutDpc;
KDEFERRED_ROUTINE TzSerialXoffCountedDpc;

// Counts received characters against the current XOFF counter; at its count
// the counter is due to complete with STATUS_SUCCESS. controlLock held.
void TzSerialXoffCount(DeviceContext* context, ULONG received);

// A write has started: the counting XOFF counter (and one waiting to count)
// ends. Returns the first request to complete with STATUS_SERIAL_MORE_WRITES
// once the lock is released and stores a second in *another (or null).
// controlLock held.
PIRP TzSerialXoffSupersedeLocked(DeviceContext* context, PIRP* another);

// A counter whose XoffChar went out (its cancel routine set) takes over:
// the counting one ends as for a write (same return convention), and the new
// one counts at once or, while the earlier one is still ending, next.
// controlLock held.
PIRP TzSerialXoffInstallLocked(DeviceContext* context, PIRP irp, PIRP* another);

// Cleanup: ends the current and any waiting XOFF counter as cancelled.
// controlLock not held, IRQL <= DISPATCH_LEVEL.
void TzSerialXoffCancelAll(DeviceContext* context);
