// Simulated platform: the USB bus driver's handling of URBs for one adapter,
// and the CDC-ACM adapter model behind it. The bus side checks each URB as the
// platform's USB stack does, keeps requests pending (cancellable) until the
// device answers, and completes them at DISPATCH_LEVEL with the URB's status
// and length filled in. The device side answers standard and CDC requests,
// moves bulk and interrupt data, and records every URB.
#include "kernel.h"
#include "sim/cdc_acm.h"

#include <cstring>

namespace sim::usb {

using detail::stop;

namespace {

constexpr const char* kSubmit = "IOCTL_INTERNAL_USB_SUBMIT_URB";

struct Setup {
  uint8_t type = 0, request = 0;
  uint16_t value = 0, index = 0, length = 0;
  bool in() const { return type & 0x80; }
};

// What the device does with one request.
struct Outcome {
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  std::vector<uint8_t> in;  // bytes returned to the host
  ULONG transferred = 0;
};

Outcome failure(NTSTATUS status, USBD_STATUS usbd) { return {status, usbd, {}, 0}; }
Outcome stalled() { return failure(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID); }

struct Endpoint {
  uint8_t address, attributes, interval;
  uint16_t maxPacketSize;
};

// An interface descriptor of the device and the endpoints that follow it.
struct DeviceInterface {
  uint8_t number, alternate, cls, subclass, protocol, declaredEndpoints;
  std::vector<Endpoint> endpoints;
};

// Parses the device's own descriptor set, bounded by wTotalLength and by the
// bytes that exist, whichever ends first.
std::vector<DeviceInterface> parseInterfaces(const std::vector<uint8_t>& bytes) {
  std::vector<DeviceInterface> out;
  if (bytes.size() < 4) return out;
  size_t end = std::min<size_t>(bytes.size(), size_t(bytes[2] | bytes[3] << 8));
  for (size_t p = 0; p + 2 <= end;) {
    uint8_t length = bytes[p];
    if (length < 2 || p + length > end) break;
    if (bytes[p + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= 9)
      out.push_back({bytes[p + 2], bytes[p + 3], bytes[p + 5], bytes[p + 6], bytes[p + 7], bytes[p + 4], {}});
    else if (bytes[p + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= 7 && !out.empty())
      out.back().endpoints.push_back({bytes[p + 2], bytes[p + 3], bytes[p + 6], uint16_t(bytes[p + 4] | bytes[p + 5] << 8)});
    p += length;
  }
  return out;
}

struct Pipe {
  Endpoint endpoint;
  uint8_t interfaceNumber;
  bool halted = false;
  std::deque<uint64_t> queue{};  // transfers waiting for the device, oldest first
  bool in() const { return endpoint.address & USB_ENDPOINT_DIRECTION_MASK; }
  USBD_PIPE_TYPE type() const { return USBD_PIPE_TYPE(endpoint.attributes & USB_ENDPOINT_TYPE_MASK); }
};

struct Fault {
  ControlMatch match;
  Answer answer;
  int64_t delay100ns;
  int times;
};

// A request the bus holds: its IRP has the cancel routine set.
struct InFlight {
  PIRP irp;
  PURB urb;
  Pipe* pipe;  // bulk and interrupt transfers
  Setup setup;  // control transfers
  bool control;
};

bool isTransferFunction(USHORT f) {
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

// Completes an IRP the bus owns, at DISPATCH_LEVEL as a host controller's DPC would.
void completeUrb(PIRP irp, PURB urb, const Outcome& o) {
  urb->UrbHeader.Status = o.usbd;
  if (isTransferFunction(urb->UrbHeader.Function)) urb->UrbBulkOrInterruptTransfer.TransferBufferLength = o.transferred;
  irp->IoStatus.Status = o.status;
  irp->IoStatus.Information = 0;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
}

}  // namespace

struct CdcAcmAdapter::State {
  AdapterOptions options;
  std::weak_ptr<CdcAcmAdapter> self;
  std::vector<uint8_t> deviceDescriptor;
  std::vector<uint8_t> configuration;
  std::vector<DeviceInterface> interfaces;

  mutable std::mutex mutex;
  // device state
  LineCoding lineCoding;
  uint16_t lineState = 0;
  uint8_t configValue = 0;
  std::map<uint8_t, uint8_t> alternates;
  bool remoteWakeup = false;
  unsigned resets = 0;
  std::vector<uint16_t> breaks;
  bool gone = false;
  bool holdOut = false;
  // pipes of the current configuration; retired ones stay allocated so that a
  // stale handle is recognised instead of dereferenced
  std::vector<std::unique_ptr<Pipe>> pipes, retired;
  std::deque<uint8_t> bulkIn;
  std::deque<std::vector<uint8_t>> notifications;
  std::vector<uint8_t> bulkOut;
  // requests
  uint64_t nextId = 1;
  std::map<uint64_t, InFlight> inFlight;
  std::vector<UrbRecord> records;
  std::vector<Fault> faults;

  // ---- records (mutex held) ----
  UrbRecord* record(uint64_t id) {
    for (auto it = records.rbegin(); it != records.rend(); ++it)
      if (it->id == id) return &*it;
    return nullptr;
  }

  void noteFinish(uint64_t id, const Outcome& o, UrbRecord::State state) {
    UrbRecord* r = record(id);
    if (!r) return;
    r->state = state;
    r->status = o.status;
    r->usbdStatus = o.usbd;
    r->transferred = o.transferred;
    r->dataIn = o.in;
    r->finished100ns = sim::now();
  }

  Pipe* pipeOf(USBD_PIPE_HANDLE handle) {
    for (auto& p : pipes)
      if (p.get() == handle) return p.get();
    return nullptr;
  }

  Pipe* pipeAt(uint8_t address) {
    for (auto& p : pipes)
      if (p->endpoint.address == address) return p.get();
    return nullptr;
  }

  Pipe* firstPipe(uint8_t type, bool in) {
    for (auto& p : pipes)
      if ((p->endpoint.attributes & USB_ENDPOINT_TYPE_MASK) == type && p->in() == in) return p.get();
    return nullptr;
  }

  const DeviceInterface* findInterface(uint8_t number, uint8_t alternate) const {
    for (auto& i : interfaces)
      if (i.number == number && i.alternate == alternate) return &i;
    return nullptr;
  }

  // Takes a request off the in-flight table to complete it, unless its cancel
  // routine already owns it. Mutex held.
  std::optional<InFlight> claim(uint64_t id) {
    auto it = inFlight.find(id);
    if (it == inFlight.end()) return std::nullopt;
    if (!IoSetCancelRoutine(it->second.irp, nullptr)) return std::nullopt;  // being cancelled
    InFlight f = it->second;
    inFlight.erase(it);
    if (f.pipe) std::erase(f.pipe->queue, id);
    return f;
  }

  // ---- the device's answers to control requests (mutex held) ----
  Outcome standardRequest(const Setup& s, std::span<const uint8_t> out);
  Outcome classRequest(const Setup& s, std::span<const uint8_t> out);
  Outcome controlRequest(const Setup& s, std::span<const uint8_t> out) {
    if (gone) return failure(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    switch (s.type & 0x60) {
      case 0x00: return standardRequest(s, out);
      case 0x20: return classRequest(s, out);
      default: return stalled();  // no vendor requests on this adapter
    }
  }
  Outcome selectConfiguration(PURB urb);
  Outcome pipeRequest(PURB urb, USHORT function);
  void resetPort();
};

// ---- device side: standard and class requests ----------------------------------------

Outcome CdcAcmAdapter::State::standardRequest(const Setup& s, std::span<const uint8_t>) {
  auto reply = [&](std::vector<uint8_t> bytes) {
    if (bytes.size() > s.length) bytes.resize(s.length);
    ULONG n = ULONG(bytes.size());
    return Outcome{STATUS_SUCCESS, USBD_STATUS_SUCCESS, std::move(bytes), n};
  };
  uint8_t recipient = s.type & 0x1F;
  switch (s.request) {
    case USB_REQUEST_GET_DESCRIPTOR: {
      uint8_t type = uint8_t(s.value >> 8), index = uint8_t(s.value);
      if (type == USB_DEVICE_DESCRIPTOR_TYPE) return reply(deviceDescriptor);
      if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) return reply(configuration);
      if (type == USB_STRING_DESCRIPTOR_TYPE && index == 0) return reply({4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04});
      return stalled();
    }
    case USB_REQUEST_SET_FEATURE:
    case USB_REQUEST_CLEAR_FEATURE: {
      bool set = s.request == USB_REQUEST_SET_FEATURE;
      if (recipient == 0 && s.value == USB_FEATURE_REMOTE_WAKEUP) {
        if (!(configuration.size() > 7 && (configuration[7] & USB_CONFIG_REMOTE_WAKEUP))) return stalled();
        remoteWakeup = set;
        return {};
      }
      if (recipient == 2 && s.value == USB_FEATURE_ENDPOINT_STALL) {
        Pipe* p = pipeAt(uint8_t(s.index));
        if (!p) return stalled();
        p->halted = set;
        return {};
      }
      return stalled();
    }
    case USB_REQUEST_GET_STATUS: {
      uint16_t status = 0;
      if (recipient == 0) status = uint16_t((remoteWakeup ? 2 : 0) | (configuration.size() > 7 && (configuration[7] & USB_CONFIG_SELF_POWERED) ? 1 : 0));
      if (recipient == 2) {
        Pipe* p = pipeAt(uint8_t(s.index));
        if (!p) return stalled();
        status = p->halted ? 1 : 0;
      }
      return reply({uint8_t(status), uint8_t(status >> 8)});
    }
    case USB_REQUEST_GET_CONFIGURATION:
      return reply({configValue});
    default:
      return stalled();
  }
}

Outcome CdcAcmAdapter::State::classRequest(const Setup& s, std::span<const uint8_t> out) {
  // Class requests go to a configured communication interface.
  if ((s.type & 0x1F) != 1 || !configValue) return stalled();
  auto alt = alternates.find(uint8_t(s.index));
  const DeviceInterface* target = alt == alternates.end() ? nullptr : findInterface(alt->first, alt->second);
  if (!target || target->cls != USB_DEVICE_CLASS_COMMUNICATIONS) return stalled();
  switch (s.request) {
    case CDC_SET_LINE_CODING:
      if (s.in() || out.size() != 7) return stalled();
      lineCoding = LineCoding::from(out.data());
      return {STATUS_SUCCESS, USBD_STATUS_SUCCESS, {}, 7};
    case CDC_GET_LINE_CODING: {
      if (!s.in()) return stalled();
      auto b = lineCoding.bytes();
      std::vector<uint8_t> bytes(b.begin(), b.begin() + std::min<size_t>(7, s.length));
      ULONG n = ULONG(bytes.size());
      return {STATUS_SUCCESS, USBD_STATUS_SUCCESS, std::move(bytes), n};
    }
    case CDC_SET_CONTROL_LINE_STATE:
      if (s.in() || s.length) return stalled();
      lineState = s.value;
      return {};
    case CDC_SEND_BREAK:
      if (s.in() || s.length) return stalled();
      breaks.push_back(s.value);
      return {};
    default:
      return stalled();
  }
}

// ---- bus side: configuration and pipe requests ------------------------------------------

Outcome CdcAcmAdapter::State::selectConfiguration(PURB urb) {
  auto& select = urb->UrbSelectConfiguration;
  constexpr size_t kFirstInterface = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  if (urb->UrbHeader.Length < kFirstInterface) return failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  if (gone) return failure(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  if (!select.ConfigurationDescriptor) {  // back to the address state
    for (auto& p : pipes) retired.push_back(std::move(p));
    pipes.clear();
    alternates.clear();
    configValue = 0;
    return {};
  }
  if (configuration.size() < 9 || select.ConfigurationDescriptor->bConfigurationValue != configuration[5])
    return failure(STATUS_UNSUCCESSFUL, USBD_STATUS_SET_CONFIG_FAILED);  // the device stalls SET_CONFIGURATION

  // First check every interface record, then change the device.
  struct Choice {
    PUSBD_INTERFACE_INFORMATION info;
    const DeviceInterface* interface;
  };
  std::vector<Choice> choices;
  size_t offset = kFirstInterface;
  auto bytes = reinterpret_cast<UCHAR*>(urb);
  for (unsigned i = 0; i < select.ConfigurationDescriptor->bNumInterfaces; ++i) {
    if (offset + GET_USBD_INTERFACE_SIZE(0) > urb->UrbHeader.Length)
      return failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(bytes + offset);
    const DeviceInterface* d = findInterface(info->InterfaceNumber, info->AlternateSetting);
    if (!d) return failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND);
    if (d->declaredEndpoints != d->endpoints.size())
      return failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    for (auto& c : choices)
      if (c.interface->number == d->number) return failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    if (info->Length < GET_USBD_INTERFACE_SIZE(d->endpoints.size()) || offset + info->Length > urb->UrbHeader.Length)
      return failure(STATUS_INVALID_PARAMETER, USBD_STATUS_BUFFER_TOO_SMALL);
    choices.push_back({info, d});
    offset += info->Length;
  }

  for (auto& p : pipes) retired.push_back(std::move(p));
  pipes.clear();
  alternates.clear();
  for (auto& [info, d] : choices) {
    info->Class = d->cls;
    info->SubClass = d->subclass;
    info->Protocol = d->protocol;
    info->InterfaceHandle = const_cast<DeviceInterface*>(d);
    info->NumberOfPipes = ULONG(d->endpoints.size());
    for (size_t j = 0; j < d->endpoints.size(); ++j) {
      const Endpoint& e = d->endpoints[j];
      pipes.push_back(std::make_unique<Pipe>(Pipe{e, d->number}));
      USBD_PIPE_INFORMATION& p = info->Pipes[j];
      p.MaximumPacketSize = e.maxPacketSize;
      p.EndpointAddress = e.address;
      p.Interval = e.interval;
      p.PipeType = pipes.back()->type();
      p.PipeHandle = pipes.back().get();
    }
    alternates[d->number] = d->alternate;
  }
  configValue = configuration[5];
  select.ConfigurationHandle = &configValue;
  return {};
}

Outcome CdcAcmAdapter::State::pipeRequest(PURB urb, USHORT function) {
  if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST))
    return failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  Pipe* pipe = pipeOf(urb->UrbPipeRequest.PipeHandle);
  if (!pipe) return failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  if (gone) return failure(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  if (function != URB_FUNCTION_SYNC_RESET_PIPE) pipe->halted = false;  // CLEAR_FEATURE(ENDPOINT_HALT) on the device
  return {};
}

void CdcAcmAdapter::State::resetPort() {
  ++resets;
  for (auto& p : pipes) p->halted = false;
  lineCoding = LineCoding{};
  lineState = 0;
  remoteWakeup = false;
}

// ---- the bus driver ---------------------------------------------------------------------------

// Glue between the IRPs and the device: everything that completes requests
// runs here, with the adapter's mutex released around each completion.
struct Bus {
  using State = CdcAcmAdapter::State;

  static void cancelRoutine(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto state = static_cast<State*>(irp->Tail.Overlay.DriverContext[0]);
    auto id = uint64_t(reinterpret_cast<uintptr_t>(irp->Tail.Overlay.DriverContext[1]));
    PURB urb;
    {
      std::lock_guard lock(state->mutex);
      auto it = state->inFlight.find(id);
      // Whoever clears the cancel routine first owns the request, so it is still held here.
      if (it == state->inFlight.end()) stop("simulated USB bus", "cancel routine ran for a request it does not hold");
      urb = it->second.urb;
      if (it->second.pipe) std::erase(it->second.pipe->queue, id);
      state->inFlight.erase(it);
      state->noteFinish(id, failure(STATUS_CANCELLED, USBD_STATUS_CANCELED), UrbRecord::State::Cancelled);
    }
    completeUrb(irp, urb, failure(STATUS_CANCELLED, USBD_STATUS_CANCELED));
  }

  // Holds a request: pending, cancellable, in the in-flight table. Mutex held.
  static void hold(State& s, uint64_t id, InFlight f) {
    IoMarkIrpPending(f.irp);
    f.irp->Tail.Overlay.DriverContext[0] = &s;
    f.irp->Tail.Overlay.DriverContext[1] = reinterpret_cast<PVOID>(uintptr_t(id));
    s.inFlight[id] = f;
    IoSetCancelRoutine(f.irp, cancelRoutine);
    // A cancel that came before the routine was set finds none: honour it here.
    if (f.irp->Cancel && IoSetCancelRoutine(f.irp, nullptr)) {
      s.inFlight.erase(id);
      if (f.pipe) std::erase(f.pipe->queue, id);
      s.noteFinish(id, failure(STATUS_CANCELLED, USBD_STATUS_CANCELED), UrbRecord::State::Cancelled);
      sim::schedule(0, [irp = f.irp, urb = f.urb] { completeUrb(irp, urb, failure(STATUS_CANCELLED, USBD_STATUS_CANCELED)); });
    }
  }

  static void later(State& s, int64_t delay100ns, std::function<void(State&)> action) {
    sim::schedule(delay100ns, [weak = s.self, action = std::move(action)] {
      if (auto adapter = weak.lock()) action(*adapter->state_);
    });
  }

  // Answers a held control request now: the device handles it at this moment.
  static void answerControl(State& s, uint64_t id) {
    PIRP irp;
    PURB urb;
    Outcome o;
    {
      std::lock_guard lock(s.mutex);
      auto f = s.claim(id);
      if (!f) return;
      irp = f->irp;
      urb = f->urb;
      o = execute(s, id, urb, f->setup);
    }
    completeUrb(irp, urb, o);
  }

  // Runs a URB that the device answers at once. Mutex held.
  static Outcome execute(State& s, uint64_t id, PURB urb, const Setup& setup) {
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
      if (UrbRecord* r = s.record(id)) r->dataOut.assign(out.begin(), out.end());
      o = s.controlRequest(setup, out);
      if (setup.in() && !o.in.empty()) std::memcpy(t.TransferBuffer, o.in.data(), o.in.size());
    }
    s.noteFinish(id, o, UrbRecord::State::Completed);
    return o;
  }

  // Moves data between queued transfers and the device until nothing changes.
  static void pump(State& s) {
    for (;;) {
      PIRP irp = nullptr;
      PURB urb = nullptr;
      Outcome o;
      {
        std::lock_guard lock(s.mutex);
        if (!nextTransfer(s, irp, urb, o)) return;
      }
      completeUrb(irp, urb, o);
    }
  }

  // Finds one transfer the device can finish now. Mutex held.
  static bool nextTransfer(State& s, PIRP& irp, PURB& urb, Outcome& o) {
    Pipe* bulkIn = s.firstPipe(USB_ENDPOINT_TYPE_BULK, true);
    Pipe* interruptIn = s.firstPipe(USB_ENDPOINT_TYPE_INTERRUPT, true);
    for (auto& pipe : s.pipes) {
      Pipe* p = pipe.get();
      if (p->queue.empty()) continue;
      bool ready = p->halted || s.gone || (p->in() ? (p == bulkIn && !s.bulkIn.empty()) || (p == interruptIn && !s.notifications.empty())
                                                   : !s.holdOut);
      if (!ready) continue;
      uint64_t id = p->queue.front();
      auto f = s.claim(id);
      if (!f) continue;
      irp = f->irp;
      urb = f->urb;
      o = transfer(s, id, *p, urb->UrbBulkOrInterruptTransfer);
      return true;
    }
    return false;
  }

  static Outcome transfer(State& s, uint64_t id, Pipe& p, struct _URB_BULK_OR_INTERRUPT_TRANSFER& t) {
    Outcome o;
    if (s.gone) {
      o = failure(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    } else if (p.halted) {
      o = failure(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    } else if (!p.in()) {
      auto data = static_cast<const uint8_t*>(t.TransferBuffer);
      s.bulkOut.insert(s.bulkOut.end(), data, data + t.TransferBufferLength);
      if (s.options.loopback) s.bulkIn.insert(s.bulkIn.end(), data, data + t.TransferBufferLength);
      if (UrbRecord* r = s.record(id)) r->dataOut.assign(data, data + t.TransferBufferLength);
      o.transferred = t.TransferBufferLength;
    } else if (p.type() == UsbdPipeTypeBulk) {
      size_t n = std::min<size_t>(t.TransferBufferLength, s.bulkIn.size());
      o.in.assign(s.bulkIn.begin(), s.bulkIn.begin() + n);
      s.bulkIn.erase(s.bulkIn.begin(), s.bulkIn.begin() + n);
    } else {
      o.in = std::move(s.notifications.front());
      s.notifications.pop_front();
      if (o.in.size() > t.TransferBufferLength) o.in.resize(t.TransferBufferLength);
    }
    if (p.in() && NT_SUCCESS(o.status)) {
      std::memcpy(t.TransferBuffer, o.in.data(), o.in.size());
      o.transferred = ULONG(o.in.size());
    }
    s.noteFinish(id, o, UrbRecord::State::Completed);
    return o;
  }

  static void schedulePump(State& s) { later(s, 0, [](State& st) { pump(st); }); }

  static NTSTATUS submit(CdcAcmAdapter& adapter, PIRP irp, PURB urb);
  static bool setupOf(PURB urb, Setup& setup);
};

// Forms the setup packet the host controller sends for a control URB.
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

NTSTATUS Bus::submit(CdcAcmAdapter& adapter, PIRP irp, PURB urb) {
  State& s = *adapter.state_;
  USHORT function = urb->UrbHeader.Function;
  if (isTransferFunction(function)) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    if (t.TransferBufferMDL) stop(kSubmit, "transfer buffers described by an MDL are not implemented");
    if (t.UrbLink) stop(kSubmit, "linked URBs are not implemented");
  }
  Setup setup;
  bool control = setupOf(urb, setup);
  bool known = control || function == URB_FUNCTION_SELECT_CONFIGURATION || function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
               function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || function == URB_FUNCTION_SYNC_RESET_PIPE ||
               function == URB_FUNCTION_SYNC_CLEAR_STALL || function == URB_FUNCTION_ABORT_PIPE;
  if (!known) stop(kSubmit, "URB function " + std::to_string(function) + " is not implemented by the simulated bus");

  std::unique_lock lock(s.mutex);
  uint64_t id = s.nextId++;
  UrbRecord record{.id = id, .function = function, .control = control, .transferFlags = 0,
                   .submitted100ns = sim::now()};
  if (control) {
    record.requestType = setup.type;
    record.request = setup.request;
    record.value = setup.value;
    record.index = setup.index;
    record.length = setup.length;
  }
  s.records.push_back(record);

  auto finishNow = [&](Outcome o) {
    s.noteFinish(id, o, UrbRecord::State::Completed);
    lock.unlock();
    completeUrb(irp, urb, o);
    return o.status;
  };

  // Checks the bus makes before anything reaches the device.
  USHORT minimum = control ? USHORT(sizeof(struct _URB_CONTROL_TRANSFER)) : 0;
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) minimum = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  if (urb->UrbHeader.Length < minimum) return finishNow(failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER));
  if (isTransferFunction(function)) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    s.record(id)->transferFlags = t.TransferFlags;
    s.record(id)->requestedLength = t.TransferBufferLength;
    if (t.TransferBufferLength && !t.TransferBuffer)
      return finishNow(failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER));
  }
  if (s.gone) return finishNow(failure(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE));

  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = s.pipeOf(t.PipeHandle);
    if (!pipe) return finishNow(failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE));
    s.record(id)->endpoint = pipe->endpoint.address;
    if (bool(t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != pipe->in())
      return finishNow(failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER));
    hold(s, id, {irp, urb, pipe, {}, false});
    pipe->queue.push_back(id);
    lock.unlock();
    schedulePump(s);
    return STATUS_PENDING;
  }
  if (function == URB_FUNCTION_ABORT_PIPE) {
    Pipe* pipe = urb->UrbHeader.Length >= sizeof(struct _URB_PIPE_REQUEST) ? s.pipeOf(urb->UrbPipeRequest.PipeHandle) : nullptr;
    if (!pipe) return finishNow(failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE));
    s.record(id)->endpoint = pipe->endpoint.address;
    std::vector<std::pair<PIRP, PURB>> aborted;
    for (uint64_t queued : std::deque<uint64_t>(pipe->queue))
      if (auto f = s.claim(queued)) {
        s.noteFinish(queued, failure(STATUS_CANCELLED, USBD_STATUS_CANCELED), UrbRecord::State::Cancelled);
        aborted.emplace_back(f->irp, f->urb);
      }
    s.noteFinish(id, {}, UrbRecord::State::Completed);
    lock.unlock();
    for (auto& [abortedIrp, abortedUrb] : aborted) completeUrb(abortedIrp, abortedUrb, failure(STATUS_CANCELLED, USBD_STATUS_CANCELED));
    completeUrb(irp, urb, {});
    return STATUS_SUCCESS;
  }
  if (function != URB_FUNCTION_SELECT_CONFIGURATION && !control) {
    Pipe* pipe = urb->UrbHeader.Length >= sizeof(struct _URB_PIPE_REQUEST) ? s.pipeOf(urb->UrbPipeRequest.PipeHandle) : nullptr;
    if (pipe) s.record(id)->endpoint = pipe->endpoint.address;
  }

  // Requests the device answers: faults first, then at once or from the scheduler.
  Answer answer = Answer::Normally;
  int64_t delay = 0;
  for (auto it = s.faults.begin(); it != s.faults.end(); ++it) {
    const ControlMatch& m = it->match;
    if ((m.function && *m.function != function) || (m.request && (!control || *m.request != setup.request)) ||
        (m.requestType && (!control || *m.requestType != setup.type)))
      continue;
    answer = it->answer;
    delay = it->delay100ns;
    if (it->times > 0 && --it->times == 0) s.faults.erase(it);
    break;
  }
  if (answer == Answer::Stall) {
    s.noteFinish(id, stalled(), UrbRecord::State::Completed);
    if (s.options.completeInline) return finishNow(stalled());
  }
  if (answer == Answer::Normally && s.options.completeInline) {
    Outcome o = execute(s, id, urb, setup);
    lock.unlock();
    completeUrb(irp, urb, o);
    return o.status;
  }
  hold(s, id, {irp, urb, nullptr, setup, control});
  lock.unlock();
  if (answer == Answer::Stall) {
    later(s, 0, [id](State& st) {
      PIRP heldIrp;
      PURB heldUrb;
      {
        std::lock_guard l(st.mutex);
        auto f = st.claim(id);
        if (!f) return;
        heldIrp = f->irp;
        heldUrb = f->urb;
      }
      completeUrb(heldIrp, heldUrb, stalled());
    });
  } else if (answer != Answer::Never) {
    later(s, answer == Answer::Late ? delay : 0, [id](State& st) { answerControl(st, id); });
  }
  return STATUS_PENDING;
}

// ---- the adapter's public face ---------------------------------------------------------------

std::shared_ptr<CdcAcmAdapter> CdcAcmAdapter::create(AdapterOptions options) {
  std::shared_ptr<CdcAcmAdapter> adapter(new CdcAcmAdapter(std::move(options)));
  adapter->state_->self = adapter;
  return adapter;
}

CdcAcmAdapter::CdcAcmAdapter(AdapterOptions options) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.options = std::move(options);
  const AdapterOptions& o = s.options;
  s.deviceDescriptor = {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, USB_DEVICE_CLASS_COMMUNICATIONS, 0, 0,
                        o.maxPacketSize0, uint8_t(o.vendorId), uint8_t(o.vendorId >> 8), uint8_t(o.productId),
                        uint8_t(o.productId >> 8), uint8_t(o.bcdDevice), uint8_t(o.bcdDevice >> 8), 1, 2, 0,
                        o.numConfigurations};
  s.configuration = o.configurationBytes ? *o.configurationBytes : encode(o.configuration);
  s.interfaces = parseInterfaces(s.configuration);
}

CdcAcmAdapter::~CdcAcmAdapter() {
  // Requests still held cannot be cancelled into a model that is gone.
  for (auto& [id, f] : state_->inFlight) IoSetCancelRoutine(f.irp, nullptr);
}

NTSTATUS CdcAcmAdapter::internalDeviceControl(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  if (location->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL)
    stop("simulated USB bus", "received a request other than IRP_MJ_INTERNAL_DEVICE_CONTROL");
  ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
  if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
    NTSTATUS status;
    {
      std::lock_guard lock(state_->mutex);
      state_->resetPort();
      status = state_->gone ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  if (code != IOCTL_INTERNAL_USB_SUBMIT_URB)
    stop("simulated USB bus", "internal device control " + std::to_string(code) + " is not implemented");
  auto urb = static_cast<PURB>(location->Parameters.Others.Argument1);
  if (!urb) stop(kSubmit, "Argument1 holds no URB");
  return Bus::submit(*this, irp, urb);
}

LineCoding CdcAcmAdapter::lineCoding() const {
  std::lock_guard lock(state_->mutex);
  return state_->lineCoding;
}

uint16_t CdcAcmAdapter::controlLineState() const {
  std::lock_guard lock(state_->mutex);
  return state_->lineState;
}

uint8_t CdcAcmAdapter::configurationValue() const {
  std::lock_guard lock(state_->mutex);
  return state_->configValue;
}

std::optional<uint8_t> CdcAcmAdapter::alternateSetting(uint8_t interfaceNumber) const {
  std::lock_guard lock(state_->mutex);
  auto it = state_->alternates.find(interfaceNumber);
  if (it == state_->alternates.end()) return std::nullopt;
  return it->second;
}

bool CdcAcmAdapter::remoteWakeupEnabled() const {
  std::lock_guard lock(state_->mutex);
  return state_->remoteWakeup;
}

unsigned CdcAcmAdapter::portResets() const {
  std::lock_guard lock(state_->mutex);
  return state_->resets;
}

std::vector<uint16_t> CdcAcmAdapter::breaks() const {
  std::lock_guard lock(state_->mutex);
  return state_->breaks;
}

std::vector<UrbRecord> CdcAcmAdapter::urbs() const {
  std::lock_guard lock(state_->mutex);
  return state_->records;
}

std::vector<UrbRecord> CdcAcmAdapter::classRequests() const {
  std::lock_guard lock(state_->mutex);
  std::vector<UrbRecord> out;
  for (auto& r : state_->records)
    if (r.control && (r.requestType & 0x60)) out.push_back(r);
  return out;
}

void CdcAcmAdapter::clearRecords() {
  std::lock_guard lock(state_->mutex);
  state_->records.clear();
}

std::vector<uint8_t> CdcAcmAdapter::bulkOutData() const {
  std::lock_guard lock(state_->mutex);
  return state_->bulkOut;
}

size_t CdcAcmAdapter::pendingTransfers(uint8_t endpoint) const {
  std::lock_guard lock(state_->mutex);
  size_t n = 0;
  for (auto& [id, f] : state_->inFlight)
    if (f.pipe ? f.pipe->endpoint.address == endpoint : endpoint == 0) ++n;
  return n;
}

void CdcAcmAdapter::sendBulkIn(std::span<const uint8_t> data) {
  {
    std::lock_guard lock(state_->mutex);
    state_->bulkIn.insert(state_->bulkIn.end(), data.begin(), data.end());
  }
  Bus::schedulePump(*state_);
}

void CdcAcmAdapter::sendSerialState(uint16_t serialState) {
  {
    std::lock_guard lock(state_->mutex);
    uint8_t iface = 0;
    if (Pipe* p = state_->firstPipe(USB_ENDPOINT_TYPE_INTERRUPT, true)) iface = p->interfaceNumber;
    state_->notifications.push_back(
        {0xA1, CDC_NOTIFICATION_SERIAL_STATE, 0, 0, iface, 0, 2, 0, uint8_t(serialState), uint8_t(serialState >> 8)});
  }
  Bus::schedulePump(*state_);
}

void CdcAcmAdapter::holdBulkOut(bool hold) {
  {
    std::lock_guard lock(state_->mutex);
    state_->holdOut = hold;
  }
  Bus::schedulePump(*state_);
}

void CdcAcmAdapter::haltEndpoint(uint8_t address) {
  {
    std::lock_guard lock(state_->mutex);
    Pipe* p = state_->pipeAt(address);
    if (!p) stop("sim::usb::CdcAcmAdapter::haltEndpoint", "no pipe of the current configuration has that endpoint");
    p->halted = true;
  }
  Bus::schedulePump(*state_);
}

void CdcAcmAdapter::disconnect() {
  std::vector<std::pair<PIRP, PURB>> failed;
  {
    std::lock_guard lock(state_->mutex);
    state_->gone = true;
    std::vector<uint64_t> ids;
    for (auto& [id, f] : state_->inFlight) ids.push_back(id);
    Outcome gone = failure(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    for (uint64_t id : ids)
      if (auto f = state_->claim(id)) {
        state_->noteFinish(id, gone, UrbRecord::State::Completed);
        failed.emplace_back(f->irp, f->urb);
      }
  }
  for (auto& [irp, urb] : failed) completeUrb(irp, urb, failure(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE));
}

void CdcAcmAdapter::fault(const ControlMatch& match, Answer answer, int64_t delay100ns, int times) {
  std::lock_guard lock(state_->mutex);
  state_->faults.push_back({match, answer, delay100ns, times});
}

void CdcAcmAdapter::clearFaults() {
  std::lock_guard lock(state_->mutex);
  state_->faults.clear();
}

PluggedAdapter plugAdapter(AdapterOptions adapterOptions, pnp::PhysicalDeviceOptions pdoOptions) {
  auto adapter = CdcAcmAdapter::create(std::move(adapterOptions));
  pdoOptions.internalDeviceControl = [adapter](PDEVICE_OBJECT pdo, PIRP irp) {
    return adapter->internalDeviceControl(pdo, irp);
  };
  return {pnp::createPhysicalDevice(pdoOptions), adapter};
}

}  // namespace sim::usb
