// Driver: the serial device-control interface. The dispatch routine, the code
// switch, and the handlers of the settings codes.
#pragma once

#include "driver/core/device_context.h"

// Routes one device-control request by its code; completes it, or hands it to
// a queue or the hold queue, and returns that status. PASSIVE_LEVEL.
NTSTATUS TzSerialProcessIoctl(DeviceContext* context, PIRP irp);

// Under SERIAL_ERROR_ABORT with an error recorded, every code but
// IOCTL_SERIAL_GET_COMMSTATUS is refused with STATUS_CANCELLED.
NTSTATUS TzSerialRejectIfErrorAbort(DeviceContext* context, PIRP irp);

// purgeQueue's start routine, run from its DPC at DISPATCH_LEVEL.
TzSerialStartRoutine TzSerialPurgeStart;
