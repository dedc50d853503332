// Tests: a loaded driver with simulated CDC-ACM adapters plugged in, added and
// (optionally) started, stopped and removed by the simulated Plug and Play
// manager through the driver's own dispatch.
#pragma once

#include "driver/core/globals.h"
#include "driver/pnp/pnp.h"
#include "sim/cdc_acm.h"
#include "support/sim_test.h"

// n bytes that differ from one position to the next, so that a lost,
// repeated or reordered byte shows; seed tells streams apart.
std::vector<uint8_t> bytePattern(size_t n, uint8_t seed);
// Whether the driver wrote exactly this debug line.
bool debugLogged(const std::string& line);

struct Adapter {
  PDEVICE_OBJECT pdo = nullptr;
  std::shared_ptr<sim::usb::CdcAcmAdapter> model;
  DeviceContext* context = nullptr;
  bool started = false;
};

class AdapterTest : public DriverTest {
 protected:
  void TearDown() override;

  // Plugs an adapter and runs AddDevice; the port name (when given) is
  // written to its device parameters key first.
  Adapter& plug(sim::usb::AdapterOptions adapter = {}, sim::pnp::PhysicalDeviceOptions pdo = {},
                std::optional<std::u16string> portName = u"COM7");
  // IRP_MN_START_DEVICE (then the capabilities query) from the Plug and Play
  // manager; a failed start has torn itself down.
  NTSTATUS start(Adapter& adapter);
  // Query-stop and stop: the tear-down that leaves the adapter ready to start again.
  void stop(Adapter& adapter);
  // IRP_MN_REMOVE_DEVICE as the manager sends it at the end (after a failed
  // start, or once a granted query-remove): the stack and context are gone.
  void remove(Adapter& adapter);

  // A "Modem"-class adapter with all three pipes: the one that gets chip commands.
  static sim::pnp::PhysicalDeviceOptions modemClass();

  std::vector<std::unique_ptr<Adapter>> adapters;
};
