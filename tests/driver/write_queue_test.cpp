// Tests: flushes and XOFF counters on the write queue. A flush waits for the
// counters ahead of it and for the writes accepted before it; a counter sends
// its XoffChar, then ends by its count, its time-out, a cancel, or a later
// write or counter, each exactly once.
#include "open_port_fixture.h"

namespace {

class WriteQueueTest : public OpenPortTest {
 protected:
  app::Request xoffCounter(ULONG timeoutMs, LONG counter, UCHAR xoffChar = 0x13) {
    SERIAL_XOFF_COUNTER request = {timeoutMs, counter, xoffChar};
    return port.ioctlAsync(IOCTL_SERIAL_XOFF_COUNTER,
                           {reinterpret_cast<const uint8_t*>(&request), sizeof request}, 0);
  }
  app::Request flush() { return port.flushAsync(); }
};

// Every write accepted before the flush must have ended before it completes;
// one accepted after it does not hold it. The writes here end by their
// time-outs, one after the other, on a device that takes nothing.
TEST_F(WriteQueueTest, AFlushEndsOnceTheWritesAcceptedBeforeItHaveEnded) {
  EXPECT_EQ(flush().wait().status, STATUS_SUCCESS) << "nothing written: at once";
  SERIAL_TIMEOUTS timeouts = {};
  timeouts.WriteTotalTimeoutConstant = 100;
  ASSERT_EQ(control(IOCTL_SERIAL_SET_TIMEOUTS, timeouts).status, STATUS_SUCCESS);
  adapter->model->holdBulkOut(true);
  int64_t start = sim::now();
  app::Request first = port.writeAsync(std::vector<uint8_t>(10, 'a'));
  app::Request second = port.writeAsync(std::vector<uint8_t>(10, 'b'));
  app::Request flushed = flush();
  app::Request after = port.writeAsync(std::vector<uint8_t>(10, 'c'));
  sim::advance(150 * sim::kMs);
  EXPECT_TRUE(first.done());
  EXPECT_FALSE(flushed.done()) << "a write accepted before it is still in flight";
  sim::runUntil([&] { return flushed.done(); });
  EXPECT_EQ(flushed.result().status, STATUS_SUCCESS);
  EXPECT_EQ(second.result().status, STATUS_TIMEOUT);
  EXPECT_GE(sim::now() - start, 200 * sim::kMs);
  EXPECT_FALSE(after.done()) << "a write accepted after the flush does not hold it";
  adapter->model->holdBulkOut(false);
  EXPECT_EQ(after.wait().status, STATUS_SUCCESS);
}

TEST_F(WriteQueueTest, AFlushWaitingForWritesCanBeCancelledAndTheQueueGoesOn) {
  adapter->model->holdBulkOut(true);
  app::Request write = port.writeAsync(std::vector<uint8_t>(10, 'w'));
  app::Request flushed = flush();
  app::Request counter = xoffCounter(0, 5);
  sim::runReady();
  EXPECT_FALSE(flushed.done());
  EXPECT_FALSE(counter.done());
  EXPECT_TRUE(flushed.cancel());
  EXPECT_EQ(flushed.wait().status, STATUS_CANCELLED);
  EXPECT_FALSE(write.done());
  adapter->model->holdBulkOut(false);
  EXPECT_EQ(write.wait().status, STATUS_SUCCESS);
  sim::runReady();
  EXPECT_EQ(adapter->model->bulkOutData().back(), 0x13) << "the counter behind the flush sent its XoffChar";
  EXPECT_TRUE(counter.cancel());
  EXPECT_EQ(counter.wait().status, STATUS_CANCELLED);
}

TEST_F(WriteQueueTest, ACounterWithNothingReceivedTimesOutAfterItsTimeout) {
  int64_t started = sim::now();
  app::Request counter = xoffCounter(1000, 5);
  sim::runReady();
  EXPECT_EQ(adapter->model->bulkOutData(), std::vector<uint8_t>{0x13}) << "its XoffChar went out first";
  sim::advance(990 * sim::kMs);
  EXPECT_FALSE(counter.done());
  app::Result result = counter.wait();
  EXPECT_EQ(result.status, STATUS_SERIAL_COUNTER_TIMEOUT);
  EXPECT_GE(sim::now() - started, 1000 * sim::kMs);
  EXPECT_EQ(c->charsQueued, 0u);
}

TEST_F(WriteQueueTest, AFlushBehindACounterCompletesOnceTheXoffCharWentOut) {
  adapter->model->holdBulkOut(true);
  app::Request counter = xoffCounter(0, 5);
  app::Request behind = flush();
  sim::runReady();
  EXPECT_FALSE(behind.done()) << "the XoffChar is still waiting for the device";
  adapter->model->holdBulkOut(false);
  EXPECT_EQ(behind.wait().status, STATUS_SUCCESS);
  EXPECT_FALSE(counter.done()) << "the counter itself is counting now";
  EXPECT_TRUE(counter.cancel());
  EXPECT_EQ(counter.wait().status, STATUS_CANCELLED);
}

TEST_F(WriteQueueTest, TheCounterCountsReceivedCharactersAndSucceedsAtItsCount) {
  app::Request counter = xoffCounter(0, 5);
  sim::runReady();
  adapter->model->sendBulkIn({1, 2, 3});
  sim::runReady();
  EXPECT_FALSE(counter.done());
  adapter->model->sendBulkIn({4, 5, 6});
  app::Result result = counter.wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
}

TEST_F(WriteQueueTest, AWriteOrALaterCounterEndsTheCountingOneWithMoreWrites) {
  app::Request first = xoffCounter(0, 100);
  sim::runReady();
  app::Request second = xoffCounter(0, 100);
  EXPECT_EQ(first.wait().status, STATUS_SERIAL_MORE_WRITES);
  sim::runReady();
  EXPECT_FALSE(second.done()) << "the second one counts now";
  EXPECT_EQ(port.writeAsync(std::vector<uint8_t>{'a'}).wait().status, STATUS_SUCCESS);
  EXPECT_EQ(second.wait().status, STATUS_SERIAL_MORE_WRITES);
}

TEST_F(WriteQueueTest, WithWriteTimeoutsAStuckXoffCharTimesOutAndTheNextRequestStillTransmits) {
  SERIAL_TIMEOUTS timeouts = {};
  timeouts.WriteTotalTimeoutConstant = 100;
  ASSERT_EQ(control(IOCTL_SERIAL_SET_TIMEOUTS, timeouts).status, STATUS_SUCCESS);
  adapter->model->holdBulkOut(true);
  app::Request stuck = xoffCounter(0, 5);
  EXPECT_EQ(stuck.wait().status, STATUS_TIMEOUT);
  adapter->model->holdBulkOut(false);
  app::Request next = xoffCounter(0, 5, 0x55);
  sim::runReady();
  EXPECT_EQ(adapter->model->bulkOutData(), std::vector<uint8_t>{0x55}) << "the cancelled one never went out";
  EXPECT_TRUE(next.cancel());
  EXPECT_EQ(next.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(c->charsQueued, 0u);
}

// A counter cancelled while its XoffChar's transfer is still on the bus (a
// bus that keeps it through the cancel): its buffer is in that transfer's
// URB, so it completes only once the transfer is back. The next counter
// then sends its own XoffChar and a flush behind it ends. The counter used
// to complete at once, and the late transfer taken for the next request.
TEST_F(WriteQueueTest, ACounterCancelledWithItsXoffCharOnTheBusWaitsForTheTransfer) {
  constexpr uint8_t kBulkOut = 0x02;
  adapter->model->holdBulkOut(true);
  adapter->model->holdThroughCancel(kBulkOut, 1);
  app::Request first = xoffCounter(0, 5, 0x13);
  sim::runReady();
  ASSERT_EQ(adapter->model->heldThroughCancel(), 1u);
  EXPECT_TRUE(first.cancel());
  sim::runReady();
  EXPECT_FALSE(first.done()) << "its transfer still points into its buffer";
  app::Request second = xoffCounter(0, 5, 0x55);
  app::Request behind = flush();
  sim::runReady();
  EXPECT_FALSE(second.done());

  adapter->model->releaseHeldThroughCancel();
  EXPECT_EQ(first.wait().status, STATUS_CANCELLED);
  adapter->model->holdBulkOut(false);
  EXPECT_EQ(behind.wait().status, STATUS_SUCCESS) << "the flush behind the second counter ends";
  EXPECT_EQ(adapter->model->bulkOutData(), std::vector<uint8_t>{0x55});
  EXPECT_TRUE(second.cancel());
  EXPECT_EQ(second.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(c->charsQueued, 0u);
}

}  // namespace
