// The telnet byte stream (RFC 854/855): a parser that splits what a client
// sends into data, option negotiations, commands and subnegotiations, keeping
// its state across packets, and the encoders for what the server sends back.
// No sockets, no kernel: the RFC 2217 session feeds it whatever recv()
// returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tzcom::telnet {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, GA = 249, EL = 248, EC = 247,
                  AYT = 246, AO = 245, IP = 244, BRK = 243, DM = 242, NOP = 241, SE = 240;
constexpr uint8_t OPTION_BINARY = 0, OPTION_ECHO = 1, OPTION_SGA = 3, OPTION_COM_PORT = 44;

// Longest subnegotiation payload kept; a longer one is dropped as malformed.
constexpr size_t kMaxSubnegotiation = 256;

// What the parser found, in stream order: data is always delivered before
// the event that follows it.
class Handler {
 public:
  virtual ~Handler() = default;
  virtual void onData(std::span<const uint8_t> data) = 0;
  virtual void onNegotiation(uint8_t verb, uint8_t option) = 0;  // WILL, WONT, DO or DONT
  virtual void onSubnegotiation(uint8_t option, std::span<const uint8_t> payload) = 0;
  virtual void onCommand(uint8_t) {}            // NOP, BRK, AYT, ... (nothing to do for a serial port)
  virtual void onMalformed(const char*) {}      // input dropped, with the reason
};

class Parser {
 public:
  explicit Parser(size_t maxSubnegotiation = kMaxSubnegotiation) : maxSubnegotiation_(maxSubnegotiation) {}

  // Parses the next bytes of the stream. Data runs are delivered with IAC
  // IAC undone; a sequence cut by the end of bytes continues in the next call.
  void feed(std::span<const uint8_t> bytes, Handler& handler);
  // True between IAC SB and its IAC SE (or anywhere inside an IAC sequence).
  bool inSequence() const { return state_ != State::Data; }

 private:
  enum class State { Data, Iac, Verb, SbOption, SbData, SbIac };
  void afterIac(uint8_t byte, Handler& handler);
  void flush(Handler& handler);

  size_t maxSubnegotiation_;
  State state_ = State::Data;
  uint8_t verb_ = 0;
  uint8_t option_ = 0;
  Bytes payload_;
  Bytes data_;
};

// data with every IAC doubled, appended to out.
void appendEscaped(Bytes& out, std::span<const uint8_t> data);
Bytes negotiation(uint8_t verb, uint8_t option);
// IAC SB option payload IAC SE, with IAC doubled in the payload.
Bytes subnegotiation(uint8_t option, std::span<const uint8_t> payload);

}  // namespace tzcom::telnet
