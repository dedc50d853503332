// Simulated platform: the CDC-ACM adapter's side of bulk and interrupt
// transfers: what bulk-out takes (all of it, or a short part when a test asks),
// and what bulk-in and interrupt-in give back, babble included.
#include "usb_adapter_state.h"

#include <cstring>

namespace sim::usb {

using namespace model;

Outcome CdcAcmAdapter::State::takeBulkOut(uint64_t id, struct _URB_BULK_OR_INTERRUPT_TRANSFER& t) {
  ULONG taken = t.TransferBufferLength;
  if (shortOutTimes != 0) {
    taken = std::min(taken, shortOutMaxBytes);
    if (shortOutTimes > 0) --shortOutTimes;
  }
  std::span<const uint8_t> data(static_cast<const uint8_t*>(t.TransferBuffer), taken);
  bulkOutTotal += data.size();
  if (options.record) bulkOut.insert(bulkOut.end(), data.begin(), data.end());
  if (options.loopback) bulkIn.append(data);
  if (!data.empty() && !peer.expired()) sendOnWire({WireItem::Kind::PeerData, {data.begin(), data.end()}});
  noteDataOut(id, data);
  Outcome o;
  o.transferred = taken;
  return o;
}

Outcome CdcAcmAdapter::State::fillBulkIn(uint64_t id, struct _URB_BULK_OR_INTERRUPT_TRANSFER& t) {
  if (!bulkInAnswers.empty()) {
    Outcome o = bulkInAnswers.front();
    bulkInAnswers.pop_front();
    return o;
  }
  auto buffer = static_cast<uint8_t*>(t.TransferBuffer);
  Outcome o;
  o.transferred = ULONG(bulkIn.take(buffer, t.TransferBufferLength));
  noteDataIn(id, {buffer, o.transferred});
  return o;
}

// The payload arrives as one packet. One that does not fit the buffer is
// babble: the host controller fails the transfer, keeps none of it, and
// halts the endpoint, as it does when a device overruns what it was asked for.
Outcome CdcAcmAdapter::State::fillInterruptIn(uint64_t id, Pipe& pipe, struct _URB_BULK_OR_INTERRUPT_TRANSFER& t) {
  std::vector<uint8_t> payload = std::move(interruptIn.front());
  interruptIn.pop_front();
  if (payload.size() > t.TransferBufferLength) {
    pipe.hostHalted = true;
    return babble();
  }
  if (!payload.empty()) std::memcpy(t.TransferBuffer, payload.data(), payload.size());
  noteDataIn(id, payload);
  Outcome o;
  o.transferred = ULONG(payload.size());
  return o;
}

}  // namespace sim::usb
