// Tests: reads that end in a race, on the Concurrent kernel (worker threads,
// real time, a 1 ms clock tick), many rounds each. A read cancelled while data
// arrives, while its total timer fires, or while its interval timer fires is
// completed exactly once (the verifier stops a second completion), and every
// byte the adapter sent is either returned by a read or still in the ring, in
// order.
#include "receive_fixture.h"

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

namespace {

class ReadRaceTest : public ReceiveTest {
 protected:
  void SetUp() override { openOnRealThreads(10000); }

  // One round: a read of length bytes races the adapter sending `bytes` and a
  // cancel, each after its own delay (real microseconds, spun so that the
  // thread stays on its core). Returns the read's status.
  NTSTATUS race(ULONG length, size_t bytes, int sendDelayUs, int cancelDelayUs) {
    std::vector<uint8_t> data = streamBytes(sent, bytes);
    sent += bytes;
    app::Request request = read(length);
    std::atomic<int> ready{0};
    auto go = [&](int delayUs) {
      ++ready;
      while (ready < 2) std::this_thread::yield();
      auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(delayUs);
      while (std::chrono::steady_clock::now() < until) std::atomic_signal_fence(std::memory_order_seq_cst);
    };
    std::thread sender([&] {
      go(sendDelayUs);
      if (!data.empty()) adapter->model->sendBulkIn(data);
    });
    std::thread canceller([&] {
      go(cancelDelayUs);
      request.cancel();
    });
    sender.join();
    canceller.join();
    app::Result result = request.wait(5 * sim::kSecond);
    EXPECT_TRUE(request.done()) << "the read never completed";
    EXPECT_LE(result.information, length);
    // An error status copies nothing back, so a read that took bytes must
    // not end with one; the bytes returned must be the stream.
    if (!NT_SUCCESS(result.status)) EXPECT_EQ(result.information, 0u) << "status " << result.status;
    EXPECT_EQ(request.data(), streamBytes(consumed, result.information)) << "status " << result.status;
    consumed += result.information;
    expectEveryByteAccountedFor();
    return result.status;
  }

  // Once the adapter's bytes have all arrived, what reads reported plus what
  // the ring holds is exactly what was sent, in order.
  void expectEveryByteAccountedFor() {
    auto settled = [&] {
      ULONG inRing = 0;
      locked([&] { inRing = c->rxCount; });
      return consumed + inRing == sent;
    };
    EXPECT_TRUE(sim::runUntil(settled, 2 * sim::kSecond)) << "sent " << sent << ", read " << consumed;
    EXPECT_EQ(ringContent(), streamBytes(consumed, sent - consumed));
  }

  uint64_t consumed = 0;  // stream bytes reads have reported
  std::mt19937 random{uint32_t(sim::seed())};
};

constexpr int kRounds = 200;

TEST_F(ReadRaceTest, AReadCancelledWhileDataArrivesKeepsExactlyWhatItTook) {
  for (int round = 0; round < kRounds && !HasFailure(); ++round) {
    NTSTATUS status = race(64, 1 + random() % 100, int(random() % 100), int(random() % 100));
    ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << "round " << round << ": " << status;
  }
}

TEST_F(ReadRaceTest, AReadCancelledWhileItsTotalTimerFiresCompletesOnce) {
  ASSERT_EQ(setTimeouts(0, 0, 1).status, STATUS_SUCCESS);
  for (int round = 0; round < kRounds && !HasFailure(); ++round) {
    NTSTATUS status = race(64, random() % 30, int(random() % 1000), int(random() % 3000));
    // A cancel that wins ends the read as cancelled, or with success when it holds bytes.
    ASSERT_TRUE(status == STATUS_TIMEOUT || status == STATUS_CANCELLED || status == STATUS_SUCCESS)
        << "round " << round << ": " << status;
  }
}

TEST_F(ReadRaceTest, AReadCancelledWhileItsIntervalTimerFiresCompletesOnce) {
  ASSERT_EQ(setTimeouts(1, 0, 0).status, STATUS_SUCCESS);
  for (int round = 0; round < kRounds && !HasFailure(); ++round) {
    // Without a byte the interval never expires: every round sends one.
    NTSTATUS status = race(64, 1 + random() % 30, int(random() % 1000), int(random() % 4000));
    // A cancel that wins ends the read as cancelled, or with success when it holds bytes.
    ASSERT_TRUE(status == STATUS_TIMEOUT || status == STATUS_CANCELLED || status == STATUS_SUCCESS)
        << "round " << round << ": " << status;
  }
}

}  // namespace
