// Fuzzing tool: the libFuzzer target. Each input is a configuration descriptor
// set the simulated adapter presents; it goes through the driver's start path
// on one simulated kernel booted for the whole run.
#include "driver/core/dispatch.h"
#include "fuzz/descriptor_fuzz.h"
#include "sim/sim.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

PDRIVER_OBJECT driver = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A verifier stop is a finding: abort, so libFuzzer keeps the input.
  sim::setAbortOnStop(true);
  sim::boot();
  driver = sim::loadDriver(u"tzserial", DriverEntry);
  if (!driver) {
    std::fprintf(stderr, "the driver did not load\n");
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> set(data, data + size);
  tzfuzz::StartRun run = tzfuzz::runStartPath(driver, set);
  if (!run.broken.empty()) {
    std::fprintf(stderr, "%s\nset: %s\n", run.broken.c_str(), tzfuzz::hex(set).c_str());
    std::abort();
  }
  return 0;
}

// Half of the mutations are the descriptor-aware ones the seeded run uses,
// half libFuzzer's own byte-level ones; an input too short to be a set starts
// again from one of the well-formed layouts.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed) {
  static const std::vector<std::vector<uint8_t>> seeds = tzfuzz::seedDescriptorSets();
  std::mt19937_64 random(seed);
  if (size < 9 || random() % 16 == 0) {
    const std::vector<uint8_t>& s = seeds[random() % seeds.size()];
    size = std::min(s.size(), maxSize);
    std::memcpy(data, s.data(), size);
  }
  if (random() % 2) return LLVMFuzzerMutate(data, size, maxSize);
  std::vector<uint8_t> set(data, data + size);
  tzfuzz::mutateDescriptorSet(set, random);
  size = std::min(set.size(), maxSize);
  std::memcpy(data, set.data(), size);
  return size;
}
