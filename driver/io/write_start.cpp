// Driver: accepting and starting writes. The dispatch routine gives each
// write its context, puts it on sendOrder and queues its start DPC; a write
// goes to USB once its DPC has run and every write accepted before it has
// gone or been discarded. A write cancelled before its DPC ran never reaches USB.
#include "driver/io/write.h"

#include "driver/core/dispatch.h"
#include "driver/core/globals.h"
#include "driver/io/due_time.h"
#include "driver/io/write_queue.h"
#include "driver/usb/bulk_out.h"

namespace {

WriteContext* TzSerialWriteOf(PIRP irp) { return static_cast<WriteContext*>(irp->Tail.Overlay.DriverContext[0]); }

// Marks ready (when not null) a write whose start DPC has run, then sends
// every ready write at the head of sendOrder, each outside the lock. Only one
// party sends at a time: one that finds another sending leaves its write to
// it, since the sender looks at the head again after each send and stops
// only when, under the lock, the head is missing or not ready. Any IRQL <=
// DISPATCH_LEVEL; the caller holds a write that still counts on the device.
void TzSerialWriteSendInOrder(DeviceContext* context, WriteContext* ready) {
  // A write sent here may complete and free itself at once: the device stays
  // on a count of this routine's own.
  InterlockedIncrement(&context->outstandingIo);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->sendOrderLock);
  if (ready) ready->readyToSend = TRUE;
  bool sender = !context->sendOrderDraining;
  context->sendOrderDraining = TRUE;
  while (sender && !IsListEmpty(&context->sendOrder)) {
    WriteContext* head = CONTAINING_RECORD(context->sendOrder.Flink, WriteContext, sendLinks);
    if (!head->readyToSend) break;
    RemoveEntryList(&head->sendLinks);
    InitializeListHead(&head->sendLinks);
    KeReleaseSpinLockFromDpcLevel(&context->sendOrderLock);
    TzSerialBulkOutSend(context, head);
    KeAcquireSpinLockAtDpcLevel(&context->sendOrderLock);
  }
  if (sender) context->sendOrderDraining = FALSE;
  KeReleaseSpinLock(&context->sendOrderLock, oldIrql);
  TzSerialIoDecrement(context);
}

// A write that will never be sent leaves sendOrder, letting the writes
// behind it go.
void TzSerialWriteLeaveSendOrder(DeviceContext* context, WriteContext* write) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->sendOrderLock);
  RemoveEntryList(&write->sendLinks);
  InitializeListHead(&write->sendLinks);
  KeReleaseSpinLock(&context->sendOrderLock, oldIrql);
  TzSerialWriteSendInOrder(context, nullptr);
}

// A write that never started: off the lists, out of charsQueued, freed and
// completed with STATUS_CANCELLED and no bytes.
void TzSerialWriteDiscard(WriteContext* write, PIRP irp) {
  DeviceContext* context = write->context;
  TzSerialWriteLeaveSendOrder(context, write);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  context->charsQueued -= write->length;
  write->refs = WriteDone;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  KeAcquireSpinLock(&write->requestLock, &oldIrql);
  write->request = nullptr;
  KeReleaseSpinLock(&write->requestLock, oldIrql);
  irp->IoStatus.Information = 0;
  TzSerialCompleteRequest(irp, STATUS_CANCELLED);
  TzSerialWriteRelease(context, write);
}

void TzSerialWriteFree(DeviceContext* context, WriteContext* write) {
  if (write->bulkIrp) IoFreeIrp(write->bulkIrp);
  ExFreePoolWithTag(write, TzSerialPoolTag);
  TzSerialTxAliveDrop(context);
}

}  // namespace

void TzSerialTxAliveAdd(DeviceContext* context) {
  // Never the count's first: the creation reference holds it above 0 until
  // removal, and a write's dispatch holds one of its own.
  InterlockedIncrement(&context->outstandingIo);
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->activeWritesLock, &oldIrql);
  if (context->txAlive++ == 0) KeClearEvent(&context->txIdle);
  KeReleaseSpinLock(&context->activeWritesLock, oldIrql);
}

void TzSerialTxAliveDrop(DeviceContext* context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->activeWritesLock, &oldIrql);
  if (--context->txAlive == 0) KeSetEvent(&context->txIdle, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&context->activeWritesLock, oldIrql);
  TzSerialIoDecrement(context);
}

NTSTATUS TzSerialWaitTransmitIdle(DeviceContext* context, PLARGE_INTEGER timeout) {
  PAGED_CODE();
  return KeWaitForSingleObject(&context->txIdle, Executive, KernelMode, FALSE, timeout);
}

void TzSerialWriteRelease(DeviceContext* context, WriteContext* write) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->activeWritesLock, &oldIrql);
  RemoveEntryList(&write->links);
  InitializeListHead(&write->links);
  bool pinned = write->pins != 0;
  write->freeWhenUnpinned = pinned;
  KeReleaseSpinLock(&context->activeWritesLock, oldIrql);
  if (!pinned) TzSerialWriteFree(context, write);
}

void TzSerialWriteUnpin(DeviceContext* context, WriteContext* write) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->activeWritesLock, &oldIrql);
  bool free = --write->pins == 0 && write->freeWhenUnpinned;
  KeReleaseSpinLock(&context->activeWritesLock, oldIrql);
  if (free) TzSerialWriteFree(context, write);
}

namespace {

// The write dispatch past the gate: a write context per request, taking its
// place in sendOrder here, in the caller's order, and sent once its start DPC
// has run.
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

  TzSerialTxAliveAdd(context);
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->activeWritesLock, &oldIrql);
  InsertTailList(&context->activeWrites, &write->links);
  KeReleaseSpinLock(&context->activeWritesLock, oldIrql);
  KeAcquireSpinLock(&context->sendOrderLock, &oldIrql);
  InsertTailList(&context->sendOrder, &write->sendLinks);
  KeReleaseSpinLock(&context->sendOrderLock, oldIrql);
  KeAcquireSpinLock(&context->controlLock, &oldIrql);
  context->charsQueued += length;
  KeReleaseSpinLock(&context->controlLock, oldIrql);

  KeInitializeTimer(&write->writeTimer);
  KeInitializeTimer(&write->spareTimer);
  KeInitializeDpc(&write->timeoutDpc, TzSerialWriteTimeoutDpc, write);
  KeInitializeDpc(&write->startDpc, TzSerialWriteStartDpc, write);
  KeInitializeSpinLock(&write->requestLock);

  IoSetCancelRoutine(irp, TzSerialWriteCancelQueued);
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
  ULONG multiplier = context->timeouts.WriteTotalTimeoutMultiplier;
  ULONG constant = context->timeouts.WriteTotalTimeoutConstant;
  write->refs = 0;
  // The queued cancel routine is swapped for the started one only if it is
  // still in place; otherwise a cancel has taken it, and whichever of this
  // DPC and that routine comes second ends the write. Cancelled meanwhile,
  // with the routine still here: end it now.
  PVOID swapped = InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&irp->CancelRoutine),
                                                    reinterpret_cast<PVOID>(TzSerialWriteCancelStarted),
                                                    reinterpret_cast<PVOID>(TzSerialWriteCancelQueued));
  if (swapped != reinterpret_cast<PVOID>(TzSerialWriteCancelQueued)) {
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    if (InterlockedIncrement(&write->cancelMeet) == 2) TzSerialWriteDiscard(write, irp);
    return;
  }
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    TzSerialWriteDiscard(write, irp);
    return;
  }
  write->refs = WriteRefCancel;
  if (multiplier || constant) {
    ULONGLONG milliseconds = ULONGLONG(write->length) * multiplier + constant;
    KeSetTimer(&write->writeTimer, TzSerialRelativeDueTime(milliseconds), &write->timeoutDpc);
    write->refs |= WriteRefTimer;
  }
  write->remaining = write->length;
  write->data = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  write->refs |= WriteRefData;
  // A write ends the XOFF counter that is counting.
  PIRP another = nullptr;
  PIRP superseded = TzSerialXoffSupersedeLocked(context, &another);
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);

  if (superseded) TzSerialCompleteRequest(superseded, STATUS_SERIAL_MORE_WRITES);
  if (another) TzSerialCompleteRequest(another, STATUS_SERIAL_MORE_WRITES);
  // Ready: it goes now, or from whichever party sends the write ahead of it.
  // Cancelled or timed out while it waits, it ends when its turn comes,
  // without reaching the bus.
  TzSerialWriteSendInOrder(context, write);
}

void TzSerialWriteCancelQueued(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  WriteContext* write = TzSerialWriteOf(irp);
  // Still queued: the DPC will not run, the clean-up is ours. Running, or not
  // yet queued: the DPC finds this routine gone, and the second of the two
  // to arrive cleans up. The write is not touched after the meeting.
  if (KeRemoveQueueDpc(&write->startDpc) || InterlockedIncrement(&write->cancelMeet) == 2)
    TzSerialWriteDiscard(write, irp);
}
