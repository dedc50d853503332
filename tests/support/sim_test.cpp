// Tests: the per-test kernel fixtures.
#include "support/sim_test.h"

#include "driver/core/dispatch.h"

void SimTest::SetUp() { sim::boot({.mode = sim::Mode::Deterministic, .seed = uint64_t(::testing::UnitTest::GetInstance()->random_seed())}); }

void SimTest::TearDown() {
  if (!HasFailure()) EXPECT_NO_THROW(sim::checkQuiescent());
  sim::shutdown();
}

std::u16string DriverTest::serviceKey() { return std::u16string(sim::kServicesRoot) + u"\\tzserial"; }

void DriverTest::SetUp() {
  SimTest::SetUp();
  reload();
}

void DriverTest::reload() {
  if (driver) sim::unloadDriver(driver);
  sim::registry::createKey(serviceKey());
  configure();
  driver = sim::loadDriver(u"tzserial", DriverEntry);
  ASSERT_NE(driver, nullptr);
}

void DriverTest::TearDown() {
  if (driver && !HasFailure()) EXPECT_NO_THROW(sim::unloadDriver(driver));
  driver = nullptr;
  SimTest::TearDown();
}
