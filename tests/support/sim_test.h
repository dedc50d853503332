// Tests: fixtures that boot a fresh simulated kernel for every test and check
// afterwards that nothing leaked (pool, IRPs, work items, timers, DPCs, keys).
#pragma once

#include "sim/app.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

// A fresh Deterministic kernel per test; quiescence checked at the end.
class SimTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// SimTest with the driver loaded as service "tzserial". Set registry values
// or the WDM version in configure(), which runs before DriverEntry.
class DriverTest : public SimTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual void configure() {}
  void reload();  // unload and load again, running configure() first

  static std::u16string serviceKey();
  PDRIVER_OBJECT driver = nullptr;
};
