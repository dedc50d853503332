// Simulated platform: requests the simulated bus hands to the device to answer
// (control transfers, SELECT_CONFIGURATION, pipe resets): the setup packet each
// URB becomes, the faults tests arm, and answering at once, late or never.
#include "usb_adapter_state.h"

#include <cstring>

namespace sim::usb {

using namespace model;

bool Bus::setupOf(PURB urb, Setup& s) {
  USHORT f = urb->UrbHeader.Function;
  auto& vc = urb->UrbControlVendorClassRequest;
  auto recipientOf = [](USHORT base, USHORT fn) { return uint8_t(fn - base); };
  switch (f) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& d = urb->UrbControlDescriptorRequest;
      s = {0x80, USB_REQUEST_GET_DESCRIPTOR, uint16_t(d.DescriptorType << 8 | d.Index), d.LanguageId,
           uint16_t(d.TransferBufferLength)};
      return true;
    }
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
      bool set = f <= URB_FUNCTION_SET_FEATURE_TO_ENDPOINT;
      auto& r = urb->UrbControlFeatureRequest;
      s = {recipientOf(set ? URB_FUNCTION_SET_FEATURE_TO_DEVICE : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, f),
           uint8_t(set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE), r.FeatureSelector, r.Index, 0};
      return true;
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: {
      auto& r = urb->UrbControlGetStatusRequest;
      s = {uint8_t(0x80 | recipientOf(URB_FUNCTION_GET_STATUS_FROM_DEVICE, f)), USB_REQUEST_GET_STATUS, 0, r.Index,
           uint16_t(r.TransferBufferLength)};
      return true;
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
      bool vendor = f <= URB_FUNCTION_VENDOR_ENDPOINT || f == URB_FUNCTION_VENDOR_OTHER;
      uint8_t recipient = f == URB_FUNCTION_VENDOR_OTHER || f == URB_FUNCTION_CLASS_OTHER
                              ? 3
                              : recipientOf(vendor ? URB_FUNCTION_VENDOR_DEVICE : URB_FUNCTION_CLASS_DEVICE, f);
      uint8_t direction = (vc.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0;
      s = {uint8_t(direction | (vendor ? 0x40 : 0x20) | recipient | vc.RequestTypeReservedBits), vc.Request, vc.Value,
           vc.Index, uint16_t(vc.TransferBufferLength)};
      return true;
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
      auto& t = urb->UrbControlTransfer;
      if (t.PipeHandle && !(t.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER))
        stop(kSubmit, "control transfers on pipes other than the default pipe are not implemented");
      const UCHAR* p = t.SetupPacket;
      s = {p[0], p[1], uint16_t(p[2] | p[3] << 8), uint16_t(p[4] | p[5] << 8), uint16_t(t.TransferBufferLength)};
      return true;
    }
    default:
      return false;
  }
}

namespace {

// The first armed fault that matches the request, used up by one match. Mutex held.
std::optional<Fault> matchFault(std::vector<Fault>& faults, USHORT function, const Setup& setup, bool control) {
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    const ControlMatch& m = it->match;
    if ((m.function && *m.function != function) || (m.request && (!control || *m.request != setup.request)) ||
        (m.requestType && (!control || *m.requestType != setup.type)))
      continue;
    Fault matched = *it;
    if (it->times > 0 && --it->times == 0) faults.erase(it);
    return matched;
  }
  return std::nullopt;
}

}  // namespace

NTSTATUS Bus::answerRequest(State& s, std::unique_lock<std::mutex>& lock, uint64_t id, PIRP irp, PURB urb,
                            const Setup& setup, bool control) {
  std::optional<Fault> fault = matchFault(s.faults, urb->UrbHeader.Function, setup, control);
  Answer answer = fault ? fault->answer : Answer::Normally;
  // A stalled request is on the record as stalled at once; cancelling it before
  // the stall reaches the host makes it cancelled instead.
  if (answer == Answer::Stall) s.noteFinish(id, stalled(), UrbRecord::State::Completed);
  if (s.options.completeInline && (answer == Answer::Normally || answer == Answer::Stall)) {
    Outcome o = answer == Answer::Stall ? stalled() : execute(s, id, urb, setup);
    if (answer == Answer::Stall) s.tapFinish(id, urb, o);
    lock.unlock();
    flushTap(s);
    completeUrb(irp, urb, o);
    return o.status;
  }
  hold(s, id, {irp, urb, nullptr, setup, control});
  lock.unlock();
  flushTap(s);
  if (answer == Answer::Never) return STATUS_PENDING;
  bool stall = answer == Answer::Stall;
  later(s, answer == Answer::Late ? fault->delay100ns : 0, [id, stall](State& st) { answerHeld(st, id, stall); });
  return STATUS_PENDING;
}

Outcome Bus::execute(State& s, uint64_t id, PURB urb, const Setup& setup) {
  USHORT function = urb->UrbHeader.Function;
  Outcome o;
  if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
    o = s.selectConfiguration(urb);
  } else if (function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || function == URB_FUNCTION_SYNC_RESET_PIPE ||
             function == URB_FUNCTION_SYNC_CLEAR_STALL) {
    o = s.pipeRequest(urb, function);
  } else {
    auto& t = urb->UrbControlTransfer;  // same layout for the buffer fields of every control URB
    std::span<const uint8_t> out;
    if (!setup.in() && t.TransferBufferLength) out = {static_cast<const uint8_t*>(t.TransferBuffer), t.TransferBufferLength};
    s.noteDataOut(id, out);
    o = s.controlRequest(setup, out);
    if (setup.in() && !o.in.empty()) std::memcpy(t.TransferBuffer, o.in.data(), o.in.size());
    s.noteDataIn(id, o.in);
  }
  s.noteFinish(id, o, UrbRecord::State::Completed);
  s.tapFinish(id, urb, o);
  return o;
}

void Bus::answerHeld(State& s, uint64_t id, bool stall) {
  PIRP irp;
  PURB urb;
  Outcome o;
  {
    std::lock_guard lock(s.mutex);
    auto f = claim(s, id);
    if (!f) return;  // cancelled
    irp = f->irp;
    urb = f->urb;
    o = stall ? stalled() : execute(s, id, urb, f->setup);
    if (stall) s.tapFinish(id, urb, o);
  }
  flushTap(s);
  completeUrb(irp, urb, o);
}

}  // namespace sim::usb
