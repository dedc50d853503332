// Benchmarks: loopback throughput on the Concurrent kernel. One writer and
// one reader thread move a stream through the loopback adapter, every byte
// checked in order, against a memcpy floor of the copies a loopback needs
// (the device turning its bulk-out data round, and the bulk-in data into the
// reader's buffer) with the same check, measured in the same run.
#include "bench.h"
#include "port.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

namespace tzbench {

namespace {

// The writer stays this far ahead of the reader at most: below the ring.
constexpr uint64_t kAhead = 256 * 1024;

double secondsSince(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Moves `bytes` in requests of `size`; returns MB/s.
double runLoopback(uint64_t bytes, ULONG size) {
  Port port(sim::Mode::Concurrent, {.loopback = true});
  std::atomic<uint64_t> readBack{0};
  std::atomic<bool> failed{false};
  std::string error;
  auto begin = std::chrono::steady_clock::now();
  std::thread writer([&] {
    try {
      for (uint64_t written = 0; written < bytes && !failed;) {
        while (written - readBack.load(std::memory_order_acquire) >= kAhead && !failed) std::this_thread::yield();
        ULONG length = ULONG(std::min<uint64_t>(size, bytes - written));
        port.write(pattern(written), length);
        written += length;
      }
    } catch (const std::exception& e) {
      error = e.what();
      failed = true;
    }
  });
  try {
    for (uint64_t read = 0; read < bytes && !failed;) {
      ULONG length = ULONG(std::min<uint64_t>(size, bytes - read));
      app::Request r = port.file().readAsync(length);
      app::Result result = r.wait(10 * sim::kSecond);
      if (result.status != STATUS_SUCCESS || result.information != length)
        throw std::runtime_error("loopback: the read at byte " + std::to_string(read) + " ended short");
      if (!matches(r.data().data(), read, length))
        throw std::runtime_error("loopback: the bytes at " + std::to_string(read) + " are not those sent");
      read += length;
      readBack.store(read, std::memory_order_release);
    }
  } catch (const std::exception& e) {
    if (error.empty()) error = e.what();
    failed = true;
  }
  writer.join();
  double seconds = secondsSince(begin);
  if (failed) throw std::runtime_error(error);
  return bytes / seconds / 1e6;
}

// The copies the loop cannot do without, in the same request sizes: the
// device's turnaround (4 KiB blocks into its bulk-in buffer) and the block
// into the reader's buffer, then the same check.
double runFloor(uint64_t bytes, ULONG size) {
  constexpr size_t kBlock = 4096;
  auto device = std::make_unique<uint8_t[]>(kBlock);
  auto out = std::make_unique<uint8_t[]>(std::max<size_t>(size, kBlock));
  auto begin = std::chrono::steady_clock::now();
  for (uint64_t read = 0; read < bytes;) {
    size_t length = size_t(std::min<uint64_t>(size, bytes - read));
    for (size_t at = 0; at < length; at += kBlock) {
      size_t n = std::min(kBlock, length - at);
      std::memcpy(device.get(), pattern(read + at), n);
      std::memcpy(out.get() + at, device.get(), n);
    }
    if (!matches(out.get(), read, length)) throw std::runtime_error("loopback floor: the copy does not match");
    read += length;
  }
  return bytes / secondsSince(begin) / 1e6;
}

}  // namespace

void loopback(const Options& options, Results& results) {
  if (options.smoke) {
    runLoopback(1 << 20, 64 * 1024);
    runLoopback(64 * 1024, 64);
    return;
  }
  struct Size {
    ULONG request;
    uint64_t bytes;
  };
  for (Size s : {Size{65536, 256ull << 20}, Size{4096, 32ull << 20}, Size{64, 1ull << 20}}) {
    double ours = runLoopback(s.bytes, s.request);
    double floor = runFloor(s.bytes, s.request);
    Row row{.figure = "loopback throughput, " + std::to_string(s.request) + "-byte requests (" +
                      std::to_string(s.bytes >> 20) + " MiB)",
            .ours = ours,
            .reference = floor,
            .unit = "MB/s",
            .ratioName = "ours/floor",
            .ratio = ours / floor};
    if (s.request == 65536) {
      row.target = ">= 1060 MB/s";
      row.result = ours >= 1060 ? "pass" : "fail";
    } else {
      row.result = "report";
    }
    results.rows.push_back(row);
    results.points.push_back({"loopback end to end (Concurrent)", s.request, ours});
  }
}

}  // namespace tzbench
