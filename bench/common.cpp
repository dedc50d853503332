// Benchmarks: the numbered stream every benchmark sends and checks, and the
// running of a helper program (the profiler) for its output.
#include "bench.h"

#include <cstring>
#include <vector>

namespace tzbench {

namespace {

std::vector<uint8_t> makePattern() {
  std::vector<uint8_t> bytes(kPatternPeriod + (1u << 20));
  for (size_t i = 0; i < bytes.size(); ++i) {
    uint32_t n = uint32_t(i % kPatternPeriod);
    bytes[i] = uint8_t(n * 131 + (n >> 8));
  }
  return bytes;
}

}  // namespace

const uint8_t* pattern(uint64_t first) {
  static const std::vector<uint8_t> bytes = makePattern();
  return bytes.data() + first % kPatternPeriod;
}

// Out of line and with C linkage, so that the instruction counter can leave
// the check out of what it counts.
extern "C" __attribute__((noinline)) bool tzbenchCheck(const uint8_t* data, uint64_t first, size_t length) {
  return std::memcmp(data, pattern(first), length) == 0;
}

bool matches(const uint8_t* data, uint64_t first, size_t length) {
  // Blocks longer than the pattern's spare megabyte are checked in parts.
  for (size_t at = 0; at < length; at += 1u << 20)
    if (!tzbenchCheck(data + at, first + at, std::min<size_t>(length - at, 1u << 20))) return false;
  return true;
}

}  // namespace tzbench
