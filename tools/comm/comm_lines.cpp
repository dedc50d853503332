// The comm API's line and queue calls (tool side): escape functions and
// break, the immediate character, purge, errors and queue status, and the
// modem lines.
#include "tools/comm/comm_port.h"

namespace comm {

namespace {

DWORD CommErrorsOf(ULONG serialErrors) {
  DWORD errors = 0;
  if (serialErrors & SERIAL_ERROR_QUEUEOVERRUN) errors |= CE_RXOVER;
  if (serialErrors & SERIAL_ERROR_OVERRUN) errors |= CE_OVERRUN;
  if (serialErrors & SERIAL_ERROR_PARITY) errors |= CE_RXPARITY;
  if (serialErrors & SERIAL_ERROR_FRAMING) errors |= CE_FRAME;
  if (serialErrors & SERIAL_ERROR_BREAK) errors |= CE_BREAK;
  return errors;
}

COMSTAT ComStatOf(const SERIAL_STATUS& s) {
  COMSTAT stat{};
  stat.fCtsHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
  stat.fDsrHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
  stat.fRlsdHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
  stat.fXoffHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
  stat.fXoffSent = (s.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
  stat.fEof = s.EofReceived != 0;
  stat.fTxim = s.WaitForImmediate != 0;
  stat.cbInQue = s.AmountInInQueue;
  stat.cbOutQue = s.AmountInOutQueue;
  return stat;
}

}  // namespace

BOOL EscapeCommFunction(HANDLE port, DWORD function) {
  static const ULONG codes[] = {0,
                                IOCTL_SERIAL_SET_XOFF,
                                IOCTL_SERIAL_SET_XON,
                                IOCTL_SERIAL_SET_RTS,
                                IOCTL_SERIAL_CLR_RTS,
                                IOCTL_SERIAL_SET_DTR,
                                IOCTL_SERIAL_CLR_DTR,
                                IOCTL_SERIAL_RESET_DEVICE,
                                IOCTL_SERIAL_SET_BREAK_ON,
                                IOCTL_SERIAL_SET_BREAK_OFF};
  if (!PortOf(port)) return 0;
  if (function < SETXOFF || function > CLRBREAK) return Fail(ERROR_INVALID_PARAMETER);
  return ControlCall(port, codes[function]);
}

BOOL SetCommBreak(HANDLE port) { return EscapeCommFunction(port, SETBREAK); }
BOOL ClearCommBreak(HANDLE port) { return EscapeCommFunction(port, CLRBREAK); }

BOOL TransmitCommChar(HANDLE port, char c) {
  UCHAR character = UCHAR(c);
  return ControlCall(port, IOCTL_SERIAL_IMMEDIATE_CHAR, &character, sizeof character);
}

BOOL PurgeComm(HANDLE port, DWORD flags) {
  ULONG mask = flags;
  return ControlCall(port, IOCTL_SERIAL_PURGE, &mask, sizeof mask);
}

BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status) {
  SERIAL_STATUS s{};
  if (!ControlCall(port, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s)) return 0;
  if (errors) *errors = CommErrorsOf(s.Errors);
  if (status) *status = ComStatOf(s);
  return 1;
}

BOOL GetCommModemStatus(HANDLE port, DWORD* modemStatus) {
  if (!modemStatus) return Fail(ERROR_INVALID_PARAMETER);
  ULONG lines = 0;
  if (!ControlCall(port, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &lines, sizeof lines)) return 0;
  *modemStatus = lines & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
  return 1;
}

}  // namespace comm
