// Driver: the DTR and RTS lines the adapter is told, as SET_CONTROL_LINE_STATE
// carries them. controlLines holds both as the application set them and the
// handshake modes imply; GET_DTRRTS and GET_MODEM_CONTROL report it. The
// adapter is told controlLines less the lines a receive hold keeps down
// (DTR or RTS handshake with the ring nearly full): every change goes to it
// from the caller's thread, a hold's from linesWorkItem.
#pragma once

#include "driver/core/device_context.h"

// The lines a handshake record implies when it takes effect: DTR on unless
// its control is off; RTS on under RTS control and RTS handshake, off when
// its control is off or when it toggles with transmission (nothing is being
// sent). Any IRQL.
USHORT TzSerialLinesOfHandFlow(const SERIAL_HANDFLOW* handFlow);

// Sends controlLines less the held lines. Returns the chip command's status (an
// open fails with it; everyone else ignores it). PASSIVE_LEVEL, controlLock
// not held.
NTSTATUS TzSerialSendControlLines(DeviceContext* context);

// Records lines (ControlLine* bits) as the adapter's and sends them.
// PASSIVE_LEVEL, controlLock not held.
NTSTATUS TzSerialSetControlLines(DeviceContext* context, USHORT lines);

// Turns the given lines on or off, the others staying as set, and sends the
// result. PASSIVE_LEVEL, controlLock not held.
NTSTATUS TzSerialChangeControlLines(DeviceContext* context, USHORT lines, bool on);

// After a new handshake record took effect (before: the record it replaced):
// each line whose mode changed takes what the new mode implies. Returns
// whether controlLines changed; the caller then sends them once it has
// released the lock. controlLock held.
BOOLEAN TzSerialFollowHandFlowLocked(DeviceContext* context, const SERIAL_HANDFLOW* before);

// What the adapter is to hold: controlLines less the lines a receive hold
// keeps down. controlLock held.
USHORT TzSerialWireLinesLocked(const DeviceContext* context);

// A receive hold on DTR or RTS began or ended: unless the adapter already has
// the lines that now follow, linesWorkItem sends them. controlLock held.
void TzSerialLinesFollowHoldsLocked(DeviceContext* context);

// The lines as last set (ControlLine* bits, which are also the SERIAL_DTR_STATE
// / SERIAL_RTS_STATE and modem-control-register DTR / RTS bits). Takes
// controlLock; IRQL <= DISPATCH_LEVEL.
USHORT TzSerialControlLines(DeviceContext* context);
