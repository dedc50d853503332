// Driver: the receive buffer. Received bytes wait in the ring until a read
// takes them, or go straight on into the read being filled (the read target).
// Every routine here runs with controlLock held, at DISPATCH_LEVEL, and none
// completes a request: what must run after the lock is released is returned.
#pragma once

#include "driver/core/device_context.h"

// Empties the ring: rxCount and both indexes 0, rxRingSize the ring's full
// capacity (TzSerialRxBufferSize).
void TzSerialRxRingReset(DeviceContext* context);
// Appends up to length bytes in at most two copies; returns how many fit (the
// rest is dropped: the caller accounts for it).
ULONG TzSerialRxRingPut(DeviceContext* context, const UCHAR* data, ULONG length);
// Takes up to length bytes in arrival order; returns how many were taken.
ULONG TzSerialRxRingGet(DeviceContext* context, PUCHAR buffer, ULONG length);
// Points the read target back at the ring (no read is being filled directly).
void TzSerialResetReadTarget(DeviceContext* context);

// Steps the receive path leaves for after controlLock is released.
enum TzSerialRxDeferred : ULONG {
  RxDeferReadFilled = 0x1,    // the current read is full: TzSerialReadFilledDpc
  RxDeferWaitComplete = 0x2,  // the armed wait was satisfied: TzSerialWaitCompleteDpc
};

// One received block (length > 0): under automatic transmit flow control its
// XOFF and XON characters hold and release transmission and are taken out of
// it (in place); the rest is stored in the ring, moved on into the read
// target as far as it needs, counted (ReceivedCount; overrun when the ring
// ends up full while no read is the target), may start receive flow control,
// then raises the receive events (SERIAL_EV_RXCHAR, SERIAL_EV_RXFLAG once per
// block, SERIAL_EV_RX80FULL). Returns TzSerialRxDeferred bits for
// TzSerialRxRunDeferred.
ULONG TzSerialRxDataArrived(DeviceContext* context, PUCHAR data, ULONG length);
// Runs the deferred steps. controlLock not held; DISPATCH_LEVEL.
void TzSerialRxRunDeferred(DeviceContext* context, ULONG deferred);

// Receive flow control's other half: once the bytes waiting for a read have
// drained to XonLimit, the holds it started end (DTR and RTS raised again,
// XON sent). Called wherever rxPendingCount falls.
void TzSerialRxReleaseIfDrained(DeviceContext* context);

// Inserts one character into the receive stream (modem-status insertion) with
// the per-character rules: DSR sensitivity, the XOFF counter, the read target,
// receive flow control, overrun, SERIAL_EV_RX80FULL. Its completions are
// queued as DPCs (readFilledDpc, xoffCountedDpc, waitCompleteDpc).
void TzSerialRxPutChar(DeviceContext* context, UCHAR character);
