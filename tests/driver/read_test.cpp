// Tests: read requests on the virtual clock, whose timers expire on the
// 15.625 ms clock tick. The time-out classes (return at once, wait for one
// byte, wait until full, total and interval timers), reads queued behind
// each other, cancellation, and reads that end in a race with a timer or a
// cancel keeping every byte they took from the ring.
#include "receive_fixture.h"

namespace {

constexpr int64_t kTick = 156250;
constexpr ULONG kMax = MAXULONG;

using ReadTest = ReceiveTest;

TEST_F(ReadTest, NonBlockingReadsReturnAtOnceWithWhatTheRingHolds) {
  ASSERT_EQ(setTimeouts(kMax, 0, 0).status, STATUS_SUCCESS);
  app::Request empty = read(10);
  ASSERT_TRUE(empty.done());
  EXPECT_EQ(empty.result().status, STATUS_SUCCESS);
  EXPECT_EQ(empty.result().information, 0u);

  receive(4);
  app::Request some = read(10);
  ASSERT_TRUE(some.done());
  EXPECT_EQ(some.data(), streamBytes(0, 4));
  EXPECT_EQ(c->rxPendingCount, 0u);
}

TEST_F(ReadTest, OneByteReadsWaitForTheFirstByteOrTheConstant) {
  ASSERT_EQ(setTimeouts(kMax, kMax, 500).status, STATUS_SUCCESS);
  int64_t start = sim::now();
  app::Request first = read(10);
  EXPECT_FALSE(first.done());
  sim::schedule(100 * sim::kMs, [&] { adapter->model->sendBulkIn(streamBytes(0, 3)); });
  app::Result result = first.wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 1u) << "the read was cut down to one byte";
  EXPECT_EQ(sim::now() - start, 100 * sim::kMs);
  EXPECT_EQ(first.data(), streamBytes(0, 1));

  // With bytes in the ring the same read returns them all at once.
  app::Request second = read(10);
  ASSERT_TRUE(second.done());
  EXPECT_EQ(second.data(), streamBytes(1, 2));

  start = sim::now();
  app::Request silent = read(10);
  result = silent.wait();
  EXPECT_EQ(result.status, STATUS_TIMEOUT);
  EXPECT_EQ(result.information, 0u);
  EXPECT_GE(sim::now() - start, 500 * sim::kMs);
  EXPECT_LT(sim::now() - start, 500 * sim::kMs + kTick);
}

TEST_F(ReadTest, WithoutTimeoutsAReadWaitsUntilFull) {
  app::Request pending = read(100);
  receive(60);
  sim::advance(3600 * sim::kSecond);
  EXPECT_FALSE(pending.done());
  receive(40);
  app::Result result = pending.wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(pending.data(), streamBytes(0, 100));
}

TEST_F(ReadTest, TheIntervalCountsFromTheLastPollThatSawBytes) {
  ASSERT_EQ(setTimeouts(50, 0, 0).status, STATUS_SUCCESS);
  app::Request pending = read(10);
  sim::advance(10 * sim::kSecond);
  EXPECT_FALSE(pending.done()) << "before the first byte the interval never expires";

  receive(2);
  int64_t arrived = sim::now();
  app::Result result = pending.wait();
  EXPECT_EQ(result.status, STATUS_TIMEOUT);
  EXPECT_EQ(pending.data(), streamBytes(0, 2));
  // Seen at the next tick's poll, then 50 ms rounded up to the tick.
  int64_t elapsed = sim::now() - arrived;
  EXPECT_GE(elapsed, 50 * sim::kMs);
  EXPECT_LE(elapsed, 50 * sim::kMs + 2 * kTick);
}

TEST_F(ReadTest, BytesFoundInTheRingStartTheIntervalAtOnce) {
  ASSERT_EQ(setTimeouts(50, 0, 0).status, STATUS_SUCCESS);
  receive(3);
  int64_t start = sim::now();
  app::Request pending = read(10);
  EXPECT_FALSE(pending.done());
  app::Result result = pending.wait();
  EXPECT_EQ(result.status, STATUS_TIMEOUT);
  EXPECT_EQ(pending.data(), streamBytes(0, 3));
  EXPECT_GE(sim::now() - start, 50 * sim::kMs);
  EXPECT_LT(sim::now() - start, 50 * sim::kMs + kTick);
}

TEST_F(ReadTest, LongIntervalsPollOnceASecond) {
  ASSERT_EQ(setTimeouts(30000, 0, 0).status, STATUS_SUCCESS);
  int64_t start = sim::now();
  app::Request pending = read(10);
  sim::advance(500 * sim::kMs);
  receive(1);
  // Seen by the poll one second after the start; 30 s of silence after it.
  sim::advance(start + 30990 * sim::kMs - sim::now());
  EXPECT_FALSE(pending.done()) << "a tick poll would have seen the byte at 0.5 s and timed out by now";
  app::Result result = pending.wait();
  EXPECT_EQ(result.status, STATUS_TIMEOUT);
  EXPECT_EQ(result.information, 1u);
  EXPECT_LT(sim::now() - start, 31 * sim::kSecond + kTick);
}

TEST_F(ReadTest, TheTotalTimeoutKeepsTheBytesPlaced) {
  ASSERT_EQ(setTimeouts(0, 10, 100).status, STATUS_SUCCESS);  // 10 × 10 + 100 = 200 ms
  int64_t start = sim::now();
  app::Request pending = read(10);
  receive(4);
  app::Result result = pending.wait();
  EXPECT_EQ(result.status, STATUS_TIMEOUT);
  EXPECT_EQ(pending.data(), streamBytes(0, 4));
  EXPECT_GE(sim::now() - start, 200 * sim::kMs);
  EXPECT_LT(sim::now() - start, 200 * sim::kMs + kTick);
  EXPECT_EQ(c->rxCount, 0u);

  receive(3);
  EXPECT_EQ(ringContent(), streamBytes(4, 3)) << "the next bytes wait in the ring";
}

TEST_F(ReadTest, AHugeTotalTimeoutDoesNotWrapIntoAnEarlyExpiry) {
  // 1000000 × 922337204 ms × 10000 is just past what 63 bits hold.
  ASSERT_EQ(setTimeouts(0, 922337204, 0).status, STATUS_SUCCESS);
  app::Request pending = read(1000000);
  sim::advance(3600 * sim::kSecond);
  EXPECT_FALSE(pending.done());
  EXPECT_TRUE(pending.cancel());
  EXPECT_EQ(pending.wait().status, STATUS_CANCELLED);
}

TEST_F(ReadTest, ReadsAreServedOneAtATimeInArrivalOrder) {
  app::Request first = read(5);
  app::Request second = read(5);
  EXPECT_EQ(c->readQueue.currentRequest, first.irp());
  app::Request empty = read(0);
  ASSERT_TRUE(empty.done()) << "a zero-length read never waits in the queue";
  EXPECT_EQ(empty.result().status, STATUS_SUCCESS);

  receive(7);
  ASSERT_TRUE(first.done());
  EXPECT_FALSE(second.done());
  EXPECT_EQ(first.data(), streamBytes(0, 5));
  receive(3);
  ASSERT_TRUE(second.done());
  EXPECT_EQ(second.data(), streamBytes(5, 5));
}

// SetupComm with a larger input queue must not wait for data the caller's
// own pending read is waiting for.
TEST_F(ReadTest, AQueueSizeRequestNeverWaitsBehindPendingReads) {
  app::Request pending = read(5);
  SERIAL_QUEUE_SIZE size = {1 << 20, 0};
  app::Request resize = port.ioctlAsync(IOCTL_SERIAL_SET_QUEUE_SIZE, {reinterpret_cast<uint8_t*>(&size), sizeof size}, 0);
  ASSERT_TRUE(resize.done());
  EXPECT_EQ(resize.result().status, STATUS_SUCCESS);
  EXPECT_FALSE(pending.done());
  EXPECT_EQ(c->rxBufferSize, TzSerialRxBufferSize);
  receive(5);
  EXPECT_EQ(pending.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(pending.data(), streamBytes(0, 5));
}

// A buffered read ending with an error status gets no bytes copied back, yet
// the bytes it holds have left the ring: each way a read is cancelled, it
// ends successfully with what it holds, and as cancelled only when empty.
TEST_F(ReadTest, ACancelledReadReturnsTheBytesItHolds) {
  app::Request pending = read(10);
  receive(4);
  EXPECT_TRUE(pending.cancel());
  app::Result result = pending.wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(pending.data(), streamBytes(0, 4));
  EXPECT_EQ(c->readTargetBase, c->rxBuffer);
  EXPECT_EQ(c->rxCount, 0u);

  app::Request empty = read(3);
  EXPECT_TRUE(empty.cancel());
  EXPECT_EQ(empty.wait().status, STATUS_CANCELLED) << "nothing held: cancelled";
  EXPECT_EQ(empty.result().information, 0u);

  app::Request queuedBehind = read(3);
  app::Request cancelledInQueue = read(3);
  EXPECT_TRUE(cancelledInQueue.cancel());
  EXPECT_EQ(cancelledInQueue.wait().status, STATUS_CANCELLED);
  receive(3);
  EXPECT_EQ(queuedBehind.data(), streamBytes(4, 3));
}

TEST_F(ReadTest, AReceivePurgeReturnsTheBytesTheCurrentReadHolds) {
  app::Request pending = read(10);
  receive(4);
  ULONG mask = SERIAL_PURGE_RXABORT;
  ASSERT_EQ(port.ioctl(IOCTL_SERIAL_PURGE, &mask, sizeof mask, nullptr, 0).status, STATUS_SUCCESS);
  app::Result result = pending.wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(pending.data(), streamBytes(0, 4));

  app::Request next = read(2);
  receive(2);
  EXPECT_EQ(next.data(), streamBytes(4, 2)) << "the stream goes on where the purged read stopped";
}

// The read next in the queue is cancelled just as it starts: its cancel lost
// the race to the queue handing it over, so only its Cancel flag is set. It
// must keep the bytes it already took from the ring.
TEST_F(ReadTest, AReadCancelledAsItStartsKeepsTheBytesItTook) {
  app::Request first = read(10);
  app::Request second = read(20);
  second.irp()->Cancel = TRUE;
  receive(15);
  ASSERT_EQ(first.wait().status, STATUS_SUCCESS);
  app::Result result = second.wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(second.data(), streamBytes(10, 5));
  EXPECT_EQ(c->rxCount, 0u);
}

// The interval timer fires and, before its DPC runs, the read is cancelled:
// the DPC is then the last holder and completes the read. The bytes placed
// were taken from the ring and must be returned.
TEST_F(ReadTest, AnIntervalDpcCompletingACancelledReadKeepsTheBytesPlaced) {
  ASSERT_EQ(setTimeouts(50, 0, 0).status, STATUS_SUCCESS);
  receive(3);
  app::Request pending = read(10);
  bool cancelled = false;
  sim::runUntil([&] {
    if (!cancelled && KeReadStateTimer(&c->readIntervalTimer)) cancelled = pending.cancel();
    return pending.done();
  });
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(pending.result().status, STATUS_SUCCESS);
  EXPECT_EQ(pending.data(), streamBytes(0, 3));
}

TEST_F(ReadTest, ReadsAfterRemovalAreRefused) {
  c->deviceState = DeviceStateSurpriseRemoved;
  std::vector<uint8_t> buffer(10);
  app::Result result = port.read(buffer.data(), ULONG(buffer.size()));
  EXPECT_EQ(result.status, STATUS_DELETE_PENDING);
  c->deviceState = DeviceStateStarted;
}

}  // namespace
