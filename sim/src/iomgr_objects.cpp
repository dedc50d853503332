// Simulated platform: the object side of the I/O manager. Driver objects and
// driver loading, device objects with their extensions, device stacks, device
// names and \??\ symbolic links, and the WDM version query.
#include "kernel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim::detail {

namespace {

constexpr size_t kDeviceAlignment = 16;

std::u16string resolveLinks(std::u16string name) {
  Kernel& k = kernel();
  for (int depth = 0; depth < 8; ++depth) {
    auto it = k.symbolicLinks.find(fold(name));
    if (it == k.symbolicLinks.end()) return name;
    name = it->second;
  }
  return name;
}

void freeDeviceMemory(PDEVICE_OBJECT device) {
  delete device->DeviceObjectExtension;
  std::free(device);
}

bool hasHandles(Kernel& k, PDEVICE_OBJECT device) {
  for (auto& [file, record] : k.files)
    if (file->DeviceObject == device) return true;
  return false;
}

// What must be true when a device object's memory goes. Kernel mutex held.
void checkFreeable(Kernel& k, PDEVICE_OBJECT device) {
  checkNoQueuedObjectsIn(k, device, device->Size, "IoDeleteDevice");
  if (const IO_STACK_LOCATION* held = inFlightLocationForLocked(k, device)) {
    char codes[48];
    std::snprintf(codes, sizeof codes, "major function 0x%02X, minor 0x%02X", held->MajorFunction,
                  held->MinorFunction);
    stop("IoDeleteDevice", std::string("deletes a device with an IRP still in flight to it (") + codes + ")");
  }
}

// Takes a deleted device off its driver's list and frees it. Kernel mutex held.
void unlinkAndFree(PDEVICE_OBJECT device) {
  checkUnreferencedLocked(kernel(), device, "IoDeleteDevice");
  PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
  while (*link && *link != device) link = &(*link)->NextDevice;
  if (!*link) stop("IoDeleteDevice", "device is not one of its driver's devices (deleted twice?)");
  *link = device->NextDevice;
  freeDeviceMemory(device);
}

}  // namespace

void releaseDeletedDevice(PDEVICE_OBJECT device) {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  if (!device->DeviceObjectExtension->deletePending || hasHandles(k, device)) return;
  checkFreeable(k, device);
  unlinkAndFree(device);
}

PDEVICE_OBJECT resolveDeviceName(const std::u16string& name) {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  auto it = k.deviceNames.find(fold(resolveLinks(name)));
  return it == k.deviceNames.end() ? nullptr : it->second;
}

void freeAllObjects(Kernel& k) {
  Lock lock(k.mutex);
  for (auto& [name, driver] : k.drivers) {
    for (PDEVICE_OBJECT d = driver->DeviceObject; d;) {
      PDEVICE_OBJECT next = d->NextDevice;
      freeDeviceMemory(d);
      d = next;
    }
    std::free(driver->DriverName.Buffer);
    std::free(driver->DriverExtension->ServiceKeyName.Buffer);
    delete driver->DriverExtension;
    delete driver;
  }
  k.drivers.clear();
  k.objectReferences.clear();
  k.deviceNames.clear();
  k.namesOfDevices.clear();
  k.symbolicLinks.clear();
  for (auto& [irp, record] : k.irps) std::free(headerOf(irp));
  k.irps.clear();
  for (PIRP irp : k.irpQuarantine) std::free(headerOf(irp));
  k.irpQuarantine.clear();
  k.irpFreeLists.clear();
  for (PIO_WORKITEM item : k.workItems) delete item;
  k.workItems.clear();
  for (auto& [file, record] : k.files) delete file;
  k.files.clear();
}

// Builds a counted string whose buffer the simulation owns (malloc).
UNICODE_STRING ownedString(const std::u16string& s) {
  UNICODE_STRING u;
  u.Length = USHORT(s.size() * sizeof(WCHAR));
  u.MaximumLength = USHORT(u.Length + sizeof(WCHAR));
  u.Buffer = static_cast<PWSTR>(std::malloc(u.MaximumLength));
  std::memcpy(u.Buffer, s.c_str(), u.MaximumLength);
  return u;
}

}  // namespace sim::detail

using namespace sim::detail;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG extensionSize, PUNICODE_STRING deviceName,
                        DEVICE_TYPE deviceType, ULONG characteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* deviceObject) {
  PAGED_CODE();
  *deviceObject = nullptr;
  if (injectFailure()) return STATUS_INSUFFICIENT_RESOURCES;
  return createDeviceObject(driverObject, extensionSize, deviceName, deviceType, characteristics, exclusive,
                            deviceObject);
}

}  // extern "C"

NTSTATUS sim::detail::createDeviceObject(PDRIVER_OBJECT driverObject, ULONG extensionSize,
                                         PUNICODE_STRING deviceName, DEVICE_TYPE deviceType, ULONG characteristics,
                                         BOOLEAN exclusive, PDEVICE_OBJECT* deviceObject) {
  Kernel& k = kernel();
  std::u16string name = toU16(deviceName);
  if (sizeof(DEVICE_OBJECT) + extensionSize > 0xFFFF) stop("IoCreateDevice", "device extension too large");
  Lock lock(k.mutex);
  if (!name.empty() && k.deviceNames.count(fold(name))) return STATUS_OBJECT_NAME_COLLISION;
  size_t bytes = (sizeof(DEVICE_OBJECT) + extensionSize + kDeviceAlignment - 1) / kDeviceAlignment * kDeviceAlignment;
  auto device = static_cast<PDEVICE_OBJECT>(std::aligned_alloc(kDeviceAlignment, bytes));
  std::memset(device, 0, bytes);
  device->Type = IO_TYPE_DEVICE;
  device->Size = USHORT(sizeof(DEVICE_OBJECT) + extensionSize);
  device->ReferenceCount = 0;
  device->DriverObject = driverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = characteristics;
  device->DeviceExtension = extensionSize ? reinterpret_cast<char*>(device) + sizeof(DEVICE_OBJECT) : nullptr;
  device->DeviceType = deviceType;
  device->StackSize = 1;
  device->DeviceObjectExtension =
      new _DEVOBJ_EXTENSION{13, sizeof(_DEVOBJ_EXTENSION), device, nullptr, PowerDeviceUnspecified};
  device->DeviceObjectExtension->devnode = deviceNodeBeingAdded();
  device->DeviceLock.Header.Type = EventSynchronizationObject;
  device->NextDevice = driverObject->DeviceObject;
  driverObject->DeviceObject = device;
  if (!name.empty()) {
    k.deviceNames[fold(name)] = device;
    k.namesOfDevices[device] = name;
  }
  *deviceObject = device;
  return STATUS_SUCCESS;
}

extern "C" {

void IoDeleteDevice(PDEVICE_OBJECT device) {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  if (device->DeviceObjectExtension->AttachedTo) stop("IoDeleteDevice", "deletes a device still attached to a lower device");
  if (device->AttachedDevice) stop("IoDeleteDevice", "deletes a device that another device is still attached to");
  if (device->DeviceObjectExtension->deletePending) stop("IoDeleteDevice", "device deleted twice");
  checkUnreferencedLocked(k, device, "IoDeleteDevice");
  bool referenced = hasHandles(k, device);
  if (referenced)
    checkNoQueuedObjectsIn(k, device, device->Size, "IoDeleteDevice");
  else
    checkFreeable(k, device);
  if (auto it = k.namesOfDevices.find(device); it != k.namesOfDevices.end()) {
    k.deviceNames.erase(fold(it->second));
    k.namesOfDevices.erase(it);
  }
  // As on the platform, a device with open handles goes when the last one
  // closes: the handles reference it, so its extension stays valid for their
  // requests, cleanup and close (which must all be finished by then).
  device->DeviceObjectExtension->deletePending = true;
  if (!referenced) unlinkAndFree(device);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT deviceObject) {
  while (deviceObject->AttachedDevice) deviceObject = deviceObject->AttachedDevice;
  return deviceObject;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  if (source->DeviceObjectExtension->AttachedTo) stop("IoAttachDeviceToDeviceStack", "source is already attached");
  PDEVICE_OBJECT top = IoGetAttachedDevice(target);
  if (isRemovedPhysicalDevice(top)) return nullptr;
  top->AttachedDevice = source;
  source->DeviceObjectExtension->AttachedTo = top;
  source->StackSize = CCHAR(top->StackSize + 1);
  source->AlignmentRequirement = top->AlignmentRequirement;
  source->SectorSize = top->SectorSize;
  return top;
}

void IoDetachDevice(PDEVICE_OBJECT target) {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  PDEVICE_OBJECT source = target->AttachedDevice;
  if (!source) stop("IoDetachDevice", "nothing is attached to the target device");
  target->AttachedDevice = nullptr;
  source->DeviceObjectExtension->AttachedTo = nullptr;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING linkName, PUNICODE_STRING deviceName) {
  PAGED_CODE();
  Kernel& k = kernel();
  Lock lock(k.mutex);
  std::u16string link = fold(toU16(linkName));
  if (link.empty() || link[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
  if (k.symbolicLinks.count(link) || k.deviceNames.count(link)) return STATUS_OBJECT_NAME_COLLISION;
  k.symbolicLinks[link] = toU16(deviceName);
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING linkName) {
  PAGED_CODE();
  Kernel& k = kernel();
  Lock lock(k.mutex);
  return k.symbolicLinks.erase(fold(toU16(linkName))) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR majorVersion, UCHAR minorVersion) {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  return majorVersion < k.wdmMajor || (majorVersion == k.wdmMajor && minorVersion <= k.wdmMinor);
}

}  // extern "C"

namespace sim {

void setWdmVersion(UCHAR major, UCHAR minor) {
  Lock lock(kernel().mutex);
  kernel().wdmMajor = major;
  kernel().wdmMinor = minor;
}

PDRIVER_OBJECT loadDriver(const std::u16string& serviceName, PDRIVER_INITIALIZE entry, NTSTATUS* entryStatus) {
  Kernel& k = kernel();
  std::u16string objectName = u"\\Driver\\" + serviceName;
  std::u16string keyPath = std::u16string(kServicesRoot) + u"\\" + serviceName;
  registry::createKey(keyPath);

  auto driver = new DRIVER_OBJECT{};
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = new DRIVER_EXTENSION{};
  driver->DriverExtension->DriverObject = driver;
  driver->DriverExtension->ServiceKeyName = ownedString(serviceName);
  driver->DriverName = ownedString(objectName);
  driver->DriverInit = entry;
  for (auto& dispatch : driver->MajorFunction) dispatch = invalidDeviceRequest;

  UNICODE_STRING registryPath = ownedString(keyPath);
  NTSTATUS status = entry(driver, &registryPath);
  std::free(registryPath.Buffer);
  if (entryStatus) *entryStatus = status;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL || detail::heldSpinLocks())
    stop("DriverEntry", "returned at raised IRQL or holding a spin lock");
  if (!NT_SUCCESS(status)) {
    if (driver->DeviceObject) stop("DriverEntry", "failed but left a device object behind");
    std::free(driver->DriverName.Buffer);
    std::free(driver->DriverExtension->ServiceKeyName.Buffer);
    delete driver->DriverExtension;
    delete driver;
    return nullptr;
  }
  Lock lock(k.mutex);
  k.drivers[fold(objectName)] = driver;
  return driver;
}

void unloadDriver(PDRIVER_OBJECT driver) {
  Kernel& k = kernel();
  if (!driver->DriverUnload) stop("unloadDriver", "driver has no unload routine");
  driver->DriverUnload(driver);
  if (driver->DeviceObject) stop("DriverUnload", "driver unloaded with device objects still present");
  checkQuiescent();
  Lock lock(k.mutex);
  checkUnreferencedLocked(k, driver, "unloadDriver");
  k.drivers.erase(fold(toU16(&driver->DriverName)));
  std::free(driver->DriverName.Buffer);
  std::free(driver->DriverExtension->ServiceKeyName.Buffer);
  delete driver->DriverExtension;
  delete driver;
}

PDRIVER_OBJECT findDriver(const std::u16string& objectName) {
  Lock lock(kernel().mutex);
  auto it = kernel().drivers.find(fold(objectName));
  return it == kernel().drivers.end() ? nullptr : it->second;
}

PDEVICE_OBJECT findDevice(const std::u16string& name) {
  Lock lock(kernel().mutex);
  auto it = kernel().deviceNames.find(fold(name));
  return it == kernel().deviceNames.end() ? nullptr : it->second;
}

std::optional<std::u16string> symbolicLinkTarget(const std::u16string& linkName) {
  Lock lock(kernel().mutex);
  auto it = kernel().symbolicLinks.find(fold(linkName));
  if (it == kernel().symbolicLinks.end()) return std::nullopt;
  return it->second;
}

std::u16string deviceName(PDEVICE_OBJECT device) {
  Lock lock(kernel().mutex);
  auto it = kernel().namesOfDevices.find(device);
  return it == kernel().namesOfDevices.end() ? std::u16string() : it->second;
}

PDEVICE_OBJECT lowerDevice(PDEVICE_OBJECT device) { return device->DeviceObjectExtension->AttachedTo; }

size_t deviceCount(PDRIVER_OBJECT driver) {
  size_t n = 0;
  for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) ++n;
  return n;
}

}  // namespace sim
