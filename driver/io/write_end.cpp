// Driver: how a started write ends. Its transfer finishing, its cancel routine
// and its timer each drop their own hold under controlLock and withdraw the
// others they can; the one that drops the last completes the write and frees
// its context. The request is never completed while its bulk IRP is on the
// bus: only the transfer's own end drops WriteRefData.
#include "driver/io/write.h"

#include "driver/core/globals.h"

namespace {

WriteContext* TzSerialWriteOf(PIRP irp) { return static_cast<WriteContext*>(irp->Tail.Overlay.DriverContext[0]); }

void TzSerialWriteCancelTimer(WriteContext* write) {
  if ((write->refs & WriteRefTimer) && KeCancelTimer(&write->writeTimer)) write->refs &= ~WriteRefTimer;
}

void TzSerialWriteTakeBackCancel(WriteContext* write, PIRP irp) {
  if ((write->refs & WriteRefCancel) && IoSetCancelRoutine(irp, nullptr)) write->refs &= ~WriteRefCancel;
}

// Releases controlLock (to oldIrql). When no hold is left, completes the
// write: with the transfer's status, or with the cancellation or time-out
// that ended it first and the bytes the device confirmed; then the context
// leaves the list and is freed.
void TzSerialWriteDropLocked(WriteContext* write, NTSTATUS transferStatus, KIRQL oldIrql) {
  DeviceContext* context = write->context;
  if (write->refs & (WriteRefData | WriteRefCancel | WriteRefTimer)) {
    KeReleaseSpinLock(&context->controlLock, oldIrql);
    return;
  }
  write->refs |= WriteDone;
  context->charsQueued -= write->length;
  KeReleaseSpinLock(&context->controlLock, oldIrql);

  KeAcquireSpinLock(&write->requestLock, &oldIrql);
  PIRP irp = write->request;
  write->request = nullptr;
  KeReleaseSpinLock(&write->requestLock, oldIrql);

  NTSTATUS status = transferStatus;
  if (write->endStatus) {
    status = write->endStatus;
    irp->IoStatus.Information = write->length - write->remaining;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);

  TzSerialWriteRelease(context, write);
}

// The cancel routine or the timer (own: its hold) ends the write: the reason
// is recorded and the transfer cancelled, outside controlLock since a
// cancelled transfer may complete at once; the own hold keeps the context
// alive until then. Entered with controlLock held (at DISPATCH_LEVEL), returns
// having released it to oldIrql.
void TzSerialWriteEndLocked(WriteContext* write, NTSTATUS reason, ULONG own, KIRQL oldIrql) {
  DeviceContext* context = write->context;
  if (!write->endStatus) write->endStatus = reason;
  PIRP transfer = (write->refs & WriteRefData) ? write->bulkIrp : nullptr;
  if (transfer) {
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    IoCancelIrp(transfer);
    KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  }
  write->refs &= ~own;
  TzSerialWriteDropLocked(write, reason, oldIrql);
}

}  // namespace

void TzSerialWriteCancelStarted(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  WriteContext* write = TzSerialWriteOf(irp);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&write->context->controlLock);
  TzSerialWriteCancelTimer(write);
  TzSerialWriteEndLocked(write, STATUS_CANCELLED, WriteRefCancel, oldIrql);
}

void TzSerialWriteTimeoutDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto write = static_cast<WriteContext*>(deferredContext);
  KeAcquireSpinLockAtDpcLevel(&write->context->controlLock);
  TzSerialWriteTakeBackCancel(write, write->request);
  TzSerialWriteEndLocked(write, STATUS_TIMEOUT, WriteRefTimer, DISPATCH_LEVEL);
}

void TzSerialWriteFinish(WriteContext* write, NTSTATUS status) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&write->context->controlLock);
  write->refs &= ~WriteRefData;
  TzSerialWriteTakeBackCancel(write, write->request);
  TzSerialWriteCancelTimer(write);
  TzSerialWriteDropLocked(write, status, oldIrql);
}

BOOLEAN TzSerialWriteAttachTransfer(WriteContext* write, PIRP bulkIrp) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&write->context->controlLock);
  write->bulkIrp = bulkIrp;
  BOOLEAN ended = write->endStatus != 0;
  KeReleaseSpinLock(&write->context->controlLock, oldIrql);
  return !ended;
}
