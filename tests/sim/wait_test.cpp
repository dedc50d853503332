// Tests of the simulated kernel: events and waits on the virtual clock. A wait
// that times out costs exactly its timeout, a wait satisfied by a device event
// returns at that event's time, and a wait nothing can satisfy is a deadlock
// stop instead of a hang.
#include "fragment.h"

namespace {

using WaitTest = SimTest;

NTSTATUS waitFor(KEVENT& event, std::optional<int64_t> timeout100ns) {
  LARGE_INTEGER t;
  if (timeout100ns) t.QuadPart = *timeout100ns;
  return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, timeout100ns ? &t : nullptr);
}

TEST_F(WaitTest, TimeoutCostsExactlyTheTimeoutOnTheVirtualClock) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  sim::advance(3 * sim::kMs);
  EXPECT_EQ(waitFor(event, -3 * sim::kSecond), STATUS_TIMEOUT);
  EXPECT_EQ(sim::now(), 3 * sim::kMs + 3 * sim::kSecond);

  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  EXPECT_EQ(waitFor(event, now.QuadPart + 50 * sim::kMs), STATUS_TIMEOUT);  // absolute
  EXPECT_EQ(sim::now(), 3 * sim::kMs + 3 * sim::kSecond + 50 * sim::kMs);
}

TEST_F(WaitTest, WaitSatisfiedByAScheduledEventReturnsAtThatTime) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  sim::schedule(7 * sim::kMs, [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
  EXPECT_EQ(waitFor(event, -1 * sim::kSecond), STATUS_SUCCESS);
  EXPECT_EQ(sim::now(), 7 * sim::kMs);
}

TEST_F(WaitTest, WaitRunsEverythingDueBeforeItInTimeOrder) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  std::vector<int64_t> ranAt;
  sim::schedule(20 * sim::kMs, [&] {
    ranAt.push_back(sim::now());
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  });
  sim::schedule(10 * sim::kMs, [&] { ranAt.push_back(sim::now()); });
  sim::schedule(30 * sim::kMs, [&] { ranAt.push_back(sim::now()); });
  EXPECT_EQ(waitFor(event, std::nullopt), STATUS_SUCCESS);
  EXPECT_EQ(ranAt, (std::vector<int64_t>{10 * sim::kMs, 20 * sim::kMs}));  // not the later one yet
  sim::advance(10 * sim::kMs);
  EXPECT_EQ(ranAt.size(), 3u);
}

TEST_F(WaitTest, SynchronizationEventReleasesOneWaitAndResets) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  EXPECT_EQ(waitFor(event, 0), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(waitFor(event, 0), STATUS_TIMEOUT);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(waitFor(event, -1 * sim::kMs), STATUS_SUCCESS);
  EXPECT_EQ(sim::now(), 0);  // already signalled: no time passes
}

TEST_F(WaitTest, NotificationEventStaysSignalledUntilReset) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);  // the previous state
  EXPECT_EQ(waitFor(event, 0), STATUS_SUCCESS);
  EXPECT_EQ(waitFor(event, -1 * sim::kMs), STATUS_SUCCESS);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(waitFor(event, 0), STATUS_TIMEOUT);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&event);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(WaitTest, PollingWithZeroTimeoutIsAllowedAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(waitFor(event, 0), STATUS_TIMEOUT);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(waitFor(event, 0), STATUS_SUCCESS);
  KeLowerIrql(old);
}

TEST_F(WaitTest, DelayExecutionAdvancesTheClockAndRunsWhatFallsDue) {
  bool ran = false;
  sim::schedule(100 * sim::kMs, [&] { ran = true; });
  LARGE_INTEGER interval{.QuadPart = -250 * sim::kMs};
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
  EXPECT_EQ(sim::now(), 250 * sim::kMs);
  EXPECT_TRUE(ran);
}

TEST_F(WaitTest, WaitThatNothingCanSatisfyIsADeadlockStop) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  sim::schedule(5 * sim::kMs, [] {});  // pending work does not satisfy the wait
  EXPECT_VERIFIER_STOP(waitFor(event, std::nullopt), "deadlock");
  EXPECT_EQ(sim::now(), 5 * sim::kMs);
  EXPECT_VERIFIER_STOP(sim::runUntil([] { return false; }), "deadlock");
}

// Re-initialising an object a thread is blocked on throws away its wait list
// on the platform: the waiter is never woken, or the list is corrupted.
TEST_F(WaitTest, ReinitialisingAnEventOrTimerAThreadWaitsOnIsAStop) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  sim::schedule(sim::kMs, [&] { KeInitializeEvent(&event, SynchronizationEvent, FALSE); });
  EXPECT_VERIFIER_STOP(waitFor(event, -sim::kSecond), "re-initialises an event that a thread is waiting on");

  KTIMER timer;
  KeInitializeTimer(&timer);
  sim::schedule(sim::kMs, [&] { KeInitializeTimer(&timer); });
  LARGE_INTEGER timeout{.QuadPart = -sim::kSecond};
  EXPECT_VERIFIER_STOP(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &timeout),
                       "re-initialises a timer that a thread is waiting on");

  // Once the wait is over, however it ended, the object may be initialised again.
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  EXPECT_EQ(waitFor(event, -sim::kSecond), STATUS_SUCCESS);
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KeInitializeTimer(&timer);
}

}  // namespace
