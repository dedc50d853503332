// Tests: a loaded driver with simulated CDC-ACM adapters plugged in, added and
// (optionally) started through the start path. Until the Plug and Play
// dispatch and open exist, start, tear-down and starting reception are
// called directly, as they will.
#pragma once

#include "driver/core/globals.h"
#include "driver/pnp/pnp.h"
#include "sim/cdc_acm.h"
#include "support/sim_test.h"

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
  // Runs the start path; on failure the tear-down runs as the dispatch will.
  NTSTATUS start(Adapter& adapter);
  // The tear-down of stop and removal: port name, configuration, shadow buffer.
  void tearDown(Adapter& adapter);
  // Tear-down, then what removal adds: detach and delete the device objects.
  void remove(Adapter& adapter);
  // Reception as an open starts it (bulk-in slots 0 to 7 in order), and as
  // close stops it: transfers cancelled until every slot is idle.
  void startReception(Adapter& adapter);
  void stopReception(Adapter& adapter);

  // A "Modem"-class adapter with all three pipes: the one that gets chip commands.
  static sim::pnp::PhysicalDeviceOptions modemClass();

  std::vector<std::unique_ptr<Adapter>> adapters;
};
