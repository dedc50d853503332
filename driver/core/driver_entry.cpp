// Driver: DriverEntry and unload. Reads STATIC_SETTING, probes the WDM version
// the platform offers, and fills the dispatch table.
#include "driver/core/dispatch.h"
#include "driver/core/globals.h"
#include "driver/pnp/pnp.h"

TzSerialGlobalSettings TzSerialGlobals;

namespace {

constexpr ULONG DefaultTransferSize = 4096;

// Reads STATIC_SETTING from the service key. A missing value, or one shorter
// than a DWORD, counts as 0.
ULONG TzSerialReadStaticSetting(PCUNICODE_STRING registryPath) {
  PAGED_CODE();
  // The registry path is counted, not terminated: copy it with a NUL.
  SIZE_T pathBytes = SIZE_T(registryPath->Length) + sizeof(WCHAR);
  auto keyPath = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, pathBytes, TzSerialPoolTag));
  if (!keyPath) return 0;
  RtlCopyMemory(keyPath, registryPath->Buffer, registryPath->Length);
  keyPath[registryPath->Length / sizeof(WCHAR)] = L'\0';

  ULONG length = 0;
  PVOID data = TzSerialQueryRegistryValue(nullptr, keyPath, L"STATIC_SETTING", &length);
  ExFreePoolWithTag(keyPath, TzSerialPoolTag);
  if (!data) return 0;
  ULONG value = 0;
  if (length >= sizeof(ULONG)) RtlCopyMemory(&value, data, sizeof(ULONG));
  ExFreePoolWithTag(data, TzSerialPoolTag);
  return value & StaticSettingMask;
}

// Only a platform whose best WDM version is 1.10 caps the first bulk-out
// transfer of a block at the transfer size.
void TzSerialProbeWdmVersion() {
  static const UCHAR minorVersions[] = {0x30, 0x20, 0x10, 0x05};
  for (UCHAR minor : minorVersions) {
    if (!IoIsWdmVersionAvailable(1, minor)) continue;
    if (minor == 0x10) {
      TzSerialGlobals.maxWriteTransferSize = DefaultTransferSize;
      TzSerialGlobals.maxTransferSize = DefaultTransferSize;
    }
    return;
  }
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  RtlZeroMemory(&TzSerialGlobals, sizeof TzSerialGlobals);
  TzSerialGlobals.staticSetting = TzSerialReadStaticSetting(registryPath);
  TzSerialGlobals.maxTransferSize = DefaultTransferSize;
  TzSerialGlobals.maxWriteTransferSize = 0xFFFFFFFF;
  TzSerialProbeWdmVersion();

  driverObject->MajorFunction[IRP_MJ_CREATE] = TzSerialCreateDispatch;
  driverObject->MajorFunction[IRP_MJ_CLOSE] = TzSerialCloseDispatch;
  driverObject->MajorFunction[IRP_MJ_READ] = TzSerialRead;
  driverObject->MajorFunction[IRP_MJ_WRITE] = TzSerialWrite;
  driverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = TzSerialFlush;
  driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TzSerialDeviceControlDispatch;
  driverObject->MajorFunction[IRP_MJ_CLEANUP] = TzSerialCleanupDispatch;
  driverObject->MajorFunction[IRP_MJ_POWER] = TzSerialPowerDispatch;
  driverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = TzSerialSystemControlDispatch;
  driverObject->MajorFunction[IRP_MJ_PNP] = TzserialPnp;
  driverObject->DriverExtension->AddDevice = TzSerialAddDevice;
  driverObject->DriverUnload = TzSerialUnload;
  return STATUS_SUCCESS;
}

// Every adapter's resources were released at its removal; nothing is left.
void TzSerialUnload(PDRIVER_OBJECT driverObject) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(driverObject);
}
