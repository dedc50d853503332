// Tests: the interrupt status pipe of a "Modem"-class adapter. SERIAL_STATE
// decoding into lineEventState and modemStatus, the events it raises,
// malformed and short notifications (never decoded from stale bytes), the
// one-transfer rule, the hold queue's refusal, recovery from a halted pipe,
// and a seeded fuzz of payloads.
#include "open_port_fixture.h"

#include "driver/usb/pipe_control.h"
#include "driver/usb/status_pipe.h"

#include <random>

namespace {

constexpr uint8_t kInterruptIn = 0x81;

std::vector<uint8_t> serialState(uint16_t bitmap) {
  return {0xA1, 0x20, 0, 0, 0, 0, 2, 0, uint8_t(bitmap), uint8_t(bitmap >> 8)};
}

class StatusPipeTest : public OpenPortTest {
 protected:
  sim::pnp::PhysicalDeviceOptions pdoOptions() override { return modemClass(); }
  void SetUp() override {
    OpenPortTest::SetUp();
    locked([this] { c->lineEventState = 0x0018; });  // as an open leaves it
  }
  void notify(const std::vector<uint8_t>& payload) {
    adapter->model->sendInterrupt(payload);
    sim::runReady();
  }
  size_t statusTransfers() {
    size_t n = 0;
    for (const auto& urb : adapter->model->urbs())
      if (urb.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && urb.endpoint == kInterruptIn) ++n;
    return n;
  }
};

TEST_F(StatusPipeTest, NotificationsSetTheLinesAndRaiseTheirEvents) {
  ASSERT_EQ(setWaitMask(SERIAL_EV_RLSD | SERIAL_EV_DSR | SERIAL_EV_CTS).wait().status, STATUS_SUCCESS);
  notify(serialState(0x0002));  // DSR only: what open assumed
  EXPECT_EQ(c->lineEventState, 0x0018);
  EXPECT_EQ(c->modemStatus, 0x30);
  EXPECT_EQ(c->historyMask, 0u) << "nothing changed";

  app::Request wait = waitOnMask();
  notify(serialState(0x0003));  // carrier too
  EXPECT_EQ(c->modemStatus, 0xB8);
  ASSERT_TRUE(wait.done());
  EXPECT_EQ(wait.wait().information, 4u);
  EXPECT_EQ(waitResult(wait), ULONG(SERIAL_EV_RLSD));

  notify(serialState(0x0001));  // DSR (and with it CTS) drop
  EXPECT_EQ(c->lineEventState, 0x0020);
  EXPECT_EQ(c->modemStatus, 0x83);
  app::Request next = waitOnMask();
  ASSERT_TRUE(next.done()) << "the change waited in the history";
  EXPECT_EQ(waitResult(next), ULONG(SERIAL_EV_DSR | SERIAL_EV_CTS));

  notify(serialState(0x0071));  // framing, parity, overrun alone change nothing
  EXPECT_EQ(c->lineEventState, 0x0020);
  EXPECT_EQ(c->modemStatus, 0x80);
}

// A notification must not wipe events already recorded for the next wait.
TEST_F(StatusPipeTest, ALineChangeKeepsEventsAlreadyInTheHistory) {
  ASSERT_EQ(setWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RLSD).wait().status, STATUS_SUCCESS);
  adapter->model->sendBulkIn({'x'});
  sim::runReady();
  notify(serialState(0x0003));
  app::Request wait = waitOnMask();
  ASSERT_TRUE(wait.done());
  EXPECT_EQ(waitResult(wait), ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_RLSD));
}

TEST_F(StatusPipeTest, ShortMalformedAndForeignNotificationsChangeNothingAndReadingGoesOn) {
  notify(serialState(0x0003));
  UCHAR before = c->modemStatus;
  size_t transfers = statusTransfers();
  // Every length short of a whole SERIAL_STATE: the buffer still holds the
  // last one's bytes, which must not be decoded again.
  for (size_t length = 0; length < 10; ++length) {
    std::vector<uint8_t> payload = serialState(0x0000);
    payload.resize(length);
    notify(payload);
  }
  notify({0xA1, 0x00, 1, 0, 0, 0, 0, 0});             // NETWORK_CONNECTION
  notify({0xA1, 0x20, 0, 0, 0, 0, 3, 0, 0, 0, 0});    // wrong wLength
  notify({0x21, 0x20, 0, 0, 0, 0, 2, 0, 0, 0});       // wrong request type
  EXPECT_EQ(c->modemStatus, before);
  EXPECT_EQ(statusTransfers(), transfers + 13) << "each one was answered by a new transfer";
  EXPECT_EQ(adapter->model->pendingTransfers(kInterruptIn), 1u);
  std::vector<uint8_t> longer = serialState(0x0000);
  longer.resize(16, 0xEE);
  notify(longer);
  EXPECT_EQ(c->modemStatus & 0xF0, 0x00) << "a longer transfer still carries a whole notification";
}

TEST_F(StatusPipeTest, OneTransferOnlyAndASubmissionWhileStalledIsRefusedThenWorks) {
  size_t transfers = statusTransfers();
  EXPECT_EQ(TzSerialStatusSubmit(c), STATUS_SUCCESS);
  EXPECT_EQ(statusTransfers(), transfers) << "one already in flight";

  // The submission that found one in flight is honoured when it comes back.
  TzSerialStatusCancel(c);
  sim::runReady();
  EXPECT_EQ(adapter->model->pendingTransfers(kInterruptIn), 1u) << "the follow-up of the cancelled one";
  TzSerialStatusCancel(c);
  sim::runReady();
  EXPECT_EQ(c->statusBusy, 0);
  EXPECT_TRUE(KeReadStateEvent(&c->statusDone));
  TzSerialHoldQueueStall(&c->holdQueue);
  EXPECT_EQ(TzSerialStatusSubmit(c), STATUS_DEVICE_BUSY);
  EXPECT_EQ(c->statusBusy, 0);
  EXPECT_TRUE(KeReadStateEvent(&c->statusDone)) << "close must not wait for a transfer that never went";
  TzSerialHoldQueueResume(&c->holdQueue);
  EXPECT_EQ(TzSerialStatusSubmit(c), STATUS_PENDING);
  EXPECT_EQ(adapter->model->pendingTransfers(kInterruptIn), 1u);
}

// A notification that beat cleanup's cancel completes after the port was
// cleaned up: its resubmission must not put a transfer back on the bus, or
// close would wait five seconds for it.
TEST_F(StatusPipeTest, ANotificationLandingAfterCleanupDoesNotRestartTheReader) {
  port.cleanup();
  sim::runReady();
  EXPECT_EQ(TzSerialStatusSubmit(c), STATUS_CANCELLED) << "the late completion's resubmission";
  EXPECT_EQ(adapter->model->pendingTransfers(kInterruptIn), 0u);
  EXPECT_EQ(c->statusBusy, 0);
  EXPECT_EQ(c->holdQueue.activeCount, 0);
  int64_t began = sim::now();
  port.close();
  EXPECT_LT(sim::now() - began, sim::kSecond) << "close found the reader at rest";
}

// A tear-down waits on statusDone for the reader to come to rest; a
// notification that completes meanwhile resubmits the transfer, and that
// resubmission must not re-initialise the event the tear-down is blocked on.
TEST_F(StatusPipeTest, ANotificationThatCompletesWhileATearDownWaitsForTheReaderLeavesItsEventAlone) {
  adapter->model->sendInterrupt(serialState(0x0003));
  LARGE_INTEGER timeout{.QuadPart = -sim::kSecond};
  // Signalled by the completion, cleared by the resubmission before this
  // thread looks again: the wait runs out with a transfer on the bus.
  EXPECT_EQ(KeWaitForSingleObject(&c->statusDone, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(adapter->model->pendingTransfers(kInterruptIn), 1u);
  EXPECT_EQ(statusTransfers(), 2u);
  EXPECT_EQ(c->modemStatus, 0xB8) << "the notification was decoded";
}

TEST_F(StatusPipeTest, SeededPayloadsOfAnyLengthOnlyEverDecodeWellFormedNotifications) {
  std::mt19937 random(uint32_t(::testing::UnitTest::GetInstance()->random_seed()));
  ASSERT_EQ(setWaitMask(0x1FF).wait().status, STATUS_SUCCESS);
  for (int round = 0; round < 2000 && !HasFailure(); ++round) {
    std::vector<uint8_t> payload(random() % 17);
    for (uint8_t& byte : payload) byte = uint8_t(random());
    if (payload.size() >= 8 && random() % 2) payload[0] = 0xA1, payload[1] = 0x20, payload[6] = 2, payload[7] = 0;
    USHORT lines = c->lineEventState;
    notify(payload);
    bool wellFormed = payload.size() >= 10 && payload[0] == 0xA1 && payload[1] == 0x20 && payload[6] == 2 &&
                      payload[7] == 0;
    if (!wellFormed) EXPECT_EQ(c->lineEventState, lines) << "round " << round;
    if (round % 7 == 0) adapter->model->sendBulkIn(std::vector<uint8_t>(random() % 4096, uint8_t(round)));
    if (round % 50 == 0) {
      app::Request wait = waitOnMask();
      if (!wait.done()) wait.cancel();
      wait.wait();
    }
  }
  EXPECT_EQ(adapter->model->pendingTransfers(kInterruptIn), 1u);
}

// A stall, or babble (the host halts the pipe), ends the status transfer
// with a pipe error: after a pause the interrupt pipe is reset and the reader
// is back, and notifications are decoded again.
TEST_F(StatusPipeTest, AHaltedInterruptPipeIsResetAndTheReaderComesBack) {
  for (int fault = 0; fault < 2; ++fault) {
    adapter->model->clearRecords();
    if (fault == 0)
      adapter->model->haltEndpoint(kInterruptIn);
    else
      adapter->model->sendInterrupt(std::vector<uint8_t>(TzSerialStatusBufferSize + 1, 0));
    sim::runReady();
    EXPECT_EQ(adapter->model->pendingTransfers(kInterruptIn), 0u);
    sim::advance(sim::kSecond);
    size_t resets = 0;
    for (const auto& urb : adapter->model->urbs())
      if (urb.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL && urb.endpoint == kInterruptIn) ++resets;
    EXPECT_EQ(resets, 1u) << "fault " << fault;
    EXPECT_EQ(adapter->model->pendingTransfers(kInterruptIn), 1u) << "fault " << fault;
    notify(serialState(fault ? 0x0002 : 0x0003));
    EXPECT_EQ(c->lineEventState, fault ? 0x0018 : 0x0038) << "fault " << fault;
  }
}

class StatusPipeWithoutInterruptTest : public OpenPortTest {
 protected:
  sim::usb::AdapterOptions adapterOptions() override {
    return {.configuration = sim::usb::cdcConfiguration(sim::usb::Layout::DataOnly)};
  }
  sim::pnp::PhysicalDeviceOptions pdoOptions() override { return modemClass(); }
};

TEST_F(StatusPipeWithoutInterruptTest, NothingIsSubmittedOrResetOnTheMissingPipe) {
  EXPECT_EQ(TzSerialStatusSubmit(c), STATUS_SUCCESS);
  adapter->model->clearRecords();
  EXPECT_EQ(TzSerialResetPipes(c, ResetInterrupt), STATUS_SUCCESS);
  EXPECT_TRUE(adapter->model->urbs().empty());
}

}  // namespace

namespace {

ULONG modemStatusOf(app::File& port) {
  ULONG value = 0xFFFFFFFF;
  EXPECT_EQ(port.ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &value, sizeof value).status, STATUS_SUCCESS);
  return value;
}

// Until the adapter reports, the port answers with the lines the rest of the
// driver assumes (CTS and DSR present); a reopen forgets what the last
// session saw, its change bits included.
TEST_F(StatusPipeTest, EachOpenStartsFromTheAssumedLinesWithoutTheLastSessionsChanges) {
  port.close();
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  EXPECT_EQ(modemStatusOf(port), 0x30u) << "CTS and DSR, no change";
  notify(serialState(0x0001));  // carrier on, DSR off
  EXPECT_EQ(modemStatusOf(port), 0x8Bu);
  port.close();
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  EXPECT_EQ(modemStatusOf(port), 0x30u) << "the last session's lines and changes are gone";
}

// An adapter without a status pipe never reports: the assumed lines stay.
TEST_F(OpenPortTest, WithoutAStatusPipeTheModemStatusIsTheAssumedLines) {
  EXPECT_EQ(modemStatusOf(port), 0x30u);
}

}  // namespace
