// Driver: the receive ring. Received bytes wait here until a read takes them
// (or go straight on into the read being filled). Every routine runs with
// controlLock held, at DISPATCH_LEVEL, and none completes a request.
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
// Inserts one character into the receive stream (modem-status insertion) with
// the per-character rules: DSR sensitivity, receive flow control, overrun,
// SERIAL_EV_RX80FULL (whose completion it queues through waitCompleteDpc).
void TzSerialRxPutChar(DeviceContext* context, UCHAR character);
// Points the read target back at the ring (no read is being filled directly).
void TzSerialResetReadTarget(DeviceContext* context);
