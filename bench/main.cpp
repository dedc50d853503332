// Benchmarks: tzbench runs every benchmark (or those named) and prints one
// table; --smoke runs one on a tiny scale and checks only its data.
//
//   tzbench                        every benchmark: table, results.csv, throughput.svg
//   tzbench receive-path latency   only these
//   tzbench --smoke loopback       the smoke run of one benchmark
//   tzbench --probe floor 4        a counted region alone (for callgrind)
#include "bench.h"

#include "sim/sim.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <stdexcept>
#include <unistd.h>
#include <algorithm>

#ifndef TZBENCH_BINARY_DIR
#define TZBENCH_BINARY_DIR "."
#endif
#ifndef TZBENCH_TZCOM
#define TZBENCH_TZCOM "tzcom"
#endif
#ifndef TZBENCH_TZEXPLORE
#define TZBENCH_TZEXPLORE "tzexplore"
#endif

namespace {

using Benchmark = std::function<void(const tzbench::Options&, tzbench::Results&)>;

const std::vector<std::pair<std::string, Benchmark>>& benchmarks() {
  static const std::vector<std::pair<std::string, Benchmark>> all = {
      {"receive-path", tzbench::receivePath}, {"loopback", tzbench::loopback},
      {"latency", tzbench::latency},          {"bus-saturation", tzbench::busSaturation},
      {"rfc2217", tzbench::rfc2217Peer},      {"explorer", tzbench::explorerRate}};
  return all;
}

int usage() {
  std::fprintf(stderr, "usage: tzbench [--smoke] [receive-path|loopback|latency|bus-saturation|rfc2217|explorer ...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "--probe") return tzbench::probe(args[1], std::strtoull(args[2].c_str(), nullptr, 10));

  tzbench::Options options{
      .self = "/proc/self/exe", .binaryDir = TZBENCH_BINARY_DIR, .tzcom = TZBENCH_TZCOM, .tzexplore = TZBENCH_TZEXPLORE};
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) options.self.assign(self, size_t(n));
  std::vector<std::string> names;
  for (const std::string& a : args) {
    if (a == "--smoke")
      options.smoke = true;
    else if (a == "--help" || a == "-h")
      return usage();
    else
      names.push_back(a);
  }
  for (const std::string& name : names) {
    bool known = false;
    for (auto& [n2, b] : benchmarks()) known |= n2 == name;
    if (!known) return usage();
  }

  tzbench::Results results;
  int failed = 0;
  for (auto& [name, run] : benchmarks()) {
    if (!names.empty() && std::find(names.begin(), names.end(), name) == names.end()) continue;
    std::fprintf(stderr, "== %s%s\n", name.c_str(), options.smoke ? " (smoke)" : "");
    try {
      run(options, results);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "tzbench: %s failed: %s\n", name.c_str(), e.what());
      results.rows.push_back({.figure = name, .result = "error", .note = e.what()});
      ++failed;
      sim::shutdown();
    }
  }
  if (options.smoke) {
    if (!failed) std::printf("smoke run completed, data matched\n");
    return failed ? 1 : 0;
  }
  tzbench::report(options, results);
  return failed ? 1 : 0;
}
