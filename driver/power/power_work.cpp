// Driver: the device power work. Power-down stops the port's requests and
// readers before the request goes on; power-up resumes them once the lower
// stack is back in D0. The work waits and takes long, so it runs at
// PASSIVE_LEVEL: at once, or from the device's work item when the request
// came at DISPATCH_LEVEL.
#include "driver/io/write.h"
#include "driver/power/power.h"
#include "driver/usb/bulk_in.h"
#include "driver/usb/pipe_control.h"
#include "driver/usb/status_pipe.h"

namespace {

// The device request taken from power work's slot.
PIRP TzSerialTakePowerIrp(DeviceContext* context) {
  PIRP irp = context->pendingDevicePowerIrp;
  context->pendingDevicePowerIrp = nullptr;
  return irp;
}

void TzSerialPowerSendOn(DeviceContext* context, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  PoCallDriver(context->lowerDevice, irp);
  TzSerialIoDecrement(context);
}

void TzSerialRecordDevicePower(DeviceContext* context, PIO_STACK_LOCATION stack) {
  PoSetPowerState(context->functionDevice, stack->Parameters.Power.Type, stack->Parameters.Power.State);
  context->devicePowerState = stack->Parameters.Power.State.DeviceState;
}

// After a power-down, once: the queues run again, and the readers of an open
// port go back on the bus.
void TzSerialResumeAfterPowerDown(DeviceContext* context) {
  if (!InterlockedExchange(&context->poweredDown, 0)) return;
  TzSerialRestartAllQueues(context);
  if (!TzSerialPortActive(context)) return;
  TzSerialStatusSubmit(context);
  for (ULONG slot = 0; slot < TzSerialBulkInSlots; ++slot) TzSerialBulkInSubmit(context, slot);
}

void TzSerialPowerWorkItem(PDEVICE_OBJECT deviceObject, PVOID workContext) {
  auto context = static_cast<DeviceContext*>(workContext);
  context->powerWork(deviceObject, context);
}

}  // namespace

void TzSerialRunPowerWork(PDEVICE_OBJECT deviceObject, DeviceContext* context,
                          void (*work)(PDEVICE_OBJECT deviceObject, DeviceContext* context)) {
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    work(deviceObject, context);
    return;
  }
  // One power request is in flight at a time, so the one work item serves.
  context->powerWork = work;
  IoQueueWorkItem(context->workItem, TzSerialPowerWorkItem, DelayedWorkQueue, context);
}

void TzSerialPowerDown(PDEVICE_OBJECT, DeviceContext* context) {
  PAGED_CODE();
  PIRP irp = TzSerialTakePowerIrp(context);
  // The requests under way end, and from here until power-up nothing new
  // starts or goes on the bus: requests that arrive wait in their queues,
  // control requests are held, readers stay down. A query and the set that
  // follows it do this once; what came in between waits for the power-up.
  if (!InterlockedExchange(&context->poweredDown, 1)) {
    TzSerialHoldOffAllQueues(context);
    TzSerialCancelAllRequests(context, nullptr);
  }
  // The device leaves D0 only once every transfer of ours is back (a USB
  // client must not leave transfers on the bus of a suspended device); one
  // that never comes back is left after the bounded wait.
  TzSerialStopTransfers(context);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER) TzSerialRecordDevicePower(context, stack);
  TzSerialPowerSendOn(context, irp);
}

NTSTATUS TzSerialDevicePowerUpComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID completionContext) {
  auto context = static_cast<DeviceContext*>(completionContext);
  if (!NT_SUCCESS(irp->IoStatus.Status)) {
    PoStartNextPowerIrp(irp);
    TzSerialIoDecrement(context);
    return STATUS_SUCCESS;
  }
  context->pendingDevicePowerIrp = irp;
  TzSerialRunPowerWork(deviceObject, context, TzSerialPowerUpFinish);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void TzSerialPowerUpFinish(PDEVICE_OBJECT, DeviceContext* context) {
  PAGED_CODE();
  PIRP irp = TzSerialTakePowerIrp(context);
  TzSerialRecordDevicePower(context, IoGetCurrentIrpStackLocation(irp));
  TzSerialResumeAfterPowerDown(context);
  PoStartNextPowerIrp(irp);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  TzSerialIoDecrement(context);
}

void TzSerialPowerStayD0(PDEVICE_OBJECT, DeviceContext* context) {
  PAGED_CODE();
  TzSerialResumeAfterPowerDown(context);
  TzSerialPowerSendOn(context, TzSerialTakePowerIrp(context));
}
