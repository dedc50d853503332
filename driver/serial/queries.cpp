// Driver: status queries and vendor codes (being built: each handler is a
// stub until then).
#include "driver/serial/queries.h"

NTSTATUS TzSerialGetProperties(DeviceContext*, PIRP) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS TzSerialGetCommStatus(DeviceContext*, PIRP) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS TzSerialGetModemStatus(DeviceContext*, PIRP) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS TzSerialGetDtrRts(DeviceContext*, PIRP) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS TzSerialGetModemControl(DeviceContext*, PIRP) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS TzSerialGetConfigSize(DeviceContext*, PIRP) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS TzSerialGetStats(DeviceContext*, PIRP) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS TzSerialClearStats(DeviceContext*, PIRP) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS TzSerialGetUsbIdentity(DeviceContext*, PIRP) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS TzSerialResetUsbPort(DeviceContext*, PIRP) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS TzSerialRemovalNotifyRequest(DeviceContext*, PIRP irp) {
  TzSerialCompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
  return STATUS_NOT_IMPLEMENTED;
}
void TzSerialCompleteRemovalNotify(DeviceContext*) {}
void TzSerialRemovalNotifyCancel(PDEVICE_OBJECT, PIRP) {}
NTSTATUS TzSerialResetPort(DeviceContext*) { return STATUS_NOT_IMPLEMENTED; }
