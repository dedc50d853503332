// Tests of the simulated kernel: a tiny driver ("frag") that tests assemble
// into device stacks. Each device gets its own dispatch behaviour; a device
// without one passes requests down, or completes them at the bottom.
#pragma once

#include "support/sim_test.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace frag {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// What a fragment device does with a request; lives in the test fixture and is
// reached through the device extension.
struct Layer {
  Dispatch dispatch;
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  std::vector<UCHAR> majorsSeen;
};

// Completes the request with the given status and information.
inline NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Finds the stack location's layer from a device object.
inline Layer& layerOf(PDEVICE_OBJECT device) { return **static_cast<Layer**>(device->DeviceExtension); }

// Passes the request to the next device without a completion routine.
inline NTSTATUS passDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(layerOf(device).lower, irp);
}

// A dispatch routine for one major function; other requests pass down, or
// succeed at the bottom of the stack.
inline Dispatch onlyFor(UCHAR major, Dispatch handler) {
  return [major, handler = std::move(handler)](PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == major) return handler(device, irp);
    if (layerOf(device).lower) return passDown(device, irp);
    return complete(irp, STATUS_SUCCESS);
  };
}

// Runs f and returns the message of the verifier stop it caused, or a marker
// that matches no expected message when it did not stop.
template <class F>
std::string stopMessage(F&& f) {
  try {
    f();
  } catch (const sim::VerifierStop& stop) {
    return stop.what();
  }
  return "(no verifier stop)";
}

}  // namespace frag

// Expects the statement to stop the kernel with a message containing text.
#define EXPECT_VERIFIER_STOP(statement, text)                      \
  do {                                                             \
    std::string message_ = frag::stopMessage([&] { statement; });  \
    EXPECT_NE(message_.find(text), std::string::npos) << message_; \
  } while (0)

// A fresh kernel with the fragment driver loaded. Devices added with
// addDevice() stack on top of each other; TearDown detaches and deletes them
// and unloads the driver, which checks that nothing is left behind.
class FragmentTest : public SimTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates a buffered-I/O device (named when name is not empty), attaches it
  // on top of the previous one and clears DO_DEVICE_INITIALIZING.
  PDEVICE_OBJECT addDevice(frag::Dispatch dispatch = {}, const std::u16string& name = u"");
  // Detaches and deletes every device, top first.
  void removeDevices();
  // After a deliberate verifier stop: a fresh kernel, the driver loaded again.
  void reboot(const sim::BootOptions& options = {});
  // A fresh kernel whose freed IRPs and pool stay in quarantine, for checks
  // that must see a freed address as freed.
  void rebootInQuarantine() { reboot({.addresses = sim::Addresses::Quarantine}); }

  PDRIVER_OBJECT driver = nullptr;
  std::vector<std::unique_ptr<frag::Layer>> layers;  // bottom first
};
