// Simulated platform: the control surface of the user-mode kernel, for tests,
// tools and benchmarks. The driver never includes this header.
//
// One kernel per process. boot() starts it in one of two modes:
//  - Deterministic (default): one thread, a virtual clock. DPCs, work items,
//    timers and scheduled device events run from one loop ordered by virtual
//    time (ties by sequence number); the loop runs whenever a thread waits, so
//    a 3-second timeout costs microseconds and replays exactly.
//  - Concurrent: real time; DPCs, work items and scheduled events run on worker
//    threads at once, so ThreadSanitizer sees real races.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

enum class Mode { Deterministic, Concurrent };

// What becomes of freed IRPs and pool blocks.
enum class Addresses {
  // Kept poisoned a while before the host gets them back: a use after free
  // reads garbage, and a freed IRP handed to a kernel call is a verifier stop.
  Quarantine,
  // Handed straight to the next allocation of the same size, last in first
  // out, as the platform's lookaside lists do: a late completion that knows
  // its request by address meets the request that now lives there.
  Reuse,
};
// The mode BootOptions start with: TZ_SIM_ADDRESSES=reuse or =quarantine in
// the environment, Quarantine otherwise (so the suite runs in both).
Addresses defaultAddresses();

// Where the platform can interleave other processors' work with a thread's
// steps. In Deterministic mode such work otherwise runs only when a thread
// waits; at a preemption point a random draw (at BootOptions::preemptionPercent)
// or a pin (preemption::pin) may run it there. With no spin lock held, queued DPCs
// run (as on another processor); at PASSIVE_LEVEL also the timers and device
// events already due, or the next ones when the clock is moved on.
enum class PreemptionPoint {
  SpinLockReleased,  // a spin lock let go, the IRQL still at DISPATCH_LEVEL
  IrqlLowered,       // the IRQL back below DISPATCH_LEVEL
  CallDriverReturned,
  EventSet,          // KeSetEvent returned
};
constexpr size_t kPreemptionPoints = 4;

struct BootOptions {
  Mode mode = Mode::Deterministic;
  uint64_t seed = 1;
  unsigned workerThreads = 2;  // Concurrent mode only
  // The clock tick that KeQueryTimeIncrement reports and kernel timers expire
  // on (100 ns units, at least 1): 15.625 ms by default, as on the platform.
  ULONG timeIncrement100ns = 156250;
  Addresses addresses = defaultAddresses();
  // Deterministic mode: the chance, in percent, that a preemption point runs
  // the work that is ready (0: only pinned points do).
  unsigned preemptionPercent = 0;
};

// Resets every kernel table and starts the kernel. Any kernel still running is
// shut down first (without invariant checks). Throws std::invalid_argument on
// a zero time increment.
void boot(const BootOptions& options = {});
// Stops worker threads; the kernel's tables stay readable until the next boot.
void shutdown();
Mode mode();
uint64_t seed();

// ---- time (100 ns units) --------------------------------------------------
// The clock ticks at multiples of BootOptions::timeIncrement100ns since boot
// (virtual time in Deterministic mode, real time in Concurrent mode). Kernel
// timers (KeSetTimer, KeSetTimerEx) expire on the first tick at or after their
// due time, as on the platform; one already due expires at once. Everything
// else is exact: scheduled device events (schedule), KeWaitForSingleObject
// timeouts and KeDelayExecutionThread.
constexpr int64_t kMs = 10'000;
constexpr int64_t kSecond = 1000 * kMs;

int64_t now();  // time since boot
// Deterministic: runs everything due up to now()+delta, then sets the clock
// there. Concurrent: sleeps for delta.
void advance(int64_t delta100ns);
// Runs queued DPCs, work items and events that are already due, without
// moving the clock (Deterministic). Returns when nothing more is ready.
void runReady();
// Runs the kernel until pred() holds or the deadline (relative, 100 ns) passes.
// Deterministic: moves the clock only as far as the next scheduled item.
// A null deadline waits forever; a wait that nothing can ever satisfy is a
// verifier stop ("deadlock") in Deterministic mode. Returns pred().
bool runUntil(const std::function<bool()>& pred, std::optional<int64_t> deadline100ns = std::nullopt);

// Schedules an action (a device model's event) delay100ns from now. It runs at
// PASSIVE_LEVEL on a kernel thread (the loop, or a worker) with no lock held.
void schedule(int64_t delay100ns, std::function<void()> action);

// ---- preemption points (Deterministic mode) -------------------------------------
namespace preemption {
// The nth point of this kind from now (1: the next one) runs the ready work,
// whatever the percentage says; a point where it cannot (a spin lock held,
// work already running there) does not count.
void pin(PreemptionPoint point, uint64_t nth);
struct Stats {
  uint64_t passed[kPreemptionPoints] = {};  // points reached, by kind
  uint64_t taken = 0;                       // points that ran work
  uint64_t clockMoves = 0;                  // of those, points that moved the clock on
};
Stats stats();
}  // namespace preemption

// A device's event (a completion, an interrupt): schedule() whose action never
// waits, so that it may also run at a preemption point.
void scheduleDeviceEvent(int64_t delay100ns, std::function<void()> action);

// ---- pool -------------------------------------------------------------------
// No block larger than 64 MiB is granted: such an allocation fails (and
// counts as one for fault injection), as one beyond the platform's pool does.
struct PoolUse {
  size_t blocks = 0;
  size_t bytes = 0;
};
PoolUse poolInUse();
PoolUse poolInUse(ULONG tag);
std::string describeOutstandingPool();  // one line per block: tag, size, pool type

constexpr ULONG tag(const char (&t)[5]) {
  return ULONG(uint8_t(t[0])) | ULONG(uint8_t(t[1])) << 8 | ULONG(uint8_t(t[2])) << 16 | ULONG(uint8_t(t[3])) << 24;
}

// ---- fault injection ----------------------------------------------------------
// Fallible platform allocations (pool, IRPs, work items, device objects) are
// numbered from 1 after each arm(). arm(n) makes the nth fail; arm(0) disarms.
namespace faults {
void arm(uint64_t failAt);
void disarm();
uint64_t allocationsSinceArm();
bool fired();  // the armed failure was delivered
}  // namespace faults

// Raised by ExAllocatePoolWithQuotaTag when it fails without
// POOL_QUOTA_FAIL_INSTEAD_OF_RAISE: the simulation of a raised exception.
struct RaisedStatus {
  NTSTATUS status;
};

// ---- verifier -----------------------------------------------------------------
// A broken rule stops the kernel with a message naming the call and the rule.
// By default the stop throws VerifierStop (tests catch or report it); tools may
// set abortOnStop to print and abort.
struct VerifierStop : std::runtime_error {
  using std::runtime_error::runtime_error;
};
void setAbortOnStop(bool abortOnStop);
[[noreturn]] void verifierStop(const std::string& message);

// Checks what must hold between tests and after unload: no pool block, IRP,
// work item or registry handle outstanding, no spin lock held, no timer or DPC
// queued, no value left in the SERIALCOMM device map, no device interface still
// enabled. Stops (VerifierStop) on the first violation.
void checkQuiescent();

// The kernel stack a driver's call chain may use (24 KB on the platform,
// scaled up under the sanitizers, whose frames are larger), and the deepest
// chain this thread has reached since the last reset.
size_t kernelStackLimit();
size_t deepestKernelStack(bool reset = false);

// ---- platform configuration -------------------------------------------------------
void setWdmVersion(UCHAR major, UCHAR minor);

// ---- debug output ------------------------------------------------------------------
std::vector<std::string> debugLog();
void clearDebugLog();

// ---- registry ----------------------------------------------------------------------
// Paths are absolute registry paths, e.g. "\\Registry\\Machine\\System\\...".
namespace registry {
void createKey(const std::u16string& path);
bool keyExists(const std::u16string& path);
void setValue(const std::u16string& keyPath, const std::u16string& name, ULONG type, const void* data, size_t length);
void setDword(const std::u16string& keyPath, const std::u16string& name, uint32_t value);
void setString(const std::u16string& keyPath, const std::u16string& name, const std::u16string& value);
struct Value {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};
std::optional<Value> value(const std::u16string& keyPath, const std::u16string& name);
std::optional<std::u16string> stringValue(const std::u16string& keyPath, const std::u16string& name);
void deleteValue(const std::u16string& keyPath, const std::u16string& name);
// The names of the key's values as they were written, in folded-name order;
// empty when the key does not exist.
std::vector<std::u16string> valueNames(const std::u16string& keyPath);
size_t openHandles();
}  // namespace registry

extern const char16_t* const kServicesRoot;   // \Registry\Machine\System\CurrentControlSet\Services
extern const char16_t* const kDeviceMapRoot;  // \Registry\Machine\Hardware\DeviceMap

// ---- drivers and objects -----------------------------------------------------------
// Creates the driver object \Driver\<service> and the service key, and calls
// entry at PASSIVE_LEVEL with the service key path. Returns null (and keeps
// nothing) when entry fails.
PDRIVER_OBJECT loadDriver(const std::u16string& serviceName, PDRIVER_INITIALIZE entry,
                          NTSTATUS* entryStatus = nullptr);
// Calls DriverUnload, checks that the driver left no device object behind and
// that the kernel is quiescent, and deletes the driver object.
void unloadDriver(PDRIVER_OBJECT driver);
PDRIVER_OBJECT findDriver(const std::u16string& objectName);

PDEVICE_OBJECT findDevice(const std::u16string& name);             // \Device\... name
std::optional<std::u16string> symbolicLinkTarget(const std::u16string& linkName);
std::u16string deviceName(PDEVICE_OBJECT device);                  // "" when unnamed
PDEVICE_OBJECT lowerDevice(PDEVICE_OBJECT device);                 // what it is attached to
size_t deviceCount(PDRIVER_OBJECT driver);
// The object manager's reference count of a driver or device object: its base
// reference plus those ObReferenceObjectByName took and ObDereferenceObject
// has not dropped. 0 for anything else.
LONG_PTR objectReferenceCount(PVOID object);

// ---- strings -------------------------------------------------------------------------
std::string narrow(const std::u16string& s);
std::string narrow(PCUNICODE_STRING s);
std::u16string widen(const std::string& s);
inline const WCHAR* wide(const std::u16string& s) { return reinterpret_cast<const WCHAR*>(s.c_str()); }

}  // namespace sim
