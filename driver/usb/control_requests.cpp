// Driver: synchronous URB submission and the adapter's control requests.
#include "driver/usb/control_requests.h"

#include "driver/core/globals.h"

namespace {

constexpr LONGLONG ChipCommandTimeout100ns = -30000000;  // 3 seconds, relative
constexpr CCHAR ExtraStackLocations = 3;

bool TzSerialChipCommandsAllowed(const DeviceContext* context) {
  return context->interfaceClass == FILE_DEVICE_MODEM && context->pipeLayout == PipeLayoutFull;
}

// Sends one class request to the communication interface.
NTSTATUS TzSerialSendClassRequest(DeviceContext* context, UCHAR request, USHORT value, ULONG transferFlags,
                                  PVOID buffer, ULONG length) {
  auto urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), TzSerialPoolTag));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* r = &urb->UrbControlVendorClassRequest;
  r->Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  r->Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
  r->TransferFlags = transferFlags;
  r->TransferBuffer = buffer;
  r->TransferBufferLength = length;
  r->Request = request;
  r->Value = value;
  r->Index = context->controlInterfaceNumber;
  NTSTATUS status = TzSerialSubmitUrbWithTimeout(context, urb);
  ExFreePoolWithTag(urb, TzSerialPoolTag);
  return status;
}

}  // namespace

PIRP TzSerialBuildInternalIrp(DeviceContext* context, ULONG ioControlCode, PVOID argument, PKEVENT done) {
  PIRP irp = IoAllocateIrp(CCHAR(context->lowerDevice->StackSize + ExtraStackLocations), FALSE);
  if (!irp) return nullptr;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  next->Parameters.Others.Argument1 = argument;
  IoSetCompletionRoutine(irp, TzSerialSignalEventCompletion, done, TRUE, TRUE, TRUE);
  return irp;
}

NTSTATUS TzSerialSignalEventCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS TzSerialSubmitUrb(DeviceContext* context, PURB urb) {
  PAGED_CODE();
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = TzSerialBuildInternalIrp(context, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, &done);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  IoCallDriver(context->lowerDevice, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

NTSTATUS TzSerialSubmitUrbWithTimeout(DeviceContext* context, PURB urb) {
  PAGED_CODE();
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = TzSerialBuildInternalIrp(context, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, &done);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;

  NTSTATUS status;
  if (IoCallDriver(context->lowerDevice, irp) == STATUS_PENDING) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = ChipCommandTimeout100ns;
    status = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout);
    if (status == STATUS_TIMEOUT) {
      // The IRP is ours until its completion routine has run: cancel and wait.
      IoCancelIrp(irp);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      status = irp->IoStatus.Status;
    }
  } else {
    status = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  IoFreeIrp(irp);
  return status;
}

NTSTATUS TzSerialResetPipe(DeviceContext* context, USBD_PIPE_HANDLE pipe) {
  PAGED_CODE();
  struct _URB_PIPE_REQUEST request;
  RtlZeroMemory(&request, sizeof request);
  request.Hdr.Length = sizeof request;
  request.Hdr.Function = URB_FUNCTION_RESET_PIPE;
  request.PipeHandle = pipe;
  return TzSerialSubmitUrb(context, reinterpret_cast<PURB>(&request));
}

NTSTATUS TzSerialSetDeviceFeature(DeviceContext* context, USHORT featureSelector) {
  PAGED_CODE();
  struct _URB_CONTROL_FEATURE_REQUEST request;
  RtlZeroMemory(&request, sizeof request);
  request.Hdr.Length = sizeof request;
  request.Hdr.Function = URB_FUNCTION_SET_FEATURE_TO_DEVICE;
  request.FeatureSelector = featureSelector;
  request.Index = 0;
  return TzSerialSubmitUrb(context, reinterpret_cast<PURB>(&request));
}

NTSTATUS TzSerialSetControlLineState(DeviceContext* context, USHORT lineState) {
  PAGED_CODE();
  if (!TzSerialChipCommandsAllowed(context)) return STATUS_SUCCESS;
  return TzSerialSendClassRequest(context, CdcSetControlLineState, lineState, 0, nullptr, 0);
}

NTSTATUS TzSerialSetLineCoding(DeviceContext* context, const LineCoding* lineCoding) {
  PAGED_CODE();
  if (!TzSerialChipCommandsAllowed(context)) return STATUS_SUCCESS;
  // A private copy: a later change of the caller's record does not alter the
  // request in flight.
  LineCoding copy = *lineCoding;
  return TzSerialSendClassRequest(context, CdcSetLineCoding, 0, 0, &copy, sizeof copy);
}

NTSTATUS TzSerialGetLineCoding(DeviceContext* context, PUCHAR buffer) {
  PAGED_CODE();
  if (!TzSerialChipCommandsAllowed(context)) return STATUS_SUCCESS;
  return TzSerialSendClassRequest(context, CdcGetLineCoding, 0, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                  buffer, sizeof(LineCoding));
}
