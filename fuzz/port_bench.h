// Fuzzing tool (shared by the libFuzzer targets and the seeded runs in the
// test suite): a fresh simulated kernel per input with the driver loaded and
// a modem-class adapter started, the reader of fuzz input bytes, and the
// seeded mutator the suite's runs use.
#pragma once

#include "driver/core/device_context.h"
#include "sim/cdc_acm.h"

#include <cstdint>
#include <functional>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace tzfuzz {

// The port every bench names.
inline const std::u16string kBenchPortName = u"COM7";

// Whether an input's kernel reuses freed IRPs and pool at once or keeps them
// in quarantine: a property of the input, so that it replays the same way and
// the corpus exercises both.
inline sim::Addresses addressesFor(std::span<const uint8_t> input) {
  uint8_t folded = 0;
  for (uint8_t b : input) folded ^= b;
  return folded & 1 ? sim::Addresses::Quarantine : sim::Addresses::Reuse;
}

// Boots a Deterministic kernel (seed 1, so one input replays one run), loads
// the driver, plugs a modem-class adapter (all three pipes, so the status
// pipe runs) with the given model options and starts it. broken is set when
// any of that fails. The port is not opened: each target opens it its way.
class PortBench {
 public:
  PortBench(sim::usb::AdapterOptions options, sim::Addresses addresses);
  ~PortBench();
  PortBench(const PortBench&) = delete;
  PortBench& operator=(const PortBench&) = delete;

  // Removes the adapter (query-remove and remove), deletes it, unloads the
  // driver and checks that the kernel is quiescent. Every handle must be
  // closed first. Returns what broke, empty when all held; a verifier stop
  // propagates.
  std::string finish();
  // finish(), but what the program found broken comes first.
  std::string finishAfter(const std::string& programBroken) {
    std::string finished = finish();
    return programBroken.empty() ? finished : programBroken;
  }

  std::string broken;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  std::shared_ptr<sim::usb::CdcAcmAdapter> adapter;
  DeviceContext* context = nullptr;

 private:
  bool finished_ = false;
};

// A loopback adapter with its modem lines wired back, unrecorded: the
// adapter of the programs that check a round trip.
inline sim::usb::AdapterOptions loopbackAdapter() {
  sim::usb::AdapterOptions options;
  options.loopback = true;
  options.modemLoopback = true;
  options.record = false;
  return options;
}

// Reads a fuzz input front to back; past its end every read is zero, so any
// input is a whole program.
class InputReader {
 public:
  explicit InputReader(std::span<const uint8_t> data) : data_(data) {}
  bool empty() const { return at_ >= data_.size(); }
  uint8_t byte() { return at_ < data_.size() ? data_[at_++] : 0; }
  // Little-endian; each byte read in its own statement, so that every
  // compiler reads an input the same way.
  uint16_t u16() {
    uint16_t low = byte();
    return uint16_t(low | byte() << 8);
  }
  uint32_t u32() {
    uint32_t low = u16();
    return low | uint32_t(u16()) << 16;
  }
  // Up to n bytes, fewer at the end of the input.
  std::span<const uint8_t> take(size_t n);

 private:
  std::span<const uint8_t> data_;
  size_t at_ = 0;
};

// Byte-level mutations for the seeded runs: bit flips, boundary bytes,
// inserted, erased and repeated runs, splices of another seed. At most
// maxBytes long.
void mutateBytes(std::vector<uint8_t>& input, const std::vector<std::vector<uint8_t>>& seeds,
                 std::mt19937_64& random, size_t maxBytes);

// Runs `count` inputs through `run`: each a seed, or a seed mutated one to
// eight times, all drawn from `seed`. Returns the first failure as a message
// naming the run's seed number, the iteration and the input in hex; empty when every run
// held. A verifier stop counts as a failure.
std::string seededRun(const std::vector<std::vector<uint8_t>>& seeds, uint64_t seed, size_t count,
                      size_t maxBytes, const std::function<std::string(std::span<const uint8_t>)>& run);

std::string hexBytes(std::span<const uint8_t> bytes);
std::string statusText(NTSTATUS status);

// The starting corpus of a target, read from a directory of files (one input
// each, sorted by name); empty when the directory is missing.
std::vector<std::vector<uint8_t>> readCorpus(const std::string& directory);

}  // namespace tzfuzz
