// Driver: the status transfer on the interrupt-in pipe, its completion and
// the decoding of SERIAL_STATE notifications.
#include "driver/usb/status_pipe.h"

#include "driver/core/globals.h"
#include "driver/pnp/usb_config.h"
#include "driver/usb/pipe_recovery.h"

namespace {

// What a status transfer carries to its completion routine.
struct StatusTransferContext {
  DeviceContext* context;
  ULONG byteCount;
  PURB urb;
};

// The SERIAL_STATE notification: an 8-byte header, then the 16-bit UART state.
constexpr ULONG SerialStateLength = 10;
constexpr UCHAR SerialStateRequestType = 0xA1;
constexpr UCHAR SerialStateNotification = 0x20;
constexpr USHORT SerialStateDataLength = 2;
constexpr USHORT SerialStateRxCarrier = 0x01;
constexpr USHORT SerialStateTxCarrier = 0x02;
constexpr USHORT SerialStateBreak = 0x04;
constexpr USHORT SerialStateRing = 0x08;

bool TzSerialHasStatusPipe(const DeviceContext* context) {
  return context->pipeLayout == PipeLayoutFull && context->interfaceClass == FILE_DEVICE_MODEM;
}

bool TzSerialStatusMayRetry(DeviceContext* context) {
  return TzSerialDeviceState(context) == DeviceStateStarted && context->devicePowerState == PowerDeviceD0 &&
         TzSerialPortActive(context);
}

void TzSerialFillStatusUrb(DeviceContext* context, USBD_PIPE_HANDLE pipe) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &context->statusUrb->UrbBulkOrInterruptTransfer;
  RtlZeroMemory(transfer, sizeof *transfer);
  transfer->Hdr.Length = sizeof *transfer;
  transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer->PipeHandle = pipe;
  transfer->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  transfer->TransferBufferLength = TzSerialStatusBufferSize;
  transfer->TransferBuffer = context->statusBuffer;
}

}  // namespace

NTSTATUS TzSerialStatusSubmit(DeviceContext* context) {
  LONG state = TzSerialDeviceState(context);
  if (state == DeviceStateRemoved || state == DeviceStateSurpriseRemoved ||
      context->systemPowerState != PowerSystemWorking)
    return STATUS_DELETE_PENDING;
  if (!TzSerialHasStatusPipe(context)) return STATUS_SUCCESS;
  // One transfer only. One still in flight (cancelled, not yet back) is
  // followed by a new one when it comes back, if the port is open then.
  while (InterlockedExchange(&context->statusBusy, 1)) {
    InterlockedExchange(&context->statusWanted, 1);
    if (InterlockedCompareExchange(&context->statusBusy, 0, 0)) return STATUS_SUCCESS;
    // It came back meanwhile, perhaps without seeing the wish: take it back.
    if (!InterlockedExchange(&context->statusWanted, 0)) return STATUS_SUCCESS;
  }

  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  USBD_PIPE_HANDLE pipe = TzSerialPipeHandle(context, UCHAR(context->controlInterfaceNumber),
                                             context->interruptPipeIndex);
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  auto record = static_cast<StatusTransferContext*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(StatusTransferContext), TzSerialPoolTag));
  if (!record || !context->statusIrp || !context->statusUrb || !pipe) {
    if (record) ExFreePoolWithTag(record, TzSerialPoolTag);
    InterlockedExchange(&context->statusBusy, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // Cleared, never re-initialised: a tear-down may be waiting on it already.
  KeClearEvent(&context->statusDone);
  InterlockedExchange(&context->statusCancelAsked, 0);  // a cancel from here on is one for this transfer
  TzSerialFillStatusUrb(context, pipe);
  PIRP irp = context->statusIrp;
  IoReuseIrp(irp, STATUS_SUCCESS);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = context->statusUrb;
  IoSetCompletionRoutine(irp, TzSerialStatusComplete, record, TRUE, TRUE, TRUE);
  *record = {context, 0, context->statusUrb};

  // The transfer holds an outstanding-request count until its completion is
  // done with the context, so removal cannot free it underneath.
  NTSTATUS status = STATUS_DELETE_PENDING;
  if (TzSerialIoIncrement(context)) {
    status = TzSerialHoldQueueAcquire(&context->holdQueue);
    if (status != STATUS_SUCCESS) TzSerialIoDecrement(context);
  }
  // Cleanup clears portActive before it cancels. A notification that beat
  // that cancel brings its completion here after the port was cleaned up, or
  // the cancel found this IRP before IoReuseIrp above cleared its mark:
  // either way a transfer sent now would pend on a closed port until close
  // gave up waiting for it. The reader stays idle instead.
  if (status == STATUS_SUCCESS && !TzSerialPortActive(context)) {
    TzSerialHoldQueueRelease(&context->holdQueue);
    TzSerialIoDecrement(context);
    status = STATUS_CANCELLED;
  }
  if (status != STATUS_SUCCESS) {
    ExFreePoolWithTag(record, TzSerialPoolTag);
    KeSetEvent(&context->statusDone, IO_NO_INCREMENT, FALSE);
    InterlockedExchange(&context->statusBusy, 0);
    return status;
  }
  return IoCallDriver(context->lowerDevice, irp);
}

NTSTATUS TzSerialStatusComplete(PDEVICE_OBJECT, PIRP irp, PVOID completionContext) {
  auto record = static_cast<StatusTransferContext*>(completionContext);
  DeviceContext* context = record->context;
  NTSTATUS status = irp->IoStatus.Status;
  // Everything the transfer brought is taken before the reader is marked
  // idle: from then on a new submission may reuse the IRP, URB and buffer,
  // and the tear-down may free them.
  UCHAR notification[TzSerialStatusBufferSize];
  USBD_STATUS usbdStatus = record->urb->UrbHeader.Status;
  if (NT_SUCCESS(status)) {
    record->byteCount = record->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (record->byteCount > sizeof notification) record->byteCount = sizeof notification;
    RtlCopyMemory(notification, context->statusBuffer, record->byteCount);
  }
  KeSetEvent(&context->statusDone, IO_NO_INCREMENT, FALSE);
  InterlockedExchange(&context->statusBusy, 0);
  bool wanted = InterlockedExchange(&context->statusWanted, 0) != 0;

  bool pipeError = TzSerialIsPipeError(context, status, usbdStatus);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  if (pipeError)
    TzSerialPipeRecoveryBeginLocked(context, PipeRecoveryStatus);  // the recovery submits it again
  else if (NT_SUCCESS(status))
    TzSerialPipeRecoverySucceededLocked(context, PipeRecoveryStatus);
  bool recovering = TzSerialPipeRecovering(context, PipeRecoveryStatus);
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  if (NT_SUCCESS(status)) {
    TzSerialParseSerialState(context, notification, record->byteCount);
    TzSerialHoldQueueRelease(&context->holdQueue);
    ExFreePoolWithTag(record, TzSerialPoolTag);
    TzSerialStatusSubmit(context);
  } else {
    // While the pipe recovers, the recovery sends the next one once the pipe
    // is reset. Otherwise the reader goes on after a busy bus, a submission
    // that waited for this one, or a cancel the bus made on its own.
    bool busCancelled = status == STATUS_CANCELLED && !InterlockedCompareExchange(&context->statusCancelAsked, 0, 0);
    bool retry = status == STATUS_DEVICE_BUSY || busCancelled || wanted;
    if (retry && !pipeError && !recovering && TzSerialStatusMayRetry(context)) TzSerialStatusSubmit(context);
    TzSerialHoldQueueRelease(&context->holdQueue);
    ExFreePoolWithTag(record, TzSerialPoolTag);
  }
  TzSerialIoDecrement(context);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void TzSerialStatusCancel(DeviceContext* context) {
  InterlockedExchange(&context->statusCancelAsked, 1);
  if (TzSerialHasStatusPipe(context) && InterlockedCompareExchange(&context->statusBusy, 1, 1) && context->statusIrp)
    IoCancelIrp(context->statusIrp);
}

void TzSerialParseSerialState(DeviceContext* context, const UCHAR* notification, ULONG length) {
  // A transfer shorter than a whole notification leaves stale bytes of an
  // earlier one in the buffer: it is dropped, never decoded.
  if (length < SerialStateLength) return;
  USHORT dataLength = USHORT(notification[6] | notification[7] << 8);
  if (notification[0] != SerialStateRequestType || notification[1] != SerialStateNotification ||
      dataLength != SerialStateDataLength)
    return;
  USHORT state = USHORT(notification[8] | notification[9] << 8);
  USHORT bits = 0;
  if (state & SerialStateRxCarrier) bits |= LineRlsd;
  if (state & SerialStateTxCarrier) bits |= LineDsr;
  if (state & SerialStateBreak) bits |= LineBreak;
  if (state & SerialStateRing) bits |= LineRing;
  TzSerialUpdateLineState(context, bits, LineReported);
}
