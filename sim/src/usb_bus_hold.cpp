// Simulated platform: how the simulated bus holds requests. A held request is
// pending with a cancel routine set; whoever clears the routine first (the
// bus to complete it, or IoCancelIrp) owns it. Completion is at DISPATCH_LEVEL.
#include "usb_adapter_state.h"

namespace sim::usb {

using namespace model;

bool model::isTransferFunction(USHORT f) {
  switch (f) {
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
      return true;
    default:
      return false;
  }
}

void model::completeUrb(PIRP irp, PURB urb, const Outcome& o) {
  urb->UrbHeader.Status = o.usbd;
  if (isTransferFunction(urb->UrbHeader.Function)) urb->UrbBulkOrInterruptTransfer.TransferBufferLength = o.transferred;
  irp->IoStatus.Status = o.status;
  irp->IoStatus.Information = 0;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
}

void Bus::hold(State& s, uint64_t id, InFlight f) {
  IoMarkIrpPending(f.irp);
  f.irp->Tail.Overlay.DriverContext[0] = &s;
  f.irp->Tail.Overlay.DriverContext[1] = reinterpret_cast<PVOID>(uintptr_t(id));
  // Ids only grow: the new one goes at the end, with no search.
  s.inFlight.emplace_hint(s.inFlight.end(), id, f);
  if (f.pipe) f.pipe->queue.push_back(id);
  IoSetCancelRoutine(f.irp, cancelRoutine);
  // A cancel that came before the routine was set finds none: honour it here.
  if (f.irp->Cancel && IoSetCancelRoutine(f.irp, nullptr)) {
    s.inFlight.erase(id);
    if (f.pipe) std::erase(f.pipe->queue, id);
    s.noteFinish(id, cancelled(), UrbRecord::State::Cancelled);
    s.tapFinish(id, f.urb, cancelled(), UrbRecord::State::Cancelled);
    sim::detail::scheduleAction(0, [irp = f.irp, urb = f.urb] { completeUrb(irp, urb, cancelled()); }, true);
  }
}

std::optional<InFlight> Bus::claim(State& s, uint64_t id) {
  auto it = s.inFlight.find(id);
  if (it == s.inFlight.end()) return std::nullopt;
  if (!IoSetCancelRoutine(it->second.irp, nullptr)) return std::nullopt;  // being cancelled
  InFlight f = it->second;
  s.inFlight.erase(it);
  // The pump claims the head of its pipe's queue: no search for that one.
  if (f.pipe && !f.pipe->queue.empty() && f.pipe->queue.front() == id)
    f.pipe->queue.pop_front();
  else if (f.pipe)
    std::erase(f.pipe->queue, id);
  return f;
}

void Bus::cancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto state = static_cast<State*>(irp->Tail.Overlay.DriverContext[0]);
  auto id = uint64_t(reinterpret_cast<uintptr_t>(irp->Tail.Overlay.DriverContext[1]));
  PURB urb;
  bool queued;
  {
    std::lock_guard lock(state->mutex);
    auto it = state->inFlight.find(id);
    // Whoever clears the cancel routine first owns the request, so it is still held here.
    if (it == state->inFlight.end()) stop("simulated USB bus", "cancel routine ran for a request it does not hold");
    urb = it->second.urb;
    queued = it->second.pipe != nullptr;
    if (queued) std::erase(it->second.pipe->queue, id);
    state->inFlight.erase(it);
    state->noteFinish(id, cancelled(), UrbRecord::State::Cancelled);
    state->tapFinish(id, urb, cancelled(), UrbRecord::State::Cancelled);
    // A pump that found this transfer at the head of its queue while it was
    // being cancelled stopped there: the transfers behind it may take data now.
    if (queued && claimPumpLocked(*state)) queuePump(*state);
  }
  flushTap(*state);
  completeUrb(irp, urb, cancelled());
}

void Bus::later(State& s, int64_t delay100ns, std::function<void(State&)> action) {
  sim::detail::scheduleAction(delay100ns, [weak = s.self, action = std::move(action)] {
    if (auto adapter = weak.lock()) action(stateOf(*adapter));
  }, true);
}

}  // namespace sim::usb
