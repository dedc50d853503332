// Tests: writes that end in a race, on the Concurrent kernel (worker threads,
// real time, a 1 ms clock tick). A write cancelled while the device takes its
// bytes, or while its timer fires, is completed exactly once (the verifier
// stops a second completion), its context is freed once, and charsQueued
// returns to 0.
#include "open_port_fixture.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <random>
#include <thread>

namespace {

class WriteRaceTest : public OpenPortTest {
 protected:
  // Freed pool and IRPs come back at once, as on the platform: a party that
  // touches a write another has freed meets the next write there.
  void SetUp() override { openOnRealThreads(10000, sim::Addresses::Reuse); }
  static void spin(int microseconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
    while (std::chrono::steady_clock::now() < until) std::atomic_signal_fence(std::memory_order_seq_cst);
  }
};

TEST_F(WriteRaceTest, AWriteCancelledWhileItsTransferCompletesEndsOnce) {
  std::mt19937 random(uint32_t(::testing::UnitTest::GetInstance()->random_seed()));
  SERIAL_TIMEOUTS timeouts = {};
  timeouts.WriteTotalTimeoutConstant = 1;  // a timer racing too
  ASSERT_EQ(control(IOCTL_SERIAL_SET_TIMEOUTS, timeouts).status, STATUS_SUCCESS);
  int outcomes[3] = {};
  for (int round = 0; round < 400 && !HasFailure(); ++round) {
    adapter->model->holdBulkOut(true);
    app::Request write = port.writeAsync(std::vector<uint8_t>(1 + random() % 300, uint8_t(round)));
    int releaseDelay = int(random() % 400), cancelDelay = int(random() % 400);
    std::thread device([&] {
      spin(releaseDelay);
      adapter->model->holdBulkOut(false);
    });
    std::thread canceller([&] {
      spin(cancelDelay);
      write.cancel();
    });
    device.join();
    canceller.join();
    app::Result result = write.wait(5 * sim::kSecond);
    ASSERT_TRUE(write.done()) << "round " << round;
    if (result.status == STATUS_SUCCESS) ++outcomes[0];
    else if (result.status == STATUS_CANCELLED) ++outcomes[1];
    else if (result.status == STATUS_TIMEOUT) ++outcomes[2];
    else ADD_FAILURE() << "status " << result.status;
  }
  ASSERT_TRUE(sim::runUntil([this] { return KeReadStateEvent(&c->txIdle) != 0; }, 5 * sim::kSecond));
  EXPECT_EQ(c->charsQueued, 0u);
  std::printf("[ figure   ] %d succeeded, %d cancelled, %d timed out\n", outcomes[0], outcomes[1], outcomes[2]);
}

// A write cancelled just as its start DPC runs: the cancel routine and the
// DPC meet, and the second ends it. The cancel routine once reached for the
// write's DPC after the DPC had freed the write; with freed pool handed
// straight to the next write (another thread's), it removed that write's
// start DPC and completed the cancelled request a second time.
TEST_F(WriteRaceTest, AWriteCancelledAsItStartsEndsOnceWhileItsContextIsReused) {
  std::atomic<int> cancelled = 0, unexpected = 0, stuck = 0;
  auto writer = [&](uint32_t seed) {
    std::mt19937 random(seed);
    std::deque<app::Request> inFlight;
    auto settle = [&] {
      app::Result result = inFlight.front().wait(5 * sim::kSecond);
      if (!inFlight.front().done()) ++stuck;
      if (result.status == STATUS_CANCELLED) ++cancelled;
      else if (result.status != STATUS_SUCCESS) ++unexpected;
      inFlight.pop_front();
    };
    for (int round = 0; round < 10000; ++round) {
      inFlight.push_back(port.writeAsync(std::vector<uint8_t>(1 + random() % 64, uint8_t(round))));
      inFlight[random() % inFlight.size()].cancel();
      if (inFlight.size() > 4) settle();
    }
    while (!inFlight.empty()) settle();
  };
  uint32_t seed = uint32_t(::testing::UnitTest::GetInstance()->random_seed());
  // The far end talks meanwhile, so that start DPCs wait behind its
  // completions and a cancel often finds one still queued or just running.
  std::atomic<bool> writing = true;
  std::thread device([&] {
    while (writing) {
      if (adapter->model->pendingBulkInBytes() < 16384) adapter->model->sendBulkIn(std::vector<uint8_t>(512, 0x55));
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> writers;
  for (uint32_t i = 0; i < 3; ++i) writers.emplace_back(writer, seed + i);
  for (auto& t : writers) t.join();
  writing = false;
  device.join();
  EXPECT_EQ(stuck, 0);
  EXPECT_EQ(unexpected, 0);
  ASSERT_TRUE(sim::runUntil([this] { return KeReadStateEvent(&c->txIdle) != 0; }, 5 * sim::kSecond));
  EXPECT_EQ(c->charsQueued, 0u);
  std::printf("[ figure   ] %d of 30000 writes cancelled\n", cancelled.load());
}

}  // namespace
