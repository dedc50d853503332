// Driver: the vendor port reset (0x80002408). A port reset is made as the
// platform asks: nothing new goes down, the device's I/O is cancelled and
// waited for, then the port is reset. The adapter comes back at its power-on
// defaults, so it is told again the line coding and the control lines the
// port had, and the readers go back on the bus.
#include "driver/serial/queries.h"

#include "driver/serial/control_lines.h"
#include "driver/usb/bulk_in.h"
#include "driver/usb/bulk_out.h"
#include "driver/usb/control_requests.h"
#include "driver/usb/pipe_control.h"
#include "driver/usb/status_pipe.h"

namespace {

// A chip command on another thread takes up to 3 seconds before it is
// cancelled; what it then needs to come back is short.
constexpr LONGLONG ChipCommandRest100ns = -50000000;  // 5 seconds, relative

// Cancels every transfer of the device and waits, bounded, until they and
// the admitted control requests of other threads are back. The hold queue is
// stalled by the caller, so nothing new starts meanwhile. TRUE when all came
// back.
bool TzSerialQuiesceForReset(DeviceContext* context) {
  if (!TzSerialStopTransfers(context)) return false;
  LARGE_INTEGER timeout;
  timeout.QuadPart = ChipCommandRest100ns;
  return TzSerialHoldQueueWaitIdle(&context->holdQueue, &timeout) != FALSE;
}

// The adapter forgot its line coding and control lines: both are sent again
// (the line coding only once one was set: an adapter never told one keeps
// its own).
void TzSerialRestoreAdapterSettings(DeviceContext* context) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  LineCoding coding = context->lineCoding;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  if (coding.dteRate || coding.charFormat || coding.parityType || coding.dataBits)
    TzSerialSetLineCoding(context, &coding);
  if (TzSerialPortActive(context)) TzSerialSendControlLines(context);
}

// Puts back on the bus what the quiesce took off: the readers of an open port
// and a write-queue transmission that still has bytes to send.
void TzSerialRestartTransfers(DeviceContext* context) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  bool transmitting = context->writeQueueIrp && context->txQueuedLength;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  if (transmitting) TzSerialQueuedSend(context);
  if (!TzSerialPortActive(context)) return;
  TzSerialStatusSubmit(context);
  TzSerialBulkInStart(context);
}

}  // namespace

NTSTATUS TzSerialResetUsbPort(DeviceContext* context, PIRP irp) {
  PAGED_CODE();
  irp->IoStatus.Information = 0;
  // While stalled, transfers are refused and held control requests wait.
  TzSerialHoldQueueStall(&context->holdQueue);
  NTSTATUS status = TzSerialQuiesceForReset(context) ? TzSerialResetPort(context) : STATUS_DEVICE_BUSY;
  if (NT_SUCCESS(status)) TzSerialRestoreAdapterSettings(context);
  // Held requests replay after the restore, so the last word is theirs.
  TzSerialHoldQueueResume(&context->holdQueue);
  TzSerialRestartTransfers(context);
  return status;
}
