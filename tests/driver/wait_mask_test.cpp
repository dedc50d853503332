// Tests: SET_WAIT_MASK and WAIT_ON_MASK on an open port: the one armed wait,
// event history, release by a new mask, cancellation, and a wait cancelled
// while an event arrives (many times on real threads).
#include "open_port_fixture.h"

#include <atomic>
#include <random>
#include <thread>

namespace {

TEST_F(OpenPortTest, EventsWithoutAWaitStayInHistoryAndANewMaskTrimsThem) {
  ASSERT_EQ(setWaitMask(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RING).wait().status, STATUS_SUCCESS);
  locked([&] { TzSerialDeliverEvents(c, SERIAL_EV_CTS | SERIAL_EV_RING); });
  ASSERT_EQ(setWaitMask(SERIAL_EV_CTS | SERIAL_EV_DSR).wait().status, STATUS_SUCCESS);

  app::Request first = waitOnMask();
  app::Result result = first.wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 4u);
  EXPECT_EQ(waitResult(first), ULONG(SERIAL_EV_CTS)) << "RING left the mask, so it left the history";

  app::Request second = waitOnMask();
  EXPECT_FALSE(second.done()) << "the history was taken by the first wait";
  locked([&] { TzSerialDeliverEvents(c, SERIAL_EV_DSR | SERIAL_EV_RXCHAR); });
  EXPECT_EQ(second.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(waitResult(second), ULONG(SERIAL_EV_DSR)) << "only the bits of the mask are reported";
  EXPECT_EQ(c->historyMask, 0u);
  EXPECT_EQ(c->currentWaitRequest, nullptr);
}

TEST_F(OpenPortTest, ANewMaskReleasesTheArmedWaitWithZero) {
  ASSERT_EQ(setWaitMask(SERIAL_EV_RXCHAR).wait().status, STATUS_SUCCESS);
  app::Request wait = waitOnMask();
  ASSERT_FALSE(wait.done());
  EXPECT_EQ(setWaitMask(SERIAL_EV_CTS).wait().status, STATUS_SUCCESS);
  app::Result result = wait.wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 4u);
  EXPECT_EQ(waitResult(wait), 0u);
  EXPECT_EQ(c->waitMask, ULONG(SERIAL_EV_CTS));

  // The queue was not blocked by the armed wait, and a new one arms.
  app::Request next = waitOnMask();
  EXPECT_FALSE(next.done());
  EXPECT_TRUE(next.cancel());
  EXPECT_EQ(next.wait().status, STATUS_CANCELLED);
}

TEST_F(OpenPortTest, WaitOnMaskIsRefusedWithNoMaskOrWhileAnotherWaitIsArmed) {
  EXPECT_EQ(waitOnMask().wait().status, STATUS_INVALID_PARAMETER);
  ASSERT_EQ(setWaitMask(SERIAL_EV_CTS).wait().status, STATUS_SUCCESS);
  ASSERT_EQ(setWaitMask(0).wait().status, STATUS_SUCCESS);
  EXPECT_EQ(waitOnMask().wait().status, STATUS_INVALID_PARAMETER);

  ASSERT_EQ(setWaitMask(SERIAL_EV_CTS).wait().status, STATUS_SUCCESS);
  app::Request armed = waitOnMask();
  EXPECT_EQ(waitOnMask().wait().status, STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(armed.done());

  EXPECT_TRUE(armed.cancel());
  app::Result result = armed.wait();
  EXPECT_EQ(result.status, STATUS_CANCELLED);
  EXPECT_EQ(result.information, 4u) << "a wait cancelled while armed reports the result 0";
  EXPECT_EQ(c->currentWaitRequest, nullptr);
}

// An event writes the result and queues the completion; a cleanup then takes
// the wait before the completion runs. The completion must find nothing to do.
TEST_F(OpenPortTest, ACleanupThatTakesADeliveredWaitLeavesTheCompletionNothing) {
  ASSERT_EQ(setWaitMask(SERIAL_EV_CTS).wait().status, STATUS_SUCCESS);
  app::Request wait = waitOnMask();
  KIRQL oldIrql = KeRaiseIrqlToDpcLevel();
  KeAcquireSpinLockAtDpcLevel(&c->controlLock);
  TzSerialDeliverEvents(c, SERIAL_EV_CTS);
  KeReleaseSpinLockFromDpcLevel(&c->controlLock);
  TzSerialCancelAllRequests(c, nullptr);
  KeLowerIrql(oldIrql);  // the queued completion runs here
  EXPECT_EQ(wait.wait().status, STATUS_CANCELLED);

  app::Request next = waitOnMask();
  EXPECT_FALSE(next.done());
  locked([&] { TzSerialDeliverEvents(c, SERIAL_EV_CTS); });
  EXPECT_EQ(next.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(waitResult(next), ULONG(SERIAL_EV_CTS));
}

class WaitMaskRaceTest : public OpenPortTest {
 protected:
  void SetUp() override {
    sim::boot({.mode = sim::Mode::Concurrent, .seed = 11, .workerThreads = 2});
    reload();
    openPort();
  }
};

// Each round arms a wait, then an event, a cancel and sometimes a new mask
// race for it on three threads. The verifier stops a second completion; the
// result must match the status.
TEST_F(WaitMaskRaceTest, AWaitCancelledWhileAnEventArrivesCompletesOnce) {
  constexpr int kRounds = 300;
  ASSERT_EQ(setWaitMask(SERIAL_EV_CTS).wait().status, STATUS_SUCCESS);
  std::mt19937 random{uint32_t(sim::seed())};
  int succeeded = 0, cancelled = 0;
  for (int round = 0; round < kRounds; ++round) {
    app::Request wait = waitOnMask();
    ASSERT_FALSE(wait.done()) << "round " << round;
    bool newMask = random() % 4 == 0;
    // Random head starts, so each party sometimes comes first.
    int eventDelay = int(random() % 40000), cancelDelay = int(random() % 2000);
    std::atomic<int> ready{0};
    auto go = [&](int spins = 0) {
      ++ready;
      while (ready < 3) std::this_thread::yield();
      for (int i = 0; i < spins; ++i) std::atomic_signal_fence(std::memory_order_seq_cst);
    };
    std::thread event([&] {
      go(eventDelay);
      locked([&] { TzSerialDeliverEvents(c, SERIAL_EV_CTS); });
    });
    std::thread canceller([&] {
      go(cancelDelay);
      wait.cancel();
    });
    std::thread masker([&] {
      go();
      if (newMask) setWaitMask(SERIAL_EV_CTS).wait();
    });
    event.join();
    canceller.join();
    masker.join();

    app::Result result = wait.wait(5 * sim::kSecond);
    ASSERT_TRUE(wait.done()) << "round " << round << ": the wait never completed";
    EXPECT_EQ(result.information, 4u);
    if (result.status == STATUS_SUCCESS) {
      ++succeeded;
      ULONG value = waitResult(wait);
      EXPECT_TRUE(value == SERIAL_EV_CTS || (newMask && value == 0)) << "round " << round << ": " << value;
    } else {
      ++cancelled;
      EXPECT_EQ(result.status, STATUS_CANCELLED);
    }
    auto idle = [&] {
      bool none = false;
      locked([&] { none = c->currentWaitRequest == nullptr; });
      return none;
    };
    ASSERT_TRUE(sim::runUntil(idle, sim::kSecond));
    locked([&] { c->historyMask = 0; });  // an event that found no wait
  }
  EXPECT_EQ(succeeded + cancelled, kRounds);
}

}  // namespace
