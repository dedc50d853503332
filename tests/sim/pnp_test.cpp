// Tests of the simulated kernel: the Plug and Play manager and the USB bus
// driver at the bottom of every adapter's stack.
#include "sim/pnp.h"
#include "support/sim_test.h"

#include <cstring>

namespace {

class PnpTest : public SimTest {};

TEST_F(PnpTest, BusDriverCompletesWhatItDoesNotHandleWithTheStatusUntouched) {
  PDEVICE_OBJECT pdo = sim::pnp::createPhysicalDevice();
  EXPECT_EQ(sim::pnp::send(pdo, IRP_MN_QUERY_ID).wait().status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(sim::pnp::send(pdo, IRP_MN_START_DEVICE).wait().status, STATUS_SUCCESS);
  EXPECT_EQ(app::sendToDevice(pdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0).wait().status, STATUS_NOT_SUPPORTED)
      << "no device model plugged in";
  EXPECT_EQ(app::sendToDevice(pdo, IRP_MJ_READ, 0).wait().status, STATUS_INVALID_DEVICE_REQUEST);
  sim::pnp::deletePhysicalDevice(pdo);
}

TEST_F(PnpTest, ClassNamePropertyReportsItsSizeAndFailsWhenAbsent) {
  PDEVICE_OBJECT ports = sim::pnp::createPhysicalDevice();
  WCHAR buffer[8];
  ULONG length = 0;
  EXPECT_EQ(IoGetDeviceProperty(ports, DevicePropertyClassName, 4, buffer, &length), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 12u) << "five characters and a NUL";
  ASSERT_EQ(IoGetDeviceProperty(ports, DevicePropertyClassName, sizeof buffer, buffer, &length), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buffer)), u"Ports");

  sim::pnp::PhysicalDeviceOptions none;
  none.className = std::nullopt;
  PDEVICE_OBJECT unclassed = sim::pnp::createPhysicalDevice(none);
  EXPECT_FALSE(NT_SUCCESS(IoGetDeviceProperty(unclassed, DevicePropertyClassName, sizeof buffer, buffer, &length)));
  sim::pnp::deletePhysicalDevice(ports);
  sim::pnp::deletePhysicalDevice(unclassed);
}

TEST_F(PnpTest, ExtensionSizeIsCountedInTheDeviceObjectSize) {
  sim::pnp::PhysicalDeviceOptions family;
  family.extension = sim::pnp::BusExtension::Family;
  PDEVICE_OBJECT pdo = sim::pnp::createPhysicalDevice(family);
  EXPECT_EQ(pdo->Size, sizeof(DEVICE_OBJECT) + 16);
  auto extension = static_cast<const char*>(pdo->DeviceExtension);
  EXPECT_EQ(std::string(extension, 4), "VTQB");
  uint8_t* block;
  std::memcpy(&block, extension + 8, sizeof block);
  EXPECT_EQ(block, sim::pnp::claimBlock(pdo));
  sim::pnp::deletePhysicalDevice(pdo);
}

TEST_F(PnpTest, AddDeviceThatLeavesItsDeviceInitializingIsStopped) {
  static PDEVICE_OBJECT created = nullptr;
  PDRIVER_OBJECT driver = sim::loadDriver(u"sloppy", [](PDRIVER_OBJECT d, PUNICODE_STRING) -> NTSTATUS {
    d->DriverUnload = [](PDRIVER_OBJECT) {};
    d->DriverExtension->AddDevice = [](PDRIVER_OBJECT self, PDEVICE_OBJECT pdo) -> NTSTATUS {
      IoCreateDevice(self, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &created);
      IoAttachDeviceToDeviceStack(created, pdo);
      return STATUS_SUCCESS;  // forgets to clear DO_DEVICE_INITIALIZING
    };
    return STATUS_SUCCESS;
  });
  PDEVICE_OBJECT pdo = sim::pnp::createPhysicalDevice();
  EXPECT_THROW(sim::pnp::addDevice(driver, pdo), sim::VerifierStop);
  IoDetachDevice(pdo);
  IoDeleteDevice(created);
  sim::pnp::deletePhysicalDevice(pdo);
  sim::unloadDriver(driver);
}

}  // namespace
