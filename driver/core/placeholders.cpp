// Driver: dispatch routines of subsystems not built yet. Each refuses its
// request cleanly (STATUS_INVALID_DEVICE_REQUEST) until its subsystem
// replaces it.
#include "driver/core/device_context.h"
#include "driver/core/dispatch.h"
#include "driver/core/placeholders.h"

namespace {

NTSTATUS TzSerialRefuseRequest(PIRP irp) {
  TzSerialCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

NTSTATUS TzSerialPowerDispatch(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzSerialSystemControlDispatch(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
