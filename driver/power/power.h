// Driver: power management. The driver is the adapter's power policy owner:
// a system power request goes down and, on its way back, becomes a device
// request of the same kind for the matching device state; device requests are
// handled by direction. Going down in power the port's requests and readers
// stop before the request is passed on; back in D0 the queues resume and the
// readers of an open port restart once the lower stack has powered up. Every
// request holds one outstanding-request count until it is sent on or
// completed, across completion routines and work items.
#pragma once

#include "driver/core/device_context.h"

// PowerSystemWorking is D0; every other system state is D3.
DEVICE_POWER_STATE TzSerialMapSystemToDevicePower(SYSTEM_POWER_STATE state);

// Passes a system request down with TzSerialSystemPowerComplete on its way
// back; returns STATUS_PENDING.
NTSTATUS TzSerialForwardSystemPower(DeviceContext* context, PIRP irp);
IO_COMPLETION_ROUTINE TzSerialSystemPowerComplete;
// Completes the waiting system request once its device request is done.
REQUEST_POWER_COMPLETE TzSerialDevicePowerRequestComplete;
// The completion routine of a device set-power request that raises power.
IO_COMPLETION_ROUTINE TzSerialDevicePowerUpComplete;

// The power work routines; each takes its request from pendingDevicePowerIrp.
// PASSIVE_LEVEL: TzSerialRunPowerWork calls them directly below
// DISPATCH_LEVEL and from the work item otherwise.
void TzSerialPowerDown(PDEVICE_OBJECT deviceObject, DeviceContext* context);
void TzSerialPowerUpFinish(PDEVICE_OBJECT deviceObject, DeviceContext* context);
void TzSerialPowerStayD0(PDEVICE_OBJECT deviceObject, DeviceContext* context);
// A wake whose device request could not be had: asks for D0 again from a
// timer, every 100 ms up to ten times, while the system is working and the
// device is not in D0. IRQL <= DISPATCH_LEVEL.
void TzSerialPowerRetryD0(DeviceContext* context);
KDEFERRED_ROUTINE TzSerialPowerRetryDpc;

void TzSerialRunPowerWork(PDEVICE_OBJECT deviceObject, DeviceContext* context,
                          void (*work)(PDEVICE_OBJECT deviceObject, DeviceContext* context));
