// Driver: the reset of the adapter's upstream USB port, sent to the bus driver
// below the function device object.
#pragma once

#include "driver/core/device_context.h"

// Sends IOCTL_INTERNAL_USB_RESET_PORT to lowerDevice and waits for it without
// a time limit. Returns the bus driver's status, or STATUS_INSUFFICIENT_RESOURCES
// when no IRP could be allocated. PASSIVE_LEVEL, no lock held; the IRP is the
// driver's own and is freed before return.
NTSTATUS TzSerialResetPort(DeviceContext* context);
