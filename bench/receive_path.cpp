// Benchmarks: the receive path's cost. The adapter model sends a stream in
// 4 KiB bulk-in blocks to an open port on the Deterministic kernel while a
// reader drains it; the instruction counter (callgrind) counts what the path
// costs per byte, the device model's side (which stands for the wire and the
// host controller's DMA) and the data check left out, against two memcpy
// passes of the same bytes through a ring of the same size.
#include "bench.h"
#include "port.h"

#include "driver/core/device_context.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace tzbench {

namespace {

constexpr ULONG kBlock = 4096;
constexpr size_t kInFlight = 256 * 1024;  // below the ring: never an overrun

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

// The counted regions: out of line, with C linkage, so that the counter can
// name them (--toggle-collect).
extern "C" __attribute__((noinline)) void tzbenchReceiveRegion(Port& port, uint64_t bytes, ULONG readSize) {
  uint64_t sent = 0, read = 0;
  while (read < bytes) {
    while (sent - read < kInFlight && sent < bytes) {
      size_t chunk = size_t(std::min<uint64_t>(64 * 1024, bytes - sent));
      port.adapter().sendBulkIn({pattern(sent), chunk});
      sent += chunk;
    }
    ULONG length = ULONG(std::min<uint64_t>(readSize, bytes - read));
    app::Request r = port.file().readAsync(length);
    app::Result result = r.wait();
    if (result.status != STATUS_SUCCESS || result.information != length || !matches(r.data().data(), read, length))
      throw std::runtime_error("receive path: the read at byte " + std::to_string(read) + " does not match");
    read += length;
  }
}

extern "C" __attribute__((noinline)) void tzbenchFloorRegion(uint8_t* ring, uint8_t* out, uint64_t bytes,
                                                             ULONG readSize) {
  size_t in = 0, outAt = 0, count = 0;
  uint64_t read = 0, sent = 0;
  auto put = [&](const uint8_t* data, size_t n) {
    size_t first = std::min(n, TzSerialRxBufferSize - in);
    std::memcpy(ring + in, data, first);
    std::memcpy(ring, data + first, n - first);
    in = (in + n) % TzSerialRxBufferSize;
    count += n;
  };
  auto get = [&](uint8_t* to, size_t n) {
    size_t first = std::min(n, TzSerialRxBufferSize - outAt);
    std::memcpy(to, ring + outAt, first);
    std::memcpy(to + first, ring, n - first);
    outAt = (outAt + n) % TzSerialRxBufferSize;
    count -= n;
  };
  while (read < bytes) {
    ULONG length = ULONG(std::min<uint64_t>(readSize, bytes - read));
    while (count < length) {
      size_t n = size_t(std::min<uint64_t>(kBlock, bytes - sent));
      put(pattern(sent), n);
      sent += n;
    }
    get(out, length);
    if (!matches(out, read, length)) throw std::runtime_error("floor: the copy does not match");
    read += length;
  }
}

// The receive path on a fresh port, `bytes` through reads of readSize;
// returns the seconds it took.
double runReceivePath(uint64_t bytes, ULONG readSize) {
  Port port(sim::Mode::Deterministic, {});
  auto begin = std::chrono::steady_clock::now();
  tzbenchReceiveRegion(port, bytes, readSize);
  double s = seconds(begin);
  if (port.context()->perfStats.BufferOverrunErrorCount) throw std::runtime_error("receive path: the ring overran");
  return s;
}

double runFloor(uint64_t bytes, ULONG readSize) {
  auto ring = std::make_unique<uint8_t[]>(TzSerialRxBufferSize);
  auto out = std::make_unique<uint8_t[]>(readSize);
  auto begin = std::chrono::steady_clock::now();
  tzbenchFloorRegion(ring.get(), out.get(), bytes, readSize);
  return seconds(begin);
}

int probe(const std::string& what, uint64_t mebibytes) {
  uint64_t bytes = mebibytes << 20;
  pattern(0);  // built once, outside the counted region
  if (what == "receive-path")
    runReceivePath(bytes, 64 * 1024);
  else if (what == "floor")
    runFloor(bytes, 64 * 1024);
  else
    return 2;
  return 0;
}

namespace {

// Runs the probe under callgrind, counting only its region; 0 when the
// counter is missing or failed. The profile goes to profilePath when one is
// given.
double countInstructions(const Options& options, const char* what, const char* region, uint64_t mebibytes,
                         const std::string& profilePath = "/dev/null") {
  std::string command = "valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file='" + profilePath + "'";
  command += std::string(" --toggle-collect=") + region;
  for (const char* left : {"*sendBulkIn*", "*fillBulkIn*", "tzbenchCheck"}) command += std::string(" '--toggle-collect=") + left + "'";
  command += " '" + options.self + "' --probe " + what + " " + std::to_string(mebibytes) + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return 0;
  char line[512];
  double collected = 0;
  while (std::fgets(line, sizeof line, pipe)) {
    const char* at = std::strstr(line, "Collected :");
    if (at) collected = std::strtod(at + std::strlen("Collected :"), nullptr);
  }
  if (pclose(pipe) != 0) return 0;
  return collected;
}

bool haveValgrind() { return std::system("valgrind --version >/dev/null 2>&1") == 0; }

}  // namespace

void receivePath(const Options& options, Results& results) {
  if (options.smoke) {
    runReceivePath(256 * 1024, 64 * 1024);
    runReceivePath(64 * 1024, 100);  // reads that end inside blocks
    runFloor(256 * 1024, 64 * 1024);
    return;
  }
  Row row{.figure = "receive path, instructions per byte (4 KiB blocks, 64 KiB reads)",
          .unit = "instr/B",
          .ratioName = "ours/floor",
          .target = "<= 2.0"};
  // The driver's own code against the simulated kernel's, copies left out of both.
  Row driverShare{.figure = "receive path, instructions per 4 KiB block: driver's own code (copies excluded)",
                  .unit = "instr",
                  .ratioName = "driver/simulated kernel"};
  constexpr uint64_t kMiB = 4;
  if (!haveValgrind()) {
    row.result = driverShare.result = "unavailable";
    row.note = driverShare.note = "valgrind (callgrind) is not installed";
  } else {
    std::string profile = options.binaryDir + "/receive_path.callgrind";
    double ours = countInstructions(options, "receive-path", "tzbenchReceiveRegion", kMiB, profile);
    double floor = countInstructions(options, "floor", "tzbenchFloorRegion", kMiB);
    if (ours <= 0 || floor <= 0) {
      row.result = "unavailable";
      row.note = "callgrind did not report a count";
    } else {
      row.ours = ours / double(kMiB << 20);
      row.reference = floor / double(kMiB << 20);
      row.ratio = row.ours / row.reference;
      row.result = row.ratio <= 2.0 ? "pass" : "fail";
    }
    InstructionSplit split;
    if (ours > 0 && splitInstructions(profile, split)) {
      double blocks = double(kMiB << 20) / kBlock;
      driverShare.ours = double(split.driver) / blocks;
      driverShare.reference = double(split.kernel) / blocks;
      driverShare.ratio = driverShare.ours / driverShare.reference;
      driverShare.result = "report";
      char copies[64];
      std::snprintf(copies, sizeof copies, "copies: %.0f instr/block", double(split.copies) / blocks);
      driverShare.note = copies;
    } else {
      driverShare.result = "unavailable";
      driverShare.note = "the profile could not be read";
    }
  }
  results.rows.push_back(row);
  results.rows.push_back(driverShare);

  // The chart: the receive path alone and the copy floor, by read size.
  for (ULONG size : {64u, 512u, 4096u, 16384u, 65536u}) {
    uint64_t bytes = size < 4096 ? (4u << 20) : (32u << 20);
    results.points.push_back({"receive path (Deterministic)", size, bytes / runReceivePath(bytes, size) / 1e6});
    results.points.push_back({"copy floor (2 memcpy passes)", size, bytes / runFloor(bytes, size) / 1e6});
  }
}

}  // namespace tzbench
