// Simulated platform: the simulated bus's record of the URBs it saw and how
// they ended. Ids only grow, so records stay sorted and are found by binary
// search; with AdapterOptions::record off nothing is kept.
#include "usb_adapter_state.h"

namespace sim::usb {

void CdcAcmAdapter::State::noteSubmit(const UrbRecord& r) {
  if (options.record) records.push_back(r);
}

void CdcAcmAdapter::State::noteBulkOutOffered(ULONG length) {
  if (options.record) bulkOutLengths.push_back(length);
}

UrbRecord* CdcAcmAdapter::State::record(uint64_t id) {
  auto it = std::lower_bound(records.begin(), records.end(), id, [](const UrbRecord& r, uint64_t i) { return r.id < i; });
  return it != records.end() && it->id == id ? &*it : nullptr;
}

void CdcAcmAdapter::State::noteDataOut(uint64_t id, std::span<const uint8_t> data) {
  if (UrbRecord* r = record(id)) r->dataOut.assign(data.begin(), data.end());
}

void CdcAcmAdapter::State::noteDataIn(uint64_t id, std::span<const uint8_t> data) {
  if (UrbRecord* r = record(id)) r->dataIn.assign(data.begin(), data.end());
}

void CdcAcmAdapter::State::noteFinish(uint64_t id, const model::Outcome& o, UrbRecord::State state) {
  UrbRecord* r = record(id);
  if (!r) return;
  r->state = state;
  r->status = o.status;
  r->usbdStatus = o.usbd;
  r->transferred = o.transferred;
  r->finished100ns = sim::now();
}

}  // namespace sim::usb
