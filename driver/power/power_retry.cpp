// Driver: bringing the device back to D0 after a wake whose device request
// could not be had. The system request completes at once (a set-power may
// not fail); a timer asks the power manager again, a bounded number of times,
// until the device is back in D0, the system leaves the working state or the
// adapter goes away.
#include "driver/io/due_time.h"
#include "driver/power/power.h"

namespace {

constexpr LONG PowerRetryAttempts = 10;
constexpr ULONGLONG PowerRetryPauseMs = 100;

// The device request that brings the device up does the work in the power
// dispatch; its requester has nothing left to do.
void TzSerialPowerRetryRequestComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {}

bool TzSerialPowerRetryWanted(DeviceContext* context) {
  return TzSerialDeviceState(context) == DeviceStateStarted && context->systemPowerState == PowerSystemWorking &&
         context->devicePowerState != PowerDeviceD0;
}

// Arms the next attempt; the timer holds an outstanding-request count, so
// removal waits for the last attempt. IRQL <= DISPATCH_LEVEL.
void TzSerialPowerRetryArm(DeviceContext* context) {
  if (!TzSerialIoIncrement(context)) return;
  if (KeSetTimer(&context->powerRetryTimer, TzSerialRelativeDueTime(PowerRetryPauseMs), &context->powerRetryDpc))
    TzSerialIoDecrement(context);  // already armed: that one holds the count
}

}  // namespace

void TzSerialPowerRetryD0(DeviceContext* context) {
  InterlockedExchange(&context->powerRetriesLeft, PowerRetryAttempts);
  TzSerialPowerRetryArm(context);
}

void TzSerialPowerRetryDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto context = static_cast<DeviceContext*>(deferredContext);
  if (TzSerialPowerRetryWanted(context) && InterlockedDecrement(&context->powerRetriesLeft) >= 0) {
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    NTSTATUS status = PoRequestPowerIrp(context->physicalDevice, IRP_MN_SET_POWER, d0,
                                        TzSerialPowerRetryRequestComplete, nullptr, nullptr);
    if (!NT_SUCCESS(status)) TzSerialPowerRetryArm(context);
  }
  TzSerialIoDecrement(context);
}
