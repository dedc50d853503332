// The comm API's data and event calls (tool side): reads, writes, flush,
// and the event mask with its wait.
#include "tools/comm/comm_port.h"

namespace comm {

BOOL ReadFile(HANDLE port, void* buffer, DWORD length, DWORD* transferred, OVERLAPPED* overlapped) {
  if (!buffer && length) return Fail(ERROR_INVALID_PARAMETER);
  Destination to{.kind = Destination::Kind::Read, .buffer = buffer, .length = length};
  return StartOperation(port, overlapped, transferred, to,
                        [length](app::File& file) { return file.readAsync(length); });
}

BOOL WriteFile(HANDLE port, const void* buffer, DWORD length, DWORD* transferred, OVERLAPPED* overlapped) {
  if (!buffer && length) return Fail(ERROR_INVALID_PARAMETER);
  // The request takes its own copy of the bytes, so the buffer is free at once.
  auto bytes = static_cast<const uint8_t*>(buffer);
  return StartOperation(port, overlapped, transferred, {.kind = Destination::Kind::Write},
                        [bytes, length](app::File& file) { return file.writeAsync({bytes, length}); });
}

BOOL WaitCommEvent(HANDLE port, DWORD* eventMask, OVERLAPPED* overlapped) {
  if (!eventMask) return Fail(ERROR_INVALID_PARAMETER);
  Destination to{.kind = Destination::Kind::WaitEvent, .eventMask = eventMask};
  return StartOperation(port, overlapped, nullptr, to, [](app::File& file) {
    return file.ioctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
  });
}

BOOL FlushFileBuffers(HANDLE handle) {
  auto port = PortOf(handle);
  if (!port) return 0;
  auto inflight = port->submit({}, [](app::File& file) { return file.flushAsync(); });
  if (!inflight) return Fail(ERROR_INVALID_HANDLE);
  return Succeeded(inflight->request.wait().status);
}

BOOL SetCommMask(HANDLE port, DWORD mask) {
  ULONG waitMask = mask;
  return ControlCall(port, IOCTL_SERIAL_SET_WAIT_MASK, &waitMask, sizeof waitMask);
}

BOOL GetCommMask(HANDLE port, DWORD* mask) {
  if (!mask) return Fail(ERROR_INVALID_PARAMETER);
  ULONG waitMask = 0;
  if (!ControlCall(port, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &waitMask, sizeof waitMask)) return 0;
  *mask = waitMask;
  return 1;
}

}  // namespace comm
