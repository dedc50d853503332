// Driver: the port reset, an internal device control to the USB bus driver,
// carried by an IRP of the driver's own and waited for.
#include "driver/usb/port_reset.h"

#include "driver/usb/control_requests.h"

NTSTATUS TzSerialResetPort(DeviceContext* context) {
  PAGED_CODE();
  PIRP irp = IoAllocateIrp(context->lowerDevice->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;

  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_RESET_PORT;
  // The completion routine keeps the IRP with us, so it is freed here in
  // every case, after the bus driver has finished with it.
  IoSetCompletionRoutine(irp, TzSerialSignalEventCompletion, &done, TRUE, TRUE, TRUE);

  NTSTATUS status = IoCallDriver(context->lowerDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  IoFreeIrp(irp);
  return status;
}
