// Tests: request queues hundreds deep. However many requests wait, starting
// the next one never grows the kernel stack (the verifier measures it against
// the platform's 24 KB), and they complete in the order they were issued, as
// an application reaping them from a completion port expects.
#include "receive_fixture.h"

namespace {

constexpr size_t kQueued = 400;

class QueueDepthTest : public ReceiveTest {
 protected:
  // Every request done, each completed after the one issued before it.
  static void expectCompletedInIssueOrder(const std::vector<app::Request>& requests) {
    uint64_t previous = 0;
    for (size_t i = 0; i < requests.size(); ++i) {
      ASSERT_TRUE(requests[i].done()) << "request " << i;
      EXPECT_GT(requests[i].completionOrder(), previous) << "request " << i << " completed before an earlier one";
      previous = requests[i].completionOrder();
    }
  }
};

TEST_F(QueueDepthTest, HundredsOfOneByteReadsFilledByOneBlockCompleteInOrderOnABoundedStack) {
  std::vector<app::Request> reads;
  for (size_t i = 0; i < kQueued; ++i) reads.push_back(read(1));
  sim::deepestKernelStack(true);
  receive(kQueued);
  expectCompletedInIssueOrder(reads);
  for (size_t i = 0; i < kQueued; ++i) {
    EXPECT_EQ(reads[i].result().status, STATUS_SUCCESS);
    EXPECT_EQ(reads[i].data(), streamBytes(i, 1)) << "read " << i;
  }
  EXPECT_LT(sim::deepestKernelStack(), sim::kernelStackLimit() / 2);
}

TEST_F(QueueDepthTest, CancellingTheHeadUnderReturnAtOnceTimeoutsEndsEveryReadInOrder) {
  std::vector<app::Request> reads;
  for (size_t i = 0; i < kQueued; ++i) reads.push_back(read(1));
  ASSERT_EQ(setTimeouts(MAXULONG, 0, 0).status, STATUS_SUCCESS);
  EXPECT_TRUE(reads.front().cancel());
  expectCompletedInIssueOrder(reads);
  EXPECT_EQ(reads.front().result().status, STATUS_CANCELLED);
  for (size_t i = 1; i < kQueued; ++i) {
    EXPECT_EQ(reads[i].result().status, STATUS_SUCCESS);
    EXPECT_EQ(reads[i].result().information, 0u);
  }
}

TEST_F(QueueDepthTest, FlushesQueuedBehindAStuckCounterCompleteInOrderOnceItsCharacterGoesOut) {
  adapter->model->holdBulkOut(true);
  SERIAL_XOFF_COUNTER request = {0, 5, 0x13};
  app::Request counter =
      port.ioctlAsync(IOCTL_SERIAL_XOFF_COUNTER, {reinterpret_cast<const uint8_t*>(&request), sizeof request}, 0);
  std::vector<app::Request> flushes;
  for (size_t i = 0; i < kQueued; ++i) flushes.push_back(port.flushAsync());
  sim::runReady();
  EXPECT_FALSE(flushes.back().done());
  adapter->model->holdBulkOut(false);
  sim::runReady();
  expectCompletedInIssueOrder(flushes);
  for (const app::Request& flush : flushes) EXPECT_EQ(flush.result().status, STATUS_SUCCESS);
  EXPECT_TRUE(counter.cancel());
  EXPECT_EQ(counter.wait().status, STATUS_CANCELLED);
}

}  // namespace
