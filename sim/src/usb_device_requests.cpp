// Simulated platform: the CDC-ACM adapter model's own answers, as its firmware
// would give them: its descriptor set as it sees it, the standard requests
// (descriptors, features, status) and the CDC class requests, and port reset.
#include "usb_adapter_state.h"

namespace sim::usb {

using namespace model;

std::vector<DeviceInterface> model::parseInterfaces(const std::vector<uint8_t>& bytes) {
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

Outcome CdcAcmAdapter::State::controlRequest(const Setup& s, std::span<const uint8_t> out) {
  if (gone) return deviceGone();
  switch (s.type & 0x60) {
    case 0x00: return standardRequest(s);
    case 0x20: return classRequest(s, out);
    default: return stalled();  // no vendor requests on this adapter
  }
}

Outcome CdcAcmAdapter::State::standardRequest(const Setup& s) {
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
      noteLineState(s.value);
      return {};
    case CDC_SEND_BREAK:
      if (s.in() || s.length) return stalled();
      breaks.push_back(s.value);
      return {};
    default:
      return stalled();
  }
}

void CdcAcmAdapter::State::resetPort() {
  ++resets;
  for (auto& p : pipes) p->halted = false;
  lineCoding = LineCoding{};
  lineState = 0;
  reportedDtr.reset();
  remoteWakeup = false;
}

}  // namespace sim::usb
