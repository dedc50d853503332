// Tests of the simulated kernel: timers on the virtual clock. Relative and
// absolute due times fire exactly when due, cancel and re-set report whether
// the timer was pending, and ties fire in the order they were set.
#include "support/sim_test.h"

namespace {

struct TimerWithDpc {
  KTIMER timer;
  KDPC dpc;
  std::vector<int64_t> firedAt;  // sim::now() of each DPC run
  KIRQL irqlInDpc = PASSIVE_LEVEL;

  TimerWithDpc() {
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, onDpc, this);
  }
  static void onDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto self = static_cast<TimerWithDpc*>(context);
    self->firedAt.push_back(sim::now());
    self->irqlInDpc = KeGetCurrentIrql();
  }
  BOOLEAN set(int64_t due100ns) { return KeSetTimer(&timer, LARGE_INTEGER{.QuadPart = due100ns}, &dpc); }
};

using TimerTest = SimTest;

TEST_F(TimerTest, RelativeTimerFiresExactlyWhenDue) {
  TimerWithDpc t;
  EXPECT_FALSE(t.set(-50 * sim::kMs));
  sim::advance(49 * sim::kMs);
  EXPECT_TRUE(t.firedAt.empty());
  EXPECT_FALSE(KeReadStateTimer(&t.timer));
  EXPECT_EQ(sim::now(), 49 * sim::kMs);

  sim::advance(1 * sim::kMs);
  EXPECT_EQ(t.firedAt, (std::vector<int64_t>{50 * sim::kMs}));
  EXPECT_EQ(t.irqlInDpc, DISPATCH_LEVEL);
  EXPECT_TRUE(KeReadStateTimer(&t.timer));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  sim::advance(1 * sim::kSecond);
  EXPECT_EQ(t.firedAt.size(), 1u);  // a one-shot timer
}

TEST_F(TimerTest, AbsoluteDueTimeIsOnTheSystemClock) {
  sim::advance(7 * sim::kMs);
  LARGE_INTEGER start;
  KeQuerySystemTime(&start);
  TimerWithDpc t;
  t.set(start.QuadPart + 30 * sim::kMs);
  sim::advance(30 * sim::kMs - 1);
  EXPECT_TRUE(t.firedAt.empty());
  sim::advance(1);
  EXPECT_EQ(t.firedAt, (std::vector<int64_t>{37 * sim::kMs}));

  LARGE_INTEGER later;
  KeQuerySystemTime(&later);
  EXPECT_EQ(later.QuadPart - start.QuadPart, 30 * sim::kMs);
  EXPECT_EQ(KeQueryInterruptTime(), ULONGLONG(37 * sim::kMs));
}

TEST_F(TimerTest, AbsoluteDueTimeInThePastFiresAtOnce) {
  sim::advance(10 * sim::kMs);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  TimerWithDpc t;
  t.set(now.QuadPart - 5 * sim::kMs);
  sim::runReady();
  EXPECT_EQ(t.firedAt, (std::vector<int64_t>{10 * sim::kMs}));
}

TEST_F(TimerTest, CancelReportsWhetherTheTimerWasPending) {
  TimerWithDpc t;
  EXPECT_FALSE(KeCancelTimer(&t.timer));  // never set

  t.set(-10 * sim::kMs);
  EXPECT_TRUE(KeCancelTimer(&t.timer));
  EXPECT_FALSE(KeCancelTimer(&t.timer));
  sim::advance(20 * sim::kMs);
  EXPECT_TRUE(t.firedAt.empty());

  t.set(-10 * sim::kMs);
  sim::advance(10 * sim::kMs);
  ASSERT_EQ(t.firedAt.size(), 1u);
  EXPECT_FALSE(KeCancelTimer(&t.timer));  // already fired
}

TEST_F(TimerTest, ResettingAPendingTimerMovesItsDueTime) {
  TimerWithDpc t;
  EXPECT_FALSE(t.set(-10 * sim::kMs));
  sim::advance(5 * sim::kMs);
  EXPECT_TRUE(t.set(-10 * sim::kMs));  // was pending
  sim::advance(10 * sim::kMs - 1);
  EXPECT_TRUE(t.firedAt.empty());
  sim::advance(1 * sim::kSecond);
  EXPECT_EQ(t.firedAt, (std::vector<int64_t>{15 * sim::kMs}));  // once, at the new time
  EXPECT_FALSE(t.set(-1 * sim::kMs));                           // fired: not pending
  EXPECT_TRUE(KeCancelTimer(&t.timer));
}

TEST_F(TimerTest, TimersDueTogetherFireInTheOrderTheyWereSet) {
  std::vector<int> order;
  struct Tagged {
    TimerWithDpc t;
    int id;
    std::vector<int>* order;
  };
  Tagged a{{}, 1, &order}, b{{}, 2, &order}, c{{}, 3, &order};
  auto record = [](PKDPC, PVOID context, PVOID, PVOID) {
    auto self = static_cast<Tagged*>(context);
    self->order->push_back(self->id);
  };
  for (Tagged* x : {&b, &c, &a}) {
    KeInitializeDpc(&x->t.dpc, record, x);
    x->t.set(-20 * sim::kMs);
  }
  sim::advance(20 * sim::kMs);
  EXPECT_EQ(order, (std::vector<int>{2, 3, 1}));
}

TEST_F(TimerTest, WaitingOnATimerReturnsWhenItFires) {
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  KeSetTimer(&timer, LARGE_INTEGER{.QuadPart = -25 * sim::kMs}, nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(sim::now(), 25 * sim::kMs);
  // A synchronization timer releases one waiter and resets.
  LARGE_INTEGER poll{.QuadPart = 0};
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

}  // namespace
