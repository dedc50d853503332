// Driver: read requests. Reads go one at a time through readQueue; the current
// read takes what the ring holds, then becomes the read target until it is
// filled, its total or interval time-out expires, or it is cancelled. The
// party that drops the last hold on it (readRefs) completes it. The dispatch
// routine, TzSerialRead, is in driver/core/dispatch.h.
#pragma once

#include "driver/core/device_context.h"

// readRefs: who still holds the current read.
constexpr ULONG ReadRefData = 0x1;           // the receive path may still fill it
constexpr ULONG ReadRefCancel = 0x2;         // its cancel routine is set
constexpr ULONG ReadRefTotalTimer = 0x4;     // readTotalTimer is set
constexpr ULONG ReadRefIntervalTimer = 0x8;  // readIntervalTimer is set

// readEndReason: why the current read ended; any other value is the interval
// mark (0 = no byte seen yet).
constexpr LONG ReadEndCancelled = -1;
constexpr LONG ReadEndTotalTimeout = -2;
constexpr LONG ReadEndFilled = -3;

// readQueue's start routine, DISPATCH_LEVEL. A read completes at once or
// becomes the current read, pending.
TzSerialStartRoutine TzSerialReadStart;

// Ends direct filling of the current read: its Information becomes the bytes
// placed, the target reverts to the (empty) ring, ReadRefData is dropped.
// Nothing when no read is the target. controlLock held.
void TzSerialReadTargetRelease(DeviceContext* context);

// The cancel routine of the current read.
DRIVER_CANCEL TzSerialReadCancel;

// How a cancelled read ends. Its bytes have left the ring, and the I/O
// manager copies a buffered read's bytes back only for a status that is not
// an error: a read holding bytes ends successfully with them, one holding
// none as cancelled.
inline NTSTATUS TzSerialReadCancelledStatus(PIRP irp) {
  return irp->IoStatus.Information ? STATUS_SUCCESS : STATUS_CANCELLED;
}

// DPC routines (context: the DeviceContext). TzSerialReadFilledDpc also runs
// directly from the receive path once it filled the read, with controlLock
// released, at DISPATCH_LEVEL.
KDEFERRED_ROUTINE TzSerialReadFilledDpc;
KDEFERRED_ROUTINE TzSerialReadTotalTimeoutDpc;
KDEFERRED_ROUTINE TzSerialReadIntervalDpc;
