// Driver: bulk-out transfers of writes and of the write queue. The first
// transfer of a block carries at most maxWriteTransferSize bytes, every later
// one at most maxTransferSize; a short acceptance is counted as it is and the
// rest of that chunk is not sent again.
#include "driver/usb/bulk_out.h"

#include "driver/core/globals.h"
#include "driver/io/write_queue.h"
#include "driver/pnp/usb_config.h"
#include "driver/usb/status_pipe.h"

namespace {

// What the write queue's transmission carries to its completion routine.
struct TzSerialQueuedSendRecord {
  DeviceContext* context;
  PUCHAR nextChunk;
  ULONG unsent;
  ULONG sent;
  PURB urb;
  PIRP irp;
  UCHAR zeroLengthPending;
};
constexpr SIZE_T TzSerialQueuedSendRecordSize = 80;
static_assert(sizeof(TzSerialQueuedSendRecord) <= TzSerialQueuedSendRecordSize, "the record fits its block");

ULONG TzSerialReturnedLength(PURB urb) { return urb->UrbBulkOrInterruptTransfer.TransferBufferLength; }

// The next piece of a block, or its zero-length packet: TRUE when one was
// sent again on irp, FALSE when the block is done.
BOOLEAN TzSerialSendNextPiece(DeviceContext* context, PIRP irp, PURB urb, PUCHAR* nextChunk, ULONG* unsent,
                              UCHAR* zeroLengthPending, PIO_COMPLETION_ROUTINE completion, PVOID record) {
  ULONG chunk;
  if (*unsent) {
    chunk = *unsent < TzSerialGlobals.maxTransferSize ? *unsent : TzSerialGlobals.maxTransferSize;
  } else if (*zeroLengthPending) {
    *zeroLengthPending = 0;
    chunk = 0;
  } else {
    return FALSE;
  }
  TzSerialFillBulkOutUrb(context, urb, *nextChunk, chunk);
  *unsent -= chunk;
  *nextChunk += chunk;
  TzSerialSendUrbIrp(context, irp, urb, completion, record);
  return TRUE;
}

ULONG TzSerialFirstChunk(ULONG length) {
  return length < TzSerialGlobals.maxWriteTransferSize ? length : TzSerialGlobals.maxWriteTransferSize;
}

void TzSerialCountTransmitted(DeviceContext* context, ULONG sent) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  context->perfStats.TransmittedCount += sent;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
}

}  // namespace

BOOLEAN TzSerialNeedsZeroLengthPacket(const DeviceContext* context, ULONG total) {
  ULONG packet = context->bulkOutMaxPacketSize;
  return total != 0 && packet != 0 && total % packet == 0 &&
         !(TzSerialGlobals.staticSetting & StaticSettingNoZeroLengthPacket);
}

USBD_PIPE_HANDLE TzSerialBulkOutPipe(DeviceContext* context) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  USBD_PIPE_HANDLE pipe = TzSerialPipeHandle(context, context->dataInterfaceNumber, context->bulkOutPipeIndex);
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  return pipe;
}

void TzSerialFillBulkOutUrb(DeviceContext* context, PURB urb, PVOID buffer, ULONG length) {
  USBD_PIPE_HANDLE pipe = TzSerialBulkOutPipe(context);
  struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &urb->UrbBulkOrInterruptTransfer;
  RtlZeroMemory(transfer, TzSerialUrbSize);
  transfer->Hdr.Length = TzSerialUrbSize;
  transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer->PipeHandle = pipe;
  transfer->TransferFlags = 0;  // out, short transfers not allowed
  transfer->TransferBufferLength = length;
  transfer->TransferBuffer = buffer;
}

NTSTATUS TzSerialSendUrbIrp(DeviceContext* context, PIRP irp, PURB urb, PIO_COMPLETION_ROUTINE completion,
                            PVOID completionContext) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, completion, completionContext, TRUE, TRUE, TRUE);
  return IoCallDriver(context->lowerDevice, irp);
}

// ---- writes ----

namespace {

// Sends the write's next piece from nextChunk: at most the first-transfer cap
// for the first piece of its data, maxTransferSize for a later one, then its
// zero-length packet. FALSE when nothing is left to send.
BOOLEAN TzSerialWriteSendPiece(DeviceContext* context, WriteContext* write) {
  bool first = write->nextChunk == write->data;
  ULONG cap = first ? TzSerialGlobals.maxWriteTransferSize : TzSerialGlobals.maxTransferSize;
  ULONG chunk = write->unsent < cap ? write->unsent : cap;
  if (!chunk && !write->zeroLengthPending) return FALSE;
  if (!chunk) write->zeroLengthPending = 0;
  TzSerialFillBulkOutUrb(context, write->urb(), write->nextChunk, chunk);
  write->pieceLength = chunk;
  write->nextChunk += chunk;
  write->unsent -= chunk;
  TzSerialSendUrbIrp(context, write->bulkIrp, write->urb(), TzSerialBulkOutComplete, write);
  return TRUE;
}

// The write's transmission is over: it lets go, SERIAL_EV_TXEMPTY is raised
// and its hold-queue admission released. The write may be completed and
// freed (with its bulk IRP) by the finish; the device stays for the steps
// after it on a count of their own.
void TzSerialBulkOutWriteOver(DeviceContext* context, WriteContext* write, NTSTATUS status) {
  InterlockedIncrement(&context->outstandingIo);
  TzSerialWriteFinish(write, status);
  TzSerialSignalWaitEvent(context, SERIAL_EV_TXEMPTY);
  TzSerialHoldQueueRelease(&context->holdQueue);
  TzSerialIoDecrement(context);
}

}  // namespace

NTSTATUS TzSerialBulkOutSend(DeviceContext* context, WriteContext* write) {
  PIRP irp = write->bulkIrp ? write->bulkIrp : IoAllocateIrp(context->lowerDevice->StackSize, FALSE);
  if (!irp) {
    TzSerialWriteFinish(write, STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoReuseIrp(irp, STATUS_SUCCESS);
  if (write->nextChunk == write->data) write->zeroLengthPending = TzSerialNeedsZeroLengthPacket(context, write->length);

  // Cancelled or timed out before the transfer existed: it never goes out.
  if (!TzSerialWriteAttachTransfer(write, irp)) {
    TzSerialWriteFinish(write, STATUS_CANCELLED);
    return STATUS_CANCELLED;
  }
  NTSTATUS status = TzSerialBulkOutPipe(context) ? TzSerialHoldQueueAcquire(&context->holdQueue)
                                                 : STATUS_INVALID_DEVICE_STATE;
  if (status != STATUS_SUCCESS) {
    TzSerialWriteFinish(write, status);
    return status;
  }
  // A write a recall held back after the bus had taken all of its data has
  // nothing left to send.
  if (!TzSerialWriteSendPiece(context, write)) TzSerialBulkOutWriteOver(context, write, STATUS_SUCCESS);
  return STATUS_PENDING;
}

NTSTATUS TzSerialBulkOutComplete(PDEVICE_OBJECT, PIRP irp, PVOID completionContext) {
  auto write = static_cast<WriteContext*>(completionContext);
  DeviceContext* context = write->context;
  NTSTATUS status = irp->IoStatus.Status;
  // What the bus took counts however the transfer ended; a device never
  // confirms more than it was offered.
  ULONG taken = TzSerialReturnedLength(write->urb());
  if (taken > write->pieceLength) taken = write->pieceLength;
  write->sent += taken;
  TzSerialCountTransmitted(context, taken);
  switch (TzSerialWritePieceDone(write, status, taken)) {
    case PieceNext:
      TzSerialWriteSendPiece(context, write);
      break;
    case PieceParked:
      // Held back: its admission goes until it is sent again.
      InterlockedIncrement(&context->outstandingIo);
      TzSerialHoldQueueRelease(&context->holdQueue);
      TzSerialWriteTransmitNext(context);
      TzSerialIoDecrement(context);
      break;
    case PieceLast:
      TzSerialBulkOutWriteOver(context, write, status);
      break;
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---- the write queue's transmission ----

NTSTATUS TzSerialQueuedSend(DeviceContext* context) {
  if (InterlockedExchange(&context->queuedSendBusy, 1)) return STATUS_SUCCESS;
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  PUCHAR buffer = context->txQueuedBuffer;
  // Held back: it goes once the transmit holds are gone.
  ULONG length = context->txHolding ? 0 : context->txQueuedLength;
  // The URB will point into the request's buffer: the request stays until
  // the transfer is back.
  if (length) context->writeQueueRefs |= WriteQueueHeldBySend;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  if (length == 0) {
    InterlockedExchange(&context->queuedSendBusy, 0);
    return STATUS_SUCCESS;
  }
  auto record = static_cast<TzSerialQueuedSendRecord*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, TzSerialQueuedSendRecordSize, TzSerialPoolTag));
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (record && context->queuedSendIrp && context->queuedSendUrb) {
    IoReuseIrp(context->queuedSendIrp, STATUS_SUCCESS);
    ULONG chunk = TzSerialFirstChunk(length);
    TzSerialFillBulkOutUrb(context, context->queuedSendUrb, buffer, chunk);
    *record = {context,
               buffer + chunk,
               length - chunk,
               0,
               context->queuedSendUrb,
               context->queuedSendIrp,
               UCHAR(TzSerialNeedsZeroLengthPacket(context, length))};
    status = context->queuedSendUrb->UrbBulkOrInterruptTransfer.PipeHandle ? TzSerialHoldQueueAcquire(&context->holdQueue)
                                                                           : STATUS_INVALID_DEVICE_STATE;
  }
  if (status == STATUS_SUCCESS) {
    // A cancel or time-out that came before IoReuseIrp had its cancel of the
    // transfer wiped by it: the request gave up its transmission, so none goes.
    oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
    if (!(context->writeQueueRefs & WriteQueueHeldByTransmit) || !context->txQueuedLength) status = STATUS_CANCELLED;
    KeReleaseSpinLock(&context->controlLock, oldIrql);
    if (status != STATUS_SUCCESS) TzSerialHoldQueueRelease(&context->holdQueue);
  }
  if (status != STATUS_SUCCESS) {
    // Nothing went: the request is left to its timer or a cancel.
    if (record) ExFreePoolWithTag(record, TzSerialPoolTag);
    InterlockedExchange(&context->queuedSendBusy, 0);
    TzSerialWriteQueueSendOver(context);
    return status;
  }
  TzSerialTxAliveAdd(context);
  return TzSerialSendUrbIrp(context, record->irp, record->urb, TzSerialQueuedSendComplete, record);
}

// The transfer holds its request (WriteQueueHeldBySend), so the request is
// the write queue's current one until TzSerialWriteQueueSendOver.
NTSTATUS TzSerialQueuedSendComplete(PDEVICE_OBJECT, PIRP irp, PVOID completionContext) {
  auto record = static_cast<TzSerialQueuedSendRecord*>(completionContext);
  DeviceContext* context = record->context;
  NTSTATUS status = irp->IoStatus.Status;
  ULONG taken = NT_SUCCESS(status) ? TzSerialReturnedLength(record->urb) : 0;
  record->sent += taken;

  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  bool givenUp = !(context->writeQueueRefs & WriteQueueHeldByTransmit);
  if (!givenUp) context->txQueuedLength -= taken < context->txQueuedLength ? taken : context->txQueuedLength;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  // A cancel landing from here on marks the IRP, and the bus refuses it.
  if (NT_SUCCESS(status) && !givenUp &&
      TzSerialSendNextPiece(context, irp, record->urb, &record->nextChunk, &record->unsent,
                            &record->zeroLengthPending, TzSerialQueuedSendComplete, record))
    return STATUS_MORE_PROCESSING_REQUIRED;

  // From here the IRP may be reused by the next transmission: not touched again.
  if (NT_SUCCESS(status)) {
    irp->IoStatus.Information = record->sent;
    TzSerialCountTransmitted(context, record->sent);
  }
  ExFreePoolWithTag(record, TzSerialPoolTag);
  InterlockedExchange(&context->queuedSendBusy, 0);
  TzSerialWriteQueueSendOver(context);

  TzSerialSignalWaitEvent(context, SERIAL_EV_TXEMPTY);
  TzSerialHoldQueueRelease(&context->holdQueue);
  TzSerialTxAliveDrop(context);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
