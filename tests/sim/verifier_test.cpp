// Tests of the simulated kernel: the verifier's checks on locks, IRQL, pool,
// timers and DPCs, quiescence and ASSERT (the checks on requests are in
// verifier_irp_test.cpp). Each test is a deliberately broken driver fragment;
// the verifier must stop it with a message naming the broken rule. Where the
// stop leaves the kernel dirty (a lock held), the test reboots first.
#include "fragment.h"
#include "sim/pnp.h"

namespace {

constexpr ULONG kTag = sim::tag("FrgV");

using VerifierTest = FragmentTest;

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
  rebootInQuarantine();
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

TEST_F(VerifierTest, ZeroBytePoolAllocations) {
  EXPECT_VERIFIER_STOP(ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTag), "ExAllocatePoolWithTag: allocates zero bytes");
  EXPECT_VERIFIER_STOP(ExAllocatePool(NonPagedPoolNx, 0), "ExAllocatePool: allocates zero bytes");
  EXPECT_VERIFIER_STOP(ExAllocatePoolWithQuotaTag(PagedPool, 0, kTag),
                       "ExAllocatePoolWithQuotaTag: allocates zero bytes");
  EXPECT_EQ(sim::poolInUse().blocks, 0u);

  void* untagged = ExAllocatePool(NonPagedPoolNx, 1);  // the smallest allocation is one byte
  EXPECT_EQ(sim::poolInUse(sim::tag("None")).blocks, 1u);
  ExFreePool(untagged);
}

// Executable pool is what memory integrity refuses: the verifier stops it,
// with or without modifiers, and so it stops the must-succeed and session
// types; the non-executable and paged types (cache-aligned too) are granted.
TEST_F(VerifierTest, ExecutableAndSystemPoolTypes) {
  EXPECT_VERIFIER_STOP(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), "executable non-paged pool");
  EXPECT_VERIFIER_STOP(ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 8, kTag), "executable non-paged pool");
  EXPECT_VERIFIER_STOP(ExAllocatePoolWithQuotaTag(POOL_TYPE(NonPagedPoolExecute | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), 8, kTag),
                       "ExAllocatePoolWithQuotaTag: allocates executable non-paged pool");
  EXPECT_VERIFIER_STOP(ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 8, kTag), "reserved for the system");
  EXPECT_VERIFIER_STOP(ExAllocatePoolWithTag(NonPagedPoolSessionNx, 8, kTag), "session pool");
  EXPECT_VERIFIER_STOP(ExAllocatePoolWithTag(POOL_TYPE(1024), 8, kTag), "unknown pool type 1024");
  EXPECT_EQ(sim::poolInUse().blocks, 0u);

  for (POOL_TYPE type : {NonPagedPoolNx, NonPagedPoolNxCacheAligned, PagedPool, PagedPoolCacheAligned,
                         POOL_TYPE(NonPagedPoolNx | POOL_COLD_ALLOCATION)}) {
    void* p = ExAllocatePoolWithTag(type, 8, kTag);
    ASSERT_NE(p, nullptr) << type;
    ExFreePoolWithTag(p, kTag);
  }
}

TEST_F(VerifierTest, QuotaChargedAboveApcLevel) {
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  ExFreePoolWithTag(ExAllocatePoolWithQuotaTag(NonPagedPoolNx, 8, kTag), kTag);  // fine at APC_LEVEL
  KeLowerIrql(old);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_VERIFIER_STOP(ExAllocatePoolWithQuotaTag(NonPagedPoolNx, 8, kTag),
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

// A fragment whose routine calls itself once per unit of work, each frame
// holding a kilobyte, taking a spin lock at every level as a queue would.
struct StackHog {
  static inline KSPIN_LOCK lock;
  static inline KDPC dpc;
  static inline size_t dpcLevels = 0;

  __attribute__((noinline)) static void descend(size_t levels, const std::function<void()>& atBottom) {
    volatile char frame[1024];
    frame[0] = char(levels);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeReleaseSpinLock(&lock, old);
    if (levels) descend(levels - 1, atBottom);
    else if (atBottom) atBottom();
    frame[1] = frame[0];
  }
};

// The platform's kernel stack is 24 KB; the simulation's threads have
// megabytes, so only the verifier's measure makes a chain that grows with
// its workload fail here as it would on a machine.
TEST_F(VerifierTest, ACallChainDeeperThanTheKernelStackIsStopped) {
  KeInitializeSpinLock(&StackHog::lock);
  const size_t kbInLimit = sim::kernelStackLimit() / 1024;
  size_t levels = kbInLimit / 2;
  PDEVICE_OBJECT device = addDevice([&](PDEVICE_OBJECT, PIRP irp) {
    StackHog::descend(levels, {});
    return frag::complete(irp, STATUS_SUCCESS);
  });
  EXPECT_EQ(app::sendToDevice(device, IRP_MJ_WRITE, 0).wait().status, STATUS_SUCCESS);
  EXPECT_GT(sim::deepestKernelStack(), levels * 1024);

  levels = kbInLimit * 2;
  EXPECT_VERIFIER_STOP(app::sendToDevice(device, IRP_MJ_WRITE, 0), "the kernel stack overflows");
  reboot();
}

// A DPC runs on a stack of its own: what it uses is not added to the chain
// that was running when it was drained, though the simulation runs it on
// top of that chain.
TEST_F(VerifierTest, ADpcStartsAFreshKernelStack) {
  KeInitializeSpinLock(&StackHog::lock);
  StackHog::dpcLevels = sim::kernelStackLimit() / 1024 * 2 / 3;
  KeInitializeDpc(
      &StackHog::dpc, [](PKDPC, PVOID, PVOID, PVOID) { StackHog::descend(StackHog::dpcLevels, {}); }, nullptr);
  PDEVICE_OBJECT device = addDevice([](PDEVICE_OBJECT, PIRP irp) {
    StackHog::descend(StackHog::dpcLevels, [] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      KeInsertQueueDpc(&StackHog::dpc, nullptr, nullptr);
      KeLowerIrql(old);  // the DPC runs here
    });
    return frag::complete(irp, STATUS_SUCCESS);
  });
  EXPECT_EQ(app::sendToDevice(device, IRP_MJ_WRITE, 0).wait().status, STATUS_SUCCESS);
}
