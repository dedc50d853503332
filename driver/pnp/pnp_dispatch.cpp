// Driver: the Plug and Play dispatch. Starts the adapter once the lower
// drivers have, quiesces the port for a query-stop or query-remove and
// resumes it when the query is cancelled, hands stop and the removals to the
// tear-down, and adds the adapter's power capabilities to the stack's answer.
// Every other request passes down untouched.
#include "driver/core/dispatch.h"
#include "driver/pnp/pnp.h"
#include "driver/pnp/usb_config.h"
#include "driver/usb/bulk_in.h"
#include "driver/usb/pipe_control.h"
#include "driver/usb/status_pipe.h"

namespace {

constexpr ULONG AdapterD1Latency = 4000;  // 100 µs units
constexpr ULONG AdapterD2Latency = 5000;

NTSTATUS TzSerialPnpComplete(DeviceContext* context, PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  TzSerialIoDecrement(context);
  return status;
}

NTSTATUS TzSerialPnpStart(DeviceContext* context, PIRP irp) {
  NTSTATUS status = TzSerialForwardAndWait(context->lowerDevice, irp);
  if (!NT_SUCCESS(status)) return TzSerialPnpComplete(context, irp, status);
  context->devicePowerState = PowerDeviceD0;
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  PoSetPowerState(context->functionDevice, DevicePowerState, d0);
  status = TzSerialStartDevice(context, irp);
  if (!NT_SUCCESS(status)) {
    TzSerialReleaseDevice(context);
    return TzSerialPnpComplete(context, irp, status);
  }
  TzSerialSetDeviceState(context, DeviceStateStarted);
  TzSerialRestartAllQueues(context);
  // A device stopped while powered down comes back in D0: the power-down's
  // stall goes with it.
  if (InterlockedExchange(&context->poweredDown, 0)) TzSerialRestartAllQueues(context);
  TzSerialResetPipes(context, ResetAllPipes);
  return TzSerialPnpComplete(context, irp, status);
}

// A query-stop or query-remove: granted only while the port is closed. The
// pending state is set before the open count is read, and an open counts
// itself before it reads the state, so an open racing the query is seen by
// it or sees it: one of the two wins, never both. Granted, the readers stop
// and the queues stall until the matching cancel or the stop; a device that
// does not come to rest within the bound fails the query and resumes.
NTSTATUS TzSerialPnpQuery(DeviceContext* context, PIRP irp, LONG pendingState) {
  LONG previous = TzSerialDeviceState(context);
  TzSerialSetDeviceState(context, pendingState);
  if (InterlockedCompareExchange(&context->openCount, 0, 0) != 0) {
    TzSerialSetDeviceState(context, previous);
    return TzSerialPnpComplete(context, irp, STATUS_UNSUCCESSFUL);
  }
  context->previousState = previous;
  if (!TzSerialStallAllQueues(context)) {
    TzSerialSetDeviceState(context, previous);
    TzSerialRestartAllQueues(context);
    return TzSerialPnpComplete(context, irp, STATUS_UNSUCCESSFUL);
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  return TzSerialPassDown(context, irp);
}

// The queues run again, and the readers when the port is open; the hold
// queue must admit transfers before they are resubmitted.
void TzSerialResume(DeviceContext* context) {
  TzSerialSetDeviceState(context, context->previousState);
  TzSerialRestartAllQueues(context);
  if (!TzSerialPortActive(context)) return;
  TzSerialStatusSubmit(context);
  for (ULONG slot = 0; slot < TzSerialBulkInSlots; ++slot) TzSerialBulkInSubmit(context, slot);
}

// A cancel may not fail: whatever the lower drivers answer, the port resumes
// (when its query was granted) and the cancel succeeds.
NTSTATUS TzSerialPnpCancelQuery(DeviceContext* context, PIRP irp, LONG pendingState) {
  TzSerialForwardAndWait(context->lowerDevice, irp);
  if (TzSerialDeviceState(context) == pendingState) TzSerialResume(context);
  return TzSerialPnpComplete(context, irp, STATUS_SUCCESS);
}

NTSTATUS TzSerialPnpStop(DeviceContext* context, PIRP irp) {
  TzSerialSetDeviceState(context, DeviceStateStopped);
  TzSerialCancelAllRequests(context, nullptr);
  TzSerialStopTransfers(context);
  TzSerialReleaseDevice(context);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return TzSerialPassDown(context, irp);
}

// The lower drivers fill the record first; the adapter adds what it can do
// in D1 and D2. The port never arms a wait-wake request, so it claims no
// wake: a system would otherwise offer a wake-up that never comes. A record
// of another version or size is not the platform's: it is answered as it
// stands.
NTSTATUS TzSerialPnpCapabilities(DeviceContext* context, PIRP irp) {
  PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (!caps || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
    return TzSerialPnpComplete(context, irp, STATUS_SUCCESS);
  NTSTATUS status = TzSerialForwardAndWait(context->lowerDevice, irp);
  if (NT_SUCCESS(status)) {
    caps->DeviceD1 = 1;
    caps->DeviceD2 = 1;
    caps->SurpriseRemovalOK = 1;
    caps->WakeFromD0 = 0;
    caps->WakeFromD1 = 0;
    caps->WakeFromD2 = 0;
    caps->WakeFromD3 = 0;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    caps->D1Latency = AdapterD1Latency;
    caps->D2Latency = AdapterD2Latency;
  }
  return TzSerialPnpComplete(context, irp, status);
}

}  // namespace

NTSTATUS TzSerialPassDown(DeviceContext* context, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(context->lowerDevice, irp);
  TzSerialIoDecrement(context);
  return status;
}

NTSTATUS TzSerialForwardCompletion(PDEVICE_OBJECT, PIRP irp, PVOID completionContext) {
  if (irp->PendingReturned) KeSetEvent(static_cast<PKEVENT>(completionContext), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS TzSerialForwardAndWait(PDEVICE_OBJECT lowerDevice, PIRP irp) {
  PAGED_CODE();
  KEVENT forwarded;
  KeInitializeEvent(&forwarded, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, TzSerialForwardCompletion, &forwarded, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(lowerDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&forwarded, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS TzserialPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PAGED_CODE();
  if (static_cast<DeviceContext*>(deviceObject->DeviceExtension)->signature == PortDeviceSignature) {
    TzSerialCompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
    return STATUS_NOT_IMPLEMENTED;
  }
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  TzSerialCheckDriverStatus(irp, context);  // Plug and Play requests always pass
  if (!TzSerialIoIncrement(context)) {
    TzSerialCompleteRequest(irp, STATUS_NO_SUCH_DEVICE);
    return STATUS_NO_SUCH_DEVICE;
  }

  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: return TzSerialPnpStart(context, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE: return TzSerialPnpQuery(context, irp, DeviceStateRemovePending);
    case IRP_MN_REMOVE_DEVICE: return TzSerialPnpRemove(context, deviceObject, irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE: return TzSerialPnpCancelQuery(context, irp, DeviceStateRemovePending);
    case IRP_MN_STOP_DEVICE: return TzSerialPnpStop(context, irp);
    case IRP_MN_QUERY_STOP_DEVICE: return TzSerialPnpQuery(context, irp, DeviceStateStopPending);
    case IRP_MN_CANCEL_STOP_DEVICE: return TzSerialPnpCancelQuery(context, irp, DeviceStateStopPending);
    case IRP_MN_QUERY_CAPABILITIES: return TzSerialPnpCapabilities(context, irp);
    case IRP_MN_SURPRISE_REMOVAL: return TzSerialPnpSurpriseRemoval(context, irp);
    default: return TzSerialPassDown(context, irp);
  }
}
