// Tests of the simulated kernel: the power rules the verifier holds drivers
// to. A system set-power may not fail (a query may); a device may not leave D0
// with transfers pending on the bus; PoSetPowerState follows the stack below:
// D0 once the lower drivers have reached it, a lower state before the request
// goes below.
#include "fragment.h"
#include "sim/pnp.h"
#include "sim/power.h"

namespace {

POWER_STATE deviceState(DEVICE_POWER_STATE d) {
  POWER_STATE s;
  s.DeviceState = d;
  return s;
}

NTSTATUS sendSystem(PDEVICE_OBJECT device, UCHAR minor) {
  return app::sendToDevice(device, IRP_MJ_POWER, minor,
                           [](PIO_STACK_LOCATION next) {
                             next->Parameters.Power.Type = SystemPowerState;
                             next->Parameters.Power.State.SystemState = PowerSystemSleeping3;
                           })
      .wait()
      .status;
}

class PowerRulesTest : public FragmentTest {
 protected:
  void takePower() { driver->MajorFunction[IRP_MJ_POWER] = driver->MajorFunction[IRP_MJ_CREATE]; }
};

TEST_F(PowerRulesTest, ADriverMayFailASystemQueryButNeverASystemSet) {
  takePower();
  PDEVICE_OBJECT device = addDevice(frag::onlyFor(IRP_MJ_POWER, [](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    return frag::complete(irp, STATUS_UNSUCCESSFUL);
  }));
  EXPECT_EQ(sendSystem(device, IRP_MN_QUERY_POWER), STATUS_UNSUCCESSFUL);
  EXPECT_VERIFIER_STOP(sendSystem(device, IRP_MN_SET_POWER), "never a set-power");
  reboot();
}

TEST_F(PowerRulesTest, ADeviceLeavesD0OnlyWithNoTransferPendingOnTheBus) {
  size_t pending = 0;
  sim::pnp::PhysicalDeviceOptions options;
  options.transfersNotCompleted = [&] { return pending; };
  PDEVICE_OBJECT pdo = sim::pnp::createPhysicalDevice(options);
  EXPECT_EQ(sim::power::sendDevicePower(pdo, IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
  pending = 2;
  EXPECT_EQ(sim::power::sendDevicePower(pdo, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS) << "up is fine";
  EXPECT_VERIFIER_STOP(sim::power::sendDevicePower(pdo, IRP_MN_SET_POWER, PowerDeviceD3),
                       "D3 reached the bus with 2 transfer(s) still pending");
  reboot();
}

TEST_F(PowerRulesTest, PoSetPowerStateFollowsTheDevicesBelow) {
  PDEVICE_OBJECT below = addDevice();
  PDEVICE_OBJECT above = addDevice();
  PoSetPowerState(below, DevicePowerState, deviceState(PowerDeviceD0));
  PoSetPowerState(above, DevicePowerState, deviceState(PowerDeviceD0));
  // Down in order: this driver first, then the request goes below.
  PoSetPowerState(above, DevicePowerState, deviceState(PowerDeviceD3));
  PoSetPowerState(below, DevicePowerState, deviceState(PowerDeviceD3));
  EXPECT_VERIFIER_STOP(PoSetPowerState(above, DevicePowerState, deviceState(PowerDeviceD0)),
                       "before the lower drivers have reached it");
  // Up in order: below first.
  PoSetPowerState(below, DevicePowerState, deviceState(PowerDeviceD0));
  PoSetPowerState(above, DevicePowerState, deviceState(PowerDeviceD0));
  // Down out of order: the request went below before this driver reported.
  PoSetPowerState(below, DevicePowerState, deviceState(PowerDeviceD3));
  EXPECT_VERIFIER_STOP(PoSetPowerState(above, DevicePowerState, deviceState(PowerDeviceD3)),
                       "after the device set-power request went below");
}

}  // namespace
