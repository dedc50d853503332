// Tests of the RFC 2217 server in front of COM5 of a real-time host with the
// loopback adapter, driven by a raw telnet client over a loopback socket:
// negotiation, commands and their answers as the port kept them, modem
// notifications, one client at a time, and input no client should send.
// Every wait is bounded and ends on what the client reads.
#include "tools/tzcom/host.h"
#include "tools/tzcom/rfc2217_commands.h"
#include "tools/tzcom/rfc2217_server.h"
#include "tools/tzcom/telnet_codec.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace tzcom::telnet;
namespace rfc = tzcom::rfc2217;
using Clock = std::chrono::steady_clock;
constexpr auto patience = std::chrono::seconds(5);

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes command(uint8_t code, std::initializer_list<uint8_t> value = {}) {
  Bytes payload{code};
  payload.insert(payload.end(), value.begin(), value.end());
  return subnegotiation(OPTION_COM_PORT, payload);
}

// A telnet client that keeps everything the server sent, parsed.
class Client : Handler {
 public:
  explicit Client(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Client() { close(); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool connected() const { return connected_; }
  void shutdownSending() { ::shutdown(fd_, SHUT_WR); }

  void send(const Bytes& bytes) { ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size())); }
  void sendData(const Bytes& data) {
    Bytes escaped;
    appendEscaped(escaped, data);
    send(escaped);
  }

  // Reads until done() or the server closes the connection or patience runs
  // out (at most limit when given); returns done().
  template <class Done>
  bool readUntil(Done done, std::chrono::milliseconds limit = std::chrono::duration_cast<std::chrono::milliseconds>(patience)) {
    for (auto end = Clock::now() + limit; !done() && !closed_ && Clock::now() < end;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      uint8_t buffer[8192];
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      raw_.insert(raw_.end(), buffer, buffer + n);
      parser_.feed(std::span(buffer, size_t(n)), *this);
    }
    return done();
  }
  bool closedByServer() {
    readUntil([] { return false; });
    return closed_;
  }
  // The next COM-PORT-OPTION payload from the server with this code.
  std::optional<Bytes> reply(uint8_t code, std::chrono::milliseconds limit = std::chrono::duration_cast<std::chrono::milliseconds>(patience)) {
    readUntil([&] { return find(code) != replies_.end(); }, limit);
    auto it = find(code);
    if (it == replies_.end()) return std::nullopt;
    Bytes payload = *it;
    replies_.erase(it);
    return payload;
  }
  bool negotiated(uint8_t verb, uint8_t option) {
    return readUntil([&] { return std::find(negotiations_.begin(), negotiations_.end(), std::pair(verb, option)) != negotiations_.end(); });
  }
  // Waits for the offer, then agrees to COM-PORT-OPTION as a client does.
  bool handshake() {
    if (!negotiated(DO, OPTION_COM_PORT)) return false;
    send(negotiation(WILL, OPTION_COM_PORT));
    return true;
  }

  Bytes data;
  std::string text() const { return std::string(raw_.begin(), raw_.end()); }

 private:
  std::vector<Bytes>::iterator find(uint8_t code) {
    return std::find_if(replies_.begin(), replies_.end(), [&](const Bytes& p) { return !p.empty() && p[0] == code; });
  }
  void onData(std::span<const uint8_t> d) override { data.insert(data.end(), d.begin(), d.end()); }
  void onNegotiation(uint8_t verb, uint8_t option) override { negotiations_.emplace_back(verb, option); }
  void onSubnegotiation(uint8_t option, std::span<const uint8_t> payload) override {
    if (option == OPTION_COM_PORT) replies_.emplace_back(payload.begin(), payload.end());
  }

  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  Parser parser_;
  Bytes raw_;
  std::vector<std::pair<uint8_t, uint8_t>> negotiations_;
  std::vector<Bytes> replies_;
};

class Rfc2217ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(host.start({.verbosity = 0}, &error)) << error;
    server = std::make_unique<tzcom::Rfc2217Server>(tzcom::Rfc2217Options{.tcpPort = 0, .verbosity = 0});
    ASSERT_TRUE(server->start(&error)) << error;
    ASSERT_NE(server->tcpPort(), 0);
  }
  void TearDown() override {
    server.reset();
    std::string report;
    EXPECT_TRUE(host.stop(&report)) << report;
  }
  static HANDLE openPort() {
    return comm::CreateFileA("COM5", comm::GENERIC_READ | comm::GENERIC_WRITE, 0, nullptr, comm::OPEN_EXISTING,
                             comm::FILE_FLAG_OVERLAPPED, nullptr);
  }
  // Whether nobody holds the port, waiting for a session that is ending (a
  // close with output the junk's flow control held back takes the driver a
  // few seconds).
  static bool portFreed() {
    for (auto end = Clock::now() + 2 * patience; Clock::now() < end; poll(nullptr, 0, 5)) {
      HANDLE h = openPort();
      if (h != comm::INVALID_HANDLE_VALUE) return comm::CloseHandle(h), true;
    }
    return false;
  }

  tzcom::Host host;
  std::unique_ptr<tzcom::Rfc2217Server> server;
};

constexpr uint8_t kReply = rfc::kServerOffset;

TEST(Rfc2217ServerOptions, OnlyLoopbackAddressesAreServed) {
  std::string error;
  tzcom::Rfc2217Server outside({.bindAddress = "0.0.0.0", .tcpPort = 0, .verbosity = 0});
  EXPECT_FALSE(outside.start(&error));
  EXPECT_NE(error.find("loopback"), std::string::npos) << error;
  tzcom::Rfc2217Server garbage({.bindAddress = "127.0.0.1x", .tcpPort = 0, .verbosity = 0});
  EXPECT_FALSE(garbage.start(&error));
  tzcom::Rfc2217Server other({.bindAddress = "127.0.0.2", .tcpPort = 0, .verbosity = 0});
  EXPECT_TRUE(other.start(&error)) << error;
  other.stop();
  other.stop();  // idempotent
}

TEST_F(Rfc2217ServerTest, NegotiatesAndAnswersSettingsWithWhatThePortKept) {
  Client c(server->tcpPort());
  ASSERT_TRUE(c.connected());
  for (uint8_t option : {OPTION_BINARY, OPTION_SGA, OPTION_COM_PORT}) {
    EXPECT_TRUE(c.negotiated(WILL, option)) << int(option);
    EXPECT_TRUE(c.negotiated(DO, option)) << int(option);
  }
  c.send(negotiation(DO, OPTION_ECHO));  // the server does not echo
  EXPECT_TRUE(c.negotiated(WONT, OPTION_ECHO));
  c.send(negotiation(WILL, 24));  // terminal type: refused
  EXPECT_TRUE(c.negotiated(DONT, 24));
  // Agreeing to the option brings the modem state: DTR is up from the open,
  // so the loopback plug shows DSR and DCD (and CTS, derived from DSR). The
  // plug's report may land just as the option is agreed, and then the first
  // notification is that change, with its delta bit: the lines are the same.
  c.send(negotiation(WILL, OPTION_COM_PORT));
  auto modem = c.reply(kReply + rfc::NOTIFY_MODEMSTATE);
  ASSERT_TRUE(modem);
  constexpr uint8_t kLines = rfc::MODEM_CTS | rfc::MODEM_DSR | rfc::MODEM_RI | rfc::MODEM_DCD;
  EXPECT_EQ((*modem)[1] & kLines, rfc::MODEM_CTS | rfc::MODEM_DSR | rfc::MODEM_DCD);

  c.send(command(rfc::SET_BAUDRATE, {0x00, 0x01, 0xC2, 0x00}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_BAUDRATE), (Bytes{101, 0x00, 0x01, 0xC2, 0x00}));
  c.send(command(rfc::SET_BAUDRATE, {0, 0, 0, 0}));  // query
  EXPECT_EQ(c.reply(kReply + rfc::SET_BAUDRATE), (Bytes{101, 0x00, 0x01, 0xC2, 0x00}));
  EXPECT_EQ(host.ports()[0].adapter->lineCoding().rate, 115200u);

  c.send(command(rfc::SET_DATASIZE, {7}) + command(rfc::SET_PARITY, {3}) + command(rfc::SET_STOPSIZE, {2}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_DATASIZE), (Bytes{102, 7}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_PARITY), (Bytes{103, 3}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_STOPSIZE), (Bytes{104, 2}));
  sim::usb::LineCoding coding = host.ports()[0].adapter->lineCoding();
  EXPECT_EQ(coding.dataBits, 7);
  EXPECT_EQ(coding.parity, 2);  // even
  EXPECT_EQ(coding.stopBits, 2);

  // Refused values are answered with what the port kept.
  c.send(command(rfc::SET_DATASIZE, {9}) + command(rfc::SET_PARITY, {77}) + command(rfc::SET_STOPSIZE, {9}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_DATASIZE), (Bytes{102, 7}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_PARITY), (Bytes{103, 3}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_STOPSIZE), (Bytes{104, 2}));

  c.send(command(rfc::SET_CONTROL, {rfc::OUTBOUND_HARDWARE}) + command(rfc::SET_CONTROL, {rfc::OUTBOUND_QUERY}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::OUTBOUND_HARDWARE}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::OUTBOUND_HARDWARE}));
  c.send(command(rfc::SET_CONTROL, {rfc::OUTBOUND_DCD}));  // not something the port can do
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::OUTBOUND_HARDWARE}));
  c.send(command(rfc::SET_CONTROL, {rfc::INBOUND_HARDWARE}) + command(rfc::SET_CONTROL, {rfc::RTS_OFF}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::INBOUND_HARDWARE}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::RTS_ON}));  // RTS belongs to the handshake
  c.send(command(rfc::SET_CONTROL, {rfc::INBOUND_NONE}) + command(rfc::SET_CONTROL, {rfc::RTS_OFF}) +
         command(rfc::SET_CONTROL, {rfc::RTS_QUERY}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::INBOUND_NONE}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::RTS_OFF}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::RTS_OFF}));

  c.send(command(rfc::SIGNATURE));
  auto signature = c.reply(kReply + rfc::SIGNATURE);
  ASSERT_TRUE(signature);
  EXPECT_EQ(std::string(signature->begin() + 1, signature->end()), "tzcom COM5");
}

TEST_F(Rfc2217ServerTest, CarriesDataBothWaysAndReportsTheModemLines) {
  Client c(server->tcpPort());
  ASSERT_TRUE(c.handshake());
  ASSERT_TRUE(c.reply(kReply + rfc::NOTIFY_MODEMSTATE));
  // Every byte value, IAC doubled on the wire both ways.
  Bytes out;
  for (int round = 0; round < 64; ++round)
    for (int b = 0; b < 256; ++b) out.push_back(uint8_t(b ^ round));
  c.sendData(out);
  EXPECT_TRUE(c.readUntil([&] { return c.data.size() >= out.size(); }));
  EXPECT_EQ(c.data, out);

  c.send(command(rfc::SET_CONTROL, {rfc::DTR_OFF}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::DTR_OFF}));
  auto off = c.reply(kReply + rfc::NOTIFY_MODEMSTATE);
  ASSERT_TRUE(off);
  EXPECT_EQ((*off)[1], rfc::MODEM_DELTA_CTS | rfc::MODEM_DELTA_DSR | rfc::MODEM_DELTA_DCD);
  c.send(command(rfc::SET_CONTROL, {rfc::DTR_QUERY}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::DTR_OFF}));
  // The mask filters: DSR only.
  c.send(command(rfc::SET_MODEMSTATE_MASK, {rfc::MODEM_DSR}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_MODEMSTATE_MASK), (Bytes{111, rfc::MODEM_DSR}));
  EXPECT_EQ(c.reply(kReply + rfc::NOTIFY_MODEMSTATE), (Bytes{107, 0}));  // the state under the new mask
  c.send(command(rfc::SET_CONTROL, {rfc::DTR_ON}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::DTR_ON}));
  auto on = c.reply(kReply + rfc::NOTIFY_MODEMSTATE);
  ASSERT_TRUE(on);
  EXPECT_EQ((*on)[1], rfc::MODEM_DSR);

  c.send(command(rfc::SET_CONTROL, {rfc::BREAK_ON}) + command(rfc::SET_CONTROL, {rfc::BREAK_QUERY}) +
         command(rfc::SET_CONTROL, {rfc::BREAK_OFF}) + command(rfc::PURGE_DATA, {3}) +
         command(rfc::SET_LINESTATE_MASK, {0xFF}) + command(rfc::NOTIFY_LINESTATE));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::BREAK_ON}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::BREAK_ON}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::BREAK_OFF}));
  EXPECT_EQ(c.reply(kReply + rfc::PURGE_DATA), (Bytes{112, 3}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_LINESTATE_MASK), (Bytes{110, 0xFF}));
  EXPECT_TRUE(c.reply(kReply + rfc::NOTIFY_LINESTATE));

  // Suspended, the port's data waits in the port until the client resumes.
  c.data.clear();
  c.send(command(rfc::FLOWCONTROL_SUSPEND));
  EXPECT_EQ(c.reply(kReply + rfc::FLOWCONTROL_SUSPEND), (Bytes{108}));
  c.sendData({'h', 'e', 'l', 'd'});
  EXPECT_FALSE(c.readUntil([&] { return !c.data.empty(); }, std::chrono::milliseconds(300)));
  c.send(command(rfc::FLOWCONTROL_RESUME));
  EXPECT_TRUE(c.readUntil([&] { return c.data.size() >= 4; }));
  EXPECT_EQ(c.data, (Bytes{'h', 'e', 'l', 'd'}));
}

// A client that took the server's offer for the answer to its own request
// never answers it and goes straight to commands: it still learns the modem
// lines, once, before its first reply.
TEST_F(Rfc2217ServerTest, AClientThatNeverAnswersTheOfferStillGetsTheModemStateOnce) {
  Client c(server->tcpPort());
  ASSERT_TRUE(c.negotiated(DO, OPTION_COM_PORT));
  c.send(command(rfc::SET_BAUDRATE, {0, 1, 0xC2, 0}) + command(rfc::SET_DATASIZE, {8}));
  ASSERT_TRUE(c.reply(kReply + rfc::SET_DATASIZE));
  auto modem = c.reply(kReply + rfc::NOTIFY_MODEMSTATE);
  ASSERT_TRUE(modem);
  EXPECT_EQ((*modem)[1] & rfc::MODEM_DSR, rfc::MODEM_DSR) << "DTR is on, so the loopback plug shows DSR";
  EXPECT_FALSE(c.reply(kReply + rfc::NOTIFY_MODEMSTATE, std::chrono::milliseconds(300))) << "announced once; nothing changed since";
}

TEST_F(Rfc2217ServerTest, OneClientAtATimeAndEachOpensThePortAfresh) {
  auto first = std::make_unique<Client>(server->tcpPort());
  ASSERT_TRUE(first->handshake());
  Client second(server->tcpPort());
  ASSERT_TRUE(second.connected());
  EXPECT_TRUE(second.closedByServer());
  EXPECT_EQ(second.text(), "tzcom: COM5 is in use by another client\r\n");

  // The first client's DTR-off dies with its session: the next client finds
  // DTR up again.
  first->send(command(rfc::SET_CONTROL, {rfc::DTR_OFF}));
  EXPECT_EQ(first->reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::DTR_OFF}));
  first.reset();
  ASSERT_TRUE(portFreed());
  Client third(server->tcpPort());
  ASSERT_TRUE(third.handshake());
  auto modem = third.reply(kReply + rfc::NOTIFY_MODEMSTATE);
  ASSERT_TRUE(modem);
  EXPECT_EQ((*modem)[1] & rfc::MODEM_DSR, rfc::MODEM_DSR);
  third.close();

  // Held by someone else (the pty bridge, say): the client is told and closed.
  ASSERT_TRUE(portFreed());
  HANDLE held = openPort();
  ASSERT_NE(held, comm::INVALID_HANDLE_VALUE);
  Client refused(server->tcpPort());
  EXPECT_TRUE(refused.closedByServer());
  EXPECT_NE(refused.text().find("COM5 is in use"), std::string::npos) << refused.text();
  comm::CloseHandle(held);
}

TEST_F(Rfc2217ServerTest, MalformedInputNeitherCrashesNorWedgesTheServer) {
  std::mt19937 random(2217);
  {
    Client c(server->tcpPort());
    ASSERT_TRUE(c.handshake());
    // Random bytes dense in telnet commands, an overlong subnegotiation, a
    // truncated one, a subnegotiation of another option, unknown commands
    // and values, IAC at the end of a packet.
    Bytes junk(16384);
    for (auto& b : junk) b = uint8_t(random() % 3 == 0 ? IAC - random() % 16 : random());
    c.send(junk);
    Bytes overlong{IAC, SB, OPTION_COM_PORT, rfc::SIGNATURE};
    overlong.resize(overlong.size() + 2000, 'x');
    c.send(overlong);
    c.send(Bytes{IAC, SB, OPTION_COM_PORT, rfc::SET_BAUDRATE, 0, IAC, WILL, OPTION_SGA});
    c.send(Bytes{IAC, SB, 24, 1, IAC, SE, IAC, SB, OPTION_COM_PORT, 99, 1, 2, IAC, SE});
    c.send(command(rfc::SET_CONTROL, {200}) + command(rfc::PURGE_DATA, {9}) + command(rfc::SET_BAUDRATE, {1}));
    c.send(Bytes{IAC});
    // Back to a known state, then a query is still answered in this session.
    c.send(Bytes{0, IAC, SE});
    c.send(command(rfc::SET_CONTROL, {rfc::OUTBOUND_NONE}) + command(rfc::SET_CONTROL, {rfc::INBOUND_NONE}) +
           command(rfc::SET_CONTROL, {rfc::DTR_ON}) + command(rfc::FLOWCONTROL_RESUME) +
           command(rfc::SET_CONTROL, {rfc::DTR_QUERY}));
    // The junk had SET-CONTROL answers of its own: read up to the query's.
    std::optional<Bytes> reply;
    while ((reply = c.reply(kReply + rfc::SET_CONTROL)) && *reply != Bytes{105, rfc::DTR_ON}) {
    }
    EXPECT_TRUE(reply) << "the session stopped answering";
  }
  // A client that leaves in the middle of a subnegotiation, and one that
  // sends nothing but garbage and goes.
  {
    Client c(server->tcpPort());
    c.send(Bytes{IAC, SB, OPTION_COM_PORT, rfc::SET_BAUDRATE, 0, 1});
  }
  ASSERT_TRUE(portFreed());
  Client next(server->tcpPort());
  ASSERT_TRUE(next.handshake());
  next.send(command(rfc::SET_BAUDRATE, {0, 0, 0x25, 0x80}));
  EXPECT_EQ(next.reply(kReply + rfc::SET_BAUDRATE), (Bytes{101, 0, 0, 0x25, 0x80}));
  next.sendData({'o', 'k', IAC});
  EXPECT_TRUE(next.readUntil([&] { return next.data.size() >= 3 && Bytes(next.data.end() - 3, next.data.end()) == Bytes{'o', 'k', IAC}; }));
}

TEST_F(Rfc2217ServerTest, DataSentJustBeforeHangingUpStillReachesThePort) {
  auto& adapter = host.ports()[0].adapter;
  uint64_t before = adapter->bulkOutBytes();
  {
    // As `nc` does: send, shut the sending side, read to the end. (A client
    // that closes with the echo unread resets the connection, and TCP drops
    // what the server had not read yet.)
    Client c(server->tcpPort());
    ASSERT_TRUE(c.handshake());
    c.sendData(Bytes(100000, 'q'));
    c.shutdownSending();
    EXPECT_TRUE(c.closedByServer());
  }
  ASSERT_TRUE(portFreed());  // the session has ended
  EXPECT_EQ(adapter->bulkOutBytes() - before, 100000u);
}

TEST_F(Rfc2217ServerTest, StopClosesTheClientAndThePort) {
  Client c(server->tcpPort());
  ASSERT_TRUE(c.handshake());
  ASSERT_TRUE(c.reply(kReply + rfc::NOTIFY_MODEMSTATE));
  // A write held by flow control (hardware handshake, DTR and so CTS down)
  // does not hold up the stop.
  c.send(command(rfc::SET_CONTROL, {rfc::OUTBOUND_HARDWARE}) + command(rfc::SET_CONTROL, {rfc::DTR_OFF}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::OUTBOUND_HARDWARE}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::DTR_OFF}));
  c.sendData(Bytes(1000, 'w'));
  // ... nor the command that releases it.
  c.send(command(rfc::SET_CONTROL, {rfc::OUTBOUND_NONE}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::OUTBOUND_NONE}));
  c.send(command(rfc::SET_CONTROL, {rfc::OUTBOUND_HARDWARE}));
  EXPECT_EQ(c.reply(kReply + rfc::SET_CONTROL), (Bytes{105, rfc::OUTBOUND_HARDWARE}));
  c.sendData(Bytes(1000, 'h'));
  server->stop();
  EXPECT_TRUE(c.closedByServer());
  HANDLE h = openPort();
  EXPECT_NE(h, comm::INVALID_HANDLE_VALUE);
  comm::CloseHandle(h);
  server->stop();
}

}  // namespace
