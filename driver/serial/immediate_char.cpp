// Driver: the immediate-character request (IOCTL_SERIAL_IMMEDIATE_CHAR). Up to
// three holders share it (immediateFlags): the transmit path, the cancel
// routine and the timer. Each drops its own hold under controlLock; the one
// that drops the last ends the request and completes it after releasing the lock.
#include "driver/serial/line_state.h"

#include "driver/usb/bulk_out.h"

namespace {

constexpr LONGLONG TzSerialMsTo100ns = 10000;

// controlLock held. When no holder is left, ends the request: it stops counting
// in charsQueued, which may leave the transmitter empty. Returns the request to
// complete after releasing the lock, or null while others still hold it.
PIRP TzSerialEndImmediateIfLast(DeviceContext* context) {
  if (context->immediateFlags) return nullptr;
  PIRP irp = context->immediateRequest;
  context->immediateRequest = nullptr;
  context->charsQueued--;
  TzSerialCheckTxEmpty(context);
  return irp;
}

// A cancel or time-out that finds the character already on the bus: the
// request ends with its status once the transfer, cancelled now, is back.
// Returns the pinned transfer to cancel after releasing the lock.
// controlLock held.
PVOID TzSerialEndImmediateOnTheBus(DeviceContext* context, NTSTATUS reason) {
  if (!(context->immediateFlags & ImmediateHeldByTransmit) || context->immediateSentRequest != context->immediateRequest)
    return nullptr;
  if (!context->immediateEndStatus) context->immediateEndStatus = reason;
  return TzSerialPinImmediateTransferLocked(context);
}

}  // namespace

void TzSerialDropImmediateChar(DeviceContext* context) {
  if (!context->immediatePending) return;
  context->immediatePending = FALSE;
  context->immediateFlags &= ~ImmediateHeldByTransmit;
}

NTSTATUS TzSerialStartImmediateChar(DeviceContext* context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->controlLock, &oldIrql);
  PIRP irp = context->immediateRequest;
  // One character's worth of the write timeouts; none when both are 0.
  ULONGLONG timeoutMs =
      ULONGLONG(context->timeouts.WriteTotalTimeoutMultiplier) + context->timeouts.WriteTotalTimeoutConstant;

  context->immediateFlags = 0;
  context->immediateEndStatus = STATUS_SUCCESS;
  IoSetCancelRoutine(irp, TzSerialImmediateCancel);
  // Cancelled before the routine was in place: unless the canceller already
  // took it back (then the routine runs and ends it), end it here.
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    PIRP done = TzSerialEndImmediateIfLast(context);
    KeReleaseSpinLock(&context->controlLock, oldIrql);
    TzSerialCompleteRequest(done, STATUS_CANCELLED);
    return STATUS_CANCELLED;
  }
  context->immediateFlags |= ImmediateHeldByCancel;
  if (timeoutMs) {
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = -LONGLONG(timeoutMs) * TzSerialMsTo100ns;
    KeSetTimer(&context->immediateTimer, dueTime, &context->immediateTimeoutDpc);
    context->immediateFlags |= ImmediateHeldByTimer;
  }
  context->immediateChar = *static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  context->immediatePending = TRUE;
  context->immediateFlags |= ImmediateHeldByTransmit;
  TzSerialControlCharKick(context);
  IoMarkIrpPending(irp);
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  return STATUS_PENDING;
}

namespace {

// The cancel routine's hold is gone (it ran, or cleanup took it back): the
// request ends as cancelled once no other holder is left. controlLock held on
// entry, released to oldIrql.
void TzSerialCancelImmediateLocked(DeviceContext* context, KIRQL oldIrql) {
  context->immediateFlags &= ~ImmediateHeldByCancel;
  // A timer that already fired keeps its hold: its DPC is on its way.
  if ((context->immediateFlags & ImmediateHeldByTimer) && KeCancelTimer(&context->immediateTimer))
    context->immediateFlags &= ~ImmediateHeldByTimer;
  TzSerialDropImmediateChar(context);
  PVOID onTheBus = TzSerialEndImmediateOnTheBus(context, STATUS_CANCELLED);
  PIRP done = TzSerialEndImmediateIfLast(context);
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  if (done) TzSerialCompleteRequest(done, STATUS_CANCELLED);
  TzSerialCancelPinnedTransfer(context, onTheBus);
}

}  // namespace

void TzSerialImmediateCancel(PDEVICE_OBJECT deviceObject, PIRP irp) {
  IoReleaseCancelSpinLock(DISPATCH_LEVEL);
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  TzSerialCancelImmediateLocked(context, irp->CancelIrql);
}

void TzSerialCancelImmediateChar(DeviceContext* context) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  PIRP irp = context->immediateRequest;
  if (!irp || !(context->immediateFlags & ImmediateHeldByCancel) || !IoSetCancelRoutine(irp, nullptr)) {
    KeReleaseSpinLock(&context->controlLock, oldIrql);
    return;
  }
  TzSerialCancelImmediateLocked(context, oldIrql);
}

void TzSerialImmediateTimeoutDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto context = static_cast<DeviceContext*>(deferredContext);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  PIRP irp = context->immediateRequest;
  if (!irp || !(context->immediateFlags & ImmediateHeldByTimer)) {
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    return;
  }
  context->immediateFlags &= ~ImmediateHeldByTimer;
  if ((context->immediateFlags & ImmediateHeldByCancel) && IoSetCancelRoutine(irp, nullptr))
    context->immediateFlags &= ~ImmediateHeldByCancel;
  TzSerialDropImmediateChar(context);
  PVOID onTheBus = TzSerialEndImmediateOnTheBus(context, STATUS_TIMEOUT);
  PIRP done = TzSerialEndImmediateIfLast(context);
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  if (done) TzSerialCompleteRequest(done, STATUS_TIMEOUT);
  TzSerialCancelPinnedTransfer(context, onTheBus);
}

void TzSerialImmediateDoneDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto context = static_cast<DeviceContext*>(deferredContext);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  PIRP irp = context->immediateRequest;
  // Only the request whose character went out: a stale run finds another
  // request (or none) in its place.
  if (!irp || irp != context->immediateSentRequest) {
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    return;
  }
  context->immediateSentRequest = nullptr;
  NTSTATUS status = context->immediateEndStatus ? context->immediateEndStatus : context->immediateSendStatus;
  context->immediateFlags &= ~ImmediateHeldByTransmit;
  if ((context->immediateFlags & ImmediateHeldByCancel) && IoSetCancelRoutine(irp, nullptr))
    context->immediateFlags &= ~ImmediateHeldByCancel;
  if ((context->immediateFlags & ImmediateHeldByTimer) && KeCancelTimer(&context->immediateTimer))
    context->immediateFlags &= ~ImmediateHeldByTimer;
  PIRP done = TzSerialEndImmediateIfLast(context);
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  if (done) TzSerialCompleteRequest(done, status);
}
