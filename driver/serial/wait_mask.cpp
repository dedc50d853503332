// Driver: event delivery and the one armed IOCTL_SERIAL_WAIT_ON_MASK: the
// wait-mask queue's start routine, the wait's completion path and its cancel
// routine. The armed wait is shared by two holders (waitRequestFlags); the one
// that drops the last hold completes it, after releasing controlLock.
#include "driver/serial/line_state.h"

namespace {

// Completes a request keeping the Information its finisher set.
void TzSerialFinishWait(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Finishes a wait-mask request the start routine will not keep. Under
// controlLock the queue learns that its current request is being finished, so
// a flush never reaches for a request that may already be freed.
NTSTATUS TzSerialFinishStarted(DeviceContext* context, PIRP irp, NTSTATUS status) {
  TzSerialSetCurrentFinishing(&context->waitMaskQueue);
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  TzSerialFinishWait(irp, status);
  return status;
}

NTSTATUS TzSerialStartSetWaitMask(DeviceContext* context, PIRP irp) {
  ULONG newMask = *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
  irp->IoStatus.Information = 0;
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  if (TzSerialSatisfyWait(context, 0)) {
    // The armed wait waited for the old mask: it is released with the result 0.
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    TzSerialWaitCompleteDpc(nullptr, context, nullptr, nullptr);
    KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  }
  context->waitMask = newMask;
  context->historyMask &= newMask;
  return TzSerialFinishStarted(context, irp, STATUS_SUCCESS);
}

NTSTATUS TzSerialStartWaitOnMask(DeviceContext* context, PIRP irp) {
  auto result = static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
  irp->IoStatus.Information = 0;
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  if (!context->waitMask || context->currentWaitRequest)
    return TzSerialFinishStarted(context, irp, STATUS_INVALID_PARAMETER);

  if (context->historyMask) {
    *result = context->historyMask;
    context->historyMask = 0;
    irp->IoStatus.Information = sizeof(ULONG);
    return TzSerialFinishStarted(context, irp, STATUS_SUCCESS);
  }

  IoMarkIrpPending(irp);
  context->waitRequestFlags = 0;
  IoSetCancelRoutine(irp, TzSerialWaitCancel);
  // Cancelled before the routine was in place: unless the canceller already
  // took it back (then the routine runs and finds the wait armed), finish here.
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    TzSerialFinishStarted(context, irp, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  context->currentWaitRequest = irp;
  context->waitResultLocation = result;
  context->waitRequestFlags = WaitHeldByCompletion | WaitHeldByCancel;
  // The queue is done with it: from here on only the holders touch it.
  TzSerialSetCurrentFinishing(&context->waitMaskQueue);
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  return STATUS_PENDING;
}

}  // namespace

BOOLEAN TzSerialSatisfyWait(DeviceContext* context, ULONG result) {
  if (!context->waitResultLocation) return FALSE;
  *context->waitResultLocation = result;
  context->waitResultLocation = nullptr;
  context->currentWaitRequest->IoStatus.Information = sizeof(ULONG);
  return TRUE;
}

void TzSerialDeliverEvents(DeviceContext* context, ULONG events) {
  ULONG wanted = events & context->waitMask;
  if (!wanted) return;
  context->historyMask |= wanted;
  if (!TzSerialSatisfyWait(context, context->historyMask)) return;
  context->historyMask = 0;
  KeInsertQueueDpc(&context->waitCompleteDpc, nullptr, nullptr);
}

void TzSerialCheckTxEmpty(DeviceContext* context) {
  if ((context->waitMask & SERIAL_EV_TXEMPTY) && context->charsQueued == 0)
    TzSerialDeliverEvents(context, SERIAL_EV_TXEMPTY);
}

void TzSerialDisarmWait(DeviceContext* context) {
  if (TzSerialSatisfyWait(context, 0)) context->waitRequestFlags &= ~WaitHeldByCompletion;
}

NTSTATUS TzSerialWaitMaskStart(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
  NTSTATUS status = code == IOCTL_SERIAL_SET_WAIT_MASK ? TzSerialStartSetWaitMask(context, irp)
                                                        : TzSerialStartWaitOnMask(context, irp);
  // Do not touch the request from here: it may already be completed.
  TzSerialStartNextRequest(&context->waitMaskQueue);
  return status;
}

void TzSerialWaitCompleteDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto context = static_cast<DeviceContext*>(deferredContext);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  PIRP irp = context->currentWaitRequest;
  // Nothing to finish unless a result was written and the completion path
  // still holds the wait. A cleanup may have taken the wait this run was
  // queued for, and a newer wait may be armed in its place.
  if (!irp || context->waitResultLocation || !(context->waitRequestFlags & WaitHeldByCompletion)) {
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    return;
  }
  context->waitRequestFlags &= ~WaitHeldByCompletion;
  if ((context->waitRequestFlags & WaitHeldByCancel) && IoSetCancelRoutine(irp, nullptr))
    context->waitRequestFlags &= ~WaitHeldByCancel;
  bool last = context->waitRequestFlags == 0;
  if (last) context->currentWaitRequest = nullptr;
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  if (last) TzSerialFinishWait(irp, STATUS_SUCCESS);
}

void TzSerialWaitCancel(PDEVICE_OBJECT deviceObject, PIRP irp) {
  IoReleaseCancelSpinLock(DISPATCH_LEVEL);
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  // Whoever wrote the result decides the status: an event (or a new mask)
  // that reached the wait first makes it a success, since its bits have
  // already left historyMask; otherwise the cancel writes 0 and cancels.
  NTSTATUS status = context->waitResultLocation ? STATUS_CANCELLED : STATUS_SUCCESS;
  context->waitRequestFlags &= ~WaitHeldByCancel;
  TzSerialDisarmWait(context);
  bool last = context->waitRequestFlags == 0;
  if (last) context->currentWaitRequest = nullptr;
  KeReleaseSpinLock(&context->controlLock, irp->CancelIrql);
  if (last) TzSerialFinishWait(irp, status);
}
