// Tests of the simulated USB bus: a small function-driver fragment that builds
// URBs and sends them to an adapter's PDO in IRPs of its own, as a USB
// function driver does, and a fixture with one adapter plugged in.
#pragma once

#include "support/sim_test.h"

#include "sim/cdc_acm.h"

#include <atomic>
#include <memory>
#include <thread>

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

// One URB in an IRP of its own, reused for each submission; its completion
// routine records what a driver would see and signals an event. Safe to wait
// on from another thread than the one that submitted (Concurrent mode).
struct Request {
  Request(PDEVICE_OBJECT device, std::atomic<uint64_t>& completionCounter, ULONG length = 0);
  ~Request();

  // Readies the IRP for the URB as built (or another one) without sending it,
  // so that a test can race the submission itself against something else.
  void prepare(PURB other = nullptr);
  NTSTATUS submit() { return IoCallDriver(pdo, irp); }
  // prepare() and submit(); cancelFirst cancels the IRP before the bus sees it.
  void send(bool cancelFirst = false, PURB other = nullptr);
  void read(USBD_PIPE_HANDLE pipe);
  // Waits (running the kernel in Deterministic mode) for the completion.
  bool wait(int64_t timeout100ns = 10 * sim::kSecond);
  bool completed() const { return completions.load(std::memory_order_acquire) > 0; }
  std::vector<UCHAR> data() const;  // the buffer, as long as the URB says

  static NTSTATUS onComplete(PDEVICE_OBJECT, PIRP irp, PVOID context);

  PDEVICE_OBJECT pdo;
  std::atomic<uint64_t>& counter;
  PIRP irp = nullptr;
  URB urb{};
  std::vector<UCHAR> buffer;
  KEVENT done;
  std::atomic<int> completions{0};
  NTSTATUS status = STATUS_PENDING;
  KIRQL irql = PASSIVE_LEVEL;
  std::thread::id thread{};
  int64_t completed100ns = 0;
  uint64_t sequence = 0;  // place among all completions the counter saw, from 1
};

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

// A kernel booted as asked (either mode) with one adapter plugged in and its
// CommAndData configuration selected; URBs go in usbfrag::Requests.
class UsbBootedTest : public SimTest {
 protected:
  void TearDown() override;
  void start(sim::usb::AdapterOptions options, sim::BootOptions boot = {.seed = 7});
  // Sends the URB and waits for it; returns its status.
  NTSTATUS call(URB& urb);

  PDEVICE_OBJECT pdo = nullptr;
  std::shared_ptr<sim::usb::CdcAcmAdapter> adapter;
  std::vector<uint8_t> configuration;
  PURB select = nullptr;
  USBD_PIPE_HANDLE bulkIn = nullptr, bulkOut = nullptr, interruptIn = nullptr;
  std::atomic<uint64_t> completionCounter{0};
};
