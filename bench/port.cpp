// Benchmarks: the open port harness.
#include "port.h"

#include "driver/core/device_context.h"
#include "driver/core/dispatch.h"

#include <cstring>
#include <stdexcept>

namespace tzbench {

namespace {

void check(NTSTATUS status, const char* what) {
  if (!NT_SUCCESS(status)) {
    char text[120];
    std::snprintf(text, sizeof text, "%s failed: 0x%08X", what, unsigned(status));
    throw std::runtime_error(text);
  }
}

}  // namespace

Port::Port(sim::Mode mode, sim::usb::AdapterOptions adapter) {
  sim::boot({.mode = mode, .seed = 1, .workerThreads = 2});
  driver_ = sim::loadDriver(u"tzserial", DriverEntry);
  if (!driver_) throw std::runtime_error("DriverEntry failed");
  adapter.record = false;
  auto plugged = sim::usb::plugAdapter(std::move(adapter));
  pdo_ = plugged.pdo;
  adapter_ = plugged.adapter;
  sim::registry::setString(sim::pnp::deviceParametersKey(pdo_), u"PortName", u"COM7");
  check(sim::pnp::addDevice(driver_, pdo_), "AddDevice");
  check(sim::pnp::startDevice(pdo_), "IRP_MN_START_DEVICE");
  check(app::File::open(u"\\??\\COM7", file_), "open COM7");
}

Port::~Port() {
  try {
    if (file_.isOpen()) file_.close();
    if (pdo_ && pdo_->AttachedDevice) sim::pnp::removeDevice(pdo_);
    if (pdo_) sim::pnp::deletePhysicalDevice(pdo_);
    if (driver_) sim::unloadDriver(driver_);
  } catch (const sim::VerifierStop& stop) {
    std::fprintf(stderr, "tzbench: the port's take-down failed: %s\n", stop.what());
  }
  adapter_.reset();
  sim::shutdown();
}

DeviceContext* Port::context() { return TzSerialGetDeviceContext(pdo_->AttachedDevice); }

void Port::read(uint8_t* out, ULONG length) {
  app::Request r = file_.readAsync(length);
  app::Result result = r.wait();
  if (result.status != STATUS_SUCCESS || result.information != length)
    throw std::runtime_error("a read ended with " + std::to_string(result.information) + " of " +
                             std::to_string(length) + " bytes");
  std::memcpy(out, r.data().data(), length);
}

void Port::write(const uint8_t* data, ULONG length) {
  app::Result result = file_.write(data, length);
  if (result.status != STATUS_SUCCESS || result.information != length)
    throw std::runtime_error("a write ended with " + std::to_string(result.information) + " of " +
                             std::to_string(length) + " bytes");
}

}  // namespace tzbench
