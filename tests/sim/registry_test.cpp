// Tests of the simulated kernel: the registry as a driver reads and writes it.
// Size queries and short buffers answer as the platform's do, DEVICEMAP
// SERIALCOMM takes port names, and missing keys and values are told apart.
#include "fragment.h"

#include <cstring>

namespace {

const std::u16string kParameters = std::u16string(sim::kServicesRoot) + u"\\frag\\Parameters";
const std::u16string kSerialComm = std::u16string(sim::kDeviceMapRoot) + u"\\SERIALCOMM";
constexpr ULONG kHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

using RegistryTest = SimTest;

NTSTATUS openKey(const std::u16string& path, HANDLE* key, HANDLE root = nullptr) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, sim::wide(path));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
  return ZwOpenKey(key, KEY_READ, &attributes);
}

NTSTATUS query(HANDLE key, const char16_t* value, void* buffer, ULONG length, ULONG* needed) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(value));
  return ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, length, needed);
}

TEST_F(RegistryTest, SizeQueryThenHeaderOnlyThenFullRead) {
  sim::registry::setDword(kParameters, u"MaxBuffer", 4096);
  HANDLE key = nullptr;
  ASSERT_EQ(openKey(kParameters, &key), STATUS_SUCCESS);

  ULONG needed = 0;
  EXPECT_EQ(query(key, u"MaxBuffer", nullptr, 0, &needed), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, kHeader + 4);

  KEY_VALUE_PARTIAL_INFORMATION header{};
  needed = 0;
  EXPECT_EQ(query(key, u"MaxBuffer", &header, kHeader, &needed), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(needed, kHeader + 4);
  EXPECT_EQ(header.Type, ULONG(REG_DWORD));
  EXPECT_EQ(header.DataLength, 4u);

  alignas(8) uint8_t full[32] = {};
  EXPECT_EQ(query(key, u"maxbuffer", full, sizeof full, &needed), STATUS_SUCCESS);  // names ignore case
  auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(full);
  uint32_t value;
  std::memcpy(&value, info->Data, 4);
  EXPECT_EQ(value, 4096u);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryTest, MissingKeysAndValuesAreNotFound) {
  sim::registry::createKey(kParameters);
  HANDLE key = nullptr;
  EXPECT_EQ(openKey(kParameters + u"\\Absent", &key), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(openKey(u"Parameters", &key), STATUS_OBJECT_PATH_NOT_FOUND);  // relative, no root
  ASSERT_EQ(openKey(kParameters, &key), STATUS_SUCCESS);
  ULONG needed = 0;
  EXPECT_EQ(query(key, u"Absent", nullptr, 0, &needed), STATUS_OBJECT_NAME_NOT_FOUND);

  // A path relative to an open key.
  sim::registry::setDword(kParameters + u"\\Sub", u"X", 1);
  HANDLE sub = nullptr;
  ASSERT_EQ(openKey(u"Sub", &sub, key), STATUS_SUCCESS);
  EXPECT_EQ(query(sub, u"X", nullptr, 0, &needed), STATUS_BUFFER_TOO_SMALL);
  ZwClose(sub);
  ZwClose(key);
}

TEST_F(RegistryTest, KeyLeftOpenIsReportedAtQuiescence) {
  HANDLE key = nullptr;
  ASSERT_EQ(openKey(kSerialComm, &key), STATUS_SUCCESS);
  EXPECT_VERIFIER_STOP(sim::checkQuiescent(), "registry key(s) left open");
  ZwClose(key);
  EXPECT_VERIFIER_STOP(ZwClose(key), "not open");
}

TEST_F(RegistryTest, SerialCommMapsDeviceNamesToPortNames) {
  const wchar_t port[] = L"COM7";
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Frag0", REG_SZ,
                                  const_cast<wchar_t*>(port), sizeof port),
            STATUS_SUCCESS);
  EXPECT_EQ(sim::registry::stringValue(kSerialComm, u"\\Device\\Frag0"), u"COM7");

  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Frag0"), STATUS_SUCCESS);
  EXPECT_FALSE(sim::registry::value(kSerialComm, u"\\Device\\Frag0").has_value());
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Frag0"),
            STATUS_OBJECT_NAME_NOT_FOUND);

  // Writing into a key that does not exist does not create it.
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"NOSUCHMAP", L"X", REG_SZ, const_cast<wchar_t*>(port),
                                  sizeof port),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(sim::registry::keyExists(std::u16string(sim::kDeviceMapRoot) + u"\\NOSUCHMAP"));
}

TEST_F(RegistryTest, ServicesRelativeWritesLandUnderTheServiceKey) {
  sim::registry::createKey(kParameters);
  ULONG value = 3;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"frag\\Parameters", L"Mode", REG_DWORD, &value, sizeof value),
            STATUS_SUCCESS);
  auto stored = sim::registry::value(kParameters, u"MODE");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->type, ULONG(REG_DWORD));
  EXPECT_EQ(stored->data, (std::vector<uint8_t>{3, 0, 0, 0}));
}

}  // namespace
