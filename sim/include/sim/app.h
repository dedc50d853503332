// Simulated platform: the application side of the I/O manager. Tests, tools
// and acceptance tests open a device by name and send it requests exactly as a
// Win32 program's calls arrive at a driver. Keep this interface stable.
//
//   app::File port;
//   NTSTATUS s = app::File::open(u"\\??\\COM5", port);
//   app::Result r = port.write("hello", 5);             // waits for completion
//   app::Request read = port.readAsync(16);             // returns at once
//   read.cancel(); read.wait();                         // final status, bytes
//   port.close();                                       // cleanup, then close
//
// Synchronous calls and Request::wait() run the kernel (sim::runUntil) until
// the request completes; in Deterministic mode a request that can never
// complete is a verifier stop, not a hang.
#pragma once

#include "sim/sim.h"

#include <memory>
#include <span>

namespace app {

// The final status and information of a request.
struct Result {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
};

struct RequestState;

// An asynchronous request in flight. Movable; destroying an unfinished request
// waits for it to complete (the I/O manager would, at process exit).
class Request {
 public:
  Request() = default;
  explicit Request(std::shared_ptr<RequestState> state) : state_(std::move(state)) {}
  Request(Request&&) = default;
  Request& operator=(Request&&) = default;
  ~Request();

  bool done() const;
  // Waits until the request completes (or the relative timeout passes, then
  // returns the still-pending result). Returns the final result.
  Result wait(std::optional<int64_t> timeout100ns = std::nullopt);
  Result result() const;
  // IoCancelIrp on the request. Returns whether a cancel routine was called.
  bool cancel();
  // The bytes a read or device control returned (valid once done()).
  const std::vector<uint8_t>& data() const;
  // Where its completion came among the application requests completed since
  // boot (1 for the first); 0 while it is in flight.
  uint64_t completionOrder() const;
  PIRP irp() const;  // the IRP while in flight, null once completed

 private:
  std::shared_ptr<RequestState> state_;
};

// One open handle (one FILE_OBJECT).
class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  ~File();  // closes the handle if still open

  // Opens \??\name, \Device\name or any object-manager name of a device. On
  // success the handle is open; the status is the create request's. The
  // options travel in the create request (FILE_DIRECTORY_FILE, ...).
  static NTSTATUS open(const std::u16string& name, File& file, ULONG createOptions = 0);

  bool isOpen() const { return fileObject_ != nullptr; }
  PFILE_OBJECT fileObject() const { return fileObject_; }
  PDEVICE_OBJECT device() const { return device_; }

  Request readAsync(ULONG length);
  Request writeAsync(std::span<const uint8_t> data);
  Request ioctlAsync(ULONG code, std::span<const uint8_t> input, ULONG outputLength);
  Request flushAsync();
  // Sends any major function with the given stack parameters (for requests
  // the other calls do not cover, e.g. IRP_MJ_QUERY_INFORMATION).
  Request sendAsync(UCHAR majorFunction, UCHAR minorFunction = 0);

  Result read(void* buffer, ULONG length);
  Result write(const void* data, ULONG length);
  Result ioctl(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength);
  Result flush();

  Result cleanup();  // IRP_MJ_CLEANUP (the last handle closing)
  // Closes the handle: cleanup if not yet sent, then IRP_MJ_CLOSE once no
  // request of the file object is left, as the platform's last dereference
  // does. Returns the close's result, or STATUS_PENDING when requests the
  // driver left after cleanup still hold the file object: IRP_MJ_CLOSE then
  // goes down from a kernel thread when the last of them completes.
  Result close();

 private:
  Request submit(UCHAR majorFunction, UCHAR minorFunction, ULONG code, std::span<const uint8_t> input,
                 ULONG outputLength);

  PFILE_OBJECT fileObject_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;  // top of the opened device's stack
  bool cleanedUp_ = false;
};

// The calling application thread exits: IoCancelIrp on each of its requests
// still in flight, then a wait of up to five minutes for them, as the
// platform's thread rundown does. Returns how many never completed.
size_t exitThread();

// Sends a request straight to a device object (Plug and Play manager, power
// manager and tests of dispatch routines), without a file object.
Request sendToDevice(PDEVICE_OBJECT device, UCHAR majorFunction, UCHAR minorFunction,
                     const std::function<void(PIO_STACK_LOCATION)>& setup = {});

// Sends a device-control request straight to a device object, without a
// handle (as a kernel-mode caller would), with the buffers its method needs.
Request ioctlToDevice(PDEVICE_OBJECT device, ULONG code, std::span<const uint8_t> input, ULONG outputLength);

}  // namespace app
