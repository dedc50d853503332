// Tests: power. System sleep and wake through the power manager with the
// port open or closed, the setting that refuses sleep while open, device
// queries without a set, requests before start or to the current state, a
// failed power-up, work handed to the work item at DISPATCH_LEVEL, and a
// surprise removal in the middle of a transition.
#include "open_port_fixture.h"

#include "sim/power.h"

namespace {

constexpr uint8_t kBulkIn = 0x82;
constexpr uint8_t kInterruptIn = 0x81;

class PowerTest : public OpenPortTest {
 protected:
  sim::usb::AdapterOptions adapterOptions() override { return {.loopback = true}; }
  sim::pnp::PhysicalDeviceOptions pdoOptions() override { return modemClass(); }

  void expectReaders(size_t bulkIn, size_t status) {
    EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), bulkIn);
    EXPECT_EQ(adapter->model->pendingTransfers(kInterruptIn), status);
  }
  void roundTrip() {
    std::vector<uint8_t> sent = bytePattern(1000, 9), got(1000);
    ASSERT_EQ(port.write(sent.data(), 1000).status, STATUS_SUCCESS);
    ASSERT_EQ(port.read(got.data(), 1000).information, 1000u);
    EXPECT_EQ(got, sent);
  }
  NTSTATUS device(UCHAR minor, DEVICE_POWER_STATE state) {
    return sim::power::sendDevicePower(adapter->pdo, minor, state);
  }
};

// S3 with the port open: everything pending ends cancelled and the readers
// leave the bus; S0 brings the device, the queues and the readers back.
TEST_F(PowerTest, SleepCancelsThePortsRequestsAndWakeRestoresIt) {
  ASSERT_EQ(setWaitMask(SERIAL_EV_RXFLAG).wait().status, STATUS_SUCCESS);
  app::Request wait = waitOnMask();
  app::Request read = port.readAsync(10);
  adapter->model->holdBulkOut(true);
  app::Request write = port.writeAsync(bytePattern(50, 1));
  sim::runReady();
  ASSERT_FALSE(read.done());

  EXPECT_EQ(sim::power::sleep(adapter->pdo, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(c->devicePowerState, PowerDeviceD3);
  EXPECT_EQ(c->systemPowerState, PowerSystemSleeping3);
  EXPECT_EQ(sim::pnp::devicePowerState(c->functionDevice), PowerDeviceD3);
  for (app::Request* r : {&wait, &read, &write}) EXPECT_EQ(r->wait().status, STATUS_CANCELLED);
  expectReaders(0, 0);
  adapter->model->holdBulkOut(false);

  EXPECT_EQ(sim::power::wake(adapter->pdo), STATUS_SUCCESS);
  EXPECT_EQ(c->devicePowerState, PowerDeviceD0);
  EXPECT_EQ(c->systemPowerState, PowerSystemWorking);
  EXPECT_EQ(c->poweredDown, 0);
  expectReaders(TzSerialBulkInSlots, 1);
  roundTrip();
  EXPECT_EQ(c->outstandingIo, LONG(1 + TzSerialBulkInSlots + 1)) << "only the readers hold counts";
}

TEST_F(PowerTest, WithThePortClosedNoReaderGoesBackOnTheBus) {
  port.close();
  EXPECT_EQ(sim::power::sleep(adapter->pdo, PowerSystemSleeping3), STATUS_SUCCESS);
  expectReaders(0, 0);
  EXPECT_EQ(sim::power::wake(adapter->pdo), STATUS_SUCCESS);
  expectReaders(0, 0);
  EXPECT_EQ(c->devicePowerState, PowerDeviceD0);
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  roundTrip();
}

// A query for D3 stops the port; when no set follows (the sleep was vetoed
// elsewhere) the port stays stopped until the next set to D0 brings it back.
TEST_F(PowerTest, AQueryWithoutASetIsUndoneByTheNextSetToD0) {
  app::Request read = port.readAsync(10);
  EXPECT_EQ(device(IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(read.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(c->poweredDown, 1);
  EXPECT_EQ(c->devicePowerState, PowerDeviceD0) << "a query records no state";
  expectReaders(0, 0);
  EXPECT_EQ(device(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(c->poweredDown, 0);
  expectReaders(TzSerialBulkInSlots, 1);
  roundTrip();
}

TEST_F(PowerTest, ASetToTheCurrentLowStateIsPassedDownWithoutWork) {
  ASSERT_EQ(device(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  size_t urbs = adapter->model->urbs().size();
  EXPECT_EQ(device(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(adapter->model->urbs().size(), urbs);
  EXPECT_EQ(c->poweredDown, 1) << "still down, for the next power-up";
  EXPECT_EQ(device(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  expectReaders(TzSerialBulkInSlots, 1);
}

// Work for a request that arrives at DISPATCH_LEVEL runs on the work item.
TEST_F(PowerTest, ARequestAtDispatchLevelRunsItsWorkOnTheWorkItem) {
  app::Request read = port.readAsync(10);
  sim::power::setDeliveryIrql(DISPATCH_LEVEL);
  EXPECT_EQ(sim::power::sleep(adapter->pdo, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(read.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(c->devicePowerState, PowerDeviceD3);
  EXPECT_EQ(sim::power::wake(adapter->pdo), STATUS_SUCCESS);
  sim::power::setDeliveryIrql(PASSIVE_LEVEL);
  EXPECT_EQ(c->devicePowerState, PowerDeviceD0);
  expectReaders(TzSerialBulkInSlots, 1);
  roundTrip();
}

// The adapter leaves while the device is powered down: power requests still
// pass down (a set-power may not fail), and the removal finds nothing
// running and leaves nothing behind.
TEST_F(PowerTest, SurpriseRemovalWhilePoweredDown) {
  app::Request read = port.readAsync(10);
  ASSERT_EQ(device(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(read.wait().status, STATUS_CANCELLED);
  adapter->model->disconnect();
  ASSERT_EQ(sim::pnp::send(adapter->pdo, IRP_MN_SURPRISE_REMOVAL).wait().status, STATUS_SUCCESS);
  size_t seen = sim::power::busPowerRequests(adapter->pdo).size();
  EXPECT_EQ(sim::power::sendDevicePower(adapter->pdo, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(sim::power::busPowerRequests(adapter->pdo).size(), seen + 1) << "passed down to the bus";
  ASSERT_EQ(sim::pnp::send(adapter->pdo, IRP_MN_REMOVE_DEVICE).wait().status, STATUS_SUCCESS);
  port.close();
  adapter->context = nullptr;
  c = nullptr;
  EXPECT_EQ(driver->DeviceObject, nullptr);
}

// A machine that sleeps with an unplugged port still open: the stack stays
// until the handle closes, and its power requests pass down (a set-power may
// not fail), so the sleep is neither vetoed nor failed.
TEST_F(PowerTest, AMachineSleepsAndWakesWithAnUnpluggedPortStillOpen) {
  adapter->model->disconnect();
  ASSERT_EQ(sim::pnp::send(adapter->pdo, IRP_MN_SURPRISE_REMOVAL).wait().status, STATUS_SUCCESS);
  size_t seen = sim::power::busPowerRequests(adapter->pdo).size();
  EXPECT_EQ(sim::power::sleepAll(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(sim::power::systemState(), PowerSystemSleeping3);
  EXPECT_EQ(sim::power::wakeAll(), STATUS_SUCCESS);
  EXPECT_EQ(sim::power::busPowerRequests(adapter->pdo).size(), seen + 3) << "query, sleep and wake went down";
  ASSERT_EQ(sim::pnp::send(adapter->pdo, IRP_MN_REMOVE_DEVICE).wait().status, STATUS_SUCCESS);
  port.close();
  adapter->context = nullptr;
  c = nullptr;
}

// The lower stack fails the return to D0: the device stays in D3, powered
// down, with its queues and readers as they were.
class FailedPowerUpTest : public PowerTest {
 protected:
  sim::pnp::PhysicalDeviceOptions pdoOptions() override {
    sim::pnp::PhysicalDeviceOptions options = modemClass();
    options.devicePowerFailures = {{PowerDeviceD0, STATUS_UNSUCCESSFUL}};
    return options;
  }
};

TEST_F(FailedPowerUpTest, AFailedPowerUpLeavesTheDeviceAsItWas) {
  ASSERT_EQ(device(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(device(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(c->devicePowerState, PowerDeviceD3);
  EXPECT_EQ(c->poweredDown, 1);
  expectReaders(0, 0);
  EXPECT_EQ(c->outstandingIo, 1) << "the failed request left no count behind";
}

class BlockSleepTest : public PowerTest {
 protected:
  void configure() override { sim::registry::setDword(serviceKey(), u"STATIC_SETTING", 1); }
};

TEST_F(BlockSleepTest, SleepIsRefusedWhileThePortIsOpenAndNothingStops) {
  app::Request read = port.readAsync(10);
  EXPECT_EQ(sim::power::sleep(adapter->pdo, PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(device(IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_INVALID_DEVICE_STATE);
  sim::runReady();
  EXPECT_FALSE(read.done());
  expectReaders(TzSerialBulkInSlots, 1);
  EXPECT_EQ(c->devicePowerState, PowerDeviceD0);
  read.cancel();
  EXPECT_EQ(read.wait().status, STATUS_CANCELLED);
  port.close();
  EXPECT_EQ(sim::power::sleep(adapter->pdo, PowerSystemSleeping3), STATUS_SUCCESS) << "closed, it may sleep";
  EXPECT_EQ(sim::power::wake(adapter->pdo), STATUS_SUCCESS);
}

using PowerBeforeStartTest = AdapterTest;

TEST_F(PowerBeforeStartTest, ARequestBeforeStartIsPassedStraightDown) {
  Adapter& a = plug();
  EXPECT_EQ(sim::power::sendDevicePower(a.pdo, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(a.context->devicePowerState, PowerDeviceD3) << "nothing recorded";
  EXPECT_EQ(a.context->outstandingIo, 1);
}

// Blocks whose completions are still on their way when the machine sleeps:
// power-down waits for every transfer to come back, and none goes down again,
// before the device leaves D0 (the verifier stops a device request that finds
// a transfer on the bus). Nothing received is lost: after the wake it is read
// in order.
class PowerInFlightTest : public PowerTest {
 protected:
  sim::usb::AdapterOptions adapterOptions() override {
    return {.loopback = true, .bulkInCompletionDelay100ns = 5 * sim::kMs};
  }
};

TEST_F(PowerInFlightTest, SleepWaitsForTransfersOnTheirWayAndLosesNoByte) {
  std::vector<uint8_t> sent = bytePattern(3 * 4096 + 100, 4);
  adapter->model->sendBulkIn(sent);
  sim::runReady();
  ASSERT_GT(adapter->model->transfersNotCompleted(), 0u);
  EXPECT_EQ(sim::power::sleep(adapter->pdo, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(adapter->model->transfersNotCompleted(), 0u);
  EXPECT_EQ(sim::power::wake(adapter->pdo), STATUS_SUCCESS);
  std::vector<uint8_t> got(sent.size());
  ASSERT_EQ(port.read(got.data(), ULONG(got.size())).information, got.size());
  EXPECT_EQ(got, sent);
}

}  // namespace
