// Tests of the simulated kernel: the file object's life. Closing the handle
// sends IRP_MJ_CLEANUP; IRP_MJ_CLOSE follows only once no request of the file
// object is left, as every pending request holds a reference on it. A thread
// that exits cancels its requests.
#include "fragment.h"

namespace {

// A read that pends until completed by the test or cancelled.
struct PendingRead {
  PIRP irp = nullptr;

  static void cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    frag::complete(irp, STATUS_CANCELLED);
  }

  frag::Dispatch dispatch() {
    return frag::onlyFor(IRP_MJ_READ, [this](PDEVICE_OBJECT, PIRP request) {
      irp = request;
      IoMarkIrpPending(request);
      IoSetCancelRoutine(request, cancel);
      return STATUS_PENDING;
    });
  }

  void finish() {
    ASSERT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);
    frag::complete(irp, STATUS_SUCCESS);
  }
};

class CloseModelTest : public FragmentTest {
 protected:
  // Opens a fragment device whose reads pend and leaves one read pending.
  PDEVICE_OBJECT openWithPendingRead(app::File& file, app::Request& pending) {
    PDEVICE_OBJECT device = addDevice(read.dispatch(), u"\\Device\\Frag0");
    EXPECT_EQ(app::File::open(u"\\Device\\Frag0", file), STATUS_SUCCESS);
    pending = file.readAsync(8);
    return device;
  }
  bool closeSeen(PDEVICE_OBJECT device) {
    auto& seen = frag::layerOf(device).majorsSeen;
    return std::find(seen.begin(), seen.end(), IRP_MJ_CLOSE) != seen.end();
  }

  PendingRead read;
};

TEST_F(CloseModelTest, ARequestLeftPendingByCleanupHoldsTheCloseUntilItCompletes) {
  app::File file;
  app::Request pending;
  PDEVICE_OBJECT device = openWithPendingRead(file, pending);
  EXPECT_EQ(file.close().status, STATUS_PENDING) << "the close must wait for the read";
  sim::runReady();
  EXPECT_FALSE(closeSeen(device));
  EXPECT_VERIFIER_STOP(sim::checkQuiescent(), "IRP_MJ_CLOSE never comes");

  read.finish();
  EXPECT_EQ(pending.wait().status, STATUS_SUCCESS);
  sim::runReady();
  EXPECT_TRUE(closeSeen(device));
  auto expected = std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE};
  EXPECT_EQ(frag::layerOf(device).majorsSeen, expected);
}

TEST_F(CloseModelTest, AThreadThatExitsCancelsItsRequestsAndTheCloseFollows) {
  app::File file;
  app::Request pending;
  PDEVICE_OBJECT device = openWithPendingRead(file, pending);
  file.close();
  EXPECT_EQ(app::exitThread(), 0u);
  EXPECT_EQ(pending.result().status, STATUS_CANCELLED);
  sim::runReady();
  EXPECT_TRUE(closeSeen(device));
}

TEST_F(CloseModelTest, AThreadExitLeavesARequestWithoutACancelRoutineAfterFiveMinutes) {
  PIRP held = nullptr;
  addDevice(frag::onlyFor(IRP_MJ_READ,
                          [&](PDEVICE_OBJECT, PIRP irp) {
                            held = irp;
                            IoMarkIrpPending(irp);
                            return STATUS_PENDING;
                          }),
            u"\\Device\\Frag0");
  app::File file;
  ASSERT_EQ(app::File::open(u"\\Device\\Frag0", file), STATUS_SUCCESS);
  app::Request pending = file.readAsync(8);
  int64_t before = sim::now();
  EXPECT_EQ(app::exitThread(), 1u);
  EXPECT_EQ(sim::now() - before, 300 * sim::kSecond);
  frag::complete(held, STATUS_SUCCESS);
  EXPECT_EQ(file.close().status, STATUS_SUCCESS);
}

}  // namespace
