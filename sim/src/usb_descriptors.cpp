// Simulated platform: descriptor sets of the simulated USB adapters. Builds a
// configuration descriptor set from a description (well-formed or deliberately
// not), the CDC-ACM layouts tests choose from, and the line coding record.
#include "kernel.h"
#include "sim/cdc_acm.h"

namespace sim::usb {

namespace {

void put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}

// CDC functional descriptors of a communication interface: header, call
// management, abstract control management (line coding, line state, break)
// and union (this interface controls the next one).
std::vector<uint8_t> acmFunctionalDescriptors(uint8_t control, uint8_t data) {
  return {5, 0x24, 0x00, 0x10, 0x01,  //
          5, 0x24, 0x01, 0x00, data,  //
          4, 0x24, 0x02, 0x06,        //
          5, 0x24, 0x06, control, data};
}

EndpointSpec interruptIn(PacketSizes s) { return {0x81, USB_ENDPOINT_TYPE_INTERRUPT, s.interrupt, 16}; }
EndpointSpec bulkIn(PacketSizes s) { return {0x82, USB_ENDPOINT_TYPE_BULK, s.bulk, 0}; }
EndpointSpec bulkOut(PacketSizes s) { return {0x02, USB_ENDPOINT_TYPE_BULK, s.bulk, 0}; }

InterfaceSpec communication(uint8_t number, PacketSizes s) {
  return {.number = number, .cls = 0x02, .subclass = 0x02, .protocol = 0x01, .endpoints = {interruptIn(s)},
          .classSpecific = acmFunctionalDescriptors(number, uint8_t(number + 1))};
}

InterfaceSpec data(uint8_t number, uint8_t alternate, std::vector<EndpointSpec> endpoints) {
  return {.number = number, .alternate = alternate, .cls = 0x0A, .endpoints = std::move(endpoints)};
}

}  // namespace

std::vector<uint8_t> encode(const ConfigurationSpec& configuration) {
  std::vector<uint8_t> out = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 0, configuration.value, 0, configuration.attributes,
                              configuration.maxPower};
  std::set<uint8_t> numbers;
  for (const InterfaceSpec& i : configuration.interfaces) {
    numbers.insert(i.number);
    out.insert(out.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, i.number, i.alternate,
                           i.numEndpoints.value_or(uint8_t(i.endpoints.size())), i.cls, i.subclass, i.protocol, 0});
    out.insert(out.end(), i.classSpecific.begin(), i.classSpecific.end());
    for (const EndpointSpec& e : i.endpoints) {
      out.insert(out.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.attributes});
      put16(out, e.maxPacketSize);
      out.push_back(e.interval);
    }
  }
  uint16_t total = configuration.totalLength.value_or(uint16_t(out.size()));
  out[2] = uint8_t(total);
  out[3] = uint8_t(total >> 8);
  out[4] = configuration.numInterfaces.value_or(uint8_t(numbers.size()));
  return out;
}

ConfigurationSpec cdcConfiguration(Layout layout, PacketSizes s) {
  ConfigurationSpec c;
  switch (layout) {
    case Layout::CommAndData:
      c.interfaces = {communication(0, s), data(1, 0, {bulkIn(s), bulkOut(s)})};
      break;
    case Layout::DataOnly:
      c.interfaces = {data(0, 0, {bulkIn(s), bulkOut(s)})};
      break;
    case Layout::DataAlternate: {
      InterfaceSpec control{.number = 0, .cls = 0x02, .subclass = 0x0B, .protocol = 0x00};
      c.interfaces = {control, data(1, 0, {}), data(1, 1, {bulkIn(s), bulkOut(s)}), data(1, 2, {bulkIn(s), bulkOut(s)})};
      break;
    }
    case Layout::AlternateSettingOne:
      c.interfaces = {data(0, 0, {}), data(0, 1, {bulkIn(s), bulkOut(s)})};
      break;
    case Layout::NoEndpoints:
      c.interfaces = {data(0, 0, {})};
      break;
    case Layout::BulkOutOnly:
      c.interfaces = {data(0, 0, {bulkOut(s)})};
      break;
    case Layout::TwoBulkIn:
      c.interfaces = {communication(0, s),
                      data(1, 0, {bulkIn(s), {0x83, USB_ENDPOINT_TYPE_BULK, s.bulk, 0}, bulkOut(s)})};
      break;
  }
  return c;
}

std::array<uint8_t, 7> LineCoding::bytes() const {
  return {uint8_t(rate), uint8_t(rate >> 8), uint8_t(rate >> 16), uint8_t(rate >> 24), stopBits, parity, dataBits};
}

LineCoding LineCoding::from(const uint8_t* b) {
  return {uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24, b[4], b[5], b[6]};
}

}  // namespace sim::usb
