// Simulated platform: the CDC-ACM adapter model's public face for tests and
// tools: creating and plugging it, what the host told it and what went on the
// bus, the far end's actions (data, interrupt payloads, halts, unplugging), faults.
#include "usb_adapter_state.h"

namespace sim::usb {

using namespace model;

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

// ---- what the host told the device ----

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

// ---- what went on the bus ----

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

std::vector<ULONG> CdcAcmAdapter::bulkOutTransferLengths() const {
  std::lock_guard lock(state_->mutex);
  return state_->bulkOutLengths;
}

void CdcAcmAdapter::clearRecords() {
  std::lock_guard lock(state_->mutex);
  state_->records.clear();
  state_->bulkOutLengths.clear();
}

std::vector<uint8_t> CdcAcmAdapter::bulkOutData() const {
  std::lock_guard lock(state_->mutex);
  return state_->bulkOut;
}

uint64_t CdcAcmAdapter::bulkOutBytes() const {
  std::lock_guard lock(state_->mutex);
  return state_->bulkOutTotal;
}

size_t CdcAcmAdapter::pendingTransfers(uint8_t endpoint) const {
  std::lock_guard lock(state_->mutex);
  size_t n = 0;
  for (auto& [id, f] : state_->inFlight)
    if (f.pipe ? f.pipe->endpoint.address == endpoint : endpoint == 0) ++n;
  return n;
}

size_t CdcAcmAdapter::transfersNotCompleted() const {
  std::lock_guard lock(state_->mutex);
  return state_->inFlight.size() + state_->delivering.size();
}

size_t CdcAcmAdapter::pendingBulkInBytes() const {
  std::lock_guard lock(state_->mutex);
  return state_->bulkIn.size();
}

// ---- the device side ----

void CdcAcmAdapter::sendBulkIn(std::span<const uint8_t> data) {
  {
    std::lock_guard lock(state_->mutex);
    state_->bulkIn.append(data);
  }
  Bus::schedulePump(*state_);
}

void CdcAcmAdapter::sendZeroLengthPacket() {
  {
    std::lock_guard lock(state_->mutex);
    state_->bulkInAnswers.push_back({});
  }
  Bus::schedulePump(*state_);
}

void CdcAcmAdapter::failNextBulkIn(NTSTATUS status, USBD_STATUS usbdStatus) {
  {
    std::lock_guard lock(state_->mutex);
    state_->bulkInAnswers.push_back(failure(status, usbdStatus));
  }
  Bus::schedulePump(*state_);
}

void CdcAcmAdapter::sendInterrupt(std::span<const uint8_t> payload) {
  if (payload.size() > kMaxInterruptPayload)
    stop("sim::usb::CdcAcmAdapter::sendInterrupt", "an interrupt-in payload is at most 64 bytes");
  {
    std::lock_guard lock(state_->mutex);
    state_->interruptIn.emplace_back(payload.begin(), payload.end());
  }
  Bus::schedulePump(*state_);
}

void CdcAcmAdapter::sendSerialState(uint16_t serialState) {
  uint8_t iface = 0;
  {
    std::lock_guard lock(state_->mutex);
    if (Pipe* p = state_->firstPipe(USB_ENDPOINT_TYPE_INTERRUPT, true)) iface = p->interfaceNumber;
  }
  sendInterrupt({0xA1, CDC_NOTIFICATION_SERIAL_STATE, 0, 0, iface, 0, 2, 0, uint8_t(serialState), uint8_t(serialState >> 8)});
}

void CdcAcmAdapter::holdBulkOut(bool hold) {
  {
    std::lock_guard lock(state_->mutex);
    state_->holdOut = hold;
  }
  Bus::schedulePump(*state_);
}

void CdcAcmAdapter::acceptBulkOutShort(ULONG maxBytes, int times) {
  std::lock_guard lock(state_->mutex);
  state_->shortOutMaxBytes = maxBytes;
  state_->shortOutTimes = times;
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

void CdcAcmAdapter::holdThroughCancel(uint8_t endpoint, int transfers) {
  std::lock_guard lock(state_->mutex);
  state_->loseTransfers[endpoint] = transfers;
}

size_t CdcAcmAdapter::heldThroughCancel() const {
  std::lock_guard lock(state_->mutex);
  return state_->lost.size();
}

void CdcAcmAdapter::releaseHeldThroughCancel() {
  std::vector<std::pair<uint64_t, InFlight>> lost;
  {
    std::lock_guard lock(state_->mutex);
    lost.swap(state_->lost);
    state_->loseTransfers.clear();
    for (auto& [id, f] : lost) {
      state_->noteFinish(id, cancelled(), UrbRecord::State::Cancelled);
      state_->tapFinish(id, f.urb, cancelled(), UrbRecord::State::Cancelled);
    }
  }
  Bus::flushTap(*state_);
  for (auto& [id, f] : lost) completeUrb(f.irp, f.urb, cancelled());
}

void CdcAcmAdapter::disconnect() {
  std::vector<std::pair<PIRP, PURB>> failed;
  {
    std::lock_guard lock(state_->mutex);
    state_->gone = true;
    for (auto& [id, f] : state_->lost) {
      state_->noteFinish(id, deviceGone(), UrbRecord::State::Completed);
      state_->tapFinish(id, f.urb, deviceGone());
      failed.emplace_back(f.irp, f.urb);
    }
    state_->lost.clear();
    std::vector<uint64_t> ids;
    for (auto& [id, f] : state_->inFlight) ids.push_back(id);
    for (uint64_t id : ids)
      if (auto f = Bus::claim(*state_, id)) {
        state_->noteFinish(id, deviceGone(), UrbRecord::State::Completed);
        state_->tapFinish(id, f->urb, deviceGone());
        failed.emplace_back(f->irp, f->urb);
      }
  }
  Bus::flushTap(*state_);
  for (auto& [irp, urb] : failed) completeUrb(irp, urb, deviceGone());
}

// ---- faults ----

void CdcAcmAdapter::fault(const ControlMatch& match, Answer answer, int64_t delay100ns, int times) {
  std::lock_guard lock(state_->mutex);
  state_->faults.push_back({match, answer, delay100ns, times});
}

void CdcAcmAdapter::clearFaults() {
  std::lock_guard lock(state_->mutex);
  state_->faults.clear();
  state_->shortOutTimes = 0;
}

PluggedAdapter plugAdapter(AdapterOptions adapterOptions, pnp::PhysicalDeviceOptions pdoOptions) {
  auto adapter = CdcAcmAdapter::create(std::move(adapterOptions));
  pdoOptions.internalDeviceControl = [adapter](PDEVICE_OBJECT pdo, PIRP irp) {
    return adapter->internalDeviceControl(pdo, irp);
  };
  pdoOptions.transfersNotCompleted = [weak = std::weak_ptr(adapter)] {
    auto model = weak.lock();
    return model ? model->transfersNotCompleted() : 0;
  };
  return {pnp::createPhysicalDevice(pdoOptions), adapter};
}

}  // namespace sim::usb
