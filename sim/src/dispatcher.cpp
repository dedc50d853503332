// Simulated platform: IRQL, spin locks, events and waits. IRQL and the spin
// locks held are tracked per thread, so the verifier can stop a wait at
// DISPATCH_LEVEL, a lock released out of order, or a completion made while a
// lock is held.
#include "kernel.h"

#include <algorithm>

namespace sim::detail {

namespace {

thread_local KIRQL currentIrql = PASSIVE_LEVEL;
// The spin locks this thread holds, in the order taken. Plain thread-local
// storage (no constructor), so reaching it on every lock call costs no
// initialisation check.
constexpr size_t kMaxHeldLocks = 32;
struct HeldLocks {
  PKSPIN_LOCK locks[kMaxHeldLocks];
  size_t count;
  bool empty() const { return count == 0; }
  PKSPIN_LOCK back() const { return locks[count - 1]; }
  bool contains(PKSPIN_LOCK lock) const {
    for (size_t i = count; i > 0; --i)
      if (locks[i - 1] == lock) return true;
    return false;
  }
};
thread_local HeldLocks heldLocks;
thread_local char threadToken;  // its address identifies the owning thread

KSPIN_LOCK ownerValue() { return reinterpret_cast<KSPIN_LOCK>(&threadToken); }

bool isSignalled(PVOID object) {
  auto header = static_cast<DISPATCHER_HEADER*>(object);
  return header->SignalState != 0;
}

void checkWaitable(PVOID object) {
  auto type = static_cast<DISPATCHER_HEADER*>(object)->Type;
  if (type != EventNotificationObject && type != EventSynchronizationObject && type != TimerNotificationObject &&
      type != TimerSynchronizationObject)
    stop("KeWaitForSingleObject", "object is not an initialised event or timer");
}

// The contended case, out of line so that the uncontended acquire stays light.
__attribute__((noinline)) void spinUntilAcquired(PKSPIN_LOCK lock) {
  KSPIN_LOCK expected = 0;
  while (!__atomic_compare_exchange_n(lock, &expected, ownerValue(), false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
    if (kernel().options.mode == sim::Mode::Deterministic)
      stop("KeAcquireSpinLock", "spin lock is held by a context that is not running (deadlock)");
    expected = 0;
    std::this_thread::yield();
  }
}

[[noreturn, gnu::cold, gnu::noinline]] void tooManySpinLocks(PKSPIN_LOCK lock) {
  __atomic_store_n(lock, KSPIN_LOCK(0), __ATOMIC_RELEASE);
  stop("KeAcquireSpinLock", "holds more than " + std::to_string(kMaxHeldLocks) + " spin locks at once");
}

}  // namespace

void setIrql(KIRQL irql) { currentIrql = irql; }
size_t heldSpinLocks() { return heldLocks.count; }
bool holdsSpinLock(PKSPIN_LOCK lock) { return heldLocks.contains(lock); }
void resetThreadState() {
  currentIrql = PASSIVE_LEVEL;
  heldLocks.count = 0;
}

}  // namespace sim::detail

using namespace sim::detail;

extern "C" {

KIRQL KeGetCurrentIrql(void) { return currentIrql; }

void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
  if (newIrql < currentIrql) stop("KeRaiseIrql", "new IRQL is below the current IRQL");
  *oldIrql = currentIrql;
  currentIrql = newIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

void KeLowerIrql(KIRQL newIrql) {
  if (newIrql > currentIrql) stop("KeLowerIrql", "new IRQL is above the current IRQL");
  if (newIrql < DISPATCH_LEVEL && !heldLocks.empty())
    stop("KeLowerIrql", "lowers IRQL below DISPATCH_LEVEL while a spin lock is held");
  currentIrql = newIrql;
  if (newIrql < DISPATCH_LEVEL) {
    drainDpcs();
    preemptionPoint(sim::PreemptionPoint::IrqlLowered);
  }
}

void SimPagedCodeCheck(const char* function) {
  if (currentIrql > APC_LEVEL) stop(function, "pageable code (PAGED_CODE) runs at DISPATCH_LEVEL or above");
}

void KeInitializeSpinLock(PKSPIN_LOCK lock) { *lock = 0; }

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
  checkKernelStack("KeAcquireSpinLock");
  if (currentIrql < DISPATCH_LEVEL) stop("KeAcquireSpinLockAtDpcLevel", "called below DISPATCH_LEVEL");
  if (holdsSpinLock(lock)) stop("KeAcquireSpinLock", "acquires a spin lock this thread already holds (deadlock)");
  KSPIN_LOCK expected = 0;
  if (!__atomic_compare_exchange_n(lock, &expected, ownerValue(), false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
    spinUntilAcquired(lock);
  if (heldLocks.count == kMaxHeldLocks) tooManySpinLocks(lock);
  heldLocks.locks[heldLocks.count++] = lock;
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
  if (currentIrql > DISPATCH_LEVEL) stop("KeAcquireSpinLock", "called above DISPATCH_LEVEL");
  KIRQL old = currentIrql;
  currentIrql = DISPATCH_LEVEL;
  KeAcquireSpinLockAtDpcLevel(lock);
  return old;
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
  // The usual case, the last lock taken, needs no search.
  if (heldLocks.empty() || (heldLocks.back() != lock && !holdsSpinLock(lock)))
    stop("KeReleaseSpinLock", "releases a spin lock this thread does not hold");
  if (heldLocks.back() != lock) stop("KeReleaseSpinLock", "releases spin locks out of order");
  if (currentIrql < DISPATCH_LEVEL) stop("KeReleaseSpinLock", "spin lock held below DISPATCH_LEVEL");
  --heldLocks.count;
  __atomic_store_n(lock, KSPIN_LOCK(0), __ATOMIC_RELEASE);
  preemptionPoint(sim::PreemptionPoint::SpinLockReleased);
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
  KeReleaseSpinLockFromDpcLevel(lock);
  KeLowerIrql(newIrql);
}

void IoAcquireCancelSpinLock(PKIRQL irql) { *irql = KeAcquireSpinLockRaiseToDpc(&kernel().cancelSpinLock); }

void IoReleaseCancelSpinLock(KIRQL irql) { KeReleaseSpinLock(&kernel().cancelSpinLock, irql); }

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  {
    Kernel& k = kernel();
    Lock lock(k.mutex);
    if (isWaitedOnLocked(k, event)) stop("KeInitializeEvent", "re-initialises an event that a thread is waiting on");
  }
  *event = KEVENT{};
  event->Header.Type = type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
  event->Header.SignalState = state ? 1 : 0;
  InitializeListHead(&event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN wait) {
  if (wait) stop("KeSetEvent", "Wait = TRUE is not implemented by the simulation");
  if (currentIrql > DISPATCH_LEVEL) stop("KeSetEvent", "called above DISPATCH_LEVEL");
  Kernel& k = kernel();
  LONG previous;
  {
    Lock lock(k.mutex);
    previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    announceChangeLocked(k);
  }
  preemptionPoint(sim::PreemptionPoint::EventSet);
  return previous;
}

void KeClearEvent(PRKEVENT event) {
  Lock lock(kernel().mutex);
  event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT event) {
  Lock lock(kernel().mutex);
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT event) {
  Lock lock(kernel().mutex);
  return event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout) {
  checkWaitable(object);
  bool zeroTimeout = timeout && timeout->QuadPart == 0;
  if (currentIrql > DISPATCH_LEVEL || (currentIrql == DISPATCH_LEVEL && !zeroTimeout))
    stop("KeWaitForSingleObject", "waits at DISPATCH_LEVEL or above with a non-zero timeout");
  if (!heldLocks.empty()) stop("KeWaitForSingleObject", "waits while holding a spin lock");
  Kernel& k = kernel();
  Lock lock(k.mutex);
  std::optional<int64_t> deadline;
  if (timeout) {
    int64_t now = nowLocked(k);
    deadline = timeout->QuadPart <= 0 ? now - timeout->QuadPart : timeout->QuadPart - kBootSystemTime;
  }
  auto header = static_cast<DISPATCHER_HEADER*>(object);
  bool satisfied;
  if (zeroTimeout) {
    satisfied = isSignalled(object);
  } else {
    // The object counts as waited on until the wait ends, however it ends
    // (a verifier stop inside the wait leaves with the mutex released).
    k.waitedObjects.push_back(object);
    struct Waiting {
      Kernel& k;
      Lock& lock;
      const void* object;
      ~Waiting() {
        if (!lock.owns_lock()) lock.lock();
        auto it = std::find(k.waitedObjects.begin(), k.waitedObjects.end(), object);
        if (it != k.waitedObjects.end()) k.waitedObjects.erase(it);
      }
    } waiting{k, lock, object};
    satisfied = waitLocked(lock, [&] { return isSignalled(object); }, deadline, "KeWaitForSingleObject");
  }
  if (!satisfied) return STATUS_TIMEOUT;
  if (header->Type == EventSynchronizationObject || header->Type == TimerSynchronizationObject)
    header->SignalState = 0;
  return STATUS_SUCCESS;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
  if (currentIrql > APC_LEVEL) stop("KeDelayExecutionThread", "called above APC_LEVEL");
  if (!heldLocks.empty()) stop("KeDelayExecutionThread", "sleeps while holding a spin lock");
  if (interval->QuadPart > 0) stop("KeDelayExecutionThread", "absolute intervals are not implemented by the simulation");
  Kernel& k = kernel();
  Lock lock(k.mutex);
  int64_t deadline = nowLocked(k) - interval->QuadPart;
  waitLocked(lock, [] { return false; }, deadline, "KeDelayExecutionThread");
  return STATUS_SUCCESS;
}

}  // extern "C"
