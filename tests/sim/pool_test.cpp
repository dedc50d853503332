// Tests of the simulated kernel: pool accounting by tag, the fault injection
// that lets a test walk every failure path, and quota allocations that raise.
#include "fragment.h"

#include <algorithm>

namespace {

constexpr ULONG kTagA = sim::tag("FrgA");
constexpr ULONG kTagB = sim::tag("FrgB");

using PoolTest = FragmentTest;

TEST_F(PoolTest, OutstandingPoolIsCountedByTag) {
  void* a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 10, kTagA);
  void* a2 = ExAllocatePoolWithTag(PagedPool, 30, kTagA);
  void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 7, kTagB);
  ASSERT_TRUE(a1 && a2 && b);
  EXPECT_EQ(sim::poolInUse(kTagA).blocks, 2u);
  EXPECT_EQ(sim::poolInUse(kTagA).bytes, 40u);
  EXPECT_EQ(sim::poolInUse(kTagB).bytes, 7u);
  EXPECT_EQ(sim::poolInUse().blocks, 3u);
  EXPECT_EQ(sim::poolInUse().bytes, 47u);
  std::string outstanding = sim::describeOutstandingPool();
  EXPECT_NE(outstanding.find("'FrgA' 30 bytes PagedPool"), std::string::npos) << outstanding;

  ExFreePoolWithTag(a2, kTagA);
  EXPECT_EQ(sim::poolInUse(kTagA).blocks, 1u);
  EXPECT_EQ(sim::poolInUse(kTagA).bytes, 10u);
  ExFreePoolWithTag(a1, kTagA);
  ExFreePoolWithTag(b, kTagB);
  EXPECT_EQ(sim::poolInUse().blocks, 0u);
}

TEST_F(PoolTest, NewBlocksAreNotZeroed) {
  // A driver that forgets to initialise its context must not pass by luck.
  auto p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTagA));
  EXPECT_TRUE(std::any_of(p, p + 64, [](uint8_t byte) { return byte != 0; }));
  ExFreePoolWithTag(p, kTagA);
}

TEST_F(PoolTest, ArmedFaultFailsOnlyTheNthAllocation) {
  sim::faults::arm(2);
  void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
  EXPECT_FALSE(sim::faults::fired());
  void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
  void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_TRUE(sim::faults::fired());
  EXPECT_EQ(sim::faults::allocationsSinceArm(), 3u);
  EXPECT_EQ(sim::poolInUse(kTagA).blocks, 2u);  // the failed one is not counted
  ExFreePoolWithTag(first, kTagA);
  ExFreePoolWithTag(third, kTagA);

  sim::faults::disarm();
  void* fine = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
  EXPECT_NE(fine, nullptr);
  EXPECT_FALSE(sim::faults::fired());
  ExFreePoolWithTag(fine, kTagA);
}

// Walks a setup of one allocation of each fallible kind, failing each in turn,
// as a driver's failure-path tests do. Each failure is reported as the call's
// own failure, and the calls before it are unaffected.
TEST_F(PoolTest, EveryKindOfPlatformAllocationCanBeFailed) {
  PDEVICE_OBJECT existing = addDevice();
  for (uint64_t failAt = 1; failAt <= 4; ++failAt) {
    SCOPED_TRACE("failing allocation " + std::to_string(failAt));
    sim::faults::arm(failAt);
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagA);
    PIRP irp = IoAllocateIrp(2, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(existing);
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    NTSTATUS created = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);

    EXPECT_EQ(block == nullptr, failAt == 1);
    EXPECT_EQ(irp == nullptr, failAt == 2);
    EXPECT_EQ(item == nullptr, failAt == 3);
    EXPECT_EQ(created, failAt == 4 ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS);
    EXPECT_EQ(device == nullptr, failAt == 4);
    EXPECT_EQ(sim::faults::allocationsSinceArm(), 4u);

    if (block) ExFreePoolWithTag(block, kTagA);
    if (irp) IoFreeIrp(irp);
    if (item) IoFreeWorkItem(item);
    if (device) IoDeleteDevice(device);
  }
  sim::faults::disarm();
}

TEST_F(PoolTest, FailedAllocationsRaiseWhenQuotaChargedOrAskedTo) {
  void* charged = ExAllocatePoolWithQuotaTag(NonPagedPoolNx, 12, kTagB);
  ASSERT_NE(charged, nullptr);
  EXPECT_EQ(sim::poolInUse(kTagB).bytes, 12u);
  ExFreePoolWithTag(charged, kTagB);

  sim::faults::arm(1);
  try {
    ExAllocatePoolWithQuotaTag(NonPagedPoolNx, 12, kTagB);
    ADD_FAILURE() << "a failed quota allocation returned instead of raising";
  } catch (const sim::RaisedStatus& raised) {
    EXPECT_EQ(raised.status, STATUS_INSUFFICIENT_RESOURCES);
  }

  sim::faults::arm(1);
  try {
    ExAllocatePoolWithTag(POOL_TYPE(NonPagedPoolNx | POOL_RAISE_IF_ALLOCATION_FAILURE), 12, kTagB);
    ADD_FAILURE() << "a failed allocation asked to raise returned";
  } catch (const sim::RaisedStatus& raised) {
    EXPECT_EQ(raised.status, STATUS_INSUFFICIENT_RESOURCES);
  }

  sim::faults::arm(1);
  auto type = POOL_TYPE(NonPagedPoolNx | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE);
  EXPECT_EQ(ExAllocatePoolWithQuotaTag(type, 12, kTagB), nullptr);
  sim::faults::disarm();
  EXPECT_EQ(sim::poolInUse().blocks, 0u);
}

}  // namespace
