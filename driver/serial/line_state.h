// Driver: events and the wait-on-mask request, the shadow line state with its
// hold reasons, and the immediate character. Every field these routines touch
// is guarded by controlLock.
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

// Shadow register bits (16550 layout).
constexpr UCHAR ShadowMcrDtr = 0x01;
constexpr UCHAR ShadowMcrRts = 0x02;
constexpr UCHAR ShadowLcrBreak = 0x40;
constexpr UCHAR ShadowMsrCtsChanged = 0x01;
constexpr UCHAR ShadowMsrDsrChanged = 0x02;
constexpr UCHAR ShadowMsrRingEnded = 0x04;
constexpr UCHAR ShadowMsrDcdChanged = 0x08;
constexpr UCHAR ShadowMsrChangeBits = 0x0F;
constexpr UCHAR ShadowMsrCts = 0x10;
constexpr UCHAR ShadowMsrDsr = 0x20;

// ---- called with controlLock held, at DISPATCH_LEVEL; none completes a request ----
// Break: sets (or, only when set, clears) the break bit and its transmit hold.
void TzSerialBreakOn(DeviceContext* context);
void TzSerialBreakOff(DeviceContext* context);
// XOFF received (or simulated) and its release.
void TzSerialHoldForXoff(DeviceContext* context);
void TzSerialReleaseXoffHold(DeviceContext* context);
// Applies a new handshake and flow record to the shadow line state, stores it
// in handFlow, then reviews the modem status (which may insert into the
// receive stream and satisfy an armed wait).
void TzSerialInstallHandFlow(DeviceContext* context, const SERIAL_HANDFLOW* handFlow);
// Adds the events in waitMask to historyMask and satisfies an armed wait with
// them. The completion takes controlLock, so it is queued (waitCompleteDpc).
void TzSerialDeliverEvents(DeviceContext* context, ULONG events);
// If a wait is armed, writes its result (Information 4) and returns TRUE: the
// caller then runs TzSerialWaitCompleteDpc once it has released the lock.
BOOLEAN TzSerialSatisfyWait(DeviceContext* context, ULONG result);
// Delivers SERIAL_EV_TXEMPTY when it is waited for and nothing is queued.
void TzSerialCheckTxEmpty(DeviceContext* context);
// Reads and clears the shadow modem status's change bits, inserts them into
// the receive stream when an escape character is set, updates the DSR
// sensitivity and transmit holds, and raises the modem events. Returns the
// value read. fromTransmit is carried for the transmit path's calls; the
// review itself does the same work either way.
UCHAR TzSerialReviewModemStatus(DeviceContext* context, BOOLEAN fromTransmit);
// Sets txHolding; a change lets the transmit side stop or resume.
void TzSerialSetTxHolding(DeviceContext* context, ULONG holding);
// Recomputes the CTS, DSR and DCD transmit holds of the handshake in force
// from the far side's lines as the adapter reports them (lineEventState).
void TzSerialReviewTransmitHolds(DeviceContext* context);
// Stores the modem-control image; the shadow CTS follows the shadow RTS.
void TzSerialShadowWriteMcr(DeviceContext* context, UCHAR value);
void TzSerialShadowDtrOn(DeviceContext* context);
void TzSerialShadowDtrOff(DeviceContext* context);
void TzSerialShadowRtsOn(DeviceContext* context);
void TzSerialShadowRtsOff(DeviceContext* context);
// Marks an XON (xon TRUE) or an XOFF as the flow character due.
void TzSerialRequestFlowChar(DeviceContext* context, BOOLEAN xon);
// The DTR, RTS and automatic-flow consequences of a new handshake record;
// stores it in handFlow. Does not review the modem status.
void TzSerialApplyFlowSettings(DeviceContext* context, const SERIAL_HANDFLOW* handFlow);
// Writes 0 as the armed wait's result if it is still armed (Information 4)
// and drops the completion path's hold.
void TzSerialDisarmWait(DeviceContext* context);
// Withdraws a pending immediate character from the transmitter, with the
// transmit path's hold.
void TzSerialDropImmediateChar(DeviceContext* context);

// ---- called without controlLock ----
// Starts the immediate character once immediateRequest is set and counted in
// charsQueued. Returns STATUS_PENDING (the request then belongs to the holders
// in immediateFlags), or STATUS_CANCELLED when the request was already
// cancelled (completed here). PASSIVE_LEVEL or DISPATCH_LEVEL.
NTSTATUS TzSerialStartImmediateChar(DeviceContext* context);

// waitMaskQueue's start routine (SET_WAIT_MASK and WAIT_ON_MASK), DISPATCH_LEVEL.
// Completes the request or arms it as the one wait, and starts the queue's
// next request in every case; an armed wait does not block the queue.
TzSerialStartRoutine TzSerialWaitMaskStart;
// The completion path of the armed wait, once an event source has written its
// result: drops the completion path's hold and completes the wait when no
// other holder is left. A DPC (context: the DeviceContext), also called
// directly by event sources after they release controlLock. DISPATCH_LEVEL.
KDEFERRED_ROUTINE TzSerialWaitCompleteDpc;
// Cancel routines: entered holding the cancel spin lock, which they release first.
DRIVER_CANCEL TzSerialWaitCancel;
DRIVER_CANCEL TzSerialImmediateCancel;
// Cleanup's cancel of a pending immediate character: ends it as its cancel
// routine would, unless a cancel is already under way. A character on the bus
// ends once its transfer, cancelled here, is back. IRQL <= DISPATCH_LEVEL;
// takes controlLock.
void TzSerialCancelImmediateChar(DeviceContext* context);
// The immediate character's timer DPC (completes with STATUS_TIMEOUT).
KDEFERRED_ROUTINE TzSerialImmediateTimeoutDpc;
// Run by the control-character transmitter once the immediate character's
// transfer is back (immediateSentRequest names the request, immediateSendStatus
// how it ended). Completes with that status when the other holders are
// withdrawn; a run for any other request does nothing.
KDEFERRED_ROUTINE TzSerialImmediateDoneDpc;
