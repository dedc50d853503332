// Driver: HoldQueue. Admits control requests and USB transfers while the
// device runs, holds control requests while it is stalled and replays them in
// arrival order on resume, and refuses everything once the device is gone.
#include "driver/io/request_queue.h"

void TzSerialInitializeHoldQueue(HoldQueue* hold, PDEVICE_OBJECT deviceObject) {
  hold->deviceObject = deviceObject;
  KeInitializeEvent(&hold->idleEvent, NotificationEvent, FALSE);
  InitializeListHead(&hold->heldList);
  KeInitializeSpinLock(&hold->lock);
  hold->replayRequest = nullptr;
  hold->stallCount = 1;
  hold->activeCount = 0;
  hold->abortStatus = STATUS_SUCCESS;
}

NTSTATUS TzSerialHoldQueueAdmitRequest(HoldQueue* hold, PIRP irp) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&hold->lock);
  NTSTATUS abortStatus = hold->abortStatus;
  if (abortStatus != STATUS_SUCCESS) {
    KeReleaseSpinLock(&hold->lock, oldIrql);
    TzSerialCompleteRequest(irp, abortStatus);
    return abortStatus;
  }

  if (hold->stallCount > 0) {
    if (irp != hold->replayRequest) {
      irp->Tail.Overlay.DriverContext[0] = hold;
      InsertTailList(&hold->heldList, &irp->Tail.Overlay.ListEntry);
      IoSetCancelRoutine(irp, TzSerialHoldQueueCancelRoutine);
      if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&hold->lock, oldIrql);
        TzSerialCompleteRequest(irp, STATUS_CANCELLED);
        return STATUS_CANCELLED;
      }
      IoMarkIrpPending(irp);
      KeReleaseSpinLock(&hold->lock, oldIrql);
      return STATUS_PENDING;
    }
    hold->replayRequest = nullptr;  // the request being replayed passes
  }

  hold->activeCount++;
  KeReleaseSpinLock(&hold->lock, oldIrql);
  return STATUS_SUCCESS;
}

NTSTATUS TzSerialHoldQueueAcquire(HoldQueue* hold) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&hold->lock);
  NTSTATUS status = hold->abortStatus;
  if (status == STATUS_SUCCESS) {
    if (hold->stallCount > 0)
      status = STATUS_DEVICE_BUSY;
    else
      hold->activeCount++;
  }
  KeReleaseSpinLock(&hold->lock, oldIrql);
  return status;
}

void TzSerialHoldQueueRelease(HoldQueue* hold) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&hold->lock);
  if (--hold->activeCount == 0) KeSetEvent(&hold->idleEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&hold->lock, oldIrql);
}

void TzSerialHoldQueueStall(HoldQueue* hold) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&hold->lock);
  hold->stallCount++;
  KeReleaseSpinLock(&hold->lock, oldIrql);
}

void TzSerialHoldQueueResume(HoldQueue* hold) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&hold->lock);
  // stallCount stays at 1 during the replay, so requests arriving meanwhile
  // are held behind the replayed ones and keep their order.
  while (hold->stallCount == 1 && !IsListEmpty(&hold->heldList)) {
    PLIST_ENTRY entry = RemoveHeadList(&hold->heldList);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (!IoSetCancelRoutine(irp, nullptr)) {
      // Being cancelled: its routine will unlink it, harmlessly, from itself.
      InitializeListHead(entry);
      continue;
    }
    hold->replayRequest = irp;
    KeReleaseSpinLock(&hold->lock, oldIrql);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    hold->deviceObject->DriverObject->MajorFunction[major](hold->deviceObject, irp);
    oldIrql = KeAcquireSpinLockRaiseToDpc(&hold->lock);
    // A replayed request refused before admission never cleared it, and a
    // later request reusing the freed IRP's address must not pass a stall.
    hold->replayRequest = nullptr;
  }
  if (hold->stallCount > 0) hold->stallCount--;
  KeReleaseSpinLock(&hold->lock, oldIrql);
}

void TzSerialHoldQueueCancelHeld(HoldQueue* hold, PFILE_OBJECT fileObject) {
  TzSerialCancelListedRequests(&hold->lock, &hold->heldList, fileObject);
}

BOOLEAN TzSerialHoldQueueWaitIdle(HoldQueue* hold, PLARGE_INTEGER timeout) {
  PAGED_CODE();
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&hold->lock);
  KeClearEvent(&hold->idleEvent);
  bool active = hold->activeCount != 0;
  KeReleaseSpinLock(&hold->lock, oldIrql);
  if (!active) return TRUE;
  return KeWaitForSingleObject(&hold->idleEvent, Executive, KernelMode, FALSE, timeout) != STATUS_TIMEOUT;
}

void TzSerialHoldQueueSetAbortStatus(HoldQueue* hold, NTSTATUS status) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&hold->lock);
  hold->abortStatus = status;
  KeReleaseSpinLock(&hold->lock, oldIrql);
}

void TzSerialHoldQueueCancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(DISPATCH_LEVEL);
  auto hold = static_cast<HoldQueue*>(irp->Tail.Overlay.DriverContext[0]);
  KeAcquireSpinLockAtDpcLevel(&hold->lock);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&hold->lock, irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}
