// Driver: RequestQueue, which runs one kind of request strictly one at a time
// through a start routine, with cancellation, flushing, stalling and restart.
#include "driver/core/device_context.h"

void TzSerialCompleteRequest(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void TzSerialInitializeQueue(RequestQueue* queue, TzSerialStartRoutine* startRoutine, PDEVICE_OBJECT deviceObject,
                             BOOLEAN startFromDpc) {
  queue->startRoutine = startRoutine;
  queue->deviceObject = deviceObject;
  queue->startFromDpc = startFromDpc;
  queue->stallCount = 1;
  queue->currentRequest = nullptr;
  queue->currentFinishing = FALSE;
  queue->starting = FALSE;
  queue->startAgain = FALSE;
  InitializeListHead(&queue->pendingList);
  KeInitializeSpinLock(&queue->lock);
  if (startFromDpc) KeInitializeDpc(&queue->startDpc, TzSerialQueueStartDpc, queue);
  KeInitializeEvent(&queue->idleEvent, NotificationEvent, FALSE);
}

namespace {

// Takes the first waiting request whose cancel routine it can take back and
// makes it current; null when the queue is stalled or nothing can start.
// lock held.
PIRP TzSerialTakeNextLocked(RequestQueue* queue) {
  if (queue->stallCount > 0) return nullptr;
  for (PLIST_ENTRY entry = queue->pendingList.Flink; entry != &queue->pendingList; entry = entry->Flink) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    // A null routine means a cancel is under way: its routine unlinks it.
    if (IoSetCancelRoutine(irp, nullptr)) {
      RemoveEntryList(entry);
      queue->currentRequest = irp;
      return irp;
    }
  }
  return nullptr;
}

// What follows when the start loop does not run the next request here: with
// none, the queue is idle; a queue that starts from its DPC queues it.
// Releases lock to oldIrql.
void TzSerialHandOnLocked(RequestQueue* queue, PIRP next, KIRQL oldIrql) {
  if (!next) KeSetEvent(&queue->idleEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&queue->lock, oldIrql);
  if (next) KeInsertQueueDpc(&queue->startDpc, nullptr, nullptr);
}

// The start loop. Runs the start routine of irp, just made current; as long
// as the request it started has ended by the time its start routine returns
// (a read the ring fills at once, a flush), it starts the next one itself,
// here, rather than from inside that routine: the stack stays the same
// however many requests wait, and each request is completed before the next
// one starts. Entered holding lock at DISPATCH_LEVEL; returns with it
// released to oldIrql, and with the first start routine's status.
NTSTATUS TzSerialRunStartLoop(RequestQueue* queue, PIRP irp, KIRQL oldIrql) {
  NTSTATUS first = STATUS_PENDING;
  for (bool isFirst = true;; isFirst = false) {
    queue->starting = TRUE;
    queue->startAgain = FALSE;
    KeReleaseSpinLockFromDpcLevel(&queue->lock);
    NTSTATUS status = queue->startRoutine(queue->deviceObject, irp);
    if (isFirst) first = status;
    KeAcquireSpinLockAtDpcLevel(&queue->lock);
    queue->starting = FALSE;
    // Still running: whoever ends it starts the next request.
    if (!queue->startAgain) break;
    irp = TzSerialTakeNextLocked(queue);
    if (!irp || queue->startFromDpc) {
      TzSerialHandOnLocked(queue, irp, oldIrql);
      return first;
    }
  }
  KeReleaseSpinLock(&queue->lock, oldIrql);
  return first;
}

}  // namespace

NTSTATUS TzSerialQueueRequest(RequestQueue* queue, PIRP irp) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&queue->lock);

  // An idle, running queue starts the request in line, even one that
  // normally starts from its DPC. A restart in progress may briefly leave the
  // count at -1: that is running too. While the start loop runs, the request
  // waits its turn: the loop takes it.
  if (!queue->currentRequest && !queue->starting && queue->stallCount <= 0) {
    queue->currentRequest = irp;
    return TzSerialRunStartLoop(queue, irp, oldIrql);
  }

  irp->Tail.Overlay.DriverContext[0] = queue;
  InsertTailList(&queue->pendingList, &irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(irp, TzSerialQueueCancelRoutine);
  // Cancelled before the routine was in place: unless the canceller already
  // took the routine back (then it completes the request), complete it here.
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&queue->lock, oldIrql);
    TzSerialCompleteRequest(irp, STATUS_CANCELLED);
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(irp);
  KeReleaseSpinLock(&queue->lock, oldIrql);
  return STATUS_PENDING;
}

void TzSerialStartNextRequest(RequestQueue* queue) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&queue->lock);
  // A current request dropped without being marked finishing may already be
  // completed and freed while a flush reaches for it.
  ASSERT(!queue->currentRequest || queue->currentFinishing);
  queue->currentRequest = nullptr;
  queue->currentFinishing = FALSE;
  if (queue->starting) {
    // Called from inside a start routine, or beside one: the loop that runs
    // it starts the next request once it returns.
    queue->startAgain = TRUE;
    KeReleaseSpinLock(&queue->lock, oldIrql);
    return;
  }
  PIRP next = TzSerialTakeNextLocked(queue);
  if (!next || queue->startFromDpc) {
    TzSerialHandOnLocked(queue, next, oldIrql);
    return;
  }
  TzSerialRunStartLoop(queue, next, oldIrql);
}

void TzSerialQueueStartDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto queue = static_cast<RequestQueue*>(context);
  KeAcquireSpinLockAtDpcLevel(&queue->lock);
  PIRP irp = queue->currentRequest;
  if (irp)
    TzSerialRunStartLoop(queue, irp, DISPATCH_LEVEL);
  else
    KeReleaseSpinLockFromDpcLevel(&queue->lock);
}

void TzSerialQueueCancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(DISPATCH_LEVEL);
  auto queue = static_cast<RequestQueue*>(irp->Tail.Overlay.DriverContext[0]);
  KeAcquireSpinLockAtDpcLevel(&queue->lock);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&queue->lock, irp->CancelIrql);
  TzSerialCompleteRequest(irp, STATUS_CANCELLED);
}

void TzSerialCancelListedRequests(PKSPIN_LOCK lock, PLIST_ENTRY list, PFILE_OBJECT fileObject) {
  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);

  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(lock);
  for (PLIST_ENTRY entry = list->Flink, next; entry != list; entry = next) {
    next = entry->Flink;
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (fileObject && IoGetCurrentIrpStackLocation(irp)->FileObject != fileObject) continue;
    // A null routine means a cancel is under way: its routine unlinks it.
    if (!IoSetCancelRoutine(irp, nullptr)) continue;
    RemoveEntryList(entry);
    InsertTailList(&cancelled, entry);
  }
  KeReleaseSpinLock(lock, oldIrql);

  while (!IsListEmpty(&cancelled)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&cancelled), IRP, Tail.Overlay.ListEntry);
    TzSerialCompleteRequest(irp, STATUS_CANCELLED);
  }
}

void TzSerialCancelQueuedRequests(RequestQueue* queue, PFILE_OBJECT fileObject) {
  TzSerialCancelListedRequests(&queue->lock, &queue->pendingList, fileObject);
}

void TzSerialFlushQueue(RequestQueue* queue) {
  TzSerialCancelQueuedRequests(queue, nullptr);

  // Start routines set and clear the current request's cancel routine under
  // controlLock, so taking it here settles who finishes the request.
  DeviceContext* context = TzSerialGetDeviceContext(queue->deviceObject);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  KeAcquireSpinLockAtDpcLevel(&queue->lock);
  PIRP current = queue->currentFinishing ? nullptr : queue->currentRequest;
  KeReleaseSpinLockFromDpcLevel(&queue->lock);
  PDRIVER_CANCEL cancelRoutine = current ? IoSetCancelRoutine(current, nullptr) : nullptr;
  KeReleaseSpinLock(&context->controlLock, oldIrql);

  if (!cancelRoutine) return;
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  current->Cancel = TRUE;
  current->CancelIrql = cancelIrql;
  cancelRoutine(queue->deviceObject, current);
}

void TzSerialSetCurrentFinishing(RequestQueue* queue) {
  KeAcquireSpinLockAtDpcLevel(&queue->lock);
  queue->currentFinishing = TRUE;
  KeReleaseSpinLockFromDpcLevel(&queue->lock);
}

void TzSerialFinishCurrentLocked(RequestQueue* queue, PIRP irp, NTSTATUS status, KIRQL oldIrql) {
  TzSerialSetCurrentFinishing(queue);
  KeReleaseSpinLock(&TzSerialGetDeviceContext(queue->deviceObject)->controlLock, oldIrql);
  // Completed before the next request starts: a next one that ends at once
  // must not complete ahead of this one.
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  TzSerialStartNextRequest(queue);
}

void TzSerialFinishCurrent(RequestQueue* queue, PIRP irp, NTSTATUS status) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&TzSerialGetDeviceContext(queue->deviceObject)->controlLock);
  TzSerialFinishCurrentLocked(queue, irp, status, oldIrql);
}

void TzSerialStallQueue(RequestQueue* queue) {
  PAGED_CODE();
  TzSerialHoldOffQueue(queue);
  TzSerialWaitQueueIdle(queue, nullptr);
}

void TzSerialHoldOffQueue(RequestQueue* queue) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&queue->lock);
  InterlockedIncrement(&queue->stallCount);
  if (queue->currentRequest || queue->starting) KeClearEvent(&queue->idleEvent);
  KeReleaseSpinLock(&queue->lock, oldIrql);
}

BOOLEAN TzSerialWaitQueueIdle(RequestQueue* queue, PLARGE_INTEGER timeout) {
  PAGED_CODE();
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&queue->lock);
  bool busy = queue->currentRequest || queue->starting;
  KeReleaseSpinLock(&queue->lock, oldIrql);
  // The start-next after the current request ends starts nothing (stalled)
  // and sets idleEvent.
  if (!busy) return TRUE;
  return KeWaitForSingleObject(&queue->idleEvent, Executive, KernelMode, FALSE, timeout) != STATUS_TIMEOUT;
}

void TzSerialRestartQueue(RequestQueue* queue) {
  if (InterlockedDecrement(&queue->stallCount) == 0) TzSerialStartNextRequest(queue);
  InterlockedCompareExchange(&queue->stallCount, 0, -1);
}
