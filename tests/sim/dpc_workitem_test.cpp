// Tests of the simulated kernel: DPCs and work items. A DPC queued twice runs
// once, runs at DISPATCH_LEVEL as soon as the IRQL drops, and can be removed
// before it runs; a work item runs later at PASSIVE_LEVEL from the kernel loop.
#include "fragment.h"

namespace {

struct CountingDpc {
  KDPC dpc;
  int runs = 0;
  KIRQL irql = PASSIVE_LEVEL;
  PVOID arg1 = nullptr;

  CountingDpc() { KeInitializeDpc(&dpc, onDpc, this); }
  static void onDpc(PKDPC, PVOID context, PVOID a1, PVOID) {
    auto self = static_cast<CountingDpc*>(context);
    ++self->runs;
    self->irql = KeGetCurrentIrql();
    self->arg1 = a1;
  }
};

using DpcTest = SimTest;

TEST_F(DpcTest, QueuedTwiceBeforeItRunsItRunsOnceWithTheFirstArguments) {
  CountingDpc d;
  int first = 1, second = 2;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_TRUE(KeInsertQueueDpc(&d.dpc, &first, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&d.dpc, &second, nullptr));
  EXPECT_EQ(d.runs, 0);  // not while this thread is at DISPATCH_LEVEL
  KeLowerIrql(old);
  EXPECT_EQ(d.runs, 1);
  EXPECT_EQ(d.irql, DISPATCH_LEVEL);
  EXPECT_EQ(d.arg1, &first);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(DpcTest, QueuedAtPassiveLevelItRunsBeforeTheCallReturns) {
  CountingDpc d;
  EXPECT_TRUE(KeInsertQueueDpc(&d.dpc, nullptr, nullptr));
  EXPECT_EQ(d.runs, 1);
  EXPECT_EQ(d.irql, DISPATCH_LEVEL);
}

TEST_F(DpcTest, QueuedUnderASpinLockItRunsWhenTheLockIsReleased) {
  CountingDpc d;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KeInsertQueueDpc(&d.dpc, nullptr, nullptr);
  EXPECT_EQ(d.runs, 0);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(d.runs, 1);
}

TEST_F(DpcTest, RemovedBeforeItRunsItNeverRuns) {
  CountingDpc d;
  EXPECT_FALSE(KeRemoveQueueDpc(&d.dpc));  // not queued
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeInsertQueueDpc(&d.dpc, nullptr, nullptr);
  EXPECT_TRUE(KeRemoveQueueDpc(&d.dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&d.dpc));
  KeLowerIrql(old);
  sim::advance(1 * sim::kMs);
  EXPECT_EQ(d.runs, 0);
  EXPECT_TRUE(KeInsertQueueDpc(&d.dpc, nullptr, nullptr));  // and can be queued again
  EXPECT_EQ(d.runs, 1);
}

TEST_F(DpcTest, DpcsRunInTheOrderTheyWereQueued) {
  std::vector<int> order;
  struct Step {
    KDPC dpc;
    int id;
    std::vector<int>* order;
  } a{{}, 1, &order}, b{{}, 2, &order}, c{{}, 3, &order};
  for (Step* s : {&a, &b, &c})
    KeInitializeDpc(
        &s->dpc,
        [](PKDPC, PVOID x, PVOID, PVOID) {
          auto step = static_cast<Step*>(x);
          step->order->push_back(step->id);
        },
        s);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  for (Step* s : {&b, &a, &c}) KeInsertQueueDpc(&s->dpc, nullptr, nullptr);
  KeLowerIrql(old);
  EXPECT_EQ(order, (std::vector<int>{2, 1, 3}));
}

// A stop inside a DPC must not leave this thread unable to run DPCs after a
// reboot: later tests in the same process rely on DPCs running when IRQL drops.
TEST_F(DpcTest, DpcRoutineReturningWithALockHeldIsStoppedAndTheThreadRecovers) {
  static KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KDPC broken;
  KeInitializeDpc(
      &broken, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
  EXPECT_VERIFIER_STOP(KeInsertQueueDpc(&broken, nullptr, nullptr), "DPC routine: returned holding a spin lock");
  sim::boot();

  CountingDpc d;
  KeInsertQueueDpc(&d.dpc, nullptr, nullptr);
  EXPECT_EQ(d.runs, 1);
}

// Work items need a device object: the fragment driver provides one.
class WorkItemTest : public FragmentTest {
 protected:
  struct Seen {
    int runs = 0;
    KIRQL irql = HIGH_LEVEL;
    PDEVICE_OBJECT device = nullptr;
    PIO_WORKITEM item = nullptr;
    KDPC dpc;
  };
  static void workRoutine(PDEVICE_OBJECT device, PVOID context) {
    auto seen = static_cast<Seen*>(context);
    ++seen->runs;
    seen->irql = KeGetCurrentIrql();
    seen->device = device;
  }
};

TEST_F(WorkItemTest, QueuedFromADpcItRunsLaterAtPassiveLevel) {
  PDEVICE_OBJECT device = addDevice();
  Seen seen;
  seen.item = IoAllocateWorkItem(device);
  ASSERT_NE(seen.item, nullptr);
  KeInitializeDpc(
      &seen.dpc,
      [](PKDPC, PVOID context, PVOID, PVOID) {
        auto s = static_cast<Seen*>(context);
        IoQueueWorkItem(s->item, workRoutine, DelayedWorkQueue, s);
      },
      &seen);
  KeInsertQueueDpc(&seen.dpc, nullptr, nullptr);
  EXPECT_EQ(seen.runs, 0);  // queued, not run inside the DPC
  sim::runReady();
  EXPECT_EQ(seen.runs, 1);
  EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
  EXPECT_EQ(seen.device, device);

  IoQueueWorkItem(seen.item, workRoutine, DelayedWorkQueue, &seen);  // reusable once it ran
  sim::runReady();
  EXPECT_EQ(seen.runs, 2);
  IoFreeWorkItem(seen.item);
}

TEST_F(WorkItemTest, FreeingAQueuedWorkItemIsStopped) {
  Seen seen;
  seen.item = IoAllocateWorkItem(addDevice());
  IoQueueWorkItem(seen.item, workRoutine, DelayedWorkQueue, &seen);
  EXPECT_VERIFIER_STOP(IoFreeWorkItem(seen.item), "still queued");
  EXPECT_VERIFIER_STOP(IoQueueWorkItem(seen.item, workRoutine, DelayedWorkQueue, &seen), "already queued");
  sim::runReady();
  IoFreeWorkItem(seen.item);
  EXPECT_EQ(seen.runs, 1);
}

}  // namespace
