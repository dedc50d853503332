// Tests of the simulated kernel: a smoke test of Concurrent mode, where DPCs,
// timers and scheduled events run on worker threads in real time. The only
// test that takes real time; it stays well under a second.
#include "support/sim_test.h"

#include <atomic>
#include <thread>

namespace {

struct Signals {
  KEVENT dpcRan, timerFired, eventRan, never;
  KDPC dpc, timerDpc;
  KTIMER timer;
  std::atomic<std::thread::id> dpcThread{}, timerThread{};
  std::atomic<int> dpcIrql{-1};
};

void onDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto s = static_cast<Signals*>(context);
  s->dpcThread = std::this_thread::get_id();
  s->dpcIrql = KeGetCurrentIrql();
  KeSetEvent(&s->dpcRan, IO_NO_INCREMENT, FALSE);
}

void onTimer(PKDPC, PVOID context, PVOID, PVOID) {
  auto s = static_cast<Signals*>(context);
  s->timerThread = std::this_thread::get_id();
  KeSetEvent(&s->timerFired, IO_NO_INCREMENT, FALSE);
}

NTSTATUS waitMs(KEVENT& event, int64_t ms) {
  LARGE_INTEGER timeout{.QuadPart = -ms * sim::kMs};
  return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
}

using ConcurrentTest = SimTest;

TEST_F(ConcurrentTest, DpcsTimersAndWaitsRunInRealTimeOnWorkers) {
  sim::boot({.mode = sim::Mode::Concurrent, .seed = sim::seed(), .workerThreads = 2});
  Signals s;
  for (KEVENT* e : {&s.dpcRan, &s.timerFired, &s.eventRan, &s.never}) KeInitializeEvent(e, NotificationEvent, FALSE);
  KeInitializeDpc(&s.dpc, onDpc, &s);
  KeInitializeDpc(&s.timerDpc, onTimer, &s);
  KeInitializeTimer(&s.timer);

  KeInsertQueueDpc(&s.dpc, nullptr, nullptr);
  ASSERT_EQ(waitMs(s.dpcRan, 2000), STATUS_SUCCESS);
  EXPECT_NE(s.dpcThread.load(), std::this_thread::get_id());
  EXPECT_EQ(s.dpcIrql.load(), DISPATCH_LEVEL);

  int64_t start = sim::now();
  KeSetTimer(&s.timer, LARGE_INTEGER{.QuadPart = -5 * sim::kMs}, &s.timerDpc);
  ASSERT_EQ(waitMs(s.timerFired, 2000), STATUS_SUCCESS);
  // On the real clock's tick: the first multiple of the increment since boot after the 5 ms.
  int64_t tick = KeQueryTimeIncrement();
  EXPECT_GE(sim::now(), (start + 5 * sim::kMs + tick - 1) / tick * tick);
  EXPECT_NE(s.timerThread.load(), std::this_thread::get_id());

  sim::schedule(1 * sim::kMs, [&] { KeSetEvent(&s.eventRan, IO_NO_INCREMENT, FALSE); });
  EXPECT_EQ(waitMs(s.eventRan, 2000), STATUS_SUCCESS);

  start = sim::now();
  EXPECT_EQ(waitMs(s.never, 20), STATUS_TIMEOUT);
  int64_t waited = sim::now() - start;
  EXPECT_GE(waited, 20 * sim::kMs);
  EXPECT_LT(waited, 1 * sim::kSecond);

  sim::shutdown();
}

}  // namespace
