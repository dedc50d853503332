// Tests: device creation. Both device schemes and their names, the context's
// defaults, the setup class, the bus claim block, and the unwinding of every
// failure: nothing left behind, and the next adapter reuses the number.
#include "driver/core/globals.h"
#include "driver/pnp/pnp.h"
#include "sim/pnp.h"
#include "support/sim_test.h"

namespace {

class AddDeviceTest : public DriverTest {
 protected:
  void configure() override {
    if (singleDevice) sim::registry::setDword(serviceKey(), u"STATIC_SETTING", StaticSettingSingleDevice);
  }

  void TearDown() override {
    for (PDEVICE_OBJECT pdo : pdos) {
      if (pdo->AttachedDevice) removeAdapter(pdo);
      sim::pnp::deletePhysicalDevice(pdo);
    }
    DriverTest::TearDown();
  }

  PDEVICE_OBJECT plug(const sim::pnp::PhysicalDeviceOptions& options = {}) {
    pdos.push_back(sim::pnp::createPhysicalDevice(options));
    return pdos.back();
  }

  DeviceContext* contextOf(PDEVICE_OBJECT pdo) { return TzSerialGetDeviceContext(pdo->AttachedDevice); }

  // Releases what device creation made, as removal will.
  void removeAdapter(PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    DeviceContext* context = TzSerialGetDeviceContext(fdo);
    PDEVICE_OBJECT port = context->portDevice;
    TzSerialFreeTransferResources(context);
    IoFreeWorkItem(context->workItem);
    IoFreeWorkItem(context->recoveryWorkItem);
    IoFreeWorkItem(context->linesWorkItem);
    ExFreePoolWithTag(context->deviceName.Buffer, TzSerialPoolTag);
    IoDetachDevice(context->lowerDevice);
    IoDeleteDevice(fdo);
    if (port) IoDeleteDevice(port);
  }

  // What one adapter holds: the name buffer, the interrupt and bulk-out URBs,
  // eight bulk-in URBs and buffers, and the receive ring.
  static size_t adapterPoolBytes() { return 256 + 128 + 8 * (128 + 4096) + 128 + 409600; }

  bool singleDevice = false;
  std::vector<PDEVICE_OBJECT> pdos;
};

TEST_F(AddDeviceTest, TwoDeviceSchemeNamesOnlyThePortDeviceObject) {
  PDEVICE_OBJECT pdo = plug();
  ASSERT_EQ(sim::pnp::addDevice(driver, pdo), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = pdo->AttachedDevice;
  ASSERT_NE(fdo, nullptr);
  DeviceContext* context = contextOf(pdo);
  PDEVICE_OBJECT port = context->portDevice;
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(sim::deviceCount(driver), 2u);
  EXPECT_EQ(sim::deviceName(fdo), u"");
  EXPECT_EQ(sim::deviceName(port), u"\\Device\\TALVENO0");
  EXPECT_EQ(sim::narrow(&context->deviceName), "\\Device\\TALVENO0");
  EXPECT_EQ(context, port->DeviceExtension);
  EXPECT_EQ(TzSerialGetDeviceContext(port), context);
  EXPECT_EQ(static_cast<DeviceContext*>(fdo->DeviceExtension)->signature, FunctionDeviceSignature);
  EXPECT_EQ(context->signature, PortDeviceSignature);
  EXPECT_EQ(port->AttachedDevice, nullptr);
  EXPECT_EQ(sim::lowerDevice(port), nullptr) << "the port device object is on no stack";
  EXPECT_EQ(context->functionDevice, fdo);
  EXPECT_EQ(context->physicalDevice, pdo);
  EXPECT_EQ(context->lowerDevice, pdo);
  EXPECT_EQ(port->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
            ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE));
  EXPECT_EQ(fdo->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
            ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE));
  EXPECT_EQ(TzSerialGlobals.deviceCount, 1u);

  PDEVICE_OBJECT second = plug();
  ASSERT_EQ(sim::pnp::addDevice(driver, second), STATUS_SUCCESS);
  EXPECT_EQ(sim::narrow(&contextOf(second)->deviceName), "\\Device\\TALVENO1");
  EXPECT_EQ(sim::poolInUse(TzSerialPoolTag).bytes, 2 * adapterPoolBytes());
}

TEST_F(AddDeviceTest, OneDeviceSchemeNamesTheFunctionDeviceObjectAndKeepsTheContextThere) {
  singleDevice = true;
  reload();
  PDEVICE_OBJECT pdo = plug();
  ASSERT_EQ(sim::pnp::addDevice(driver, pdo), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = pdo->AttachedDevice;
  EXPECT_EQ(sim::deviceCount(driver), 1u);
  EXPECT_EQ(sim::deviceName(fdo), u"\\Device\\TALVENO0");
  DeviceContext* context = TzSerialGetDeviceContext(fdo);
  EXPECT_EQ(context, fdo->DeviceExtension);
  EXPECT_EQ(context->portDevice, nullptr);
  EXPECT_EQ(context->signature, FunctionDeviceSignature);
}

TEST_F(AddDeviceTest, NewAdapterHasThePortDefaultsStalledQueuesAndPowerStateD3) {
  PDEVICE_OBJECT pdo = plug();
  ASSERT_EQ(sim::pnp::addDevice(driver, pdo), STATUS_SUCCESS);
  DeviceContext* c = contextOf(pdo);
  EXPECT_EQ(c->currentBaudRate, 1200u);
  EXPECT_EQ(c->lineControl, 0x1A);
  EXPECT_EQ(c->validDataMask, 0x7F);
  EXPECT_EQ(c->specialChars.XonChar, 0x11);
  EXPECT_EQ(c->specialChars.XoffChar, 0x13);
  EXPECT_EQ(c->specialChars.EofChar | c->specialChars.ErrorChar | c->specialChars.BreakChar |
                c->specialChars.EventChar,
            0);
  EXPECT_EQ(c->handFlow.ControlHandShake, ULONG(SERIAL_DTR_CONTROL));
  EXPECT_EQ(c->handFlow.FlowReplace, ULONG(SERIAL_RTS_CONTROL));
  EXPECT_EQ(c->handFlow.XonLimit | c->handFlow.XoffLimit, 0);
  EXPECT_EQ(c->timeouts.ReadIntervalTimeout | c->timeouts.ReadTotalTimeoutConstant |
                c->timeouts.WriteTotalTimeoutConstant,
            0u);
  EXPECT_EQ(c->intervalCutover.QuadPart, 200000000);
  EXPECT_EQ(c->intervalPollLong.QuadPart, -10000000);
  EXPECT_EQ(c->intervalPollShort.QuadPart, -1);
  EXPECT_EQ(c->rxBufferSize, 409600u);
  EXPECT_NE(c->rxBuffer, nullptr);
  for (ULONG slot = 0; slot < TzSerialBulkInSlots; ++slot) {
    EXPECT_NE(c->bulkInIrp[slot], nullptr);
    EXPECT_EQ(c->bulkInIrp[slot]->StackCount, c->lowerDevice->StackSize);
    EXPECT_EQ(KeReadStateEvent(&c->bulkInDone[slot]), 1);
  }
  EXPECT_EQ(KeReadStateEvent(&c->statusDone), 1);
  EXPECT_EQ(c->deviceState, DeviceStateNotStarted);
  EXPECT_EQ(c->outstandingIo, 1);
  for (RequestQueue* queue : c->requestQueues) EXPECT_EQ(queue->stallCount, 1);
  EXPECT_TRUE(c->waitMaskQueue.startFromDpc && c->purgeQueue.startFromDpc);
  EXPECT_FALSE(c->readQueue.startFromDpc || c->writeQueue.startFromDpc);
  EXPECT_EQ(c->holdQueue.stallCount, 1);
  EXPECT_EQ(c->devicePowerState, PowerDeviceD3);
  EXPECT_EQ(sim::pnp::devicePowerState(c->functionDevice), PowerDeviceD3);
  EXPECT_NE(c->workItem, nullptr);
}

TEST_F(AddDeviceTest, SetupClassDecidesTheDeviceType) {
  struct Case {
    std::optional<std::u16string> className;
    ULONG type;
  };
  for (const Case& c : {Case{u"Ports", FILE_DEVICE_SERIAL_PORT}, Case{u"Modem", FILE_DEVICE_MODEM},
                        Case{u"ports", FILE_DEVICE_UNKNOWN}, Case{u"PortsX", FILE_DEVICE_UNKNOWN},
                        Case{u"Multifunction", FILE_DEVICE_UNKNOWN}, Case{std::nullopt, FILE_DEVICE_UNKNOWN},
                        Case{std::u16string(200, u'P'), FILE_DEVICE_UNKNOWN}}) {
    sim::pnp::PhysicalDeviceOptions options;
    options.className = c.className;
    PDEVICE_OBJECT pdo = plug(options);
    ASSERT_EQ(sim::pnp::addDevice(driver, pdo), STATUS_SUCCESS);
    EXPECT_EQ(contextOf(pdo)->interfaceClass, c.type) << sim::narrow(c.className.value_or(u"(unreadable)"));
  }
}

TEST_F(AddDeviceTest, ClaimBlockIsTakenOnlyFromTheFamilyBusDriver) {
  sim::pnp::PhysicalDeviceOptions family;
  family.extension = sim::pnp::BusExtension::Family;
  PDEVICE_OBJECT familyPdo = plug(family);
  ASSERT_EQ(sim::pnp::addDevice(driver, familyPdo), STATUS_SUCCESS);
  EXPECT_EQ(contextOf(familyPdo)->busClaimBlock, sim::pnp::claimBlock(familyPdo));

  for (size_t size : {size_t(0), size_t(4), size_t(15), size_t(64)}) {
    sim::pnp::PhysicalDeviceOptions foreign;
    foreign.extensionSize = size;
    PDEVICE_OBJECT pdo = plug(foreign);
    ASSERT_EQ(sim::pnp::addDevice(driver, pdo), STATUS_SUCCESS);
    EXPECT_EQ(contextOf(pdo)->busClaimBlock, nullptr) << "foreign extension of " << size << " bytes";
  }
}

TEST_F(AddDeviceTest, FailedSeventhBulkInBufferLeavesNothingAndTheNumberIsReused) {
  // The fallible allocations come in this order: name buffer, function and
  // port device objects, work item, interrupt URB and IRP, then per bulk-in
  // slot its URB, IRP and buffer.
  constexpr uint64_t kSeventhBulkInBuffer = 6 + 6 * 3 + 3;
  PDEVICE_OBJECT pdo = plug();
  sim::faults::arm(kSeventhBulkInBuffer);
  EXPECT_EQ(sim::pnp::addDevice(driver, pdo), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(sim::faults::fired());
  sim::faults::disarm();
  EXPECT_EQ(sim::poolInUse().blocks, 0u);
  EXPECT_EQ(sim::deviceCount(driver), 0u);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);

  ASSERT_EQ(sim::pnp::addDevice(driver, pdo), STATUS_SUCCESS);
  EXPECT_EQ(sim::narrow(&contextOf(pdo)->deviceName), "\\Device\\TALVENO0");
}

TEST_F(AddDeviceTest, EveryFailingAllocationUnwindsCompletelyInBothSchemes) {
  for (bool single : {false, true}) {
    singleDevice = single;
    reload();
    PDEVICE_OBJECT pdo = plug();
    for (uint64_t failAt = 1;; ++failAt) {
      sim::faults::arm(failAt);
      NTSTATUS status = sim::pnp::addDevice(driver, pdo);
      bool fired = sim::faults::fired();
      sim::faults::disarm();
      if (!fired) {
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(sim::narrow(&contextOf(pdo)->deviceName), "\\Device\\TALVENO0") << "failures never used a number";
        removeAdapter(pdo);
        break;
      }
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << failAt;
      EXPECT_EQ(sim::poolInUse().blocks, 0u) << "allocation " << failAt;
      EXPECT_EQ(sim::deviceCount(driver), 0u) << "allocation " << failAt;
      EXPECT_EQ(pdo->AttachedDevice, nullptr) << "allocation " << failAt;
      EXPECT_EQ(TzSerialGlobals.deviceCount, 0u);
      ASSERT_LT(failAt, 100u);
    }
  }
}

TEST_F(AddDeviceTest, AttachingToADeviceBeingRemovedFailsWithDeviceRemoved) {
  PDEVICE_OBJECT pdo = plug();
  sim::pnp::markRemoved(pdo);
  EXPECT_EQ(sim::pnp::addDevice(driver, pdo), STATUS_DEVICE_REMOVED);
  EXPECT_EQ(sim::poolInUse().blocks, 0u);
  EXPECT_EQ(sim::deviceCount(driver), 0u);
  EXPECT_EQ(TzSerialGlobals.deviceCount, 0u);
}

}  // namespace
