// Tool: a USB trace of simulated adapters, as a pcap file Wireshark and
// tshark read: link type 220 (USB with 64-byte Linux usbmon headers), one 'S'
// record when a URB reaches the bus and one 'C' record when it completes or is
// cancelled, every adapter on bus 1 at its own device address.
//
//   std::string error;
//   auto trace = UsbTrace::open("tzcom.pcap", &error);
//   trace->attach(*adapter, 1);   // before the driver starts the adapter
//
// Requests the host handles without the device (SYNC_RESET_PIPE, ABORT_PIPE)
// are left out; SELECT_CONFIGURATION appears as the SET_CONFIGURATION it sends
// and a stall clear as CLEAR_FEATURE(ENDPOINT_HALT). Times are sim::now() past
// a fixed epoch (2024-01-01 UTC), so a Deterministic run always writes the same
// file. Each record is flushed as written: a trace survives the host being killed.
#pragma once

#include "sim/cdc_acm.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tzcom {

class UsbTrace {
 public:
  // Creates (truncates) the file and writes the pcap header; null with *error
  // set when the file cannot be written.
  static std::unique_ptr<UsbTrace> open(const std::string& path, std::string* error);
  // Detaches from the adapters still alive and closes the file.
  ~UsbTrace();
  UsbTrace(const UsbTrace&) = delete;
  UsbTrace& operator=(const UsbTrace&) = delete;

  // Traces every URB of the adapter from now on, as device deviceAddress
  // (1..127). Installs the adapter's URB tap, replacing any other.
  void attach(sim::usb::CdcAcmAdapter& adapter, uint8_t deviceAddress);
  // Records written so far (any thread).
  uint64_t records() const;

  struct Sink;

 private:
  explicit UsbTrace(std::shared_ptr<Sink> sink);
  std::shared_ptr<Sink> sink_;
  std::vector<std::weak_ptr<sim::usb::CdcAcmAdapter>> adapters_;
};

// ---- the records, exposed for tests ----

// The 64-byte usbmon header and data of one event, or nothing when the URB
// never reaches the wire.
std::vector<uint8_t> usbmonRecord(const sim::usb::UrbRecord& urb, bool completed, uint8_t deviceAddress);

}  // namespace tzcom
