// Tool: the USB trace writer. Each tap event becomes one pcap record: the
// usbmon header Wireshark's USB dissector reads (little-endian, as written by
// a little-endian host), then the captured data: out data on submission, in
// data on completion. S and C records of one URB share its id, which is how
// Wireshark pairs a control response with its request.
#include "tools/tzcom/usb_trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace tzcom {

namespace {

using sim::usb::UrbRecord;

constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr uint32_t kSnapLength = 262144;
constexpr int64_t kEpochSeconds = 1704067200;  // 2024-01-01 00:00:00 UTC
constexpr int kInProgress = -EINPROGRESS;       // what usbmon reports on submission
constexpr uint32_t kUrbDirIn = 0x0200;          // URB_DIR_IN in the header's transfer flags

enum TransferType : uint8_t { Interrupt = 1, Control = 2, Bulk = 3 };

void put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, uint16_t(v));
  put16(p + 2, uint16_t(v >> 16));
}
void put64(uint8_t* p, uint64_t v) {
  put32(p, uint32_t(v));
  put32(p + 4, uint32_t(v >> 32));
}

// The setup packet that goes on the wire for a URB, if it is a control transfer there.
bool wireSetup(const UrbRecord& r, uint8_t setup[8]) {
  uint8_t type = r.requestType, request = r.request;
  uint16_t value = r.value, index = r.index, length = r.length;
  bool clearStall =
      r.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || r.function == URB_FUNCTION_SYNC_CLEAR_STALL;
  if (r.function == URB_FUNCTION_SELECT_CONFIGURATION) {
    type = 0x00, request = USB_REQUEST_SET_CONFIGURATION, index = 0, length = 0;
  } else if (clearStall) {
    type = 0x02, request = USB_REQUEST_CLEAR_FEATURE, value = USB_FEATURE_ENDPOINT_STALL, index = r.endpoint;
    length = 0;
  } else if (!r.control) {
    return false;
  }
  setup[0] = type;
  setup[1] = request;
  put16(setup + 2, value);
  put16(setup + 4, index);
  put16(setup + 6, length);
  return true;
}

// The errno usbmon reports for how a URB ended.
int statusOf(const UrbRecord& r) {
  if (r.state == UrbRecord::State::Cancelled) return -ENOENT;
  switch (r.usbdStatus) {
    case USBD_STATUS_SUCCESS: return 0;
    case USBD_STATUS_STALL_PID:
    case USBD_STATUS_ENDPOINT_HALTED: return -EPIPE;
    case USBD_STATUS_BABBLE_DETECTED: return -EOVERFLOW;
    case USBD_STATUS_CANCELED: return -ENOENT;
    case USBD_STATUS_DEVICE_GONE: return -ESHUTDOWN;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE: return -EINVAL;
    default: return NT_SUCCESS(r.status) ? 0 : -EPROTO;
  }
}

}  // namespace

std::vector<uint8_t> usbmonRecord(const UrbRecord& r, bool completed, uint8_t deviceAddress) {
  uint8_t setup[8] = {};
  bool control = wireSetup(r, setup);
  bool transfer = r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  if (!control && !transfer) return {};  // host-side only: never on the wire

  bool in = control ? (setup[0] & 0x80) : (r.endpoint & 0x80);
  uint8_t type = control ? Control : r.endpointType == USB_ENDPOINT_TYPE_INTERRUPT ? Interrupt : Bulk;
  uint8_t endpoint = control ? uint8_t(in ? 0x80 : 0x00) : r.endpoint;
  const std::vector<uint8_t>& data = completed ? r.dataIn : r.dataOut;
  uint32_t length = completed ? r.transferred : control ? uint32_t(setup[6] | setup[7] << 8) : r.requestedLength;
  uint32_t captured = uint32_t(std::min<size_t>(data.size(), kSnapLength - 64));
  int64_t at100ns = completed ? r.finished100ns : r.submitted100ns;

  std::vector<uint8_t> out(64 + captured);
  uint8_t* h = out.data();
  put64(h + 0, uint64_t(deviceAddress) << 48 | r.id);  // the URB id, unique per adapter
  h[8] = completed ? 'C' : 'S';
  h[9] = type;
  h[10] = endpoint;
  h[11] = deviceAddress;
  put16(h + 12, 1);                                  // bus
  h[14] = control && !completed ? 0 : '-';           // setup present
  // Data flag: 0 present (perhaps empty); none on an IN submission or an OUT completion.
  h[15] = !completed && in ? '<' : completed && !in ? '>' : 0;
  put64(h + 16, uint64_t(kEpochSeconds + at100ns / 10'000'000));
  put32(h + 24, uint32_t(at100ns % 10'000'000 / 10));
  put32(h + 28, uint32_t(completed ? statusOf(r) : kInProgress));
  put32(h + 32, length);
  put32(h + 36, captured);
  if (control && !completed) std::memcpy(h + 40, setup, 8);
  put32(h + 48, type == Interrupt ? 1 : 0);  // interval
  put32(h + 56, in ? kUrbDirIn : 0);
  if (captured) std::memcpy(h + 64, data.data(), captured);
  return out;
}

// The open file, shared with the taps so that one still running after the
// trace is gone finds it closed instead of dangling.
struct UsbTrace::Sink {
  std::mutex mutex;
  FILE* file = nullptr;
  uint64_t written = 0;

  void write(const UrbRecord& r, bool completed, uint8_t address) {
    std::vector<uint8_t> body = usbmonRecord(r, completed, address);
    if (body.empty()) return;
    int64_t at100ns = completed ? r.finished100ns : r.submitted100ns;
    uint8_t header[16];
    put32(header + 0, uint32_t(kEpochSeconds + at100ns / 10'000'000));
    put32(header + 4, uint32_t(at100ns % 10'000'000 / 10));
    put32(header + 8, uint32_t(body.size()));
    put32(header + 12, uint32_t(64 + (completed ? r.dataIn : r.dataOut).size()));  // before the snap length
    std::lock_guard lock(mutex);
    if (!file) return;
    std::fwrite(header, 1, sizeof header, file);
    std::fwrite(body.data(), 1, body.size(), file);
    std::fflush(file);
    ++written;
  }
};

std::unique_ptr<UsbTrace> UsbTrace::open(const std::string& path, std::string* error) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    if (error) *error = path + ": " + std::strerror(errno);
    return nullptr;
  }
  uint8_t header[24] = {};
  put32(header + 0, 0xA1B2C3D4);  // microsecond timestamps
  put16(header + 4, 2);
  put16(header + 6, 4);
  put32(header + 16, kSnapLength);
  put32(header + 20, kLinkTypeUsbLinuxMmapped);
  if (std::fwrite(header, 1, sizeof header, file) != sizeof header || std::fflush(file) != 0) {
    if (error) *error = path + ": " + std::strerror(errno);
    std::fclose(file);
    return nullptr;
  }
  auto sink = std::make_shared<Sink>();
  sink->file = file;
  return std::unique_ptr<UsbTrace>(new UsbTrace(std::move(sink)));
}

UsbTrace::UsbTrace(std::shared_ptr<Sink> sink) : sink_(std::move(sink)) {}

UsbTrace::~UsbTrace() {
  for (auto& weak : adapters_)
    if (auto adapter = weak.lock()) adapter->setTap(nullptr);
  std::lock_guard lock(sink_->mutex);
  std::fclose(sink_->file);
  sink_->file = nullptr;
}

void UsbTrace::attach(sim::usb::CdcAcmAdapter& adapter, uint8_t deviceAddress) {
  adapters_.push_back(adapter.weak_from_this());
  adapter.setTap([sink = sink_, deviceAddress](const UrbRecord& r, bool completed) {
    sink->write(r, completed, deviceAddress);
  });
}

uint64_t UsbTrace::records() const {
  std::lock_guard lock(sink_->mutex);
  return sink_->written;
}

}  // namespace tzcom
