// Driver: cancelling bulk-out work, bringing every transfer to rest, and
// resetting pipes.
#include "driver/usb/pipe_control.h"

#include "driver/io/write.h"
#include "driver/pnp/usb_config.h"
#include "driver/usb/bulk_in.h"
#include "driver/usb/bulk_out.h"
#include "driver/usb/control_requests.h"
#include "driver/usb/status_pipe.h"

namespace {

constexpr LONGLONG TransferRestWait100ns = 50000000;  // 5 seconds

bool TzSerialBusy(volatile LONG* flag) { return InterlockedCompareExchange(flag, 0, 0) != 0; }

}  // namespace

BOOLEAN TzSerialTransfersIdle(DeviceContext* context) {
  if (TzSerialBusy(&context->statusBusy) || TzSerialBusy(&context->queuedSendBusy)) return FALSE;
  for (volatile LONG& busy : context->bulkInBusy)
    if (TzSerialBusy(&busy)) return FALSE;
  return TRUE;
}

BOOLEAN TzSerialStopTransfers(DeviceContext* context) {
  PAGED_CODE();
  LARGE_INTEGER none = {};
  for (int round = 0; round < 2; ++round) {
    TzSerialStatusCancel(context);
    TzSerialBulkInCancelAll(context);
    TzSerialCancelWrites(context);
    TzSerialCancelBulkOut(context);
    TzSerialCancelControlChars(context);
    // One deadline for the round: each wait takes what is left of it.
    LARGE_INTEGER deadline;
    KeQuerySystemTime(&deadline);
    deadline.QuadPart += TransferRestWait100ns;
    if (TzSerialBusy(&context->statusBusy))
      KeWaitForSingleObject(&context->statusDone, Executive, KernelMode, FALSE, &deadline);
    for (KEVENT& done : context->bulkInDone) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &deadline);
    TzSerialWaitTransmitIdle(context, &deadline);
    if (TzSerialTransfersIdle(context) && TzSerialWaitTransmitIdle(context, &none) == STATUS_SUCCESS) return TRUE;
  }
  return FALSE;
}

void TzSerialCancelBulkOut(DeviceContext* context) {
  if (InterlockedCompareExchange(&context->queuedSendBusy, 1, 1) && context->queuedSendIrp)
    IoCancelIrp(context->queuedSendIrp);
}

void TzSerialCancelWrites(DeviceContext* context) { TzSerialWriteAbortAll(context); }

NTSTATUS TzSerialResetPipes(DeviceContext* context, ULONG which) {
  PAGED_CODE();
  NTSTATUS status = STATUS_SUCCESS;
  if ((which == ResetInterrupt || which == ResetAllPipes) && context->pipeLayout == PipeLayoutFull &&
      context->interfaceClass == FILE_DEVICE_MODEM) {
    UCHAR control = UCHAR(context->controlInterfaceNumber);
    if (control >= TzSerialMaxInterfaces || !context->interfaceInfo[control]) return STATUS_INSUFFICIENT_RESOURCES;
    status = TzSerialResetPipe(context, TzSerialPipeHandle(context, control, context->interruptPipeIndex));
  }
  UCHAR data = context->dataInterfaceNumber;
  if (data >= TzSerialMaxInterfaces || !context->interfaceInfo[data]) return STATUS_INSUFFICIENT_RESOURCES;
  if (which == ResetBulkIn || which == ResetAllPipes)
    status = TzSerialResetPipe(context, TzSerialPipeHandle(context, data, context->bulkInPipeIndex));
  if (which == ResetBulkOut || which == ResetAllPipes)
    status = TzSerialResetPipe(context, TzSerialPipeHandle(context, data, context->bulkOutPipeIndex));
  return status;
}
