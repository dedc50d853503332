// Tests: the adapter fixture.
#include "adapter_fixture.h"

#include <algorithm>

std::vector<uint8_t> bytePattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t(i * 13 + seed + (i >> 10));
  return bytes;
}

bool debugLogged(const std::string& line) {
  auto log = sim::debugLog();
  return std::find(log.begin(), log.end(), line) != log.end();
}

sim::pnp::PhysicalDeviceOptions AdapterTest::modemClass() {
  sim::pnp::PhysicalDeviceOptions options;
  options.className = u"Modem";
  return options;
}

Adapter& AdapterTest::plug(sim::usb::AdapterOptions adapterOptions, sim::pnp::PhysicalDeviceOptions pdoOptions,
                           std::optional<std::u16string> portName) {
  auto plugged = sim::usb::plugAdapter(std::move(adapterOptions), std::move(pdoOptions));
  auto adapter = std::make_unique<Adapter>();
  adapter->pdo = plugged.pdo;
  adapter->model = plugged.adapter;
  if (portName) sim::registry::setString(sim::pnp::deviceParametersKey(adapter->pdo), u"PortName", *portName);
  EXPECT_EQ(sim::pnp::addDevice(driver, adapter->pdo), STATUS_SUCCESS);
  adapter->context = TzSerialGetDeviceContext(adapter->pdo->AttachedDevice);
  adapters.push_back(std::move(adapter));
  return *adapters.back();
}

NTSTATUS AdapterTest::start(Adapter& adapter) {
  NTSTATUS status = sim::pnp::startDevice(adapter.pdo);
  adapter.started = NT_SUCCESS(status);
  return status;
}

void AdapterTest::stop(Adapter& adapter) {
  EXPECT_EQ(sim::pnp::stopDevice(adapter.pdo), STATUS_SUCCESS);
  adapter.started = false;
}

void AdapterTest::remove(Adapter& adapter) {
  if (!adapter.context) return;
  if (sim::pnp::isPlugged(adapter.pdo) && adapter.pdo->AttachedDevice)
    EXPECT_EQ(sim::pnp::send(adapter.pdo, IRP_MN_REMOVE_DEVICE).wait().status, STATUS_SUCCESS);
  adapter.context = nullptr;
  adapter.started = false;
}

void AdapterTest::TearDown() {
  if (!HasFailure()) {
    for (auto& adapter : adapters) {
      remove(*adapter);
      if (sim::pnp::isPlugged(adapter->pdo)) sim::pnp::deletePhysicalDevice(adapter->pdo);
    }
  }
  adapters.clear();
  DriverTest::TearDown();
}
