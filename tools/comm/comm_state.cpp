// The comm API's line state calls (tool side): GetCommState and SetCommState
// over the four settings records, time-outs, queue sizes and properties.
#include "tools/comm/comm_dcb.h"
#include "tools/comm/comm_port.h"

#include <cstring>

namespace comm {

namespace {

// One settings record and the codes that read and write it.
struct SettingsRecord {
  ULONG getCode, setCode;
  void* (*field)(LineSettings&);
  ULONG size;
};

template <auto Member>
void* FieldOf(LineSettings& s) {
  return &(s.*Member);
}

// In the order SetCommState sets them.
const SettingsRecord kRecords[] = {
    {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_SET_BAUD_RATE, FieldOf<&LineSettings::baudRate>,
     sizeof(SERIAL_BAUD_RATE)},
    {IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_SET_LINE_CONTROL, FieldOf<&LineSettings::lineControl>,
     sizeof(SERIAL_LINE_CONTROL)},
    {IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_SET_CHARS, FieldOf<&LineSettings::chars>, sizeof(SERIAL_CHARS)},
    {IOCTL_SERIAL_GET_HANDFLOW, IOCTL_SERIAL_SET_HANDFLOW, FieldOf<&LineSettings::handFlow>, sizeof(SERIAL_HANDFLOW)},
};
constexpr size_t kRecordCount = sizeof kRecords / sizeof kRecords[0];

NTSTATUS ReadSettings(Port& port, LineSettings& settings) {
  for (const SettingsRecord& r : kRecords) {
    NTSTATUS status = Control(port, r.getCode, nullptr, 0, r.field(settings), r.size).status;
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

// Puts back the first `count` records, last set first. Best effort: the
// caller reports the failure that made it necessary.
void Restore(Port& port, LineSettings& old, size_t count) {
  while (count-- > 0) Control(port, kRecords[count].setCode, kRecords[count].field(old), kRecords[count].size);
}

// The DTR and RTS requests the DCB's line controls ask for (none for
// handshake and toggle, which the driver drives itself).
std::vector<ULONG> LineRequests(const DCB& dcb) {
  std::vector<ULONG> codes;
  if (dcb.fDtrControl == DTR_CONTROL_ENABLE) codes.push_back(IOCTL_SERIAL_SET_DTR);
  if (dcb.fDtrControl == DTR_CONTROL_DISABLE) codes.push_back(IOCTL_SERIAL_CLR_DTR);
  if (dcb.fRtsControl == RTS_CONTROL_ENABLE) codes.push_back(IOCTL_SERIAL_SET_RTS);
  if (dcb.fRtsControl == RTS_CONTROL_DISABLE) codes.push_back(IOCTL_SERIAL_CLR_RTS);
  return codes;
}

}  // namespace

BOOL GetCommState(HANDLE handle, DCB* dcb) {
  if (!dcb) return Fail(ERROR_INVALID_PARAMETER);
  auto port = PortOf(handle);
  if (!port) return 0;
  LineSettings settings;
  NTSTATUS status = ReadSettings(*port, settings);
  if (!NT_SUCCESS(status)) return Succeeded(status);
  *dcb = DcbFrom(settings);
  return 1;
}

BOOL SetCommState(HANDLE handle, const DCB* dcb) {
  if (!dcb) return Fail(ERROR_INVALID_PARAMETER);
  auto port = PortOf(handle);
  if (!port) return 0;
  if (!DcbIsValid(*dcb)) return Fail(ERROR_INVALID_PARAMETER);
  LineSettings old;
  NTSTATUS status = ReadSettings(*port, old);
  if (!NT_SUCCESS(status)) return Succeeded(status);
  LineSettings next = SettingsFrom(*dcb, old);
  for (size_t i = 0; i < kRecordCount; ++i) {
    status = Control(*port, kRecords[i].setCode, kRecords[i].field(next), kRecords[i].size).status;
    if (!NT_SUCCESS(status)) {
      Restore(*port, old, i);
      return Succeeded(status);
    }
  }
  for (ULONG code : LineRequests(*dcb)) {
    status = Control(*port, code, nullptr, 0).status;
    if (!NT_SUCCESS(status)) {
      Restore(*port, old, kRecordCount);
      return Succeeded(status);
    }
  }
  return 1;
}

BOOL GetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts) {
  static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS));
  if (!timeouts) return Fail(ERROR_INVALID_PARAMETER);
  SERIAL_TIMEOUTS t{};
  if (!ControlCall(port, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &t, sizeof t)) return 0;
  *timeouts = {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
               t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
  return 1;
}

BOOL SetCommTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts) {
  if (!timeouts) return Fail(ERROR_INVALID_PARAMETER);
  SERIAL_TIMEOUTS t{timeouts->ReadIntervalTimeout, timeouts->ReadTotalTimeoutMultiplier,
                    timeouts->ReadTotalTimeoutConstant, timeouts->WriteTotalTimeoutMultiplier,
                    timeouts->WriteTotalTimeoutConstant};
  return ControlCall(port, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t);
}

BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue) {
  SERIAL_QUEUE_SIZE sizes{inQueue, outQueue};
  return ControlCall(port, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof sizes);
}

BOOL GetCommProperties(HANDLE port, COMMPROP* properties) {
  static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP));
  if (!properties) return Fail(ERROR_INVALID_PARAMETER);
  SERIAL_COMMPROP p{};
  if (!ControlCall(port, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &p, sizeof p)) return 0;
  std::memcpy(properties, &p, sizeof p);
  return 1;
}

}  // namespace comm
