// Driver: the one routine through which the driver reads registry values.
#include "driver/core/globals.h"

namespace {

bool TzSerialIsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Queries one value of an open key into a new non-paged buffer.
PKEY_VALUE_PARTIAL_INFORMATION TzSerialQueryPartialInformation(HANDLE key, PCWSTR valueName) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  ULONG needed = 0;
  NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &needed);
  if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) return nullptr;
  if (needed < offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data)) return nullptr;

  auto info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(ExAllocatePoolWithTag(NonPagedPoolNx, needed, TzSerialPoolTag));
  if (!info) return nullptr;
  status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, needed, &needed);
  // A value that grew between the two queries is not trusted either.
  if (!NT_SUCCESS(status) || info->DataLength > needed - offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data)) {
    ExFreePoolWithTag(info, TzSerialPoolTag);
    return nullptr;
  }
  return info;
}

}  // namespace

PVOID TzSerialQueryRegistryValue(HANDLE rootKey, PCWSTR keyPath, PCWSTR valueName, PULONG dataLength,
                                 PULONG valueType) {
  PAGED_CODE();
  *dataLength = 0;

  HANDLE key = rootKey;
  if (keyPath) {
    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    RtlInitUnicodeString(&path, keyPath);
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, rootKey, nullptr);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes))) return nullptr;
  }

  PVOID data = nullptr;
  PKEY_VALUE_PARTIAL_INFORMATION info = TzSerialQueryPartialInformation(key, valueName);
  if (info) {
    bool isString = TzSerialIsStringType(info->Type);
    SIZE_T bytes = SIZE_T(info->DataLength) + (isString ? sizeof(WCHAR) : 0);
    data = ExAllocatePoolWithTag(PagedPool, bytes ? bytes : 1, TzSerialPoolTag);
    if (data) {
      if (isString) RtlZeroMemory(data, bytes);
      RtlCopyMemory(data, info->Data, info->DataLength);
      *dataLength = info->DataLength;
      if (valueType) *valueType = info->Type;
    }
    ExFreePoolWithTag(info, TzSerialPoolTag);
  }

  if (keyPath) ZwClose(key);
  return data;
}
