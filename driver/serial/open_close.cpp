// Driver: create, cleanup and close. The port opens exclusively; an open
// resets the receive, event and flow state, claims the bus, resets the pipes,
// raises DTR and RTS as the handshake modes say and starts the status and data
// readers. Cleanup cancels what the handle left and stops the readers; close
// drops both lines, gives the bus back and waits, bounded, for the readers to
// come to rest.
//
// The pipe reset and the control-line command run unguarded: this build has no
// structured exception handling, and neither raises (both report failures as
// statuses, which the open handles as the failure of that step).
#include "driver/serial/open_close.h"

#include "driver/core/dispatch.h"
#include "driver/io/receive_buffer.h"
#include "driver/serial/control_lines.h"
#include "driver/serial/line_state.h"
#include "driver/serial/queries.h"
#include "driver/usb/bulk_in.h"
#include "driver/usb/control_requests.h"
#include "driver/usb/pipe_control.h"
#include "driver/usb/status_pipe.h"

namespace {

constexpr LONGLONG ReaderWait100ns = 50000000;  // 5 seconds
constexpr USHORT LinesAtOpen = 0x0018;            // CTS and DSR present

NTSTATUS TzSerialFinishOpen(PIRP irp, DeviceContext* context, NTSTATUS status, bool counted) {
  if (counted) InterlockedDecrement(&context->openCount);
  irp->IoStatus.Information = 0;
  TzSerialCompleteRequest(irp, status);
  TzSerialIoDecrement(context);
  return status;
}

bool TzSerialIsModem(const DeviceContext* context) { return context->interfaceClass == FILE_DEVICE_MODEM; }

// What every open starts from. charsQueued is left as it is: what an earlier
// open left in flight (an immediate character outlives its close) still
// counts in it and takes itself off when it ends, so zeroing it here would
// take the count below zero then. With nothing in flight it is 0 already.
void TzSerialResetOpenState(DeviceContext* context) {
  ULONG size = context->rxBufferSize;
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  context->rxPendingCount = 0;
  TzSerialResetReadTarget(context);
  context->handFlow.XoffLimit = LONG(size / 8);
  context->handFlow.XonLimit = LONG(size / 2);
  context->rxFullThreshold = 3 * (size / 4) + size / 16;
  context->waitResultLocation = nullptr;
  context->historyMask = 0;
  context->waitMask = 0;
  context->sendXonPending = context->sendXoffPending = 0;
  context->escapeChar = 0;
  RtlZeroMemory(&context->perfStats, sizeof context->perfStats);
  TzSerialSetPortActive(context, true);
  TzSerialAssumeLinesLocked(context, LinesAtOpen);
  context->controlLines = TzSerialLinesOfHandFlow(&context->handFlow);
  KeReleaseSpinLock(&context->controlLock, oldIrql);
}

// Waits for one reader's event until the absolute deadline; TRUE when it came.
bool TzSerialWaitReader(PKEVENT done, LARGE_INTEGER deadline) {
  return KeWaitForSingleObject(done, Executive, KernelMode, FALSE, &deadline) != STATUS_TIMEOUT;
}

// Waits for every reader with one deadline; TRUE when all are at rest.
bool TzSerialWaitReaders(DeviceContext* context) {
  LARGE_INTEGER deadline;
  KeQuerySystemTime(&deadline);
  deadline.QuadPart += ReaderWait100ns;
  bool rest = !(context->pipeLayout == PipeLayoutFull && TzSerialIsModem(context)) ||
              TzSerialWaitReader(&context->statusDone, deadline);
  for (KEVENT& done : context->bulkInDone) rest = TzSerialWaitReader(&done, deadline) && rest;
  return rest;
}

// Close's bounded wait for the readers: readers that do not come to rest
// within the bound are cancelled again and given the bound once more, then
// left, so a close takes at most about twice the bound.
void TzSerialQuiesceReaders(DeviceContext* context) {
  if (TzSerialWaitReaders(context)) return;
  TzSerialStatusCancel(context);
  TzSerialBulkInCancelAll(context);
  TzSerialWaitReaders(context);
}

}  // namespace

NTSTATUS TzSerialCreateDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PAGED_CODE();
  DbgPrint("++ Enter TzSerialCreateDispatch  \n");
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  if (!TzSerialIoIncrement(context)) {
    irp->IoStatus.Information = 0;
    TzSerialCompleteRequest(irp, STATUS_NO_SUCH_DEVICE);
    return STATUS_NO_SUCH_DEVICE;
  }
  NTSTATUS status = TzSerialCheckDriverStatus(irp, context);
  if (status != STATUS_SUCCESS) return TzSerialFinishOpen(irp, context, status, false);

  if (InterlockedIncrement(&context->openCount) != 1) return TzSerialFinishOpen(irp, context, STATUS_ACCESS_DENIED, true);
  // Counted first, then the state read: a query-stop or query-remove sets its
  // pending state before it reads the count, so one of the two sees the
  // other. From a granted query until its cancel, and while the device is not
  // started, no open is admitted.
  if (TzSerialDeviceState(context) != DeviceStateStarted)
    return TzSerialFinishOpen(irp, context, STATUS_DEVICE_BUSY, true);
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.Create.Options & FILE_DIRECTORY_FILE)
    return TzSerialFinishOpen(irp, context, STATUS_NOT_A_DIRECTORY, true);
  if (!context->rxBuffer) return TzSerialFinishOpen(irp, context, STATUS_INSUFFICIENT_RESOURCES, true);
  if (TzSerialIsModem(context)) {
    if (TzSerialGetBusClaim(context) == BusClaimOther)
      return TzSerialFinishOpen(irp, context, STATUS_NOT_A_DIRECTORY, true);
    TzSerialSetBusClaim(context, BusClaimSerial);
  }

  TzSerialResetOpenState(context);
  TzSerialResetPipes(context, ResetAllPipes);
  status = TzSerialSendControlLines(context);
  if (!NT_SUCCESS(status)) {
    // The port stays closed: nothing may restart its readers later.
    TzSerialSetPortActive(context, false);
    if (TzSerialIsModem(context)) TzSerialSetBusClaim(context, BusClaimFree);
    return TzSerialFinishOpen(irp, context, status, true);
  }

  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  TzSerialRxRingReset(context);
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  TzSerialStatusSubmit(context);
  TzSerialBulkInStart(context);

  irp->IoStatus.Information = 0;
  TzSerialCompleteRequest(irp, status);
  TzSerialIoDecrement(context);
  DbgPrint("-- Enter TzSerialCreateDispatch  \n");
  return status;
}

NTSTATUS TzSerialCleanupDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PAGED_CODE();
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  TzSerialSetPortActive(context, false);
  if (TzSerialCheckDriverStatus(irp, context) == STATUS_SUCCESS) {
    TzSerialCancelAllRequests(context, IoGetCurrentIrpStackLocation(irp)->FileObject);
    // The port is exclusive, so these belong to the closing handle too; left
    // pending they would hold its file object, and IRP_MJ_CLOSE never comes.
    TzSerialCancelImmediateChar(context);
    TzSerialCancelRemovalNotify(context);
    // Cancelled transfers may complete at once, and their completions take
    // controlLock: the cancels are made without it.
    TzSerialStatusCancel(context);
    TzSerialBulkInCancelAll(context);
    TzSerialCancelWrites(context);
  }
  irp->IoStatus.Information = 0;
  TzSerialCompleteRequest(irp, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

NTSTATUS TzSerialCloseDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PAGED_CODE();
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  TzSerialSetPortActive(context, false);
  DbgPrint("++ Enter TzSerialCloseDispatch  \n");
  // %x takes 32 bits: the file object's low half.
  DbgPrint("Close irpStack->FileObject  %x \n", ULONG(ULONG_PTR(IoGetCurrentIrpStackLocation(irp)->FileObject)));
  irp->IoStatus.Information = 0;
  if (TzSerialCheckDriverStatus(irp, context) != STATUS_SUCCESS) {
    TzSerialCompleteRequest(irp, STATUS_SUCCESS);
    DbgPrint("-- Exit TzSerialCloseDispatch , Error TzSerialCheckDriverStatus \n");
    return STATUS_SUCCESS;
  }
  if (TzSerialIsModem(context)) TzSerialSetBusClaim(context, BusClaimFree);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  context->txHolding = 0;
  context->rxHolding = 0;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  TzSerialSetControlLines(context, 0);
  TzSerialQuiesceReaders(context);

  TzSerialCompleteRequest(irp, STATUS_SUCCESS);
  InterlockedDecrement(&context->openCount);
  DbgPrint("-- Exit TzSerialCloseDispatch , stauts =  %x \n", 0);
  return STATUS_SUCCESS;
}
