// Driver: bulk-in reception. Eight transfers are kept in flight on the bulk-in
// pipe while the port is open; each completed transfer's bytes go to the
// receive buffer in the order the transfers were sent, and the transfer goes
// straight back down. A pipe error stops them all until the pipe has been
// reset (driver/usb/pipe_recovery.h), which starts them again.
#pragma once

#include "driver/core/device_context.h"

// Sends the slot's transfer unless it is already in flight (then
// STATUS_SUCCESS and nothing is sent). Refusals leave the slot idle, ready for
// the next start: STATUS_DELETE_PENDING when the device is gone or the system
// is not working, STATUS_INSUFFICIENT_RESOURCES without the slot's IRP, URB
// or buffer, STATUS_INVALID_DEVICE_STATE without a bulk-in pipe, or the hold
// queue's refusal. Otherwise the status of sending
// (STATUS_PENDING when another context sends it). IRQL <= DISPATCH_LEVEL.
NTSTATUS TzSerialBulkInSubmit(DeviceContext* context, ULONG slot);

// Starts reception: submits slots 0 to 7 in this order, ignoring the results.
// IRQL <= DISPATCH_LEVEL.
void TzSerialBulkInStart(DeviceContext* context);

// Cancels every slot's transfer in flight. Waits for nothing: each slot's
// bulkInDone is set once its completion has been handled. IRQL <= DISPATCH_LEVEL.
void TzSerialBulkInCancelAll(DeviceContext* context);

// The completion routine of every slot transfer (context: the DeviceContext;
// the IRP names the slot). Returns STATUS_MORE_PROCESSING_REQUIRED: the IRPs are the driver's.
IO_COMPLETION_ROUTINE TzSerialBulkInComplete;

// Sends the transfers one context left pending when it had sent its share.
KDEFERRED_ROUTINE TzSerialBulkInSendDpc;
