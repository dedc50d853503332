// Fuzzing tool: the libFuzzer target of the RFC 2217 server's input side.
// Each input is what a client sent, parsed, negotiated and carried out on an
// open port of a kernel of its own.
#include "fuzz/port_bench.h"
#include "fuzz/rfc2217_fuzz.h"
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
  if (std::string broken = tzfuzz::runClientStream(input); !broken.empty()) {
    std::fprintf(stderr, "%s\ninput: %s\n", broken.c_str(), tzfuzz::hexBytes(input).c_str());
    std::abort();
  }
  return 0;
}
