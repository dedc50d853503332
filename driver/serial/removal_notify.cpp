// Driver: the vendor removal-notification request, which an application
// leaves pending to learn that the adapter has gone. One may pend at a time;
// the cancel spin lock guards removalNotifyRequest.
#include "driver/serial/queries.h"

namespace {

constexpr ULONG RemovalNotifyGone = 1;     // the adapter was removed
constexpr ULONG RemovalNotifyRefused = 2;  // another notification is already pending

// Writes the 32-bit answer and completes the request. The buffer was checked
// at submission to hold it. No spin lock held.
void TzSerialFinishRemovalNotify(PIRP irp, ULONG value, NTSTATUS status) {
  *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer) = value;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = sizeof(ULONG);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace

NTSTATUS TzSerialRemovalNotifyRequest(DeviceContext* context, PIRP irp) {
  // Every answer is a 32-bit value: a request that cannot hold it is refused
  // now, rather than written past its end when the adapter goes.
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
    TzSerialCompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    return STATUS_BUFFER_TOO_SMALL;
  }

  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (context->removalNotifyRequest) {
    IoReleaseCancelSpinLock(cancelIrql);
    TzSerialFinishRemovalNotify(irp, RemovalNotifyRefused, STATUS_UNSUCCESSFUL);
    return STATUS_UNSUCCESSFUL;
  }
  context->removalNotifyRequest = irp;
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, TzSerialRemovalNotifyCancel);
  // A cancel that came before the routine was set found none: honour it here,
  // if no one else has taken the routine back meanwhile.
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    context->removalNotifyRequest = nullptr;
    IoReleaseCancelSpinLock(cancelIrql);
    TzSerialCompleteRequest(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  IoReleaseCancelSpinLock(cancelIrql);
  return STATUS_PENDING;
}

namespace {

// Takes the pending notification back from its cancel routine; null when none
// is pending or a cancel already has it. Takes the cancel spin lock.
PIRP TzSerialTakeRemovalNotify(DeviceContext* context) {
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  PIRP irp = context->removalNotifyRequest;
  // Whoever takes the cancel routine back owns the request; if the cancel
  // routine has it, it also clears the field.
  if (irp && IoSetCancelRoutine(irp, nullptr))
    context->removalNotifyRequest = nullptr;
  else
    irp = nullptr;
  IoReleaseCancelSpinLock(cancelIrql);
  return irp;
}

}  // namespace

void TzSerialCompleteRemovalNotify(DeviceContext* context) {
  if (PIRP irp = TzSerialTakeRemovalNotify(context)) TzSerialFinishRemovalNotify(irp, RemovalNotifyGone, STATUS_SUCCESS);
}

void TzSerialCancelRemovalNotify(DeviceContext* context) {
  if (PIRP irp = TzSerialTakeRemovalNotify(context)) TzSerialCompleteRequest(irp, STATUS_CANCELLED);
}

void TzSerialRemovalNotifyCancel(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  // Cleared under the cancel spin lock, so neither the removal path nor a new
  // submission sees a request that is about to complete.
  if (context->removalNotifyRequest == irp) context->removalNotifyRequest = nullptr;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  TzSerialCompleteRequest(irp, STATUS_CANCELLED);
}
