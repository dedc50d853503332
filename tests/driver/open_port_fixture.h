// Tests: a started adapter whose port is open with reception running, for the
// receive path, reads, wait-on-mask, shadow line and immediate-character
// tests. Every request, the Plug and Play start, the open and the close
// included, travels through the driver's own dispatch.
#pragma once

#include "adapter_fixture.h"
#include "driver/io/receive_buffer.h"
#include "driver/serial/line_state.h"

#include <vector>

class OpenPortTest : public AdapterTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The adapter SetUp plugs.
  virtual sim::usb::AdapterOptions adapterOptions() { return {}; }
  // Its physical device object (AdapterTest::modemClass() for a status pipe).
  virtual sim::pnp::PhysicalDeviceOptions pdoOptions() { return {}; }
  // Plugs and starts an adapter and opens a handle through the driver's own
  // create.
  void openPort(sim::usb::AdapterOptions options = {});
  // For a SetUp override: boots the Concurrent kernel instead (two worker
  // threads, real time, the given clock tick), loads the driver and opens the
  // port as SetUp does.
  void openOnRealThreads(ULONG timeIncrement100ns = 156250, sim::Addresses addresses = sim::defaultAddresses());

  // Runs fn under controlLock at DISPATCH_LEVEL; queued DPCs run afterwards.
  void locked(const std::function<void()>& fn);

  // A device control with the bytes of input and no output.
  template <typename T>
  app::Result control(ULONG code, const T& input) {
    return port.ioctl(code, &input, sizeof input, nullptr, 0);
  }
  app::Result control(ULONG code) { return port.ioctl(code, nullptr, 0, nullptr, 0); }
  app::Request setWaitMask(ULONG mask);
  app::Request waitOnMask();
  app::Request immediateChar(UCHAR character);
  // IOCTL_SERIAL_SET_HANDFLOW with the port's limits and these two fields.
  app::Result setHandFlow(ULONG controlHandShake, ULONG flowReplace);
  app::Result setTimeouts(ULONG readInterval, ULONG readMultiplier, ULONG readConstant);
  // The ring's bytes in arrival order, without taking them.
  std::vector<uint8_t> ringContent();

  Adapter* adapter = nullptr;
  DeviceContext* c = nullptr;
  app::File port;
};

// The result word a completed WAIT_ON_MASK returned.
ULONG waitResult(const app::Request& request);
