// Simulated platform: I/O request packets. Allocation and reuse, the trip down
// a device stack (IofCallDriver), the trip back up with completion routines
// (IofCompleteRequest), cancellation, and the I/O manager's own finishing of
// application requests. Every IRP is registered, so the verifier can stop a
// double completion, a completion with a cancel routine set, or a free in use.
#include "kernel.h"

#include <cstdlib>
#include <cstring>

namespace sim::detail {

const char* const kMarkedPendingReturnedFinal =
    "marked the IRP pending (IoMarkIrpPending) but returned a final status: a routine that marks a request "
    "pending must return STATUS_PENDING";

namespace {

constexpr size_t kQuarantineIrps = 256;

bool namesDevice(const IO_STACK_LOCATION& location, PDEVICE_OBJECT device) {
  // A device is deleted while it handles its own remove request.
  bool removal = location.MajorFunction == IRP_MJ_PNP && location.MinorFunction == IRP_MN_REMOVE_DEVICE;
  return location.DeviceObject == device && !removal;
}

size_t irpBytes(CCHAR stackSize) { return sizeof(IRP) + size_t(stackSize) * sizeof(IO_STACK_LOCATION); }

void initializeIrp(PIRP irp, CCHAR stackSize, USHORT size) {
  std::memset(irp, 0, irpBytes(stackSize));
  irp->Type = IO_TYPE_IRP;
  irp->Size = size;
  irp->StackCount = stackSize;
  irp->CurrentLocation = CHAR(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

// The IRP's record, once its header says it is live. Needs no lock: the
// header's state is atomic, and the record stays put while the IRP lives.
IrpRecord& recordOf(PIRP irp, const char* call) {
  IrpHeader* header = headerOf(irp);
  uint32_t state = header->state.load(std::memory_order_relaxed);
  if (state == IrpHeader::kFreed) stop(call, "uses an IRP after it was freed");
  if (state != IrpHeader::kLive) stop(call, "uses something that is not an IRP");
  return *header->record;
}

bool inFlight(PIRP irp) { return irp->CurrentLocation <= irp->StackCount; }

bool isError(NTSTATUS status) { return ULONG(status) >= 0xC0000000u; }

bool isFailedSystemSetPower(PIRP irp) {
  const IO_STACK_LOCATION* location = IoGetCurrentIrpStackLocation(irp);
  return location->MajorFunction == IRP_MJ_POWER && location->MinorFunction == IRP_MN_SET_POWER &&
         location->Parameters.Power.Type == SystemPowerState && !NT_SUCCESS(irp->IoStatus.Status);
}

// What the Plug and Play manager holds a stack to, seen as its request ends:
// a create succeeds only where the device node admits one, and a cancel of a
// query never fails.
void checkPlugAndPlayRulesLocked(const app::RequestState& request) {
  NTSTATUS status = request.result.status;
  if (request.majorFunction == IRP_MJ_CREATE && NT_SUCCESS(status) && request.file)
    if (const char* why = createRefusalLocked(request.file->DeviceObject))
      stop("IRP_MJ_CREATE", std::string("a create was admitted on a device ") + why +
                                ": a driver fails every new create from a granted query-stop or query-remove until "
                                "its cancel, and while the device is stopped or removed");
  bool cancelOfQuery = request.minorFunction == IRP_MN_CANCEL_STOP_DEVICE ||
                       request.minorFunction == IRP_MN_CANCEL_REMOVE_DEVICE;
  if (request.majorFunction == IRP_MJ_PNP && cancelOfQuery && !NT_SUCCESS(status))
    stop("IRP_MJ_PNP", std::string(request.minorFunction == IRP_MN_CANCEL_STOP_DEVICE ? "IRP_MN_CANCEL_STOP_DEVICE"
                                                                                       : "IRP_MN_CANCEL_REMOVE_DEVICE") +
                           " completed with a failure: drivers must succeed it and resume");
}

// The I/O manager's last step for an application request: copy the buffered
// output back, record the result, free the IRP.
void finishApplicationIrp(Kernel& k, PIRP irp, app::RequestState& request) {
  request.markedPending = irp->PendingReturned;
  if (request.returnedPending && !request.markedPending)
    stop("IofCompleteRequest", "dispatch routine returned STATUS_PENDING without marking the IRP pending");
  if (request.copyBack && !isError(irp->IoStatus.Status) && irp->IoStatus.Information > request.outputLength)
    stop("IofCompleteRequest", "Information (" + std::to_string(irp->IoStatus.Information) +
                                   ") exceeds the output buffer length (" + std::to_string(request.outputLength) + ")");
  // The output is the bytes returned, copied once from the system buffer; a
  // failed buffered request returns none.
  if (request.copyBack) {
    auto returned = static_cast<const uint8_t*>(request.systemBuffer);
    request.output.assign(returned, returned + (isError(irp->IoStatus.Status) ? 0 : irp->IoStatus.Information));
  }
  request.result = app::Result{irp->IoStatus.Status, irp->IoStatus.Information};
  checkPlugAndPlayRulesLocked(request);
  request.completionOrder = ++k.requestsCompleted;
  std::free(request.systemBuffer);
  request.systemBuffer = nullptr;
  request.done.store(true, std::memory_order_release);
  if (request.file) fileRequestFinishedLocked(k, request.file);
  if (request.cancelsInProgress) {
    request.freeDeferred = true;
  } else {
    request.irp = nullptr;
    freeIrpLocked(k, irp);
  }
  announceChangeLocked(k);
}

}  // namespace

const IO_STACK_LOCATION* inFlightLocationForLocked(Kernel& k, PDEVICE_OBJECT device) {
  for (auto& [irp, record] : k.irps) {
    if (!inFlight(irp)) continue;
    auto locations = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    for (int i = irp->CurrentLocation - 1; i < irp->StackCount; ++i)
      if (namesDevice(locations[i], device)) return &locations[i];
  }
  return nullptr;
}

PIRP allocateIrp(CCHAR stackSize, IrpOwner owner) {
  if (stackSize < 1) stop("IoAllocateIrp", "stack size below 1");
  size_t hostBytes = sizeof(IrpHeader) + (irpBytes(stackSize) + 15) / 16 * 16;
  Kernel& k = kernel();
  Lock lock(k.mutex);
  auto header = static_cast<IrpHeader*>(k.irpFreeLists.take(hostBytes));
  if (!header) header = static_cast<IrpHeader*>(std::aligned_alloc(16, hostBytes));
  auto irp = reinterpret_cast<PIRP>(header + 1);
  initializeIrp(irp, stackSize, USHORT(irpBytes(stackSize)));
  header->record = &k.irps.insert_or_assign(irp, IrpRecord{owner, nullptr, {}}).first->second;
  header->state.store(IrpHeader::kLive, std::memory_order_relaxed);
  return irp;
}

void freeIrpLocked(Kernel& k, PIRP irp) {
  forgetPowerIrpLocked(k, irp);
  k.irps.erase(irp);
  IrpHeader* header = headerOf(irp);
  header->state.store(IrpHeader::kFreed, std::memory_order_relaxed);
  header->record = nullptr;
  size_t bytes = irpBytes(irp->StackCount);
  std::memset(irp, 0xDD, bytes);
  if (k.options.addresses == sim::Addresses::Reuse) {
    k.irpFreeLists.put(header, sizeof(IrpHeader) + (bytes + 15) / 16 * 16);
    return;
  }
  k.irpQuarantine.push_back(irp);
  if (k.irpQuarantine.size() > kQuarantineIrps) {
    std::free(headerOf(k.irpQuarantine.front()));
    k.irpQuarantine.pop_front();
  }
}

NTSTATUS invalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  // As the platform's default handler does, a power request is let go first,
  // so that the next one for the device can start.
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS callDriverAs(const char* call, PDEVICE_OBJECT deviceObject, PIRP irp) {
  checkKernelStack(call);
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) stop(call, "called above DISPATCH_LEVEL");
  recordOf(irp, call);
  if (irp->CurrentLocation <= 1) stop(call, "IRP has no stack location left for the next driver");
  if (IoGetNextIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) return presentPowerIrp(call, deviceObject, irp);
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  IoGetCurrentIrpStackLocation(irp)->DeviceObject = deviceObject;
  return dispatchCurrentLocation(deviceObject, irp);
}

NTSTATUS dispatchCurrentLocation(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  if (location->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) stop("IofCallDriver", "major function out of range");
  PDRIVER_DISPATCH dispatch = deviceObject->DriverObject->MajorFunction[location->MajorFunction];
  return dispatch(deviceObject, irp);
}

}  // namespace sim::detail

using namespace sim::detail;

extern "C" {

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) stop("IoAllocateIrp", "called above DISPATCH_LEVEL");
  if (injectFailure()) return nullptr;
  return allocateIrp(stackSize, IrpOwner::Driver);
}

void IoFreeIrp(PIRP irp) {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  IrpRecord& record = recordOf(irp, "IoFreeIrp");
  if (record.owner == IrpOwner::PowerManager)
    stop("IoFreeIrp", "frees a power IRP from PoRequestPowerIrp: the power manager frees it after the completion function");
  if (record.owner != IrpOwner::Driver) stop("IoFreeIrp", "frees an IRP the I/O manager owns");
  if (inFlight(irp)) stop("IoFreeIrp", "frees an IRP that a driver below still holds");
  if (irp->CancelRoutine) stop("IoFreeIrp", "frees an IRP with a cancel routine set");
  freeIrpLocked(k, irp);
}

void IoReuseIrp(PIRP irp, NTSTATUS status) {
  recordOf(irp, "IoReuseIrp");
  if (inFlight(irp)) stop("IoReuseIrp", "reuses an IRP that a driver below still holds");
  if (irp->CancelRoutine) stop("IoReuseIrp", "reuses an IRP with a cancel routine set");
  initializeIrp(irp, irp->StackCount, irp->Size);
  irp->IoStatus.Status = status;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
  NTSTATUS status = callDriverAs("IofCallDriver", deviceObject, irp);
  preemptionPoint(sim::PreemptionPoint::CallDriverReturned);
  return status;
}

void IofCompleteRequest(PIRP irp, CCHAR) {
  Kernel& k = kernel();
  checkKernelStack("IofCompleteRequest");
  recordOf(irp, "IofCompleteRequest");
  if (!inFlight(irp)) stop("IofCompleteRequest", "completes an IRP that is already complete (completed twice)");
  if (irp->CancelRoutine) stop("IofCompleteRequest", "completes an IRP whose cancel routine is still set");
  if (irp->IoStatus.Status == STATUS_PENDING) stop("IofCompleteRequest", "completes an IRP with STATUS_PENDING");
  if (isFailedSystemSetPower(irp))
    stop("IofCompleteRequest", "completes a system set-power request with a failure status: a driver may fail a "
                               "query-power, never a set-power (the system goes to that state regardless)");
  if (heldSpinLocks()) stop("IofCompleteRequest", "completes an IRP while holding a spin lock");
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) stop("IofCompleteRequest", "called above DISPATCH_LEVEL");
  checkPowerIrpLeaves("IofCompleteRequest", irp, "completed");

  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
  for (; irp->CurrentLocation <= irp->StackCount + 1;
       location++, irp->CurrentLocation++, irp->Tail.Overlay.CurrentStackLocation++) {
    irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
    NTSTATUS status = irp->IoStatus.Status;
    bool invoke = location->CompletionRoutine &&
                  ((NT_SUCCESS(status) && (location->Control & SL_INVOKE_ON_SUCCESS)) ||
                   (!NT_SUCCESS(status) && (location->Control & SL_INVOKE_ON_ERROR)) ||
                   (irp->Cancel && (location->Control & SL_INVOKE_ON_CANCEL)));
    PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
    PVOID context = location->Context;
    std::memset(location, 0, sizeof *location);
    if (invoke) {
      PDEVICE_OBJECT device =
          irp->CurrentLocation == irp->StackCount + 1 ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
      KIRQL before = KeGetCurrentIrql();
      NTSTATUS result = routine(device, irp, context);
      if (KeGetCurrentIrql() != before) stop("completion routine", "returned at a different IRQL");
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
      // The routine hands the IRP on up: its driver is done with it.
      if (irp->CurrentLocation <= irp->StackCount) checkPowerIrpLeaves("completion routine", irp, "passed back up");
    } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
      IoMarkIrpPending(irp);
    }
  }

  Lock lock(k.mutex);
  IrpRecord& record = recordOf(irp, "IofCompleteRequest");
  if (record.owner == IrpOwner::PowerManager) {
    std::function<void(PIRP)> finish = std::move(record.finish);
    lock.unlock();
    finish(irp);
    return;
  }
  if (record.owner == IrpOwner::Driver)
    stop("IofCompleteRequest",
         "a driver-allocated IRP reached the I/O manager: its completion routine must return "
         "STATUS_MORE_PROCESSING_REQUIRED");
  std::shared_ptr<app::RequestState> request = record.request;
  finishApplicationIrp(k, irp, *request);
}

void IoMarkIrpPending(PIRP irp) {
  if (irp->CurrentLocation > irp->StackCount)
    stop("IoMarkIrpPending",
         "the IRP has no current stack location (the completion routine of a driver-allocated IRP, or an IRP not "
         "yet sent, must not mark it pending: that writes past the last stack location)");
  IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
}

BOOLEAN IoCancelIrp(PIRP irp) {
  Kernel& k = kernel();
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) stop("IoCancelIrp", "called above DISPATCH_LEVEL");
  recordOf(irp, "IoCancelIrp");
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  irp->CancelIrql = irql;
  PDEVICE_OBJECT device = inFlight(irp) ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
  routine(device, irp);
  if (holdsSpinLock(&k.cancelSpinLock)) stop("cancel routine", "returned without releasing the cancel spin lock");
  if (KeGetCurrentIrql() != irql) stop("cancel routine", "did not restore the IRQL in CancelIrql");
  return TRUE;
}

}  // extern "C"
