// Simulated platform: what is wired to the adapter's far end. A loopback plug
// (AdapterOptions::modemLoopback) feeds DTR back as DSR and DCD; a null-modem
// cable (crossWire) carries bulk-out to the peer's bulk-in and DTR to the
// peer's DSR and DCD. Everything goes out through the scheduler, in order, and
// is sent with no model lock held: a peer's lock is never taken under ours.
#include "usb_adapter_state.h"

namespace sim::usb {

using namespace model;

namespace {

constexpr uint16_t kDcdAndDsr = 0x0003;  // SERIAL_STATE bRxCarrier and bTxCarrier

}  // namespace

void CdcAcmAdapter::State::noteLineState(uint16_t value) {
  bool dtr = value & 1;
  bool wired = !peer.expired();
  if ((!options.modemLoopback && !wired) || reportedDtr == dtr) return;
  reportedDtr = dtr;
  uint16_t state = dtr ? kDcdAndDsr : 0;
  if (options.modemLoopback) sendOnWire({WireItem::Kind::OwnSerialState, {}, state});
  if (wired) sendOnWire({WireItem::Kind::PeerSerialState, {}, state});
}

void CdcAcmAdapter::State::sendOnWire(WireItem item) {
  // A send already scheduled takes this item too, unless it has taken the queue.
  bool idle = wire.empty();
  wire.push_back(std::move(item));
  if (idle) Bus::later(*this, 0, [](State& st) { Bus::sendWire(st); });
}

void Bus::sendWire(State& s) {
  // One sender at a time keeps the items in order when workers run in parallel.
  std::lock_guard sending(s.wireMutex);
  std::deque<WireItem> items;
  std::shared_ptr<CdcAcmAdapter> peer, self;
  {
    std::lock_guard lock(s.mutex);
    items.swap(s.wire);
    peer = s.peer.lock();
    self = s.self.lock();
  }
  for (const WireItem& item : items) {
    switch (item.kind) {
      case WireItem::Kind::PeerData:
        if (peer) peer->sendBulkIn(item.bytes);
        break;
      case WireItem::Kind::PeerSerialState:
        if (peer) peer->sendSerialState(item.serialState);
        break;
      case WireItem::Kind::OwnSerialState:
        if (self) self->sendSerialState(item.serialState);
        break;
    }
  }
}

void crossWire(const std::shared_ptr<CdcAcmAdapter>& a, const std::shared_ptr<CdcAcmAdapter>& b) {
  if (!a || !b || a == b) stop("sim::usb::crossWire", "needs two different adapters");
  for (auto [from, to] : {std::pair{a, b}, std::pair{b, a}}) {
    CdcAcmAdapter::State& s = Bus::stateOf(*from);
    std::lock_guard lock(s.mutex);
    s.peer = to;
    s.reportedDtr.reset();
  }
}

}  // namespace sim::usb
