// Tests: the exported diagnostic routines. The hexadecimal dump's layout and
// capacity rule, including byte counts whose dump does not fit in 32 bits,
// and the driver object found by name without keeping a reference.
#include "adapter_fixture.h"
#include "driver/core/exports.h"

#include <cstring>
#include <string>

namespace {

std::string dump(const std::vector<uint8_t>& bytes, ULONG capacity, LONG* result, ULONG* length) {
  std::string text(capacity + 8, '#');
  *length = capacity;
  *result = MakeHextoString(bytes.data(), ULONG(bytes.size()), text.data(), length);
  return text;
}

std::vector<uint8_t> counting(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t(i);
  return bytes;
}

TEST(HexDumpTest, LayoutOfBytesGroupsAndLines) {
  LONG result;
  ULONG length;
  std::string text = dump({}, 10, &result, &length);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(text, std::string(18, '#')) << "nothing written";

  text = dump({0xAB}, 3, &result, &length);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(text.substr(0, length), "AB ");
  EXPECT_EQ(text[3], '#') << "no terminating NUL";

  text = dump(counting(8), 26, &result, &length);
  EXPECT_EQ(length, 26u);
  EXPECT_EQ(text.substr(0, length), "00 01 02 03 04 05 06 07 - ");

  text = dump(counting(16), 52, &result, &length);
  EXPECT_EQ(length, 52u);
  EXPECT_EQ(text.substr(0, length), "00 01 02 03 04 05 06 07 - 08 09 0A 0B 0C 0D 0E 0F \r\n");

  text = dump(counting(20), 200, &result, &length);
  EXPECT_EQ(length, 3u * 20 + 2 * 2);
  EXPECT_EQ(text.substr(52, length - 52), "10 11 12 13 ");
}

TEST(HexDumpTest, ACapacityShortByOneWritesNothingAndNamesTheLength) {
  LONG result;
  ULONG length;
  std::string text = dump(counting(16), 51, &result, &length);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(length, 52u);
  EXPECT_EQ(text, std::string(59, '#'));
  dump(counting(16), 52, &result, &length);
  EXPECT_EQ(result, 1);
}

// 3n + 2(n/8) wraps in 32 bits for these counts: a wrapped length would pass
// the capacity test and the dump would run far past the buffer. The data is
// never read, so a small block stands in for the huge one.
TEST(HexDumpTest, AByteCountWhoseDumpDoesNotFitIn32BitsIsRefused) {
  uint8_t data[16] = {};
  char text[64];
  std::memset(text, '#', sizeof text);
  for (ULONG count : {0x55555556u, 0x60000000u, 0xFFFFFFFFu}) {
    ULONG length = sizeof text;
    EXPECT_EQ(MakeHextoString(data, count, text, &length), 0) << count;
    EXPECT_EQ(length, 0xFFFFFFFFu) << "the needed length, saturated";
  }
  ULONG length = 0xFFFFFFFF;  // the largest capacity: still not enough
  EXPECT_EQ(MakeHextoString(data, 0x60000000u, text, &length), 0);
  EXPECT_EQ(text[0], '#');
}

using ExportsTest = AdapterTest;

TEST_F(ExportsTest, GetDriverObjectFindsTheDriverWithoutKeepingAReference) {
  LONG_PTR before = sim::objectReferenceCount(driver);
  PDRIVER_OBJECT first = GetDriverObject(reinterpret_cast<PCWSTR>(u"\\Driver\\tzserial"));
  EXPECT_EQ(first, driver);
  EXPECT_EQ(GetDriverObject(reinterpret_cast<PCWSTR>(u"\\DRIVER\\TZSERIAL")), driver) << "any case";
  EXPECT_EQ(sim::objectReferenceCount(driver), before);
  EXPECT_EQ(GetDriverObject(reinterpret_cast<PCWSTR>(u"\\Driver\\nosuch")), nullptr);

  Adapter& a = plug();
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  ASSERT_NE(sim::findDevice(u"\\Device\\TALVENO0"), nullptr);
  EXPECT_EQ(GetDriverObject(reinterpret_cast<PCWSTR>(u"\\Device\\TALVENO0")), nullptr) << "a device, not a driver";
}

}  // namespace
