// Tests: the stack protector's guard. DriverEntry replaces the built-in value
// before any protected routine runs, the value follows the clocks, and the
// failure routine stops the system with DRIVER_OVERRAN_STACK_BUFFER.
#include "driver/core/dispatch.h"
#include "driver/core/stack_guard.h"
#include "support/sim_test.h"

#include <set>

namespace {

constexpr ULONG_PTR kBuiltInGuard = 0x00002B992DDFA200ull;

TEST_F(SimTest, DriverEntryReplacesTheBuiltInGuardWithOneEndingInAZeroByte) {
  TzSerialStackGuard = kBuiltInGuard;
  PDRIVER_OBJECT driver = sim::loadDriver(u"tzserial", DriverEntry);
  ASSERT_NE(driver, nullptr);
  EXPECT_NE(TzSerialStackGuard, kBuiltInGuard);
  EXPECT_EQ(TzSerialStackGuard & 0xFF, 0u);
  EXPECT_NE(TzSerialStackGuard >> 8, 0u);
  sim::unloadDriver(driver);
}

// The clocks feed the guard: loads 100 ns apart draw different guards.
TEST(StackGuardTest, LoadsAtDifferentTimesDrawDifferentGuards) {
  std::set<ULONG_PTR> guards;
  for (int64_t delay100ns = 0; delay100ns < 8; ++delay100ns) {
    sim::boot();
    sim::advance(delay100ns);
    PDRIVER_OBJECT driver = sim::loadDriver(u"tzserial", DriverEntry);
    ASSERT_NE(driver, nullptr);
    guards.insert(TzSerialStackGuard);
    sim::unloadDriver(driver);
    sim::shutdown();
  }
  EXPECT_EQ(guards.size(), 8u);
}

TEST_F(SimTest, AnOverwrittenGuardBugChecksWithTheExpectedValueAndItsComplement) {
  TzSerialStackGuard = 0x1122334455667700ull;
  try {
    TzSerialStackCheckFailure();
  } catch (const sim::VerifierStop& stop) {
    EXPECT_NE(std::string(stop.what()).find(
                  "bug check 0x000000F7 (0x0, 0x1122334455667700, 0xEEDDCCBBAA9988FF, 0x0)"),
              std::string::npos)
        << stop.what();
    return;
  }
  ADD_FAILURE() << "the failure routine returned";
}

}  // namespace
