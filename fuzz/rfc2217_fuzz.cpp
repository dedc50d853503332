// Fuzzing tool: a client's stream through the RFC 2217 server's parser,
// option negotiation and commands, on one thread: what the session's socket
// and writer threads do with the bytes, without the socket.
#include "fuzz/rfc2217_fuzz.h"

#include "fuzz/port_bench.h"
#include "sim/sim.h"
#include "tools/comm/comm.h"
#include "tools/tzcom/rfc2217_commands.h"
#include "tools/tzcom/telnet_codec.h"
#include "tools/tzcom/telnet_options.h"

#include <algorithm>
#include <cstring>

namespace tzfuzz {

namespace {

using namespace comm;
using tzcom::telnet::Bytes;
namespace telnet = tzcom::telnet;
namespace rfc2217 = tzcom::rfc2217;

// Writes end after this long, so that data held by the flow control a client
// set does not hold the program up; reads return at once.
constexpr COMMTIMEOUTS kTimeouts = {MAXDWORD, 0, 0, 0, 200};

class ClientStream : private telnet::Handler {
 public:
  explicit ClientStream(std::span<const uint8_t> input)
      : input_(input.first(std::min(input.size(), kMaxClientStreamBytes))), addresses_(addressesFor(input)) {}

  std::string run() {
    PortBench bench(loopbackAdapter(), addresses_);
    if (!bench.broken.empty()) return bench.broken;
    port_ = CreateFileA("COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port_ == INVALID_HANDLE_VALUE) return "the port did not open (error " + std::to_string(GetLastError()) + ")";
    if (!rfc2217::makeTransparent(port_) || !SetCommTimeouts(port_, &kTimeouts)) broken_ = "the port could not be set up";
    {
      rfc2217::PortControl control(port_, "COM7", 0);
      control_ = &control;
      telnet::Parser parser;
      checkAnswer(options_.offer(), "the offer");
      // Pieces of 1 to 97 bytes, as a socket might deliver them.
      for (size_t at = 0, piece = 0; at < input_.size() && broken_.empty(); ++piece) {
        size_t n = std::min(input_.size() - at, 1 + (piece * 37 + input_[at]) % 97);
        parser.feed(input_.subspan(at, n), *this);
        at += n;
        sim::advance(5 * sim::kMs);
        checkNotifications();
      }
      control_ = nullptr;
    }
    if (broken_.empty()) roundTrip();
    CloseHandle(port_);
    return bench.finishAfter(broken_);
  }

 private:
  // Client data reaches the port; with the loopback plug it comes back and
  // is read off so the receive side never fills.
  void onData(std::span<const uint8_t> data) override {
    DWORD wrote = 0;
    WriteFile(port_, data.data(), DWORD(data.size()), &wrote, nullptr);
    if (wrote > data.size()) broken_ = "a write of " + std::to_string(data.size()) + " bytes took " + std::to_string(wrote);
    uint8_t back[4096];
    DWORD got = 0;
    ReadFile(port_, back, sizeof back, &got, nullptr);
  }

  void onNegotiation(uint8_t verb, uint8_t option) override {
    bool comPortBefore = comPortEnabled();
    Bytes answer = options_.receive(verb, option);
    if (!answer.empty() && (answer.size() != 3 || answer[0] != telnet::IAC || answer[1] < telnet::WILL ||
                            answer[2] != option))
      broken_ = "the answer to verb " + std::to_string(verb) + " option " + std::to_string(option) + " is " +
                hexBytes(answer);
    if (!comPortBefore && comPortEnabled())
      if (auto modem = control_->modemStateNow()) checkNotification(*modem, rfc2217::NOTIFY_MODEMSTATE);
  }

  void onSubnegotiation(uint8_t option, std::span<const uint8_t> payload) override {
    if (payload.size() > telnet::kMaxSubnegotiation) broken_ = "a subnegotiation longer than the parser keeps";
    if (option != telnet::OPTION_COM_PORT) return;
    std::optional<Bytes> reply = control_->handle(payload);
    if (reply) checkReply(payload, *reply);
    if (!payload.empty() && payload[0] == rfc2217::SET_MODEMSTATE_MASK)
      if (auto modem = control_->modemStateNow()) checkNotification(*modem, rfc2217::NOTIFY_MODEMSTATE);
  }

  bool comPortEnabled() const {
    return options_.remoteEnabled(telnet::OPTION_COM_PORT) || options_.localEnabled(telnet::OPTION_COM_PORT);
  }

  // The offer: WILL or DO for each option, three bytes each.
  void checkAnswer(const Bytes& bytes, const char* what) {
    if (bytes.size() % 3) broken_ = std::string(what) + " is " + hexBytes(bytes);
  }

  void checkReply(std::span<const uint8_t> payload, const Bytes& reply) {
    uint8_t command = payload[0];
    if (reply.empty() || reply[0] != command + rfc2217::kServerOffset) {
      broken_ = "command " + std::to_string(command) + " answered with " + hexBytes(reply);
      return;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(port_, &dcb)) {
      broken_ = "GetCommState failed after command " + std::to_string(command);
      return;
    }
    size_t length = 2;
    std::optional<uint32_t> answered, kept;
    switch (command) {
      case rfc2217::SET_BAUDRATE:
        length = 5;
        if (reply.size() == 5) answered = uint32_t(reply[1]) << 24 | reply[2] << 16 | reply[3] << 8 | reply[4];
        kept = dcb.BaudRate;
        break;
      case rfc2217::SET_DATASIZE:
        if (reply.size() == 2) answered = reply[1];
        kept = dcb.ByteSize;
        break;
      case rfc2217::SET_PARITY:
        if (reply.size() == 2) answered = reply[1];
        kept = dcb.Parity + 1u;
        break;
      case rfc2217::SIGNATURE: length = reply.size(); break;
      case rfc2217::FLOWCONTROL_SUSPEND:
      case rfc2217::FLOWCONTROL_RESUME: length = 1; break;
      default: break;
    }
    if (reply.size() != length)
      broken_ = "command " + std::to_string(command) + " answered with " + std::to_string(reply.size()) + " bytes";
    else if (answered != kept)
      broken_ = "command " + std::to_string(command) + " answered " + std::to_string(answered.value_or(0)) +
                ", the port has " + std::to_string(kept.value_or(0));
  }

  void checkNotification(const Bytes& notification, uint8_t command) {
    if (notification.size() != 2 || notification[0] != command + rfc2217::kServerOffset)
      broken_ = "a notification " + hexBytes(notification);
  }

  // What the session's event thread would send after the port's events.
  void checkNotifications() {
    DWORD all = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;
    if (auto modem = control_->modemNotification(all)) checkNotification(*modem, rfc2217::NOTIFY_MODEMSTATE);
    if (auto line = control_->lineNotification(all)) checkNotification(*line, rfc2217::NOTIFY_LINESTATE);
  }

  // Whatever the client set, a transparent line carries data again.
  void roundTrip() {
    static constexpr char kLine[] = "the same line\r\n";
    static constexpr COMMTIMEOUTS kRoundTrip = {0, 0, 1000, 0, 1000};
    if (!rfc2217::makeTransparent(port_) || !SetCommTimeouts(port_, &kRoundTrip) || !ClearCommBreak(port_) ||
        !EscapeCommFunction(port_, SETXON)) {
      broken_ = "the line could not be made transparent again (error " + std::to_string(GetLastError()) + ")";
      return;
    }
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(port_, &errors, &status);
    sim::advance(100 * sim::kMs);
    PurgeComm(port_, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    DWORD wrote = 0, got = 0;
    char back[sizeof kLine - 1] = {};
    bool written = WriteFile(port_, kLine, DWORD(sizeof kLine - 1), &wrote, nullptr);
    bool read = ReadFile(port_, back, DWORD(sizeof back), &got, nullptr);
    if (!written || wrote != sizeof kLine - 1 || !read || got != sizeof back || std::memcmp(back, kLine, sizeof back))
      broken_ = "the round trip after the stream wrote " + std::to_string(wrote) + " and read " + std::to_string(got) +
                " bytes";
  }

  std::span<const uint8_t> input_;
  sim::Addresses addresses_;
  HANDLE port_ = nullptr;
  rfc2217::PortControl* control_ = nullptr;
  telnet::Options options_{{telnet::OPTION_BINARY, telnet::OPTION_SGA, telnet::OPTION_COM_PORT},
                           {telnet::OPTION_BINARY, telnet::OPTION_SGA, telnet::OPTION_COM_PORT}};
  std::string broken_;
};

}  // namespace

std::string runClientStream(std::span<const uint8_t> input) { return ClientStream(input).run(); }

}  // namespace tzfuzz
