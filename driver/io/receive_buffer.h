// Driver: the receive ring. Received bytes wait here (or go straight into the
// current read); every routine runs with controlLock held.
#pragma once

#include "driver/core/device_context.h"

// Empties the ring: rxCount and both indexes 0, rxRingSize rxBufferSize.
void TzSerialRxRingReset(DeviceContext* context);
// Appends up to length bytes; returns how many fit (the rest is dropped).
ULONG TzSerialRxRingPut(DeviceContext* context, const UCHAR* data, ULONG length);
// Takes up to length bytes in arrival order; returns how many were taken.
ULONG TzSerialRxRingGet(DeviceContext* context, PUCHAR buffer, ULONG length);
// Inserts one character into the receive stream (modem-status insertion).
void TzSerialRxPutChar(DeviceContext* context, UCHAR character);
// Points the read target back at the ring (no read is being filled directly).
void TzSerialResetReadTarget(DeviceContext* context);
