// Tests: writes that end in a race, on the Concurrent kernel (worker threads,
// real time, a 1 ms clock tick). A write cancelled while the device takes its
// bytes, or while its timer fires, is completed exactly once (the verifier
// stops a second completion), its context is freed once, and charsQueued
// returns to 0.
#include "open_port_fixture.h"

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

namespace {

class WriteRaceTest : public OpenPortTest {
 protected:
  void SetUp() override { openOnRealThreads(10000); }
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

}  // namespace
