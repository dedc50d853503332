// Simulated platform, internal: the kernel's shared tables and the helpers the
// sim's source files use among themselves. Not seen by drivers or tests.
//
// One mutex (the dispatcher lock) guards every table below. It is never held
// while driver code runs: DPCs, work items, completion, cancel and dispatch
// routines are always called after it is released.
#pragma once

#include "free_lists.h"
#include "node_pool.h"
#include "sim/app.h"
#include "timed_action.h"

#include <atomic>
#include <compare>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

namespace sim::detail {
// Where a device node stands, as far as admitting a create goes.
enum class DevnodeState { Started, QueryStopGranted, Stopped, QueryRemoveGranted, SurpriseRemoved, Removed };
}  // namespace sim::detail

struct _IO_WORKITEM {
  PDEVICE_OBJECT deviceObject;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
  bool queued;
};

// The I/O manager's per-device record, reached through DeviceObjectExtension.
struct _DEVOBJ_EXTENSION {
  CSHORT Type;
  USHORT Size;
  PDEVICE_OBJECT DeviceObject;
  PDEVICE_OBJECT AttachedTo;  // the device this one is attached on top of
  DEVICE_POWER_STATE powerState;  // as last told with PoSetPowerState
  bool deletePending = false;      // IoDeleteDevice came while handles were open
  // The physical device object of the device node the device belongs to: a
  // PDO's own, or the one whose AddDevice created it (a named device object
  // beside the stack included). Null for devices made outside AddDevice.
  PDEVICE_OBJECT devnode = nullptr;
  // A PDO's Plug and Play state, as the requests that reached the bus left it.
  sim::detail::DevnodeState pnpState{};
};

namespace app {
// The I/O manager's record of an application request.
struct RequestState {
  PIRP irp = nullptr;  // null once completed and freed
  Result result;
  // Set last, with release order, once the result and output are final, so
  // that Request::done() reads it without the kernel mutex.
  std::atomic<bool> done{false};
  bool returnedPending = false;  // the top dispatch routine returned STATUS_PENDING
  bool markedPending = false;    // the IRP came back marked pending (recorded at completion)
  bool copyBack = false;         // buffered read or device control: copy SystemBuffer out
  void* systemBuffer = nullptr;
  ULONG outputLength = 0;
  std::vector<uint8_t> input;   // what METHOD_NEITHER and unbuffered writes point at
  std::vector<uint8_t> output;  // the caller's output buffer
  int cancelsInProgress = 0;    // IoCancelIrp calls that still touch the IRP
  bool freeDeferred = false;
  UCHAR majorFunction = 0;       // of the top stack location, kept for the I/O manager's finish
  UCHAR minorFunction = 0;
  PFILE_OBJECT file = nullptr;   // the file object the request holds a reference on
  std::thread::id thread;        // the application thread that issued it
  uint64_t completionOrder = 0;  // Request::completionOrder
  // A request that never finished (a verifier stop, then a reboot) still frees its buffer.
  ~RequestState() { std::free(systemBuffer); }
};
}  // namespace app

namespace sim::detail {

using Lock = std::unique_lock<std::mutex>;

struct PoolBlock {
  ULONG tag;
  POOL_TYPE type;
  size_t size;
};

enum class IrpOwner { Driver, IoManager, PowerManager };

// A file object the I/O manager knows: open, or closed by its handle and
// waiting for its last request before IRP_MJ_CLOSE goes down.
struct FileRecord {
  PDEVICE_OBJECT top = nullptr;  // the top of the stack its requests go to
  unsigned requests = 0;         // application requests of the file object not yet finished
  bool closePending = false;     // the handle is closed; IRP_MJ_CLOSE waits for requests to reach 0
};

struct IrpRecord {
  IrpOwner owner;
  std::shared_ptr<app::RequestState> request;  // IoManager IRPs only
  // PowerManager IRPs only: what the power manager does once the IRP has
  // completed (calls the requester's completion function, frees the IRP).
  // Called with the kernel mutex released.
  std::function<void(PIRP)> finish;
};

// What the I/O manager keeps just before every IRP it allocates, in the same
// host block: whether the IRP is live, and its entry in the IRP table (which
// never moves), so that the calls made for every request check the IRP
// without a table lookup or the kernel mutex.
struct IrpHeader {
  static constexpr uint32_t kLive = 0x21505249;   // "IRP!"
  static constexpr uint32_t kFreed = 0x45455246;  // "FREE"
  std::atomic<uint32_t> state;
  IrpRecord* record;
};
static_assert(sizeof(IrpHeader) == 16, "the IRP after its header stays 16-byte aligned");
inline IrpHeader* headerOf(PIRP irp) { return reinterpret_cast<IrpHeader*>(irp) - 1; }

// An item on the time line: a timer's expiry or a scheduled action. Items run
// in order of due; timers expiring on one tick in order of their own due times,
// as the platform's timer list keeps them; ties in the order they were set.
struct TimedKey {
  int64_t due;        // when it runs: a timer's tick, an action's exact time
  int64_t requested;  // a timer's own due time; an action's is due
  uint64_t sequence;
  auto operator<=>(const TimedKey&) const = default;
};

struct TimedItem {
  PKTIMER timer = nullptr;
  TimedAction action;
  // A device's doing (a bus completion, a late answer): it never waits, so it
  // may also run at a preemption point, between two steps of another thread.
  bool deviceEvent = false;
};

struct Kernel {
  BootOptions options;
  std::mutex mutex;
  std::condition_variable changed;  // any state a waiter may be waiting for
  // The workers' own: a DPC, work item or time-line item was queued, or they
  // are to stop. One wakes per item, not every waiter in the system.
  std::condition_variable work;
  // Moved on with every notification of `changed`, under the mutex: a waiter
  // whose predicate ran with the mutex released sees a change it would
  // otherwise have slept through.
  std::atomic<uint64_t> changeEpoch{0};
  bool running = false;
  bool stopping = false;
  std::vector<std::thread> workers;

  // time
  // Written under the mutex; atomic so that sim::now() reads it without taking the mutex.
  std::atomic<int64_t> virtualNow{0};
  std::chrono::steady_clock::time_point bootTime;
  uint64_t sequence = 0;
  NodePool timelineNodes;  // before the table it serves
  std::map<TimedKey, TimedItem, std::less<TimedKey>, PooledAllocator<std::pair<const TimedKey, TimedItem>>> timeline{
      PooledAllocator<std::pair<const TimedKey, TimedItem>>(timelineNodes)};
  std::unordered_map<PKTIMER, TimedKey> timers;

  // deferred work
  std::deque<PKDPC> dpcs;
  // !dpcs.empty(), kept with every change to dpcs: drainDpcs, called on every
  // drop below DISPATCH_LEVEL, reads it without taking the mutex.
  std::atomic<bool> dpcsQueued{false};
  std::deque<PIO_WORKITEM> workQueue;
  std::set<PIO_WORKITEM> workItems;
  // The objects threads are blocked on in KeWaitForSingleObject, one entry
  // per waiting thread: re-initialising one corrupts its wait list.
  std::vector<const void*> waitedObjects;

  // executive
  std::unordered_map<void*, PoolBlock> pool;
  std::deque<std::pair<void*, size_t>> poolQuarantine;  // freed blocks kept poisoned a while (Quarantine)
  FreeLists poolFreeLists;  // freed blocks by host size, for the next allocation (Reuse)
  uint64_t faultCounter = 0;
  uint64_t faultAt = 0;
  bool faultFired = false;

  // I/O manager
  std::unordered_map<PIRP, IrpRecord> irps;
  std::deque<PIRP> irpQuarantine;  // Quarantine
  FreeLists irpFreeLists;          // Reuse
  KSPIN_LOCK cancelSpinLock = 0;
  std::map<std::u16string, PDEVICE_OBJECT> deviceNames;  // folded name
  std::unordered_map<PDEVICE_OBJECT, std::u16string> namesOfDevices;
  std::map<std::u16string, std::u16string> symbolicLinks;  // folded link name -> target
  std::map<std::u16string, PDRIVER_OBJECT> drivers;        // folded \Driver\ name
  std::unordered_map<PFILE_OBJECT, FileRecord> files;
  uint64_t requestsCompleted = 0;  // application requests, since boot

  // object manager: references taken with ObReferenceObjectByName and not yet
  // dropped, by object (each object also holds its base reference)
  std::unordered_map<const void*, LONG_PTR> objectReferences;

  // platform
  UCHAR wdmMajor = 6;
  UCHAR wdmMinor = 0x30;
  std::vector<std::string> debugLog;
  bool abortOnStop = false;
};

// The one kernel. Inline, so the hot paths reach it without a call.
inline Kernel& kernel() {
  static Kernel k;
  return k;
}

// Wakes every thread waiting for a change of kernel state. Mutex held.
inline void announceChangeLocked(Kernel& k) {
  k.changeEpoch.fetch_add(1, std::memory_order_release);
  k.changed.notify_all();
}

// The system time at boot: 2026-01-01T00:00:00Z in 100 ns units since 1601.
constexpr int64_t kBootSystemTime = 134114112000000000LL;

// ---- scheduling (scheduler.cpp) ----
// The time since boot. Reads no table: callable with or without the mutex.
int64_t nowLocked(Kernel& k);
bool isWaitedOnLocked(Kernel& k, const void* object);
// The tick a kernel timer due at `due` (time since boot) expires on: the first
// multiple of the time increment at or after it; now when it is already due.
int64_t timerExpiryLocked(Kernel& k, int64_t due);
void insertTimedLocked(Kernel& k, TimedKey key, TimedItem item, PKTIMER timer);
BOOLEAN insertDpcLocked(Kernel& k, PKDPC dpc, PVOID arg1, PVOID arg2);
// Deterministic mode: runs queued DPCs on this thread (when IRQL drops below DISPATCH_LEVEL).
void drainDpcs();
// Runs the DPC at the head of the queue, with the lock released while it
// runs. False when none is queued.
bool runQueuedDpcLocked(Lock& lock);
enum class TimedRun { Any, Interrupts };
// Runs the first time-line item already due (Interrupts: the first timer
// expiry or device event), with the lock released while an action runs. A
// timer's expiry queues its DPC. False when nothing eligible is due.
bool runTimedItemLocked(Lock& lock, TimedRun which);
// Puts an action on the time line delay100ns from now; a device event may
// also run at preemption points.
void scheduleAction(int64_t delay100ns, TimedAction action, bool deviceEvent);
// A point where the platform can interleave other processors' work with this
// thread's (preemption.cpp): in Deterministic mode, a random draw or a pin
// decides whether queued DPCs, due timers and device events run here.
// Set while a percentage or a pin is in force; points look no further otherwise.
extern std::atomic<bool> preemptionArmed;
void takePreemptionPoint(sim::PreemptionPoint point);
inline void preemptionPoint(sim::PreemptionPoint point) {
  if (preemptionArmed.load(std::memory_order_relaxed)) takePreemptionPoint(point);
}
void resetPreemption(uint64_t seed, unsigned percent);
// Blocks until pred() (evaluated under the kernel lock) holds or the absolute
// deadline passes; runs the kernel loop in Deterministic mode.
bool waitLocked(Lock& lock, const std::function<bool()>& pred, std::optional<int64_t> deadline,
                const char* what);
void checkNoQueuedObjectsIn(Kernel& k, const void* begin, size_t size, const char* freeingCall);
void startWorkers(Kernel& k);
void stopWorkers(Kernel& k);

// ---- IRQL and locks (irql.cpp) ----
void setIrql(KIRQL irql);
size_t heldSpinLocks();
bool holdsSpinLock(PKSPIN_LOCK lock);
void resetThreadState();

// ---- faults (pool.cpp) ----
bool injectFailure();  // counts one fallible allocation; true when it must fail
bool injectFailureLocked(Kernel& k);  // the same, kernel mutex held
void freeAllPool(Kernel& k);

// ---- I/O manager (iomgr_*.cpp) ----
PIRP allocateIrp(CCHAR stackSize, IrpOwner owner);
void freeIrpLocked(Kernel& k, PIRP irp);
// The rule a dispatch routine breaks by marking a request pending and returning a final status.
extern const char* const kMarkedPendingReturnedFinal;
// The stack location of an IRP in flight to the device: one of the locations
// from the IRP's current one up to the top driver's that names the device. The
// remove request a device is deleted in does not count. Null when none.
const IO_STACK_LOCATION* inFlightLocationForLocked(Kernel& k, PDEVICE_OBJECT device);
std::u16string fold(const std::u16string& s);
std::u16string toU16(PCUNICODE_STRING s);
std::u16string toU16(PCWSTR s);
PDEVICE_OBJECT resolveDeviceName(const std::u16string& name);
void freeAllObjects(Kernel& k);
NTSTATUS invalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);
// IofCallDriver under another call's name (PoCallDriver): checks, moves to the
// next stack location and calls the device's dispatch routine. Power IRPs go
// through the power manager (presentPowerIrp).
NTSTATUS callDriverAs(const char* call, PDEVICE_OBJECT deviceObject, PIRP irp);
// Calls the dispatch routine of the device for the IRP's current stack location.
NTSTATUS dispatchCurrentLocation(PDEVICE_OBJECT deviceObject, PIRP irp);
// Stops when an object about to be freed still holds references taken by name.
// Kernel mutex held.
void checkUnreferencedLocked(Kernel& k, const void* object, const char* freeingCall);
// IoCreateDevice without fault injection, for the simulation's own devices.
NTSTATUS createDeviceObject(PDRIVER_OBJECT driverObject, ULONG extensionSize, PUNICODE_STRING deviceName,
                            DEVICE_TYPE deviceType, ULONG characteristics, BOOLEAN exclusive,
                            PDEVICE_OBJECT* deviceObject);

// ---- application I/O (app.cpp) ----
// An application request of the file object has finished: when the handle is
// closed and this was its last request, IRP_MJ_CLOSE is scheduled (it goes
// down at PASSIVE_LEVEL from a kernel thread). Kernel mutex held.
void fileRequestFinishedLocked(Kernel& k, PFILE_OBJECT file);

// ---- power manager (power.cpp) ----
void resetPower();
// The trip of a power IRP to the next device (IofCallDriver and PoCallDriver
// come here): the verifier's check on the driver passing it on, then the
// power manager's serialization per device object.
NTSTATUS presentPowerIrp(const char* call, PDEVICE_OBJECT deviceObject, PIRP irp);
// A power IRP leaves the driver whose stack location is current (completed
// with IofCompleteRequest, or passed up by a completion routine): stops when
// that driver has not called PoStartNextPowerIrp for a query or set request.
// Does nothing for other IRPs.
void checkPowerIrpLeaves(const char* call, PIRP irp, const char* how);
// Drops the power manager's record of an IRP being freed. Kernel mutex held.
void forgetPowerIrpLocked(Kernel& k, PIRP irp);

// ---- Plug and Play (pnp.cpp, device_interfaces.cpp) ----
void resetPnp();
// A handle on a device has closed: frees a device whose deletion waited for
// its last handle, and lets the Plug and Play manager send a removal that
// waited for the stack's handles. PASSIVE_LEVEL, kernel mutex not held.
void handleClosed(PDEVICE_OBJECT device);
// Frees a delete-pending device object once no handle refers to it.
void releaseDeletedDevice(PDEVICE_OBJECT device);
bool isRemovedPhysicalDevice(PDEVICE_OBJECT device);
bool isPhysicalDevice(PDEVICE_OBJECT device);
// The PDOs on the simulated bus, in the order they were plugged.
std::vector<PDEVICE_OBJECT> physicalDeviceList();
void resetDeviceInterfaces();
// Disables every interface of a PDO that is going away.
void disableDeviceInterfacesOf(PDEVICE_OBJECT pdo);
// The symbolic link names of the interfaces still enabled.
std::vector<std::u16string> enabledDeviceInterfaces();

// The PDO whose AddDevice runs on this thread, or null (device objects
// created meanwhile belong to its device node).
PDEVICE_OBJECT deviceNodeBeingAdded();
// Why a create may not be admitted on the device (its device node has a
// granted query-stop or query-remove, or is stopped or removed); null when it
// may. Kernel mutex held.
const char* createRefusalLocked(PDEVICE_OBJECT device);

// ---- registry (registry.cpp) ----
void resetRegistry();
// Opens an existing key by absolute path, as ZwOpenKey does; null when it does not exist.
HANDLE openKeyHandle(const std::u16string& path);

// ---- the kernel stack (stack_depth.cpp) ----
// Marks where driver code begins on this thread's stack, for as long as it
// lives. freshStack: the platform runs this code on a stack of its own (a
// DPC, a work item, a device event); otherwise the outermost mark stays.
class KernelStackEntry {
 public:
  explicit KernelStackEntry(bool freshStack);
  ~KernelStackEntry();
  KernelStackEntry(const KernelStackEntry&) = delete;
  KernelStackEntry& operator=(const KernelStackEntry&) = delete;

 private:
  const char* saved_;
};
// Where this thread's current kernel stack begins (null outside driver
// code), and the deepest chain measured below such a mark.
extern __thread const char* kernelStackBase;
extern __thread size_t deepestKernelStackBytes;
[[noreturn]] void kernelStackOverflow(const char* call, size_t used);
size_t kernelStackLimitBytes();
// Stops when the call chain below this thread's mark is deeper than the
// platform's kernel stack. Called by the kernel calls drivers make often, so
// inline: it measures at its caller's frame.
inline void checkKernelStack(const char* call) {
  const char* base = kernelStackBase;
  if (!base) return;
  // The frame address, not a local's: under AddressSanitizer locals may live
  // on a heap-allocated fake stack.
  const char* here = static_cast<const char*>(__builtin_frame_address(0));
  // The stack grows down; a frame above the base belongs to another entry.
  if (here > base) return;
  size_t used = size_t(base - here);
  if (used <= deepestKernelStackBytes) return;
  deepestKernelStackBytes = used;
  if (used > kernelStackLimitBytes()) kernelStackOverflow(call, used);
}

// Formats a verifier message and stops.
[[noreturn]] void stop(const char* call, const std::string& rule);
// The same for a fixed rule: out of line and cold, so that the checks on hot
// paths build no string and their callers keep a light frame.
[[noreturn, gnu::cold, gnu::noinline]] void stop(const char* call, const char* rule);

}  // namespace sim::detail
