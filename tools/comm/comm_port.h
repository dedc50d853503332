// The comm API's inside (tool side): the open port behind a HANDLE, the
// requests it has in flight, and the helpers every call shares. Not for
// callers of the API; they see only comm.h.
#pragma once

#include "tools/comm/comm.h"

#include <ntddser.h>

#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace comm {

constexpr DWORD ERROR_NOT_FOUND = 1168;  // winerror.h: CancelIoEx found nothing to cancel

class Port;

// What a request is, and where its outcome goes when the caller collects it.
struct Destination {
  enum class Kind { Read, Write, WaitEvent, Other };
  Kind kind = Kind::Other;
  void* buffer = nullptr;      // Read: the caller's buffer
  DWORD length = 0;            // Read: its length
  DWORD* eventMask = nullptr;  // WaitEvent: where the events go
};

// One request sent on a port.
struct Inflight {
  Destination to;
  const Port* owner = nullptr;
  bool delivered = false;  // the outcome has been copied to its destination
  app::Request request;
};

struct OVERLAPPED::Operation {
  std::shared_ptr<Inflight> inflight;
};

// An open handle. Calls on it may come from several threads at once: each
// request is sent under the shared side of sendLock_, closing takes the
// exclusive side, so no request is sent on a file that is going away.
class Port {
 public:
  Port(app::File file, bool overlapped) : file_(std::move(file)), overlapped_(overlapped) {}
  ~Port();

  bool overlapped() const { return overlapped_; }
  app::File* file() { return &file_; }

  // Sends the request send() builds and registers it for CancelIoEx and
  // close. Returns null (nothing sent) once the handle is closing. Any thread.
  std::shared_ptr<Inflight> submit(const Destination& to, const std::function<app::Request(app::File&)>& send);
  // Cancels what the handle has in flight: the request of one record, or all
  // of them (only null). Returns whether there was any.
  bool cancel(const Inflight* only);
  // Cleanup (the driver cancels the handle's requests), then cancels and
  // waits for anything the driver left, then close. Safe to call twice.
  void close();

 private:
  std::vector<std::shared_ptr<Inflight>> live();

  app::File file_;
  const bool overlapped_;
  std::shared_mutex sendLock_;
  bool closing_ = false;  // guarded by sendLock_
  std::mutex inflightLock_;
  std::vector<std::weak_ptr<Inflight>> inflight_;  // guarded by inflightLock_
};

// The port behind a handle, or null with ERROR_INVALID_HANDLE set.
std::shared_ptr<Port> PortOf(HANDLE handle);

// FALSE with the last error set, for one-line failure returns.
inline BOOL Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// A device control sent and waited for on the calling thread; output (when
// given) receives what the driver returned. A closing handle ends with
// STATUS_INVALID_HANDLE, nothing sent.
app::Result Control(Port& port, ULONG code, const void* input, ULONG inputLength, void* output = nullptr,
                    ULONG outputLength = 0);
// TRUE for a successful status, else FALSE with the status's Win32 error.
BOOL Succeeded(NTSTATUS status);
// Control on the handle's port, as one BOOL call: the API's simple calls.
BOOL ControlCall(HANDLE handle, ULONG code, const void* input = nullptr, ULONG inputLength = 0,
                 void* output = nullptr, ULONG outputLength = 0);

// Sends a read, write or wait on the handle and answers as the platform's
// call does: blocking without a record (or on a handle opened without
// FILE_FLAG_OVERLAPPED), else TRUE when it completed at once and FALSE with
// ERROR_IO_PENDING when it is in flight.
BOOL StartOperation(HANDLE handle, OVERLAPPED* overlapped, DWORD* transferred, const Destination& to,
                    const std::function<app::Request(app::File&)>& send);

}  // namespace comm
