// Simulated platform: the power manager's side for tests and tools. The power
// manager sends system power requests to the top of a PDO's stack and waits
// for them, as it does on a sleep or a wake; tests can also send device power
// requests as another component would, and see what reached the bus.
//
//   ASSERT_EQ(sim::power::sleep(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
//   EXPECT_EQ(sim::pnp::devicePowerState(pdo), PowerDeviceD3);  // the bus was told
//   sim::power::wake(pdo);
//
// Power requests travel the same serialization as drivers' own (PoCallDriver,
// PoRequestPowerIrp): at most one system and one device request per device
// object at a time; see sim/src/power.cpp.
#pragma once

#include "sim/app.h"

namespace sim::power {

// The IRQL the power manager dispatches power IRPs at: PASSIVE_LEVEL (the
// default after boot), or DISPATCH_LEVEL, as the platform does for stacks that
// are not DO_POWER_PAGABLE, so that a driver's dispatch routine must defer its
// waiting work to a work item. Applies to the first dispatch of every power
// IRP (the power manager's own, and those from PoRequestPowerIrp) and to a
// queued IRP when its turn comes; a driver passing an IRP on does so at its
// own IRQL.
void setDeliveryIrql(KIRQL irql);
KIRQL deliveryIrql();

// ---- system power requests -------------------------------------------------------
// Each sends one IRP_MJ_POWER with Parameters.Power.Type SystemPowerState,
// State.SystemState and the matching ShutdownType (PowerActionSleep for S1-S3,
// PowerActionHibernate for S4, PowerActionShutdownOff for S5, PowerActionNone
// for S0) to the top of the PDO's stack, and waits for it. PASSIVE_LEVEL.

// IRP_MN_QUERY_POWER; returns its status.
NTSTATUS querySystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
// IRP_MN_SET_POWER; returns its status. The system is in `state` after it.
NTSTATUS setSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
// Query, then set. A failed query vetoes the transition: the stack is sent a
// set of the current system state instead (as the power manager tells the
// devices it queried), and the query's status is returned.
NTSTATUS sleep(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
// Set PowerSystemWorking.
NTSTATUS wake(PDEVICE_OBJECT pdo);
// sleep() over every PDO on the bus: all are queried (in plug order) before
// any is set; a veto ends the queries and sends each PDO queried so far a set
// of the current state. Returns the first failure.
NTSTATUS sleepAll(SYSTEM_POWER_STATE state);
// wake() over every PDO on the bus, in reverse plug order. Returns the first failure.
NTSTATUS wakeAll();
// The system power state last set (PowerSystemWorking after boot).
SYSTEM_POWER_STATE systemState();

// ---- device power requests ---------------------------------------------------------
// IRP_MN_QUERY_POWER or IRP_MN_SET_POWER with DevicePowerState, sent to the
// top of the PDO's stack as another component would. PASSIVE_LEVEL.
app::Request sendDevicePowerAsync(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state);
NTSTATUS sendDevicePower(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state);

// ---- the bus driver's side ------------------------------------------------------------
// The bus driver lets every query and set go (PoStartNextPowerIrp), records
// the device state of a device set with PoSetPowerState on the PDO (see
// sim::pnp::devicePowerState), and succeeds both. It keeps an
// IRP_MN_WAIT_WAKE pending until the device signals wake or the request is
// cancelled (STATUS_CANCELLED); one for a state below the bus's SystemWake
// (S3) fails with STATUS_INVALID_DEVICE_STATE, a second while one is pending
// with STATUS_DEVICE_BUSY. Other power minors complete with their status untouched.

struct BusPowerRequest {
  UCHAR minor = 0;
  POWER_STATE_TYPE type = SystemPowerState;  // not meaningful for IRP_MN_WAIT_WAKE
  POWER_STATE state{};                       // WaitWake.PowerState for IRP_MN_WAIT_WAKE
};
// The power requests that reached the bus driver for the PDO, in order.
std::vector<BusPowerRequest> busPowerRequests(PDEVICE_OBJECT pdo);
// Whether an IRP_MN_WAIT_WAKE is pending at the bus for the PDO.
bool waitWakePending(PDEVICE_OBJECT pdo);
// The device signals wake: completes the pending IRP_MN_WAIT_WAKE with
// STATUS_SUCCESS. Returns false when none was pending.
bool signalWake(PDEVICE_OBJECT pdo);

}  // namespace sim::power
