// Driver: how the current read ends. Filled by the receive path, timed out by
// its total or interval timer, or cancelled: each party drops its own hold
// under controlLock, withdraws the others it can, and the one that drops the
// last hold completes the read, keeping the bytes it placed.
#include "driver/io/read.h"

#include "driver/io/receive_buffer.h"
#include "driver/io/request_queue.h"

namespace {

// Cancels a timer the read holds; its hold goes when the cancel succeeds
// (otherwise its DPC is on its way and drops the hold itself).
void TzSerialReadCancelTimer(DeviceContext* context, PKTIMER timer, ULONG ref) {
  if ((context->readRefs & ref) && KeCancelTimer(timer)) context->readRefs &= ~ref;
}

// Takes the cancel routine back; its hold goes when that succeeds.
void TzSerialReadTakeBackCancel(DeviceContext* context) {
  if ((context->readRefs & ReadRefCancel) && IoSetCancelRoutine(context->currentRead, nullptr))
    context->readRefs &= ~ReadRefCancel;
}

// Releases controlLock (to oldIrql) and, when no hold is left, completes the
// read with status after starting the next request.
void TzSerialReadDropLocked(DeviceContext* context, NTSTATUS status, KIRQL oldIrql) {
  if (context->readRefs) {
    KeReleaseSpinLock(&context->controlLock, oldIrql);
    return;
  }
  PIRP irp = context->currentRead;
  context->currentRead = nullptr;
  TzSerialFinishCurrentLocked(&context->readQueue, irp, status, oldIrql);
}

void TzSerialReadRearmInterval(DeviceContext* context) {
  KeSetTimer(&context->readIntervalTimer, context->readIntervalPoll, &context->readIntervalDpc);
  context->readRefs |= ReadRefIntervalTimer;
}

}  // namespace

void TzSerialReadTargetRelease(DeviceContext* context) {
  if (context->readTargetBase == context->rxBuffer) return;
  context->currentRead->IoStatus.Information = ULONG_PTR(context->readTargetCursor - context->readTargetBase);
  TzSerialResetReadTarget(context);
  context->rxPendingCount = 0;
  TzSerialRxRingReset(context);
  TzSerialRxReleaseIfDrained(context);
  context->readRefs &= ~ReadRefData;
}

void TzSerialReadFilledDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto context = static_cast<DeviceContext*>(deferredContext);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  context->readRefs &= ~ReadRefData;
  context->readEndReason = ReadEndFilled;
  TzSerialReadCancelTimer(context, &context->readTotalTimer, ReadRefTotalTimer);
  TzSerialReadCancelTimer(context, &context->readIntervalTimer, ReadRefIntervalTimer);
  TzSerialReadTakeBackCancel(context);
  TzSerialReadDropLocked(context, STATUS_SUCCESS, DISPATCH_LEVEL);
}

void TzSerialReadTotalTimeoutDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto context = static_cast<DeviceContext*>(deferredContext);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  context->readRefs &= ~ReadRefTotalTimer;
  context->readEndReason = ReadEndTotalTimeout;
  TzSerialReadCancelTimer(context, &context->readIntervalTimer, ReadRefIntervalTimer);
  TzSerialReadTakeBackCancel(context);
  TzSerialReadTargetRelease(context);
  TzSerialReadDropLocked(context, STATUS_TIMEOUT, DISPATCH_LEVEL);
}

void TzSerialReadIntervalDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto context = static_cast<DeviceContext*>(deferredContext);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  context->readRefs &= ~ReadRefIntervalTimer;

  NTSTATUS status = STATUS_TIMEOUT;
  bool ended = true;
  switch (context->readEndReason) {
    case ReadEndTotalTimeout:
      break;
    case ReadEndFilled:
      status = STATUS_SUCCESS;
      break;
    case ReadEndCancelled:
      // The cancel routine placed the bytes in Information; they stay.
      status = TzSerialReadCancelledStatus(context->currentRead);
      break;
    default: {
      LARGE_INTEGER now;
      KeQuerySystemTime(&now);
      if (context->rxBytesDuringRead) {
        // The mark only says "bytes seen"; keep it positive whatever arrived.
        context->readEndReason = context->rxBytesDuringRead < 0x7FFFFFFF ? LONG(context->rxBytesDuringRead) : 0x7FFFFFFF;
        context->rxBytesDuringRead = 0;
        context->readLastByteTime = now;
        ended = false;
      } else {
        // Before the first byte the interval never expires.
        ended = context->readEndReason != 0 &&
                now.QuadPart - context->readLastByteTime.QuadPart >= context->readIntervalTime.QuadPart;
      }
      if (!ended) TzSerialReadRearmInterval(context);
    }
  }
  if (ended) {
    TzSerialReadCancelTimer(context, &context->readTotalTimer, ReadRefTotalTimer);
    TzSerialReadTakeBackCancel(context);
    TzSerialReadTargetRelease(context);
  }
  TzSerialReadDropLocked(context, status, DISPATCH_LEVEL);
}

void TzSerialReadCancel(PDEVICE_OBJECT deviceObject, PIRP irp) {
  IoReleaseCancelSpinLock(DISPATCH_LEVEL);
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  context->readRefs &= ~ReadRefCancel;
  context->readEndReason = ReadEndCancelled;
  TzSerialReadCancelTimer(context, &context->readTotalTimer, ReadRefTotalTimer);
  TzSerialReadCancelTimer(context, &context->readIntervalTimer, ReadRefIntervalTimer);
  TzSerialReadTargetRelease(context);
  TzSerialReadDropLocked(context, TzSerialReadCancelledStatus(irp), irp->CancelIrql);
}
