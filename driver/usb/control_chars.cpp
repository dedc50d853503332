// Driver: the control-character transmitter. An XON or XOFF that receive flow
// control asks for, and the immediate character, each go out on a one-byte
// transfer of their own, one at a time, so they pass writes that have not yet
// reached the bus. Flow characters go first. The immediate request keeps the
// transmit path's hold until its transfer is back; then it ends with the
// transfer's status.
#include "driver/usb/bulk_out.h"

#include "driver/core/globals.h"
#include "driver/serial/line_state.h"

namespace {

struct TzSerialControlCharTransfer {
  DeviceContext* context;
  PIRP irp;
  PIRP immediateRequest;  // set when this is the immediate character
  UCHAR character;
  ULONG pins;             // cancels still reaching for irp (controlLock)
  BOOLEAN freeWhenUnpinned;
  alignas(8) UCHAR urbBytes[TzSerialUrbSize];
  PURB urb() { return reinterpret_cast<PURB>(urbBytes); }
};

// Picks the character due, if any: an XOFF or XON (whatever holds
// transmission: the receive side needs them), then the immediate character.
// controlLock held.
bool TzSerialTakeDueChar(DeviceContext* context, UCHAR* character, PIRP* immediateRequest) {
  *immediateRequest = nullptr;
  if (!TzSerialPortActive(context)) return false;
  if (context->sendXoffPending) {
    context->sendXoffPending = FALSE;
    *character = context->specialChars.XoffChar;
    return true;
  }
  if (context->sendXonPending) {
    context->sendXonPending = FALSE;
    *character = context->specialChars.XonChar;
    return true;
  }
  // The immediate character passes an XOFF hold alone (an application sends
  // its own flow characters that way), no other.
  if (context->immediatePending && context->immediateRequest && !(context->txHolding & ~TxHoldXoff)) {
    context->immediatePending = FALSE;  // on its way: a cancel or time-out no longer withdraws it
    context->immediateSentRequest = context->immediateRequest;
    *character = context->immediateChar;
    *immediateRequest = context->immediateRequest;
    return true;
  }
  return false;
}

// The immediate character's transfer is back: record how it ended and let
// the request's transmit hold go. DISPATCH_LEVEL, controlLock not held.
void TzSerialImmediateSent(DeviceContext* context, NTSTATUS status) {
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  context->immediateSendStatus = status;
  context->immediateTransfer = nullptr;
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  TzSerialImmediateDoneDpc(nullptr, context, nullptr, nullptr);
}

void TzSerialFreeControlChar(TzSerialControlCharTransfer* transfer) {
  IoFreeIrp(transfer->irp);
  ExFreePoolWithTag(transfer, TzSerialPoolTag);
}

NTSTATUS TzSerialControlCharComplete(PDEVICE_OBJECT, PIRP irp, PVOID completionContext) {
  auto transfer = static_cast<TzSerialControlCharTransfer*>(completionContext);
  DeviceContext* context = transfer->context;
  NTSTATUS status = irp->IoStatus.Status;
  if (NT_SUCCESS(status)) {
    KeAcquireSpinLockAtDpcLevel(&context->controlLock);
    context->perfStats.TransmittedCount += transfer->urb()->UrbBulkOrInterruptTransfer.TransferBufferLength;
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  }
  if (transfer->immediateRequest) TzSerialImmediateSent(context, status);
  // A cancel still reaching for the IRP frees it when it is done.
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  if (context->controlCharTransfer == transfer) context->controlCharTransfer = nullptr;
  bool pinned = transfer->pins != 0;
  transfer->freeWhenUnpinned = pinned;
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  if (!pinned) TzSerialFreeControlChar(transfer);
  InterlockedExchange(&context->controlCharBusy, 0);
  TzSerialControlCharKick(context);  // anything that became due meanwhile
  TzSerialHoldQueueRelease(&context->holdQueue);
  TzSerialTxAliveDrop(context);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one character. A transfer that cannot be had or is refused ends as a
// failed one would. DISPATCH_LEVEL.
void TzSerialSendControlChar(DeviceContext* context, UCHAR character, PIRP immediateRequest) {
  auto transfer = static_cast<TzSerialControlCharTransfer*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(TzSerialControlCharTransfer), TzSerialPoolTag));
  PIRP irp = transfer ? IoAllocateIrp(context->lowerDevice->StackSize, FALSE) : nullptr;
  NTSTATUS status = irp ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status)) {
    *transfer = {context, irp, immediateRequest, character, 0, FALSE, {}};
    TzSerialFillBulkOutUrb(context, transfer->urb(), &transfer->character, 1);
    status = transfer->urb()->UrbBulkOrInterruptTransfer.PipeHandle ? TzSerialHoldQueueAcquire(&context->holdQueue)
                                                                     : STATUS_INVALID_DEVICE_STATE;
  }
  if (status != STATUS_SUCCESS) {
    if (irp) IoFreeIrp(irp);
    if (transfer) ExFreePoolWithTag(transfer, TzSerialPoolTag);
    if (immediateRequest) TzSerialImmediateSent(context, status);
    InterlockedExchange(&context->controlCharBusy, 0);
    return;
  }
  TzSerialTxAliveAdd(context);
  IoReuseIrp(irp, STATUS_SUCCESS);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  context->controlCharTransfer = transfer;
  if (immediateRequest) context->immediateTransfer = transfer;
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  TzSerialSendUrbIrp(context, irp, transfer->urb(), TzSerialControlCharComplete, transfer);
}

}  // namespace

void TzSerialControlCharKick(DeviceContext* context) { KeInsertQueueDpc(&context->controlCharDpc, nullptr, nullptr); }

void TzSerialControlCharDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto context = static_cast<DeviceContext*>(deferredContext);
  // One transfer at a time; its completion queues this DPC again.
  if (InterlockedExchange(&context->controlCharBusy, 1)) return;
  UCHAR character = 0;
  PIRP immediateRequest = nullptr;
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  bool due = TzSerialTakeDueChar(context, &character, &immediateRequest);
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  if (!due) {
    InterlockedExchange(&context->controlCharBusy, 0);
    return;
  }
  TzSerialSendControlChar(context, character, immediateRequest);
}

PVOID TzSerialPinImmediateTransferLocked(DeviceContext* context) {
  auto transfer = static_cast<TzSerialControlCharTransfer*>(context->immediateTransfer);
  if (transfer) transfer->pins++;
  return transfer;
}

void TzSerialCancelPinnedTransfer(DeviceContext* context, PVOID pinned) {
  auto transfer = static_cast<TzSerialControlCharTransfer*>(pinned);
  if (!transfer) return;
  IoCancelIrp(transfer->irp);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  bool free = --transfer->pins == 0 && transfer->freeWhenUnpinned;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  if (free) TzSerialFreeControlChar(transfer);
}

void TzSerialCancelControlChars(DeviceContext* context) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  auto transfer = static_cast<TzSerialControlCharTransfer*>(context->controlCharTransfer);
  if (transfer) transfer->pins++;
  // An immediate character not yet on the bus (a transmit hold may keep it
  // off it for ever) ends as if its transfer had been cancelled.
  bool waiting = context->immediatePending && context->immediateRequest;
  if (waiting) {
    context->immediatePending = FALSE;
    context->immediateSentRequest = context->immediateRequest;
  }
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  if (waiting) TzSerialImmediateSent(context, STATUS_CANCELLED);
  KeLowerIrql(oldIrql);
  TzSerialCancelPinnedTransfer(context, transfer);
}
