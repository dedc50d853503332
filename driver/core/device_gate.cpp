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
  LONG state = TzSerialDeviceState(context);
  bool gone = state == DeviceStateRemoved || state == DeviceStateSurpriseRemoved;
  if (gone && IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_PNP) {
    irp->IoStatus.Status = STATUS_DELETE_PENDING;
    return STATUS_DELETE_PENDING;
  }
  return STATUS_SUCCESS;
}

BOOLEAN TzSerialPassGate(PIRP irp, DeviceContext* context, NTSTATUS* status) {
  // Counted first: a removal that begins after the check waits for this request.
  bool counted = TzSerialIoIncrement(context);
  *status = counted ? TzSerialCheckDriverStatus(irp, context) : STATUS_DELETE_PENDING;
  if (*status == STATUS_SUCCESS) return TRUE;
  if (counted) TzSerialIoDecrement(context);
  TzSerialCompleteRequest(irp, *status);
  return FALSE;
}

BOOLEAN TzSerialIoIncrement(DeviceContext* context) {
  InterlockedIncrement(&context->outstandingIo);
  if (TzSerialDeviceState(context) == DeviceStateRemoved) {
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
  TzSerialSetDeviceState(context, DeviceStateRemoved);
  TzSerialIoDecrement(context);
  KeWaitForSingleObject(&context->removeEvent, Executive, KernelMode, FALSE, nullptr);
}
