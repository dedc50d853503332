// Tests (explorer): the long loopback. Mebibytes of seeded pseudo-random bytes
// go out through writes of random sizes (one or more in flight) on the
// Concurrent kernel, come back through a loopback adapter whose bulk-in
// completions arrive after random delays, and are read with reads of random
// sizes on another thread; every byte read is compared with the one the
// generator wrote at that position.
#include "explorer.h"

#include "driver/core/device_context.h"
#include "driver/core/dispatch.h"
#include "sim/cdc_acm.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

namespace explore {

namespace {

// The byte at every position of the stream, computed from the run's seed.
class StreamBytes {
 public:
  explicit StreamBytes(uint64_t seed) : engine_(seed) {}
  void fill(uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (!left_) {
        word_ = engine_();
        left_ = 8;
      }
      p[i] = uint8_t(word_);
      word_ >>= 8;
      --left_;
    }
  }

 private:
  std::mt19937_64 engine_;
  uint64_t word_ = 0;
  int left_ = 0;
};

constexpr uint64_t kMaxAhead = 256 * 1024;  // the ring is 400 KiB: never let the writer overrun it

}  // namespace

LongLoopbackReport runLongLoopback(uint64_t mebibytes, uint64_t seed, unsigned writesInFlight) {
  LongLoopbackReport report;
  const uint64_t total = mebibytes << 20;
  sim::boot({.mode = sim::Mode::Concurrent, .seed = seed, .workerThreads = 2});
  sim::registry::createKey(std::u16string(sim::kServicesRoot) + u"\\tzserial");
  PDRIVER_OBJECT driver = sim::loadDriver(u"tzserial", DriverEntry);
  auto plugged = sim::usb::plugAdapter({.vendorId = 0x7A5E,
                                        .productId = 0xC0DE,
                                        .loopback = true,
                                        .bulkInCompletionDelay100ns = 2000,
                                        .record = false},
                                       {.className = u"Modem"});
  sim::registry::setString(sim::pnp::deviceParametersKey(plugged.pdo), u"PortName", u"COM5");
  if (!driver || !NT_SUCCESS(sim::pnp::addDevice(driver, plugged.pdo)) ||
      !NT_SUCCESS(sim::pnp::startDevice(plugged.pdo))) {
    report.failed = true;
    report.failure = "the port did not start";
    sim::shutdown();
    return report;
  }
  // What reached the bus, in bus order, against what was written, in order:
  // tells a write started out of turn from a byte lost on the way back.
  std::mutex busMutex;
  std::vector<std::vector<uint8_t>> bus, sent;
  plugged.adapter->setTap([&](const sim::usb::UrbRecord& r, bool completed) {
    if (completed || r.endpoint != 0x02 || r.dataOut.empty()) return;
    std::lock_guard lock(busMutex);
    bus.emplace_back(r.dataOut.begin(), r.dataOut.begin() + std::min<size_t>(8, r.dataOut.size()));
  });
  app::File port;
  if (!NT_SUCCESS(app::File::open(u"\\??\\COM5", port))) {
    report.failed = true;
    report.failure = "the port did not open";
    sim::shutdown();
    return report;
  }
  // Reads return what has arrived, or after 1 s with nothing.
  SERIAL_TIMEOUTS timeouts = {MAXULONG, MAXULONG, 1000, 0, 0};
  port.ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);

  std::atomic<uint64_t> readTotal{0};
  std::atomic<bool> broken{false};
  std::string failure;
  auto started = std::chrono::steady_clock::now();

  std::thread writer([&] {
    StreamBytes bytes(seed);
    std::mt19937_64 sizes(seed ^ 0x5157);
    std::deque<std::pair<app::Request, ULONG>> inFlight;
    uint64_t written = 0;
    while (written < total && !broken) {
      ULONG length = ULONG(std::min<uint64_t>(total - written, 1 + sizes() % (sizes() % 4 == 0 ? 65536 : 4096)));
      while (written + length - readTotal.load() > kMaxAhead && !broken) std::this_thread::yield();
      std::vector<uint8_t> data(length);
      bytes.fill(data.data(), length);
      {
        std::lock_guard lock(busMutex);
        sent.emplace_back(data.begin(), data.begin() + std::min<size_t>(8, data.size()));
      }
      inFlight.emplace_back(port.writeAsync(data), length);
      written += length;
      ++report.writes;
      while (inFlight.size() >= std::max(1u, writesInFlight) || (written == total && !inFlight.empty())) {
        app::Result r = inFlight.front().first.wait();
        if (r.status != STATUS_SUCCESS || r.information != inFlight.front().second) {
          std::ostringstream out;
          out << "a write ended with status 0x" << std::hex << r.status << std::dec << " and " << r.information
              << " of " << inFlight.front().second << " bytes";
          failure = out.str();
          broken = true;
        }
        inFlight.pop_front();
      }
    }
  });

  StreamBytes expected(seed);
  std::mt19937_64 sizes(seed ^ 0xEAD);
  std::vector<uint8_t> buffer(65536), want(65536);
  while (readTotal < total && !broken) {
    ULONG length = ULONG(1 + sizes() % (sizes() % 4 == 0 ? 65536 : 4096));
    app::Result r = port.read(buffer.data(), length);
    ++report.reads;
    if (r.status != STATUS_SUCCESS && r.status != STATUS_TIMEOUT) {
      std::ostringstream out;
      out << "a read ended with status 0x" << std::hex << r.status;
      failure = out.str();
      broken = true;
      break;
    }
    expected.fill(want.data(), r.information);
    for (size_t i = 0; i < r.information; ++i) {
      if (buffer[i] != want[i]) {
        std::ostringstream out;
        out << "byte " << readTotal + i << " is 0x" << std::hex << int(buffer[i]) << ", the stream has 0x"
            << int(want[i]);
        failure = out.str();
        broken = true;
        break;
      }
    }
    readTotal += r.information;
  }
  writer.join();
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  report.bytes = readTotal;
  DeviceContext* c = TzSerialGetDeviceContext(plugged.pdo->AttachedDevice);
  if (c->perfStats.BufferOverrunErrorCount) {
    failure += (failure.empty() ? "" : "; ") + std::string("the ring overran by ") +
               std::to_string(c->perfStats.BufferOverrunErrorCount) + " bytes";
    broken = true;
  }
  {
    std::lock_guard lock(busMutex);
    for (size_t i = 0; i < std::min(bus.size(), sent.size()); ++i)
      if (bus[i] != sent[i]) {
        failure += "; write " + std::to_string(i) + " is not the " + std::to_string(i) + "th transfer on the bus";
        break;
      }
  }
  plugged.adapter->setTap({});
  port.close();
  try {
    if (!NT_SUCCESS(sim::pnp::removeDevice(plugged.pdo))) throw sim::VerifierStop("the removal was refused");
    sim::pnp::deletePhysicalDevice(plugged.pdo);
    sim::unloadDriver(driver);
  } catch (const sim::VerifierStop& stop) {
    if (!broken) failure = std::string("after removal and unload: ") + stop.what();
    broken = true;
  }
  sim::shutdown();
  report.failed = broken;
  report.failure = failure;
  return report;
}

}  // namespace explore
