// Driver: how a started write ends. Its transmission finishing, its cancel
// routine, its timer and an abort each drop their own hold under controlLock
// and withdraw the others they can; the one that drops the last completes
// the write and frees its context. The request is never completed while its
// bulk IRP is on the bus: only the transmission's own end drops WriteRefData
// once a transfer is out.
#include "driver/io/write.h"

#include "driver/core/globals.h"
#include "driver/io/flush.h"

namespace {

WriteContext* TzSerialWriteOf(PIRP irp) { return static_cast<WriteContext*>(irp->Tail.Overlay.DriverContext[0]); }

void TzSerialWriteCancelTimer(WriteContext* write) {
  if ((write->refs & WriteRefTimer) && KeCancelTimer(&write->writeTimer)) write->refs &= ~WriteRefTimer;
}

void TzSerialWriteTakeBackCancel(WriteContext* write) {
  if ((write->refs & WriteRefCancel) && IoSetCancelRoutine(write->request, nullptr)) write->refs &= ~WriteRefCancel;
}

// The data path lets go: the write will not use the bus again, and the cancel
// routine and timer are withdrawn where they can be. controlLock held.
void TzSerialWriteLeaveTransmitLocked(WriteContext* write) {
  write->onBus = FALSE;
  write->transmitDone = TRUE;
  write->refs &= ~WriteRefData;
  TzSerialWriteTakeBackCancel(write);
  TzSerialWriteCancelTimer(write);
}

void TzSerialWriteFree(DeviceContext* context, WriteContext* write) {
  if (write->bulkIrp) IoFreeIrp(write->bulkIrp);
  ExFreePoolWithTag(write, TzSerialPoolTag);
  TzSerialTxAliveDrop(context);
}

// Drops the data path's hold (controlLock held, released to oldIrql), then
// lets the next write have its turn. The device stays on this routine's own
// count: the write may complete and free itself on the way.
void TzSerialWriteLetGoLocked(WriteContext* write, NTSTATUS status, KIRQL oldIrql) {
  DeviceContext* context = write->context;
  write->finishStatus = status;
  TzSerialWriteLeaveTransmitLocked(write);
  InterlockedIncrement(&context->outstandingIo);
  TzSerialWriteDropLocked(write, oldIrql);
  TzSerialWriteTransmitNext(context);
  TzSerialIoDecrement(context);
}

// The cancel routine, the timer or an abort (own: its hold, still held) ends
// the write with reason. A write waiting for its turn (or held back) never
// goes to the bus now and lets go at once; the transfer of one on the bus is
// cancelled, outside controlLock since it may complete at once, and its
// completion lets go. Entered with controlLock held (at DISPATCH_LEVEL),
// returns having released it to oldIrql.
void TzSerialWriteEndLocked(WriteContext* write, NTSTATUS reason, ULONG own, KIRQL oldIrql) {
  DeviceContext* context = write->context;
  if (!write->endStatus) write->endStatus = reason;
  if ((write->refs & WriteRefData) && !write->onBus) {
    write->refs &= ~own;
    TzSerialWriteLetGoLocked(write, reason, oldIrql);
    return;
  }
  PIRP transfer = (write->refs & WriteRefData) ? write->bulkIrp : nullptr;
  if (transfer) {
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    IoCancelIrp(transfer);
    KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  }
  write->refs &= ~own;
  TzSerialWriteDropLocked(write, oldIrql);
}

}  // namespace

void TzSerialWriteDropLocked(WriteContext* write, KIRQL oldIrql) {
  DeviceContext* context = write->context;
  if (write->refs & (WriteRefData | WriteRefCancel | WriteRefTimer | WriteRefAbort)) {
    KeReleaseSpinLock(&context->controlLock, oldIrql);
    return;
  }
  write->refs |= WriteDone;
  context->charsQueued -= write->length;
  RemoveEntryList(&write->sendLinks);
  InitializeListHead(&write->sendLinks);
  PIRP flush = TzSerialFlushDueLocked(context);
  PIRP irp = write->request;
  write->request = nullptr;
  KeReleaseSpinLock(&context->controlLock, oldIrql);

  irp->IoStatus.Status = write->endStatus ? write->endStatus : write->finishStatus;
  irp->IoStatus.Information = write->sent;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  // After the write it waited for; the write's own count still holds the device.
  if (flush) TzSerialFlushComplete(context, flush);
  TzSerialWriteFree(context, write);
}

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
  TzSerialWriteTakeBackCancel(write);
  TzSerialWriteEndLocked(write, STATUS_TIMEOUT, WriteRefTimer, DISPATCH_LEVEL);
}

void TzSerialWriteFinish(WriteContext* write, NTSTATUS status) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&write->context->controlLock);
  TzSerialWriteLetGoLocked(write, status, oldIrql);
}

BOOLEAN TzSerialWriteAttachTransfer(WriteContext* write, PIRP bulkIrp) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&write->context->controlLock);
  write->bulkIrp = bulkIrp;
  BOOLEAN ended = write->endStatus != 0;
  KeReleaseSpinLock(&write->context->controlLock, oldIrql);
  return !ended;
}

void TzSerialWriteAbortAll(DeviceContext* context) {
  InterlockedIncrement(&context->outstandingIo);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  // Every write ends first, so that none takes its turn while those before
  // it are let go; one not yet started is left to its start DPC.
  for (PLIST_ENTRY entry = context->sendOrder.Flink; entry != &context->sendOrder; entry = entry->Flink) {
    auto write = CONTAINING_RECORD(entry, WriteContext, sendLinks);
    if (write->endStatus || write->transmitDone) continue;
    write->endStatus = STATUS_CANCELLED;
    write->abortPending = write->ready;
  }
  for (;;) {
    // One write at a time, looking again from the head: the list may have
    // changed while the lock was let go.
    WriteContext* write = nullptr;
    for (PLIST_ENTRY entry = context->sendOrder.Flink; entry != &context->sendOrder && !write; entry = entry->Flink) {
      auto candidate = CONTAINING_RECORD(entry, WriteContext, sendLinks);
      if (candidate->abortPending) write = candidate;
    }
    if (!write) break;
    write->abortPending = FALSE;
    write->refs |= WriteRefAbort;
    TzSerialWriteEndLocked(write, STATUS_CANCELLED, WriteRefAbort, oldIrql);
    oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  }
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  TzSerialIoDecrement(context);
}
