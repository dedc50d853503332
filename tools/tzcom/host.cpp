#include "tools/tzcom/host.h"

#include "driver/core/dispatch.h"
#include "driver/core/globals.h"
#include "driver/core/device_context.h"
#include "driver/pnp/usb_config.h"
#include "tools/tzcom/usb_trace.h"

#include <cstdio>

namespace tzcom {

namespace {

sim::usb::AdapterOptions familyAdapter() {
  sim::usb::AdapterOptions adapter;
  adapter.vendorId = AdapterVendorId;
  adapter.productId = AdapterProductId;
  adapter.record = false;  // a server runs for hours: keep nothing per URB
  return adapter;
}

std::string hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
  return text;
}

}  // namespace

Host::Host() = default;

Host::~Host() {
  if (running_) stop(nullptr);
}

bool Host::start(const HostOptions& options, std::string* error) {
  options_ = options;
  sim::boot({.mode = sim::Mode::Concurrent});
  sim::setAbortOnStop(true);
  running_ = true;
  if (!options.pcapPath.empty()) {
    trace_ = UsbTrace::open(options.pcapPath, error);
    if (!trace_) {
      stop(nullptr);
      return false;
    }
  }
  NTSTATUS status = 0;
  driver_ = sim::loadDriver(u"tzserial", DriverEntry, &status);
  if (!driver_) {
    if (error) *error = "DriverEntry failed: " + hex(status);
    stop(nullptr);
    return false;
  }
  bool plugged = true;
  if (options.adapter == AdapterKind::Loopback) {
    sim::usb::AdapterOptions adapter = familyAdapter();
    adapter.loopback = true;
    adapter.modemLoopback = true;
    plugged = plug("COM5", adapter, error);
  } else {
    plugged = plug("COM5", familyAdapter(), error) && plug("COM6", familyAdapter(), error);
    if (plugged) sim::usb::crossWire(ports_[0].adapter, ports_[1].adapter);
  }
  if (!plugged) {
    stop(nullptr);
    return false;
  }
  return true;
}

bool Host::plug(const std::string& name, const sim::usb::AdapterOptions& options, std::string* error) {
  // Installed in the modem setup class: the driver then carries the line
  // settings and the modem lines to the adapter and polls its status pipe.
  sim::pnp::PhysicalDeviceOptions device;
  device.className = u"Modem";
  sim::usb::PluggedAdapter plugged = sim::usb::plugAdapter(options, device);
  if (trace_) trace_->attach(*plugged.adapter, uint8_t(ports_.size() + 1));
  sim::registry::setString(sim::pnp::deviceParametersKey(plugged.pdo), u"PortName", sim::widen(name));
  ports_.push_back({name, plugged.pdo, plugged.adapter});
  NTSTATUS status = sim::pnp::addDevice(driver_, plugged.pdo);
  if (NT_SUCCESS(status)) status = sim::pnp::startDevice(plugged.pdo);
  if (!NT_SUCCESS(status)) {
    if (error) *error = name + ": the adapter did not start: " + hex(status);
    return false;
  }
  return true;
}

bool Host::stop(std::string* report) {
  if (!running_) return true;
  running_ = false;
  std::string text;
  bool clean = true;
  // A leak found by the checks below is reported, not fatal.
  sim::setAbortOnStop(false);
  try {
    for (HostPort& port : ports_) {
      if (PDEVICE_OBJECT fdo = port.pdo->AttachedDevice) {
        const SERIALPERF_STATS& s = TzSerialGetDeviceContext(fdo)->perfStats;
        char line[200];
        std::snprintf(line, sizeof line,
                      "%s: last session transmitted %u, received %u, overruns %u; the adapter took %llu bytes in all\n",
                      port.name.c_str(), s.TransmittedCount, s.ReceivedCount,
                      s.SerialOverrunErrorCount + s.BufferOverrunErrorCount,
                      (unsigned long long)port.adapter->bulkOutBytes());
        text += line;
        NTSTATUS status = sim::pnp::removeDevice(port.pdo);
        if (!NT_SUCCESS(status)) {
          text += port.name + ": removal refused: " + hex(status) + "\n";
          clean = false;
        }
      }
      sim::pnp::deletePhysicalDevice(port.pdo);
    }
    if (driver_) sim::unloadDriver(driver_);
    sim::PoolUse pool = sim::poolInUse();
    char line[160];
    std::snprintf(line, sizeof line, "driver unloaded: %zu bytes of pool in %zu blocks, no IRP, timer, DPC or handle left\n",
                  pool.bytes, pool.blocks);
    text += line;
  } catch (const sim::VerifierStop& stop) {
    text += std::string("leak check failed: ") + stop.what() + "\n";
    clean = false;
  }
  driver_ = nullptr;
  ports_.clear();
  trace_.reset();
  sim::shutdown();
  if (report) *report = text;
  return clean;
}

}  // namespace tzcom
