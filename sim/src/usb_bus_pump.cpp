// Simulated platform: the simulated bus moving bulk and interrupt data. Each
// pipe's transfers are filled oldest first when the device has data; bulk-in
// completions may then reach the driver after a random delay each.
#include "usb_adapter_state.h"

namespace sim::usb {

using namespace model;

namespace {

uint64_t splitmix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

uint64_t hashName(const std::u16string& name) {
  uint64_t h = 0xCBF29CE484222325ull;  // FNV-1a
  for (char16_t c : name) h = (h ^ c) * 0x100000001B3ull;
  return h;
}

// One transfer the device finished, to complete once the mutex is released.
struct Finished {
  uint64_t id = 0;
  InFlight transfer{};
  Outcome outcome;
  bool delayed = false;
};

// Moves the data of one transfer between the device and its buffer. Mutex held.
Outcome move(CdcAcmAdapter::State& s, uint64_t id, Pipe& p, struct _URB_BULK_OR_INTERRUPT_TRANSFER& t) {
  if (s.gone) return deviceGone();
  if (p.halted) return stalled();
  if (p.hostHalted) return hostHalted();
  if (!p.in()) return s.takeBulkOut(id, t);
  if (p.type() == UsbdPipeTypeBulk) return s.fillBulkIn(id, t);
  return s.fillInterruptIn(id, p, t);
}

// Finds one transfer the device can finish now and finishes it. Mutex held.
bool nextTransfer(CdcAcmAdapter::State& s, Finished& done) {
  Pipe* bulkIn = s.firstPipe(USB_ENDPOINT_TYPE_BULK, true);
  Pipe* interruptIn = s.firstPipe(USB_ENDPOINT_TYPE_INTERRUPT, true);
  for (auto& pipe : s.pipes) {
    Pipe* p = pipe.get();
    if (p->queue.empty()) continue;
    bool ready = p->halted || p->hostHalted || s.gone ||
                 (p->in() ? (p == bulkIn && ((!s.bulkIn.empty() && !Bus::timed(s)) || !s.bulkInAnswers.empty())) ||
                                (p == interruptIn && !s.interruptIn.empty())
                          : !s.holdOut);
    if (!ready) continue;
    uint64_t id = p->queue.front();
    auto f = Bus::claim(s, id);
    if (!f) {
      // Everything queued is held; one that is not would block its pipe for good.
      if (!s.inFlight.contains(id)) stop("simulated USB bus", "a pipe's queue holds a transfer the bus no longer holds");
      continue;  // being cancelled; its cancel routine pumps again
    }
    done = {id, *f, move(s, id, *p, f->urb->UrbBulkOrInterruptTransfer), false};
    done.delayed = p == bulkIn && NT_SUCCESS(done.outcome.status) && s.options.bulkInCompletionDelay100ns > 0;
    if (!done.delayed) {
      s.noteFinish(id, done.outcome, UrbRecord::State::Completed);
      s.tapFinish(id, f->urb, done.outcome);
    }
    return true;
  }
  return false;
}

}  // namespace

void Bus::deliver(State& s, uint64_t id) {
  Delivery d;
  {
    std::lock_guard lock(s.mutex);
    auto it = s.delivering.find(id);
    if (it == s.delivering.end()) return;
    d = std::move(it->second);
    s.delivering.erase(it);
    s.noteFinish(id, d.outcome, UrbRecord::State::Completed);
    s.tapFinish(id, d.urb, d.outcome);
  }
  Bus::flushTap(s);
  completeUrb(d.irp, d.urb, d.outcome);
}

namespace {

// Sends a filled transfer's completion on its way. Mutex held.
void deliverLater(CdcAcmAdapter::State& s, const Finished& done) {
  auto delay100ns = int64_t(s.random() % uint64_t(s.options.bulkInCompletionDelay100ns + 1));
  s.delivering[done.id] = {done.transfer.irp, done.transfer.urb, done.transfer.pipe, done.outcome};
  sim::detail::scheduleAction(delay100ns, [weak = s.self, id = done.id, irp = done.transfer.irp, urb = done.transfer.urb,
                             outcome = done.outcome] {
    // A model that is gone can no longer abort the transfer: complete it here.
    if (auto adapter = weak.lock())
      Bus::deliver(Bus::stateOf(*adapter), id);
    else
      completeUrb(irp, urb, outcome);
  }, true);
}

}  // namespace

void Bus::pump(State& s) {
  if (timed(s)) {
    std::lock_guard lock(s.mutex);
    scheduleFrame(s);
  }
  try {
    for (;;) {
      Finished done;
      {
        std::lock_guard lock(s.mutex);
        if (!nextTransfer(s, done)) {
          // Decided under the mutex: a change after this queues a new pump.
          s.pumpQueued = false;
          return;
        }
        if (done.delayed) {
          deliverLater(s, done);
          continue;
        }
      }
      flushTap(s);
      completeUrb(done.transfer.irp, done.transfer.urb, done.outcome);
    }
  } catch (...) {
    // A verifier stop out of a completion: the next change pumps again.
    std::lock_guard lock(s.mutex);
    s.pumpQueued = false;
    throw;
  }
}

bool Bus::claimPumpLocked(State& s) {
  if (s.pumpQueued) return false;
  s.pumpQueued = true;
  return true;
}

void Bus::queuePump(State& s) {
  // Captures the weak reference alone, so the scheduled call needs no heap block.
  sim::detail::scheduleAction(0, [weak = s.self] {
    if (auto adapter = weak.lock()) pump(stateOf(*adapter));
  }, true);
}

void Bus::schedulePump(State& s) {
  bool queue;
  {
    std::lock_guard lock(s.mutex);
    queue = claimPumpLocked(s);
  }
  if (queue) queuePump(s);
}

void Bus::seedOnce(State& s, PDEVICE_OBJECT pdo) {
  // Every request comes here: once seeded, no lock round trip.
  if (s.seeded.load(std::memory_order_acquire)) return;
  std::lock_guard lock(s.mutex);
  if (s.seeded.load(std::memory_order_relaxed)) return;
  s.random.seed(splitmix64(sim::seed() ^ splitmix64(hashName(pdo ? sim::deviceName(pdo) : u""))));
  s.seeded.store(true, std::memory_order_release);
}

std::vector<Delivery> Bus::takeDeliveries(State& s, const Pipe* pipe) {
  std::vector<Delivery> taken;
  for (auto it = s.delivering.begin(); it != s.delivering.end();) {
    if (it->second.pipe != pipe) {
      ++it;
      continue;
    }
    s.noteFinish(it->first, it->second.outcome, UrbRecord::State::Completed);
    s.tapFinish(it->first, it->second.urb, it->second.outcome);
    taken.push_back(std::move(it->second));
    it = s.delivering.erase(it);
  }
  return taken;
}

}  // namespace sim::usb
