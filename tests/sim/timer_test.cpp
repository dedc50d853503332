// Tests of the simulated kernel: timers on the virtual clock. Relative and
// absolute due times expire on the first clock tick at or after them (15.625 ms
// by default, settable at boot), cancel and re-set report whether the timer was
// pending, and timers on one tick fire in due order, ties in the order set.
#include "support/sim_test.h"

#include <array>
#include <functional>
#include <memory>
#include <string>

namespace {

constexpr int64_t kTick = 156250;  // the default time increment

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
  // An absolute due time, given as time since boot.
  BOOLEAN setAt(int64_t sinceBoot100ns) {
    LARGE_INTEGER bootTime;
    KeQuerySystemTime(&bootTime);
    return set(bootTime.QuadPart - sim::now() + sinceBoot100ns);
  }
};

using TimerTest = SimTest;

TEST_F(TimerTest, RelativeTimerFiresOnTheFirstTickAfterItsDueTime) {
  EXPECT_EQ(KeQueryTimeIncrement(), ULONG(kTick));
  TimerWithDpc t;
  EXPECT_FALSE(t.set(-50 * sim::kMs));
  EXPECT_EQ(t.timer.DueTime.QuadPart, ULONGLONG(50 * sim::kMs)) << "the due time asked for, not the tick";
  sim::advance(50 * sim::kMs);
  EXPECT_TRUE(t.firedAt.empty()) << "due, but the clock has not ticked";
  EXPECT_FALSE(KeReadStateTimer(&t.timer));

  sim::advance(4 * kTick - 1 - sim::now());
  EXPECT_TRUE(t.firedAt.empty());
  sim::advance(1);
  EXPECT_EQ(t.firedAt, (std::vector<int64_t>{4 * kTick}));  // 62.5 ms
  EXPECT_EQ(t.irqlInDpc, DISPATCH_LEVEL);
  EXPECT_TRUE(KeReadStateTimer(&t.timer));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  sim::advance(1 * sim::kSecond);
  EXPECT_EQ(t.firedAt.size(), 1u);  // a one-shot timer
}

// Relative from boot (on a tick) and absolute: one before a tick, on it, one after.
TEST_F(TimerTest, DueTimesJustBeforeOnAndAfterATick) {
  TimerWithDpc before, on, after, absBefore, absOn, absAfter;
  before.set(-(kTick - 1));
  on.set(-kTick);
  after.set(-(kTick + 1));
  absBefore.setAt(3 * kTick - 1);
  absOn.setAt(3 * kTick);
  absAfter.setAt(3 * kTick + 1);
  sim::advance(5 * kTick);
  EXPECT_EQ(before.firedAt, (std::vector<int64_t>{kTick}));
  EXPECT_EQ(on.firedAt, (std::vector<int64_t>{kTick})) << "a due time on a tick fires on that tick";
  EXPECT_EQ(after.firedAt, (std::vector<int64_t>{2 * kTick}));
  EXPECT_EQ(absBefore.firedAt, (std::vector<int64_t>{3 * kTick}));
  EXPECT_EQ(absOn.firedAt, (std::vector<int64_t>{3 * kTick}));
  EXPECT_EQ(absAfter.firedAt, (std::vector<int64_t>{4 * kTick}));
}

TEST_F(TimerTest, MinusOneIsTheNextTick) {
  TimerWithDpc t;
  t.set(-1);  // at boot, on a tick: the tick after
  sim::advance(kTick);
  EXPECT_EQ(t.firedAt, (std::vector<int64_t>{kTick}));

  sim::advance(3 * sim::kMs);  // between ticks
  t.set(-1);
  sim::advance(kTick);
  EXPECT_EQ(t.firedAt, (std::vector<int64_t>{kTick, 2 * kTick}));
}

// The driver's interval timeout re-arms with -1 from its DPC: each round costs
// a tick, not 100 ns of virtual time.
TEST_F(TimerTest, ATimerReArmedWithMinusOneFromItsDpcAdvancesATickARound) {
  struct Rearming {
    KTIMER timer;
    KDPC dpc;
    int rounds = 0;
  } r;
  KeInitializeTimer(&r.timer);
  KeInitializeDpc(
      &r.dpc,
      [](PKDPC, PVOID context, PVOID, PVOID) {
        auto self = static_cast<Rearming*>(context);
        if (++self->rounds < 5) KeSetTimer(&self->timer, LARGE_INTEGER{.QuadPart = -1}, &self->dpc);
      },
      &r);
  sim::advance(5 * sim::kMs);
  KeSetTimer(&r.timer, LARGE_INTEGER{.QuadPart = -1}, &r.dpc);
  ASSERT_TRUE(sim::runUntil([&] { return r.rounds == 5; }, 1 * sim::kSecond));
  EXPECT_EQ(sim::now(), 5 * kTick);
}

TEST_F(TimerTest, AbsoluteDueTimeIsOnTheSystemClock) {
  sim::advance(7 * sim::kMs);
  LARGE_INTEGER start;
  KeQuerySystemTime(&start);
  TimerWithDpc t;
  t.set(start.QuadPart + 30 * sim::kMs);  // due at 37 ms: the 46.875 ms tick
  EXPECT_EQ(t.timer.DueTime.QuadPart, ULONGLONG(37 * sim::kMs));
  sim::advance(3 * kTick - 1 - sim::now());
  EXPECT_TRUE(t.firedAt.empty());
  sim::advance(1);
  EXPECT_EQ(t.firedAt, (std::vector<int64_t>{3 * kTick}));

  LARGE_INTEGER later;
  KeQuerySystemTime(&later);
  EXPECT_EQ(later.QuadPart - start.QuadPart, 3 * kTick - 7 * sim::kMs);
  EXPECT_EQ(KeQueryInterruptTime(), ULONGLONG(3 * kTick));
}

TEST_F(TimerTest, AbsoluteDueTimeInThePastFiresAtOnceNotOnTheNextTick) {
  sim::advance(10 * sim::kMs);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  TimerWithDpc t;
  t.set(now.QuadPart - 5 * sim::kMs);
  sim::runReady();
  EXPECT_EQ(t.firedAt, (std::vector<int64_t>{10 * sim::kMs}));
}

TEST_F(TimerTest, CancelBeforeTheTickWinsEvenAfterTheDueTime) {
  TimerWithDpc t;
  EXPECT_FALSE(KeCancelTimer(&t.timer));  // never set

  t.set(-10 * sim::kMs);
  EXPECT_TRUE(KeCancelTimer(&t.timer));
  EXPECT_FALSE(KeCancelTimer(&t.timer));
  sim::advance(2 * kTick);
  EXPECT_TRUE(t.firedAt.empty());

  t.set(-10 * sim::kMs);  // due at 41.25 ms, expires on the 46.875 ms tick
  sim::advance(12 * sim::kMs);
  EXPECT_FALSE(KeReadStateTimer(&t.timer));
  EXPECT_TRUE(KeCancelTimer(&t.timer)) << "past its due time, before its tick: still pending";
  sim::advance(1 * sim::kSecond);
  EXPECT_TRUE(t.firedAt.empty());
  EXPECT_FALSE(KeReadStateTimer(&t.timer));

  t.set(-10 * sim::kMs);
  sim::advance(10 * sim::kMs + kTick);  // at most a tick after the due time
  ASSERT_EQ(t.firedAt.size(), 1u);
  EXPECT_FALSE(KeCancelTimer(&t.timer)) << "its tick has fired";
  EXPECT_TRUE(KeReadStateTimer(&t.timer));
}

TEST_F(TimerTest, ResettingAPendingTimerMovesItsDueTime) {
  TimerWithDpc t;
  EXPECT_FALSE(t.set(-10 * sim::kMs));  // the 15.625 ms tick
  sim::advance(5 * sim::kMs);
  EXPECT_TRUE(t.set(-20 * sim::kMs));  // was pending; now due at 25 ms, the 31.25 ms tick
  EXPECT_FALSE(KeReadStateTimer(&t.timer));
  sim::advance(2 * kTick - 1 - sim::now());
  EXPECT_TRUE(t.firedAt.empty()) << "the first tick passed without it";
  sim::advance(1 * sim::kSecond);
  EXPECT_EQ(t.firedAt, (std::vector<int64_t>{2 * kTick}));  // once, at the new time
  EXPECT_FALSE(t.set(-1 * sim::kMs));                        // fired: not pending
  EXPECT_FALSE(KeReadStateTimer(&t.timer)) << "re-setting clears the signal";
  EXPECT_TRUE(KeCancelTimer(&t.timer));
}

TEST_F(TimerTest, TimersOnOneTickFireInDueOrderTiesInTheOrderSet) {
  std::vector<int> order;
  struct Tagged {
    TimerWithDpc t;
    int id;
    std::vector<int>* order;
  };
  Tagged a{{}, 1, &order}, b{{}, 2, &order}, c{{}, 3, &order}, d{{}, 4, &order};
  auto record = [](PKDPC, PVOID context, PVOID, PVOID) {
    auto self = static_cast<Tagged*>(context);
    self->order->push_back(self->id);
    self->t.firedAt.push_back(sim::now());
  };
  for (Tagged* x : {&b, &c, &a, &d}) KeInitializeDpc(&x->t.dpc, record, x);
  d.t.set(-30 * sim::kMs);  // set first, due last on the tick
  for (Tagged* x : {&b, &c, &a}) x->t.set(-20 * sim::kMs);
  sim::advance(2 * kTick);
  EXPECT_EQ(order, (std::vector<int>{2, 3, 1, 4}));
  EXPECT_EQ(d.t.firedAt, a.t.firedAt) << "all on the 31.25 ms tick";
}

TEST_F(TimerTest, WaitingOnATimerReturnsOnItsTick) {
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  KeSetTimer(&timer, LARGE_INTEGER{.QuadPart = -25 * sim::kMs}, nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(sim::now(), 2 * kTick);
  // A synchronization timer releases one waiter and resets.
  LARGE_INTEGER poll{.QuadPart = 0};
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

// Only timers are rounded: device events, wait timeouts and delays stay exact.
TEST_F(TimerTest, EventsWaitTimeoutsAndDelaysAreNotRoundedToTheTick) {
  bool ran = false;
  sim::schedule(3 * sim::kMs, [&] { ran = true; });
  sim::advance(3 * sim::kMs);
  EXPECT_TRUE(ran);

  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER timeout{.QuadPart = -7 * sim::kMs};
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(sim::now(), 10 * sim::kMs);
  LARGE_INTEGER interval{.QuadPart = -1};
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
  EXPECT_EQ(sim::now(), 10 * sim::kMs + 1);
}

TEST_F(TimerTest, ATimeIncrementSetAtBootIsTheTick) {
  sim::boot({.seed = sim::seed(), .timeIncrement100ns = 1 * sim::kMs});
  EXPECT_EQ(KeQueryTimeIncrement(), ULONG(sim::kMs));
  TimerWithDpc relative, absolute, next;
  relative.set(-25 * sim::kMs / 10);  // 2.5 ms
  absolute.setAt(4 * sim::kMs);
  next.set(-1);
  sim::advance(10 * sim::kMs);
  EXPECT_EQ(relative.firedAt, (std::vector<int64_t>{3 * sim::kMs}));
  EXPECT_EQ(absolute.firedAt, (std::vector<int64_t>{4 * sim::kMs}));
  EXPECT_EQ(next.firedAt, (std::vector<int64_t>{1 * sim::kMs}));

  EXPECT_THROW(sim::boot({.timeIncrement100ns = 0}), std::invalid_argument);
}

// The longest relative due time a driver can pass must not wrap into the past.
TEST_F(TimerTest, TheLongestRelativeDueTimeNeverExpires) {
  sim::advance(1 * sim::kMs);
  TimerWithDpc t;
  t.set(-INT64_MAX);
  sim::advance(3600 * sim::kSecond);
  EXPECT_TRUE(t.firedAt.empty());
  EXPECT_TRUE(KeCancelTimer(&t.timer));
}

}  // namespace

namespace {

// Scheduled actions of every size, the time line's storage: each runs once
// with what it captured, in due order, and one still pending when the kernel
// reboots is destroyed with its captures, not leaked or run.
TEST_F(TimerTest, ScheduledActionsRunOnceWithTheirCapturesAndPendingOnesAreDroppedAtBoot) {
  auto token = std::make_shared<int>(0);
  std::vector<std::string> ran;
  std::array<uint64_t, 32> large{};  // beyond any inline storage
  large.back() = 7;
  sim::schedule(2 * sim::kMs, [&ran, token] { ran.push_back("small"); });
  sim::schedule(1 * sim::kMs, [&ran, token, large] { ran.push_back("large " + std::to_string(large.back())); });
  std::function<void()> wrapped = [&ran, token] { ran.push_back("function"); };
  sim::schedule(3 * sim::kMs, wrapped);
  EXPECT_EQ(token.use_count(), 5);
  sim::advance(3 * sim::kMs);
  EXPECT_EQ(ran, (std::vector<std::string>{"large 7", "small", "function"}));
  EXPECT_EQ(token.use_count(), 2) << "a run action keeps its captures";

  sim::schedule(sim::kSecond, [&ran, token] { ran.push_back("never"); });
  sim::schedule(sim::kSecond, [&ran, token, large] { ran.push_back("never"); });
  EXPECT_EQ(token.use_count(), 4);
  sim::boot(sim::BootOptions{});
  EXPECT_EQ(token.use_count(), 2) << "a reboot keeps the captures of the actions it dropped";
  EXPECT_EQ(ran.size(), 3u);
}

}  // namespace
