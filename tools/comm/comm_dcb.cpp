// The DCB and the serial records (tool side): each DCB flag is one bit of the
// handshake record, DTR and RTS control are two-bit fields of it.
#include "tools/comm/comm_dcb.h"

namespace comm {

namespace {

ULONG ControlHandShakeOf(const DCB& dcb) {
  ULONG bits = 0;
  if (dcb.fDtrControl == DTR_CONTROL_ENABLE) bits |= SERIAL_DTR_CONTROL;
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) bits |= SERIAL_DTR_HANDSHAKE;
  if (dcb.fOutxCtsFlow) bits |= SERIAL_CTS_HANDSHAKE;
  if (dcb.fOutxDsrFlow) bits |= SERIAL_DSR_HANDSHAKE;
  if (dcb.fDsrSensitivity) bits |= SERIAL_DSR_SENSITIVITY;
  if (dcb.fAbortOnError) bits |= SERIAL_ERROR_ABORT;
  return bits;
}

ULONG FlowReplaceOf(const DCB& dcb) {
  static const ULONG rts[] = {0, SERIAL_RTS_CONTROL, SERIAL_RTS_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE};
  ULONG bits = rts[dcb.fRtsControl];
  if (dcb.fOutX) bits |= SERIAL_AUTO_TRANSMIT;
  if (dcb.fInX) bits |= SERIAL_AUTO_RECEIVE;
  if (dcb.fErrorChar) bits |= SERIAL_ERROR_CHAR;
  if (dcb.fNull) bits |= SERIAL_NULL_STRIPPING;
  if (dcb.fTXContinueOnXoff) bits |= SERIAL_XOFF_CONTINUE;
  return bits;
}

DWORD DtrControlOf(ULONG controlHandShake) {
  switch (controlHandShake & SERIAL_DTR_MASK) {
    case SERIAL_DTR_CONTROL: return DTR_CONTROL_ENABLE;
    case SERIAL_DTR_HANDSHAKE: return DTR_CONTROL_HANDSHAKE;
    default: return DTR_CONTROL_DISABLE;
  }
}

DWORD RtsControlOf(ULONG flowReplace) {
  switch (flowReplace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL: return RTS_CONTROL_ENABLE;
    case SERIAL_RTS_HANDSHAKE: return RTS_CONTROL_HANDSHAKE;
    case SERIAL_TRANSMIT_TOGGLE: return RTS_CONTROL_TOGGLE;
    default: return RTS_CONTROL_DISABLE;
  }
}

}  // namespace

bool DcbIsValid(const DCB& dcb) {
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return false;
  if (dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) return false;
  if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) return false;
  return true;
}

DCB DcbFrom(const LineSettings& s) {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = s.baudRate.BaudRate;
  dcb.fBinary = 1;
  // The driver keeps no parity-check switch apart from the parity itself.
  dcb.fParity = s.lineControl.Parity != NO_PARITY;
  const ULONG hand = s.handFlow.ControlHandShake, flow = s.handFlow.FlowReplace;
  dcb.fOutxCtsFlow = (hand & SERIAL_CTS_HANDSHAKE) != 0;
  dcb.fOutxDsrFlow = (hand & SERIAL_DSR_HANDSHAKE) != 0;
  dcb.fDtrControl = DtrControlOf(hand);
  dcb.fDsrSensitivity = (hand & SERIAL_DSR_SENSITIVITY) != 0;
  dcb.fAbortOnError = (hand & SERIAL_ERROR_ABORT) != 0;
  dcb.fTXContinueOnXoff = (flow & SERIAL_XOFF_CONTINUE) != 0;
  dcb.fOutX = (flow & SERIAL_AUTO_TRANSMIT) != 0;
  dcb.fInX = (flow & SERIAL_AUTO_RECEIVE) != 0;
  dcb.fErrorChar = (flow & SERIAL_ERROR_CHAR) != 0;
  dcb.fNull = (flow & SERIAL_NULL_STRIPPING) != 0;
  dcb.fRtsControl = RtsControlOf(flow);
  dcb.XonLim = WORD(s.handFlow.XonLimit);
  dcb.XoffLim = WORD(s.handFlow.XoffLimit);
  dcb.ByteSize = s.lineControl.WordLength;
  dcb.Parity = s.lineControl.Parity;
  dcb.StopBits = s.lineControl.StopBits;
  dcb.XonChar = char(s.chars.XonChar);
  dcb.XoffChar = char(s.chars.XoffChar);
  dcb.ErrorChar = char(s.chars.ErrorChar);
  dcb.EofChar = char(s.chars.EofChar);
  dcb.EvtChar = char(s.chars.EventChar);
  return dcb;
}

LineSettings SettingsFrom(const DCB& dcb, const LineSettings& current) {
  LineSettings s;
  s.baudRate.BaudRate = dcb.BaudRate;
  s.lineControl.StopBits = dcb.StopBits;
  s.lineControl.Parity = dcb.Parity;
  s.lineControl.WordLength = dcb.ByteSize;
  s.chars.EofChar = UCHAR(dcb.EofChar);
  s.chars.ErrorChar = UCHAR(dcb.ErrorChar);
  s.chars.BreakChar = current.chars.BreakChar;
  s.chars.EventChar = UCHAR(dcb.EvtChar);
  s.chars.XonChar = UCHAR(dcb.XonChar);
  s.chars.XoffChar = UCHAR(dcb.XoffChar);
  s.handFlow.ControlHandShake = ControlHandShakeOf(dcb);
  s.handFlow.FlowReplace = FlowReplaceOf(dcb);
  s.handFlow.XonLimit = dcb.XonLim;
  s.handFlow.XoffLimit = dcb.XoffLim;
  return s;
}

}  // namespace comm
