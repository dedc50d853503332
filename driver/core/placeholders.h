// Driver: routines of subsystems not built yet, which device creation already
// names (queue start routines, DPC routines). Each is replaced when its
// subsystem lands; until then a start routine refuses its request cleanly and
// a DPC routine has nothing to do, since nothing queues it yet.
#pragma once

#include "driver/io/request_queue.h"

TzSerialStartRoutine TzSerialWriteQueueStart;

KDEFERRED_ROUTINE TzSerialWriteQueueTimeoutDpc;
KDEFERRED_ROUTINE TzSerialXoffTimeoutDpc;
KDEFERRED_ROUTINE TzSerialXoffCountedDpc;
