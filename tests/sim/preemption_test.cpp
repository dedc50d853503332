// Tests of the simulated kernel: preemption points. Work that is ready (a DPC
// queued for another processor, a timer or device event that is due) runs at
// a pinned point, between two steps of the thread, and not before; work that
// may wait never runs there.
#include "fragment.h"

namespace {

using sim::PreemptionPoint;

struct Order {
  std::vector<std::string> steps;
  static void dpc(PKDPC, PVOID context, PVOID, PVOID) { static_cast<Order*>(context)->steps.push_back("dpc"); }
};

class PreemptionTest : public SimTest {
 protected:
  // Queues a DPC at DISPATCH_LEVEL under a spin lock, lets the lock go (a
  // point), notes it, then lowers the IRQL (where the DPC runs at the latest).
  std::vector<std::string> releaseWithQueuedDpc() {
    Order order;
    KDPC dpc;
    KeInitializeDpc(&dpc, Order::dpc, &order);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeReleaseSpinLockFromDpcLevel(&lock);
    order.steps.push_back("released");
    KeLowerIrql(old);
    return order.steps;
  }
};

TEST_F(PreemptionTest, AnotherProcessorsDpcRunsAtAPinnedSpinLockReleaseAndNotBefore) {
  EXPECT_EQ(releaseWithQueuedDpc(), (std::vector<std::string>{"released", "dpc"})) << "no point is taken unpinned";
  sim::preemption::pin(PreemptionPoint::SpinLockReleased, 1);
  EXPECT_EQ(releaseWithQueuedDpc(), (std::vector<std::string>{"dpc", "released"}));
  EXPECT_EQ(sim::preemption::stats().taken, 1u);
}

TEST_F(PreemptionTest, ADeviceEventLandsBetweenTwoPassiveStepsAtAPinnedEventSet) {
  std::vector<std::string> steps;
  sim::scheduleDeviceEvent(0, [&] { steps.push_back("device"); });
  sim::schedule(0, [&] { steps.push_back("kernel thread"); });
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  sim::preemption::pin(PreemptionPoint::EventSet, 2);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  steps.push_back("first set");
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  steps.push_back("second set");
  sim::runReady();
  EXPECT_EQ(steps, (std::vector<std::string>{"first set", "device", "second set", "kernel thread"}))
      << "work that may wait runs only when the thread waits";
}

TEST_F(PreemptionTest, APinnedPointMovesTheClockToATimerDueWithinAQuantum) {
  Order order;
  KDPC dpc;
  KeInitializeDpc(&dpc, Order::dpc, &order);
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER due;
  due.QuadPart = -5 * sim::kMs;
  KeSetTimer(&timer, due, &dpc);
  int64_t before = sim::now();
  sim::preemption::pin(PreemptionPoint::IrqlLowered, 1);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeLowerIrql(old);
  order.steps.push_back("lowered");
  EXPECT_EQ(order.steps, (std::vector<std::string>{"dpc", "lowered"}));
  EXPECT_GE(sim::now() - before, 5 * sim::kMs);
  EXPECT_EQ(sim::preemption::stats().clockMoves, 1u);
}

TEST_F(PreemptionTest, NoPointRunsWorkWhileASpinLockIsHeld) {
  Order order;
  KDPC dpc;
  KeInitializeDpc(&dpc, Order::dpc, &order);
  KSPIN_LOCK outer, inner;
  KeInitializeSpinLock(&outer);
  KeInitializeSpinLock(&inner);
  KIRQL old;
  KeAcquireSpinLock(&outer, &old);
  KeAcquireSpinLockAtDpcLevel(&inner);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  sim::preemption::pin(PreemptionPoint::SpinLockReleased, 1);
  KeReleaseSpinLockFromDpcLevel(&inner);  // outer still held: not a point that counts
  order.steps.push_back("inner released");
  KeReleaseSpinLockFromDpcLevel(&outer);  // the pinned point
  order.steps.push_back("outer released");
  KeLowerIrql(old);
  EXPECT_EQ(order.steps, (std::vector<std::string>{"inner released", "dpc", "outer released"}));
}

TEST_F(PreemptionTest, TheSeedsPercentageTakesPointsWithoutPins) {
  sim::boot({.seed = 5, .preemptionPercent = 100});
  EXPECT_EQ(releaseWithQueuedDpc(), (std::vector<std::string>{"dpc", "released"}));
  sim::boot({.seed = 5, .preemptionPercent = 0});
  EXPECT_EQ(releaseWithQueuedDpc(), (std::vector<std::string>{"released", "dpc"}));
}

}  // namespace
