// Tests (explorer): the command line.
//   tzexplore --seed S [-v]          replays one run (each step printed with -v)
//   tzexplore --seeds N [--first S]  runs seeds S..S+N-1 and prints a summary
//   tzexplore --long-loopback-mib M [--writes-in-flight W]
//                                    streams M MiB through a loopback adapter on real threads
#include "explorer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: tzexplore --seed S [-v] | --seeds N [--first S] [--coverage] |\n"
               "                 --long-loopback-mib M [--seed S] [--writes-in-flight W]\n");
  return 2;
}

int replay(uint64_t seed, bool verbose) {
  explore::RunReport r = explore::runSeed(seed, verbose);
  if (r.failed) {
    std::printf("seed %llu FAILED after %llu steps: %s\n", (unsigned long long)seed, (unsigned long long)r.steps,
                r.failure.c_str());
    return 1;
  }
  std::printf("seed %llu passed: %llu steps\n", (unsigned long long)seed, (unsigned long long)r.steps);
  return 0;
}

int sweep(uint64_t first, uint64_t count, bool listCoverage) {
  auto started = std::chrono::steady_clock::now();
  uint64_t steps = 0, failures = 0, preemptions = 0;
  std::map<std::string, uint64_t> coverage;
  for (uint64_t seed = first; seed < first + count; ++seed) {
    explore::RunReport r = explore::runSeed(seed, false);
    steps += r.steps;
    preemptions += r.preemptions;
    for (const auto& [kind, n] : r.coverage) coverage[kind] += n;
    if (r.failed) {
      ++failures;
      std::printf("FAIL seed %llu: %s\n  replay: ./tz explore --seed %llu -v\n", (unsigned long long)seed,
                  r.failure.c_str(), (unsigned long long)seed);
      std::fflush(stdout);
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const auto& kinds = explore::requestKinds();
  size_t covered = 0;
  std::string missing;
  for (const auto& kind : kinds) {
    if (coverage.count(kind))
      ++covered;
    else
      missing += "\n    " + kind;
  }
  std::printf("explored seeds %llu..%llu: %llu runs, %llu steps, %llu failures, %.1f s\n", (unsigned long long)first,
              (unsigned long long)(first + count - 1), (unsigned long long)count, (unsigned long long)steps,
              (unsigned long long)failures, seconds);
  std::printf("throughput: %.0f seeds/s, %.0f steps/s; %llu preemption points ran work\n", double(count) / seconds,
              double(steps) / seconds, (unsigned long long)preemptions);
  std::printf("coverage: %zu of %zu request and event kinds%s%s\n", covered, kinds.size(),
              missing.empty() ? "" : ", never issued:", missing.c_str());
  if (listCoverage)
    for (const auto& [kind, n] : coverage) std::printf("  %8llu  %s\n", (unsigned long long)n, kind.c_str());
  return failures ? 1 : 0;
}

int longLoopback(uint64_t mebibytes, uint64_t seed, unsigned writesInFlight) {
  explore::LongLoopbackReport r = explore::runLongLoopback(mebibytes, seed, writesInFlight);
  std::printf("long loopback: %llu bytes in %llu writes and %llu reads, %.1f s (%.1f MiB/s)%s%s\n",
              (unsigned long long)r.bytes, (unsigned long long)r.writes, (unsigned long long)r.reads, r.seconds,
              r.seconds > 0 ? double(r.bytes) / (1 << 20) / r.seconds : 0.0, r.failed ? ": FAILED: " : ": in order, none lost",
              r.failure.c_str());
  return r.failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  uint64_t seed = 1, seeds = 0, first = 1, mebibytes = 0, writesInFlight = 1;
  bool haveSeed = false, verbose = false, listCoverage = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto number = [&]() -> uint64_t {
      if (i + 1 >= argc) std::exit(usage());
      return std::strtoull(argv[++i], nullptr, 0);
    };
    if (a == "--seed") {
      seed = number();
      haveSeed = true;
    } else if (a == "--seeds") {
      seeds = number();
    } else if (a == "--first") {
      first = number();
    } else if (a == "--long-loopback-mib") {
      mebibytes = number();
    } else if (a == "--writes-in-flight") {
      writesInFlight = number();
    } else if (a == "-v" || a == "--verbose") {
      verbose = true;
    } else if (a == "--coverage") {
      listCoverage = true;
    } else {
      return usage();
    }
  }
  if (mebibytes) return longLoopback(mebibytes, seed, unsigned(writesInFlight));
  if (seeds) return sweep(first, seeds, listCoverage);
  if (haveSeed) return replay(seed, verbose);
  return usage();
}
