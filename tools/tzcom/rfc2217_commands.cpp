// RFC 2217 commands onto the comm API.
#include "tools/tzcom/rfc2217_commands.h"

#include <algorithm>
#include <cstdio>

namespace tzcom::rfc2217 {

using namespace comm;

namespace {

Bytes reply(uint8_t command, std::span<const uint8_t> value) {
  Bytes out(1 + value.size());
  out[0] = uint8_t(command + kServerOffset);
  std::copy(value.begin(), value.end(), out.begin() + 1);
  return out;
}
Bytes reply(uint8_t command, uint8_t value) { return {uint8_t(command + kServerOffset), value}; }

// RFC 2217 parity 1..5 is NONE, ODD, EVEN, MARK, SPACE: the DCB's 0..4 plus 1.
// Stop size 1, 2, 3 is one, two and one and a half bits.
uint8_t stopSizeOf(BYTE stopBits) { return stopBits == TWOSTOPBITS ? 2 : stopBits == ONE5STOPBITS ? 3 : 1; }

}  // namespace

PortControl::PortControl(HANDLE port, std::string portName, int verbosity)
    : port_(port), portName_(std::move(portName)), log_("tzcom: rfc2217: " + portName_ + ": ", verbosity) {
  lastModemState_ = readModemState();
}

DCB PortControl::state() {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  GetCommState(port_, &dcb);
  return dcb;
}

// Sets the DCB; either way dcb ends as the port's state read back.
bool PortControl::apply(DCB& dcb, const char* what) {
  bool ok = SetCommState(port_, &dcb);
  DWORD error = ok ? 0 : GetLastError();
  dcb = state();
  if (ok)
    log_(2, "%s set", what);
  else
    log_(2, "%s refused (error %u), kept the port's", what, error);
  return ok;
}

std::optional<Bytes> PortControl::handle(std::span<const uint8_t> payload) {
  if (payload.empty()) return std::nullopt;
  uint8_t command = payload[0];
  std::span<const uint8_t> value = payload.subspan(1);
  switch (command) {
    case SIGNATURE: {
      if (!value.empty()) log_(2, "client signature \"%.*s\"", int(value.size()), reinterpret_cast<const char*>(value.data()));
      std::string signature = "tzcom " + portName_;
      return reply(command, std::span(reinterpret_cast<const uint8_t*>(signature.data()), signature.size()));
    }
    case SET_BAUDRATE: return setBaudRate(value);
    case SET_DATASIZE: case SET_PARITY: case SET_STOPSIZE: return setByteField(command, value);
    case SET_CONTROL:
      if (value.empty()) break;
      return setControl(value[0]);
    case NOTIFY_LINESTATE: return reply(command, readLineState(0));
    case NOTIFY_MODEMSTATE: {
      std::lock_guard lock(modemLock_);
      lastModemState_ = readModemState();
      return reply(command, lastModemState_);
    }
    case FLOWCONTROL_SUSPEND:
    case FLOWCONTROL_RESUME:
      suspended_ = command == FLOWCONTROL_SUSPEND;
      log_(2, "port data to the client %s", suspended_ ? "suspended" : "resumed");
      return Bytes{uint8_t(command + kServerOffset)};
    case SET_LINESTATE_MASK:
    case SET_MODEMSTATE_MASK:
      if (value.empty()) break;
      (command == SET_LINESTATE_MASK ? lineMask_ : modemMask_) = value[0];
      log_(2, "%s mask 0x%02X", command == SET_LINESTATE_MASK ? "line state" : "modem state", value[0]);
      return reply(command, value[0]);
    case PURGE_DATA: {
      if (value.empty() || value[0] < 1 || value[0] > 3) break;
      DWORD flags = (value[0] & 1 ? PURGE_RXABORT | PURGE_RXCLEAR : 0) | (value[0] & 2 ? PURGE_TXABORT | PURGE_TXCLEAR : 0);
      if (!PurgeComm(port_, flags)) log_(2, "purge failed (error %u)", GetLastError());
      log_(2, "purged %s", value[0] == 1 ? "receive" : value[0] == 2 ? "transmit" : "both buffers");
      return reply(command, value[0]);
    }
    default: break;
  }
  log_(2, "ignored command %u (%zu value bytes)", command, value.size());
  return std::nullopt;
}

Bytes PortControl::setBaudRate(std::span<const uint8_t> value) {
  DCB dcb = state();
  // A value shorter than four bytes is taken as the query (0).
  uint32_t rate = value.size() >= 4 ? uint32_t(value[0]) << 24 | value[1] << 16 | value[2] << 8 | value[3] : 0;
  if (rate != 0 && rate != dcb.BaudRate) {
    dcb.BaudRate = rate;
    apply(dcb, "baud rate");
  }
  uint32_t now = dcb.BaudRate;
  const uint8_t bytes[] = {uint8_t(now >> 24), uint8_t(now >> 16), uint8_t(now >> 8), uint8_t(now)};
  return reply(SET_BAUDRATE, bytes);
}

// SET-DATASIZE, SET-PARITY and SET-STOPSIZE: one byte, 0 the query.
Bytes PortControl::setByteField(uint8_t command, std::span<const uint8_t> value) {
  DCB dcb = state();
  uint8_t wanted = value.empty() ? 0 : value[0];
  if (wanted != 0) {
    DCB changed = dcb;
    if (command == SET_DATASIZE) {
      changed.ByteSize = wanted;
      apply(changed, "data size");
    } else if (command == SET_PARITY) {
      changed.Parity = BYTE(wanted - 1);
      changed.fParity = wanted != 1;
      apply(changed, "parity");
    } else {
      changed.StopBits = wanted == 1 ? ONESTOPBIT : wanted == 2 ? TWOSTOPBITS : wanted == 3 ? ONE5STOPBITS : BYTE(wanted);
      apply(changed, "stop size");
    }
    dcb = changed;
  }
  if (command == SET_DATASIZE) return reply(command, dcb.ByteSize);
  if (command == SET_PARITY) return reply(command, uint8_t(dcb.Parity + 1));
  return reply(command, stopSizeOf(dcb.StopBits));
}

uint8_t PortControl::outboundFlow(const DCB& dcb) const {
  if (dcb.fOutX) return OUTBOUND_XONXOFF;
  if (dcb.fOutxCtsFlow) return OUTBOUND_HARDWARE;
  if (dcb.fOutxDsrFlow) return OUTBOUND_DSR;
  return OUTBOUND_NONE;
}

uint8_t PortControl::inboundFlow(const DCB& dcb) const {
  if (dcb.fInX) return INBOUND_XONXOFF;
  if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return INBOUND_HARDWARE;
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) return INBOUND_DTR;
  return INBOUND_NONE;
}

std::optional<Bytes> PortControl::setControl(uint8_t value) {
  DCB dcb = state();
  switch (value) {
    case OUTBOUND_NONE: case OUTBOUND_XONXOFF: case OUTBOUND_HARDWARE: case OUTBOUND_DSR:
      dcb.fOutX = value == OUTBOUND_XONXOFF;
      dcb.fOutxCtsFlow = value == OUTBOUND_HARDWARE;
      dcb.fOutxDsrFlow = value == OUTBOUND_DSR;
      if (dcb.fOutX && dcb.XonChar == dcb.XoffChar) dcb.XonChar = 0x11, dcb.XoffChar = 0x13;
      apply(dcb, "outbound flow control");
      [[fallthrough]];
    case OUTBOUND_QUERY:
    case OUTBOUND_DCD:  // the port cannot hold its output for DCD
      return reply(SET_CONTROL, outboundFlow(dcb));

    case INBOUND_NONE: case INBOUND_XONXOFF: case INBOUND_HARDWARE: case INBOUND_DTR:
      dcb.fInX = value == INBOUND_XONXOFF;
      if (value == INBOUND_HARDWARE) dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
      else if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) dcb.fRtsControl = RTS_CONTROL_ENABLE;
      if (value == INBOUND_DTR) dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
      else if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) dcb.fDtrControl = DTR_CONTROL_ENABLE;
      if (dcb.fInX && dcb.XonChar == dcb.XoffChar) dcb.XonChar = 0x11, dcb.XoffChar = 0x13;
      apply(dcb, "inbound flow control");
      [[fallthrough]];
    case INBOUND_QUERY:
      return reply(SET_CONTROL, inboundFlow(dcb));

    case BREAK_ON: case BREAK_OFF:
      if (value == BREAK_ON ? SetCommBreak(port_) : ClearCommBreak(port_)) breakOn_ = value == BREAK_ON;
      log_(2, "break %s", breakOn_ ? "on" : "off");
      [[fallthrough]];
    case BREAK_QUERY:
      return reply(SET_CONTROL, breakOn_ ? BREAK_ON : BREAK_OFF);

    // DTR and RTS go through the DCB, so that a later SetCommState (a new
    // baud rate) keeps them as the client left them. Under handshake the
    // line belongs to the flow control and stays as it is.
    case DTR_ON: case DTR_OFF:
      if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE) {
        dcb.fDtrControl = value == DTR_ON ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        apply(dcb, value == DTR_ON ? "DTR on" : "DTR off");
      }
      [[fallthrough]];
    case DTR_QUERY:
      return reply(SET_CONTROL, dcb.fDtrControl == DTR_CONTROL_DISABLE ? DTR_OFF : DTR_ON);

    case RTS_ON: case RTS_OFF:
      if (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_DISABLE) {
        dcb.fRtsControl = value == RTS_ON ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        apply(dcb, value == RTS_ON ? "RTS on" : "RTS off");
      }
      [[fallthrough]];
    case RTS_QUERY:
      return reply(SET_CONTROL, dcb.fRtsControl == RTS_CONTROL_DISABLE ? RTS_OFF : RTS_ON);
  }
  log_(2, "ignored SET-CONTROL value %u", value);
  return std::nullopt;
}

uint8_t PortControl::readModemState() {
  DWORD status = 0;
  GetCommModemStatus(port_, &status);
  return uint8_t(status & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON));
}

// The errors since the last call (ClearCommError clears them), plus a break
// the event reported.
uint8_t PortControl::readLineState(DWORD events) {
  DWORD errors = 0;
  COMSTAT status{};
  ClearCommError(port_, &errors, &status);
  uint8_t line = 0;
  if (errors & (CE_OVERRUN | CE_RXOVER)) line |= LINE_OVERRUN;
  if (errors & CE_RXPARITY) line |= LINE_PARITY;
  if (errors & CE_FRAME) line |= LINE_FRAMING;
  if ((errors & CE_BREAK) || (events & EV_BREAK)) line |= LINE_BREAK;
  return line;
}

std::optional<Bytes> PortControl::modemStateNow() {
  std::lock_guard lock(modemLock_);
  lastModemState_ = readModemState();
  uint8_t mask = modemMask_;
  if (mask == 0) return std::nullopt;
  return reply(NOTIFY_MODEMSTATE, uint8_t(lastModemState_ & mask));
}

std::optional<Bytes> PortControl::modemNotification(DWORD events) {
  if (!(events & (EV_CTS | EV_DSR | EV_RLSD | EV_RING))) return std::nullopt;
  std::lock_guard lock(modemLock_);
  uint8_t previous = lastModemState_, now = readModemState();
  lastModemState_ = now;
  // A line that changed and changed back between two reads still had its
  // event: the delta bit says so even though the state reads the same.
  uint8_t changed = previous ^ now;
  uint8_t state = now;
  if ((changed & MODEM_CTS) || (events & EV_CTS)) state |= MODEM_DELTA_CTS;
  if ((changed & MODEM_DSR) || (events & EV_DSR)) state |= MODEM_DELTA_DSR;
  if ((changed & MODEM_DCD) || (events & EV_RLSD)) state |= MODEM_DELTA_DCD;
  if ((previous & MODEM_RI) && !(now & MODEM_RI)) state |= MODEM_RING_TRAILING;
  uint8_t masked = state & modemMask_;
  if (masked == 0) return std::nullopt;
  log_(2, "modem state 0x%02X (events 0x%X, was 0x%02X)", state, events, previous);
  return reply(NOTIFY_MODEMSTATE, masked);
}

std::optional<Bytes> PortControl::lineNotification(DWORD events) {
  if (!(events & (EV_ERR | EV_BREAK))) return std::nullopt;
  uint8_t line = readLineState(events);
  uint8_t masked = line & lineMask_;
  if (masked == 0) return std::nullopt;
  log_(2, "line state 0x%02X", line);
  return reply(NOTIFY_LINESTATE, masked);
}

bool makeTransparent(HANDLE port) {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(port, &dcb)) return false;
  dcb.fBinary = 1;
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = 0;
  dcb.fOutX = dcb.fInX = 0;
  dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  return SetCommState(port, &dcb);
}

}  // namespace tzcom::rfc2217
