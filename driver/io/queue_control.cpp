// Driver: the device-wide queue operations that Plug and Play, power and
// cleanup use: stall all, restart all, cancel all, and the error-abort DPC.
#include "driver/core/device_context.h"
#include "driver/io/write.h"
#include "driver/io/write_queue.h"
#include "driver/usb/bulk_out.h"
#include "driver/usb/pipe_control.h"

namespace {

constexpr LONGLONG QueueRestWait100ns = 50000000;  // 5 seconds

}  // namespace

BOOLEAN TzSerialStallAllQueues(DeviceContext* context) {
  PAGED_CODE();
  TzSerialHoldOffAllQueues(context);
  // Readers, and transmissions that outlive the handle that asked for them
  // (a flow character, the write queue's send), are brought back: on a
  // device that keeps NAKing they would hold the hold queue for ever.
  BOOLEAN rest = TzSerialStopTransfers(context);
  LARGE_INTEGER deadline;
  KeQuerySystemTime(&deadline);
  deadline.QuadPart += QueueRestWait100ns;
  for (RequestQueue* queue : context->requestQueues) rest = TzSerialWaitQueueIdle(queue, &deadline) && rest;
  return TzSerialHoldQueueWaitIdle(&context->holdQueue, &deadline) && rest;
}

void TzSerialHoldOffAllQueues(DeviceContext* context) {
  TzSerialHoldQueueStall(&context->holdQueue);
  for (RequestQueue* queue : context->requestQueues) TzSerialHoldOffQueue(queue);
}

void TzSerialRestartAllQueues(DeviceContext* context) {
  TzSerialHoldQueueResume(&context->holdQueue);
  for (RequestQueue* queue : context->requestQueues) TzSerialRestartQueue(queue);
}

void TzSerialStallAndCancelAllRequests(DeviceContext* context) {
  PAGED_CODE();
  TzSerialHoldQueueStall(&context->holdQueue);
  for (RequestQueue* queue : context->requestQueues) TzSerialHoldOffQueue(queue);
  // A request that was starting as the cancel came may not have its cancel
  // routine in place yet, and is left alone: cancelled again until every
  // queue is idle. Nothing new starts meanwhile.
  LARGE_INTEGER retry;
  retry.QuadPart = -100LL * 10000;  // 100 ms
  for (bool idle = false; !idle;) {
    TzSerialCancelAllRequests(context, nullptr);
    idle = true;
    for (RequestQueue* queue : context->requestQueues) idle = TzSerialWaitQueueIdle(queue, &retry) && idle;
  }
}

void TzSerialCancelAllRequests(DeviceContext* context, PFILE_OBJECT fileObject) {
  for (RequestQueue* queue : context->requestQueues) TzSerialCancelQueuedRequests(queue, fileObject);
  // Reads and flushes belong to the port, not the handle: all of them go.
  TzSerialFlushQueue(context->requestQueues[WriteQueueIndex]);
  TzSerialFlushQueue(context->requestQueues[ReadQueueIndex]);
  // An XOFF counter that already left the write queue counts for the port too.
  TzSerialXoffCancelAll(context);

  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  PIRP wait = context->currentWaitRequest;
  if (wait && IoSetCancelRoutine(wait, nullptr)) {
    context->currentWaitRequest = nullptr;
    context->waitResultLocation = nullptr;
    KeReleaseSpinLock(&context->controlLock, oldIrql);
    TzSerialCompleteRequest(wait, STATUS_CANCELLED);
  } else {
    KeReleaseSpinLock(&context->controlLock, oldIrql);
  }

  TzSerialHoldQueueCancelHeld(&context->holdQueue, fileObject);
}

void TzSerialErrorAbortDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto context = static_cast<DeviceContext*>(deferredContext);
  TzSerialFlushQueue(context->requestQueues[WriteQueueIndex]);
  TzSerialWriteAbortAll(context);
  TzSerialFlushQueue(context->requestQueues[ReadQueueIndex]);
}
