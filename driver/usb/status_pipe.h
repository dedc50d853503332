// Driver: the interrupt status pipe. While the port is open one transfer is
// kept on the adapter's interrupt-in pipe; each SERIAL_STATE notification it
// brings is decoded into lineEventState and modemStatus, and a watched signal
// that changed completes the armed wait-on-mask request. Only a "Modem"-class
// adapter with all three pipes has it; on any other the operations succeed
// and do nothing.
#pragma once

#include "driver/core/device_context.h"

// lineEventState bits, in the SERIAL_EV_* layout.
constexpr USHORT LineCts = 0x0008;
constexpr USHORT LineDsr = 0x0010;
constexpr USHORT LineRlsd = 0x0020;
constexpr USHORT LineBreak = 0x0040;
constexpr USHORT LineRing = 0x0100;
constexpr USHORT LineSignals = 0x01F8;  // the bits whose changes are events
constexpr USHORT LineReported = LineDsr | LineRlsd | LineBreak | LineRing;  // what SERIAL_STATE carries

// Starts the status transfer unless one is in flight. STATUS_DELETE_PENDING
// when the device is gone or the system is not working, STATUS_SUCCESS
// without a status pipe, STATUS_INSUFFICIENT_RESOURCES, or the hold queue's
// refusal; the reader is then idle, ready for a later submission.
// IRQL <= DISPATCH_LEVEL.
NTSTATUS TzSerialStatusSubmit(DeviceContext* context);
IO_COMPLETION_ROUTINE TzSerialStatusComplete;

// Cancels the status transfer in flight. Must not be called holding
// controlLock: the transfer may complete at once. IRQL <= DISPATCH_LEVEL.
void TzSerialStatusCancel(DeviceContext* context);

// Decodes one notification of length bytes; anything that is not a complete,
// well-formed SERIAL_STATE changes nothing. controlLock not held.
void TzSerialParseSerialState(DeviceContext* context, const UCHAR* notification, ULONG length);

// Merges the reported bits (within mask) into lineEventState, CTS following
// DSR, derives modemStatus, adds the changes the wait mask asks for to the
// event history and completes an armed wait they satisfy. controlLock not held.
void TzSerialUpdateLineState(DeviceContext* context, USHORT bits, USHORT mask);

// What an open starts from until the adapter reports its lines: lines
// (CTS following DSR) as they are assumed, with no change pending in
// modemStatus, whatever an earlier session left there. controlLock held.
void TzSerialAssumeLinesLocked(DeviceContext* context, USHORT lines);

// Events raised by the transmit path (SERIAL_EV_TXEMPTY): they satisfy the
// armed wait, or wait in the history when the mask asks for them.
// controlLock not held, IRQL <= DISPATCH_LEVEL.
void TzSerialSignalWaitEvent(DeviceContext* context, ULONG events);
