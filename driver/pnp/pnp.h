// Driver: the device lifecycle. Creation of an adapter's device objects and
// context, and the transfer resources they own.
#pragma once

#include "driver/core/device_context.h"

// The AddDevice routine: creates the device objects and a fully initialised
// DeviceContext, pre-allocates the transfer resources and attaches to the USB
// stack. Nothing is sent to the adapter. PASSIVE_LEVEL. On failure nothing is
// left behind and the next adapter reuses the device number.
DRIVER_ADD_DEVICE TzSerialAddDevice;

// The port's device type from the adapter's setup class: FILE_DEVICE_SERIAL_PORT
// for "Ports", FILE_DEVICE_MODEM for "Modem", FILE_DEVICE_UNKNOWN otherwise or
// when the class cannot be read. PASSIVE_LEVEL.
ULONG TzSerialQueryInterfaceClass(PDEVICE_OBJECT deviceObject);

// Allocates whichever of the interrupt, bulk-in and bulk-out IRPs, URBs and
// buffers and the receive buffer the context lacks, in that order.
// STATUS_INSUFFICIENT_RESOURCES at the first that fails; what was allocated
// stays with the context. PASSIVE_LEVEL; lowerDevice must be set.
NTSTATUS TzSerialAllocateTransferResources(DeviceContext* context);

// Frees every transfer resource the context holds and clears its pointers.
// Safe after a partial allocation and safe to call twice. No transfer may be
// in flight. IRQL <= DISPATCH_LEVEL.
void TzSerialFreeTransferResources(DeviceContext* context);

// ---- Plug and Play dispatch (TzserialPnp is in driver/core/dispatch.h) ----

// Sends the IRP to lowerDevice with the current stack location copied and
// waits, without a time-out, until the lower drivers are done with it; the
// IRP stays with the caller, who completes it. Returns the IRP's final
// status. PASSIVE_LEVEL.
NTSTATUS TzSerialForwardAndWait(PDEVICE_OBJECT lowerDevice, PIRP irp);
// Its completion routine: signals the event (context) when the IRP was
// pended and keeps the IRP (STATUS_MORE_PROCESSING_REQUIRED).
IO_COMPLETION_ROUTINE TzSerialForwardCompletion;

// Passes the IRP down untouched (skipping this driver's stack location) and
// drops the request's outstanding count. Returns the lower driver's status.
NTSTATUS TzSerialPassDown(DeviceContext* context, PIRP irp);

// The tear-down of stop, the removals and a failed start: the port name, the
// configuration and transfer resources, the shadow line buffer. Safe twice.
// Returns STATUS_SUCCESS. PASSIVE_LEVEL; the transfers are at rest.
NTSTATUS TzSerialReleaseDevice(DeviceContext* context);

// IRP_MN_SURPRISE_REMOVAL: completes the removal notification, refuses what
// comes next with STATUS_DELETE_PENDING, cancels every request and transfer,
// waits for the transfers, stalls the queues, tears down and passes the IRP
// down. PASSIVE_LEVEL.
NTSTATUS TzSerialPnpSurpriseRemoval(DeviceContext* context, PIRP irp);
// IRP_MN_REMOVE_DEVICE: the tear-down unless surprise removal has done it,
// then the wait for every request still inside the driver, the IRP passed
// down, detach, and both device objects deleted (the context goes with
// them). PASSIVE_LEVEL.
NTSTATUS TzSerialPnpRemove(DeviceContext* context, PDEVICE_OBJECT deviceObject, PIRP irp);
