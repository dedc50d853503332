// Simulated platform: the URB tap. Events are queued under the model's lock,
// where bus order is decided, and delivered after it is released by whoever
// flushes first, one flusher at a time, so the tap sees each adapter's URBs in
// order without ever running under the lock. Untapped, every hook returns on
// one relaxed load.
#include "usb_adapter_state.h"

#include <cstring>

namespace sim::usb {

using namespace model;

namespace {

// The bytes a transfer buffer holds, or none when the URB cannot carry any.
std::vector<uint8_t> bufferOf(PURB urb, ULONG length) {
  if (!urb || !length || !isTransferFunction(urb->UrbHeader.Function)) return {};
  auto& t = urb->UrbBulkOrInterruptTransfer;  // the buffer fields of control URBs are laid out alike
  if (!t.TransferBuffer) return {};
  auto p = static_cast<const uint8_t*>(t.TransferBuffer);
  return {p, p + length};
}

bool deviceToHost(const UrbRecord& r) { return r.control ? (r.requestType & 0x80) : (r.endpoint & 0x80); }

}  // namespace

void CdcAcmAdapter::State::tapSubmit(UrbRecord r, PURB urb) {
  if (!tapping.load(std::memory_order_relaxed)) return;
  if (!deviceToHost(r) && (r.control || r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER))
    r.dataOut = bufferOf(urb, r.control ? r.length : r.requestedLength);
  tapEvents.emplace_back(r, false);
  tapInFlight.emplace(r.id, std::move(r));
}

void CdcAcmAdapter::State::tapFinish(uint64_t id, PURB urb, const Outcome& o, UrbRecord::State state) {
  if (!tapping.load(std::memory_order_relaxed)) return;
  auto it = tapInFlight.find(id);
  if (it == tapInFlight.end()) return;  // submitted before the tap was installed
  UrbRecord r = std::move(it->second);
  tapInFlight.erase(it);
  r.state = state;
  r.status = o.status;
  r.usbdStatus = o.usbd;
  r.transferred = o.transferred;
  r.finished100ns = sim::now();
  if (deviceToHost(r)) r.dataIn = !o.in.empty() ? o.in : bufferOf(urb, o.transferred);
  tapEvents.emplace_back(std::move(r), true);
}

void Bus::flushTap(State& s) {
  if (!s.tapping.load(std::memory_order_relaxed)) return;
  std::lock_guard deliver(s.tapMutex);
  std::vector<std::pair<UrbRecord, bool>> events;
  {
    std::lock_guard lock(s.mutex);
    events.swap(s.tapEvents);
  }
  if (s.tap)
    for (const auto& [record, completed] : events) (*s.tap)(record, completed);
}

void CdcAcmAdapter::setTap(UrbTap tap) {
  State& s = *state_;
  std::lock_guard deliver(s.tapMutex);
  std::lock_guard lock(s.mutex);
  s.tap = tap ? std::make_shared<const UrbTap>(std::move(tap)) : nullptr;
  s.tapping.store(bool(s.tap), std::memory_order_relaxed);
  if (!s.tap) {
    s.tapEvents.clear();
    s.tapInFlight.clear();
  }
}

}  // namespace sim::usb
