// Driver: the device-control dispatch (being built).
#include "driver/core/dispatch.h"
#include "driver/serial/ioctl.h"

NTSTATUS TzSerialDeviceControlDispatch(PDEVICE_OBJECT, PIRP irp) {
  TzSerialCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
  return STATUS_INVALID_DEVICE_REQUEST;
}
NTSTATUS TzSerialProcessIoctl(DeviceContext*, PIRP) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS TzSerialRejectIfErrorAbort(DeviceContext*, PIRP) { return STATUS_SUCCESS; }
NTSTATUS TzSerialPurgeStart(PDEVICE_OBJECT device, PIRP irp) {
  TzSerialCompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
  TzSerialStartNextRequest(&TzSerialGetDeviceContext(device)->purgeQueue);
  return STATUS_NOT_IMPLEMENTED;
}
