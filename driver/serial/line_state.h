// Driver: events, the wait-on-mask request, the shadow line state and the
// immediate character. Everything here is guarded by controlLock.
#pragma once

#include "driver/core/device_context.h"

// waitRequestFlags / immediateFlags: who still holds the request.
constexpr ULONG WaitHeldByCompletion = 0x1;
constexpr ULONG WaitHeldByCancel = 0x2;
constexpr ULONG ImmediateHeldByTransmit = 0x1;
constexpr ULONG ImmediateHeldByCancel = 0x2;
constexpr ULONG ImmediateHeldByTimer = 0x4;

// txHolding bits.
constexpr ULONG TxHoldCts = 0x01;
constexpr ULONG TxHoldDsr = 0x02;
constexpr ULONG TxHoldDcd = 0x04;
constexpr ULONG TxHoldXoff = 0x08;
constexpr ULONG TxHoldBreak = 0x10;
// rxHolding bits.
constexpr ULONG RxHoldDtr = 0x01;
constexpr ULONG RxHoldXoff = 0x02;
constexpr ULONG RxHoldRts = 0x04;
constexpr ULONG RxHoldDsr = 0x08;

// ---- called with controlLock held, at DISPATCH_LEVEL ----
void TzSerialBreakOn(DeviceContext* context);
void TzSerialBreakOff(DeviceContext* context);
void TzSerialHoldForXoff(DeviceContext* context);
void TzSerialReleaseXoffHold(DeviceContext* context);
// Applies a new handshake and flow record to the shadow line state, stores it
// in handFlow, then reviews the modem status.
void TzSerialInstallHandFlow(DeviceContext* context, const SERIAL_HANDFLOW* handFlow);
// Adds the events in waitMask to historyMask and satisfies an armed wait
// (queuing waitCompleteDpc, since the completion takes controlLock).
void TzSerialDeliverEvents(DeviceContext* context, ULONG events);
// Delivers SERIAL_EV_TXEMPTY when it is waited for and nothing is queued.
void TzSerialCheckTxEmpty(DeviceContext* context);
// Reads and clears the shadow modem status's change bits, inserts them into
// the receive stream when an escape character is set, updates the DSR
// sensitivity and transmit holds, and raises the modem events. Returns the
// value read.
UCHAR TzSerialReviewModemStatus(DeviceContext* context, BOOLEAN fromTransmit);
void TzSerialShadowWriteMcr(DeviceContext* context, UCHAR value);
void TzSerialShadowDtrOn(DeviceContext* context);
void TzSerialShadowDtrOff(DeviceContext* context);
void TzSerialShadowRtsOn(DeviceContext* context);
void TzSerialShadowRtsOff(DeviceContext* context);
void TzSerialRequestFlowChar(DeviceContext* context, BOOLEAN xon);
void TzSerialApplyFlowSettings(DeviceContext* context, const SERIAL_HANDFLOW* handFlow);
// Writes 0 as the armed wait's result if it is still armed (Information 4)
// and drops the completion path's hold.
void TzSerialDisarmWait(DeviceContext* context);
// Withdraws a pending immediate character from the transmitter.
void TzSerialDropImmediateChar(DeviceContext* context);

// ---- called without the lock ----
// Starts the immediate character once immediateRequest is set and counted in
// charsQueued. Returns STATUS_PENDING, or STATUS_CANCELLED when the request
// was already cancelled. PASSIVE_LEVEL or DISPATCH_LEVEL.
NTSTATUS TzSerialStartImmediateChar(DeviceContext* context);

// waitMaskQueue's start routine (SET_WAIT_MASK and WAIT_ON_MASK), from its DPC.
TzSerialStartRoutine TzSerialWaitMaskStart;
KDEFERRED_ROUTINE TzSerialWaitCompleteDpc;
DRIVER_CANCEL TzSerialWaitCancel;
DRIVER_CANCEL TzSerialImmediateCancel;
KDEFERRED_ROUTINE TzSerialImmediateTimeoutDpc;
KDEFERRED_ROUTINE TzSerialImmediateDoneDpc;
