// Tests: IOCTL_SERIAL_IMMEDIATE_CHAR. The character goes out on a transfer of
// its own, ahead of writes not yet on the bus, and the request completes when
// the device took it. While the device NAKs, the request ends by its timeout
// or by cancellation (the transfer is cancelled); either way the character
// stops counting as queued and an armed SERIAL_EV_TXEMPTY wait completes.
#include "open_port_fixture.h"

namespace {

class ImmediateCharTest : public OpenPortTest {
 protected:
  void setWriteTimeouts(ULONG multiplier, ULONG constant) {
    SERIAL_TIMEOUTS timeouts = {};
    timeouts.WriteTotalTimeoutMultiplier = multiplier;
    timeouts.WriteTotalTimeoutConstant = constant;
    ASSERT_EQ(control(IOCTL_SERIAL_SET_TIMEOUTS, timeouts).status, STATUS_SUCCESS);
  }
};

TEST_F(ImmediateCharTest, GoesOutAheadOfAWriteAndCompletesWhenTaken) {
  adapter->model->holdBulkOut(true);
  app::Request request = immediateChar('!');
  app::Request write = port.writeAsync(std::vector<uint8_t>{'a', 'b'});
  sim::runReady();
  EXPECT_FALSE(request.done()) << "the device has not taken it yet";
  adapter->model->holdBulkOut(false);
  EXPECT_EQ(request.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(write.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(adapter->model->bulkOutData(), (std::vector<uint8_t>{'!', 'a', 'b'}));
  EXPECT_EQ(c->charsQueued, 0u);
}

TEST_F(ImmediateCharTest, TimesOutAfterTheWriteTimeoutAndEmptiesTheTransmitter) {
  adapter->model->holdBulkOut(true);
  setWriteTimeouts(0, 50);
  ASSERT_EQ(setWaitMask(SERIAL_EV_TXEMPTY).wait().status, STATUS_SUCCESS);
  app::Request txEmpty = waitOnMask();

  int64_t started = sim::now();
  // The timer expires on the first clock tick at or after the 50 ms (62.5 ms from a tick).
  const int64_t tick = KeQueryTimeIncrement();
  const int64_t expiry = (started + 50 * sim::kMs + tick - 1) / tick * tick;
  app::Request request = immediateChar('A');
  EXPECT_EQ(c->charsQueued, 1u);
  EXPECT_EQ(c->immediateChar, 'A');
  sim::advance(49 * sim::kMs);
  EXPECT_FALSE(request.done()) << "still within its 50 ms";
  sim::advance(expiry - 1 - sim::now());
  EXPECT_FALSE(request.done()) << "due, but the clock has not ticked yet";
  EXPECT_FALSE(txEmpty.done());

  EXPECT_EQ(request.wait().status, STATUS_TIMEOUT);
  EXPECT_EQ(sim::now(), expiry);
  EXPECT_EQ(c->charsQueued, 0u);
  EXPECT_EQ(c->immediateRequest, nullptr);
  EXPECT_EQ(txEmpty.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(waitResult(txEmpty), ULONG(SERIAL_EV_TXEMPTY));

  // The port takes the next immediate character.
  app::Request next = immediateChar('B');
  EXPECT_EQ(next.wait().status, STATUS_TIMEOUT);
}

TEST_F(ImmediateCharTest, WithoutTimeoutsStaysPendingUntilCancelled) {
  adapter->model->holdBulkOut(true);
  ASSERT_EQ(setWaitMask(SERIAL_EV_TXEMPTY).wait().status, STATUS_SUCCESS);
  app::Request txEmpty = waitOnMask();
  app::Request request = immediateChar('A');
  sim::advance(10 * sim::kSecond);
  EXPECT_FALSE(request.done());
  EXPECT_EQ(immediateChar('B').wait().status, STATUS_INVALID_PARAMETER) << "one at a time";

  EXPECT_TRUE(request.cancel());
  app::Result result = request.wait();
  EXPECT_EQ(result.status, STATUS_CANCELLED);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(c->charsQueued, 0u);
  EXPECT_FALSE(c->immediatePending);
  EXPECT_EQ(txEmpty.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(waitResult(txEmpty), ULONG(SERIAL_EV_TXEMPTY));
}

// Cancelled while its timer runs: the timer is withdrawn with it (the harness
// would find a timer still queued), and nothing fires later.
TEST_F(ImmediateCharTest, ACancelBeforeTheTimeoutWithdrawsTheTimer) {
  adapter->model->holdBulkOut(true);
  setWriteTimeouts(10, 40);
  app::Request request = immediateChar('A');
  sim::advance(20 * sim::kMs);
  EXPECT_TRUE(request.cancel());
  EXPECT_EQ(request.wait().status, STATUS_CANCELLED);
  sim::advance(100 * sim::kMs);
  EXPECT_EQ(c->charsQueued, 0u);
  EXPECT_EQ(c->immediateFlags, 0u);
  adapter->model->holdBulkOut(false);
  sim::runReady();
  EXPECT_TRUE(adapter->model->bulkOutData().empty()) << "the cancelled character never went out";
}

}  // namespace
