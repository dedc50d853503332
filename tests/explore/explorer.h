// Tests (explorer): one seeded run of the whole system. A seed decides
// everything: the adapters plugged and their descriptor layout, the sequence
// of application requests, device behaviour, Plug and Play and power events
// and allocation failures, all on the virtual clock, so a failing seed
// replays exactly.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace explore {

struct RunReport {
  uint64_t seed = 0;
  uint64_t steps = 0;
  bool failed = false;
  std::string failure;  // what broke, and at which step
  std::map<std::string, uint64_t> coverage;  // request and event kinds, by name, and how often
  uint64_t preemptions = 0;  // preemption points that ran work between two steps of a thread
};

// Boots a fresh kernel, runs that seed number's run to the end (removal and unload), checks
// every invariant on the way and at the end. verbose: prints each step.
RunReport runSeed(uint64_t seed, bool verbose);

// Every request and event kind the explorer can issue, for the coverage summary.
const std::vector<std::string>& requestKinds();

struct LongLoopbackReport {
  uint64_t bytes = 0;
  uint64_t reads = 0, writes = 0;
  double seconds = 0;
  bool failed = false;
  std::string failure;
};

// Streams mebibytes through a loopback adapter on the Concurrent kernel
// (real threads) with random request sizes and random bulk-in completion
// delays, and checks every byte read back in order. writesInFlight: how many
// writes one thread keeps outstanding.
LongLoopbackReport runLongLoopback(uint64_t mebibytes, uint64_t seed, unsigned writesInFlight);

}  // namespace explore
