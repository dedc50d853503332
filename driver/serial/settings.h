// Driver: the handlers of the settings codes of the device-control switch.
// Each reads its input from the request's system buffer (the dispatch has
// checked the minimum lengths), sets Information, and returns the status to
// complete the request with; handlers that queue the request say so.
#pragma once

#include "driver/core/device_context.h"

typedef NTSTATUS TzSerialIoctlHandler(DeviceContext* context, PIRP irp);

TzSerialIoctlHandler TzSerialSetBaudRate;
TzSerialIoctlHandler TzSerialGetBaudRate;
TzSerialIoctlHandler TzSerialSetLineControl;
TzSerialIoctlHandler TzSerialGetLineControl;
TzSerialIoctlHandler TzSerialSetBreakOn;
TzSerialIoctlHandler TzSerialSetBreakOff;
TzSerialIoctlHandler TzSerialSetXoff;
TzSerialIoctlHandler TzSerialSetXon;
TzSerialIoctlHandler TzSerialSetTimeouts;
TzSerialIoctlHandler TzSerialGetTimeouts;
TzSerialIoctlHandler TzSerialSetDtr;
TzSerialIoctlHandler TzSerialClrDtr;
TzSerialIoctlHandler TzSerialSetRts;
TzSerialIoctlHandler TzSerialClrRts;
TzSerialIoctlHandler TzSerialGetChars;
TzSerialIoctlHandler TzSerialSetChars;
TzSerialIoctlHandler TzSerialGetHandFlow;
TzSerialIoctlHandler TzSerialCheckHandFlow;  // the value checks, before the hold queue
TzSerialIoctlHandler TzSerialSetHandFlow;
TzSerialIoctlHandler TzSerialSetEscapeChar;
TzSerialIoctlHandler TzSerialGetWaitMask;
TzSerialIoctlHandler TzSerialNothingToDo;
TzSerialIoctlHandler TzSerialSetQueueSize;

// These hand the request on (queue, hold, pend) and complete it themselves.
TzSerialIoctlHandler TzSerialSetWaitMask;
TzSerialIoctlHandler TzSerialWaitOnMask;
TzSerialIoctlHandler TzSerialPurge;
TzSerialIoctlHandler TzSerialXoffCounter;
TzSerialIoctlHandler TzSerialImmediateChar;
