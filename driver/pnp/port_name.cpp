// Driver: port naming. The name comes from the adapter's device parameters
// key, where the port's installer stores it; this code makes it usable.
#include "driver/pnp/port_name.h"

#include "driver/core/globals.h"

const GUID TzSerialPortInterfaceGuid = {0x5a1e6c43, 0x7b2d, 0x4f0e, {0x9c, 0x31, 0x2d, 0x8e, 0x4b, 0x6a, 0x7f, 0x10}};
const GUID TzSerialComPortInterfaceGuid = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
const GUID TzSerialModemInterfaceGuid = {0x2c7089aa, 0x2e0e, 0x11d1, {0xb1, 0x14, 0x00, 0xc0, 0x4f, 0xc2, 0xaa, 0xe4}};

namespace {

constexpr ULONG PortNameAttempts = 10;
constexpr LONGLONG PortNameRetry100ns = -500000;  // 50 ms, relative
constexpr USHORT LinkBuilderCapacity = 512;       // bytes of \??\ and the name
constexpr USHORT LinkPrefixBytes = 4 * sizeof(WCHAR);  // the \??\ prefix

PWSTR TzSerialReadNameValue(HANDLE key, ULONG* length, ULONG* type) {
  PWSTR name = static_cast<PWSTR>(TzSerialQueryRegistryValue(key, nullptr, L"PortName", length, type));
  if (!name) name = static_cast<PWSTR>(TzSerialQueryRegistryValue(key, nullptr, L"Identifier", length, type));
  return name;
}

// Characters before the first NUL; the reader's buffer always holds one
// within its data length plus two bytes.
ULONG TzSerialNameLength(PCWSTR name, ULONG dataLength) {
  ULONG count = 0;
  while (count < dataLength / sizeof(WCHAR) && name[count] != L'\0') ++count;
  return count;
}

void TzSerialFreeString(PUNICODE_STRING s) {
  if (s->Buffer) ExFreePoolWithTag(s->Buffer, TzSerialPoolTag);
  RtlZeroMemory(s, sizeof *s);
}

// Disables and frees an interface link the system allocated.
void TzSerialDropInterface(PUNICODE_STRING link, bool disable) {
  if (!link->Buffer) return;
  if (disable) IoSetDeviceInterfaceState(link, FALSE);
  RtlFreeUnicodeString(link);
  RtlZeroMemory(link, sizeof *link);
}

}  // namespace

NTSTATUS TzSerialReadPortName(DeviceContext* context, HANDLE key, PUNICODE_STRING linkName, PWSTR* portName) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(context);
  UNICODE_STRING builder;
  builder.Buffer =
      static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, LinkBuilderCapacity + sizeof(WCHAR), TzSerialPoolTag));
  if (!builder.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(builder.Buffer, LinkBuilderCapacity + sizeof(WCHAR));
  builder.Length = 0;
  builder.MaximumLength = LinkBuilderCapacity;

  // The installer may still be writing the name during the first start.
  ULONG length = 0, type = REG_NONE;
  PWSTR name = nullptr;
  for (ULONG attempt = 0; attempt < PortNameAttempts; ++attempt) {
    name = TzSerialReadNameValue(key, &length, &type);
    if (name) break;
    LARGE_INTEGER interval;
    interval.QuadPart = PortNameRetry100ns;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
  if (!name) {
    ExFreePoolWithTag(builder.Buffer, TzSerialPoolTag);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // Only a non-empty string that fits the link builder names a port.
  ULONG characters = TzSerialNameLength(name, length);
  if (type != REG_SZ || characters == 0 ||
      characters * sizeof(WCHAR) + LinkPrefixBytes > LinkBuilderCapacity) {
    ExFreePoolWithTag(builder.Buffer, TzSerialPoolTag);
    ExFreePoolWithTag(name, TzSerialPoolTag);
    return STATUS_OBJECT_NAME_INVALID;
  }
  UNICODE_STRING nameString = {USHORT(characters * sizeof(WCHAR)), USHORT(characters * sizeof(WCHAR)), name};
  RtlAppendUnicodeToString(&builder, L"\\??\\");
  RtlAppendUnicodeStringToString(&builder, &nameString);

  USHORT linkBytes = USHORT(builder.Length + sizeof(WCHAR));
  linkName->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, linkBytes, TzSerialPoolTag));
  if (!linkName->Buffer) {
    ExFreePoolWithTag(builder.Buffer, TzSerialPoolTag);
    ExFreePoolWithTag(name, TzSerialPoolTag);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(linkName->Buffer, linkBytes);
  RtlCopyMemory(linkName->Buffer, builder.Buffer, builder.Length);
  linkName->Length = builder.Length;
  linkName->MaximumLength = linkBytes;
  ExFreePoolWithTag(builder.Buffer, TzSerialPoolTag);
  *portName = name;
  return STATUS_SUCCESS;
}

NTSTATUS TzSerialRegisterClassInterface(DeviceContext* context) {
  PAGED_CODE();
  const GUID* interfaceClass;
  if (context->interfaceClass == FILE_DEVICE_SERIAL_PORT)
    interfaceClass = &TzSerialComPortInterfaceGuid;
  else if (context->interfaceClass == FILE_DEVICE_MODEM)
    interfaceClass = &TzSerialModemInterfaceGuid;
  else
    return STATUS_UNSUCCESSFUL;
  NTSTATUS status =
      IoRegisterDeviceInterface(context->physicalDevice, interfaceClass, nullptr, &context->classInterfaceLink);
  if (!NT_SUCCESS(status)) return status;
  return IoSetDeviceInterfaceState(&context->classInterfaceLink, TRUE);
}

NTSTATUS TzSerialCreatePortName(DeviceContext* context) {
  PAGED_CODE();
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(context->physicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING linkName = {0, 0, nullptr};
  PWSTR portName = nullptr;
  status = TzSerialReadPortName(context, key, &linkName, &portName);
  ZwClose(key);
  if (!NT_SUCCESS(status)) return status;

  bool linkCreated = false, mapWritten = false;
  status = IoCreateSymbolicLink(&linkName, &context->deviceName);
  if (!NT_SUCCESS(status)) status = IoCreateSymbolicLink(&linkName, &context->deviceName);
  if (NT_SUCCESS(status)) {
    linkCreated = true;
    ULONG nameBytes = linkName.Length - LinkPrefixBytes + sizeof(WCHAR);  // the name and its NUL
    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", context->deviceName.Buffer, REG_SZ,
                                   portName, nameBytes);
  }
  if (NT_SUCCESS(status)) {
    mapWritten = true;
    status = IoRegisterDeviceInterface(context->physicalDevice, &TzSerialPortInterfaceGuid, nullptr,
                                       &context->portInterfaceLink);
  }
  if (NT_SUCCESS(status)) {
    IoSetDeviceInterfaceState(&context->portInterfaceLink, TRUE);
    status = TzSerialRegisterClassInterface(context);
  }
  ExFreePoolWithTag(portName, TzSerialPoolTag);

  if (NT_SUCCESS(status)) {
    // Remembered so that the tear-down removes exactly this link, whatever
    // the registry says by then.
    context->portLinkName = linkName;
    return status;
  }
  TzSerialDropInterface(&context->portInterfaceLink, true);
  TzSerialDropInterface(&context->classInterfaceLink, false);
  if (mapWritten) RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", context->deviceName.Buffer);
  if (linkCreated) IoDeleteSymbolicLink(&linkName);
  TzSerialFreeString(&linkName);
  return status;
}

NTSTATUS TzSerialRemovePortName(DeviceContext* context) {
  PAGED_CODE();
  TzSerialDropInterface(&context->portInterfaceLink, true);
  TzSerialDropInterface(&context->classInterfaceLink, true);
  if (context->deviceName.Buffer)
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", context->deviceName.Buffer);
  NTSTATUS status = STATUS_SUCCESS;
  if (context->portLinkName.Buffer) {
    status = IoDeleteSymbolicLink(&context->portLinkName);
    TzSerialFreeString(&context->portLinkName);
  }
  return status;
}
