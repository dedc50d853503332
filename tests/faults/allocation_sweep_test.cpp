// Tests: allocation-failure sweeps. For each path (AddDevice, start, open, a
// write, a read, a status transfer, power-up) a clean run counts the
// fallible allocations the path makes; then each is failed in turn, on a
// fresh kernel each time: the path ends with success or its documented
// status, nothing leaks, and once the fault is gone the port carries a
// loopback round trip. The sweeps follow the code: a new allocation on a
// path is a new site without any change here.
#include "driver/core/dispatch.h"
#include "driver/core/globals.h"
#include "driver/pnp/pnp.h"
#include "sim/cdc_acm.h"
#include "sim/power.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <set>

namespace {

const std::u16string kLink = u"\\??\\COM7";
constexpr uint8_t kBulkIn = 0x82;
constexpr UCHAR kMsrDsr = 0x20, kMsrDcd = 0x80;

// One kernel with the driver loaded and a modem-class loopback adapter
// plugged (all three pipes, DTR wired back to DSR and DCD).
struct Rig {
  Rig() {
    sim::boot({.mode = sim::Mode::Deterministic, .seed = 1});
    sim::registry::createKey(std::u16string(sim::kServicesRoot) + u"\\tzserial");
    driver = sim::loadDriver(u"tzserial", DriverEntry);
    sim::pnp::PhysicalDeviceOptions modem;
    modem.className = u"Modem";
    auto plugged = sim::usb::plugAdapter({.loopback = true, .modemLoopback = true}, modem);
    pdo = plugged.pdo;
    adapter = plugged.adapter;
    sim::registry::setString(sim::pnp::deviceParametersKey(pdo), u"PortName", u"COM7");
  }
  ~Rig() { sim::shutdown(); }

  DeviceContext* context() const {
    return pdo->AttachedDevice ? TzSerialGetDeviceContext(pdo->AttachedDevice) : nullptr;
  }
  NTSTATUS add() { return sim::pnp::addDevice(driver, pdo); }
  NTSTATUS start() { return sim::pnp::startDevice(pdo); }
  NTSTATUS open() { return app::File::open(kLink, port); }

  template <typename T>
  app::Result set(ULONG code, const T& value) {
    return port.ioctl(code, &value, sizeof value, nullptr, 0);
  }
  ULONG modemStatus() {
    ULONG status = 0;
    port.ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status);
    return status;
  }

  // A line out and back through the adapter, read with a total time-out.
  ::testing::AssertionResult roundTrip() {
    static constexpr char kLine[] = "the same line\r\n";
    constexpr ULONG n = sizeof kLine - 1;
    if (NTSTATUS s = set(IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{0, 0, 1000, 0, 1000}).status; s != STATUS_SUCCESS)
      return ::testing::AssertionFailure() << "SET_TIMEOUTS failed with " << std::hex << s;
    app::Result written = port.write(kLine, n);
    char back[n] = {};
    app::Result read = port.read(back, n);
    if (written.status != STATUS_SUCCESS || written.information != n)
      return ::testing::AssertionFailure() << "the write ended with 0x" << std::hex << written.status << ", "
                                           << std::dec << written.information << " bytes";
    if (read.status != STATUS_SUCCESS || read.information != n || std::memcmp(back, kLine, n))
      return ::testing::AssertionFailure() << "the read ended with 0x" << std::hex << read.status << ", "
                                           << std::dec << read.information << " bytes";
    return ::testing::AssertionSuccess();
  }

  // Closes the port, removes the adapter and unloads the driver, which
  // checks that nothing is left (pool, IRPs, work items, timers, handles).
  void finish() {
    if (port.isOpen()) port.close();
    if (pdo->AttachedDevice) EXPECT_EQ(sim::pnp::removeDevice(pdo), STATUS_SUCCESS);
    sim::pnp::deletePhysicalDevice(pdo);
    EXPECT_NO_THROW(sim::unloadDriver(driver));
  }

  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  std::shared_ptr<sim::usb::CdcAcmAdapter> adapter;
  app::File port;
};

// One path of the sweep.
struct Path {
  const char* name;
  // Brings a fresh rig to where the path starts, with no fault armed.
  std::function<void(Rig&)> prepare;
  // The path itself; returns its status and checks what it must hold.
  std::function<NTSTATUS(Rig&)> run;
  // The statuses the path documents for a failed allocation.
  std::set<NTSTATUS> documented;
  // After the fault is gone: brings the port back to open after the path
  // ended with status (what the Plug and Play manager or the application
  // would do next).
  std::function<void(Rig&, NTSTATUS)> recover;
};

struct Figures {
  uint64_t sites = 0;
  uint64_t failed = 0;    // the path ended with a documented failure
  uint64_t absorbed = 0;  // the path succeeded without the allocation
};

// The sweep: counts the path's allocations in a clean run, then fails each in
// turn on a fresh rig; the allocation one past the last is not reached.
Figures sweep(const Path& path) {
  Figures figures;
  {
    Rig rig;
    path.prepare(rig);
    sim::faults::disarm();  // numbering starts here
    NTSTATUS status = path.run(rig);
    figures.sites = sim::faults::allocationsSinceArm();
    EXPECT_EQ(status, STATUS_SUCCESS) << path.name << " without a fault";
    path.recover(rig, status);
    EXPECT_TRUE(rig.roundTrip()) << path.name << " without a fault";
    rig.finish();
  }
  EXPECT_GT(figures.sites, 0u) << path.name << " allocates nothing";
  for (uint64_t n = 1; n <= figures.sites + 1 && !::testing::Test::HasFailure(); ++n) {
    SCOPED_TRACE(::testing::Message() << path.name << ", allocation " << n << " of " << figures.sites);
    Rig rig;
    path.prepare(rig);
    sim::faults::arm(n);
    NTSTATUS status = path.run(rig);
    bool fired = sim::faults::fired();
    sim::faults::disarm();
    EXPECT_EQ(fired, n <= figures.sites) << "the path's allocations are not the same from one run to the next";
    if (NT_SUCCESS(status)) {
      if (fired) ++figures.absorbed;
    } else {
      ++figures.failed;
      EXPECT_TRUE(path.documented.count(status)) << "ended with 0x" << std::hex << status;
    }
    path.recover(rig, status);
    EXPECT_TRUE(rig.roundTrip()) << "after the fault cleared";
    rig.finish();
  }
  std::printf("[ sweep    ] %s: %llu allocation sites, %llu failed with their documented status, %llu absorbed\n",
              path.name, (unsigned long long)figures.sites, (unsigned long long)figures.failed,
              (unsigned long long)figures.absorbed);
  return figures;
}

void openPort(Rig& rig) {
  ASSERT_EQ(rig.add(), STATUS_SUCCESS);
  ASSERT_EQ(rig.start(), STATUS_SUCCESS);
  ASSERT_EQ(rig.open(), STATUS_SUCCESS);
}

// Whatever the path left, the port ends up open: the steps not done yet are
// done now, with no fault armed.
void reopen(Rig& rig) {
  if (!rig.pdo->AttachedDevice) ASSERT_EQ(rig.add(), STATUS_SUCCESS);
  if (TzSerialDeviceState(rig.context()) != DeviceStateStarted) ASSERT_EQ(rig.start(), STATUS_SUCCESS);
  if (!rig.port.isOpen()) ASSERT_EQ(rig.open(), STATUS_SUCCESS);
}

const std::set<NTSTATUS> kNoResources = {STATUS_INSUFFICIENT_RESOURCES};

TEST(AllocationSweepTest, AddDeviceFailsCleanlyAndTheNextAddDeviceGivesAWorkingPort) {
  Figures f = sweep({"AddDevice", [](Rig&) {}, [](Rig& rig) {
                       NTSTATUS status = rig.add();
                       if (!NT_SUCCESS(status)) {
                         EXPECT_EQ(rig.pdo->AttachedDevice, nullptr);
                         EXPECT_EQ(sim::poolInUse().blocks, 0u) << sim::describeOutstandingPool();
                       }
                       return status;
                     },
                     kNoResources, [](Rig& rig, NTSTATUS) { reopen(rig); }});
  EXPECT_EQ(f.absorbed, 0u) << "AddDevice needs every allocation it makes";
}

// A failed start is followed by the removal, as the Plug and Play manager
// does; the adapter is then added and started again.
TEST(AllocationSweepTest, AFailedStartIsRemovedCleanlyAndTheAdapterStartsAgain) {
  sweep({"start", [](Rig& rig) { ASSERT_EQ(rig.add(), STATUS_SUCCESS); }, [](Rig& rig) { return rig.start(); },
         kNoResources, [](Rig& rig, NTSTATUS status) {
           if (!NT_SUCCESS(status)) {
             EXPECT_EQ(sim::symbolicLinkTarget(kLink), std::nullopt) << "a failed start keeps no port name";
             EXPECT_EQ(sim::pnp::send(rig.pdo, IRP_MN_REMOVE_DEVICE).wait().status, STATUS_SUCCESS);
             EXPECT_EQ(sim::poolInUse().blocks, 0u) << sim::describeOutstandingPool();
           }
           reopen(rig);
         }});
}

TEST(AllocationSweepTest, AFailedOpenLeavesThePortClosedAndTheNextOpenWorks) {
  sweep({"open",
         [](Rig& rig) {
           ASSERT_EQ(rig.add(), STATUS_SUCCESS);
           ASSERT_EQ(rig.start(), STATUS_SUCCESS);
         },
         [](Rig& rig) {
           sim::PoolUse closed = sim::poolInUse();
           NTSTATUS status = rig.open();
           if (!NT_SUCCESS(status)) {
             EXPECT_FALSE(rig.context()->portActive);
             EXPECT_EQ(rig.adapter->pendingTransfers(kBulkIn), 0u) << "no reader on a port that did not open";
             EXPECT_EQ(sim::poolInUse().blocks, closed.blocks) << sim::describeOutstandingPool();
           }
           return status;
         },
         kNoResources, [](Rig& rig, NTSTATUS) { reopen(rig); }});
}

// A write either goes whole to the adapter or fails having sent nothing.
TEST(AllocationSweepTest, AWriteIsSentWholeOrFailsHavingSentNothing) {
  sweep({"write", openPort,
         [](Rig& rig) {
           std::vector<uint8_t> data(100);
           for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 1);
           uint64_t before = rig.adapter->bulkOutBytes();
           app::Result written = rig.port.write(data.data(), ULONG(data.size()));
           uint64_t taken = rig.adapter->bulkOutBytes() - before;
           if (NT_SUCCESS(written.status)) {
             EXPECT_EQ(written.information, data.size());
             EXPECT_EQ(taken, data.size());
             EXPECT_EQ(rig.set(IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{0, 0, 1000, 0, 0}).status, STATUS_SUCCESS);
             std::vector<uint8_t> back(data.size());
             EXPECT_EQ(rig.port.read(back.data(), ULONG(back.size())).information, back.size());
             EXPECT_EQ(back, data) << "the loopback returns what the write sent";
           } else {
             EXPECT_EQ(written.information, 0u);
             EXPECT_EQ(taken, 0u) << "a failed write sent bytes";
           }
           return written.status;
         },
         kNoResources, [](Rig& rig, NTSTATUS) { reopen(rig); }});
}

// Reception resubmits each bulk-in transfer as it completes, without an
// allocation of its own: whichever allocation of the read fails, the bytes
// received are delivered.
TEST(AllocationSweepTest, AReadGetsEveryByteWhicheverResubmissionFails) {
  sweep({"read", openPort,
         [](Rig& rig) {
           EXPECT_EQ(rig.set(IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{0, 0, 1000, 0, 0}).status, STATUS_SUCCESS);
           std::vector<uint8_t> data(3 * 4096 + 100);
           for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 13 + (i >> 8));
           app::Request read = rig.port.readAsync(ULONG(data.size()));
           rig.adapter->sendBulkIn(data);
           app::Result result = read.wait();
           EXPECT_EQ(result.information, data.size());
           EXPECT_EQ(read.data(), data);
           return result.status;
         },
         {}, [](Rig& rig, NTSTATUS) { reopen(rig); }});
}

// The status transfer is resubmitted after each notification: when that
// fails, the notification it brought is still decoded.
TEST(AllocationSweepTest, ASerialStateNotificationIsDecodedWhicheverResubmissionFails) {
  sweep({"status transfer",
         [](Rig& rig) {
           openPort(rig);
           // DTR is on after the open: the plug reports DCD and DSR.
           sim::runReady();
           ASSERT_EQ(rig.modemStatus() & (kMsrDcd | kMsrDsr), ULONG(kMsrDcd | kMsrDsr));
         },
         [](Rig& rig) {
           rig.adapter->sendSerialState(0x0000);
           sim::runReady();
           EXPECT_EQ(rig.modemStatus() & (kMsrDcd | kMsrDsr), 0u) << "the notification was lost";
           return STATUS_SUCCESS;
         },
         {}, [](Rig& rig, NTSTATUS) { reopen(rig); }});
}

// Going to S3 with the port open: only the query may fail, whichever
// allocation of the power manager's or the driver's is refused (the verifier
// stops a failed set-power); a device that could not be sent to D3 stays in
// D0, and the port works after the wake.
TEST(AllocationSweepTest, PowerDownNeverFailsAndThePortWorksAfterTheWake) {
  sweep({"power-down", [](Rig& rig) { openPort(rig); },
         [](Rig& rig) {
           NTSTATUS status = sim::power::sleep(rig.pdo, PowerSystemSleeping3);
           EXPECT_EQ(sim::power::wake(rig.pdo), STATUS_SUCCESS);
           EXPECT_TRUE(sim::runUntil([&] { return sim::pnp::devicePowerState(rig.pdo) == PowerDeviceD0; },
                                     2 * sim::kSecond));
           return status;
         },
         kNoResources, [](Rig& rig, NTSTATUS) { reopen(rig); }});
}

// Waking from S3 with the port open: the device power request, the readers
// and the status transfer all allocate. The wake never fails (a set-power may
// not); a device request that could not be had is asked for again, and the
// device is back in D0 soon after.
TEST(AllocationSweepTest, PowerUpNeverFailsAndTheDeviceReturnsToD0) {
  sweep({"power-up",
         [](Rig& rig) {
           openPort(rig);
           ASSERT_EQ(sim::power::sleep(rig.pdo, PowerSystemSleeping3), STATUS_SUCCESS);
           ASSERT_EQ(sim::pnp::devicePowerState(rig.pdo), PowerDeviceD3);
         },
         [](Rig& rig) {
           NTSTATUS status = sim::power::wake(rig.pdo);
           EXPECT_TRUE(sim::runUntil([&] { return sim::pnp::devicePowerState(rig.pdo) == PowerDeviceD0; },
                                     2 * sim::kSecond));
           return status;
         },
         {STATUS_SUCCESS}, [](Rig& rig, NTSTATUS) { reopen(rig); }});
}

}  // namespace
