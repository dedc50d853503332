// Benchmarks: round-trip latency on the Concurrent kernel. A 1-byte write
// and then a 1-byte read of its echo through the loopback adapter, against
// the cheapest round trip a device can give: an empty read that a device
// pends and completes from the kernel's scheduler, in the same kernel.
#include "bench.h"
#include "port.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace tzbench {

namespace {

NTSTATUS nullComplete(PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// The empty device: create and close complete at once; a read is pended and
// completed, empty, from the scheduler, as a device answers.
NTSTATUS nullDispatch(PDEVICE_OBJECT, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return nullComplete(irp);
  IoMarkIrpPending(irp);
  sim::schedule(0, [irp] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    nullComplete(irp);
    KeLowerIrql(old);
  });
  return STATUS_PENDING;
}

void nullUnload(PDRIVER_OBJECT) {}

NTSTATUS nullEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ}) driver->MajorFunction[major] = nullDispatch;
  driver->DriverUnload = nullUnload;
  UNICODE_STRING name;
  static const std::u16string kName = u"\\Device\\TzBenchNull";
  RtlInitUnicodeString(&name, sim::wide(kName));
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (NT_SUCCESS(status)) device->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

double micros(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Spread {
  double median, p99;
};

Spread spread(std::vector<double>& samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[std::min(samples.size() - 1, samples.size() * 99 / 100)]};
}

std::vector<double> emptyRoundTrips(int count) {
  PDRIVER_OBJECT driver = sim::loadDriver(u"tzbenchnull", nullEntry);
  if (!driver) throw std::runtime_error("the empty device did not load");
  std::vector<double> samples;
  {
    app::File file;
    NTSTATUS status = app::File::open(u"\\Device\\TzBenchNull", file);
    if (!NT_SUCCESS(status)) throw std::runtime_error("the empty device did not open: " + std::to_string(status));
    for (int i = 0; i < count; ++i) {
      auto begin = std::chrono::steady_clock::now();
      app::Result r = file.readAsync(1).wait();
      samples.push_back(micros(std::chrono::steady_clock::now() - begin));
      if (r.status != STATUS_SUCCESS) throw std::runtime_error("an empty read failed");
    }
    file.close();
  }
  PDEVICE_OBJECT device = sim::findDevice(u"\\Device\\TzBenchNull");
  // The driver object stays until the next boot: unloading checks that the
  // whole kernel is quiescent, and the port is still open.
  if (device) IoDeleteDevice(device);
  return samples;
}

std::vector<double> echoRoundTrips(Port& port, int count) {
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    uint8_t out = uint8_t(i * 37 + 1), in = 0;
    auto begin = std::chrono::steady_clock::now();
    port.write(&out, 1);
    port.read(&in, 1);
    samples.push_back(micros(std::chrono::steady_clock::now() - begin));
    if (in != out) throw std::runtime_error("latency: the echo of round trip " + std::to_string(i) + " differs");
  }
  return samples;
}

}  // namespace

void latency(const Options& options, Results& results) {
  int count = options.smoke ? 200 : 10'000;
  Port port(sim::Mode::Concurrent, {.loopback = true});
  // Interleaved halves, so that a noisy moment weighs on both alike.
  std::vector<double> ours, empty;
  for (int half = 0; half < 2; ++half) {
    auto e = emptyRoundTrips(count / 2);
    auto o = echoRoundTrips(port, count / 2);
    empty.insert(empty.end(), e.begin(), e.end());
    ours.insert(ours.end(), o.begin(), o.end());
  }
  if (options.smoke) return;
  Spread o = spread(ours), e = spread(empty);
  results.rows.push_back({.figure = "round trip, 1-byte write + read of its echo, median",
                          .ours = o.median,
                          .reference = e.median,
                          .unit = "us",
                          .ratioName = "ours/empty IRP",
                          .ratio = o.median / e.median,
                          .target = "<= 3.0",
                          .result = o.median / e.median <= 3.0 ? "pass" : "fail"});
  results.rows.push_back({.figure = "round trip, 1-byte write + read of its echo, p99",
                          .ours = o.p99,
                          .reference = e.p99,
                          .unit = "us",
                          .ratioName = "ours/empty IRP",
                          .ratio = o.p99 / e.p99,
                          .result = "report"});
}

}  // namespace tzbench
