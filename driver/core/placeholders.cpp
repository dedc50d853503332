// Driver: dispatch, start and DPC routines of subsystems not built yet. Each
// refuses its request cleanly (STATUS_INVALID_DEVICE_REQUEST) until its
// subsystem replaces it.
#include "driver/core/device_context.h"
#include "driver/core/dispatch.h"
#include "driver/core/placeholders.h"

namespace {

NTSTATUS TzSerialRefuseRequest(PIRP irp) {
  TzSerialCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS TzSerialRefuseCurrent(RequestQueue* queue, PIRP irp) {
  TzSerialCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
  TzSerialStartNextRequest(queue);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

NTSTATUS TzSerialCreateDispatch(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzSerialCloseDispatch(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzSerialRead(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzSerialWrite(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzSerialFlush(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzSerialCleanupDispatch(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzSerialPowerDispatch(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzSerialSystemControlDispatch(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }
NTSTATUS TzserialPnp(PDEVICE_OBJECT, PIRP irp) { return TzSerialRefuseRequest(irp); }

NTSTATUS TzSerialWriteQueueStart(PDEVICE_OBJECT device, PIRP irp) {
  return TzSerialRefuseCurrent(&TzSerialGetDeviceContext(device)->writeQueue, irp);
}
// A receive-buffer resize waits its turn behind the reads and then succeeds:
// the buffer keeps its size.
NTSTATUS TzSerialReadStart(PDEVICE_OBJECT device, PIRP irp) {
  RequestQueue* queue = &TzSerialGetDeviceContext(device)->readQueue;
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ) return TzSerialRefuseCurrent(queue, irp);
  TzSerialCompleteRequest(irp, STATUS_SUCCESS);
  TzSerialStartNextRequest(queue);
  return STATUS_SUCCESS;
}

void TzSerialWriteQueueTimeoutDpc(PKDPC, PVOID, PVOID, PVOID) {}
void TzSerialReadFilledDpc(PKDPC, PVOID, PVOID, PVOID) {}
void TzSerialReadTotalTimeoutDpc(PKDPC, PVOID, PVOID, PVOID) {}
void TzSerialReadIntervalDpc(PKDPC, PVOID, PVOID, PVOID) {}
void TzSerialXoffTimeoutDpc(PKDPC, PVOID, PVOID, PVOID) {}
void TzSerialXoffCountedDpc(PKDPC, PVOID, PVOID, PVOID) {}
