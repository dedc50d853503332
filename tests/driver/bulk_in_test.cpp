// Tests: the eight bulk-in transfers of an open port. What goes on the bus
// when a slot is submitted, cancelled or refused, that blocks reach the ring
// in the order their transfers were sent even when their completions arrive
// in another order, and that a stalled pipe is reset and reception resumes.
#include "receive_fixture.h"

#include "driver/usb/bulk_in.h"
#include "driver/usb/pipe_recovery.h"
#include "sim/power.h"

namespace {

constexpr uint8_t kBulkIn = 0x82;

using BulkInTest = ReceiveTest;

size_t bulkInUrbs(const sim::usb::CdcAcmAdapter& model) {
  size_t n = 0;
  for (const auto& urb : model.urbs())
    if (urb.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && urb.endpoint == kBulkIn) ++n;
  return n;
}

bool slotIdle(DeviceContext* c, ULONG slot) {
  return InterlockedCompareExchange(&c->bulkInBusy[slot], 0, 0) == 0 && KeReadStateEvent(&c->bulkInDone[slot]);
}

TEST_F(BulkInTest, OpenKeepsEightTransfersInFlightAndASecondSubmitSendsNothing) {
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), TzSerialBulkInSlots);
  for (const auto& urb : adapter->model->urbs()) {
    if (urb.endpoint != kBulkIn || urb.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) continue;
    EXPECT_EQ(urb.transferFlags, ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    EXPECT_EQ(urb.requestedLength, 4096u);
  }
  size_t before = bulkInUrbs(*adapter->model);
  EXPECT_EQ(TzSerialBulkInSubmit(c, 3), STATUS_SUCCESS);
  EXPECT_EQ(bulkInUrbs(*adapter->model), before);

  receive(10000);  // three transfers' worth: each goes straight back down
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), TzSerialBulkInSlots);
  EXPECT_EQ(bulkInUrbs(*adapter->model), before + 3);
  EXPECT_EQ(ringContent(), streamBytes(0, 10000));
}

TEST_F(BulkInTest, AZeroLengthPacketGoesStraightBackWithoutTouchingTheRing) {
  ASSERT_EQ(setWaitMask(SERIAL_EV_RXCHAR).wait().status, STATUS_SUCCESS);
  app::Request wait = waitOnMask();
  size_t before = bulkInUrbs(*adapter->model);
  adapter->model->sendZeroLengthPacket();
  sim::runReady();
  EXPECT_EQ(bulkInUrbs(*adapter->model), before + 1) << "resubmitted";
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), TzSerialBulkInSlots);
  EXPECT_FALSE(wait.done()) << "no bytes, no SERIAL_EV_RXCHAR";
  EXPECT_EQ(c->rxCount, 0u);
  EXPECT_EQ(stats().ReceivedCount, 0u);

  receive(3);
  EXPECT_TRUE(wait.done());
  EXPECT_EQ(ringContent(), streamBytes(0, 3));
}

TEST_F(BulkInTest, ABusyDeviceIsRetriedOnlyWhileThePortIsOpen) {
  size_t before = bulkInUrbs(*adapter->model);
  adapter->model->failNextBulkIn(STATUS_DEVICE_BUSY, USBD_STATUS_DEV_NOT_RESPONDING);
  sim::runReady();
  EXPECT_EQ(bulkInUrbs(*adapter->model), before + 1);
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), TzSerialBulkInSlots) << "open: retried";

  c->portActive = FALSE;
  adapter->model->failNextBulkIn(STATUS_DEVICE_BUSY, USBD_STATUS_DEV_NOT_RESPONDING);
  sim::runReady();
  EXPECT_EQ(bulkInUrbs(*adapter->model), before + 1);
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), TzSerialBulkInSlots - 1) << "closed: left idle";

  c->portActive = TRUE;
  TzSerialBulkInStart(c);
  receive(10);
  EXPECT_EQ(ringContent(), streamBytes(0, 10));
}

size_t pipeResets(const sim::usb::CdcAcmAdapter& model, uint8_t endpoint) {
  size_t n = 0;
  for (const auto& urb : model.urbs())
    if (urb.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL && urb.endpoint == endpoint) ++n;
  return n;
}

// A stall fails all eight slots at once. After a pause the pipe is reset (no
// transfer left on it) and every slot goes back down; data flows again.
TEST_F(BulkInTest, AStalledPipeIsResetAndEverySlotGoesBackDown) {
  adapter->model->clearRecords();
  adapter->model->haltEndpoint(kBulkIn);
  sim::runReady();
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), 0u) << "every slot failed";
  EXPECT_EQ(pipeResets(*adapter->model, kBulkIn), 0u) << "not at once: after a pause, from the work item";
  sim::advance(sim::kSecond);
  EXPECT_EQ(pipeResets(*adapter->model, kBulkIn), 1u);
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), TzSerialBulkInSlots);
  receive(10000);
  EXPECT_EQ(ringContent(), streamBytes(0, 10000));

  // A single failed transfer also halts the pipe: the others still out are
  // cancelled, so that none is on the pipe when it is reset.
  adapter->model->failNextBulkIn(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  sim::runReady();
  sim::advance(sim::kSecond);
  EXPECT_EQ(pipeResets(*adapter->model, kBulkIn), 2u);
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), TzSerialBulkInSlots);
  EXPECT_EQ(c->holdQueue.activeCount, LONG(TzSerialBulkInSlots));
}

// A pipe that stalls again after every reset is reset a bounded number of
// times, each after a longer pause, then left; a reopen starts afresh.
TEST_F(BulkInTest, APipeThatKeepsStallingIsResetABoundedNumberOfTimes) {
  adapter->model->clearRecords();
  std::vector<int64_t> resetAt;
  adapter->model->setTap([&](const sim::usb::UrbRecord& urb, bool completed) {
    if (!completed || urb.function != URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || urb.endpoint != kBulkIn) return;
    resetAt.push_back(sim::now());
    adapter->model->haltEndpoint(kBulkIn);
  });
  int64_t start = sim::now();
  adapter->model->haltEndpoint(kBulkIn);
  sim::advance(60 * sim::kSecond);
  adapter->model->setTap({});
  ASSERT_EQ(resetAt.size(), TzSerialPipeRecoveryAttempts);
  for (size_t i = 0; i < resetAt.size(); ++i)
    EXPECT_GE(resetAt[i] - (i ? resetAt[i - 1] : start), int64_t(i + 1) * 100 * sim::kMs) << "pause before reset " << i;
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), 0u) << "given up";

  port.close();
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), TzSerialBulkInSlots) << "the open reset the pipe";
  receive(5);
  EXPECT_EQ(ringContent(), streamBytes(0, 5));
}

// The pause ends while the device sleeps: nothing is reset or sent in D3.
// The wake starts the slots on a pipe still stalled; they fail, and the
// recovery that follows brings them back.
TEST_F(BulkInTest, ARecoveryThatMeetsASleepWaitsForTheWake) {
  adapter->model->clearRecords();
  adapter->model->haltEndpoint(kBulkIn);
  sim::runReady();
  ASSERT_EQ(sim::power::sleep(adapter->pdo, PowerSystemSleeping3), STATUS_SUCCESS);
  sim::advance(sim::kSecond);
  EXPECT_EQ(pipeResets(*adapter->model, kBulkIn), 0u);
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), 0u);
  ASSERT_EQ(sim::power::wake(adapter->pdo), STATUS_SUCCESS);
  sim::advance(sim::kSecond);
  EXPECT_EQ(pipeResets(*adapter->model, kBulkIn), 1u);
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), TzSerialBulkInSlots);
  receive(10);
  EXPECT_EQ(ringContent(), streamBytes(0, 10));
}

TEST_F(BulkInTest, NoRecoveryForADeviceThatIsGoneOrAPortThatCloses) {
  adapter->model->clearRecords();
  adapter->model->haltEndpoint(kBulkIn);
  sim::runReady();
  port.close();  // during the pause
  sim::advance(sim::kSecond);
  EXPECT_EQ(pipeResets(*adapter->model, kBulkIn), 0u);
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), 0u);

  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  adapter->model->clearRecords();
  adapter->model->disconnect();
  sim::advance(sim::kSecond);
  EXPECT_EQ(pipeResets(*adapter->model, kBulkIn), 0u) << "a device that is gone is not reset";
}

TEST_F(BulkInTest, AfterCancelAllEverySlotIsIdleAndNothingIsResubmitted) {
  size_t before = bulkInUrbs(*adapter->model);
  TzSerialBulkInCancelAll(c);
  sim::runReady();
  for (ULONG slot = 0; slot < TzSerialBulkInSlots; ++slot) EXPECT_TRUE(slotIdle(c, slot)) << "slot " << slot;
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), 0u);
  size_t cancelled = 0;
  for (const auto& urb : adapter->model->urbs())
    if (urb.endpoint == kBulkIn && urb.state == sim::usb::UrbRecord::State::Cancelled) ++cancelled;
  EXPECT_EQ(cancelled, TzSerialBulkInSlots);
  EXPECT_EQ(bulkInUrbs(*adapter->model), before);
  EXPECT_EQ(c->holdQueue.activeCount, 0);

  receive(100);
  EXPECT_EQ(c->rxCount, 0u) << "no transfer is there to take the bytes";
  TzSerialBulkInStart(c);
  sim::runReady();
  EXPECT_EQ(ringContent(), streamBytes(0, 100)) << "a new start picks them up";
}

TEST_F(BulkInTest, SubmissionIsRefusedOnceTheDeviceIsGoneOrTheSystemSleeps) {
  TzSerialBulkInCancelAll(c);
  sim::runReady();
  size_t before = bulkInUrbs(*adapter->model);
  c->deviceState = DeviceStateSurpriseRemoved;
  EXPECT_EQ(TzSerialBulkInSubmit(c, 0), STATUS_DELETE_PENDING);
  c->deviceState = DeviceStateStarted;
  c->systemPowerState = PowerSystemSleeping3;
  EXPECT_EQ(TzSerialBulkInSubmit(c, 0), STATUS_DELETE_PENDING);
  c->systemPowerState = PowerSystemWorking;
  EXPECT_TRUE(slotIdle(c, 0));
  EXPECT_EQ(bulkInUrbs(*adapter->model), before);
}

// Close waits on the slot events: a transfer that completes with data after
// the device went away must leave its slot idle with the event set.
TEST_F(BulkInTest, ATransferCompletingAfterSurpriseRemovalLeavesItsSlotIdle) {
  c->deviceState = DeviceStateSurpriseRemoved;
  receive(10);
  EXPECT_TRUE(slotIdle(c, 0));
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), TzSerialBulkInSlots - 1);
  EXPECT_EQ(ringContent(), streamBytes(0, 10)) << "its bytes were still delivered";
  c->deviceState = DeviceStateStarted;
}

// Each transfer in flight, and the context sending them, holds an
// outstanding-request count, so removal cannot delete the device under a
// completion or a send that is still running.
// Removal with the port still open and transfers on the bus that can no
// longer be cancelled (filled, their completions still on the way): it
// waits until every one is back before the device objects go (deleting a
// device with a transfer in flight is a verifier stop).
class LateCompletionTest : public ReceiveTest {
 protected:
  sim::usb::AdapterOptions adapterOptions() override { return {.bulkInCompletionDelay100ns = 50 * sim::kMs}; }
};

TEST_F(LateCompletionTest, RemovalWaitsForTheTransfersStillInFlight) {
  EXPECT_EQ(c->outstandingIo, LONG(1 + TzSerialBulkInSlots));
  adapter->model->sendBulkIn(streamBytes(0, 8 * 4096));  // fills all eight
  sim::runReady();
  ASSERT_GT(c->outstandingIo, 1) << "completions still on their way";
  int64_t begin = sim::now();
  remove(*adapter);
  EXPECT_GT(sim::now() - begin, 0) << "the removal waited for the late completions";
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), 0u);
  c = nullptr;
}

// Blocks that left the device before cleanup's cancel complete after it:
// their slots go idle instead of back on the bus, so close does not wait.
TEST_F(LateCompletionTest, BlocksLandingAfterCleanupLeaveTheSlotsIdle) {
  adapter->model->sendBulkIn(streamBytes(0, 8 * 4096));
  sim::runReady();
  port.cleanup();
  sim::runUntil([&] { return c->holdQueue.activeCount == 0; });
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), 0u);
  for (ULONG slot = 0; slot < TzSerialBulkInSlots; ++slot) EXPECT_TRUE(slotIdle(c, slot)) << "slot " << slot;
  int64_t began = sim::now();
  port.close();
  EXPECT_LT(sim::now() - began, sim::kSecond);
}

TEST_F(BulkInTest, ARefusedSubmissionLeavesTheSlotIdleAndRestartable) {
  TzSerialBulkInCancelAll(c);
  sim::runReady();
  size_t before = bulkInUrbs(*adapter->model);

  // Sending a block costs no allocation: a failing pool refuses nothing.
  sim::faults::arm(1);
  EXPECT_EQ(TzSerialBulkInSubmit(c, 0), STATUS_PENDING);
  sim::faults::disarm();
  TzSerialBulkInCancelAll(c);
  sim::runReady();
  EXPECT_TRUE(slotIdle(c, 0));
  before = bulkInUrbs(*adapter->model);

  TzSerialHoldQueueStall(&c->holdQueue);
  EXPECT_EQ(TzSerialBulkInSubmit(c, 1), STATUS_DEVICE_BUSY);
  EXPECT_TRUE(slotIdle(c, 1));
  TzSerialHoldQueueResume(&c->holdQueue);
  EXPECT_EQ(bulkInUrbs(*adapter->model), before) << "refused transfers never reach the bus";

  EXPECT_EQ(TzSerialBulkInSubmit(c, 0), STATUS_PENDING);
  receive(5);
  EXPECT_EQ(ringContent(), streamBytes(0, 5));
}

}  // namespace
