// Driver: bulk-out transmission. A block of bytes leaves on the bulk-out pipe
// as one or more transfers that point into the request's own buffer (never a
// copy), followed by a zero-length packet when the block ends exactly on a
// packet boundary. Writes use their own IRP each; the write queue's one
// transmission at a time uses the device's dedicated IRP; XON/XOFF and the
// immediate character go out on transfers of their own.
#pragma once

#include "driver/io/write.h"

// Sends a write whose turn it is, piece by piece from nextChunk; the last
// piece's completion ends its transmission through TzSerialWriteFinish, as
// does every failure. DISPATCH_LEVEL.
NTSTATUS TzSerialBulkOutSend(DeviceContext* context, WriteContext* write);
IO_COMPLETION_ROUTINE TzSerialBulkOutComplete;

// Transmits txQueuedLength bytes from txQueuedBuffer for the write queue's
// current request on the dedicated IRP; STATUS_SUCCESS without sending when it
// is already busy, a transmit hold is set or there is nothing to send.
// IRQL <= DISPATCH_LEVEL.
NTSTATUS TzSerialQueuedSend(DeviceContext* context);
IO_COMPLETION_ROUTINE TzSerialQueuedSendComplete;

// Whether a block of total bytes needs a zero-length packet after it.
BOOLEAN TzSerialNeedsZeroLengthPacket(const DeviceContext* context, ULONG total);

// The bulk-out pipe's handle; null while the adapter has none configured.
// IRQL <= DISPATCH_LEVEL, controlLock not held.
USBD_PIPE_HANDLE TzSerialBulkOutPipe(DeviceContext* context);

// Fills a bulk-out URB (zeroed first) for length bytes at buffer.
void TzSerialFillBulkOutUrb(DeviceContext* context, PURB urb, PVOID buffer, ULONG length);

// Sends a driver-owned IRP carrying urb to lowerDevice, with completion as
// its completion routine for every outcome.
NTSTATUS TzSerialSendUrbIrp(DeviceContext* context, PIRP irp, PURB urb, PIO_COMPLETION_ROUTINE completion,
                            PVOID completionContext);

// Queues the control-character transmitter: an XOFF or XON that is due, then
// the immediate character, each ahead of writes not yet on the bus. Called
// with controlLock held (or not), any IRQL <= DISPATCH_LEVEL.
void TzSerialControlCharKick(DeviceContext* context);
KDEFERRED_ROUTINE TzSerialControlCharDpc;

// The transfer carrying the immediate character, pinned so that a cancel or
// time-out can still cancel it once controlLock is released (null when the
// character is not on the bus). controlLock held.
PVOID TzSerialPinImmediateTransferLocked(DeviceContext* context);
// Cancels a pinned transfer and drops the pin. controlLock not held.
void TzSerialCancelPinnedTransfer(DeviceContext* context, PVOID pinned);
// Cancels whichever control character is on the bus; an immediate character
// still waiting for the bus ends as cancelled. controlLock not held.
void TzSerialCancelControlChars(DeviceContext* context);
