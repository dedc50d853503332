// Simulated platform: the kernel calls of deferred work and time. DPCs,
// timers (expiring on the clock tick), the system time and work items; the
// scheduler (scheduler.cpp) keeps their queues and runs them.
#include "kernel.h"

using namespace sim::detail;

extern "C" {

void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
  Kernel& k = kernel();
  {
    Lock lock(k.mutex);
    for (PKDPC queued : k.dpcs)
      if (queued == dpc) stop("KeInitializeDpc", "re-initialises a DPC that is still queued");
  }
  *dpc = KDPC{};
  dpc->Type = 0x13;
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = context;
}

BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2) {
  Kernel& k = kernel();
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) stop("KeInsertQueueDpc", "called above DISPATCH_LEVEL");
  if (!dpc->DeferredRoutine) stop("KeInsertQueueDpc", "DPC was never initialised");
  BOOLEAN inserted;
  {
    Lock lock(k.mutex);
    inserted = insertDpcLocked(k, dpc, systemArgument1, systemArgument2);
  }
  // A DPC queued below DISPATCH_LEVEL runs at once, as the DPC interrupt would.
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) drainDpcs();
  return inserted;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC dpc) {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  for (auto it = k.dpcs.begin(); it != k.dpcs.end(); ++it) {
    if (*it == dpc) {
      k.dpcs.erase(it);
      k.dpcsQueued.store(!k.dpcs.empty(), std::memory_order_relaxed);
      dpc->DpcData = nullptr;
      return TRUE;
    }
  }
  return FALSE;
}

void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type) {
  Kernel& k = kernel();
  {
    Lock lock(k.mutex);
    if (k.timers.count(timer)) stop("KeInitializeTimer", "re-initialises a timer that is still queued");
    if (isWaitedOnLocked(k, timer)) stop("KeInitializeTimer", "re-initialises a timer that a thread is waiting on");
  }
  *timer = KTIMER{};
  timer->Header.Type = type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
}

void KeInitializeTimer(PKTIMER timer) { KeInitializeTimerEx(timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG periodMs, PKDPC dpc) {
  Kernel& k = kernel();
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) stop("KeSetTimer", "called above DISPATCH_LEVEL");
  if (timer->Header.Type != TimerNotificationObject && timer->Header.Type != TimerSynchronizationObject)
    stop("KeSetTimer", "timer was never initialised");
  if (periodMs != 0) stop("KeSetTimerEx", "periodic timers are not implemented by the simulation");
  Lock lock(k.mutex);
  BOOLEAN wasPending = FALSE;
  if (auto it = k.timers.find(timer); it != k.timers.end()) {
    k.timeline.erase(it->second);
    k.timers.erase(it);
    wasPending = TRUE;
  }
  int64_t now = nowLocked(k);
  int64_t due;
  // The longest relative due times saturate at the end of the clock.
  if (dueTime.QuadPart >= 0) due = dueTime.QuadPart - kBootSystemTime;
  else if (__builtin_sub_overflow(now, dueTime.QuadPart, &due)) due = INT64_MAX;
  // DueTime keeps the due time asked for, in interrupt time; the timer list
  // holds the tick it expires on.
  timer->DueTime.QuadPart = ULONGLONG(std::max<int64_t>(due, 0));
  timer->Dpc = dpc;
  timer->Period = 0;
  timer->Header.SignalState = 0;
  timer->Header.Inserted = 1;
  TimedItem item;
  item.timer = timer;
  insertTimedLocked(k, TimedKey{timerExpiryLocked(k, due), due, 0}, std::move(item), timer);
  return wasPending;
}

BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) { return KeSetTimerEx(timer, dueTime, 0, dpc); }

BOOLEAN KeCancelTimer(PKTIMER timer) {
  Kernel& k = kernel();
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) stop("KeCancelTimer", "called above DISPATCH_LEVEL");
  Lock lock(k.mutex);
  auto it = k.timers.find(timer);
  if (it == k.timers.end()) return FALSE;
  k.timeline.erase(it->second);
  k.timers.erase(it);
  timer->Header.Inserted = 0;
  return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER timer) {
  Lock lock(kernel().mutex);
  return timer->Header.SignalState != 0;
}

void KeQuerySystemTime(PLARGE_INTEGER currentTime) {
  currentTime->QuadPart = kBootSystemTime + sim::now();
}

ULONGLONG KeQueryInterruptTime(void) { return ULONGLONG(sim::now()); }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency) {
  if (performanceFrequency) performanceFrequency->QuadPart = 10'000'000;
  return LARGE_INTEGER{.QuadPart = sim::now()};
}

ULONG KeQueryTimeIncrement(void) { return kernel().options.timeIncrement100ns; }

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT deviceObject) {
  if (!deviceObject) stop("IoAllocateWorkItem", "called with a null device object");
  if (injectFailure()) return nullptr;
  auto item = new _IO_WORKITEM{deviceObject, nullptr, nullptr, false};
  Kernel& k = kernel();
  Lock lock(k.mutex);
  k.workItems.insert(item);
  return item;
}

void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE, PVOID context) {
  Kernel& k = kernel();
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) stop("IoQueueWorkItem", "called above DISPATCH_LEVEL");
  Lock lock(k.mutex);
  if (!k.workItems.count(item)) stop("IoQueueWorkItem", "work item was freed or never allocated");
  if (item->queued) stop("IoQueueWorkItem", "queues a work item that is already queued");
  item->routine = routine;
  item->context = context;
  item->queued = true;
  k.workQueue.push_back(item);
  k.work.notify_one();
}

void IoFreeWorkItem(PIO_WORKITEM item) {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  if (!k.workItems.count(item)) stop("IoFreeWorkItem", "work item freed twice or never allocated");
  if (item->queued) stop("IoFreeWorkItem", "frees a work item that is still queued");
  k.workItems.erase(item);
  delete item;
}

}  // extern "C"
