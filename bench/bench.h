// Benchmarks: what every benchmark shares. A benchmark measures ours and a
// reference side by side in one run and reports rows of one table; a smoke
// run does the same work on a tiny scale and only checks the data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tzbench {

// One row of the table (and of results.csv).
struct Row {
  std::string figure;
  double ours = 0;
  double reference = 0;
  std::string unit;       // of ours and reference
  std::string ratioName;  // what the ratio is: "ours/ref", "ref/ours", ...
  double ratio = 0;
  std::string target;     // "<= 2.0", ">= 1060 MB/s", "" (a reading)
  std::string result;     // pass, fail, report, skipped, unavailable
  std::string note;       // why skipped or unavailable
};

// One point of the throughput chart.
struct Point {
  std::string series;
  uint32_t requestSize = 0;
  double megabytesPerSecond = 0;
};

struct Results {
  std::vector<Row> rows;
  std::vector<Point> points;
};

struct Options {
  bool smoke = false;         // tiny sizes, check data only
  std::string self;           // this program, for the profiler's runs
  std::string binaryDir;      // where results.csv and throughput.svg go
  std::string tzcom;          // the host program
  std::string tzexplore;      // the seeded explorer
};

// n bytes of the stream that starts at byte `first`: a 65521-byte period, so
// that any block of a stream is found by offset in one pattern buffer.
constexpr uint32_t kPatternPeriod = 65521;
const uint8_t* pattern(uint64_t first);  // valid for kPatternPeriod + 1 MiB bytes
bool matches(const uint8_t* data, uint64_t first, size_t length);

// The benchmarks. Each adds its rows (and chart points) and throws
// std::runtime_error when the data did not match or the run failed.
void receivePath(const Options& options, Results& results);
void loopback(const Options& options, Results& results);
void latency(const Options& options, Results& results);
void busSaturation(const Options& options, Results& results);
void rfc2217Peer(const Options& options, Results& results);
void explorerRate(const Options& options, Results& results);

// The receive path and its floor alone, for the instruction counter to run:
// `tzbench --probe receive-path|floor MIB`.
int probe(const std::string& what, uint64_t mebibytes);

// A callgrind profile's instructions by whose code ran them: the driver's
// own, the copies (memcpy, memmove) and everything else (the simulated
// kernel and bus, the C++ runtime). False when the profile cannot be read.
struct InstructionSplit {
  uint64_t driver = 0;
  uint64_t copies = 0;
  uint64_t kernel = 0;
};
bool splitInstructions(const std::string& profilePath, InstructionSplit& split);

// The table on stdout, results.csv and throughput.svg.
void report(const Options& options, const Results& results);
void writeSvg(const std::string& path, const std::vector<Point>& points);

}  // namespace tzbench
