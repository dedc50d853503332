// Driver: flush requests. A flush waits its turn in writeQueue behind the XOFF
// counters queued before it, then until every write accepted before it has
// ended (completed, cancelled or timed out): the data written before it has
// left the port by the time it completes.
#pragma once

#include "driver/core/device_context.h"

// Records, at dispatch, which writes the flush waits for: those accepted so
// far. IRQL <= DISPATCH_LEVEL, controlLock not held.
void TzSerialFlushMark(DeviceContext* context, PIRP irp);

// writeQueue's start routine for a flush (DISPATCH_LEVEL): completes it at
// once when no write it waits for is left, else keeps it pending as
// flushRequest until the last of them ends or it is cancelled.
NTSTATUS TzSerialFlushStart(DeviceContext* context, PIRP irp);

// Called as a write leaves sendOrder: returns the waiting flush once no
// write it waits for is left, its cancel routine taken back and the write
// queue's current request marked finishing; null otherwise. controlLock held.
PIRP TzSerialFlushDueLocked(DeviceContext* context);

// Completes a flush TzSerialFlushDueLocked returned, after starting the write
// queue's next request. IRQL <= DISPATCH_LEVEL, controlLock not held.
void TzSerialFlushComplete(DeviceContext* context, PIRP irp);

DRIVER_CANCEL TzSerialFlushCancel;
