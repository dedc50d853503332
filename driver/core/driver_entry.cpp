// Driver: DriverEntry and unload. Sets the stack guard, reads STATIC_SETTING,
// probes the WDM version the platform offers, and fills the dispatch table.
#include "driver/core/dispatch.h"
#include "driver/core/globals.h"
#include "driver/core/stack_guard.h"
#include "driver/pnp/pnp.h"

TzSerialGlobalSettings TzSerialGlobals;

namespace {

constexpr ULONG DefaultTransferSize = 4096;

// Reads a DWORD value of one key. False when the value is missing or shorter
// than a DWORD.
bool TzSerialReadDwordValue(PCWSTR keyPath, PCWSTR valueName, ULONG* value) {
  PAGED_CODE();
  ULONG length = 0;
  PVOID data = TzSerialQueryRegistryValue(nullptr, keyPath, valueName, &length);
  if (!data) return false;
  bool found = length >= sizeof(ULONG);
  if (found) RtlCopyMemory(value, data, sizeof(ULONG));
  ExFreePoolWithTag(data, TzSerialPoolTag);
  return found;
}

// Reads STATIC_SETTING from the service key's Parameters subkey, where the
// driver package installs it, else from the service key itself, where
// installations made before the package keep it. Missing in both: 0.
ULONG TzSerialReadStaticSetting(PCUNICODE_STRING registryPath) {
  PAGED_CODE();
  static const WCHAR parametersSubkey[] = L"\\Parameters";
  // The registry path is counted, not terminated: copy it with the subkey
  // and a NUL.
  SIZE_T pathBytes = SIZE_T(registryPath->Length) + sizeof(parametersSubkey);
  auto keyPath = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, pathBytes, TzSerialPoolTag));
  if (!keyPath) return 0;
  USHORT serviceChars = registryPath->Length / sizeof(WCHAR);
  RtlCopyMemory(keyPath, registryPath->Buffer, registryPath->Length);
  RtlCopyMemory(keyPath + serviceChars, parametersSubkey, sizeof(parametersSubkey));

  ULONG value = 0;
  if (!TzSerialReadDwordValue(keyPath, L"STATIC_SETTING", &value)) {
    keyPath[serviceChars] = L'\0';
    if (!TzSerialReadDwordValue(keyPath, L"STATIC_SETTING", &value)) value = 0;
  }
  ExFreePoolWithTag(keyPath, TzSerialPoolTag);
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

// Everything DriverEntry does once the stack guard holds its value; never
// inlined into DriverEntry, whose frame is not protected.
__attribute__((noinline)) NTSTATUS TzSerialDriverInitialize(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
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

}  // namespace

// The image's entry point. It sets the stack guard first, so it must not be
// protected itself: a frame opened before the guard changes would fail its
// check on return. Everything else runs in protected routines after it.
extern "C" TZ_NO_STACK_PROTECTOR NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  TzSerialStackGuardInitialize();
  return TzSerialDriverInitialize(driverObject, registryPath);
}

// Every adapter's resources were released at its removal; nothing is left.
void TzSerialUnload(PDRIVER_OBJECT driverObject) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(driverObject);
}
