// Driver: system control. The driver registers no WMI data blocks, so every
// request goes to the WMI library with an empty context, and is completed or
// passed down as the library says.
#include "driver/core/dispatch.h"
#include "driver/core/device_context.h"

NTSTATUS TzSerialSystemControlDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PAGED_CODE();
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  if (!TzSerialIoIncrement(context)) {
    TzSerialCompleteRequest(irp, STATUS_DELETE_PENDING);
    return STATUS_DELETE_PENDING;
  }
  SYSCTL_IRP_DISPOSITION disposition;
  NTSTATUS status = WmiSystemControl(&context->wmiLibInfo, deviceObject, irp, &disposition);
  switch (disposition) {
    case IrpProcessed:
      break;
    case IrpNotCompleted:
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      break;
    default:
      IoSkipCurrentIrpStackLocation(irp);
      status = IoCallDriver(context->lowerDevice, irp);
      break;
  }
  TzSerialIoDecrement(context);
  return status;
}
