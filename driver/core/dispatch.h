// Driver: the routines of the driver object's dispatch table, one per major
// function the driver handles, plus AddDevice and unload.
#pragma once

#include "platform/kernel.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

DRIVER_UNLOAD TzSerialUnload;
DRIVER_DISPATCH TzSerialCreateDispatch;
DRIVER_DISPATCH TzSerialCloseDispatch;
DRIVER_DISPATCH TzSerialRead;
DRIVER_DISPATCH TzSerialWrite;
DRIVER_DISPATCH TzSerialFlush;
DRIVER_DISPATCH TzSerialDeviceControlDispatch;
DRIVER_DISPATCH TzSerialCleanupDispatch;
DRIVER_DISPATCH TzSerialPowerDispatch;
DRIVER_DISPATCH TzSerialSystemControlDispatch;
DRIVER_DISPATCH TzserialPnp;
