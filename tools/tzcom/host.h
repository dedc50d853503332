// The host program's kernel: boots the simulated kernel in real time, loads
// the driver and plugs the far-side adapters, started by the Plug and Play
// manager as a Windows machine would at boot; and takes it all down again,
// checking that nothing leaked.
#pragma once

#include "sim/cdc_acm.h"

#include <memory>
#include <string>
#include <vector>

namespace tzcom {

class UsbTrace;

enum class AdapterKind {
  Loopback,   // one adapter, COM5: TX -> RX, DTR -> DSR and DCD
  NullModem,  // two adapters, COM5 and COM6, cross-wired: TX -> RX, DTR -> DSR and DCD, both ways
};

struct HostOptions {
  AdapterKind adapter = AdapterKind::Loopback;
  std::string pcapPath;  // USB trace of every URB from enumeration on; empty: none
  int verbosity = 1;     // 0 quiet, 1 normal, 2 verbose
};

struct HostPort {
  std::string name;  // "COM5"
  PDEVICE_OBJECT pdo = nullptr;
  std::shared_ptr<sim::usb::CdcAcmAdapter> adapter;
};

class Host {
 public:
  Host();
  ~Host();  // stops a host still running
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Boots the kernel (Concurrent mode, real clock), loads the driver and
  // plugs and starts the adapters. On failure everything started is taken
  // down again and error says what failed.
  bool start(const HostOptions& options, std::string* error);
  const std::vector<HostPort>& ports() const { return ports_; }

  // Removes the adapters (every handle must be closed first), unloads the
  // driver and shuts the kernel down. report gets the ports' statistics and
  // the leak check's result; false when something was left behind.
  bool stop(std::string* report);

 private:
  bool plug(const std::string& name, const sim::usb::AdapterOptions& options, std::string* error);

  HostOptions options_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<HostPort> ports_;
  std::unique_ptr<UsbTrace> trace_;
  bool running_ = false;
};

}  // namespace tzcom
