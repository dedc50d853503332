// Simulated platform: the kernel's scheduler. Owns the clock, the time line of
// timers (which expire on the clock tick) and scheduled device events, the DPC
// queue and the work queue, and runs them: from one loop ordered by virtual
// time (Deterministic mode) or on worker threads in real time (Concurrent mode).
// The kernel calls that feed these queues are in deferred_calls.cpp.
#include "kernel.h"

#include <algorithm>
#include <string_view>

namespace sim::detail {

int64_t nowLocked(Kernel& k) {
  if (k.options.mode == Mode::Deterministic) return k.virtualNow.load(std::memory_order_relaxed);
  auto elapsed = std::chrono::steady_clock::now() - k.bootTime;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

int64_t timerExpiryLocked(Kernel& k, int64_t due) {
  int64_t now = nowLocked(k);
  if (due <= now) return now;
  int64_t tick = k.options.timeIncrement100ns;
  int64_t roundedUp;
  // A due time at the end of the clock never comes: it stays there.
  if (__builtin_add_overflow(due, tick - 1, &roundedUp)) return due;
  return roundedUp / tick * tick;
}

void insertTimedLocked(Kernel& k, TimedKey key, TimedItem item, PKTIMER timer) {
  key.sequence = ++k.sequence;
  if (timer) k.timers[timer] = key;
  k.timeline.emplace(key, std::move(item));
  k.work.notify_one();
}

BOOLEAN insertDpcLocked(Kernel& k, PKDPC dpc, PVOID arg1, PVOID arg2) {
  if (dpc->DpcData) return FALSE;  // already queued: it runs once
  dpc->SystemArgument1 = arg1;
  dpc->SystemArgument2 = arg2;
  dpc->DpcData = dpc;
  k.dpcs.push_back(dpc);
  k.dpcsQueued.store(true, std::memory_order_relaxed);
  k.work.notify_one();
  return TRUE;
}

namespace {

void runDpc(PKDPC dpc, PVOID arg1, PVOID arg2) {
  KernelStackEntry stack(true);  // DPCs run on a stack of their own
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  dpc->DeferredRoutine(dpc, dpc->DeferredContext, arg1, arg2);
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) stop("DPC routine", "returned at an IRQL other than DISPATCH_LEVEL");
  if (heldSpinLocks() != 0) stop("DPC routine", "returned holding a spin lock");
  setIrql(old);
}

void runWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PVOID context) {
  KernelStackEntry stack(true);  // a system worker thread's
  routine(item->deviceObject, context);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) stop("work item routine", "returned at raised IRQL");
  if (heldSpinLocks() != 0) stop("work item routine", "returned holding a spin lock");
}

bool runWorkItemLocked(Lock& lock) {
  Kernel& k = kernel();
  if (k.workQueue.empty()) return false;
  PIO_WORKITEM item = k.workQueue.front();
  k.workQueue.pop_front();
  item->queued = false;
  PIO_WORKITEM_ROUTINE routine = item->routine;
  PVOID context = item->context;
  lock.unlock();
  runWorkItem(item, routine, context);
  lock.lock();
  return true;
}

// Takes one ready item off the queues and runs it with the lock released.
// Order: DPCs, then work items, then time-line items already due.
bool runOneReady(Lock& lock) {
  return runQueuedDpcLocked(lock) || runWorkItemLocked(lock) || runTimedItemLocked(lock, TimedRun::Any);
}

}  // namespace

bool runQueuedDpcLocked(Lock& lock) {
  Kernel& k = kernel();
  if (k.dpcs.empty()) return false;
  PKDPC dpc = k.dpcs.front();
  k.dpcs.pop_front();
  k.dpcsQueued.store(!k.dpcs.empty(), std::memory_order_relaxed);
  dpc->DpcData = nullptr;
  PVOID a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
  lock.unlock();
  runDpc(dpc, a1, a2);
  lock.lock();
  return true;
}

bool runTimedItemLocked(Lock& lock, TimedRun which) {
  Kernel& k = kernel();
  int64_t now = nowLocked(k);
  auto it = k.timeline.begin();
  // Only timers and device events may run between two steps of a thread:
  // other actions may wait, as a kernel thread of their own would.
  if (which == TimedRun::Interrupts)
    while (it != k.timeline.end() && it->first.due <= now && !it->second.timer && !it->second.deviceEvent) ++it;
  if (it == k.timeline.end() || it->first.due > now) return false;
  auto node = k.timeline.extract(it);
  TimedItem& item = node.mapped();
  if (item.timer) {
    PKTIMER timer = item.timer;
    k.timers.erase(timer);
    timer->Header.Inserted = 0;
    timer->Header.SignalState = 1;
    announceChangeLocked(k);
    if (timer->Dpc) insertDpcLocked(k, timer->Dpc, nullptr, nullptr);
    return true;
  }
  lock.unlock();
  {
    KernelStackEntry stack(true);  // a device event: the bus's completion DPC
    item.action();
  }
  lock.lock();
  return true;
}

namespace {

thread_local bool drainingDpcs = false;

void workerMain() {
  Kernel& k = kernel();
  setIrql(PASSIVE_LEVEL);
  Lock lock(k.mutex);
  while (!k.stopping) {
    if (runOneReady(lock)) continue;
    if (k.timeline.empty()) {
      k.work.wait(lock);
    } else {
      int64_t wait100ns = k.timeline.begin()->first.due - nowLocked(k);
      k.work.wait_for(lock, std::chrono::nanoseconds(wait100ns * 100));
    }
  }
}

}  // namespace

void drainDpcs() {
  Kernel& k = kernel();
  if (k.options.mode != Mode::Deterministic || drainingDpcs) return;
  // A DPC this thread queued is seen here; none queued is the usual case.
  if (!k.dpcsQueued.load(std::memory_order_relaxed)) return;
  // Cleared on every exit: a verifier stop inside a DPC must not leave this
  // thread unable to drain DPCs after the next boot.
  struct Draining {
    Draining() { drainingDpcs = true; }
    ~Draining() { drainingDpcs = false; }
  } draining;
  Lock lock(k.mutex);
  while (runQueuedDpcLocked(lock)) {
  }
}

bool isWaitedOnLocked(Kernel& k, const void* object) {
  return std::find(k.waitedObjects.begin(), k.waitedObjects.end(), object) != k.waitedObjects.end();
}

bool waitLocked(Lock& lock, const std::function<bool()>& pred, std::optional<int64_t> deadline, const char* what) {
  Kernel& k = kernel();
  if (k.options.mode == Mode::Concurrent) {
    for (;;) {
      // pred may run with the mutex released (sim::runUntil's does): a change
      // announced meanwhile moved the epoch, and the wait would miss it.
      uint64_t seen = k.changeEpoch.load(std::memory_order_acquire);
      if (pred()) return true;
      if (k.changeEpoch.load(std::memory_order_acquire) != seen) continue;
      int64_t left100ns = deadline ? *deadline - nowLocked(k) : 10'000;
      if (left100ns <= 0) return pred();
      k.changed.wait_for(lock, std::chrono::nanoseconds(std::min<int64_t>(left100ns, 10'000) * 100));
    }
  }
  for (;;) {
    if (pred()) return true;
    if (runOneReady(lock)) continue;
    if (!k.timeline.empty() && (!deadline || k.timeline.begin()->first.due <= *deadline)) {
      k.virtualNow.store(std::max(k.virtualNow.load(), k.timeline.begin()->first.due));
      continue;
    }
    if (deadline) {
      k.virtualNow.store(std::max(k.virtualNow.load(), *deadline));
      return pred();
    }
    lock.unlock();
    stop(what, "deadlock: the wait can never be satisfied (no DPC, work item, timer or device event is pending)");
  }
}

void checkNoQueuedObjectsIn(Kernel& k, const void* begin, size_t size, const char* freeingCall) {
  auto inside = [&](const void* p) {
    auto b = static_cast<const char*>(begin);
    auto q = static_cast<const char*>(p);
    return q >= b && q < b + size;
  };
  for (auto& [timer, key] : k.timers)
    if (inside(timer)) stop(freeingCall, "frees memory that holds a queued timer");
  for (PKDPC dpc : k.dpcs)
    if (inside(dpc)) stop(freeingCall, "frees memory that holds a queued DPC");
  for (PIO_WORKITEM item : k.workQueue)
    if (item->context && inside(item->context)) stop(freeingCall, "frees the context of a queued work item");
}

void startWorkers(Kernel& k) {
  for (unsigned i = 0; i < k.options.workerThreads; ++i) k.workers.emplace_back(workerMain);
}

void stopWorkers(Kernel& k) {
  {
    Lock lock(k.mutex);
    k.stopping = true;
    k.work.notify_all();
  }
  for (auto& t : k.workers) t.join();
  k.workers.clear();
}

}  // namespace sim::detail

using namespace sim::detail;

namespace sim {

Addresses defaultAddresses() {
  const char* mode = std::getenv("TZ_SIM_ADDRESSES");
  if (!mode || std::string_view(mode) == "quarantine") return Addresses::Quarantine;
  if (std::string_view(mode) == "reuse") return Addresses::Reuse;
  throw std::invalid_argument(std::string("TZ_SIM_ADDRESSES must be reuse or quarantine, not ") + mode);
}

void boot(const BootOptions& options) {
  if (options.timeIncrement100ns == 0) throw std::invalid_argument("sim::boot: timeIncrement100ns must be at least 1");
  Kernel& k = kernel();
  if (k.running) shutdown();
  freeAllObjects(k);
  resetPnp();
  resetPower();
  freeAllPool(k);
  resetRegistry();
  resetThreadState();
  {
    Lock lock(k.mutex);
    k.options = options;
    k.stopping = false;
    k.virtualNow = 0;
    k.bootTime = std::chrono::steady_clock::now();
    k.sequence = 0;
    k.timeline.clear();
    k.timers.clear();
    k.dpcs.clear();
    k.dpcsQueued.store(false);
    k.workQueue.clear();
    k.waitedObjects.clear();
    k.faultCounter = k.faultAt = 0;
    k.faultFired = false;
    k.cancelSpinLock = 0;
    k.wdmMajor = 6;
    k.wdmMinor = 0x30;
    k.debugLog.clear();
    k.requestsCompleted = 0;
    k.running = true;
  }
  resetPreemption(options.seed, options.preemptionPercent);
  if (options.mode == Mode::Concurrent) startWorkers(k);
}

void shutdown() {
  Kernel& k = kernel();
  if (!k.running) return;
  stopWorkers(k);
  k.running = false;
}

Mode mode() { return kernel().options.mode; }
uint64_t seed() { return kernel().options.seed; }

int64_t now() {
  // No lock: the virtual clock is atomic, and real time needs none.
  return nowLocked(kernel());
}

void advance(int64_t delta100ns) {
  Kernel& k = kernel();
  if (k.options.mode == Mode::Concurrent) {
    std::this_thread::sleep_for(std::chrono::nanoseconds(delta100ns * 100));
    return;
  }
  Lock lock(k.mutex);
  int64_t deadline = nowLocked(k) + delta100ns;
  waitLocked(lock, [] { return false; }, deadline, "sim::advance");
}

void runReady() {
  Kernel& k = kernel();
  if (k.options.mode == Mode::Concurrent) return;
  Lock lock(k.mutex);
  while (runOneReady(lock)) {
  }
}

bool runUntil(const std::function<bool()>& pred, std::optional<int64_t> deadline100ns) {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  std::optional<int64_t> deadline;
  if (deadline100ns) deadline = nowLocked(k) + *deadline100ns;
  // pred may read kernel state through public calls, so it runs unlocked.
  auto unlockedPred = [&] {
    lock.unlock();
    bool done = pred();
    lock.lock();
    return done;
  };
  return waitLocked(lock, unlockedPred, deadline, "sim::runUntil");
}

void schedule(int64_t delay100ns, std::function<void()> action) { detail::scheduleAction(delay100ns, std::move(action), false); }

void scheduleDeviceEvent(int64_t delay100ns, std::function<void()> action) {
  detail::scheduleAction(delay100ns, std::move(action), true);
}

}  // namespace sim

namespace sim::detail {

void scheduleAction(int64_t delay100ns, TimedAction action, bool deviceEvent) {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  TimedItem item;
  item.action = std::move(action);
  item.deviceEvent = deviceEvent;
  int64_t due = nowLocked(k) + std::max<int64_t>(delay100ns, 0);
  insertTimedLocked(k, TimedKey{due, due, 0}, std::move(item), nullptr);
}

}  // namespace sim::detail
