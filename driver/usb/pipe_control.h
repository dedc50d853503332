// Driver: stopping and resetting the pipes: cancelling what is in flight on
// the bulk-out pipe (writes and the write queue's transmission) and resetting
// the interrupt and bulk pipes.
#pragma once

#include "driver/core/device_context.h"

// Cancels the write queue's transmission when it is on the bus.
// Must not be called holding controlLock. IRQL <= DISPATCH_LEVEL.
void TzSerialCancelBulkOut(DeviceContext* context);

// Stops every write in progress: a write not yet on the bus never goes, the
// transfer of the one on the bus is cancelled. The writes complete
// (STATUS_CANCELLED) through their own paths; wait for them with
// TzSerialWaitTransmitIdle. Must not be called holding controlLock.
// IRQL <= DISPATCH_LEVEL.
void TzSerialCancelWrites(DeviceContext* context);

// Whether none of the transfers that use the context's pre-allocated IRPs,
// URBs and buffers (status, bulk-in slots, queued send) is in flight. Any IRQL.
BOOLEAN TzSerialTransfersIdle(DeviceContext* context);

// Cancels every transfer on the adapter's pipes (status, bulk-in, writes, the
// queued send, control characters) and waits until each is back: up to 5
// seconds, then a second round of cancels and 5 seconds more. Returns
// whether all came back (TzSerialTransfersIdle and no transmit work left).
// PASSIVE_LEVEL, no lock held.
BOOLEAN TzSerialStopTransfers(DeviceContext* context);

// Which pipes TzSerialResetPipes resets.
enum TzSerialPipeSet : ULONG { ResetBulkOut = 0, ResetBulkIn = 1, ResetInterrupt = 2, ResetAllPipes = 3 };

// Resets the chosen pipes, interrupt first, then bulk-in, then bulk-out.
// Returns the last reset's status (STATUS_SUCCESS when none was made), or
// STATUS_INSUFFICIENT_RESOURCES when an interface's information is missing.
// PASSIVE_LEVEL.
NTSTATUS TzSerialResetPipes(DeviceContext* context, ULONG which);
