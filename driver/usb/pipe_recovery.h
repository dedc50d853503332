// Driver: recovery of the readers' pipes. A bulk-in or status transfer that
// fails with a pipe error (a stall, a halted endpoint, a transaction error)
// leaves its pipe halted; as the USB client guidance asks, the pipe is reset
// at PASSIVE_LEVEL from a work item, once no transfer is left on it, and the
// reader is started again: a bounded number of attempts, each after a pause.
// A device that is gone, a port that closes or powers down, ends it.
#pragma once

#include "driver/core/device_context.h"

// The pipes that recover (pipeRecovery bits; index in recoveryAttempts).
constexpr ULONG PipeRecoveryBulkIn = 0x1;
constexpr ULONG PipeRecoveryStatus = 0x2;
// Resets in a row that may not help before a pipe is left halted.
constexpr ULONG TzSerialPipeRecoveryAttempts = 5;

// Whether a reader's failed transfer is a pipe error, for a port that is
// open, started and powered: not a cancel, not a busy device (retried as it
// is), not a device that is gone. Any IRQL; no lock.
BOOLEAN TzSerialIsPipeError(DeviceContext* context, NTSTATUS status, USBD_STATUS usbdStatus);

// A pipe error on the pipe: its recovery begins (after a pause that grows
// with each attempt) unless it is under way already or its attempts are
// spent. While it is under way the pipe's reader sends nothing more.
// controlLock held (DISPATCH_LEVEL); the caller holds an outstanding-request
// count.
void TzSerialPipeRecoveryBeginLocked(DeviceContext* context, ULONG pipe);

// A transfer on the pipe succeeded: its attempts start afresh. controlLock held.
void TzSerialPipeRecoverySucceededLocked(DeviceContext* context, ULONG pipe);

// Whether the pipe's recovery is under way. controlLock held.
inline bool TzSerialPipeRecovering(const DeviceContext* context, ULONG pipe) {
  return (context->pipeRecovery & pipe) != 0;
}

KDEFERRED_ROUTINE TzSerialPipeRecoveryDpc;
