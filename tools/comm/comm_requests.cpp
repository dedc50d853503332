// The comm API's requests (tool side): sending a request on a handle,
// overlapped records and collecting their outcome, and cancellation.
#include "tools/comm/comm_port.h"

#include <algorithm>
#include <cstring>

namespace comm {

namespace {

// Copies a completed request's outcome to where the caller asked for it.
// Runs once, on the thread that collects the record.
void Deliver(Inflight& inflight) {
  if (inflight.delivered) return;
  inflight.delivered = true;
  app::Result result = inflight.request.result();
  const std::vector<uint8_t>& data = inflight.request.data();
  if (inflight.to.kind == Destination::Kind::Read && inflight.to.buffer) {
    size_t bytes = std::min<size_t>({result.information, inflight.to.length, data.size()});
    if (bytes) std::memcpy(inflight.to.buffer, data.data(), bytes);
  }
  if (inflight.to.kind == Destination::Kind::WaitEvent && inflight.to.eventMask) {
    DWORD events = 0;
    if (NT_SUCCESS(result.status) && data.size() >= sizeof events) std::memcpy(&events, data.data(), sizeof events);
    *inflight.to.eventMask = events;
  }
}

// The outcome of a completed request as the platform's calls report it.
BOOL Finish(Inflight& inflight, DWORD* transferred) {
  Deliver(inflight);
  app::Result result = inflight.request.result();
  if (transferred) *transferred = DWORD(result.information);
  return Succeeded(result.status);
}

std::optional<int64_t> WaitLimit(DWORD timeoutMs) {
  if (timeoutMs == INFINITE) return std::nullopt;
  return int64_t(timeoutMs) * sim::kMs;
}

}  // namespace

OVERLAPPED::OVERLAPPED() = default;
// The operation's request, if still in flight, is cancelled and waited for
// by its own destructor (as the I/O manager does at exit).
OVERLAPPED::~OVERLAPPED() = default;

BOOL Succeeded(NTSTATUS status) {
  if (NT_SUCCESS(status)) return 1;
  return Fail(ErrorFromStatus(status));
}

app::Result Control(Port& port, ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength) {
  auto inflight = port.submit({}, [&](app::File& file) {
    return file.ioctlAsync(code, {static_cast<const uint8_t*>(input), inputLength}, outputLength);
  });
  if (!inflight) return {STATUS_INVALID_HANDLE, 0};
  app::Result result = inflight->request.wait();
  const std::vector<uint8_t>& data = inflight->request.data();
  if (output) std::memcpy(output, data.data(), std::min<size_t>(data.size(), outputLength));
  return result;
}

BOOL ControlCall(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength) {
  auto port = PortOf(handle);
  if (!port) return 0;
  return Succeeded(Control(*port, code, input, inputLength, output, outputLength).status);
}

BOOL StartOperation(HANDLE handle, OVERLAPPED* overlapped, DWORD* transferred, const Destination& to,
                    const std::function<app::Request(app::File&)>& send) {
  auto port = PortOf(handle);
  if (!port) return 0;
  // One operation per record; the outcome of a finished one nobody collected
  // is dropped with it.
  if (overlapped && overlapped->operation && !overlapped->operation->inflight->request.done())
    return Fail(ERROR_INVALID_PARAMETER);
  auto inflight = port->submit(to, send);
  if (!inflight) return Fail(ERROR_INVALID_HANDLE);
  if (transferred) *transferred = 0;
  if (!overlapped || !port->overlapped()) inflight->request.wait();
  if (overlapped) overlapped->operation = std::make_unique<OVERLAPPED::Operation>(OVERLAPPED::Operation{inflight});
  if (inflight->request.done()) return Finish(*inflight, transferred);
  return Fail(ERROR_IO_PENDING);
}

BOOL GetOverlappedResult(HANDLE port, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
  return GetOverlappedResultEx(port, overlapped, transferred, wait ? INFINITE : 0);
}

// The record carries its request, so the outcome can be collected even after
// the handle is closed (a close aborts what was in flight).
BOOL GetOverlappedResultEx(HANDLE, OVERLAPPED* overlapped, DWORD* transferred, DWORD timeoutMs) {
  if (!overlapped) return Fail(ERROR_INVALID_PARAMETER);
  if (!overlapped->operation) {
    // A record never used holds a completed, empty result on the platform.
    if (transferred) *transferred = 0;
    return 1;
  }
  Inflight& inflight = *overlapped->operation->inflight;
  if (!inflight.request.done()) inflight.request.wait(WaitLimit(timeoutMs));
  if (!inflight.request.done()) return Fail(ERROR_IO_INCOMPLETE);
  return Finish(inflight, transferred);
}

BOOL CancelIoEx(HANDLE handle, OVERLAPPED* overlapped) {
  auto port = PortOf(handle);
  if (!port) return 0;
  const Inflight* only = nullptr;
  if (overlapped) {
    if (!overlapped->operation || overlapped->operation->inflight->owner != port.get()) return Fail(ERROR_NOT_FOUND);
    only = overlapped->operation->inflight.get();
  }
  if (!port->cancel(only)) return Fail(ERROR_NOT_FOUND);
  return 1;
}

}  // namespace comm
