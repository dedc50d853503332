// Driver: flush requests waiting for the writes accepted before them. A write
// takes the next number of writeSequence as it is accepted; a flush notes the
// last number given out before it, and is due once the oldest write not yet
// completed (the head of sendOrder) carries a later number, or none is left.
#include "driver/io/flush.h"

#include "driver/io/write.h"

namespace {

ULONGLONG TzSerialFlushMarkOf(PIRP irp) { return ULONGLONG(irp->Tail.Overlay.DriverContext[1]); }

// No write accepted before the flush is left. controlLock held.
bool TzSerialFlushWritesDone(DeviceContext* context, PIRP irp) {
  if (IsListEmpty(&context->sendOrder)) return true;
  auto oldest = CONTAINING_RECORD(context->sendOrder.Flink, WriteContext, sendLinks);
  return oldest->sequence > TzSerialFlushMarkOf(irp);
}

}  // namespace

void TzSerialFlushMark(DeviceContext* context, PIRP irp) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  irp->Tail.Overlay.DriverContext[1] = reinterpret_cast<PVOID>(ULONG_PTR(context->writeSequence));
  KeReleaseSpinLock(&context->controlLock, oldIrql);
}

NTSTATUS TzSerialFlushStart(DeviceContext* context, PIRP irp) {
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  if (TzSerialFlushWritesDone(context, irp)) {
    TzSerialFinishCurrentLocked(&context->writeQueue, irp, STATUS_SUCCESS, DISPATCH_LEVEL);
    return STATUS_SUCCESS;
  }
  IoSetCancelRoutine(irp, TzSerialFlushCancel);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    TzSerialFinishCurrentLocked(&context->writeQueue, irp, STATUS_CANCELLED, DISPATCH_LEVEL);
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(irp);
  context->flushRequest = irp;
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  return STATUS_PENDING;
}

PIRP TzSerialFlushDueLocked(DeviceContext* context) {
  PIRP irp = context->flushRequest;
  if (!irp || !TzSerialFlushWritesDone(context, irp) || !IoSetCancelRoutine(irp, nullptr)) return nullptr;
  context->flushRequest = nullptr;
  TzSerialSetCurrentFinishing(&context->writeQueue);
  return irp;
}

void TzSerialFlushComplete(DeviceContext* context, PIRP irp) {
  TzSerialStartNextRequest(&context->writeQueue);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void TzSerialFlushCancel(PDEVICE_OBJECT deviceObject, PIRP irp) {
  IoReleaseCancelSpinLock(DISPATCH_LEVEL);
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  context->flushRequest = nullptr;
  TzSerialFinishCurrentLocked(&context->writeQueue, irp, STATUS_CANCELLED, irp->CancelIrql);
}
