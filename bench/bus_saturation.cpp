// Benchmarks: bus saturation on the adapter model's timed bus (Deterministic
// kernel, virtual time). The adapter always has data; the figure is the
// bytes per second the reader gets against what the bus can carry, with the
// driver's eight bulk-in transfers and with only one of them left running.
#include "bench.h"
#include "port.h"

#include "driver/core/device_context.h"

#include <stdexcept>

namespace tzbench {

namespace {

// Streams `bytes` through the port on a timed bus; returns bytes per second
// of virtual time.
double runSaturation(sim::usb::BusSpeed speed, bool oneTransfer, uint64_t bytes) {
  sim::usb::AdapterOptions adapter;
  adapter.busSpeed = speed;
  if (speed == sim::usb::BusSpeed::High)
    adapter.configuration = sim::usb::cdcConfiguration(sim::usb::Layout::CommAndData, {.bulk = 512});
  Port port(sim::Mode::Deterministic, adapter);
  if (oneTransfer) {
    // Slots the driver cancelled itself are not sent again until the port
    // reopens (one the bus cancelled on its own would be).
    DeviceContext* c = port.context();
    for (ULONG slot = 1; slot < TzSerialBulkInSlots; ++slot) {
      InterlockedExchange(&c->bulkInCancelAsked[slot], 1);
      IoCancelIrp(c->bulkInIrp[slot]);
    }
    sim::runReady();
    if (port.adapter().pendingTransfers(0x82) != 1) throw std::runtime_error("bus saturation: more than one transfer left");
  }
  constexpr ULONG kRead = 64 * 1024;
  uint64_t sent = 0, read = 0;
  int64_t begin = sim::now();
  while (read < bytes) {
    while (sent - read < 256 * 1024 && sent < bytes) {
      size_t chunk = size_t(std::min<uint64_t>(kRead, bytes - sent));
      port.adapter().sendBulkIn({pattern(sent), chunk});
      sent += chunk;
    }
    ULONG length = ULONG(std::min<uint64_t>(kRead, bytes - read));
    app::Request r = port.file().readAsync(length);
    app::Result result = r.wait();
    if (result.status != STATUS_SUCCESS || result.information != length || !matches(r.data().data(), read, length))
      throw std::runtime_error("bus saturation: the read at byte " + std::to_string(read) + " does not match");
    read += length;
  }
  double seconds = double(sim::now() - begin) / double(sim::kSecond);
  return double(bytes) / seconds;
}

}  // namespace

void busSaturation(const Options& options, Results& results) {
  struct Case {
    sim::usb::BusSpeed speed;
    const char* name;
    uint64_t bytes;
  };
  for (Case c : {Case{sim::usb::BusSpeed::Full, "full speed", 1ull << 20}, Case{sim::usb::BusSpeed::High, "high speed", 16ull << 20}}) {
    uint64_t bytes = options.smoke ? 128 * 1024 : c.bytes;
    double limit = sim::usb::busTiming(c.speed).bytesPerSecond();
    for (bool one : {false, true}) {
      double got = runSaturation(c.speed, one, bytes);
      if (options.smoke) continue;
      Row row{.figure = std::string("bus saturation, ") + c.name + (one ? ", one bulk-in transfer" : ", eight bulk-in transfers"),
              .ours = got / 1e6,
              .reference = limit / 1e6,
              .unit = "MB/s",
              .ratioName = "ours/bus limit",
              .ratio = got / limit};
      if (one) {
        row.result = "report";
      } else {
        row.target = ">= 0.98";
        row.result = got / limit >= 0.98 ? "pass" : "fail";
      }
      results.rows.push_back(row);
    }
  }
}

}  // namespace tzbench
