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
