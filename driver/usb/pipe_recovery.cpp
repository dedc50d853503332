// Driver: recovery of the readers' pipes after a pipe error. The pause timer's
// DPC queues recoveryWorkItem; the work, at PASSIVE_LEVEL, cancels what is
// still on the pipe and waits for it (bounded), resets the pipe, and starts
// the reader again. Each step holds an outstanding-request count, so removal
// waits for a recovery on its way, and a hold-queue admission while it works
// on the pipes, so a tear-down that stalls the hold queue waits for it too.
#include "driver/usb/pipe_recovery.h"

#include "driver/usb/bulk_in.h"
#include "driver/usb/pipe_control.h"
#include "driver/usb/status_pipe.h"

namespace {

constexpr LONGLONG RecoveryPause100ns = 100LL * 10000;      // 100 ms, times the attempt
constexpr LONGLONG RecoveryWindow100ns = 10 * 10000000LL;  // a failure later than this after a reset starts afresh
constexpr LONGLONG RecoveryRestWait100ns = 50000000;       // 5 seconds for the transfers still out

ULONG TzSerialPipeIndex(ULONG pipe) { return pipe == PipeRecoveryBulkIn ? 0 : 1; }

bool TzSerialDeviceGone(NTSTATUS status, USBD_STATUS usbdStatus) {
  return status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE || status == STATUS_DEVICE_REMOVED ||
         status == STATUS_DELETE_PENDING || usbdStatus == USBD_STATUS_DEVICE_GONE;
}

// The port still wants its readers, and the device can have them.
bool TzSerialRecoveryMayRun(DeviceContext* context) {
  return TzSerialDeviceState(context) == DeviceStateStarted && context->devicePowerState == PowerDeviceD0 &&
         context->systemPowerState == PowerSystemWorking && !InterlockedCompareExchange(&context->poweredDown, 0, 0) &&
         TzSerialPortActive(context);
}

// Cancels what is still on the pipe and waits for it, 5 seconds at most,
// twice (a transfer sent again just as the first cancel came goes with the
// second). TRUE once nothing is left. PASSIVE_LEVEL.
bool TzSerialPipeToRest(DeviceContext* context, ULONG pipe) {
  for (int round = 0; round < 2; ++round) {
    LARGE_INTEGER deadline;
    KeQuerySystemTime(&deadline);
    deadline.QuadPart += RecoveryRestWait100ns;
    bool rest = true;
    if (pipe == PipeRecoveryBulkIn) {
      TzSerialBulkInCancelAll(context);
      for (KEVENT& done : context->bulkInDone)
        rest = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &deadline) != STATUS_TIMEOUT && rest;
    } else if (InterlockedCompareExchange(&context->statusBusy, 0, 0)) {
      TzSerialStatusCancel(context);
      rest = KeWaitForSingleObject(&context->statusDone, Executive, KernelMode, FALSE, &deadline) != STATUS_TIMEOUT;
    }
    if (rest) return true;
  }
  return false;
}

// One pipe: brought to rest and reset, its recovery over, its reader
// started again unless the port no longer wants it or the device went. A
// pipe that would not come to rest is not reset (a transfer is still on it):
// the reader starts what it can, and a pipe still halted fails it again.
void TzSerialRecoverPipe(DeviceContext* context, ULONG pipe) {
  bool admitted = TzSerialRecoveryMayRun(context) && TzSerialHoldQueueAcquire(&context->holdQueue) == STATUS_SUCCESS;
  bool restart = admitted;
  if (admitted && TzSerialPipeToRest(context, pipe)) {
    NTSTATUS status = TzSerialResetPipes(context, pipe == PipeRecoveryBulkIn ? ResetBulkIn : ResetInterrupt);
    restart = !TzSerialDeviceGone(status, USBD_STATUS_SUCCESS) && TzSerialRecoveryMayRun(context);
  }
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  context->pipeRecovery &= ~pipe;
  KeQuerySystemTime(&context->recoveryLastTime[TzSerialPipeIndex(pipe)]);
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  if (restart && pipe == PipeRecoveryBulkIn)
    for (ULONG slot = 0; slot < TzSerialBulkInSlots; ++slot) TzSerialBulkInSubmit(context, slot);
  if (restart && pipe == PipeRecoveryStatus) TzSerialStatusSubmit(context);
  if (admitted) TzSerialHoldQueueRelease(&context->holdQueue);
}

void TzSerialPipeRecoveryWork(PDEVICE_OBJECT, PVOID workContext) {
  PAGED_CODE();
  auto context = static_cast<DeviceContext*>(workContext);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  context->recoveryWorkQueued = FALSE;
  ULONG pipes = context->pipeRecovery;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  if (pipes & PipeRecoveryBulkIn) TzSerialRecoverPipe(context, PipeRecoveryBulkIn);
  if (pipes & PipeRecoveryStatus) TzSerialRecoverPipe(context, PipeRecoveryStatus);
  TzSerialIoDecrement(context);
}

}  // namespace

BOOLEAN TzSerialIsPipeError(DeviceContext* context, NTSTATUS status, USBD_STATUS usbdStatus) {
  if (NT_SUCCESS(status) || status == STATUS_CANCELLED || status == STATUS_DEVICE_BUSY) return FALSE;
  if (TzSerialDeviceGone(status, usbdStatus)) return FALSE;
  return TzSerialDeviceState(context) == DeviceStateStarted && context->devicePowerState == PowerDeviceD0 &&
         TzSerialPortActive(context);
}

void TzSerialPipeRecoveryBeginLocked(DeviceContext* context, ULONG pipe) {
  if (context->pipeRecovery & pipe) return;
  ULONG index = TzSerialPipeIndex(pipe);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  if (now.QuadPart - context->recoveryLastTime[index].QuadPart > RecoveryWindow100ns)
    context->recoveryAttempts[index] = 0;
  // Spent: the pipe stays halted until reception is started again (an open,
  // the return to D0, a cancelled query).
  if (context->recoveryAttempts[index] >= TzSerialPipeRecoveryAttempts) return;
  ULONG attempt = ++context->recoveryAttempts[index];
  context->pipeRecovery |= pipe;
  LARGE_INTEGER due;
  due.QuadPart = -RecoveryPause100ns * LONGLONG(attempt);
  // The timer holds a count until its work is done; one already set has one.
  if (!KeSetTimer(&context->recoveryTimer, due, &context->recoveryDpc)) InterlockedIncrement(&context->outstandingIo);
}

void TzSerialPipeRecoverySucceededLocked(DeviceContext* context, ULONG pipe) {
  context->recoveryAttempts[TzSerialPipeIndex(pipe)] = 0;
}

void TzSerialPipeRecoveryDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto context = static_cast<DeviceContext*>(deferredContext);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  bool queue = !context->recoveryWorkQueued;
  context->recoveryWorkQueued = TRUE;
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  // The timer's count goes with the work item, or goes now when one is queued already.
  if (queue)
    IoQueueWorkItem(context->recoveryWorkItem, TzSerialPipeRecoveryWork, DelayedWorkQueue, context);
  else
    TzSerialIoDecrement(context);
}
