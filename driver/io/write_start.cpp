// Driver: accepting and starting writes. The dispatch routine gives each
// write its context and its place at the end of sendOrder, and queues its
// start DPC; once that has run, the write goes to USB when its turn comes. A
// write cancelled before its DPC ran never reaches USB.
#include "driver/io/write.h"

#include "driver/core/dispatch.h"
#include "driver/core/globals.h"
#include "driver/io/write_queue.h"

namespace {

// A write that never started: out of sendOrder and charsQueued, completed
// with STATUS_CANCELLED and no bytes, and freed.
void TzSerialWriteDiscard(WriteContext* write) {
  DeviceContext* context = write->context;
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  write->transmitDone = TRUE;
  write->endStatus = STATUS_CANCELLED;
  write->refs = 0;
  // The writes behind it no longer wait for it; the device stays on this
  // routine's own count while they go.
  InterlockedIncrement(&context->outstandingIo);
  TzSerialWriteDropLocked(write, oldIrql);
  TzSerialWriteTransmitNext(context);
  TzSerialIoDecrement(context);
}

}  // namespace

void TzSerialTxAliveAdd(DeviceContext* context) {
  // Never the count's first: the creation reference holds it above 0 until
  // removal, and a write's dispatch holds one of its own.
  InterlockedIncrement(&context->outstandingIo);
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->txAliveLock, &oldIrql);
  if (context->txAlive++ == 0) KeClearEvent(&context->txIdle);
  KeReleaseSpinLock(&context->txAliveLock, oldIrql);
}

void TzSerialTxAliveDrop(DeviceContext* context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->txAliveLock, &oldIrql);
  if (--context->txAlive == 0) KeSetEvent(&context->txIdle, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&context->txAliveLock, oldIrql);
  TzSerialIoDecrement(context);
}

NTSTATUS TzSerialWaitTransmitIdle(DeviceContext* context, PLARGE_INTEGER timeout) {
  PAGED_CODE();
  return KeWaitForSingleObject(&context->txIdle, Executive, KernelMode, FALSE, timeout);
}

namespace {

// The write dispatch past the gate: a write context per request, taking its
// place in sendOrder here, in the caller's order.
NTSTATUS TzSerialWriteAdmitted(PDEVICE_OBJECT deviceObject, DeviceContext* context, PIRP irp) {
  irp->IoStatus.Information = 0;
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
  if (length == 0) {
    TzSerialCompleteRequest(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  }
  auto write =
      static_cast<WriteContext*>(ExAllocatePoolWithTag(NonPagedPoolNx, TzSerialWriteContextSize, TzSerialPoolTag));
  if (!write) {
    TzSerialCompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  IoMarkIrpPending(irp);
  RtlZeroMemory(write, TzSerialWriteContextSize);
  write->request = irp;
  write->deviceObject = deviceObject;
  write->context = context;
  write->length = length;
  irp->Tail.Overlay.DriverContext[0] = write;
  KeInitializeTimer(&write->writeTimer);
  KeInitializeTimer(&write->spareTimer);
  KeInitializeDpc(&write->timeoutDpc, TzSerialWriteTimeoutDpc, write);
  KeInitializeDpc(&write->startDpc, TzSerialWriteStartDpc, write);

  TzSerialTxAliveAdd(context);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  write->sequence = ++context->writeSequence;
  InsertTailList(&context->sendOrder, &write->sendLinks);
  context->charsQueued += length;
  IoSetCancelRoutine(irp, TzSerialWriteCancelQueued);
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  KeInsertQueueDpc(&write->startDpc, nullptr, nullptr);
  return STATUS_PENDING;
}

}  // namespace

NTSTATUS TzSerialWrite(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  NTSTATUS status;
  if (!TzSerialPassGate(irp, context, &status)) return status;
  status = TzSerialWriteAdmitted(deviceObject, context, irp);
  TzSerialIoDecrement(context);
  return status;
}

void TzSerialWriteStartDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto write = static_cast<WriteContext*>(deferredContext);
  DeviceContext* context = write->context;
  PIRP irp = write->request;

  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  write->refs = 0;
  // The queued cancel routine is swapped for the started one only if it is
  // still in place; otherwise a cancel has taken it, and whichever of this
  // DPC and that routine comes second ends the write. Cancelled or aborted
  // meanwhile, with the routine still here: end it now.
  PVOID swapped = InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&irp->CancelRoutine),
                                                    reinterpret_cast<PVOID>(TzSerialWriteCancelStarted),
                                                    reinterpret_cast<PVOID>(TzSerialWriteCancelQueued));
  if (swapped != reinterpret_cast<PVOID>(TzSerialWriteCancelQueued)) {
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    if (InterlockedIncrement(&write->cancelMeet) == 2) TzSerialWriteDiscard(write);
    return;
  }
  if ((irp->Cancel || write->endStatus) && IoSetCancelRoutine(irp, nullptr)) {
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    TzSerialWriteDiscard(write);
    return;
  }
  write->refs = WriteRefCancel | WriteRefData;
  write->data = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  write->nextChunk = write->data;
  write->unsent = write->length;
  write->ready = TRUE;
  // A write ends the XOFF counter that is counting.
  PIRP another = nullptr;
  PIRP superseded = TzSerialXoffSupersedeLocked(context, &another);
  // The write holds the device until it completes, and it cannot complete
  // while WriteRefData is held: the context is safe to use below.
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);

  if (superseded) TzSerialCompleteRequest(superseded, STATUS_SERIAL_MORE_WRITES);
  if (another) TzSerialCompleteRequest(another, STATUS_SERIAL_MORE_WRITES);
  TzSerialWriteTransmitNext(context);
}

void TzSerialWriteCancelQueued(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto write = static_cast<WriteContext*>(irp->Tail.Overlay.DriverContext[0]);
  // Still queued: the DPC will not run, the clean-up is ours. Running, or not
  // yet queued: the DPC finds this routine gone, and the second of the two
  // to arrive cleans up. The write is not touched after the meeting.
  if (KeRemoveQueueDpc(&write->startDpc) || InterlockedIncrement(&write->cancelMeet) == 2) TzSerialWriteDiscard(write);
}
