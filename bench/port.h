// Benchmarks: a simulated kernel with the driver loaded and one CDC-ACM
// adapter started and open as a port, taken down again (leak-checked) at the end.
#pragma once

#include "sim/app.h"
#include "sim/cdc_acm.h"

struct DeviceContext;

namespace tzbench {

class Port {
 public:
  // Boots the kernel in the given mode, loads the driver, plugs and starts
  // the adapter and opens it. Throws std::runtime_error on failure.
  Port(sim::Mode mode, sim::usb::AdapterOptions adapter);
  ~Port();  // closes, removes, unloads and checks that nothing leaked
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  app::File& file() { return file_; }
  sim::usb::CdcAcmAdapter& adapter() { return *adapter_; }
  DeviceContext* context();

  // Reads exactly length bytes into out (one request); throws unless it
  // completes with all of them.
  void read(uint8_t* out, ULONG length);
  void write(const uint8_t* data, ULONG length);

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::shared_ptr<sim::usb::CdcAcmAdapter> adapter_;
  app::File file_;
};

}  // namespace tzbench
