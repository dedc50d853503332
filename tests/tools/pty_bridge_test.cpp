// Tests of the pty bridge: a real pseudo-terminal in front of COM5 of a
// real-time host with the loopback adapter. Every wait is a bounded poll of
// something observable (bytes, the adapter's line coding, the port's
// exclusivity), never a fixed sleep.
#include "tools/tzcom/host.h"
#include "tools/tzcom/pty_bridge.h"
#include "tools/tzcom/pty_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto patience = std::chrono::seconds(5);
constexpr uint8_t bulkOutEndpoint = 0x02;

template <class Condition>
bool eventually(Condition condition) {
  for (auto end = Clock::now() + patience; Clock::now() < end;) {
    if (condition()) return true;
    poll(nullptr, 0, 5);
  }
  return condition();
}

std::string tempPath(const char* what) {
  return ::testing::TempDir() + "pty_" + std::to_string(getpid()) + "_" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" + what;
}

// ---- termios -> DCB, no kernel needed ----------------------------------------------

termios line(speed_t speed, tcflag_t cflag) {
  termios t{};
  cfmakeraw(&t);
  t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS)) | cflag;
  cfsetospeed(&t, speed);
  cfsetispeed(&t, speed);
  return t;
}

comm::DCB applied(const termios& t) {
  comm::DCB dcb{};
  dcb.BaudRate = 4321;
  dcb.fDtrControl = comm::DTR_CONTROL_ENABLE;
  dcb.XonChar = 0x11;
  tzcom::applyTermios(t, dcb);
  return dcb;
}

TEST(PtyLine, MapsSpeedFramingAndHandshake) {
  comm::DCB d = applied(line(B9600, CS7 | PARENB | CSTOPB));
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(d.ByteSize, 7);
  EXPECT_EQ(d.Parity, comm::EVENPARITY);
  EXPECT_TRUE(d.fParity);
  EXPECT_EQ(d.StopBits, comm::TWOSTOPBITS);
  EXPECT_FALSE(d.fOutxCtsFlow);
  EXPECT_EQ(d.fRtsControl, comm::RTS_CONTROL_ENABLE);
  // What termios does not describe is left alone.
  EXPECT_EQ(d.fDtrControl, comm::DTR_CONTROL_ENABLE);
  EXPECT_EQ(d.XonChar, 0x11);

  d = applied(line(B115200, CS8 | PARENB | PARODD | CRTSCTS));
  EXPECT_EQ(d.BaudRate, 115200u);
  EXPECT_EQ(d.Parity, comm::ODDPARITY);
  EXPECT_EQ(d.StopBits, comm::ONESTOPBIT);
  EXPECT_TRUE(d.fOutxCtsFlow);
  EXPECT_EQ(d.fRtsControl, comm::RTS_CONTROL_HANDSHAKE);

  EXPECT_EQ(applied(line(B1200, CS8 | PARENB | CMSPAR | PARODD)).Parity, comm::MARKPARITY);
  EXPECT_EQ(applied(line(B1200, CS8 | PARENB | CMSPAR)).Parity, comm::SPACEPARITY);
  EXPECT_EQ(applied(line(B1200, CS8 | PARODD)).Parity, comm::NOPARITY);  // PARODD without PARENB
  // A UART sends 1.5 stop bits for "two" at five data bits.
  comm::DCB five = applied(line(B1200, CS5 | CSTOPB));
  EXPECT_EQ(five.ByteSize, 5);
  EXPECT_EQ(five.StopBits, comm::ONE5STOPBITS);
  // B0 (hang up) and speeds outside the table keep the port's rate.
  EXPECT_EQ(applied(line(B0, CS8)).BaudRate, 4321u);
  EXPECT_EQ(tzcom::baudRateOf(B4000000), 4000000u);
}

TEST(PtyLine, OnlyLineFlagsCountAsAChange) {
  termios a = line(B9600, CS8);
  termios b = a;
  b.c_lflag |= ECHO;
  b.c_iflag |= IXON;
  EXPECT_TRUE(tzcom::sameLine(a, b));
  b.c_cflag |= CRTSCTS;
  EXPECT_FALSE(tzcom::sameLine(a, b));
  termios c = a;
  cfsetospeed(&c, B19200);
  EXPECT_FALSE(tzcom::sameLine(a, c));
}

// ---- the symlink -----------------------------------------------------------------------

TEST(PtyLink, ReplacesAStaleSymlinkAndRemovesItsOwn) {
  std::string link = tempPath("link");
  ASSERT_EQ(symlink("/nonexistent/pts/99", link.c_str()), 0);
  {
    tzcom::PtyBridge bridge({.linkPath = link, .verbosity = 0});
    std::string error;
    ASSERT_TRUE(bridge.start(&error)) << error;
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(target, bridge.slavePath());
    bridge.stop();
    bridge.stop();  // idempotent
  }
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0);
}

TEST(PtyLink, RefusesToReplaceAFile) {
  std::string file = tempPath("file");
  { FILE* f = std::fopen(file.c_str(), "w"); ASSERT_TRUE(f); std::fputs("keep", f); std::fclose(f); }
  tzcom::PtyBridge bridge({.linkPath = file, .verbosity = 0});
  std::string error;
  EXPECT_FALSE(bridge.start(&error));
  EXPECT_NE(error.find("not a symlink"), std::string::npos) << error;
  struct stat st {};
  ASSERT_EQ(lstat(file.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 4);
  std::remove(file.c_str());
}

// ---- through the port ------------------------------------------------------------------

class PtyBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(host.start({.verbosity = 0}, &error)) << error;
    link = tempPath("link");
    bridge = std::make_unique<tzcom::PtyBridge>(tzcom::PtyOptions{.linkPath = link, .verbosity = 0});
    ASSERT_TRUE(bridge->start(&error)) << error;
  }
  void TearDown() override {
    if (slave >= 0) ::close(slave);
    bridge.reset();
    std::string report;
    EXPECT_TRUE(host.stop(&report)) << report;
  }

  void openSlave() {
    slave = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(slave, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    cfmakeraw(&t);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
  }

  // Writes out while reading until done(what came back) or patience runs
  // out; what came back.
  template <class Done>
  std::vector<uint8_t> exchange(const std::vector<uint8_t>& out, Done done) {
    std::vector<uint8_t> in;
    size_t sent = 0;
    for (auto end = Clock::now() + patience; !done(in) && Clock::now() < end;) {
      pollfd fd{slave, short(POLLIN | (sent < out.size() ? POLLOUT : 0)), 0};
      if (poll(&fd, 1, 50) <= 0) continue;
      if (fd.revents & POLLOUT) {
        ssize_t n = ::write(slave, out.data() + sent, out.size() - sent);
        if (n > 0) sent += size_t(n);
      }
      if (fd.revents & POLLIN) {
        uint8_t buffer[4096];
        ssize_t n = ::read(slave, buffer, sizeof buffer);
        if (n > 0) in.insert(in.end(), buffer, buffer + n);
      }
    }
    return in;
  }
  std::vector<uint8_t> roundTrip(const std::vector<uint8_t>& out) {
    return exchange(out, [&](const std::vector<uint8_t>& in) { return in.size() >= out.size(); });
  }

  // Whether nobody holds the port: it opens, and is closed again at once.
  static bool portFree() {
    HANDLE h = comm::CreateFileA("COM5", comm::GENERIC_READ | comm::GENERIC_WRITE, 0, nullptr, comm::OPEN_EXISTING,
                                 comm::FILE_FLAG_OVERLAPPED, nullptr);
    if (h == comm::INVALID_HANDLE_VALUE) return false;
    comm::CloseHandle(h);
    return true;
  }

  tzcom::Host host;
  std::string link;
  std::unique_ptr<tzcom::PtyBridge> bridge;
  int slave = -1;
};

std::vector<uint8_t> pattern(size_t size, unsigned seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t((i * 131 + seed) ^ (i >> 8));
  return bytes;
}

// Far more than one chunk either way and more than the slave's input queue
// holds, so partial writes and EAGAIN on the master are taken on the way.
TEST_F(PtyBridgeTest, LoopsBytesBackInOrderAndThePortFollowsTheSlave) {
  EXPECT_TRUE(portFree());  // nobody has the slave: the bridge leaves the port alone
  openSlave();
  std::vector<uint8_t> out = pattern(48 * 1024, 7);
  std::vector<uint8_t> in = roundTrip(out);
  ASSERT_EQ(in.size(), out.size());
  EXPECT_TRUE(in == out);
  EXPECT_FALSE(portFree());

  // 9600 7E2. Linux's pty keeps the speed and CSTOPB but forces CS8 and
  // clears PARENB whatever the program asks, so the port follows what the
  // slave's termios holds afterwards.
  termios t{};
  ASSERT_EQ(tcgetattr(slave, &t), 0);
  t.c_cflag = (t.c_cflag & ~(CSIZE | PARODD)) | CS7 | PARENB | CSTOPB;
  cfsetspeed(&t, B9600);
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
  ASSERT_EQ(tcgetattr(slave, &t), 0);
  const uint8_t dataBits = (t.c_cflag & CSIZE) == CS7 ? 7 : 8;
  const uint8_t parity = (t.c_cflag & PARENB) ? 2 : 0;
  auto adapter = host.ports()[0].adapter;
  EXPECT_TRUE(eventually([&] {
    sim::usb::LineCoding c = adapter->lineCoding();
    return c.rate == 9600 && c.dataBits == dataBits && c.parity == parity && c.stopBits == 2;
  })) << "the adapter has " << adapter->lineCoding().rate << " " << int(adapter->lineCoding().dataBits) << "/"
         << int(adapter->lineCoding().parity) << "/" << int(adapter->lineCoding().stopBits);

  // The last close frees the port for the next client, DTR down.
  ::close(slave);
  slave = -1;
  EXPECT_TRUE(eventually(portFree));
  EXPECT_EQ(adapter->controlLineState() & 1, 0);
}

// A second program on the slave keeps the port open after the first leaves;
// what the port sent that nobody read is not handed to the next program.
TEST_F(PtyBridgeTest, PortStaysOpenUntilTheLastSlaveCloses) {
  openSlave();
  int second = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(second, 0);
  std::vector<uint8_t> hello = {'h', 'i'};
  ASSERT_EQ(roundTrip(hello), hello);
  ::close(slave);
  slave = second;
  ASSERT_EQ(roundTrip(hello), hello);
  EXPECT_FALSE(portFree());

  // Unread bytes left behind by the last program.
  ASSERT_EQ(::write(slave, "stale", 5), 5);
  auto adapter = host.ports()[0].adapter;
  EXPECT_TRUE(eventually([&] { return adapter->bulkOutBytes() >= 9; }));
  ::close(slave);
  slave = -1;
  ASSERT_TRUE(eventually(portFree));
  openSlave();
  uint8_t buffer[16];
  EXPECT_EQ(::read(slave, buffer, sizeof buffer), -1);
  std::vector<uint8_t> fresh = {'n', 'e', 'w'};
  EXPECT_EQ(roundTrip(fresh), fresh);
}

// A program that leaves with its bytes still on their way takes them with
// it, even when the next program opens the slave before the bridge looks:
// they and their echo stay in the session that has ended. Bytes written just
// before a close with nobody following still go out.
TEST_F(PtyBridgeTest, AnEchoInFlightLeavesWithItsProgram) {
  openSlave();
  std::vector<uint8_t> hello = {'h', 'i'};
  ASSERT_EQ(roundTrip(hello), hello);
  auto adapter = host.ports()[0].adapter;
  adapter->holdBulkOut(true);
  ASSERT_EQ(::write(slave, "stale", 5), 5);
  // The bridge has taken them: their transfer waits on the bus.
  ASSERT_TRUE(eventually([&] { return adapter->pendingTransfers(bulkOutEndpoint) > 0; }));
  ::close(slave);
  openSlave();
  adapter->holdBulkOut(false);
  std::vector<uint8_t> fresh = {'n', 'e', 'w'};
  std::vector<uint8_t> in = exchange(fresh, [](const std::vector<uint8_t>& in) {
    return in.size() >= 3 && std::equal(in.end() - 3, in.end(), "new");
  });
  EXPECT_EQ(std::string(in.begin(), in.end()), "new");

  uint64_t before = adapter->bulkOutBytes();
  ASSERT_EQ(::write(slave, "bye", 3), 3);
  ::close(slave);
  slave = -1;
  EXPECT_TRUE(eventually([&] { return adapter->bulkOutBytes() == before + 3 && portFree(); }));
}

// While another client has the port, the bridge discards what is written to
// the slave and tries again now and then; once it has the port, bytes flow.
TEST_F(PtyBridgeTest, WaitsForABusyPort) {
  HANDLE other = comm::CreateFileA("COM5", comm::GENERIC_READ | comm::GENERIC_WRITE, 0, nullptr, comm::OPEN_EXISTING,
                                   comm::FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(other, comm::INVALID_HANDLE_VALUE);
  openSlave();
  ASSERT_EQ(::write(slave, "lost", 4), 4);
  comm::CloseHandle(other);
  // Written until it comes back: what goes before the bridge's next try is
  // discarded, whole.
  std::string back;
  EXPECT_TRUE(eventually([&] {
    EXPECT_EQ(::write(slave, "ok", 2), 2);
    char buffer[256];
    ssize_t n = ::read(slave, buffer, sizeof buffer);
    if (n > 0) back.append(buffer, size_t(n));
    return back.ends_with("ok");
  }));
  if (back.starts_with("lost")) back.erase(0, 4);
  EXPECT_EQ(back.size() % 2, 0u) << back;
  for (size_t i = 0; i + 1 < back.size(); i += 2) EXPECT_EQ(back.substr(i, 2), "ok") << back;
}

// stop() with a program still on the slave and data in flight returns, and
// the program sees the hangup.
TEST_F(PtyBridgeTest, StopsWithTheSlaveStillOpen) {
  openSlave();
  std::vector<uint8_t> out = pattern(16 * 1024, 3);
  ssize_t n = ::write(slave, out.data(), out.size());
  EXPECT_GT(n, 0);
  auto started = Clock::now();
  bridge->stop();
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(2));
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(eventually(portFree));
  pollfd fd{slave, POLLIN, 0};
  ASSERT_EQ(poll(&fd, 1, 1000), 1);
  EXPECT_TRUE(fd.revents & POLLHUP);
}

}  // namespace
