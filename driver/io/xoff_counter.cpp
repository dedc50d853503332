// Driver: the XOFF counter once its XoffChar has gone out. Three holders share
// the current counter (xoffRefs): the count, its cancel routine and its timer;
// the one that drops the last completes it. A later counter, or a write,
// ends a counting one with STATUS_SERIAL_MORE_WRITES. When the earlier counter
// cannot be ended at once (its timer or cancel routine is already on its
// way), the new one waits in xoffNextIrp and becomes current as the earlier
// one ends, so the two never share the timer.
#include "driver/io/write_queue.h"

#include "driver/io/due_time.h"

namespace {

// Makes a counter whose cancel routine is set the current one. controlLock held.
void TzSerialXoffBecomeCurrent(DeviceContext* context, PIRP irp) {
  auto counter = static_cast<const SERIAL_XOFF_COUNTER*>(irp->AssociatedIrp.SystemBuffer);
  context->xoffCounterIrp = irp;
  context->xoffCountRemaining = ULONG(counter->Counter);
  context->xoffRefs = XoffHeldByCount | XoffHeldByCancel;
  if (counter->Timeout) {
    KeSetTimer(&context->xoffTimer, TzSerialRelativeDueTime(counter->Timeout), &context->xoffTimeoutDpc);
    context->xoffRefs |= XoffHeldByTimer;
  }
}

// When no holder is left, the current counter ends: returns it (to complete
// once the lock is released) and lets a waiting counter take its place.
// controlLock held.
PIRP TzSerialXoffEndIfLast(DeviceContext* context) {
  if (context->xoffRefs) return nullptr;
  PIRP done = context->xoffCounterIrp;
  context->xoffCounterIrp = nullptr;
  if (PIRP next = context->xoffNextIrp) {
    context->xoffNextIrp = nullptr;
    TzSerialXoffBecomeCurrent(context, next);
  }
  return done;
}

void TzSerialXoffStopCounting(DeviceContext* context) {
  if (context->xoffCountRemaining) {
    context->xoffCountRemaining = 0;
    context->xoffRefs &= ~XoffHeldByCount;
  }
}

void TzSerialXoffWithdrawOthers(DeviceContext* context) {
  if ((context->xoffRefs & XoffHeldByCancel) && IoSetCancelRoutine(context->xoffCounterIrp, nullptr))
    context->xoffRefs &= ~XoffHeldByCancel;
  if ((context->xoffRefs & XoffHeldByTimer) && KeCancelTimer(&context->xoffTimer))
    context->xoffRefs &= ~XoffHeldByTimer;
}

void TzSerialXoffComplete(PIRP irp, NTSTATUS status) {
  if (!irp) return;
  irp->IoStatus.Information = 0;
  TzSerialCompleteRequest(irp, status);
}

// Takes the waiting counter out of line: returns it when its cancel routine
// could be taken back (the caller completes it), else its cancel routine,
// already running, completes it. controlLock held.
PIRP TzSerialXoffTakeWaiting(DeviceContext* context) {
  PIRP next = context->xoffNextIrp;
  context->xoffNextIrp = nullptr;
  return next && IoSetCancelRoutine(next, nullptr) ? next : nullptr;
}

}  // namespace

void TzSerialXoffCount(DeviceContext* context, ULONG received) {
  PIRP irp = context->xoffCounterIrp;
  if (!irp || !context->xoffCountRemaining || !received) return;
  if (received < context->xoffCountRemaining) {
    context->xoffCountRemaining -= received;
    return;
  }
  context->xoffCountRemaining = 0;
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  KeInsertQueueDpc(&context->xoffCountedDpc, nullptr, nullptr);
}

PIRP TzSerialXoffSupersedeLocked(DeviceContext* context, PIRP* another) {
  *another = TzSerialXoffTakeWaiting(context);
  if (!context->xoffCounterIrp || !(context->xoffRefs & XoffHeldByCount)) return nullptr;
  context->xoffCountRemaining = 0;
  context->xoffRefs &= ~XoffHeldByCount;
  TzSerialXoffWithdrawOthers(context);
  return TzSerialXoffEndIfLast(context);
}

PIRP TzSerialXoffInstallLocked(DeviceContext* context, PIRP irp, PIRP* another) {
  PIRP superseded = TzSerialXoffSupersedeLocked(context, another);
  if (context->xoffCounterIrp)
    context->xoffNextIrp = irp;
  else
    TzSerialXoffBecomeCurrent(context, irp);
  return superseded;
}

void TzSerialXoffCountedDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto context = static_cast<DeviceContext*>(deferredContext);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  // A run for a counter that something else ended meanwhile finds the
  // counting hold gone, or a newer counter still counting.
  if (!context->xoffCounterIrp || !(context->xoffRefs & XoffHeldByCount) || context->xoffCountRemaining) {
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    return;
  }
  context->xoffRefs &= ~XoffHeldByCount;
  TzSerialXoffWithdrawOthers(context);
  PIRP done = TzSerialXoffEndIfLast(context);
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  TzSerialXoffComplete(done, STATUS_SUCCESS);
}

void TzSerialXoffTimeoutDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto context = static_cast<DeviceContext*>(deferredContext);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  if (!context->xoffCounterIrp || !(context->xoffRefs & XoffHeldByTimer)) {
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    return;
  }
  context->xoffRefs &= ~XoffHeldByTimer;
  if ((context->xoffRefs & XoffHeldByCancel) && IoSetCancelRoutine(context->xoffCounterIrp, nullptr))
    context->xoffRefs &= ~XoffHeldByCancel;
  TzSerialXoffStopCounting(context);
  PIRP done = TzSerialXoffEndIfLast(context);
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  TzSerialXoffComplete(done, STATUS_SERIAL_COUNTER_TIMEOUT);
}

void TzSerialXoffCancel(PDEVICE_OBJECT deviceObject, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  if (irp != context->xoffCounterIrp) {
    // Waiting to count, or taken out of line by a later counter or write.
    if (context->xoffNextIrp == irp) context->xoffNextIrp = nullptr;
    KeReleaseSpinLock(&context->controlLock, oldIrql);
    TzSerialXoffComplete(irp, STATUS_CANCELLED);
    return;
  }
  context->xoffRefs &= ~XoffHeldByCancel;
  if ((context->xoffRefs & XoffHeldByTimer) && KeCancelTimer(&context->xoffTimer))
    context->xoffRefs &= ~XoffHeldByTimer;
  TzSerialXoffStopCounting(context);
  PIRP done = TzSerialXoffEndIfLast(context);
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  TzSerialXoffComplete(done, STATUS_CANCELLED);
}

void TzSerialXoffCancelAll(DeviceContext* context) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  PIRP waiting = TzSerialXoffTakeWaiting(context);
  PIRP done = nullptr;
  if (context->xoffCounterIrp && (context->xoffRefs & XoffHeldByCancel) &&
      IoSetCancelRoutine(context->xoffCounterIrp, nullptr)) {
    context->xoffRefs &= ~XoffHeldByCancel;
    if ((context->xoffRefs & XoffHeldByTimer) && KeCancelTimer(&context->xoffTimer))
      context->xoffRefs &= ~XoffHeldByTimer;
    TzSerialXoffStopCounting(context);
    done = TzSerialXoffEndIfLast(context);
  }
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  TzSerialXoffComplete(waiting, STATUS_CANCELLED);
  TzSerialXoffComplete(done, STATUS_CANCELLED);
}
