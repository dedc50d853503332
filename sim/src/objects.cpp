// Simulated platform: the object manager's names and references. Driver
// objects are named \Driver\<service> (sim::loadDriver), named device objects
// \Device\<name> (IoCreateDevice); ObReferenceObjectByName finds them and
// counts a reference that ObfDereferenceObject drops. Each object holds one
// base reference of its own besides those, so a live object counts at least 1.
// Unlike the platform, which keeps a referenced object until its last
// reference goes, the simulation frees objects when they are deleted or
// unloaded: deleting or unloading one that still holds references taken by
// name is a verifier stop, as is a reference left when the kernel must be
// quiescent.
#include "kernel.h"

struct _OBJECT_TYPE {
  const char* name;
};

namespace {

_OBJECT_TYPE driverType{"Driver"};
_OBJECT_TYPE deviceType{"Device"};
POBJECT_TYPE driverTypePointer = &driverType;
POBJECT_TYPE deviceTypePointer = &deviceType;

}  // namespace

extern "C" {
POBJECT_TYPE* IoDriverObjectType = &driverTypePointer;
POBJECT_TYPE* IoDeviceObjectType = &deviceTypePointer;
}

namespace sim::detail {

namespace {

// The object's type, or null when it is not a live driver or device object.
// Kernel mutex held.
POBJECT_TYPE typeOfLocked(Kernel& k, const void* object) {
  for (auto& [name, driver] : k.drivers) {
    if (driver == object) return &driverType;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
      if (d == object) return &deviceType;
  }
  return nullptr;
}

bool startsWith(const std::u16string& s, const std::u16string& prefix) {
  return s.size() >= prefix.size() && fold(s.substr(0, prefix.size())) == fold(prefix);
}

// The object a full name names, and its type; a case-sensitive lookup also
// needs the name exactly as created. Kernel mutex held.
void* lookUpLocked(Kernel& k, const std::u16string& name, bool caseInsensitive, POBJECT_TYPE* type) {
  if (startsWith(name, u"\\Driver\\")) {
    auto it = k.drivers.find(fold(name));
    if (it == k.drivers.end()) return nullptr;
    if (!caseInsensitive && toU16(&it->second->DriverName) != name) return nullptr;
    *type = &driverType;
    return it->second;
  }
  if (startsWith(name, u"\\Device\\")) {
    auto it = k.deviceNames.find(fold(name));
    if (it == k.deviceNames.end()) return nullptr;
    if (!caseInsensitive && k.namesOfDevices.at(it->second) != name) return nullptr;
    *type = &deviceType;
    return it->second;
  }
  return nullptr;
}

}  // namespace

void checkUnreferencedLocked(Kernel& k, const void* object, const char* freeingCall) {
  auto it = k.objectReferences.find(object);
  if (it == k.objectReferences.end()) return;
  stop(freeingCall, "frees an object that still holds " + std::to_string(it->second) +
                        " reference(s) taken with ObReferenceObjectByName (each needs its ObDereferenceObject)");
}

}  // namespace sim::detail

using namespace sim::detail;

extern "C" {

NTSTATUS ObReferenceObjectByName(PUNICODE_STRING objectName, ULONG attributes, PACCESS_STATE, ACCESS_MASK,
                                 POBJECT_TYPE objectType, KPROCESSOR_MODE, PVOID, PVOID* object) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) stop("ObReferenceObjectByName", "called above PASSIVE_LEVEL");
  *object = nullptr;
  if (!objectName || !objectName->Buffer || objectName->Length == 0) return STATUS_OBJECT_NAME_INVALID;
  std::u16string name = toU16(objectName);
  if (name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
  Kernel& k = kernel();
  Lock lock(k.mutex);
  POBJECT_TYPE type = nullptr;
  void* found = lookUpLocked(k, name, (attributes & OBJ_CASE_INSENSITIVE) != 0, &type);
  if (!found) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (objectType && objectType != type) return STATUS_OBJECT_TYPE_MISMATCH;
  ++k.objectReferences[found];
  *object = found;
  return STATUS_SUCCESS;
}

LONG_PTR ObfDereferenceObject(PVOID object) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) stop("ObfDereferenceObject", "called above DISPATCH_LEVEL");
  Kernel& k = kernel();
  Lock lock(k.mutex);
  if (!typeOfLocked(k, object)) stop("ObfDereferenceObject", "not a driver or device object (or one already freed)");
  auto it = k.objectReferences.find(object);
  if (it == k.objectReferences.end())
    stop("ObfDereferenceObject", "drops the object's base reference: more dereferences than references taken");
  LONG_PTR left = --it->second;
  if (left == 0) k.objectReferences.erase(it);
  return left + 1;
}

}  // extern "C"

namespace sim {

LONG_PTR objectReferenceCount(PVOID object) {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  if (!typeOfLocked(k, object)) return 0;
  auto it = k.objectReferences.find(object);
  return 1 + (it == k.objectReferences.end() ? 0 : it->second);
}

}  // namespace sim
