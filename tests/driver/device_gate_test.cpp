// Tests: the device context lookup, the request gate and the outstanding-
// request count that removal waits on.
#include "driver/core/device_context.h"
#include "driver/core/dispatch.h"
#include "support/sim_test.h"

namespace {

class DeviceGateTest : public DriverTest {
 protected:
  // Builds the device objects of an adapter as device creation lays them out.
  void createDevices(bool twoDevices) {
    ASSERT_EQ(IoCreateDevice(driver, sizeof(DeviceContext), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &fdo), 0);
    auto fdoExtension = static_cast<DeviceContext*>(fdo->DeviceExtension);
    fdoExtension->signature = FunctionDeviceSignature;
    context = fdoExtension;
    if (twoDevices) {
      UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\TALVENO0");
      ASSERT_EQ(IoCreateDevice(driver, sizeof(DeviceContext), &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &port), 0);
      context = static_cast<DeviceContext*>(port->DeviceExtension);
      context->signature = PortDeviceSignature;
      context->portDevice = port;
      fdoExtension->portDevice = port;
    }
    context->functionDevice = fdo;
    context->outstandingIo = 1;
    context->deviceState = DeviceStateNotStarted;
    KeInitializeEvent(&context->removeEvent, NotificationEvent, FALSE);
  }

  void TearDown() override {
    if (port) IoDeleteDevice(port);
    if (fdo) IoDeleteDevice(fdo);
    DriverTest::TearDown();
  }

  // An IRP whose current stack location carries the given major function.
  PIRP irpFor(UCHAR major) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = major;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 1234;
    return irp;
  }

  void freeIrp(PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    IoFreeIrp(irp);
  }

  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT port = nullptr;
  DeviceContext* context = nullptr;
};

TEST_F(DeviceGateTest, BothDeviceObjectsOfTheTwoDeviceSchemeResolveToThePortContext) {
  createDevices(true);
  EXPECT_EQ(TzSerialGetDeviceContext(fdo), context);
  EXPECT_EQ(TzSerialGetDeviceContext(port), context);
  EXPECT_EQ(context, port->DeviceExtension);
}

TEST_F(DeviceGateTest, TheOneDeviceSchemeUsesTheFunctionDeviceExtension) {
  createDevices(false);
  EXPECT_EQ(TzSerialGetDeviceContext(fdo), fdo->DeviceExtension);
}

// The device-control dispatch refuses a request after removal through the
// gate and hands it back with the Information it came with.
TEST_F(DeviceGateTest, ADeviceControlRefusedAfterRemovalKeepsItsInformation) {
  createDevices(true);
  context->deviceState = DeviceStateSurpriseRemoved;
  PIRP irp = IoAllocateIrp(2, FALSE);
  IO_STATUS_BLOCK seen = {};
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP completed, PVOID context) {
        *static_cast<PIO_STATUS_BLOCK>(context) = completed->IoStatus;
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &seen, TRUE, TRUE, TRUE);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_GET_BAUD_RATE;
  irp->IoStatus.Information = 1234;
  EXPECT_EQ(TzSerialDeviceControlDispatch(port, irp), STATUS_DELETE_PENDING);
  EXPECT_EQ(seen.Status, STATUS_DELETE_PENDING);
  EXPECT_EQ(seen.Information, 1234u);
  IoFreeIrp(irp);
}

TEST_F(DeviceGateTest, GateRefusesAllButPlugAndPlayOnceTheDeviceIsGone) {
  createDevices(true);
  for (LONG state = DeviceStateNotStarted; state <= DeviceStateSurpriseRemoved; ++state) {
    context->deviceState = state;
    bool gone = state == DeviceStateRemoved || state == DeviceStateSurpriseRemoved;
    PIRP control = irpFor(IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(TzSerialCheckDriverStatus(control, context), gone ? STATUS_DELETE_PENDING : STATUS_SUCCESS);
    EXPECT_EQ(control->IoStatus.Status, gone ? STATUS_DELETE_PENDING : STATUS_SUCCESS);
    EXPECT_EQ(control->IoStatus.Information, 1234u) << "the gate leaves Information alone";
    freeIrp(control);

    PIRP pnp = irpFor(IRP_MJ_PNP);
    EXPECT_EQ(TzSerialCheckDriverStatus(pnp, context), STATUS_SUCCESS) << "state " << state;
    EXPECT_EQ(pnp->IoStatus.Status, STATUS_SUCCESS);
    freeIrp(pnp);
  }
}

TEST_F(DeviceGateTest, IncrementIsRefusedOnlyAfterRemoval) {
  createDevices(true);
  for (LONG state = DeviceStateNotStarted; state <= DeviceStateSurpriseRemoved; ++state) {
    context->deviceState = state;
    BOOLEAN counted = TzSerialIoIncrement(context);
    EXPECT_EQ(counted, state != DeviceStateRemoved) << "state " << state;
    EXPECT_EQ(context->outstandingIo, counted ? 2 : 1);
    if (counted) TzSerialIoDecrement(context);
  }
}

TEST_F(DeviceGateTest, RemovalWithNothingInsideReturnsAtOnce) {
  createDevices(true);
  TzSerialWaitOutstandingIo(context);
  EXPECT_EQ(sim::now(), 0);
  EXPECT_EQ(context->deviceState, DeviceStateRemoved);
  EXPECT_EQ(context->outstandingIo, 0);
  EXPECT_FALSE(TzSerialIoIncrement(context));
  EXPECT_EQ(context->outstandingIo, 0) << "a refused increment takes its count back";
}

TEST_F(DeviceGateTest, RemovalWaitsForTheLastRequestToLeave) {
  createDevices(true);
  ASSERT_TRUE(TzSerialIoIncrement(context));
  ASSERT_TRUE(TzSerialIoIncrement(context));
  sim::schedule(10 * sim::kMs, [this] { TzSerialIoDecrement(context); });
  sim::schedule(25 * sim::kMs, [this] { TzSerialIoDecrement(context); });
  TzSerialWaitOutstandingIo(context);
  EXPECT_EQ(sim::now(), 25 * sim::kMs) << "released by the last decrement, not the first";
  EXPECT_EQ(context->outstandingIo, 0);
}

TEST_F(DeviceGateTest, RemovalNeverReturnsWhileARequestIsInside) {
  createDevices(true);
  ASSERT_TRUE(TzSerialIoIncrement(context));
  EXPECT_THROW(TzSerialWaitOutstandingIo(context), sim::VerifierStop) << "a leaked count would hang removal";
  TzSerialIoDecrement(context);
  EXPECT_EQ(KeReadStateEvent(&context->removeEvent), 1);
}

}  // namespace
