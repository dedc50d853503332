// Simulated platform: preemption points. On the platform another processor's
// DPC, a timer's expiry or a device's completion can land between any two
// steps of a thread; in Deterministic mode they otherwise run only when a
// thread waits. At the points where the platform really interleaves (a spin
// lock let go, the IRQL lowered, IoCallDriver returned, an event set) the
// seed, or a test's pin, decides whether the work that is ready runs there.
#include "kernel.h"

#include <array>
#include <random>

namespace sim::detail {

std::atomic<bool> preemptionArmed{false};

namespace {

// Moving the clock on at a point stands for the thread losing its processor;
// a scheduling quantum is about this long.
constexpr int64_t kLongestClockMove100ns = 20 * 10000;
// What one point runs at most, so that a device that keeps answering cannot
// hold the thread there for ever.
constexpr int kMostItemsPerPoint = 64;

struct PreemptionState {
  unsigned percent = 0;
  std::mt19937_64 random;
  std::array<uint64_t, kPreemptionPoints> pinnedAt{};  // the passed count a pin fires at; 0: none
  preemption::Stats stats;
};

PreemptionState& state() {
  static PreemptionState s;
  return s;
}

thread_local bool preempting = false;

void rearmLocked(PreemptionState& st) {
  bool pinned = false;
  for (uint64_t at : st.pinnedAt) pinned = pinned || at != 0;
  preemptionArmed.store(st.percent != 0 || pinned, std::memory_order_relaxed);
}

// Counts the point and decides whether it runs work. Kernel mutex held.
bool takeLocked(PreemptionState& st, PreemptionPoint point, bool& pinned) {
  auto i = size_t(point);
  uint64_t passed = ++st.stats.passed[i];
  if (st.pinnedAt[i] == passed) {
    pinned = true;
    st.pinnedAt[i] = 0;
    rearmLocked(st);
    return true;
  }
  return st.percent && st.random() % 100 < st.percent;
}

// Moves the clock to the next timer or device event when it is due within a
// quantum, so that it runs here. Kernel mutex held.
bool moveClockToNextInterruptLocked(Kernel& k) {
  int64_t now = nowLocked(k);
  for (auto& [key, item] : k.timeline) {
    if (key.due - now > kLongestClockMove100ns) return false;
    if (!item.timer && !item.deviceEvent) continue;
    k.virtualNow.store(std::max(now, key.due));
    return true;
  }
  return false;
}

}  // namespace

void resetPreemption(uint64_t seed, unsigned percent) {
  PreemptionState& st = state();
  Lock lock(kernel().mutex);
  st.percent = std::min(percent, 100u);
  st.random.seed(seed ^ 0x70726565ull);
  st.pinnedAt = {};
  st.stats = {};
  rearmLocked(st);
}

void takePreemptionPoint(PreemptionPoint point) {
  PreemptionState& st = state();
  Kernel& k = kernel();
  if (k.options.mode != Mode::Deterministic || preempting || heldSpinLocks() || KeGetCurrentIrql() > DISPATCH_LEVEL)
    return;
  Lock lock(k.mutex);
  bool pinned = false;
  if (!takeLocked(st, point, pinned)) return;
  ++st.stats.taken;
  struct Preempting {
    Preempting() { preempting = true; }
    ~Preempting() { preempting = false; }
  } guard;
  int budget = kMostItemsPerPoint;
  // Below DISPATCH_LEVEL this processor takes interrupts: timers expire and
  // devices complete here. At DISPATCH_LEVEL only other processors' DPCs run.
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    bool ran = false;
    while (budget-- > 0 && runTimedItemLocked(lock, TimedRun::Interrupts)) ran = true;
    // A pinned point always lets the thread be preempted long enough.
    if (!ran && (pinned || st.random() % 2) && moveClockToNextInterruptLocked(k)) {
      ++st.stats.clockMoves;
      while (budget-- > 0 && runTimedItemLocked(lock, TimedRun::Interrupts)) {
      }
    }
  }
  while (budget-- > 0 && runQueuedDpcLocked(lock)) {
  }
}

}  // namespace sim::detail

namespace sim::preemption {

void pin(PreemptionPoint point, uint64_t nth) {
  if (nth == 0) throw std::invalid_argument("sim::preemption::pin: points are counted from 1");
  detail::PreemptionState& st = detail::state();
  detail::Lock lock(detail::kernel().mutex);
  st.pinnedAt[size_t(point)] = st.stats.passed[size_t(point)] + nth;
  detail::rearmLocked(st);
}

Stats stats() {
  detail::Lock lock(detail::kernel().mutex);
  return detail::state().stats;
}

}  // namespace sim::preemption
