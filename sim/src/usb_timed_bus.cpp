// Simulated platform: the timed bus. With AdapterOptions::busSpeed set, the
// host controller moves bulk-in data in packets within (micro)frames, so that
// what a driver receives can be compared with what the wire could carry.
#include "usb_adapter_state.h"

namespace sim::usb {

using namespace model;

BusTiming busTiming(BusSpeed speed) {
  switch (speed) {
    case BusSpeed::Full:
      return {10'000, 19, 64};  // 1 ms frames
    case BusSpeed::High:
      return {1'250, 13, 512};  // 125 us microframes
    case BusSpeed::Untimed:
      break;
  }
  return {};
}

namespace {

// A transfer done in this frame, to complete at its end.
struct FramedDone {
  uint64_t id;
  InFlight transfer;
  Outcome outcome;
};

// Fills the bulk-in transfers at the head of the queue with up to one frame
// of packets. A transfer is done when full or at a short packet. Mutex held.
std::vector<FramedDone> fillFrame(CdcAcmAdapter::State& s, Pipe& pipe, const BusTiming& timing) {
  std::vector<FramedDone> done;
  for (unsigned packets = 0; packets < timing.packetsPerFrame && !pipe.queue.empty() && !s.bulkIn.empty(); ++packets) {
    uint64_t id = pipe.queue.front();
    auto& t = s.inFlight.at(id).urb->UrbBulkOrInterruptTransfer;
    if (s.framedTransfer != id) {
      s.framedTransfer = id;
      s.framedBytes = 0;
    }
    auto buffer = static_cast<uint8_t*>(t.TransferBuffer);
    ULONG room = t.TransferBufferLength - s.framedBytes;
    size_t packet = s.bulkIn.take(buffer + s.framedBytes, std::min<size_t>(timing.packetSize, room));
    s.framedBytes += ULONG(packet);
    if (packet == timing.packetSize && s.framedBytes < t.TransferBufferLength) continue;
    // Full, or a short packet: the transfer is done. One being cancelled
    // belongs to its cancel routine, and the bytes it had are lost with it.
    auto f = Bus::claim(s, id);
    s.framedTransfer = 0;
    if (!f) continue;
    Outcome o;
    o.transferred = s.framedBytes;
    s.noteDataIn(id, {buffer, o.transferred});
    done.push_back({id, *f, o});
  }
  return done;
}

}  // namespace

void Bus::scheduleFrame(State& s) {
  if (s.frameScheduled) return;
  Pipe* pipe = s.firstPipe(USB_ENDPOINT_TYPE_BULK, true);
  if (!pipe || pipe->queue.empty() || s.bulkIn.empty()) return;
  s.frameScheduled = true;
  int64_t frame = busTiming(s.options.busSpeed).frame100ns;
  int64_t now = sim::now();
  int64_t start = (now + frame - 1) / frame * frame;
  later(s, start - now, [](State& st) { runFrame(st); });
}

void Bus::runFrame(State& s) {
  BusTiming timing = busTiming(s.options.busSpeed);
  std::lock_guard lock(s.mutex);
  s.frameScheduled = false;
  Pipe* pipe = s.firstPipe(USB_ENDPOINT_TYPE_BULK, true);
  // A halted pipe, a device that left and queued answers are the untimed
  // pump's to finish.
  if (!pipe || pipe->halted || pipe->hostHalted || s.gone || !s.bulkInAnswers.empty()) return;
  for (FramedDone& d : fillFrame(s, *pipe, timing)) {
    s.delivering[d.id] = {d.transfer.irp, d.transfer.urb, d.transfer.pipe, d.outcome};
    sim::detail::scheduleAction(timing.frame100ns, [weak = s.self, d] {
      // A model that is gone can no longer abort the transfer: complete it here.
      if (auto adapter = weak.lock())
        deliver(stateOf(*adapter), d.id);
      else
        completeUrb(d.transfer.irp, d.transfer.urb, d.outcome);
    }, true);
  }
  // Whatever is left waits for the next frame, which starts as this one ends.
  if (!pipe->queue.empty() && !s.bulkIn.empty()) {
    s.frameScheduled = true;
    later(s, timing.frame100ns, [](State& st) { runFrame(st); });
  }
}

}  // namespace sim::usb
