// Tests of the simulated kernel: cancellation. A pending IRP's cancel routine
// runs exactly once, at DISPATCH_LEVEL with the cancel spin lock held, and an
// IRP without a cancel routine is only marked.
#include "fragment.h"

namespace {

// A device that keeps one read pending, cancellable, as a driver's read queue.
struct PendingSlot {
  PIRP irp = nullptr;
  bool cancellable = true;
  bool completeInCancelRoutine = true;
  bool releaseCancelLock = true;
  int cancelCalls = 0;
  KIRQL irqlInRoutine = HIGH_LEVEL;
  bool sawCancelFlag = false;
  bool routineAlreadyCleared = false;
  PDEVICE_OBJECT routineDevice = nullptr;

  static void onCancel(PDEVICE_OBJECT device, PIRP irp) {
    auto slot = static_cast<PendingSlot*>(irp->Tail.Overlay.DriverContext[0]);
    ++slot->cancelCalls;
    slot->irqlInRoutine = KeGetCurrentIrql();
    slot->sawCancelFlag = irp->Cancel;
    slot->routineAlreadyCleared = irp->CancelRoutine == nullptr;
    slot->routineDevice = device;
    if (!slot->releaseCancelLock) return;
    IoReleaseCancelSpinLock(irp->CancelIrql);  // a verifier stop if it were not held
    if (slot->completeInCancelRoutine) slot->completeCancelled();
  }

  void completeCancelled() {
    PIRP request = irp;
    irp = nullptr;
    frag::complete(request, STATUS_CANCELLED);
  }

  frag::Dispatch dispatch() {
    return [this](PDEVICE_OBJECT, PIRP request) {
      IoMarkIrpPending(request);
      irp = request;
      request->Tail.Overlay.DriverContext[0] = this;
      if (cancellable) IoSetCancelRoutine(request, onCancel);
      return STATUS_PENDING;
    };
  }
};

class CancelTest : public FragmentTest {
 protected:
  void SetUp() override {
    FragmentTest::SetUp();
    device = addDevice(slot.dispatch());
  }
  app::Request readAsync() { return app::sendToDevice(device, IRP_MJ_READ, 0); }

  PendingSlot slot;
  PDEVICE_OBJECT device = nullptr;
};

TEST_F(CancelTest, CancelRoutineRunsOnceAtDispatchLevelWithTheCancelLockHeld) {
  app::Request read = readAsync();
  ASSERT_FALSE(read.done());
  EXPECT_TRUE(read.cancel());
  EXPECT_EQ(slot.cancelCalls, 1);
  EXPECT_EQ(slot.irqlInRoutine, DISPATCH_LEVEL);
  EXPECT_TRUE(slot.sawCancelFlag);
  EXPECT_TRUE(slot.routineAlreadyCleared);
  EXPECT_EQ(slot.routineDevice, device);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);  // back at the caller's IRQL
  ASSERT_TRUE(read.done());
  EXPECT_EQ(read.result().status, STATUS_CANCELLED);
  EXPECT_EQ(read.irp(), nullptr);

  EXPECT_FALSE(read.cancel());  // nothing left to cancel
  EXPECT_EQ(slot.cancelCalls, 1);
}

TEST_F(CancelTest, SecondCancelOfAStillPendingIrpFindsNoRoutine) {
  slot.completeInCancelRoutine = false;  // completes later, from its own context
  app::Request read = readAsync();
  PIRP irp = read.irp();
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_FALSE(read.cancel());
  EXPECT_EQ(slot.cancelCalls, 1);
  EXPECT_FALSE(read.done());

  sim::schedule(2 * sim::kMs, [&] { slot.completeCancelled(); });
  EXPECT_EQ(read.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(sim::now(), 2 * sim::kMs);
}

TEST_F(CancelTest, IrpWithoutCancelRoutineIsOnlyMarkedCancelled) {
  slot.cancellable = false;
  app::Request read = readAsync();
  PIRP irp = read.irp();
  EXPECT_FALSE(irp->Cancel);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  EXPECT_FALSE(read.cancel());
  EXPECT_EQ(slot.cancelCalls, 0);
  EXPECT_FALSE(read.done());  // the driver decides when it ends
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  slot.completeCancelled();
  EXPECT_EQ(read.result().status, STATUS_CANCELLED);
}

TEST_F(CancelTest, RequestAbandonedByTheApplicationIsCancelled) {
  { app::Request read = readAsync(); }
  EXPECT_EQ(slot.cancelCalls, 1);
  EXPECT_EQ(slot.irp, nullptr);
}

TEST_F(CancelTest, CancelRoutineThatKeepsTheCancelLockIsStopped) {
  slot.releaseCancelLock = false;
  app::Request read = readAsync();
  EXPECT_VERIFIER_STOP(read.cancel(), "without releasing the cancel spin lock");
  read = app::Request();
  reboot();
}

TEST_F(CancelTest, CompletingWithTheCancelRoutineStillSetIsStopped) {
  app::Request read = readAsync();
  EXPECT_VERIFIER_STOP(slot.completeCancelled(), "cancel routine is still set");
  read = app::Request();
  reboot();
}

}  // namespace
