// Benchmarks: the seeded explorer's throughput. tzexplore runs a fixed range
// of seeds on the Deterministic kernel with every verifier check on; its
// seeds per second set how many seeds the suite and CI can afford. The
// reference is the build before the explorer and the simulated kernel were
// sped up, measured on this machine: a past figure, not this run's.
#include "bench.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace tzbench {

namespace {

// Seeds per second of the explorer before (d3795c6, 2026-12-10, quiet machine:
// 3,000 seeds at 720 seeds per second, 122,200 steps per second).
constexpr double kBaselineSeedsPerSecond = 720;

struct Rate {
  double seeds = 0, steps = 0;
  bool failed = false;
};

Rate runExplorer(const Options& options, unsigned seeds) {
  std::string command = "'" + options.tzexplore + "' --seeds " + std::to_string(seeds) + " --first 1 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("explorer: could not start " + options.tzexplore);
  Rate rate;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe)) {
    if (std::strncmp(line, "FAIL", 4) == 0) rate.failed = true;
    std::sscanf(line, "throughput: %lf seeds/s, %lf steps/s", &rate.seeds, &rate.steps);
  }
  if (pclose(pipe) != 0 || rate.failed) throw std::runtime_error("explorer: a seed failed; replay it with ./tz explore");
  if (rate.seeds <= 0) throw std::runtime_error("explorer: no throughput line in its output");
  return rate;
}

}  // namespace

void explorerRate(const Options& options, Results& results) {
  if (options.smoke) {
    runExplorer(options, 20);
    return;
  }
  // The best of three runs: the machine is shared, and a run only gets slower.
  Rate best;
  for (int run = 0; run < 3; ++run) {
    Rate r = runExplorer(options, 3000);
    if (r.seeds > best.seeds) best = r;
  }
  Row row{.figure = "explorer, seeds per second (3,000 seeds, plain build, best of 3)",
          .ours = best.seeds,
          .reference = kBaselineSeedsPerSecond,
          .unit = "seeds/s",
          .ratioName = "ours/before",
          .target = ">= 2.0"};
  row.ratio = row.ours / row.reference;
  row.result = row.ratio >= 2.0 ? "pass" : "fail";
  char note[96];
  std::snprintf(note, sizeof note, "%.0f steps/s; reference: the build before, not this run", best.steps);
  row.note = note;
  results.rows.push_back(row);
}

}  // namespace tzbench
