// Simulated platform: device interfaces of the Plug and Play manager. A driver
// registers an interface class for its PDO and enables it; enabling makes the
// interface's symbolic link name open the PDO's stack, as on the platform.
#include "kernel.h"
#include "sim/pnp.h"

#include <cstdio>
#include <cstring>

namespace sim::detail {

namespace {

constexpr ULONG kStringTag = sim::tag("RtlS");

struct Registry {
  std::mutex mutex;
  std::vector<pnp::DeviceInterface> interfaces;
};

Registry& interfaces() {
  static Registry r;
  return r;
}

std::u16string guidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return widen(text);
}

// The link name has the platform's shape: \??\<bus>#<instance>#{class}[\reference].
std::u16string linkNameFor(PDEVICE_OBJECT pdo, const GUID& classGuid, const std::u16string& reference) {
  std::u16string device = deviceName(pdo);
  std::u16string instance = device.substr(device.rfind(u'\\') + 1);
  std::u16string link = u"\\??\\SIMBUS#" + instance + u"#" + guidText(classGuid);
  if (!reference.empty()) link += u"\\" + reference;
  return link;
}

pnp::DeviceInterface* findByLink(const std::u16string& link) {
  for (auto& i : interfaces().interfaces)
    if (fold(i.symbolicLink) == fold(link)) return &i;
  return nullptr;
}

// Creates or deletes the interface's link in the object namespace.
NTSTATUS setLink(const pnp::DeviceInterface& i, bool create) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, wide(i.symbolicLink));
  if (!create) return IoDeleteSymbolicLink(&link);
  std::u16string target = deviceName(i.pdo);
  UNICODE_STRING device;
  RtlInitUnicodeString(&device, wide(target));
  return IoCreateSymbolicLink(&link, &device);
}

}  // namespace

void resetDeviceInterfaces() {
  std::lock_guard lock(interfaces().mutex);
  interfaces().interfaces.clear();
}

void disableDeviceInterfacesOf(PDEVICE_OBJECT pdo) {
  std::lock_guard lock(interfaces().mutex);
  for (auto& i : interfaces().interfaces) {
    if (i.pdo != pdo) continue;
    if (i.enabled) setLink(i, false);
    i.enabled = false;
    i.pdo = nullptr;
  }
}

std::vector<std::u16string> enabledDeviceInterfaces() {
  std::lock_guard lock(interfaces().mutex);
  std::vector<std::u16string> links;
  for (auto& i : interfaces().interfaces)
    if (i.enabled) links.push_back(i.symbolicLink);
  return links;
}

}  // namespace sim::detail

using namespace sim::detail;

namespace sim::pnp {

std::vector<DeviceInterface> deviceInterfaces(const GUID& classGuid) {
  std::lock_guard lock(interfaces().mutex);
  std::vector<DeviceInterface> found;
  for (auto& i : interfaces().interfaces)
    if (IsEqualGUID(i.classGuid, classGuid)) found.push_back(i);
  return found;
}

}  // namespace sim::pnp

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject, const GUID* interfaceClassGuid,
                                   PUNICODE_STRING referenceString, PUNICODE_STRING symbolicLinkName) {
  PAGED_CODE();
  if (!isPhysicalDevice(physicalDeviceObject))
    stop("IoRegisterDeviceInterface", "device object is not a physical device object");
  std::u16string reference = toU16(referenceString);
  std::u16string link = linkNameFor(physicalDeviceObject, *interfaceClassGuid, reference);
  size_t bytes = (link.size() + 1) * sizeof(WCHAR);
  auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kStringTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, link.c_str(), bytes);
  symbolicLinkName->Buffer = buffer;
  symbolicLinkName->Length = USHORT(bytes - sizeof(WCHAR));
  symbolicLinkName->MaximumLength = USHORT(bytes);
  std::lock_guard lock(interfaces().mutex);
  if (sim::pnp::DeviceInterface* existing = findByLink(link)) {
    existing->pdo = physicalDeviceObject;  // the same device instance, plugged again
    return STATUS_SUCCESS;
  }
  interfaces().interfaces.push_back({*interfaceClassGuid, physicalDeviceObject, link, reference, false});
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable) {
  PAGED_CODE();
  std::lock_guard lock(interfaces().mutex);
  sim::pnp::DeviceInterface* i = findByLink(toU16(symbolicLinkName));
  if (!i) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (bool(enable) == i->enabled) return enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
  if (enable && !i->pdo) return STATUS_INVALID_DEVICE_STATE;  // its device is gone
  NTSTATUS status = setLink(*i, enable);
  if (NT_SUCCESS(status)) i->enabled = enable;
  return status;
}

void RtlFreeUnicodeString(PUNICODE_STRING unicodeString) {
  if (unicodeString->Buffer) ExFreePool(unicodeString->Buffer);
  unicodeString->Buffer = nullptr;
  unicodeString->Length = unicodeString->MaximumLength = 0;
}

}  // extern "C"
