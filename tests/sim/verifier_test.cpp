// Tests of the simulated kernel: the verifier. Each test is a deliberately
// broken driver fragment; the verifier must stop it with a message naming the
// broken rule. Where the stop leaves the kernel dirty (a request half
// completed, a lock held), the test reboots before the fixture checks it.
#include "fragment.h"

#include <cstring>

namespace {

constexpr ULONG kTag = sim::tag("FrgV");

using VerifierTest = FragmentTest;

NTSTATUS completeTwice(PDEVICE_OBJECT, PIRP irp) {
  frag::complete(irp, STATUS_SUCCESS);
  return frag::complete(irp, STATUS_SUCCESS);
}

NTSTATUS holdForever(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  return STATUS_PENDING;
}

TEST_F(VerifierTest, ApplicationRequestCompletedTwice) {
  PDEVICE_OBJECT device = addDevice(completeTwice);
  // The first completion finished the request, so the second touches a freed IRP.
  EXPECT_VERIFIER_STOP(app::sendToDevice(device, IRP_MJ_FLUSH_BUFFERS, 0),
                       "IofCompleteRequest: uses an IRP after it was freed");
  reboot();
}

TEST_F(VerifierTest, DriverAllocatedIrpCompletedTwice) {
  PDEVICE_OBJECT device = addDevice(completeTwice);
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE, TRUE, TRUE);
  EXPECT_VERIFIER_STOP(IoCallDriver(device, irp), "completed twice");
  IoFreeIrp(irp);  // it did come back once: the owner may free it
}

TEST_F(VerifierTest, IrpFreedWhileALowerDriverHoldsIt) {
  PIRP held = nullptr;
  PDEVICE_OBJECT device = addDevice([&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  });
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE, TRUE, TRUE);
  ASSERT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
  EXPECT_VERIFIER_STOP(IoFreeIrp(irp), "driver below still holds");
  EXPECT_VERIFIER_STOP(IoReuseIrp(irp, STATUS_SUCCESS), "driver below still holds");

  frag::complete(held, STATUS_SUCCESS);
  IoFreeIrp(irp);
  EXPECT_VERIFIER_STOP(IoFreeIrp(irp), "after it was freed");
}

TEST_F(VerifierTest, DriverFreesAnApplicationsIrp) {
  PDEVICE_OBJECT device = addDevice(holdForever);
  app::Request read = app::sendToDevice(device, IRP_MJ_READ, 0);
  EXPECT_VERIFIER_STOP(IoFreeIrp(read.irp()), "I/O manager owns");
  frag::complete(read.irp(), STATUS_SUCCESS);
}

TEST_F(VerifierTest, PendingReturnedWithoutMarkingTheIrp) {
  PIRP held = nullptr;
  PDEVICE_OBJECT device = addDevice([&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    return STATUS_PENDING;  // forgot IoMarkIrpPending
  });
  app::Request read = app::sendToDevice(device, IRP_MJ_READ, 0);
  EXPECT_VERIFIER_STOP(frag::complete(held, STATUS_SUCCESS), "without marking the IRP pending");
  read = app::Request();
  reboot();

  // The same mistake when the request completes before the routine returns.
  device = addDevice([](PDEVICE_OBJECT, PIRP irp) {
    frag::complete(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
  });
  EXPECT_VERIFIER_STOP(app::sendToDevice(device, IRP_MJ_READ, 0), "without marking the IRP pending");
}

TEST_F(VerifierTest, DispatchStatusMustMatchTheCompletion) {
  PDEVICE_OBJECT device = addDevice([](PDEVICE_OBJECT, PIRP irp) {
    frag::complete(irp, STATUS_CANCELLED);
    return STATUS_SUCCESS;
  });
  EXPECT_VERIFIER_STOP(app::sendToDevice(device, IRP_MJ_READ, 0), "differs from the IRP's IoStatus.Status");
  reboot();

  PIRP held = nullptr;
  device = addDevice([&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    return STATUS_SUCCESS;  // claims success for a request it kept
  });
  EXPECT_VERIFIER_STOP(app::sendToDevice(device, IRP_MJ_READ, 0), "did not complete");
  reboot();
}

TEST_F(VerifierTest, InformationLargerThanTheOutputBuffer) {
  addDevice(frag::onlyFor(IRP_MJ_READ,
                          [](PDEVICE_OBJECT, PIRP irp) {
                            ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
                            return frag::complete(irp, STATUS_SUCCESS, length + 1);
                          }),
            u"\\Device\\Frag0");
  {
    app::File file;
    ASSERT_EQ(app::File::open(u"\\Device\\Frag0", file), STATUS_SUCCESS);
    EXPECT_VERIFIER_STOP(file.readAsync(16), "exceeds the output buffer length");
    file.close();
  }
  reboot();
}

TEST_F(VerifierTest, CompletingWhileHoldingASpinLock) {
  static KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  PDEVICE_OBJECT device = addDevice([](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    frag::complete(irp, STATUS_SUCCESS);
    KeReleaseSpinLock(&lock, old);
    return STATUS_SUCCESS;
  });
  EXPECT_VERIFIER_STOP(app::sendToDevice(device, IRP_MJ_WRITE, 0), "while holding a spin lock");
  reboot();
}

TEST_F(VerifierTest, SpinLocksReleasedOutOfOrder) {
  KSPIN_LOCK outer, inner;
  KeInitializeSpinLock(&outer);
  KeInitializeSpinLock(&inner);
  KIRQL old;
  KeAcquireSpinLock(&outer, &old);
  KeAcquireSpinLockAtDpcLevel(&inner);
  EXPECT_VERIFIER_STOP(KeReleaseSpinLockFromDpcLevel(&outer), "out of order");
  EXPECT_VERIFIER_STOP(KeAcquireSpinLockAtDpcLevel(&inner), "already holds");
  KeReleaseSpinLockFromDpcLevel(&inner);
  KeReleaseSpinLock(&outer, old);
  EXPECT_VERIFIER_STOP(KeReleaseSpinLock(&outer, old), "does not hold");
}

TEST_F(VerifierTest, LoweringBelowDispatchWithALockHeld) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeAcquireSpinLockAtDpcLevel(&lock);
  EXPECT_VERIFIER_STOP(KeLowerIrql(PASSIVE_LEVEL), "while a spin lock is held");
  KeReleaseSpinLockFromDpcLevel(&lock);
  KeLowerIrql(old);
}

TEST_F(VerifierTest, WaitingAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout{.QuadPart = -1 * sim::kMs};
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_VERIFIER_STOP(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
                       "waits at DISPATCH_LEVEL");
  EXPECT_VERIFIER_STOP(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), "waits at DISPATCH_LEVEL");
  KeLowerIrql(old);
  EXPECT_EQ(sim::now(), 0);  // the broken waits did not run the clock
}

void pageableRoutine() { PAGED_CODE(); }

TEST_F(VerifierTest, PageableCodeAtDispatchLevel) {
  pageableRoutine();  // fine at PASSIVE_LEVEL
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_VERIFIER_STOP(pageableRoutine(), "pageableRoutine: pageable code");
  EXPECT_VERIFIER_STOP(ExAllocatePoolWithTag(PagedPool, 8, kTag), "paged pool at DISPATCH_LEVEL");
  KeLowerIrql(old);
}

TEST_F(VerifierTest, PoolFreedWithTheWrongTagTwiceOrNeverAllocated) {
  void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTag);
  EXPECT_VERIFIER_STOP(ExFreePoolWithTag(p, sim::tag("Othr")), "with tag 'Othr'");
  EXPECT_EQ(sim::poolInUse(kTag).blocks, 1u);  // still allocated
  ExFreePoolWithTag(p, kTag);
  EXPECT_VERIFIER_STOP(ExFreePoolWithTag(p, kTag), "twice");
  int onStack = 0;
  EXPECT_VERIFIER_STOP(ExFreePoolWithTag(&onStack, kTag), "not a pool block");
}

TEST_F(VerifierTest, PoolLeakIsReportedAtQuiescenceAndAtUnload) {
  void* leaked = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTag);
  EXPECT_VERIFIER_STOP(sim::checkQuiescent(), "'FrgV' 40 bytes");
  removeDevices();
  EXPECT_VERIFIER_STOP(sim::unloadDriver(driver), "pool still allocated");
  ExFreePoolWithTag(leaked, kTag);
  sim::unloadDriver(driver);
  driver = nullptr;
}

TEST_F(VerifierTest, FreeingMemoryThatHoldsAQueuedTimerOrDpc) {
  struct Context {
    KTIMER timer;
    KDPC dpc;
  };
  auto context = static_cast<Context*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Context), kTag));
  KeInitializeTimer(&context->timer);
  KeInitializeDpc(
      &context->dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
  KeSetTimer(&context->timer, LARGE_INTEGER{.QuadPart = -10 * sim::kMs}, &context->dpc);
  EXPECT_VERIFIER_STOP(ExFreePoolWithTag(context, kTag), "queued timer");
  KeCancelTimer(&context->timer);

  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeInsertQueueDpc(&context->dpc, nullptr, nullptr);
  EXPECT_VERIFIER_STOP(ExFreePoolWithTag(context, kTag), "queued DPC");
  KeRemoveQueueDpc(&context->dpc);
  KeLowerIrql(old);
  ExFreePoolWithTag(context, kTag);
}

TEST_F(VerifierTest, DeletingADeviceWhoseDpcIsQueued) {
  PDEVICE_OBJECT device = addDevice();
  KeInitializeDpc(
      &device->Dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeInsertQueueDpc(&device->Dpc, nullptr, nullptr);
  EXPECT_VERIFIER_STOP(IoDeleteDevice(device), "queued DPC");
  KeRemoveQueueDpc(&device->Dpc);
  KeLowerIrql(old);
}

}  // namespace
