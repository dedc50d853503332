// Tests: driver entry. STATIC_SETTING handling (the Parameters subkey first,
// then the service key), the WDM version probe that caps
// the first bulk-out transfer, the dispatch table, and that neither a failed
// allocation nor an unload leaves anything behind.
#include "driver/core/dispatch.h"
#include "driver/core/globals.h"
#include "driver/pnp/pnp.h"
#include "support/sim_test.h"

#include <functional>

namespace {

// Loads the driver failing its first allocation, then its second, and so on
// until a load meets no failure; check sees the globals after each load, and
// each unload checks that no pool or key handle is left.
void loadFailingEachAllocation(const std::function<void(bool fired, uint64_t failAt)>& check) {
  for (uint64_t failAt = 1;; ++failAt) {
    sim::faults::arm(failAt);
    PDRIVER_OBJECT d = sim::loadDriver(u"tzserial", DriverEntry);
    bool fired = sim::faults::fired();
    sim::faults::disarm();
    ASSERT_NE(d, nullptr) << "allocation " << failAt;
    check(fired, failAt);
    sim::unloadDriver(d);
    if (!fired) break;
  }
}

class StaticSettingTest : public DriverTest {
 protected:
  void configure() override {
    if (value) sim::registry::setValue(serviceKey(), u"STATIC_SETTING", type, &*value, length);
  }
  void loadWith(ULONG type_, uint32_t value_, size_t length_ = 4) {
    type = type_;
    value = value_;
    length = length_;
    reload();
  }
  std::optional<uint32_t> value;
  ULONG type = REG_DWORD;
  size_t length = 4;
};

TEST_F(StaticSettingTest, AbsentValueMeansTwoDevicesZeroLengthPacketsAndSleepAllowed) {
  EXPECT_EQ(TzSerialGlobals.staticSetting, 0u);
}

TEST_F(StaticSettingTest, OnlyTheLowThreeBitsAreKept) {
  loadWith(REG_DWORD, 0xFFFFFFFF);
  EXPECT_EQ(TzSerialGlobals.staticSetting, 7u);
  loadWith(REG_DWORD, 8);
  EXPECT_EQ(TzSerialGlobals.staticSetting, 0u);
  loadWith(REG_DWORD, StaticSettingSingleDevice | 0x10);
  EXPECT_EQ(TzSerialGlobals.staticSetting, ULONG(StaticSettingSingleDevice));
}

TEST_F(StaticSettingTest, AnyTypeIsReadAsItsFirstFourBytes) {
  loadWith(REG_BINARY, 0x00000005);
  EXPECT_EQ(TzSerialGlobals.staticSetting, 5u);
}

TEST_F(StaticSettingTest, ValueShorterThanADwordCountsAsAbsent) {
  loadWith(REG_BINARY, 0x07, 2);
  EXPECT_EQ(TzSerialGlobals.staticSetting, 0u);
  loadWith(REG_BINARY, 0x07, 0);
  EXPECT_EQ(TzSerialGlobals.staticSetting, 0u);
}

TEST_F(StaticSettingTest, EveryFailedAllocationFallsBackToZeroAndLeaksNothing) {
  sim::unloadDriver(driver);
  driver = nullptr;
  sim::registry::setDword(serviceKey(), u"STATIC_SETTING", 7);
  loadFailingEachAllocation([](bool fired, uint64_t failAt) {
    EXPECT_EQ(TzSerialGlobals.staticSetting, fired ? 0u : 7u) << "allocation " << failAt;
  });
}

// The package installs STATIC_SETTING under the service key's Parameters
// subkey; a value on the service key itself still serves older installations.
class ParametersSettingTest : public DriverTest {
 protected:
  static std::u16string parametersKey() { return serviceKey() + u"\\Parameters"; }
  void loadWith(std::optional<uint32_t> parameters, std::optional<uint32_t> service, size_t parametersLength = 4) {
    sim::unloadDriver(driver);
    driver = nullptr;
    sim::registry::createKey(parametersKey());
    sim::registry::deleteValue(parametersKey(), u"STATIC_SETTING");
    sim::registry::deleteValue(serviceKey(), u"STATIC_SETTING");
    if (parameters) sim::registry::setValue(parametersKey(), u"STATIC_SETTING", REG_DWORD, &*parameters, parametersLength);
    if (service) sim::registry::setDword(serviceKey(), u"STATIC_SETTING", *service);
    driver = sim::loadDriver(u"tzserial", DriverEntry);
    ASSERT_NE(driver, nullptr);
  }
};

TEST_F(ParametersSettingTest, TheParametersValueWinsAndTheServiceKeysOwnIsTheFallback) {
  loadWith(StaticSettingSingleDevice, StaticSettingNoZeroLengthPacket);
  EXPECT_EQ(TzSerialGlobals.staticSetting, ULONG(StaticSettingSingleDevice));
  loadWith(0, StaticSettingNoZeroLengthPacket);  // an explicit 0 under Parameters is a value too
  EXPECT_EQ(TzSerialGlobals.staticSetting, 0u);
  loadWith(std::nullopt, StaticSettingNoZeroLengthPacket);
  EXPECT_EQ(TzSerialGlobals.staticSetting, ULONG(StaticSettingNoZeroLengthPacket));
  loadWith(0xFFFFFFF9, std::nullopt);
  EXPECT_EQ(TzSerialGlobals.staticSetting, 1u);
  loadWith(std::nullopt, std::nullopt);
  EXPECT_EQ(TzSerialGlobals.staticSetting, 0u);
}

TEST_F(ParametersSettingTest, AParametersValueShorterThanADwordFallsBackToTheServiceKey) {
  loadWith(StaticSettingSingleDevice, StaticSettingBlockSleepWhenOpen, 2);
  EXPECT_EQ(TzSerialGlobals.staticSetting, ULONG(StaticSettingBlockSleepWhenOpen));
}

TEST_F(ParametersSettingTest, FailedAllocationsGiveOneOfTheTwoValuesOrZeroAndLeakNothing) {
  loadWith(StaticSettingSingleDevice, StaticSettingNoZeroLengthPacket);
  sim::unloadDriver(driver);
  driver = nullptr;
  loadFailingEachAllocation([](bool fired, uint64_t failAt) {
    ULONG got = TzSerialGlobals.staticSetting;
    if (fired)
      EXPECT_TRUE(got == 0 || got == StaticSettingSingleDevice || got == StaticSettingNoZeroLengthPacket)
          << "allocation " << failAt << " gave " << got;
    else
      EXPECT_EQ(got, ULONG(StaticSettingSingleDevice));
  });
}

struct WdmCase {
  UCHAR major, minor;
  ULONG expectedWriteCap;
};

class WdmProbeTest : public DriverTest, public ::testing::WithParamInterface<WdmCase> {
 protected:
  void configure() override { sim::setWdmVersion(GetParam().major, GetParam().minor); }
};

TEST_P(WdmProbeTest, OnlyWdm110CapsTheFirstWriteTransfer) {
  EXPECT_EQ(TzSerialGlobals.maxWriteTransferSize, GetParam().expectedWriteCap);
  EXPECT_EQ(TzSerialGlobals.maxTransferSize, 4096u);
  EXPECT_EQ(TzSerialGlobals.deviceCount, 0u);
}

INSTANTIATE_TEST_SUITE_P(Versions, WdmProbeTest,
                         ::testing::Values(WdmCase{6, 0x30, 0xFFFFFFFF}, WdmCase{1, 0x30, 0xFFFFFFFF},
                                           WdmCase{1, 0x20, 0xFFFFFFFF}, WdmCase{1, 0x10, 4096},
                                           WdmCase{1, 0x05, 0xFFFFFFFF}, WdmCase{1, 0x00, 0xFFFFFFFF}));

TEST_F(DriverTest, DispatchTableNamesEveryHandledMajorFunction) {
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], TzSerialCreateDispatch);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], TzSerialCloseDispatch);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_READ], TzSerialRead);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_WRITE], TzSerialWrite);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS], TzSerialFlush);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], TzSerialDeviceControlDispatch);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLEANUP], TzSerialCleanupDispatch);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_POWER], TzSerialPowerDispatch);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL], TzSerialSystemControlDispatch);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], TzserialPnp);
  EXPECT_EQ(driver->DriverExtension->AddDevice, TzSerialAddDevice);
  EXPECT_EQ(driver->DriverUnload, TzSerialUnload);
}

TEST_F(DriverTest, MajorFunctionsOutsideTheTableFailWithInvalidDeviceRequest) {
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device), STATUS_SUCCESS);
  for (UCHAR major : {IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION, IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
    app::Result r = app::sendToDevice(device, major, 0).wait();
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST) << "major " << int(major);
    EXPECT_EQ(r.information, 0u);
  }
  IoDeleteDevice(device);
}

}  // namespace
