// Tests: a started adapter with its port open, for the status queries and the
// vendor codes. Requests travel as an application's do: a buffered device
// control to the top of the port's stack, through the driver's dispatch table.
#pragma once

#include "adapter_fixture.h"
#include "driver/serial/queries.h"

#include <vector>

class PortQueryTest : public AdapterTest {
 protected:
  void TearDown() override;

  // Plugs and starts an adapter, then opens \??\COM7.
  void openPort(sim::usb::AdapterOptions options = {});
  // A device control with no input and an output buffer of outputLength bytes;
  // the bytes returned land in *output when given.
  app::Result query(ULONG code, ULONG outputLength, std::vector<uint8_t>* output = nullptr);

  Adapter* adapter = nullptr;
  DeviceContext* context = nullptr;
  app::File port;
};

// The same on the Concurrent kernel: completions, DPCs and cancels on real
// threads, so ThreadSanitizer sees the races.
class PortQueryStressTest : public PortQueryTest {
 protected:
  void SetUp() override;
};
