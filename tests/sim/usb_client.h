// Tests of the simulated USB bus: a small function-driver fragment that builds
// URBs and sends them to an adapter's PDO in IRPs of its own, as a USB
// function driver does, and a fixture with one adapter plugged in.
#pragma once

#include "support/sim_test.h"

#include "sim/cdc_acm.h"

#include <memory>

namespace usbfrag {

// One IRP in flight to the PDO, kept by its completion routine.
struct Submission {
  PIRP irp = nullptr;
  NTSTATUS callStatus = STATUS_PENDING;  // what IoCallDriver returned
  bool completed = false;
  NTSTATUS status = STATUS_PENDING;
  KIRQL completionIrql = PASSIVE_LEVEL;
  ~Submission() {
    if (irp && completed) IoFreeIrp(irp);
  }
};

// Sends an internal device control (the URB in Argument1) to the PDO.
std::unique_ptr<Submission> send(PDEVICE_OBJECT pdo, PURB urb, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB);

// URB builders, zeroed first as a driver does.
void buildGetDescriptor(URB& urb, UCHAR type, void* buffer, ULONG length);
void buildClassRequest(URB& urb, UCHAR request, USHORT value, USHORT index, void* buffer, ULONG length, bool in);
void buildTransfer(URB& urb, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, bool in);
void buildPipeRequest(URB& urb, USHORT function, USBD_PIPE_HANDLE pipe);

}  // namespace usbfrag

// A fresh kernel with one CDC-ACM adapter plugged in.
class UsbTest : public SimTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Replaces the adapter with one built from these options.
  void plug(sim::usb::AdapterOptions options);
  // Sends the URB and runs the kernel until it completes; returns its status.
  NTSTATUS call(URB& urb);
  // Reads the configuration descriptor, selects every interface the list
  // holds (alternate settings by number) and keeps the URB in `select`.
  NTSTATUS configure(std::vector<std::pair<UCHAR, UCHAR>> interfaces = {});
  // The pipe with this endpoint address in the selected configuration.
  USBD_PIPE_INFORMATION pipe(UCHAR address);

  PDEVICE_OBJECT pdo = nullptr;
  std::shared_ptr<sim::usb::CdcAcmAdapter> adapter;
  std::vector<UCHAR> configuration;  // as read from the adapter
  PURB select = nullptr;             // the last select-configuration URB (ExFreePool in TearDown)
};
