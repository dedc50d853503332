// Fuzzing tool: the libFuzzer target of device events on an open port. Each
// input is a program of interrupt-in payloads, bulk-in blocks, bulk-in
// failures, reads and clock steps, run on a kernel of its own.
#include "fuzz/port_fuzz.h"
#include "fuzz/port_bench.h"
#include "sim/sim.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A verifier stop is a finding: abort, so libFuzzer keeps the input.
  sim::setAbortOnStop(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> input(data, size);
  if (std::string broken = tzfuzz::runDeviceProgram(input); !broken.empty()) {
    std::fprintf(stderr, "%s\ninput: %s\n", broken.c_str(), tzfuzz::hexBytes(input).c_str());
    std::abort();
  }
  return 0;
}
