// Driver: the DTR and RTS lines the adapter is told, as SET_CONTROL_LINE_STATE
// carries them. controlLines holds both as the application set them and the
// handshake modes imply; every change goes to the adapter from the caller's
// thread, and GET_DTRRTS and GET_MODEM_CONTROL report it.
#pragma once

#include "driver/core/device_context.h"

// The lines a handshake record implies when it takes effect: DTR on unless
// its control is off; RTS on under RTS control and RTS handshake, off when
// its control is off or when it toggles with transmission (nothing is being
// sent). Any IRQL.
USHORT TzSerialLinesOfHandFlow(const SERIAL_HANDFLOW* handFlow);

// Sends the lines controlLines holds. Returns the chip command's status (an
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

// The lines as last set (ControlLine* bits, which are also the SERIAL_DTR_STATE
// / SERIAL_RTS_STATE and modem-control-register DTR / RTS bits). Takes
// controlLock; IRQL <= DISPATCH_LEVEL.
USHORT TzSerialControlLines(DeviceContext* context);
