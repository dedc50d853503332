// Tests: the seeded runs of the port fuzzers, so that every build (gcc
// included) walks the programs the libFuzzer targets start from and a few
// hundred mutations of them. The run's seed, the iteration and the input are
// printed on failure; the input replays in the libFuzzer binary too.
#include "fuzz/port_bench.h"
#include "fuzz/port_fuzz.h"
#include "fuzz/rfc2217_fuzz.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::vector<uint8_t>> corpus(const char* target) {
  auto inputs = tzfuzz::readCorpus(std::string(TZ_FUZZ_CORPUS) + "/" + target);
  EXPECT_FALSE(inputs.empty()) << "no seed corpus for " << target;
  return inputs;
}

// Mutations per target: enough to leave the seeds' paths, few enough for the
// sanitizer builds.
constexpr size_t kInputs = 1000;

TEST(FuzzSeededTest, DeviceEventsOnAnOpenPortLoseNoByteAndLeaveNothing) {
  EXPECT_EQ(tzfuzz::seededRun(corpus("device"), 20261208, kInputs, tzfuzz::kMaxPortProgramBytes,
                              tzfuzz::runDeviceProgram),
            "");
}

TEST(FuzzSeededTest, DeviceControlRequestsEndWithTheirDocumentedStatusAndThePortStillWorks) {
  EXPECT_EQ(tzfuzz::seededRun(corpus("ioctl"), 20261208, kInputs, tzfuzz::kMaxPortProgramBytes,
                              tzfuzz::runIoctlProgram),
            "");
}

TEST(FuzzSeededTest, ClientStreamsThroughTheRfc2217ServerAreAnsweredAndThePortStillWorks) {
  EXPECT_EQ(tzfuzz::seededRun(corpus("rfc2217"), 20261208, kInputs, tzfuzz::kMaxClientStreamBytes,
                              tzfuzz::runClientStream),
            "");
}

}  // namespace
