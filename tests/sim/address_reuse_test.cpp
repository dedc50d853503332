// Tests of the simulated kernel: what becomes of freed IRPs and pool blocks.
// In reuse mode the next allocation of the same size gets the address freed
// last, as a lookaside list hands it out; in quarantine mode it never comes
// back soon, so a use after free is caught.
#include "fragment.h"

#include <cstdlib>

namespace {

constexpr ULONG kTag = sim::tag("FrgA");

class AddressReuseTest : public FragmentTest {};

TEST_F(AddressReuseTest, AFreedIrpIsTheNextIrpOfItsSizeInReuseMode) {
  reboot({.addresses = sim::Addresses::Reuse});
  PIRP first = IoAllocateIrp(3, FALSE);
  PIRP second = IoAllocateIrp(3, FALSE);
  IoFreeIrp(first);
  IoFreeIrp(second);
  EXPECT_EQ(IoAllocateIrp(3, FALSE), second) << "last freed, first handed out";
  EXPECT_EQ(IoAllocateIrp(3, FALSE), first);
  PIRP larger = IoAllocateIrp(8, FALSE);
  EXPECT_NE(larger, first);
  EXPECT_NE(larger, second);
  for (PIRP irp : {first, second, larger}) IoFreeIrp(irp);
}

TEST_F(AddressReuseTest, AnApplicationRequestsIrpIsReusedByTheDriversNextIrp) {
  reboot({.addresses = sim::Addresses::Reuse});
  PIRP seen = nullptr;
  PDEVICE_OBJECT device = addDevice([&](PDEVICE_OBJECT, PIRP irp) {
    seen = irp;
    return frag::complete(irp, STATUS_SUCCESS);
  });
  app::sendToDevice(device, IRP_MJ_FLUSH_BUFFERS, 0).wait();
  PIRP mine = IoAllocateIrp(device->StackSize, FALSE);
  EXPECT_EQ(mine, seen);
  IoFreeIrp(mine);
}

TEST_F(AddressReuseTest, AFreedPoolBlockIsTheNextBlockOfItsSizeInReuseModeOnly) {
  for (sim::Addresses mode : {sim::Addresses::Reuse, sim::Addresses::Quarantine}) {
    reboot({.addresses = mode});
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTag);
    ExFreePoolWithTag(p, kTag);
    void* q = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTag);
    EXPECT_EQ(q == p, mode == sim::Addresses::Reuse);
    EXPECT_EQ(static_cast<unsigned char*>(q)[0], 0xA5) << "a reused block is filled afresh";
    ExFreePoolWithTag(q, kTag);
  }
}

TEST_F(AddressReuseTest, TheModeComesFromTheEnvironmentWhenNotGiven) {
  const char* given = std::getenv("TZ_SIM_ADDRESSES");
  std::optional<std::string> saved = given ? std::optional<std::string>(given) : std::nullopt;
  ::setenv("TZ_SIM_ADDRESSES", "reuse", 1);
  EXPECT_EQ(sim::defaultAddresses(), sim::Addresses::Reuse);
  ::setenv("TZ_SIM_ADDRESSES", "quarantine", 1);
  EXPECT_EQ(sim::defaultAddresses(), sim::Addresses::Quarantine);
  ::setenv("TZ_SIM_ADDRESSES", "sometimes", 1);
  EXPECT_THROW(sim::defaultAddresses(), std::invalid_argument);
  ::unsetenv("TZ_SIM_ADDRESSES");
  EXPECT_EQ(sim::defaultAddresses(), sim::Addresses::Quarantine);
  if (saved) ::setenv("TZ_SIM_ADDRESSES", saved->c_str(), 1);
}

}  // namespace
