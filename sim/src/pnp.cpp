// Simulated platform: the Plug and Play manager and the simulated USB bus
// driver. The bus driver owns the physical device objects, answers Plug and
// Play and power requests as a bus driver does (completing them, since it is
// the bottom of the stack), and hands internal device controls to the device
// model plugged into each PDO.
#include "kernel.h"
#include "sim/pnp.h"
#include "sim/power.h"

#include <algorithm>
#include <cstring>

namespace sim::detail {

namespace {

constexpr uint8_t kFamilySignature[4] = {'V', 'T', 'Q', 'B'};
constexpr size_t kFamilyExtensionSize = 16;

struct PhysicalDevice {
  pnp::PhysicalDeviceOptions options;
  // options.internalDeviceControl, shared: every transfer's call holds a
  // reference, not a copy of the handler.
  std::shared_ptr<const std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>> internalDeviceControl;
  uint8_t claimBlock[4] = {};
  bool removed = false;
  bool removalAwaitsHandles = false;  // surprise-removed; IRP_MN_REMOVE_DEVICE waits for the last handle
  std::u16string parametersKey;
  std::vector<UCHAR> pnpSeen;  // minor functions of the IRP_MJ_PNP requests that reached the bus
  unsigned instance = 0;       // plug order
  std::vector<power::BusPowerRequest> powerSeen;  // the IRP_MJ_POWER requests that reached the bus
  PIRP waitWake = nullptr;  // the pending IRP_MN_WAIT_WAKE; guarded by the cancel spin lock
};

// Each PDO gets a name and an instance key of its own, numbered from 0 after boot.
unsigned nextInstance = 0;
const char16_t* const kEnumRoot = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\SIMBUS\\";

std::map<PDEVICE_OBJECT, std::unique_ptr<PhysicalDevice>>& physicalDevices() {
  static std::map<PDEVICE_OBJECT, std::unique_ptr<PhysicalDevice>> devices;
  return devices;
}

PDRIVER_OBJECT busDriver = nullptr;

PhysicalDevice* find(PDEVICE_OBJECT pdo) {
  auto it = physicalDevices().find(pdo);
  return it == physicalDevices().end() ? nullptr : it->second.get();
}

NTSTATUS completeWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// What the bus knows of a USB device's power: S0 in D0, sleep in D2 (wake
// armed from there), hibernation and off in D3.
void fillCapabilities(PDEVICE_CAPABILITIES caps) {
  if (!caps || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) return;
  caps->DeviceD2 = 1;
  caps->Removable = 1;
  caps->WakeFromD2 = 1;
  caps->Address = 1;  // the hub port
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s) caps->DeviceState[s] = PowerDeviceD2;
  caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
  caps->SystemWake = PowerSystemSleeping3;
  caps->DeviceWake = PowerDeviceD2;
}

// What a request that the whole stack let through to the bus makes of the
// device node.
void notePnpStateLocked(PDEVICE_OBJECT pdo, UCHAR minor) {
  DevnodeState& state = pdo->DeviceObjectExtension->pnpState;
  switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (state != DevnodeState::SurpriseRemoved && state != DevnodeState::Removed) state = DevnodeState::Started;
      break;
    case IRP_MN_QUERY_STOP_DEVICE: state = DevnodeState::QueryStopGranted; break;
    case IRP_MN_STOP_DEVICE: state = DevnodeState::Stopped; break;
    case IRP_MN_QUERY_REMOVE_DEVICE: state = DevnodeState::QueryRemoveGranted; break;
    case IRP_MN_SURPRISE_REMOVAL: state = DevnodeState::SurpriseRemoved; break;
    case IRP_MN_REMOVE_DEVICE: state = DevnodeState::Removed; break;
    default: break;
  }
}

NTSTATUS busPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (PhysicalDevice* device = find(pdo)) {
    device->pnpSeen.push_back(stack->MinorFunction);
    bool cancel = stack->MinorFunction == IRP_MN_CANCEL_STOP_DEVICE || stack->MinorFunction == IRP_MN_CANCEL_REMOVE_DEVICE;
    auto failure = device->options.pnpFailures.find(stack->MinorFunction);
    // The manager takes a cancel back whatever the stack answers; anything
    // else the bus fails leaves the node where it was.
    if (failure == device->options.pnpFailures.end() || cancel) {
      Lock lock(kernel().mutex);
      notePnpStateLocked(pdo, stack->MinorFunction);
    }
    if (failure != device->options.pnpFailures.end()) return completeWith(irp, failure->second);
  }
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_CAPABILITIES:
      fillCapabilities(stack->Parameters.DeviceCapabilities.Capabilities);
      return completeWith(irp, STATUS_SUCCESS);
    case IRP_MN_START_DEVICE: {
      // A started device is in D0: the bus powers it up to start it.
      POWER_STATE d0;
      d0.DeviceState = PowerDeviceD0;
      PoSetPowerState(pdo, DevicePowerState, d0);
      return completeWith(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      return completeWith(irp, STATUS_SUCCESS);
    default:
      // The bottom of the stack completes what it does not handle untouched.
      return completeWith(irp, irp->IoStatus.Status);
  }
}

// The deepest system state a USB device on this bus can wake the system from
// (fillCapabilities' SystemWake).
constexpr SYSTEM_POWER_STATE kSystemWake = PowerSystemSleeping3;

void busCancelWaitWake(PDEVICE_OBJECT pdo, PIRP irp) {
  if (PhysicalDevice* device = find(pdo))
    if (device->waitWake == irp) device->waitWake = nullptr;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// Arms the device for wake: the request stays pending until the device
// signals (sim::power::signalWake) or its sender cancels it.
NTSTATUS busWaitWake(PhysicalDevice* device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!device) return completeWith(irp, STATUS_NOT_SUPPORTED);
  if (stack->Parameters.WaitWake.PowerState > kSystemWake) return completeWith(irp, STATUS_INVALID_DEVICE_STATE);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (device->waitWake) {
    IoReleaseCancelSpinLock(irql);
    return completeWith(irp, STATUS_DEVICE_BUSY);
  }
  IoSetCancelRoutine(irp, busCancelWaitWake);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    IoReleaseCancelSpinLock(irql);
    return completeWith(irp, STATUS_CANCELLED);
  }
  device->waitWake = irp;
  IoMarkIrpPending(irp);
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

// The bottom of every power request: the bus driver lets query and set
// requests go, tells the power manager a device set's new state, and succeeds them.
NTSTATUS busPower(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PhysicalDevice* device = find(pdo);
  if (device) {
    power::BusPowerRequest seen;
    seen.minor = stack->MinorFunction;
    seen.type = stack->Parameters.Power.Type;
    seen.state = stack->Parameters.Power.State;
    if (stack->MinorFunction == IRP_MN_WAIT_WAKE) seen.state.SystemState = stack->Parameters.WaitWake.PowerState;
    device->powerSeen.push_back(seen);
  }
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (device && device->options.transfersNotCompleted && stack->Parameters.Power.Type == DevicePowerState &&
          stack->Parameters.Power.State.DeviceState > PowerDeviceD0) {
        if (size_t pending = device->options.transfersNotCompleted())
          stop("IRP_MN_SET_POWER", "a device set-power to D" +
                                       std::to_string(stack->Parameters.Power.State.DeviceState - 1) +
                                       " reached the bus with " + std::to_string(pending) +
                                       " transfer(s) still pending: a USB client cancels its transfers and waits "
                                       "for them before its device leaves D0");
      }
      PoStartNextPowerIrp(irp);
      if (device && stack->Parameters.Power.Type == DevicePowerState) {
        auto failure = device->options.devicePowerFailures.find(stack->Parameters.Power.State.DeviceState);
        if (failure != device->options.devicePowerFailures.end()) return completeWith(irp, failure->second);
      }
      if (stack->Parameters.Power.Type == DevicePowerState)
        PoSetPowerState(pdo, DevicePowerState, stack->Parameters.Power.State);
      return completeWith(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
      PoStartNextPowerIrp(irp);
      return completeWith(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE:
      return busWaitWake(device, irp);
    default:
      return completeWith(irp, irp->IoStatus.Status);
  }
}

NTSTATUS busSystemControl(PDEVICE_OBJECT, PIRP irp) { return completeWith(irp, irp->IoStatus.Status); }

NTSTATUS busInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
  PhysicalDevice* device = find(pdo);
  if (!device || !device->internalDeviceControl) return completeWith(irp, STATUS_NOT_SUPPORTED);
  // A reference keeps the handler (and the device model it holds) alive for
  // the whole call, even if the device is deleted as the request completes.
  auto handler = device->internalDeviceControl;
  return (*handler)(pdo, irp);
}

void busUnload(PDRIVER_OBJECT) {}

NTSTATUS busEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = busPnp;
  driver->MajorFunction[IRP_MJ_POWER] = busPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = busSystemControl;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = busInternalDeviceControl;
  driver->DriverUnload = busUnload;
  return STATUS_SUCCESS;
}

}  // namespace

void resetPnp() {
  physicalDevices().clear();
  busDriver = nullptr;
  nextInstance = 0;
  resetDeviceInterfaces();
}

bool isPhysicalDevice(PDEVICE_OBJECT device) { return find(device) != nullptr; }

std::vector<PDEVICE_OBJECT> physicalDeviceList() {
  std::vector<std::pair<unsigned, PDEVICE_OBJECT>> byInstance;
  for (auto& [pdo, device] : physicalDevices()) byInstance.emplace_back(device->instance, pdo);
  std::sort(byInstance.begin(), byInstance.end());
  std::vector<PDEVICE_OBJECT> pdos;
  for (auto& entry : byInstance) pdos.push_back(entry.second);
  return pdos;
}

namespace {

// Whether any open handle refers to a device object of the PDO's stack.
bool stackHasHandles(PDEVICE_OBJECT pdo) {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  for (auto& [file, record] : k.files)
    for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice)
      if (file->DeviceObject == d) return true;
  return false;
}

// The end of a surprise removal: the stack is removed and the PDO goes.
void finishSurpriseRemoval(PDEVICE_OBJECT pdo) {
  find(pdo)->removalAwaitsHandles = false;
  if (pdo->AttachedDevice) pnp::send(pdo, IRP_MN_REMOVE_DEVICE).wait();
  pnp::deletePhysicalDevice(pdo);
}

}  // namespace

thread_local PDEVICE_OBJECT addingFor = nullptr;

PDEVICE_OBJECT deviceNodeBeingAdded() { return addingFor; }

const char* createRefusalLocked(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT pdo = device->DeviceObjectExtension->devnode;
  if (!pdo) {
    // A device of the stack: its node is the PDO at the bottom.
    pdo = device;
    while (pdo->DeviceObjectExtension->AttachedTo) pdo = pdo->DeviceObjectExtension->AttachedTo;
  }
  if (!isPhysicalDevice(pdo)) return nullptr;
  switch (pdo->DeviceObjectExtension->pnpState) {
    case DevnodeState::QueryStopGranted: return "whose query-stop was granted and not cancelled";
    case DevnodeState::QueryRemoveGranted: return "whose query-remove was granted and not cancelled";
    case DevnodeState::Stopped: return "that is stopped";
    case DevnodeState::SurpriseRemoved: return "that was surprise-removed";
    case DevnodeState::Removed: return "that was removed";
    default: return nullptr;
  }
}

void handleClosed(PDEVICE_OBJECT device) {
  releaseDeletedDevice(device);
  std::vector<PDEVICE_OBJECT> ready;
  for (auto& [pdo, physical] : physicalDevices())
    if (physical->removalAwaitsHandles && !stackHasHandles(pdo)) ready.push_back(pdo);
  for (PDEVICE_OBJECT pdo : ready) finishSurpriseRemoval(pdo);
}

bool isRemovedPhysicalDevice(PDEVICE_OBJECT device) {
  PhysicalDevice* pd = find(device);
  return pd && pd->removed;
}

}  // namespace sim::detail

using namespace sim::detail;

namespace sim::pnp {

DEVICE_POWER_STATE devicePowerState(PDEVICE_OBJECT device) {
  Lock lock(kernel().mutex);
  return device->DeviceObjectExtension->powerState;
}

PDEVICE_OBJECT createPhysicalDevice(const PhysicalDeviceOptions& options) {
  if (!busDriver) busDriver = loadDriver(u"simusb", busEntry);
  bool family = options.extension == BusExtension::Family;
  ULONG extensionSize = ULONG(family ? kFamilyExtensionSize : options.extensionSize);
  PDEVICE_OBJECT pdo = nullptr;
  unsigned instance = nextInstance++;
  std::u16string name = u"\\Device\\USBPDO-" + widen(std::to_string(instance));
  UNICODE_STRING pdoName;
  RtlInitUnicodeString(&pdoName, wide(name));
  NTSTATUS status = createDeviceObject(busDriver, extensionSize, &pdoName, FILE_DEVICE_BUS_EXTENDER,
                                       FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
  if (!NT_SUCCESS(status)) stop("sim::pnp::createPhysicalDevice", "IoCreateDevice failed");
  auto device = std::make_unique<PhysicalDevice>();
  device->options = options;
  if (options.internalDeviceControl)
    device->internalDeviceControl =
        std::make_shared<const std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>>(options.internalDeviceControl);
  device->instance = instance;
  device->parametersKey = kEnumRoot + widen(std::to_string(instance)) + u"\\Device Parameters";
  registry::createKey(device->parametersKey);
  auto extension = static_cast<uint8_t*>(pdo->DeviceExtension);
  if (family) {
    std::memcpy(extension, kFamilySignature, 4);
    uint8_t* block = device->claimBlock;
    std::memcpy(block, options.claimBlock.data(), sizeof device->claimBlock);
    std::memcpy(extension + 8, &block, sizeof block);
  } else if (extensionSize) {
    std::memset(extension, 0x5A, extensionSize);  // a foreign driver's private data
  }
  pdo->Flags = (pdo->Flags | options.flags) & ~DO_DEVICE_INITIALIZING;
  pdo->DeviceObjectExtension->powerState = PowerDeviceD0;  // enumerated working
  physicalDevices()[pdo] = std::move(device);
  return pdo;
}

uint8_t* claimBlock(PDEVICE_OBJECT pdo) {
  PhysicalDevice* device = find(pdo);
  return device ? device->claimBlock : nullptr;
}

void markRemoved(PDEVICE_OBJECT pdo) {
  if (PhysicalDevice* device = find(pdo)) device->removed = true;
}

std::u16string deviceParametersKey(PDEVICE_OBJECT pdo) {
  PhysicalDevice* device = find(pdo);
  if (!device) stop("sim::pnp::deviceParametersKey", "not a physical device object of the simulated bus");
  return device->parametersKey;
}

void deletePhysicalDevice(PDEVICE_OBJECT pdo) {
  if (!find(pdo)) stop("sim::pnp::deletePhysicalDevice", "not a physical device object of the simulated bus");
  disableDeviceInterfacesOf(pdo);
  IoDeleteDevice(pdo);
  physicalDevices().erase(pdo);
}

NTSTATUS addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) stop("sim::pnp::addDevice", "called above PASSIVE_LEVEL");
  PDRIVER_ADD_DEVICE addDeviceRoutine = driver->DriverExtension->AddDevice;
  if (!addDeviceRoutine) stop("sim::pnp::addDevice", "driver has no AddDevice routine");
  struct Adding {
    explicit Adding(PDEVICE_OBJECT pdo) { detail::addingFor = pdo; }
    ~Adding() { detail::addingFor = nullptr; }
  } adding(pdo);
  {
    // A new stack on the PDO (after a removal, say) starts a fresh node.
    Lock lock(kernel().mutex);
    pdo->DeviceObjectExtension->pnpState = detail::DevnodeState::Started;
  }
  NTSTATUS status = addDeviceRoutine(driver, pdo);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL || detail::heldSpinLocks())
    stop("AddDevice", "returned at raised IRQL or holding a spin lock");
  if (NT_SUCCESS(status)) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    if (top == pdo) stop("AddDevice", "succeeded without attaching to the physical device object");
    if (top->Flags & DO_DEVICE_INITIALIZING) stop("AddDevice", "succeeded but left DO_DEVICE_INITIALIZING set");
  }
  return status;
}

app::Request send(PDEVICE_OBJECT pdo, UCHAR minorFunction, const std::function<void(PIO_STACK_LOCATION)>& setup) {
  return app::sendToDevice(pdo, IRP_MJ_PNP, minorFunction, setup);
}

namespace {

NTSTATUS sendAndWait(PDEVICE_OBJECT pdo, UCHAR minorFunction) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) stop("sim::pnp", "Plug and Play requests are sent at PASSIVE_LEVEL");
  if (!pdo->AttachedDevice) stop("sim::pnp", "no driver is attached to the physical device object");
  return send(pdo, minorFunction).wait().status;
}

}  // namespace

DEVICE_CAPABILITIES initialCapabilities() {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  return caps;
}

NTSTATUS queryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES& caps) {
  if (!pdo->AttachedDevice) stop("sim::pnp::queryCapabilities", "no driver is attached to the physical device object");
  return send(pdo, IRP_MN_QUERY_CAPABILITIES,
              [&caps](PIO_STACK_LOCATION next) { next->Parameters.DeviceCapabilities.Capabilities = &caps; })
      .wait()
      .status;
}

NTSTATUS startDevice(PDEVICE_OBJECT pdo) {
  NTSTATUS status = sendAndWait(pdo, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(status)) return status;
  DEVICE_CAPABILITIES caps = initialCapabilities();
  queryCapabilities(pdo, caps);
  return status;
}

NTSTATUS stopDevice(PDEVICE_OBJECT pdo) {
  NTSTATUS status = sendAndWait(pdo, IRP_MN_QUERY_STOP_DEVICE);
  sendAndWait(pdo, NT_SUCCESS(status) ? IRP_MN_STOP_DEVICE : IRP_MN_CANCEL_STOP_DEVICE);
  return status;
}

NTSTATUS removeDevice(PDEVICE_OBJECT pdo) {
  NTSTATUS status = sendAndWait(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
  sendAndWait(pdo, NT_SUCCESS(status) ? IRP_MN_REMOVE_DEVICE : IRP_MN_CANCEL_REMOVE_DEVICE);
  return status;
}

void surpriseRemove(PDEVICE_OBJECT pdo) {
  PhysicalDevice* device = find(pdo);
  if (!device) stop("sim::pnp::surpriseRemove", "not a physical device object of the simulated bus");
  device->removed = true;
  sendAndWait(pdo, IRP_MN_SURPRISE_REMOVAL);
  if (stackHasHandles(pdo))
    device->removalAwaitsHandles = true;
  else
    finishSurpriseRemoval(pdo);
}

bool isPlugged(PDEVICE_OBJECT pdo) { return find(pdo) != nullptr; }

std::vector<UCHAR> busPnpRequests(PDEVICE_OBJECT pdo) {
  PhysicalDevice* device = find(pdo);
  return device ? device->pnpSeen : std::vector<UCHAR>{};
}

}  // namespace sim::pnp

namespace sim::power {

std::vector<BusPowerRequest> busPowerRequests(PDEVICE_OBJECT pdo) {
  PhysicalDevice* device = find(pdo);
  return device ? device->powerSeen : std::vector<BusPowerRequest>{};
}

bool waitWakePending(PDEVICE_OBJECT pdo) {
  PhysicalDevice* device = find(pdo);
  if (!device) return false;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  bool pending = device->waitWake != nullptr;
  IoReleaseCancelSpinLock(irql);
  return pending;
}

bool signalWake(PDEVICE_OBJECT pdo) {
  PhysicalDevice* device = find(pdo);
  if (!device) return false;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = device->waitWake;
  // A request whose cancel routine is already running is the canceller's.
  if (!irp || !IoSetCancelRoutine(irp, nullptr)) {
    IoReleaseCancelSpinLock(irql);
    return false;
  }
  device->waitWake = nullptr;
  IoReleaseCancelSpinLock(irql);
  completeWith(irp, STATUS_SUCCESS);
  return true;
}

}  // namespace sim::power

extern "C" {

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength,
                             PVOID propertyBuffer, PULONG resultLength) {
  PAGED_CODE();
  PhysicalDevice* device = find(deviceObject);
  if (!device) stop("IoGetDeviceProperty", "device object is not a physical device object");
  *resultLength = 0;
  if (property != DevicePropertyClassName)
    stop("IoGetDeviceProperty", "properties other than DevicePropertyClassName are not implemented");
  if (!device->options.className) return STATUS_OBJECT_NAME_NOT_FOUND;
  const std::u16string& name = *device->options.className;
  ULONG needed = ULONG((name.size() + 1) * sizeof(WCHAR));
  *resultLength = needed;
  if (bufferLength < needed) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(propertyBuffer, name.c_str(), needed);
  return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT deviceObject, ULONG devInstKeyType, ACCESS_MASK,
                                 PHANDLE devInstRegKey) {
  PAGED_CODE();
  PhysicalDevice* device = find(deviceObject);
  if (!device) stop("IoOpenDeviceRegistryKey", "device object is not a physical device object");
  if (devInstKeyType != PLUGPLAY_REGKEY_DEVICE)
    stop("IoOpenDeviceRegistryKey", "key types other than PLUGPLAY_REGKEY_DEVICE are not implemented");
  *devInstRegKey = openKeyHandle(device->parametersKey);
  return *devInstRegKey ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type, POWER_STATE state) {
  POWER_STATE previous{};
  if (type != DevicePowerState) return previous;  // system states are the power manager's own
  Lock lock(kernel().mutex);
  previous.DeviceState = deviceObject->DeviceObjectExtension->powerState;
  // A driver above the bus reports a new state in step with the stack below
  // it: D0 once the lower drivers have reached it, a lower state before it
  // passes the request down (so the lower device is still where it was).
  PDEVICE_OBJECT lower = deviceObject->DeviceObjectExtension->AttachedTo;
  if (lower && state.DeviceState != previous.DeviceState) {
    DEVICE_POWER_STATE below = lower->DeviceObjectExtension->powerState;
    if (state.DeviceState == PowerDeviceD0 && below != PowerDeviceD0)
      stop("PoSetPowerState", "reports D0 before the lower drivers have reached it: on the way up, call it once "
                              "the device set-power request has come back from below");
    if (state.DeviceState > PowerDeviceD0 && below == state.DeviceState && previous.DeviceState == PowerDeviceD0)
      stop("PoSetPowerState", "reports a lower power state after the device set-power request went below: on the "
                              "way down, call it before passing the request on");
  }
  deviceObject->DeviceObjectExtension->powerState = state.DeviceState;
  return previous;
}

}  // extern "C"
