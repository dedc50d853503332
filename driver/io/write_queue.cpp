// Driver: the write queue's requests while they transmit. Up to three holders
// share the current request (writeQueueRefs): its transmission, its cancel
// routine and its timer; the one that drops the last finishes it, starting
// the next request first. A flush has nothing to transmit: once it reaches
// the head, behind the XOFF counters queued before it, it waits for the
// writes accepted before it (driver/io/flush.cpp).
#include "driver/io/write_queue.h"

#include "driver/core/dispatch.h"
#include "driver/io/due_time.h"
#include "driver/io/flush.h"
#include "driver/usb/bulk_out.h"
#include "driver/usb/pipe_control.h"

#include <stddef.h>  // offsetof

namespace {

bool TzSerialIsWrite(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE; }

// Characters the request transmits: a write's length, one (the XoffChar) for
// any other request.
ULONG TzSerialQueuedCount(PIRP irp) {
  return TzSerialIsWrite(irp) ? IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length : 1;
}

// Finishes the current request when no holder is left: it stops counting in
// charsQueued, the next request starts and it completes with status. Releases
// controlLock to oldIrql either way.
void TzSerialWriteQueueDropLocked(DeviceContext* context, NTSTATUS status, KIRQL oldIrql) {
  if (context->writeQueueRefs) {
    KeReleaseSpinLock(&context->controlLock, oldIrql);
    return;
  }
  PIRP irp = context->writeQueueIrp;
  context->writeQueueIrp = nullptr;
  context->charsQueued -= TzSerialQueuedCount(irp);
  TzSerialFinishCurrentLocked(&context->writeQueue, irp, status, oldIrql);
}

// The cancel routine or the timer (own: its hold, still held) ends the
// request with status: what is left of its transmission is given up and the
// transfer on the bus cancelled outside the lock. A transfer still in flight
// keeps the request until it is back (TzSerialWriteQueueSendOver). Then the
// own hold goes.
void TzSerialWriteQueueAbortLocked(DeviceContext* context, NTSTATUS status, ULONG own, KIRQL oldIrql) {
  PIRP irp = context->writeQueueIrp;
  irp->IoStatus.Status = status;  // for whichever holder finishes it
  if (context->txQueuedLength) {
    irp->IoStatus.Information = TzSerialIsWrite(irp) ? TzSerialQueuedCount(irp) - context->txQueuedLength : 0;
    context->txQueuedLength = 0;
    context->writeQueueRefs &= ~WriteQueueHeldByTransmit;
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    TzSerialCancelBulkOut(context);
    KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  }
  context->writeQueueRefs &= ~own;
  TzSerialWriteQueueDropLocked(context, status, oldIrql);
}

// The current request's characters have all gone out.
void TzSerialWriteQueueDone(DeviceContext* context, KIRQL oldIrql) {
  PIRP irp = context->writeQueueIrp;
  irp->IoStatus.Information = TzSerialQueuedCount(irp);
  context->writeQueueRefs &= ~WriteQueueHeldByTransmit;
  if ((context->writeQueueRefs & WriteQueueHeldByCancel) && IoSetCancelRoutine(irp, nullptr))
    context->writeQueueRefs &= ~WriteQueueHeldByCancel;
  if ((context->writeQueueRefs & WriteQueueHeldByTimer) && KeCancelTimer(&context->writeQueueTimer))
    context->writeQueueRefs &= ~WriteQueueHeldByTimer;
  if (context->writeQueueRefs || IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
    TzSerialWriteQueueDropLocked(context, STATUS_SUCCESS, oldIrql);
    return;
  }

  // An XOFF counter whose XoffChar went out: it leaves the queue and counts.
  context->writeQueueIrp = nullptr;
  context->charsQueued -= 1;
  IoSetCancelRoutine(irp, TzSerialXoffCancel);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    irp->IoStatus.Information = 0;
    TzSerialFinishCurrentLocked(&context->writeQueue, irp, STATUS_CANCELLED, oldIrql);
    return;
  }
  PIRP another = nullptr;
  PIRP superseded = TzSerialXoffInstallLocked(context, irp, &another);
  TzSerialSetCurrentFinishing(&context->writeQueue);
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  TzSerialStartNextRequest(&context->writeQueue);
  if (superseded) TzSerialCompleteRequest(superseded, STATUS_SERIAL_MORE_WRITES);
  if (another) TzSerialCompleteRequest(another, STATUS_SERIAL_MORE_WRITES);
}

}  // namespace

NTSTATUS TzSerialFlush(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  NTSTATUS status;
  if (!TzSerialPassGate(irp, context, &status)) return status;
  irp->IoStatus.Information = 0;
  TzSerialFlushMark(context, irp);
  status = TzSerialQueueRequest(&context->writeQueue, irp);
  TzSerialIoDecrement(context);
  return status;
}

NTSTATUS TzSerialWriteQueueStart(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  irp->IoStatus.Information = 0;
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_FLUSH_BUFFERS) return TzSerialFlushStart(context, irp);

  ULONG count = TzSerialQueuedCount(irp);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  ULONG multiplier = context->timeouts.WriteTotalTimeoutMultiplier;
  ULONG constant = context->timeouts.WriteTotalTimeoutConstant;
  context->writeQueueRefs = 0;
  IoSetCancelRoutine(irp, TzSerialWriteQueueCancel);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    TzSerialFinishCurrentLocked(&context->writeQueue, irp, STATUS_CANCELLED, oldIrql);
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(irp);
  context->writeQueueIrp = irp;
  context->writeQueueRefs = WriteQueueHeldByCancel;
  if (multiplier || constant) {
    ULONGLONG milliseconds = ULONGLONG(multiplier) * count + constant;
    KeSetTimer(&context->writeQueueTimer, TzSerialRelativeDueTime(milliseconds), &context->writeQueueTimeoutDpc);
    context->writeQueueRefs |= WriteQueueHeldByTimer;
  }
  context->charsQueued += count;
  context->txQueuedLength = count;
  auto buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  context->txQueuedBuffer = TzSerialIsWrite(irp) ? buffer : buffer + offsetof(SERIAL_XOFF_COUNTER, XoffChar);
  context->writeQueueRefs |= WriteQueueHeldByTransmit;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  // A transmission that cannot start leaves the request to its timer or a cancel.
  TzSerialQueuedSend(context);
  return STATUS_PENDING;
}

void TzSerialWriteQueueSendOver(DeviceContext* context) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  context->writeQueueRefs &= ~WriteQueueHeldBySend;
  if ((context->writeQueueRefs & WriteQueueHeldByTransmit) && context->txQueuedLength == 0) {
    TzSerialWriteQueueDone(context, oldIrql);
    return;
  }
  // Cancelled or timed out meanwhile (the status is the request's), or still
  // waiting to transmit the rest (then its own holds remain).
  TzSerialWriteQueueDropLocked(context, context->writeQueueIrp->IoStatus.Status, oldIrql);
}

void TzSerialWriteQueueCancel(PDEVICE_OBJECT deviceObject, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  if ((context->writeQueueRefs & WriteQueueHeldByTimer) && KeCancelTimer(&context->writeQueueTimer))
    context->writeQueueRefs &= ~WriteQueueHeldByTimer;
  TzSerialWriteQueueAbortLocked(context, STATUS_CANCELLED, WriteQueueHeldByCancel, oldIrql);
}

void TzSerialWriteQueueTimeoutDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto context = static_cast<DeviceContext*>(deferredContext);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  PIRP irp = context->writeQueueIrp;
  if (!irp || !(context->writeQueueRefs & WriteQueueHeldByTimer)) {
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    return;
  }
  if ((context->writeQueueRefs & WriteQueueHeldByCancel) && IoSetCancelRoutine(irp, nullptr))
    context->writeQueueRefs &= ~WriteQueueHeldByCancel;
  TzSerialWriteQueueAbortLocked(context, STATUS_TIMEOUT, WriteQueueHeldByTimer, DISPATCH_LEVEL);
}
