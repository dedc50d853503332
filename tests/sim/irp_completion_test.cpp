// Tests of the simulated kernel: the trip of an IRP back up a device stack.
// Completion routines run bottom-up and stop at STATUS_MORE_PROCESSING_REQUIRED,
// PendingReturned reaches each layer, and a driver-allocated IRP returns to
// the driver that owns it.
#include "fragment.h"

namespace {

struct Trace {
  std::vector<PDEVICE_OBJECT> devices;  // the device each routine was handed
  std::vector<BOOLEAN> pendingReturned;
  bool holdAtMiddle = false;  // the middle layer keeps the IRP (MPR)
  PIRP held = nullptr;
  PDEVICE_OBJECT middle = nullptr;
};

NTSTATUS recordCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto trace = static_cast<Trace*>(context);
  trace->devices.push_back(device);
  trace->pendingReturned.push_back(irp->PendingReturned);
  if (trace->holdAtMiddle && device == trace->middle) {
    trace->held = irp;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

// A layer that watches the request come back up, then passes it down.
frag::Dispatch watching(Trace& trace) {
  return [&trace](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, recordCompletion, &trace, TRUE, TRUE, TRUE);
    return IoCallDriver(frag::layerOf(device).lower, irp);
  };
}

class IrpCompletionTest : public FragmentTest {
 protected:
  // bus <- lower <- middle <- top; the three upper layers watch completions.
  void buildStack(frag::Dispatch bus) {
    addDevice(std::move(bus));
    lower = addDevice(watching(trace));
    middle = addDevice(watching(trace));
    top = addDevice(watching(trace));
    trace.middle = middle;
  }

  app::Request sendRead() {
    return app::sendToDevice(top, IRP_MJ_READ, 0, [](PIO_STACK_LOCATION s) { s->Parameters.Read.Length = 0; });
  }

  Trace trace;
  PDEVICE_OBJECT lower = nullptr, middle = nullptr, top = nullptr;
};

// The bus keeps one request and completes it when a scheduled event fires.
struct PendingBus {
  PIRP irp = nullptr;
  frag::Dispatch dispatch() {
    return [this](PDEVICE_OBJECT, PIRP request) {
      IoMarkIrpPending(request);
      irp = request;
      return STATUS_PENDING;
    };
  }
  void completeAfter(int64_t delay100ns, NTSTATUS status) {
    sim::schedule(delay100ns, [this, status] {
      PIRP request = irp;
      irp = nullptr;
      frag::complete(request, status, 0);
    });
  }
};

TEST_F(IrpCompletionTest, CompletionRoutinesRunBottomUpEachWithItsOwnDevice) {
  buildStack([](PDEVICE_OBJECT, PIRP irp) { return frag::complete(irp, STATUS_SUCCESS); });
  app::Result r = sendRead().wait();
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(trace.devices, (std::vector<PDEVICE_OBJECT>{lower, middle, top}));
  // Completed inside the dispatch routines: nobody saw the request pend.
  EXPECT_EQ(trace.pendingReturned, (std::vector<BOOLEAN>{FALSE, FALSE, FALSE}));
}

TEST_F(IrpCompletionTest, MoreProcessingRequiredHoldsTheIrpUntilTheLayerCompletesItAgain) {
  PendingBus bus;
  buildStack(bus.dispatch());
  trace.holdAtMiddle = true;
  app::Request read = sendRead();
  bus.completeAfter(5 * sim::kMs, STATUS_SUCCESS);
  sim::advance(5 * sim::kMs);

  // The middle layer owns the IRP now: the top has not seen it and the
  // application's request is still pending.
  ASSERT_NE(trace.held, nullptr);
  EXPECT_EQ(trace.devices, (std::vector<PDEVICE_OBJECT>{lower, middle}));
  EXPECT_FALSE(read.done());

  // Completing it again resumes the trip at the layer above.
  sim::advance(1 * sim::kMs);
  EXPECT_FALSE(read.done());
  trace.held->IoStatus.Status = STATUS_CANCELLED;
  IoMarkIrpPending(trace.held);  // the middle returned STATUS_PENDING earlier
  IoCompleteRequest(trace.held, IO_NO_INCREMENT);
  EXPECT_EQ(trace.devices, (std::vector<PDEVICE_OBJECT>{lower, middle, top}));
  ASSERT_TRUE(read.done());
  EXPECT_EQ(read.result().status, STATUS_CANCELLED);
}

TEST_F(IrpCompletionTest, PendingReturnedReachesEveryLayerOfAPendedRequest) {
  PendingBus bus;
  buildStack(bus.dispatch());
  app::Request read = sendRead();
  EXPECT_FALSE(read.done());
  bus.completeAfter(2 * sim::kMs, STATUS_SUCCESS);
  EXPECT_EQ(read.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(trace.pendingReturned, (std::vector<BOOLEAN>{TRUE, TRUE, TRUE}));
}

TEST_F(IrpCompletionTest, PendingPropagatesPastLayersWithoutACompletionRoutine) {
  PendingBus bus;
  addDevice(bus.dispatch());
  addDevice([](PDEVICE_OBJECT device, PIRP irp) {  // copies its location down, sets no routine
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(frag::layerOf(device).lower, irp);
  });
  PDEVICE_OBJECT watcher = addDevice(watching(trace));
  app::Request write = app::sendToDevice(watcher, IRP_MJ_WRITE, 0);
  bus.completeAfter(1 * sim::kMs, STATUS_SUCCESS);
  // Finishing without a verifier stop shows the top location was marked too.
  EXPECT_EQ(write.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(trace.devices, (std::vector<PDEVICE_OBJECT>{watcher}));
  EXPECT_EQ(trace.pendingReturned, (std::vector<BOOLEAN>{TRUE}));
}

TEST_F(IrpCompletionTest, RoutinesRunOnlyForTheOutcomesTheyAskedFor) {
  int successCalls = 0;
  NTSTATUS busStatus = STATUS_SUCCESS;
  addDevice([&](PDEVICE_OBJECT, PIRP irp) { return frag::complete(irp, busStatus); });
  PDEVICE_OBJECT top = addDevice([&](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID c) {
          ++*static_cast<int*>(c);
          return STATUS_SUCCESS;
        },
        &successCalls, TRUE, FALSE, FALSE);
    return IoCallDriver(frag::layerOf(device).lower, irp);
  });
  EXPECT_EQ(app::sendToDevice(top, IRP_MJ_FLUSH_BUFFERS, 0).wait().status, STATUS_SUCCESS);
  busStatus = STATUS_DEVICE_REMOVED;
  EXPECT_EQ(app::sendToDevice(top, IRP_MJ_FLUSH_BUFFERS, 0).wait().status, STATUS_DEVICE_REMOVED);
  EXPECT_EQ(successCalls, 1);  // not for the failure
}

// The pattern a driver uses to talk to the device below: its own IRP, sent
// down, caught by a routine returning MPR, reused, and finally freed.
struct OwnIrp {
  KEVENT done;
  int completions = 0;
  static NTSTATUS caught(PDEVICE_OBJECT device, PIRP, PVOID context) {
    auto self = static_cast<OwnIrp*>(context);
    EXPECT_EQ(device, nullptr);  // no stack location of the owner's own
    ++self->completions;
    KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

TEST_F(IrpCompletionTest, DriverAllocatedIrpComesBackAndCanBeReusedThenFreed) {
  PendingBus bus;
  PDEVICE_OBJECT target = addDevice(bus.dispatch());
  OwnIrp own;
  KeInitializeEvent(&own.done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);

  for (NTSTATUS answer : {STATUS_SUCCESS, STATUS_DEVICE_REMOVED}) {
    KeClearEvent(&own.done);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OwnIrp::caught, &own, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(target, irp), STATUS_PENDING);
    bus.completeAfter(3 * sim::kMs, answer);
    int64_t sent = sim::now();
    ASSERT_EQ(KeWaitForSingleObject(&own.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sim::now() - sent, 3 * sim::kMs);
    EXPECT_EQ(irp->IoStatus.Status, answer);
    EXPECT_TRUE(irp->PendingReturned);
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(irp->PendingReturned);
    EXPECT_FALSE(irp->Cancel);
  }
  EXPECT_EQ(own.completions, 2);
  IoFreeIrp(irp);
}

TEST_F(IrpCompletionTest, DriverAllocatedIrpMustNotReachTheIoManager) {
  PDEVICE_OBJECT target = addDevice([](PDEVICE_OBJECT, PIRP irp) { return frag::complete(irp, STATUS_SUCCESS); });
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }, nullptr, TRUE, TRUE, TRUE);
  EXPECT_VERIFIER_STOP(IoCallDriver(target, irp), "STATUS_MORE_PROCESSING_REQUIRED");
  reboot();
}

// A completion routine may pass a request on to a layer that waits for it: the
// forward-and-wait pattern of Plug and Play start requests.
TEST_F(IrpCompletionTest, ForwardAndWaitResumesTheDispatchRoutineAfterThePendingLowerLayer) {
  PendingBus bus;
  addDevice(bus.dispatch());
  PDEVICE_OBJECT top = addDevice([&](PDEVICE_OBJECT device, PIRP irp) {
    KEVENT lowerDone;
    KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID event) {
          KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &lowerDone, TRUE, TRUE, TRUE);
    if (IoCallDriver(frag::layerOf(device).lower, irp) == STATUS_PENDING) {
      bus.completeAfter(40 * sim::kMs, STATUS_SUCCESS);
      KeWaitForSingleObject(&lowerDone, Executive, KernelMode, FALSE, nullptr);
    }
    return frag::complete(irp, irp->IoStatus.Status, 7);
  });
  app::Result r = app::sendToDevice(top, IRP_MJ_DEVICE_CONTROL, 0).wait();
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 7u);
  EXPECT_EQ(sim::now(), 40 * sim::kMs);
}

}  // namespace
