// Driver: device-context lookup, the request gate and the outstanding-request
// count that lets removal wait for the last request.
#include "driver/core/device_context.h"

DeviceContext* TzSerialGetDeviceContext(PDEVICE_OBJECT deviceObject) {
  auto context = static_cast<DeviceContext*>(deviceObject->DeviceExtension);
  // The port device object names itself; the function device object of the
  // two-device scheme names the port device object, which carries the context.
  if (context->portDevice) return static_cast<DeviceContext*>(context->portDevice->DeviceExtension);
  return context;
}

NTSTATUS TzSerialCheckDriverStatus(PIRP irp, DeviceContext* context) {
  LONG state = context->deviceState;
  bool gone = state == DeviceStateRemoved || state == DeviceStateSurpriseRemoved;
  if (gone && IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_PNP) {
    irp->IoStatus.Status = STATUS_DELETE_PENDING;
    return STATUS_DELETE_PENDING;
  }
  return STATUS_SUCCESS;
}

BOOLEAN TzSerialPassGate(PIRP irp, DeviceContext* context, NTSTATUS* status) {
  *status = TzSerialCheckDriverStatus(irp, context);
  if (*status == STATUS_SUCCESS) return TRUE;
  TzSerialCompleteRequest(irp, *status);
  return FALSE;
}

BOOLEAN TzSerialIoIncrement(DeviceContext* context) {
  InterlockedIncrement(&context->outstandingIo);
  if (context->deviceState == DeviceStateRemoved) {
    TzSerialIoDecrement(context);
    return FALSE;
  }
  return TRUE;
}

void TzSerialIoDecrement(DeviceContext* context) {
  if (InterlockedExchangeAdd(&context->outstandingIo, -1) == 1) KeSetEvent(&context->removeEvent, IO_NO_INCREMENT, FALSE);
}

void TzSerialWaitOutstandingIo(DeviceContext* context) {
  PAGED_CODE();
  context->deviceState = DeviceStateRemoved;
  TzSerialIoDecrement(context);
  KeWaitForSingleObject(&context->removeEvent, Executive, KernelMode, FALSE, nullptr);
}
