// Tests: create, cleanup and close through the driver's dispatch. Exclusive
// open, the refusals, the state an open starts from, the bus claim block, DTR
// at open and close on a modem-class adapter, and close's bounded waits.
#include "open_port_fixture.h"

#include <algorithm>
#include <array>

namespace {

constexpr uint8_t kBulkIn = 0x82;
constexpr uint8_t kInterruptIn = 0x81;

using OpenCloseTest = OpenPortTest;

TEST_F(OpenCloseTest, TheOpenIsExclusiveAndStartsFromAFreshState) {
  app::File second;
  EXPECT_EQ(app::File::open(u"\\??\\COM7", second), STATUS_ACCESS_DENIED);
  EXPECT_EQ(c->openCount, 1);
  EXPECT_TRUE(c->portActive) << "the first open is untouched";

  EXPECT_EQ(c->waitMask, 0u);
  EXPECT_EQ(c->historyMask, 0u);
  EXPECT_EQ(c->handFlow.XoffLimit, 51200);
  EXPECT_EQ(c->handFlow.XonLimit, 204800);
  EXPECT_EQ(c->rxFullThreshold, 332800u);
  EXPECT_EQ(c->lineEventState, 0x0018);
  EXPECT_EQ(c->perfStats.ReceivedCount, 0u);
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), TzSerialBulkInSlots);
  EXPECT_TRUE(debugLogged("++ Enter TzSerialCreateDispatch  \n"));
  EXPECT_TRUE(debugLogged("-- Enter TzSerialCreateDispatch  \n"));
  EXPECT_TRUE(adapter->model->classRequests().empty()) << "no DTR command to an adapter not installed as a modem";
  EXPECT_EQ(adapter->model->pendingTransfers(kInterruptIn), 0u) << "and no status reader";

  port.close();
  EXPECT_EQ(c->openCount, 0);
  EXPECT_TRUE(debugLogged("++ Enter TzSerialCloseDispatch  \n"));
  EXPECT_TRUE(debugLogged("-- Exit TzSerialCloseDispatch , stauts =  0 \n"));
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), 0u) << "cleanup stopped the readers";

  EXPECT_EQ(app::File::open(u"\\??\\COM7", port, FILE_DIRECTORY_FILE), STATUS_NOT_A_DIRECTORY);
  EXPECT_EQ(c->openCount, 0);
  EXPECT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS) << "and it opens again";
}

TEST_F(OpenCloseTest, CleanupCancelsTheHandlesPendingRequests) {
  app::Request read = port.readAsync(10);
  ASSERT_EQ(setWaitMask(SERIAL_EV_RXCHAR).wait().status, STATUS_SUCCESS);
  app::Request wait = waitOnMask();
  adapter->model->holdBulkOut(true);
  app::Request write = port.writeAsync(std::vector<uint8_t>(5, 'w'));
  sim::runReady();
  port.close();
  EXPECT_EQ(read.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(wait.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(write.wait().status, STATUS_CANCELLED);
}

// A bulk read that never comes back: close gives up on it after its two
// 5-second waits instead of hanging.
TEST_F(OpenCloseTest, CloseWaitsAtMostTwiceFiveSecondsForAReader) {
  // Take a slot out of the driver's reach: its event stays clear although
  // nothing is in flight, as for a transfer that never completes.
  port.cleanup();
  sim::runReady();
  KeClearEvent(&c->bulkInDone[3]);
  int64_t started = sim::now();
  port.close();
  int64_t took = sim::now() - started;
  EXPECT_GE(took, 10 * sim::kSecond);
  EXPECT_LT(took, 11 * sim::kSecond);
  KeSetEvent(&c->bulkInDone[3], IO_NO_INCREMENT, FALSE);
}

class OpenCloseModemTest : public OpenPortTest {
 protected:
  sim::pnp::PhysicalDeviceOptions pdoOptions() override {
    sim::pnp::PhysicalDeviceOptions options = modemClass();
    options.extension = sim::pnp::BusExtension::Family;
    return options;
  }
  uint8_t* block() { return sim::pnp::claimBlock(adapter->pdo); }
  void setBlock(std::array<uint8_t, 4> bytes) { std::copy(bytes.begin(), bytes.end(), block()); }
  std::array<uint8_t, 4> blockBytes() { return {block()[0], block()[1], block()[2], block()[3]}; }
};

TEST_F(OpenCloseModemTest, DtrFollowsTheOpenAndTheClaimBlockTheBus) {
  EXPECT_EQ(adapter->model->controlLineState(), 0x3) << "DTR and RTS on, as the default handshake modes say";
  EXPECT_EQ(blockBytes(), (std::array<uint8_t, 4>{0x55, 0x6C, 0x6C, 0xAA})) << "claimed for the serial port";
  port.close();
  EXPECT_EQ(adapter->model->controlLineState(), 0x0);
  EXPECT_EQ(blockBytes(), (std::array<uint8_t, 4>{0x55, 0x9C, 0x9C, 0xAA})) << "given back";

  setBlock({0x55, 0x93, 0x93, 0xAA});  // the other function holds the bus
  EXPECT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_NOT_A_DIRECTORY);
  EXPECT_EQ(c->openCount, 0);

  setBlock({0x54, 0x93, 0x93, 0xAA});  // damaged markers: no claim information
  EXPECT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  EXPECT_EQ(blockBytes(), (std::array<uint8_t, 4>{0x54, 0x93, 0x93, 0xAA})) << "never written";
}

// A DTR command that is never answered fails the open after 3 s: the claim
// is given back, and the port is not left marked active, so a cancelled
// query does not start readers on the closed port.
TEST_F(OpenCloseModemTest, AFailedDtrCommandFailsTheOpenAndLeavesThePortClosed) {
  port.close();
  adapter->model->neverAnswer(CDC_SET_CONTROL_LINE_STATE);  // times out and is cancelled
  int64_t began = sim::now();
  EXPECT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_CANCELLED);
  EXPECT_GE(sim::now() - began, 3 * sim::kSecond);
  EXPECT_EQ(c->openCount, 0);
  EXPECT_FALSE(c->portActive);
  EXPECT_EQ(blockBytes(), (std::array<uint8_t, 4>{0x55, 0x9C, 0x9C, 0xAA}));
  adapter->model->clearFaults();

  ASSERT_EQ(sim::pnp::send(adapter->pdo, IRP_MN_QUERY_STOP_DEVICE).wait().status, STATUS_SUCCESS);
  ASSERT_EQ(sim::pnp::send(adapter->pdo, IRP_MN_CANCEL_STOP_DEVICE).wait().status, STATUS_SUCCESS);
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), 0u) << "no reader on a closed port";
  EXPECT_EQ(adapter->model->pendingTransfers(kInterruptIn), 0u);
  EXPECT_EQ(c->outstandingIo, 1);
}

// Every allocation an open makes, failed in turn: the open either fails
// cleanly (closed, the bus given back, no reader) or succeeds without what
// it could not have; either way nothing leaks and the next open works.
TEST_F(OpenCloseModemTest, EveryAllocationFailureOfAnOpenLeavesThePortUsable) {
  port.close();
  sim::PoolUse closed = sim::poolInUse();
  for (uint64_t n = 1;; ++n) {
    SCOPED_TRACE(testing::Message() << "allocation " << n);
    sim::faults::arm(n);
    NTSTATUS status = app::File::open(u"\\??\\COM7", port);
    bool fired = sim::faults::fired();
    sim::faults::disarm();
    if (!NT_SUCCESS(status)) {
      EXPECT_EQ(c->openCount, 0);
      EXPECT_FALSE(c->portActive);
      EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), 0u);
      EXPECT_EQ(blockBytes(), (std::array<uint8_t, 4>{0x55, 0x9C, 0x9C, 0xAA}));
      ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS) << "a later open succeeds";
    }
    port.close();
    sim::runReady();
    EXPECT_EQ(sim::poolInUse().blocks, closed.blocks);
    if (!fired || HasFailure()) break;
  }
}

// The adapter leaves while the port is open: removal follows at once (the
// named port is not in the stack) and deletes the device objects; the
// handle's close still reaches the driver and succeeds.
TEST_F(OpenCloseModemTest, CloseAfterSurpriseRemovalSucceeds) {
  adapter->model->disconnect();
  sim::pnp::surpriseRemove(adapter->pdo);
  EXPECT_FALSE(sim::pnp::isPlugged(adapter->pdo));
  EXPECT_EQ(port.close().status, STATUS_SUCCESS);
  EXPECT_TRUE(debugLogged("-- Exit TzSerialCloseDispatch , Error TzSerialCheckDriverStatus \n"));
  c = nullptr;
  adapter->context = nullptr;
}

}  // namespace
