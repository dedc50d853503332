// Driver: dispatch routines of subsystems not built yet. Each refuses its
// request cleanly (STATUS_INVALID_DEVICE_REQUEST) until its subsystem replaces it.
#include "driver/core/dispatch.h"

namespace {

NTSTATUS TzSerialRefuseRequest(PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

NTSTATUS TzSerialAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_NOT_SUPPORTED; }
NTSTATUS TzSerialCreateDispatch(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzSerialCloseDispatch(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzSerialRead(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzSerialWrite(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzSerialFlush(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzSerialDeviceControlDispatch(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzSerialCleanupDispatch(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzSerialPowerDispatch(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzSerialSystemControlDispatch(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzserialPnp(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
