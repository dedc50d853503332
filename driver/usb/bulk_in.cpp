// Driver: the eight bulk-in slots: submission, completion in submission
// order, cancellation, and the hand-over to pipe recovery after a pipe error. Transfers are numbered as they are sent, by one
// context at a time, so the numbers follow the bus's own order; completions
// that arrive early wait in their slot until their turn.
#include "driver/usb/bulk_in.h"

#include "driver/core/globals.h"
#include "driver/io/receive_buffer.h"
#include "driver/pnp/usb_config.h"
#include "driver/usb/pipe_recovery.h"

namespace {

constexpr ULONG NoSlot = TzSerialBulkInSlots;

// The slot whose IRP this is: each slot keeps its own IRP for good, so the
// completion routine needs no per-transfer record to find it.
ULONG TzSerialBulkInSlotOf(const DeviceContext* context, PIRP irp) {
  for (ULONG slot = 0; slot < TzSerialBulkInSlots; ++slot)
    if (context->bulkInIrp[slot] == irp) return slot;
  return NoSlot;
}

// What one completion leaves to do once controlLock is released.
struct TzSerialBulkInDelivery {
  ULONG delivered;  // slots whose blocks have been delivered, now to be recycled
  ULONG resubmit;   // ... of which these go straight back down
  ULONG deferred;   // TzSerialRxDeferred steps
};

bool TzSerialBulkInMayRetry(DeviceContext* context) {
  return TzSerialDeviceState(context) == DeviceStateStarted && context->devicePowerState == PowerDeviceD0 &&
         TzSerialPortActive(context);
}

// The parked slot whose turn it is, or NoSlot. controlLock held.
ULONG TzSerialBulkInParkedTurn(const DeviceContext* context) {
  for (ULONG slot = 0; slot < TzSerialBulkInSlots; ++slot)
    if ((context->bulkInParked & (1u << slot)) && context->bulkInSequence[slot] == context->bulkInDeliverSequence)
      return slot;
  return NoSlot;
}

// Takes the number of a transfer that brought nothing out of the order: the
// transfers numbered after it move up one, so that none waits for it.
// controlLock held.
void TzSerialBulkInWithdrawLocked(DeviceContext* context, ULONG slot) {
  ULONG withdrawn = context->bulkInSequence[slot];
  for (ULONG other = 0; other < TzSerialBulkInSlots; ++other)
    if (other != slot && LONG(context->bulkInSequence[other] - withdrawn) > 0) context->bulkInSequence[other]--;
  context->bulkInNextSequence--;
}

// The slot's transfer is done with: marked delivered, and resubmitted when it
// succeeded, the bus was only busy, or the bus cancelled it on its own.
// controlLock held.
void TzSerialBulkInDoneLocked(DeviceContext* context, ULONG slot, TzSerialBulkInDelivery* delivery) {
  NTSTATUS status = context->bulkInResult[slot];
  delivery->delivered |= 1u << slot;
  // While the pipe recovers nothing goes back on it: the recovery starts
  // every slot again once the pipe is reset. A cancel the bus made on its own
  // would otherwise leave the slot idle until the next open.
  bool busCancelled = status == STATUS_CANCELLED && !InterlockedCompareExchange(&context->bulkInCancelAsked[slot], 0, 0);
  bool retry = status == STATUS_DEVICE_BUSY || busCancelled;
  if (!TzSerialPipeRecovering(context, PipeRecoveryBulkIn) &&
      (NT_SUCCESS(status) || (retry && TzSerialBulkInMayRetry(context))))
    delivery->resubmit |= 1u << slot;
}

// Delivers the slot's block if it is its turn, then every parked block whose
// turn follows; otherwise parks it. A transfer that brought nothing has no
// place to keep in the stream: it goes at once and gives up its number, so
// that a cancel's completions never wait behind a transfer that is late.
// At most one pass over the slots. controlLock held.
void TzSerialBulkInDeliverLocked(DeviceContext* context, ULONG slot, TzSerialBulkInDelivery* delivery) {
  if (context->bulkInSequence[slot] != context->bulkInDeliverSequence) {
    if (NT_SUCCESS(context->bulkInResult[slot]) && context->bulkInResultLength[slot]) {
      context->bulkInParked |= 1u << slot;
      return;
    }
    TzSerialBulkInWithdrawLocked(context, slot);
    TzSerialBulkInDoneLocked(context, slot, delivery);
    return;
  }
  do {
    NTSTATUS status = context->bulkInResult[slot];
    ULONG length = context->bulkInResultLength[slot];
    if (NT_SUCCESS(status)) TzSerialPipeRecoverySucceededLocked(context, PipeRecoveryBulkIn);
    if (NT_SUCCESS(status) && length)
      delivery->deferred |= TzSerialRxDataArrived(context, context->bulkInBuffer[slot], length);
    TzSerialBulkInDoneLocked(context, slot, delivery);
    context->bulkInDeliverSequence++;
    slot = TzSerialBulkInParkedTurn(context);
    if (slot != NoSlot) context->bulkInParked &= ~(1u << slot);
  } while (slot != NoSlot);
}

// Sends the pending slots, numbering each as it goes down; at most one round
// of the slots, the rest is left to bulkInSendDpc. Entered with controlLock
// held and bulkInSending set by the caller; returns with the lock released
// and the status of sending ownSlot (STATUS_PENDING if another round sends it).
// The sender holds one outstanding-request count: a transfer it sends may
// complete, and its slot go idle, before the sender is done with the context.
NTSTATUS TzSerialBulkInSendPendingLocked(DeviceContext* context, ULONG ownSlot) {
  NTSTATUS result = STATUS_PENDING;
  for (ULONG sent = 0; context->bulkInSendPending && sent < TzSerialBulkInSlots; ++sent) {
    ULONG slot = 0;
    while (!(context->bulkInSendPending & (1u << slot))) ++slot;
    context->bulkInSendPending &= ~(1u << slot);
    context->bulkInSequence[slot] = context->bulkInNextSequence++;
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    NTSTATUS status = IoCallDriver(context->lowerDevice, context->bulkInIrp[slot]);
    if (slot == ownSlot) result = status;
    KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  }
  bool handedOn = context->bulkInSendPending != 0;
  if (handedOn)
    KeInsertQueueDpc(&context->bulkInSendDpc, nullptr, nullptr);  // bulkInSending and the count go with the DPC
  else
    context->bulkInSending = FALSE;
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  if (!handedOn) TzSerialIoDecrement(context);
  return result;
}

// Hands a prepared, admitted transfer to the one context that sends.
NTSTATUS TzSerialBulkInSendInOrder(DeviceContext* context, ULONG slot) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  context->bulkInSendPending |= 1u << slot;
  if (context->bulkInSending) {
    KeReleaseSpinLock(&context->controlLock, oldIrql);
    return STATUS_PENDING;
  }
  context->bulkInSending = TRUE;
  InterlockedIncrement(&context->outstandingIo);  // the claimed slot holds one already: never the last
  NTSTATUS status = TzSerialBulkInSendPendingLocked(context, slot);
  KeLowerIrql(oldIrql);
  return status;
}

void TzSerialBulkInFillUrb(DeviceContext* context, ULONG slot, USBD_PIPE_HANDLE pipe) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &context->bulkInUrb[slot]->UrbBulkOrInterruptTransfer;
  RtlZeroMemory(transfer, TzSerialUrbSize);
  transfer->Hdr.Length = TzSerialUrbSize;
  transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer->PipeHandle = pipe;
  transfer->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  transfer->TransferBufferLength = TzSerialGlobals.maxTransferSize;
  transfer->TransferBuffer = context->bulkInBuffer[slot];
}

USBD_PIPE_HANDLE TzSerialBulkInPipe(DeviceContext* context) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  USBD_PIPE_HANDLE pipe = TzSerialPipeHandle(context, context->dataInterfaceNumber, context->bulkInPipeIndex);
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  return pipe;
}

// Marks a claimed slot idle: once every slot's event is set, close may go on;
// the slot's outstanding-request count, dropped last, is what removal waits for.
void TzSerialBulkInIdle(DeviceContext* context, ULONG slot) {
  InterlockedExchange(&context->bulkInBusy[slot], 0);
  KeSetEvent(&context->bulkInDone[slot], IO_NO_INCREMENT, FALSE);
  TzSerialIoDecrement(context);
}

bool TzSerialBulkInMaySubmit(DeviceContext* context) {
  LONG state = TzSerialDeviceState(context);
  return state != DeviceStateRemoved && state != DeviceStateSurpriseRemoved &&
         context->systemPowerState == PowerSystemWorking;
}

// Prepares, admits and sends the transfer of a slot the caller has claimed
// (bulkInBusy set); a refusal leaves the slot idle.
NTSTATUS TzSerialBulkInStartTransfer(DeviceContext* context, ULONG slot) {
  PIRP irp = context->bulkInIrp[slot];
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  USBD_PIPE_HANDLE pipe = nullptr;
  if (irp && context->bulkInUrb[slot] && context->bulkInBuffer[slot]) {
    pipe = TzSerialBulkInPipe(context);
    status = pipe ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
  }
  if (!NT_SUCCESS(status)) goto Unwind;

  TzSerialBulkInFillUrb(context, slot, pipe);
  IoReuseIrp(irp, STATUS_SUCCESS);
  {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = context->bulkInUrb[slot];
  }
  KeClearEvent(&context->bulkInDone[slot]);
  IoSetCompletionRoutine(irp, TzSerialBulkInComplete, context, TRUE, TRUE, TRUE);
  // A cancel from here on is one for this transfer.
  InterlockedExchange(&context->bulkInCancelAsked[slot], 0);

  status = TzSerialHoldQueueAcquire(&context->holdQueue);
  if (status != STATUS_SUCCESS) goto Unwind;
  // Cleanup clears portActive before it cancels. A completion that saw the
  // port open before that brings its slot here; had the cancel come before
  // IoReuseIrp above, the reuse wiped its mark and the transfer would pend on
  // a closed port. Looked at again after the reuse, one of the two sees the
  // other.
  if (!TzSerialPortActive(context)) {
    TzSerialHoldQueueRelease(&context->holdQueue);
    status = STATUS_CANCELLED;
    goto Unwind;
  }
  return TzSerialBulkInSendInOrder(context, slot);

Unwind:
  TzSerialBulkInIdle(context, slot);
  return status;
}

// The slot's transfer is over and its block delivered: the slot goes
// straight back down, still claimed, or is idle again.
void TzSerialBulkInRecycle(DeviceContext* context, ULONG slot, bool resubmit) {
  TzSerialHoldQueueRelease(&context->holdQueue);
  // Not after cleanup: a block that beat its cancel would otherwise put the
  // slot back on the bus of a closed port, and close would wait it out.
  if (resubmit && TzSerialPortActive(context) && TzSerialBulkInMaySubmit(context))
    TzSerialBulkInStartTransfer(context, slot);
  else
    TzSerialBulkInIdle(context, slot);
}

}  // namespace

NTSTATUS TzSerialBulkInSubmit(DeviceContext* context, ULONG slot) {
  if (!TzSerialBulkInMaySubmit(context)) return STATUS_DELETE_PENDING;
  if (InterlockedExchange(&context->bulkInBusy[slot], 1) == 1) {
    // Its transfer is still out (one a stall gave up waiting for): whatever
    // cancel came before this start no longer holds, and the transfer goes
    // back down when it returns, if the port is open then.
    InterlockedExchange(&context->bulkInCancelAsked[slot], 0);
    return STATUS_SUCCESS;
  }
  // A claimed slot holds one outstanding-request count until it is idle again.
  if (!TzSerialIoIncrement(context)) {
    InterlockedExchange(&context->bulkInBusy[slot], 0);
    return STATUS_DELETE_PENDING;
  }
  return TzSerialBulkInStartTransfer(context, slot);
}

void TzSerialBulkInStart(DeviceContext* context) {
  for (ULONG slot = 0; slot < TzSerialBulkInSlots; ++slot) TzSerialBulkInSubmit(context, slot);
}

void TzSerialBulkInCancelAll(DeviceContext* context) {
  for (ULONG slot = 0; slot < TzSerialBulkInSlots; ++slot) {
    InterlockedExchange(&context->bulkInCancelAsked[slot], 1);
    if (InterlockedCompareExchange(&context->bulkInBusy[slot], 1, 1) && context->bulkInIrp[slot])
      IoCancelIrp(context->bulkInIrp[slot]);
  }
}

NTSTATUS TzSerialBulkInComplete(PDEVICE_OBJECT, PIRP irp, PVOID completionContext) {
  auto context = static_cast<DeviceContext*>(completionContext);
  ULONG slot = TzSerialBulkInSlotOf(context, irp);
  ASSERT(slot != NoSlot);
  PURB urb = context->bulkInUrb[slot];
  NTSTATUS status = irp->IoStatus.Status;
  ULONG length = NT_SUCCESS(status) ? urb->UrbBulkOrInterruptTransfer.TransferBufferLength : 0;
  bool pipeError = TzSerialIsPipeError(context, status, urb->UrbHeader.Status);

  TzSerialBulkInDelivery delivery = {0, 0, 0};
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  if (pipeError) TzSerialPipeRecoveryBeginLocked(context, PipeRecoveryBulkIn);
  context->bulkInResult[slot] = status;
  context->bulkInResultLength[slot] = length;
  TzSerialBulkInDeliverLocked(context, slot, &delivery);
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);

  TzSerialRxRunDeferred(context, delivery.deferred);
  for (ULONG done = 0; done < TzSerialBulkInSlots; ++done)
    if (delivery.delivered & (1u << done)) TzSerialBulkInRecycle(context, done, delivery.resubmit & (1u << done));
  KeLowerIrql(oldIrql);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void TzSerialBulkInSendDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto context = static_cast<DeviceContext*>(deferredContext);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  TzSerialBulkInSendPendingLocked(context, NoSlot);
}
