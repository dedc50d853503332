// Tests: the driver's registry reader. Buffer sizes per value type, missing
// keys and values, caller-owned keys, and failed allocations: each failure
// gives null with a zero count and leaves no key open and no pool behind.
#include "driver/core/globals.h"
#include "support/sim_test.h"

#include <cstring>

namespace {

const std::u16string kKey = u"\\Registry\\Machine\\System\\Test";

class RegistryValueTest : public SimTest {
 protected:
  // Reads kKey's value by absolute path, as DriverEntry reads the service key.
  PVOID query(const char16_t* name, ULONG* length) {
    return TzSerialQueryRegistryValue(nullptr, sim::wide(kKey), reinterpret_cast<PCWSTR>(name), length);
  }
};

TEST_F(RegistryValueTest, StringTypesGetTwoZeroBytesMore) {
  const char16_t text[] = u"COM17";  // 10 bytes without its NUL
  for (ULONG type : {REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ}) {
    sim::registry::setValue(kKey, u"Name", type, text, 10);
    ULONG length = 0xDEAD;
    auto data = static_cast<uint8_t*>(query(u"Name", &length));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(sim::poolInUse(TzSerialPoolTag).bytes, 12u) << "type " << type;
    EXPECT_EQ(std::memcmp(data, text, 10), 0);
    EXPECT_EQ(data[10], 0);
    EXPECT_EQ(data[11], 0);
    ExFreePoolWithTag(data, TzSerialPoolTag);
  }
}

TEST_F(RegistryValueTest, OtherTypesGetExactlyTheirData) {
  const uint8_t bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  sim::registry::setValue(kKey, u"Blob", REG_BINARY, bytes, sizeof bytes);
  ULONG length = 0;
  auto data = static_cast<uint8_t*>(query(u"Blob", &length));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(length, 10u);
  EXPECT_EQ(sim::poolInUse(TzSerialPoolTag).bytes, 10u);
  EXPECT_EQ(std::memcmp(data, bytes, 10), 0);
  ExFreePoolWithTag(data, TzSerialPoolTag);
}

TEST_F(RegistryValueTest, MissingKeyOrValueGivesNullAndZeroCount) {
  ULONG length = 0xDEAD;
  EXPECT_EQ(TzSerialQueryRegistryValue(nullptr, L"\\Registry\\Machine\\Nowhere", L"X", &length), nullptr);
  EXPECT_EQ(length, 0u);
  sim::registry::createKey(kKey);
  length = 0xDEAD;
  EXPECT_EQ(query(u"Missing", &length), nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(sim::registry::openHandles(), 0u);
}

TEST_F(RegistryValueTest, CallerOwnedKeyStaysOpenAndRelativePathsResolve) {
  sim::registry::setDword(kKey + u"\\Sub", u"Value", 42);
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, sim::wide(kKey));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE key = nullptr;
  ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);

  ULONG length = 0;
  PVOID data = TzSerialQueryRegistryValue(key, L"Sub", L"Value", &length);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(*static_cast<uint32_t*>(data), 42u);
  ExFreePoolWithTag(data, TzSerialPoolTag);
  EXPECT_EQ(sim::registry::openHandles(), 1u) << "the relative key must be closed, the caller's kept";

  sim::registry::setDword(kKey, u"Top", 7);
  data = TzSerialQueryRegistryValue(key, nullptr, L"Top", &length);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(length, 4u);
  ExFreePoolWithTag(data, TzSerialPoolTag);
  EXPECT_EQ(sim::registry::openHandles(), 1u);
  ZwClose(key);
}

TEST_F(RegistryValueTest, EachFailedAllocationGivesNullAndLeavesNothing) {
  sim::registry::setString(kKey, u"PortName", u"COM5");
  for (uint64_t failAt = 1;; ++failAt) {
    sim::faults::arm(failAt);
    ULONG length = 0xDEAD;
    PVOID data = query(u"PortName", &length);
    bool fired = sim::faults::fired();
    sim::faults::disarm();
    if (!fired) {
      ASSERT_NE(data, nullptr);
      ExFreePoolWithTag(data, TzSerialPoolTag);
      EXPECT_GE(failAt, 3u) << "two allocations are made";
      break;
    }
    EXPECT_EQ(data, nullptr) << "allocation " << failAt;
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(sim::poolInUse().blocks, 0u);
    EXPECT_EQ(sim::registry::openHandles(), 0u);
  }
}

}  // namespace
