// Tests: whole lives of a port, from plug to removal through the Plug and
// Play manager, each ending with nothing left behind: no pool, IRP, timer,
// DPC or handle, and no device object of the driver.
#include "adapter_fixture.h"

#include "driver/serial/queries.h"

#include <atomic>
#include <random>
#include <thread>

namespace {

class LifecycleTest : public AdapterTest {
 protected:
  // The port has gone with its adapter: nothing of the driver is left.
  void expectNothingLeft() {
    EXPECT_EQ(driver->DeviceObject, nullptr) << "both device objects deleted";
    EXPECT_NO_THROW(sim::checkQuiescent());
  }
  app::Request xoffCounter(app::File& port, LONG count) {
    SERIAL_XOFF_COUNTER request = {0, count, 0x13};
    return port.ioctlAsync(IOCTL_SERIAL_XOFF_COUNTER, {reinterpret_cast<const uint8_t*>(&request), sizeof request}, 0);
  }
};

TEST_F(LifecycleTest, OpenLoopbackAMebibyteInOrderCloseAndRemove) {
  Adapter& a = plug({.loopback = true});
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  app::File port;
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  std::vector<uint8_t> sent = bytePattern(1 << 20, 3), got;
  constexpr size_t kChunk = 64 * 1024;
  for (size_t at = 0; at < sent.size(); at += kChunk) {
    ASSERT_EQ(port.write(sent.data() + at, kChunk).information, kChunk);
    std::vector<uint8_t> piece(kChunk);
    ASSERT_EQ(port.read(piece.data(), kChunk).information, kChunk);
    got.insert(got.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(got, sent);
  EXPECT_EQ(a.context->perfStats.ReceivedCount, sent.size());
  port.close();
  EXPECT_EQ(sim::pnp::removeDevice(a.pdo), STATUS_SUCCESS);
  a.context = nullptr;
  expectNothingLeft();
}

// The adapter goes with a read, a write, a wait, an XOFF counter and a
// removal notification pending: each completes exactly once (a second
// completion is a verifier stop), the handle still closes, and the
// removal deletes everything.
TEST_F(LifecycleTest, SurpriseRemovalCompletesEveryPendingRequestOnce) {
  Adapter& a = plug({.loopback = true}, modemClass());
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  app::File port;
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  ULONG mask = SERIAL_EV_RXFLAG;
  ASSERT_EQ(port.ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0).status, STATUS_SUCCESS);
  a.model->holdBulkOut(true);
  app::Request read = port.readAsync(100);
  app::Request write = port.writeAsync(bytePattern(300, 1));
  app::Request wait = port.ioctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
  app::Request counter = xoffCounter(port, 1000);
  app::Request notify = port.ioctlAsync(IoctlVendorRemovalNotify, {}, 4);
  sim::runReady();
  for (const app::Request* r : {&read, &write, &wait, &counter, &notify}) ASSERT_FALSE(r->done());

  a.model->disconnect();
  sim::pnp::surpriseRemove(a.pdo);
  EXPECT_FALSE(sim::pnp::isPlugged(a.pdo)) << "the named port does not hold the removal back";
  EXPECT_EQ(notify.wait().status, STATUS_SUCCESS);
  for (const app::Request* r : {&read, &write, &wait, &counter}) {
    NTSTATUS status = r->result().status;
    EXPECT_TRUE(r->done());
    EXPECT_TRUE(status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED) << std::hex << status;
  }
  EXPECT_EQ(port.close().status, STATUS_SUCCESS);
  a.context = nullptr;
  expectNothingLeft();
}

// Two adapters get their own device numbers and names, and carry their own data.
TEST_F(LifecycleTest, TwoAdaptersAreIndependentPorts) {
  Adapter& first = plug({.loopback = true}, {}, u"COM5");
  Adapter& second = plug({.loopback = true}, {}, u"COM6");
  ASSERT_EQ(start(first), STATUS_SUCCESS);
  ASSERT_EQ(start(second), STATUS_SUCCESS);
  EXPECT_EQ(sim::symbolicLinkTarget(u"\\??\\COM5"), u"\\Device\\TALVENO0");
  EXPECT_EQ(sim::symbolicLinkTarget(u"\\??\\COM6"), u"\\Device\\TALVENO1");
  app::File five, six;
  ASSERT_EQ(app::File::open(u"\\??\\COM5", five), STATUS_SUCCESS);
  ASSERT_EQ(app::File::open(u"\\??\\COM6", six), STATUS_SUCCESS);
  std::vector<uint8_t> toFive = bytePattern(5000, 5), toSix = bytePattern(6000, 6), got(6000);
  ASSERT_EQ(five.write(toFive.data(), 5000).status, STATUS_SUCCESS);
  ASSERT_EQ(six.write(toSix.data(), 6000).status, STATUS_SUCCESS);
  ASSERT_EQ(six.read(got.data(), 6000).information, 6000u);
  EXPECT_EQ(got, toSix);
  got.resize(5000);
  ASSERT_EQ(five.read(got.data(), 5000).information, 5000u);
  EXPECT_EQ(got, toFive);

  six.close();
  EXPECT_EQ(sim::pnp::removeDevice(second.pdo), STATUS_SUCCESS);
  second.context = nullptr;
  EXPECT_EQ(five.write(toFive.data(), 10).status, STATUS_SUCCESS) << "the other port lives on";
  ASSERT_EQ(five.read(got.data(), 10).information, 10u);
  five.close();
  EXPECT_EQ(sim::pnp::removeDevice(first.pdo), STATUS_SUCCESS);
  first.context = nullptr;
  expectNothingLeft();
}

// The same surprise removal on real threads: a reader, a writer and a
// control thread run on the open port while the adapter leaves at a random
// moment. Every request ends once; nothing is left; no race report.
class LifecycleStressTest : public LifecycleTest {
 protected:
  void SetUp() override {
    sim::boot({.mode = sim::Mode::Concurrent, .seed = uint64_t(::testing::UnitTest::GetInstance()->random_seed()),
               .workerThreads = 2});
    reload();
  }
};

TEST_F(LifecycleStressTest, SurpriseRemovalAtARandomMoment) {
  std::mt19937 random(uint32_t(sim::seed()));
  constexpr int kRounds = 100;
  for (int round = 0; round < kRounds && !HasFailure(); ++round) {
    Adapter& a = plug({.loopback = true, .record = false}, modemClass());
    ASSERT_EQ(start(a), STATUS_SUCCESS);
    app::File port;
    ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
    std::atomic<bool> gone{false};
    auto loop = [&](auto&& step) {
      return std::thread([&, step] {
        // Stop once the port has refused a request after the removal.
        while (true) {
          bool refused = !NT_SUCCESS(step());
          if (gone && refused) break;
        }
      });
    };
    std::vector<uint8_t> bytes = bytePattern(512, uint8_t(round));
    std::thread writer = loop([&] { return port.write(bytes.data(), ULONG(bytes.size())).status; });
    std::thread reader = loop([&] {
      uint8_t buffer[512];
      return port.read(buffer, sizeof buffer).status;
    });
    std::thread control = loop([&] {
      SERIAL_STATUS status;
      return port.ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status).status;
    });
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    a.model->disconnect();
    gone = true;
    sim::pnp::surpriseRemove(a.pdo);
    writer.join();
    reader.join();
    control.join();
    EXPECT_EQ(port.close().status, STATUS_SUCCESS);
    a.context = nullptr;
    expectNothingLeft();
  }
}

}  // namespace
