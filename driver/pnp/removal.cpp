// Driver: the tear-down of stop and the two removals. Surprise removal stops
// the port where it stands and releases the adapter; removal (after it, or
// on its own) waits until no request is left inside the driver, detaches
// from the USB stack and deletes the device objects.
//
// Every transfer is cancelled and waited for before the tear-down frees what
// it uses; one that never comes back keeps its resources until removal, when
// the wait for the last request has made sure it is gone.
#include "driver/core/globals.h"
#include "driver/pnp/pnp.h"
#include "driver/pnp/port_name.h"
#include "driver/pnp/usb_config.h"
#include "driver/serial/queries.h"
#include "driver/usb/bulk_in.h"
#include "driver/usb/pipe_control.h"
#include "driver/usb/status_pipe.h"

namespace {

// Stops everything the port has running, for good: requests, transfers and
// queues. A transfer that does not come back is left to removal's wait.
void TzSerialQuiescePort(DeviceContext* context) {
  TzSerialStallAndCancelAllRequests(context);
  TzSerialStatusCancel(context);
  TzSerialBulkInCancelAll(context);
  TzSerialCancelWrites(context);
  if (TzSerialStopTransfers(context)) TzSerialHoldQueueWaitIdle(&context->holdQueue, nullptr);
}

}  // namespace

NTSTATUS TzSerialReleaseDevice(DeviceContext* context) {
  PAGED_CODE();
  TzSerialRemovePortName(context);
  TzSerialReleaseConfiguration(context);
  if (context->shadowRegisters.buffer) ExFreePoolWithTag(context->shadowRegisters.buffer, TzSerialPoolTag);
  context->shadowRegisters.buffer = nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS TzSerialPnpSurpriseRemoval(DeviceContext* context, PIRP irp) {
  PAGED_CODE();
  TzSerialCompleteRemovalNotify(context);
  TzSerialHoldQueueSetAbortStatus(&context->holdQueue, STATUS_DELETE_PENDING);
  TzSerialSetDeviceState(context, DeviceStateSurpriseRemoved);
  TzSerialQuiescePort(context);
  TzSerialReleaseDevice(context);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return TzSerialPassDown(context, irp);
}

NTSTATUS TzSerialPnpRemove(DeviceContext* context, PDEVICE_OBJECT deviceObject, PIRP irp) {
  PAGED_CODE();
  DbgPrint("Enter TzserialPnp IRP_MN_REMOVE_DEVICE ++ \n");
  if (TzSerialDeviceState(context) != DeviceStateSurpriseRemoved) {
    TzSerialQuiescePort(context);
    TzSerialHoldQueueSetAbortStatus(&context->holdQueue, STATUS_DELETE_PENDING);
    TzSerialReleaseDevice(context);
  }
  TzSerialSetDeviceState(context, DeviceStateRemoved);
  TzSerialCompleteRemovalNotify(context);

  // This request's own count, then the creation count: once the wait is over
  // no request, transfer or sender is left inside the driver, and what a
  // transfer that never came back kept can go.
  TzSerialIoDecrement(context);
  TzSerialWaitOutstandingIo(context);
  // A request that passed the gate as the removal began may have reached a
  // queue after the tear-down swept it: its dispatch was counted, so it is
  // there by now, and goes with this last sweep.
  TzSerialCancelAllRequests(context, nullptr);
  TzSerialFreeTransferResources(context);
  ExFreePoolWithTag(context->deviceName.Buffer, TzSerialPoolTag);
  context->deviceName.Buffer = nullptr;
  IoFreeWorkItem(context->workItem);
  context->workItem = nullptr;
  IoFreeWorkItem(context->recoveryWorkItem);
  context->recoveryWorkItem = nullptr;
  IoFreeWorkItem(context->linesWorkItem);
  context->linesWorkItem = nullptr;

  irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  PDEVICE_OBJECT lower = context->lowerDevice;
  PDEVICE_OBJECT port = context->portDevice;
  NTSTATUS status = IoCallDriver(lower, irp);
  IoDetachDevice(lower);
  if (port) IoDeleteDevice(port);
  IoDeleteDevice(deviceObject);
  return status;
}
