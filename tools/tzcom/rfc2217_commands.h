// The COM-PORT-OPTION commands of RFC 2217 carried out on an open port
// through the comm API, and the notifications the port's events become.
// Every reply is a subnegotiation payload: the server's code (the client's
// plus 100) and the value the port now has, read back after each change, so
// that a value the port refused is answered with the one it kept.
#pragma once

#include "tools/comm/comm.h"
#include "tools/tzcom/logger.h"
#include "tools/tzcom/telnet_codec.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

namespace tzcom::rfc2217 {

using telnet::Bytes;

// Client command codes; the server answers with code + 100.
enum Command : uint8_t {
  SIGNATURE = 0, SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5,
  NOTIFY_LINESTATE = 6, NOTIFY_MODEMSTATE = 7, FLOWCONTROL_SUSPEND = 8, FLOWCONTROL_RESUME = 9,
  SET_LINESTATE_MASK = 10, SET_MODEMSTATE_MASK = 11, PURGE_DATA = 12,
};
constexpr uint8_t kServerOffset = 100;

// SET-CONTROL values.
enum Control : uint8_t {
  OUTBOUND_QUERY = 0, OUTBOUND_NONE = 1, OUTBOUND_XONXOFF = 2, OUTBOUND_HARDWARE = 3,
  BREAK_QUERY = 4, BREAK_ON = 5, BREAK_OFF = 6, DTR_QUERY = 7, DTR_ON = 8, DTR_OFF = 9,
  RTS_QUERY = 10, RTS_ON = 11, RTS_OFF = 12, INBOUND_QUERY = 13, INBOUND_NONE = 14, INBOUND_XONXOFF = 15,
  INBOUND_HARDWARE = 16, OUTBOUND_DCD = 17, INBOUND_DTR = 18, OUTBOUND_DSR = 19,
};

// NOTIFY-LINESTATE bits.
constexpr uint8_t LINE_OVERRUN = 0x02, LINE_PARITY = 0x04, LINE_FRAMING = 0x08, LINE_BREAK = 0x10;
// NOTIFY-MODEMSTATE bits: the states are the comm API's MS_*_ON bits.
constexpr uint8_t MODEM_DELTA_CTS = 0x01, MODEM_DELTA_DSR = 0x02, MODEM_RING_TRAILING = 0x04,
                  MODEM_DELTA_DCD = 0x08, MODEM_CTS = 0x10, MODEM_DSR = 0x20, MODEM_RI = 0x40, MODEM_DCD = 0x80;

// A client starts with a transparent line: binary, no handshake, DTR and
// RTS up, whatever an earlier client left. Speed and framing are kept.
bool makeTransparent(HANDLE port);

// The events the session waits for on the port.
constexpr comm::DWORD kWatchedEvents =
    comm::EV_CTS | comm::EV_DSR | comm::EV_RLSD | comm::EV_RING | comm::EV_BREAK | comm::EV_ERR;

class PortControl {
 public:
  PortControl(HANDLE port, std::string portName, int verbosity);

  // Carries out one COM-PORT-OPTION payload from the client. Returns the
  // reply payload, or nothing for an empty payload or an unknown command or
  // value (logged at verbosity 2).
  std::optional<Bytes> handle(std::span<const uint8_t> payload);

  // The modem state as the client may first see it (after it enabled the
  // option or set the mask): the masked state, nothing when the mask is 0.
  std::optional<Bytes> modemStateNow();
  // What the port's events make known: a NOTIFY-MODEMSTATE with states and
  // delta bits, a NOTIFY-LINESTATE with the errors, each filtered by its mask
  // and sent only when something is left.
  std::optional<Bytes> modemNotification(comm::DWORD events);
  std::optional<Bytes> lineNotification(comm::DWORD events);

  // FLOWCONTROL-SUSPEND: the client wants no port data for now.
  bool suspended() const { return suspended_; }

 private:
  Bytes setBaudRate(std::span<const uint8_t> value);
  Bytes setByteField(uint8_t command, std::span<const uint8_t> value);
  std::optional<Bytes> setControl(uint8_t value);
  uint8_t outboundFlow(const comm::DCB& dcb) const;
  uint8_t inboundFlow(const comm::DCB& dcb) const;
  bool apply(comm::DCB& dcb, const char* what);
  comm::DCB state();
  uint8_t readModemState();
  uint8_t readLineState(comm::DWORD events);

  HANDLE port_;
  std::string portName_;
  Logger log_;  // command lines at level 2
  std::atomic<bool> suspended_{false};
  std::atomic<uint8_t> lineMask_{0};      // RFC 2217's initial masks
  std::atomic<uint8_t> modemMask_{0xFF};
  bool breakOn_ = false;
  std::mutex modemLock_;                  // the session's socket and event threads both notify
  uint8_t lastModemState_ = 0;
};

}  // namespace tzcom::rfc2217
