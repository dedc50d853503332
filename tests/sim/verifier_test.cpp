// Tests of the simulated kernel: the verifier. Each test is a deliberately
// broken driver fragment; the verifier must stop it with a message naming the
// broken rule (a failed ASSERT is one). Where the stop leaves the kernel dirty (a request half
// completed, a lock held), the test reboots before the fixture checks it.
#include "fragment.h"
#include "sim/pnp.h"

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

TEST_F(VerifierTest, MarkedPendingButReturnedAFinalStatus) {
  PDEVICE_OBJECT device = addDevice([](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    frag::complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;  // must be STATUS_PENDING once marked
  });
  EXPECT_VERIFIER_STOP(app::sendToDevice(device, IRP_MJ_READ, 0),
                       "dispatch routine: marked the IRP pending (IoMarkIrpPending) but returned a final status");
  reboot();

  // Still in flight when the routine returns; the completion comes later.
  PIRP held = nullptr;
  device = addDevice([&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
  });
  EXPECT_VERIFIER_STOP(
      {
        app::Request read = app::sendToDevice(device, IRP_MJ_READ, 0);
        frag::complete(held, STATUS_SUCCESS);
      },
      "marked the IRP pending (IoMarkIrpPending) but returned a final status");
  reboot();

  // A filter that passes the request down and propagates a lower driver's
  // pending mark to its own location must return STATUS_PENDING too.
  addDevice([](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    frag::complete(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
  });
  device = addDevice([](PDEVICE_OBJECT self, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP irp, PVOID) {
          if (irp->PendingReturned) IoMarkIrpPending(irp);
          return STATUS_SUCCESS;
        },
        nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(frag::layerOf(self).lower, irp);
    return STATUS_SUCCESS;  // should have returned what the lower driver did
  });
  EXPECT_VERIFIER_STOP(app::sendToDevice(device, IRP_MJ_READ, 0), "but returned a final status");
  reboot();
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

TEST_F(VerifierTest, IoMarkIrpPendingWithoutACurrentStackLocation) {
  PDEVICE_OBJECT device = addDevice();
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  EXPECT_VERIFIER_STOP(IoMarkIrpPending(irp), "IoMarkIrpPending: the IRP has no current stack location");

  // Back in the owner's completion routine, the IRP is past its last location.
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP irp, PVOID) {
        IoMarkIrpPending(irp);  // a filter's idiom, misplaced in the owner's routine
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      nullptr, TRUE, TRUE, TRUE);
  EXPECT_VERIFIER_STOP(IoCallDriver(device, irp), "IoMarkIrpPending: the IRP has no current stack location");
  IoFreeIrp(irp);  // it came back to its owner before the stop
}

TEST_F(VerifierTest, ZeroBytePoolAllocations) {
  EXPECT_VERIFIER_STOP(ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTag), "ExAllocatePoolWithTag: allocates zero bytes");
  EXPECT_VERIFIER_STOP(ExAllocatePool(NonPagedPool, 0), "ExAllocatePool: allocates zero bytes");
  EXPECT_VERIFIER_STOP(ExAllocatePoolWithQuotaTag(PagedPool, 0, kTag),
                       "ExAllocatePoolWithQuotaTag: allocates zero bytes");
  EXPECT_EQ(sim::poolInUse().blocks, 0u);

  void* untagged = ExAllocatePool(NonPagedPool, 1);  // the smallest allocation is one byte
  EXPECT_EQ(sim::poolInUse(sim::tag("None")).blocks, 1u);
  ExFreePool(untagged);
}

TEST_F(VerifierTest, QuotaChargedAboveApcLevel) {
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  ExFreePoolWithTag(ExAllocatePoolWithQuotaTag(NonPagedPool, 8, kTag), kTag);  // fine at APC_LEVEL
  KeLowerIrql(old);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_VERIFIER_STOP(ExAllocatePoolWithQuotaTag(NonPagedPool, 8, kTag),
                       "ExAllocatePoolWithQuotaTag: charges quota above APC_LEVEL");
  KeLowerIrql(old);
  EXPECT_EQ(sim::poolInUse().blocks, 0u);
}

TEST_F(VerifierTest, ZwCloseAbovePassiveLevel) {
  UNICODE_STRING name;
  std::u16string path = std::u16string(sim::kServicesRoot) + u"\\frag";
  RtlInitUnicodeString(&name, sim::wide(path));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_VERIFIER_STOP(ZwClose(key), "ZwClose: called above PASSIVE_LEVEL");
  KeLowerIrql(old);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);  // the refused close left it open
}

TEST_F(VerifierTest, QuiescenceFindsADeviceMapValueAndAnEnabledInterface) {
  const WCHAR port[] = L"COM9";
  ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Frag0", REG_SZ,
                                  const_cast<WCHAR*>(port), sizeof port),
            STATUS_SUCCESS);
  EXPECT_VERIFIER_STOP(sim::checkQuiescent(), "the SERIALCOMM device map still holds \\Device\\Frag0 = COM9");
  ASSERT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Frag0"), STATUS_SUCCESS);

  static const GUID kClass = {0x1d5b0c3e, 0x7a11, 0x4c2f, {0x9e, 0x40, 0x5b, 0x21, 0x6d, 0x0a, 0x3c, 0x77}};
  PDEVICE_OBJECT pdo = sim::pnp::createPhysicalDevice();
  UNICODE_STRING link{};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kClass, nullptr, &link), STATUS_SUCCESS);
  ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  EXPECT_VERIFIER_STOP(sim::checkQuiescent(), "device interface " + sim::narrow(&link) + " is still enabled");
  IoSetDeviceInterfaceState(&link, FALSE);
  RtlFreeUnicodeString(&link);
  sim::pnp::deletePhysicalDevice(pdo);
}

TEST_F(VerifierTest, DeletingADeviceWithAnIrpInFlightToIt) {
  PDEVICE_OBJECT bottom = addDevice(holdForever);
  PDEVICE_OBJECT top = addDevice([](PDEVICE_OBJECT self, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP irp, PVOID) {
          if (irp->PendingReturned) IoMarkIrpPending(irp);
          return STATUS_SUCCESS;
        },
        nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(frag::layerOf(self).lower, irp);
  });
  app::Request read = app::sendToDevice(top, IRP_MJ_READ, 0);
  // The top device has a completion routine waiting, so it holds the request too.
  IoDetachDevice(bottom);
  EXPECT_VERIFIER_STOP(IoDeleteDevice(top), "IoDeleteDevice: deletes a device with an IRP still in flight to it");
  EXPECT_VERIFIER_STOP(IoDeleteDevice(bottom), "IRP still in flight to it (major function 0x03");
  frag::complete(read.irp(), STATUS_SUCCESS);
  EXPECT_EQ(read.wait().status, STATUS_SUCCESS);
  IoDeleteDevice(top);
  layers.pop_back();

  // A driver's own IRP held below counts as well.
  PIRP irp = IoAllocateIrp(bottom->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE, TRUE, TRUE);
  ASSERT_EQ(IoCallDriver(bottom, irp), STATUS_PENDING);
  EXPECT_VERIFIER_STOP(IoDeleteDevice(bottom), "major function 0x0F");
  frag::complete(irp, STATUS_SUCCESS);
  IoFreeIrp(irp);
}

// As on the platform, a device deletes itself while it handles its remove
// request, here before passing it down.
TEST_F(VerifierTest, ADeviceMayBeDeletedWhileItHandlesItsRemoveRequest) {
  driver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT device, PIRP irp) {
    frag::Layer& layer = frag::layerOf(device);
    return layer.dispatch ? layer.dispatch(device, irp) : frag::complete(irp, STATUS_SUCCESS);
  };
  addDevice();
  PDEVICE_OBJECT top = addDevice([](PDEVICE_OBJECT self, PIRP irp) {
    PDEVICE_OBJECT lower = frag::layerOf(self).lower;
    IoDetachDevice(lower);
    IoDeleteDevice(self);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
  });
  EXPECT_EQ(sim::pnp::send(top, IRP_MN_REMOVE_DEVICE).wait().status, STATUS_SUCCESS);
  layers.pop_back();  // its layer outlived the device it ran for
}

int checkedRoutine(int count) {
  ASSERT(count < 2);
  return count + 1;
}

TEST_F(VerifierTest, AFailedAssertionNamesTheExpressionRoutineFileAndLine) {
  EXPECT_EQ(checkedRoutine(1), 2);
  std::string message = frag::stopMessage([] { checkedRoutine(2); });
  EXPECT_NE(message.find("ASSERT failed: count < 2 in checkedRoutine"), std::string::npos) << message;
  EXPECT_NE(message.find("verifier_test.cpp:"), std::string::npos) << message;
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
