// Driver: the read dispatch routine and readQueue's start routine. The
// SERIAL_TIMEOUTS in force are worked out once, when a read starts: return at
// once, wait until filled, or wait under a total and/or an interval timer.
#include "driver/io/read.h"

#include "driver/core/dispatch.h"
#include "driver/io/due_time.h"
#include "driver/io/receive_buffer.h"
#include "driver/io/request_queue.h"

namespace {

// How a read of a given length behaves under the time-outs in force.
struct TzSerialReadPlan {
  bool returnAtOnce;     // complete with whatever the ring holds
  bool returnOnAnyByte;  // complete as soon as any byte is placed
  bool oneByte;          // wait for one byte only
  bool useInterval;
  bool useTotal;
  LARGE_INTEGER total;   // relative due time of the total timer
};

TzSerialReadPlan TzSerialPlanRead(const SERIAL_TIMEOUTS& timeouts, ULONG length) {
  const ULONG interval = timeouts.ReadIntervalTimeout;
  const ULONG multiplier = timeouts.ReadTotalTimeoutMultiplier;
  const ULONG constant = timeouts.ReadTotalTimeoutConstant;
  TzSerialReadPlan plan = {};
  plan.useInterval = interval != 0 && interval != MAXULONG;
  // Products in 64 bits: L × multiplier + constant cannot wrap there.
  ULONGLONG totalMs = ULONGLONG(length) * multiplier + constant;
  if (interval == MAXULONG) {
    if (constant == 0 && multiplier == 0) {
      plan.returnAtOnce = true;
    } else if (constant != MAXULONG) {
      plan.returnOnAnyByte = true;
      plan.useTotal = true;
      plan.oneByte = multiplier == MAXULONG;
      if (plan.oneByte) totalMs = constant;
    }
  } else {
    plan.useTotal = multiplier != 0 || constant != 0;
  }
  if (plan.useTotal) plan.total = TzSerialRelativeDueTime(totalMs);
  return plan;
}

// Makes the read the target of the receive path and arms its timers.
// controlLock held.
void TzSerialBecomeReadTarget(DeviceContext* context, PIRP irp, const TzSerialReadPlan& plan,
                              const SERIAL_TIMEOUTS& timeouts) {
  auto base = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  ULONG placed = ULONG(irp->IoStatus.Information);
  context->currentRead = irp;
  context->readTargetBase = base;
  context->readTargetCursor = base + placed;
  context->readTargetLast = base + IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length - 1;
  context->readRefs = ReadRefData | ReadRefCancel;
  context->readEndReason = LONG(placed);  // at most the ring's size
  context->rxBytesDuringRead = 0;

  if (plan.useInterval) {
    context->readIntervalTime.QuadPart = LONGLONG(timeouts.ReadIntervalTimeout) * 10000;
    context->readIntervalPoll = context->readIntervalTime.QuadPart < context->intervalCutover.QuadPart
                                    ? context->intervalPollShort
                                    : context->intervalPollLong;
    KeQuerySystemTime(&context->readLastByteTime);
    KeSetTimer(&context->readIntervalTimer, context->readIntervalPoll, &context->readIntervalDpc);
    context->readRefs |= ReadRefIntervalTimer;
  }
  if (plan.useTotal) {
    KeSetTimer(&context->readTotalTimer, plan.total, &context->readTotalTimeoutDpc);
    context->readRefs |= ReadRefTotalTimer;
  }
}

}  // namespace

NTSTATUS TzSerialRead(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  NTSTATUS status;
  if (!TzSerialPassGate(irp, context, &status)) return status;
  irp->IoStatus.Information = 0;
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length == 0) {
    TzSerialCompleteRequest(irp, STATUS_SUCCESS);
    status = STATUS_SUCCESS;
  } else {
    status = TzSerialQueueRequest(&context->readQueue, irp);
  }
  TzSerialIoDecrement(context);
  return status;
}

NTSTATUS TzSerialReadStart(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  RequestQueue* queue = &context->readQueue;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  const SERIAL_TIMEOUTS timeouts = context->timeouts;
  const TzSerialReadPlan plan = TzSerialPlanRead(timeouts, location->Parameters.Read.Length);

  auto buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  ULONG taken = TzSerialRxRingGet(context, buffer + irp->IoStatus.Information, location->Parameters.Read.Length);
  context->readBytesNeeded = location->Parameters.Read.Length - taken;
  context->rxPendingCount -= taken;
  TzSerialRxReleaseIfDrained(context);
  irp->IoStatus.Information += taken;
  if (plan.returnAtOnce || context->readBytesNeeded == 0 || (plan.returnOnAnyByte && irp->IoStatus.Information)) {
    TzSerialFinishCurrentLocked(queue, irp, STATUS_SUCCESS, DISPATCH_LEVEL);
    return STATUS_SUCCESS;
  }
  if (plan.oneByte) {
    context->readBytesNeeded = 1;
    location->Parameters.Read.Length = 1;
  }

  context->readRefs = 0;
  IoSetCancelRoutine(irp, TzSerialReadCancel);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    // Cancelled as it started: the bytes already placed have left the ring,
    // so they stay with the read.
    NTSTATUS status = TzSerialReadCancelledStatus(irp);
    TzSerialFinishCurrentLocked(queue, irp, status, DISPATCH_LEVEL);
    return status;
  }
  IoMarkIrpPending(irp);
  TzSerialBecomeReadTarget(context, irp, plan, timeouts);
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  return STATUS_PENDING;
}
