// Simulated platform: the power manager. Power IRPs from the power manager's
// own sends (sim::power) and from PoRequestPowerIrp, their serialization per
// device object, PoStartNextPowerIrp and PoCallDriver, and the verifier's check
// that every driver lets each query and set request go before it leaves.
//
// Serialization follows the platform before power IRPs were synchronised by
// the I/O manager: each device object has two slots, one for system requests
// (IRP_MN_QUERY_POWER and IRP_MN_SET_POWER with SystemPowerState) and one for
// device requests (the same minors with DevicePowerState). A query and a set
// of one kind share the slot, so a driver sees at most one request of each
// kind at a time; the two kinds are apart because a driver holds a system
// request while the device request it asked for travels the same stack.
// A request presented to a device whose slot of its kind is taken waits in
// that device's queue (the sender gets STATUS_PENDING, the IRP is marked
// pending); PoStartNextPowerIrp, by the driver whose stack location is current,
// frees the slot and the next waiting request is dispatched from a kernel
// thread. IRP_MN_WAIT_WAKE and IRP_MN_POWER_SEQUENCE are not serialized and
// need no PoStartNextPowerIrp. IofCallDriver and PoCallDriver both go through
// here, so a power IRP passed on with either is serialized and checked.
//
// IRQL: the power manager dispatches at the delivery IRQL (PASSIVE_LEVEL
// unless a test sets DISPATCH_LEVEL with setDeliveryIrql, as the platform does
// for stacks that are not DO_POWER_PAGABLE): the first dispatch of each IRP,
// and a queued one when its turn comes. A power IRP passed at DISPATCH_LEVEL to
// a DO_POWER_PAGABLE device is not called at that IRQL: it is queued and
// dispatched at PASSIVE_LEVEL from a kernel thread.
#include "kernel.h"
#include "sim/pnp.h"
#include "sim/power.h"

#include <cstdio>

namespace sim::detail {

namespace {

enum PowerKind { kSystemKind = 0, kDeviceKind = 1, kKinds = 2, kNotSerialized = -1 };

// What the power manager knows of one power IRP in flight.
struct PowerIrp {
  // By stack location: its driver has called PoStartNextPowerIrp.
  std::vector<bool> started;
  int lastPresented = -1;  // the stack location the IRP was last dispatched to
};

struct DeviceSlots {
  PIRP active[kKinds] = {};
  // Short and mostly empty: a vector allocates nothing until a request waits.
  std::vector<PIRP> waiting[kKinds];
  bool empty() const {
    for (int kind = 0; kind < kKinds; ++kind)
      if (active[kind] || !waiting[kind].empty()) return false;
    return true;
  }
};

struct PowerManager {
  std::unordered_map<PIRP, PowerIrp> irps;
  std::unordered_map<PDEVICE_OBJECT, DeviceSlots> devices;
  KIRQL deliveryIrql = PASSIVE_LEVEL;
  SYSTEM_POWER_STATE systemState = PowerSystemWorking;
  // Query and set requests from PoRequestPowerIrp not yet freed. A driver
  // usually completes the system request from the device request's callback,
  // which runs before that IRP is freed.
  int requestedInFlight = 0;
};

// Guarded by the kernel mutex.
PowerManager& manager() {
  static PowerManager m;
  return m;
}

PIO_STACK_LOCATION locations(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

int kindOf(const IO_STACK_LOCATION& location) {
  if (location.MinorFunction != IRP_MN_QUERY_POWER && location.MinorFunction != IRP_MN_SET_POWER)
    return kNotSerialized;
  return location.Parameters.Power.Type == SystemPowerState ? kSystemKind : kDeviceKind;
}

// Query and set requests must be let go by every driver; wait-wake and power
// sequence requests need not.
bool needsStart(const IO_STACK_LOCATION& location) {
  return location.MinorFunction == IRP_MN_QUERY_POWER || location.MinorFunction == IRP_MN_SET_POWER;
}

std::string describe(const IO_STACK_LOCATION& location) {
  const char* minor = location.MinorFunction == IRP_MN_SET_POWER     ? "IRP_MN_SET_POWER"
                      : location.MinorFunction == IRP_MN_QUERY_POWER ? "IRP_MN_QUERY_POWER"
                                                                     : "power request";
  const char* type = location.Parameters.Power.Type == SystemPowerState ? "system" : "device";
  return std::string(minor) + " (" + type + ")";
}

// Calls the dispatch routine for the IRP's current stack location at the
// given IRQL (at least the caller's), and checks how it returns.
NTSTATUS dispatchAt(KIRQL irql, PDEVICE_OBJECT device, PIRP irp) {
  KIRQL old = KeGetCurrentIrql();
  bool raised = irql > old;
  if (raised) KeRaiseIrql(irql, &old);
  KIRQL called = KeGetCurrentIrql();
  NTSTATUS status = dispatchCurrentLocation(device, irp);
  if (KeGetCurrentIrql() != called) stop("power dispatch routine", "returned at an IRQL other than the one it was called at");
  if (raised) KeLowerIrql(old);
  return status;
}

// Dispatches a power IRP already at the device's stack location from a kernel
// thread, at the given IRQL. Kernel mutex held.
void dispatchLaterLocked(Kernel& k, PDEVICE_OBJECT device, PIRP irp, KIRQL irql) {
  TimedItem item;
  item.action = [device, irp, irql] {
    dispatchAt(irql, device, irp);
    if (heldSpinLocks()) stop("power dispatch routine", "returned holding a spin lock");
  };
  int64_t now = nowLocked(k);
  insertTimedLocked(k, TimedKey{now, now, 0}, std::move(item), nullptr);
}

// Frees the device's slot of the kind if irp holds it, and starts the next
// request waiting there. Kernel mutex held.
void releaseSlotLocked(Kernel& k, PDEVICE_OBJECT device, int kind, PIRP irp) {
  PowerManager& m = manager();
  auto it = m.devices.find(device);
  if (it == m.devices.end() || it->second.active[kind] != irp) return;
  DeviceSlots& slots = it->second;
  slots.active[kind] = nullptr;
  if (!slots.waiting[kind].empty()) {
    PIRP next = slots.waiting[kind].front();
    slots.waiting[kind].erase(slots.waiting[kind].begin());
    slots.active[kind] = next;
    dispatchLaterLocked(k, device, next, m.deliveryIrql);
  }
  if (slots.empty()) m.devices.erase(it);
}

// The driver passing the IRP to the next device: the one at the location the
// IRP was last dispatched to. It leaves the IRP for good unless it set a
// completion routine in the next location, and must then have let it go.
void checkPassedOnLocked(const char* call, PIRP irp, const PowerIrp& record) {
  int sender = record.lastPresented;
  int next = irp->CurrentLocation - 2;  // the location the next device gets
  if (sender < 0) return;
  const IO_STACK_LOCATION& own = locations(irp)[sender];
  if (!needsStart(own) || record.started[sender]) return;
  bool skipped = next == sender;
  bool withoutRoutine = next == sender - 1 && !locations(irp)[next].CompletionRoutine;
  if (skipped || withoutRoutine)
    stop(call, "power IRP passed down without PoStartNextPowerIrp: " + describe(own) +
                   " (each driver calls it while its own stack location is current, before passing the request on "
                   "without a completion routine)");
}

}  // namespace

void resetPower() {
  PowerManager& m = manager();
  Lock lock(kernel().mutex);
  m.irps.clear();
  m.devices.clear();
  m.deliveryIrql = PASSIVE_LEVEL;
  m.systemState = PowerSystemWorking;
  m.requestedInFlight = 0;
}

NTSTATUS presentPowerIrp(const char* call, PDEVICE_OBJECT device, PIRP irp) {
  Kernel& k = kernel();
  PowerManager& m = manager();
  KIRQL irql = KeGetCurrentIrql();
  Lock lock(k.mutex);
  auto owner = k.irps.find(irp);
  if (owner != k.irps.end() && owner->second.owner == IrpOwner::Driver)
    stop(call, "sends a power IRP the driver allocated itself: a driver asks the power manager for one with "
               "PoRequestPowerIrp");
  PowerIrp& record = m.irps[irp];
  // The first trip is the sender's (the power manager's); the IRP's stack
  // location alone cannot tell, as the top driver may have skipped its own.
  bool first = record.lastPresented < 0;
  if (first) record.started.assign(size_t(irp->StackCount), false);
  if (!first) checkPassedOnLocked(call, irp, record);

  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  location->DeviceObject = device;
  int index = irp->CurrentLocation - 1;
  record.started[size_t(index)] = false;
  record.lastPresented = index;

  int kind = kindOf(*location);
  if (kind != kNotSerialized) {
    DeviceSlots& slots = m.devices[device];
    if (slots.active[kind] && slots.active[kind] != irp) {
      slots.waiting[kind].push_back(irp);
      location->Control |= SL_PENDING_RETURNED;
      return STATUS_PENDING;
    }
    slots.active[kind] = irp;
  }
  if (irql >= DISPATCH_LEVEL && (device->Flags & DO_POWER_PAGABLE)) {
    location->Control |= SL_PENDING_RETURNED;
    dispatchLaterLocked(k, device, irp, PASSIVE_LEVEL);
    return STATUS_PENDING;
  }
  KIRQL deliver = first ? m.deliveryIrql : irql;
  lock.unlock();
  return dispatchAt(deliver, device, irp);
}

void checkPowerIrpLeaves(const char* call, PIRP irp, const char* how) {
  if (irp->CurrentLocation > irp->StackCount) return;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  if (location->MajorFunction != IRP_MJ_POWER || !needsStart(*location)) return;
  Lock lock(kernel().mutex);
  auto it = manager().irps.find(irp);
  if (it == manager().irps.end()) return;
  if (!it->second.started[size_t(irp->CurrentLocation - 1)])
    stop(call, std::string("power IRP ") + how + " without PoStartNextPowerIrp: " + describe(*location) +
                   " (the driver whose stack location is current must call it first)");
}

void forgetPowerIrpLocked(Kernel& k, PIRP irp) {
  PowerManager& m = manager();
  if (!m.irps.erase(irp)) return;
  std::vector<std::pair<PDEVICE_OBJECT, int>> held;
  for (auto& [device, slots] : m.devices)
    for (int kind = 0; kind < kKinds; ++kind) {
      std::erase(slots.waiting[kind], irp);
      if (slots.active[kind] == irp) held.emplace_back(device, kind);
    }
  for (auto [device, kind] : held) releaseSlotLocked(k, device, kind, irp);
}

}  // namespace sim::detail

using namespace sim::detail;

extern "C" {

void PoStartNextPowerIrp(PIRP irp) {
  Kernel& k = kernel();
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) stop("PoStartNextPowerIrp", "called above DISPATCH_LEVEL");
  Lock lock(k.mutex);
  if (!k.irps.count(irp)) stop("PoStartNextPowerIrp", "not an IRP (or one already freed)");
  if (irp->CurrentLocation > irp->StackCount)
    stop("PoStartNextPowerIrp", "the IRP has no current stack location: call it while the driver's own stack "
                                "location is current");
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  if (location->MajorFunction != IRP_MJ_POWER) stop("PoStartNextPowerIrp", "not a power IRP");
  auto it = manager().irps.find(irp);
  if (it == manager().irps.end()) stop("PoStartNextPowerIrp", "the power IRP was never sent to a device");
  size_t index = size_t(irp->CurrentLocation - 1);
  if (needsStart(*location) && it->second.started[index])
    stop("PoStartNextPowerIrp", "called twice for one stack location: once per driver per power IRP");
  it->second.started[index] = true;
  int kind = kindOf(*location);
  if (kind != kNotSerialized) releaseSlotLocked(k, location->DeviceObject, kind, irp);
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
  if (IoGetNextIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER)
    stop("PoCallDriver", "not a power IRP: other requests go down with IoCallDriver");
  return callDriverAs("PoCallDriver", deviceObject, irp);
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                           PREQUEST_POWER_COMPLETE completionFunction, PVOID context, PIRP* irpOut) {
  Kernel& k = kernel();
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) stop("PoRequestPowerIrp", "called above DISPATCH_LEVEL");
  if (minorFunction != IRP_MN_QUERY_POWER && minorFunction != IRP_MN_SET_POWER && minorFunction != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER_2;
  if (minorFunction == IRP_MN_WAIT_WAKE && KeGetCurrentIrql() != PASSIVE_LEVEL)
    stop("PoRequestPowerIrp", "IRP_MN_WAIT_WAKE is requested at PASSIVE_LEVEL");
  if (injectFailure()) return STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT top = IoGetAttachedDevice(deviceObject);
  PIRP irp = allocateIrp(top->StackSize, IrpOwner::PowerManager);
  bool counted = minorFunction != IRP_MN_WAIT_WAKE;
  {
    Lock lock(k.mutex);
    if (counted) manager().requestedInFlight++;
    k.irps[irp].finish = [deviceObject, minorFunction, powerState, completionFunction, context, counted](PIRP done) {
      if (completionFunction) completionFunction(deviceObject, minorFunction, powerState, context, &done->IoStatus);
      Kernel& kk = kernel();
      Lock freeing(kk.mutex);
      freeIrpLocked(kk, done);
      if (counted) manager().requestedInFlight--;
    };
  }
  irp->RequestorMode = KernelMode;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = minorFunction;
  if (minorFunction == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = powerState.SystemState;
  } else {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = powerState;
  }
  // Set before the IRP goes: it may complete before the call returns.
  if (irpOut) *irpOut = irp;
  IofCallDriver(top, irp);
  return STATUS_PENDING;
}

}  // extern "C"

namespace sim::power {

namespace {

POWER_ACTION actionFor(SYSTEM_POWER_STATE state) {
  switch (state) {
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemSleeping3:
      return PowerActionSleep;
    case PowerSystemHibernate:
      return PowerActionHibernate;
    case PowerSystemShutdown:
      return PowerActionShutdownOff;
    default:
      return PowerActionNone;
  }
}

app::Request sendSystem(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) stop("sim::power", "system power requests are sent at PASSIVE_LEVEL");
  return app::sendToDevice(pdo, IRP_MJ_POWER, minor, [state](PIO_STACK_LOCATION next) {
    next->Parameters.Power.Type = SystemPowerState;
    next->Parameters.Power.State.SystemState = state;
    next->Parameters.Power.ShutdownType = actionFor(state);
  });
}

}  // namespace

void setDeliveryIrql(KIRQL irql) {
  if (irql != PASSIVE_LEVEL && irql != DISPATCH_LEVEL)
    stop("sim::power::setDeliveryIrql", "power IRPs are delivered at PASSIVE_LEVEL or DISPATCH_LEVEL");
  Lock lock(kernel().mutex);
  manager().deliveryIrql = irql;
}

KIRQL deliveryIrql() {
  Lock lock(kernel().mutex);
  return manager().deliveryIrql;
}

SYSTEM_POWER_STATE systemState() {
  Lock lock(kernel().mutex);
  return manager().systemState;
}

NTSTATUS querySystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
  return sendSystem(pdo, IRP_MN_QUERY_POWER, state).wait().status;
}

NTSTATUS setSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
  NTSTATUS status = sendSystem(pdo, IRP_MN_SET_POWER, state).wait().status;
  // On worker threads the device request that completed the system request
  // may not be freed yet; the caller's next step (often a leak check) must
  // not see it. A driver that leaves its device request pending keeps it.
  // Deterministic mode has run everything ready already.
  if (kernel().options.mode == Mode::Concurrent)
    runUntil(
        [] {
          Lock lock(kernel().mutex);
          return manager().requestedInFlight == 0;
        },
        kSecond);
  // The manager moves to the new state only when the stack has gone there.
  Lock lock(kernel().mutex);
  if (NT_SUCCESS(status)) manager().systemState = state;
  return status;
}

NTSTATUS sleep(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
  NTSTATUS status = querySystemPower(pdo, state);
  if (!NT_SUCCESS(status)) {
    // Vetoed: the stack hears that the system stays where it is.
    setSystemPower(pdo, systemState());
    return status;
  }
  return setSystemPower(pdo, state);
}

NTSTATUS wake(PDEVICE_OBJECT pdo) { return setSystemPower(pdo, PowerSystemWorking); }

NTSTATUS sleepAll(SYSTEM_POWER_STATE state) {
  std::vector<PDEVICE_OBJECT> pdos = physicalDeviceList();
  SYSTEM_POWER_STATE current = systemState();
  for (size_t i = 0; i < pdos.size(); ++i) {
    NTSTATUS status = querySystemPower(pdos[i], state);
    if (!NT_SUCCESS(status)) {
      for (size_t queried = 0; queried <= i; ++queried) setSystemPower(pdos[queried], current);
      return status;
    }
  }
  NTSTATUS result = STATUS_SUCCESS;
  for (PDEVICE_OBJECT pdo : pdos) {
    NTSTATUS status = setSystemPower(pdo, state);
    if (NT_SUCCESS(result) && !NT_SUCCESS(status)) result = status;
  }
  return result;
}

NTSTATUS wakeAll() {
  NTSTATUS result = STATUS_SUCCESS;
  std::vector<PDEVICE_OBJECT> pdos = physicalDeviceList();
  for (auto it = pdos.rbegin(); it != pdos.rend(); ++it) {
    NTSTATUS status = wake(*it);
    if (NT_SUCCESS(result) && !NT_SUCCESS(status)) result = status;
  }
  return result;
}

app::Request sendDevicePowerAsync(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) stop("sim::power", "device power requests are sent at PASSIVE_LEVEL");
  if (minor != IRP_MN_QUERY_POWER && minor != IRP_MN_SET_POWER)
    stop("sim::power::sendDevicePower", "sends IRP_MN_QUERY_POWER or IRP_MN_SET_POWER only");
  return app::sendToDevice(pdo, IRP_MJ_POWER, minor, [state](PIO_STACK_LOCATION next) {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State.DeviceState = state;
  });
}

NTSTATUS sendDevicePower(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state) {
  return sendDevicePowerAsync(pdo, minor, state).wait().status;
}

}  // namespace sim::power
