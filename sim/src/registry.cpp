// Simulated platform: the in-memory registry. Keys are named by their full
// path and looked up without regard to case; values keep their type and raw
// bytes. Handles are counted so that a key left open is reported.
#include "kernel.h"

#include <cstring>

namespace sim {
const char16_t* const kServicesRoot = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
const char16_t* const kDeviceMapRoot = u"\\Registry\\Machine\\Hardware\\DeviceMap";
}  // namespace sim

namespace sim::detail {

namespace {

struct StoredValue {
  std::u16string name;
  registry::Value value;
};

struct Key {
  std::u16string path;
  std::map<std::u16string, StoredValue> values;  // folded name
};

struct Registry {
  std::mutex mutex;
  std::map<std::u16string, Key> keys;  // folded path
  std::map<uintptr_t, std::u16string> handles;
  uintptr_t nextHandle = 0x100;
};

Registry& reg() {
  static Registry r;
  return r;
}

using RegLock = std::lock_guard<std::mutex>;

std::u16string trimSlashes(std::u16string path) {
  while (!path.empty() && path.back() == u'\\') path.pop_back();
  return path;
}

Key* findKey(const std::u16string& path) {
  auto it = reg().keys.find(fold(trimSlashes(path)));
  return it == reg().keys.end() ? nullptr : &it->second;
}

void createKeyLocked(const std::u16string& path) {
  std::u16string p = trimSlashes(path);
  std::u16string folded = fold(p);
  // Every ancestor exists too, as in a real hive: a key that exists has them.
  if (reg().keys.contains(folded)) return;
  for (size_t pos = p.find(u'\\', 1); pos != std::u16string::npos; pos = p.find(u'\\', pos + 1))
    reg().keys.try_emplace(folded.substr(0, pos), Key{p.substr(0, pos), {}});
  reg().keys.try_emplace(std::move(folded), Key{p, {}});
}

// Resolves the key path that an RtlXxxRegistryValue call names.
std::optional<std::u16string> relativePath(ULONG relativeTo, PCWSTR path) {
  ULONG base = relativeTo & ~0x80000000u;  // RTL_REGISTRY_OPTIONAL
  if (base == RTL_REGISTRY_HANDLE) {
    auto it = reg().handles.find(reinterpret_cast<uintptr_t>(path));
    if (it == reg().handles.end()) return std::nullopt;
    return it->second;
  }
  std::u16string rest = toU16(path);
  switch (base) {
    case RTL_REGISTRY_ABSOLUTE: return rest;
    case RTL_REGISTRY_SERVICES: return std::u16string(kServicesRoot) + u"\\" + rest;
    case RTL_REGISTRY_DEVICEMAP: return std::u16string(kDeviceMapRoot) + u"\\" + rest;
    default: stop("RtlWriteRegistryValue", "RelativeTo value is not implemented by the simulation");
  }
}

}  // namespace

void resetRegistry() {
  RegLock lock(reg().mutex);
  reg().keys.clear();
  reg().handles.clear();
  createKeyLocked(kServicesRoot);
  createKeyLocked(std::u16string(kDeviceMapRoot) + u"\\SERIALCOMM");
}

HANDLE openKeyHandle(const std::u16string& path) {
  RegLock lock(reg().mutex);
  Key* key = findKey(path);
  if (!key) return nullptr;
  uintptr_t handle = reg().nextHandle;
  reg().nextHandle += 4;
  reg().handles[handle] = key->path;
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace sim::detail

using namespace sim::detail;

namespace sim::registry {

void createKey(const std::u16string& path) {
  RegLock lock(reg().mutex);
  createKeyLocked(path);
}

bool keyExists(const std::u16string& path) {
  RegLock lock(reg().mutex);
  return findKey(path) != nullptr;
}

void setValue(const std::u16string& keyPath, const std::u16string& name, ULONG type, const void* data, size_t length) {
  RegLock lock(reg().mutex);
  createKeyLocked(keyPath);
  Value v{type, std::vector<uint8_t>(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length)};
  findKey(keyPath)->values[fold(name)] = StoredValue{name, std::move(v)};
}

void setDword(const std::u16string& keyPath, const std::u16string& name, uint32_t value) {
  setValue(keyPath, name, REG_DWORD, &value, sizeof value);
}

void setString(const std::u16string& keyPath, const std::u16string& name, const std::u16string& value) {
  setValue(keyPath, name, REG_SZ, value.c_str(), (value.size() + 1) * sizeof(char16_t));
}

std::optional<Value> value(const std::u16string& keyPath, const std::u16string& name) {
  RegLock lock(reg().mutex);
  Key* key = findKey(keyPath);
  if (!key) return std::nullopt;
  auto it = key->values.find(fold(name));
  if (it == key->values.end()) return std::nullopt;
  return it->second.value;
}

std::optional<std::u16string> stringValue(const std::u16string& keyPath, const std::u16string& name) {
  auto v = value(keyPath, name);
  if (!v || v->type != REG_SZ) return std::nullopt;
  std::u16string s(reinterpret_cast<const char16_t*>(v->data.data()), v->data.size() / 2);
  while (!s.empty() && s.back() == 0) s.pop_back();
  return s;
}

void deleteValue(const std::u16string& keyPath, const std::u16string& name) {
  RegLock lock(reg().mutex);
  if (Key* key = findKey(keyPath)) key->values.erase(fold(name));
}

std::vector<std::u16string> valueNames(const std::u16string& keyPath) {
  RegLock lock(reg().mutex);
  std::vector<std::u16string> names;
  if (Key* key = findKey(keyPath))
    for (auto& [folded, stored] : key->values) names.push_back(stored.name);
  return names;
}

size_t openHandles() {
  RegLock lock(reg().mutex);
  return reg().handles.size();
}

}  // namespace sim::registry

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES attributes) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) stop("ZwOpenKey", "called above PASSIVE_LEVEL");
  if (!attributes || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) stop("ZwOpenKey", "invalid OBJECT_ATTRIBUTES");
  RegLock lock(reg().mutex);
  std::u16string path = toU16(attributes->ObjectName);
  if (attributes->RootDirectory) {
    auto it = reg().handles.find(reinterpret_cast<uintptr_t>(attributes->RootDirectory));
    if (it == reg().handles.end()) return STATUS_INVALID_HANDLE;
    path = path.empty() ? it->second : it->second + u"\\" + path;
  } else if (path.empty() || path[0] != u'\\') {
    return STATUS_OBJECT_PATH_NOT_FOUND;
  }
  Key* key = findKey(path);
  if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  uintptr_t handle = reg().nextHandle;
  reg().nextHandle += 4;
  reg().handles[handle] = key->path;
  *keyHandle = reinterpret_cast<HANDLE>(handle);
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                         PVOID information, ULONG length, PULONG resultLength) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) stop("ZwQueryValueKey", "called above PASSIVE_LEVEL");
  if (infoClass != KeyValuePartialInformation)
    stop("ZwQueryValueKey", "information classes other than KeyValuePartialInformation are not implemented");
  RegLock lock(reg().mutex);
  auto h = reg().handles.find(reinterpret_cast<uintptr_t>(keyHandle));
  if (h == reg().handles.end()) return STATUS_INVALID_HANDLE;
  Key* key = findKey(h->second);
  if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto it = key->values.find(fold(toU16(valueName)));
  if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  const sim::registry::Value& v = it->second.value;
  constexpr ULONG header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  ULONG needed = header + ULONG(v.data.size());
  *resultLength = needed;
  if (length < header) return STATUS_BUFFER_TOO_SMALL;
  auto info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(information);
  info->TitleIndex = 0;
  info->Type = v.type;
  info->DataLength = ULONG(v.data.size());
  if (length < needed) return STATUS_BUFFER_OVERFLOW;
  if (!v.data.empty()) std::memcpy(info->Data, v.data.data(), v.data.size());
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE handle) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) stop("ZwClose", "called above PASSIVE_LEVEL");
  RegLock lock(reg().mutex);
  if (!reg().handles.erase(reinterpret_cast<uintptr_t>(handle))) stop("ZwClose", "closes a handle that is not open");
  return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType, PVOID valueData,
                               ULONG valueLength) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) stop("RtlWriteRegistryValue", "called above PASSIVE_LEVEL");
  RegLock lock(reg().mutex);
  auto keyPath = relativePath(relativeTo, path);
  if (!keyPath) return STATUS_INVALID_HANDLE;
  Key* key = findKey(*keyPath);
  if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::u16string name = toU16(valueName);
  auto data = static_cast<const uint8_t*>(valueData);
  key->values[fold(name)] = StoredValue{name, {valueType, std::vector<uint8_t>(data, data + valueLength)}};
  return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) stop("RtlDeleteRegistryValue", "called above PASSIVE_LEVEL");
  RegLock lock(reg().mutex);
  auto keyPath = relativePath(relativeTo, path);
  if (!keyPath) return STATUS_INVALID_HANDLE;
  Key* key = findKey(*keyPath);
  if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  return key->values.erase(fold(toU16(valueName))) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
