// Driver: the port reset, an internal device control to the USB bus driver,
// carried by an IRP of the driver's own and waited for.
#include "driver/usb/port_reset.h"

#include "driver/usb/control_requests.h"

NTSTATUS TzSerialResetPort(DeviceContext* context) {
  PAGED_CODE();
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  // The completion routine keeps the IRP with us, so it is freed here in
  // every case, after the bus driver has finished with it.
  PIRP irp = TzSerialBuildInternalIrp(context, IOCTL_INTERNAL_USB_RESET_PORT, nullptr, &done);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;

  NTSTATUS status = IoCallDriver(context->lowerDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  IoFreeIrp(irp);
  return status;
}
