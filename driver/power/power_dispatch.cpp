// Driver: the power dispatch routine and the system requests: passed down,
// turned into a device request on the way back, and completed when that is
// done.
#include "driver/core/dispatch.h"
#include "driver/core/globals.h"
#include "driver/power/power.h"

namespace {

NTSTATUS TzSerialPowerFail(DeviceContext* context, PIRP irp, NTSTATUS status) {
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  TzSerialIoDecrement(context);
  return status;
}

// Released, passed down untouched, and the request's count dropped.
NTSTATUS TzSerialPowerPassDown(DeviceContext* context, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = PoCallDriver(context->lowerDevice, irp);
  TzSerialIoDecrement(context);
  return status;
}

// A request that needs no work here: passed down as a success.
NTSTATUS TzSerialPowerNoWork(DeviceContext* context, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  return TzSerialPowerPassDown(context, irp);
}

// Hands a device request to power work, which sends it on.
NTSTATUS TzSerialPowerByWork(PDEVICE_OBJECT deviceObject, DeviceContext* context, PIRP irp,
                             void (*work)(PDEVICE_OBJECT, DeviceContext*)) {
  context->pendingDevicePowerIrp = irp;
  IoMarkIrpPending(irp);
  TzSerialRunPowerWork(deviceObject, context, work);
  return STATUS_PENDING;
}

bool TzSerialSleepBlocked(const DeviceContext* context) {
  return (TzSerialGlobals.staticSetting & StaticSettingBlockSleepWhenOpen) && context->openCount > 0;
}

NTSTATUS TzSerialDevicePower(PDEVICE_OBJECT deviceObject, DeviceContext* context, PIRP irp, UCHAR minor,
                             DEVICE_POWER_STATE state) {
  DEVICE_POWER_STATE current = context->devicePowerState;
  if (minor == IRP_MN_QUERY_POWER) {
    if (TzSerialSleepBlocked(context)) return TzSerialPowerFail(context, irp, STATUS_INVALID_DEVICE_STATE);
    if (state == current) return TzSerialPowerNoWork(context, irp);
    return TzSerialPowerByWork(deviceObject, context, irp, TzSerialPowerDown);
  }
  if (state < current) {
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, TzSerialDevicePowerUpComplete, context, TRUE, TRUE, TRUE);
    PoCallDriver(context->lowerDevice, irp);
    return STATUS_PENDING;
  }
  if (state > current) return TzSerialPowerByWork(deviceObject, context, irp, TzSerialPowerDown);
  if (state == PowerDeviceD0) return TzSerialPowerByWork(deviceObject, context, irp, TzSerialPowerStayD0);
  return TzSerialPowerNoWork(context, irp);
}

}  // namespace

DEVICE_POWER_STATE TzSerialMapSystemToDevicePower(SYSTEM_POWER_STATE state) {
  return state == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
}

NTSTATUS TzSerialPowerDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  // An unplugged adapter whose port is still open stays in the power
  // manager's tree until its handles close, and a machine that sleeps sends
  // it power requests: they pass down untouched, for a set-power may not fail.
  if (TzSerialDeviceState(context) == DeviceStateSurpriseRemoved && TzSerialIoIncrement(context))
    return TzSerialPowerPassDown(context, irp);
  NTSTATUS status = TzSerialCheckDriverStatus(irp, context);
  if (status != STATUS_SUCCESS) {
    PoStartNextPowerIrp(irp);
    TzSerialCompleteRequest(irp, status);
    return status;
  }
  if (!TzSerialIoIncrement(context)) {
    PoStartNextPowerIrp(irp);
    TzSerialCompleteRequest(irp, STATUS_NO_SUCH_DEVICE);
    return STATUS_NO_SUCH_DEVICE;
  }
  if (TzSerialDeviceState(context) == DeviceStateNotStarted) return TzSerialPowerPassDown(context, irp);

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  UCHAR minor = stack->MinorFunction;
  if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER) return TzSerialPowerPassDown(context, irp);
  if (stack->Parameters.Power.Type == SystemPowerState) {
    if (minor == IRP_MN_QUERY_POWER && TzSerialSleepBlocked(context))
      return TzSerialPowerFail(context, irp, STATUS_UNSUCCESSFUL);
    return TzSerialForwardSystemPower(context, irp);
  }
  return TzSerialDevicePower(deviceObject, context, irp, minor, stack->Parameters.Power.State.DeviceState);
}

NTSTATUS TzSerialForwardSystemPower(DeviceContext* context, PIRP irp) {
  IoMarkIrpPending(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, TzSerialSystemPowerComplete, context, TRUE, TRUE, TRUE);
  PoCallDriver(context->lowerDevice, irp);
  return STATUS_PENDING;
}

NTSTATUS TzSerialSystemPowerComplete(PDEVICE_OBJECT, PIRP irp, PVOID completionContext) {
  auto context = static_cast<DeviceContext*>(completionContext);
  NTSTATUS status = irp->IoStatus.Status;
  if (NT_SUCCESS(status)) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    context->pendingSystemPowerIrp = irp;
    // Back in the working state, the system is working once the lower stack
    // is: the power-up that follows restarts the readers, which refuse to go
    // on the bus while the system is not working.
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.State.SystemState == PowerSystemWorking)
      context->systemPowerState = PowerSystemWorking;
    POWER_STATE device;
    device.DeviceState = TzSerialMapSystemToDevicePower(stack->Parameters.Power.State.SystemState);
    status = PoRequestPowerIrp(context->physicalDevice, stack->MinorFunction, device,
                               TzSerialDevicePowerRequestComplete, context, nullptr);
    if (NT_SUCCESS(status)) return STATUS_MORE_PROCESSING_REQUIRED;
    // A query may be refused; a set-power may not fail, so the system goes
    // on and the device stays in the state it is in, consistent with its
    // readers and queues; back in the working state it asks again for D0.
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
      if (device.DeviceState == PowerDeviceD0) TzSerialPowerRetryD0(context);
      status = STATUS_SUCCESS;
    }
  }
  context->pendingSystemPowerIrp = nullptr;
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  TzSerialIoDecrement(context);
  return STATUS_SUCCESS;
}

void TzSerialDevicePowerRequestComplete(PDEVICE_OBJECT, UCHAR minorFunction, POWER_STATE, PVOID completionContext,
                                        PIO_STATUS_BLOCK ioStatus) {
  auto context = static_cast<DeviceContext*>(completionContext);
  PIRP systemIrp = context->pendingSystemPowerIrp;
  if (minorFunction == IRP_MN_QUERY_POWER) {
    systemIrp->IoStatus.Status = ioStatus->Status;
  } else {
    systemIrp->IoStatus.Status = STATUS_SUCCESS;
    context->systemPowerState = IoGetCurrentIrpStackLocation(systemIrp)->Parameters.Power.State.SystemState;
  }
  context->pendingSystemPowerIrp = nullptr;
  PoStartNextPowerIrp(systemIrp);
  IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
  TzSerialIoDecrement(context);
}
