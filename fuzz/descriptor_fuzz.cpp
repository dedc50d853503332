// Fuzzing tool: the mutation and driving core shared by the libFuzzer target
// and the seeded run in the test suite. Everything random comes from the
// generator the caller seeds, so one seed replays one run exactly.
#include "fuzz/descriptor_fuzz.h"

#include "driver/core/globals.h"
#include "driver/pnp/pnp.h"
#include "driver/pnp/port_name.h"
#include "driver/pnp/usb_config.h"
#include "sim/cdc_acm.h"
#include "sim/sim.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace tzfuzz {

namespace {

// Sets stay small: the start path is what is being fuzzed, not the copying.
constexpr size_t kMaxSetBytes = 1024;
constexpr uint8_t kBoundaryBytes[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 30, 31, 0x7F, 0x80, 0xFE, 0xFF};
const std::u16string kPortName = u"COM9";

size_t pick(std::mt19937_64& random, size_t n) { return n ? size_t(random() % n) : 0; }
bool chance(std::mt19937_64& random, unsigned outOf) { return random() % outOf == 0; }
uint8_t boundaryByte(std::mt19937_64& random) { return kBoundaryBytes[pick(random, std::size(kBoundaryBytes))]; }

// Offsets of the descriptors a walk by bLength finds, the header first.
std::vector<size_t> descriptorOffsets(const std::vector<uint8_t>& set) {
  std::vector<size_t> offsets;
  for (size_t p = 0; p + 2 <= set.size() && set[p] >= 2; p += set[p]) offsets.push_back(p);
  return offsets;
}

std::vector<size_t> interfaceOffsets(const std::vector<uint8_t>& set) {
  std::vector<size_t> offsets;
  for (size_t p : descriptorOffsets(set))
    if (set[p + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && p + 9 <= set.size()) offsets.push_back(p);
  return offsets;
}

void setTotalLength(std::vector<uint8_t>& set, size_t total) {
  if (set.size() < 4) return;
  set[2] = uint8_t(total);
  set[3] = uint8_t(total >> 8);
}

// Structural mutations usually keep wTotalLength honest; sometimes not.
void maybeFixTotalLength(std::vector<uint8_t>& set, std::mt19937_64& random) {
  if (!chance(random, 4)) setTotalLength(set, set.size());
}

// A descriptor a CDC-ACM set could plausibly hold, with fields drawn from
// the values the start path decides on.
std::vector<uint8_t> randomDescriptor(std::mt19937_64& random) {
  switch (pick(random, 4)) {
    case 0: {
      static constexpr uint8_t classes[] = {0x02, 0x0A, 0xFF}, subclasses[] = {0x00, 0x02, 0x0B};
      uint8_t number = chance(random, 4) ? boundaryByte(random) : uint8_t(pick(random, 3));
      return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, uint8_t(pick(random, 3)), uint8_t(pick(random, 4)),
              classes[pick(random, 3)], subclasses[pick(random, 3)], uint8_t(pick(random, 2)), 0};
    }
    case 1: {
      static constexpr uint8_t addresses[] = {0x81, 0x82, 0x02, 0x83, 0x03, 0x8F, 0x0F};
      uint16_t packet = chance(random, 2) ? 64 : uint16_t(random());
      return {7, USB_ENDPOINT_DESCRIPTOR_TYPE, addresses[pick(random, std::size(addresses))], uint8_t(pick(random, 4)),
              uint8_t(packet), uint8_t(packet >> 8), uint8_t(pick(random, 17))};
    }
    case 2:
      return {5, 0x24, uint8_t(pick(random, 7)), uint8_t(random()), uint8_t(random())};
    default: {
      std::vector<uint8_t> d(2 + pick(random, 12));
      for (uint8_t& b : d) b = uint8_t(random());
      d[0] = uint8_t(d.size());
      return d;
    }
  }
}

void mutateOnce(std::vector<uint8_t>& set, std::mt19937_64& random) {
  std::vector<size_t> offsets = descriptorOffsets(set);
  switch (pick(random, 11)) {
    case 0:  // a flipped bit
      if (!set.empty()) set[pick(random, set.size())] ^= uint8_t(1u << pick(random, 8));
      break;
    case 1:  // a byte set to a boundary value
      if (!set.empty()) set[pick(random, set.size())] = boundaryByte(random);
      break;
    case 2:  // truncated, wTotalLength usually left claiming more
      set.resize(pick(random, set.size() + 1));
      if (chance(random, 4)) setTotalLength(set, set.size());
      break;
    case 3:  // a descriptor's bLength off by a little or set to a boundary value
      if (!offsets.empty()) {
        uint8_t& length = set[offsets[pick(random, offsets.size())]];
        length = chance(random, 2) ? boundaryByte(random) : uint8_t(length + (chance(random, 2) ? 1 : -1));
      }
      break;
    case 4:  // wTotalLength off by a little or set to a boundary value
      if (set.size() >= 4) {
        size_t total = chance(random, 2) ? set.size() + pick(random, 5) - 2 : boundaryByte(random);
        setTotalLength(set, chance(random, 8) ? 0xFFFF : total);
      }
      break;
    case 5:  // bNumInterfaces
      if (set.size() >= 5) set[4] = chance(random, 2) ? boundaryByte(random) : uint8_t(set[4] + pick(random, 3) - 1);
      break;
    case 6:  // an interface's bNumEndpoints or bInterfaceNumber
      if (auto interfaces = interfaceOffsets(set); !interfaces.empty()) {
        size_t p = interfaces[pick(random, interfaces.size())];
        uint8_t& field = set[p + (chance(random, 2) ? 4 : 2)];
        field = chance(random, 2) ? boundaryByte(random) : uint8_t(field + pick(random, 3) - 1);
      }
      break;
    case 7: {  // a new descriptor at a descriptor boundary
      std::vector<uint8_t> d = randomDescriptor(random);
      size_t at = offsets.size() > 1 ? offsets[1 + pick(random, offsets.size() - 1)] : set.size();
      if (chance(random, 3)) at = set.size();
      set.insert(set.begin() + ptrdiff_t(std::min(at, set.size())), d.begin(), d.end());
      maybeFixTotalLength(set, random);
      break;
    }
    case 8:  // a descriptor removed
      if (offsets.size() > 1) {
        size_t p = offsets[1 + pick(random, offsets.size() - 1)];
        set.erase(set.begin() + ptrdiff_t(p), set.begin() + ptrdiff_t(std::min(set.size(), p + set[p])));
        maybeFixTotalLength(set, random);
      }
      break;
    case 9:  // a descriptor repeated right after itself
      if (offsets.size() > 1) {
        size_t p = offsets[1 + pick(random, offsets.size() - 1)];
        std::vector<uint8_t> d(set.begin() + ptrdiff_t(p), set.begin() + ptrdiff_t(std::min(set.size(), p + set[p])));
        set.insert(set.begin() + ptrdiff_t(p), d.begin(), d.end());
        maybeFixTotalLength(set, random);
      }
      break;
    default:  // an endpoint's address or type changed, so the pipe scan sees other kinds
      for (size_t p : offsets) {
        if (set[p + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE || p + 4 > set.size() || !chance(random, 2)) continue;
        set[p + 2 + pick(random, 2)] ^= uint8_t(chance(random, 2) ? 0x80 : 1 + pick(random, 3));
        break;
      }
      break;
  }
  if (set.size() > kMaxSetBytes) set.resize(kMaxSetBytes);
}

// ---- the checks ------------------------------------------------------------------------

// Failures the start path documents: a refused set, a configuration without a
// usable pipe layout, too many interface-list entries, and the bus refusing
// the select-configuration request.
bool expectedRefusal(NTSTATUS status) {
  return status == STATUS_BAD_DESCRIPTOR_FORMAT || status == STATUS_INSUFFICIENT_RESOURCES ||
         status == STATUS_UNSUCCESSFUL || status == STATUS_INVALID_PARAMETER;
}

std::string statusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
  return text;
}

// A pipe the context names, and of the kind it is named for.
bool pipeIs(DeviceContext* c, UCHAR interfaceNumber, UCHAR index, USBD_PIPE_TYPE type, bool in) {
  if (!TzSerialPipeHandle(c, interfaceNumber, index)) return false;
  const USBD_PIPE_INFORMATION& pipe = c->interfaceInfo[interfaceNumber]->Pipes[index];
  return pipe.PipeType == type && (type == UsbdPipeTypeInterrupt || bool(pipe.EndpointAddress & 0x80) == in);
}

std::string checkStarted(DeviceContext* c) {
  switch (c->pipeLayout) {
    case PipeLayoutFull:
      if (!pipeIs(c, UCHAR(c->controlInterfaceNumber), c->interruptPipeIndex, UsbdPipeTypeInterrupt, true))
        return "pipe layout 1 without its interrupt pipe";
      [[fallthrough]];
    case PipeLayoutDataOnly:
      if (!pipeIs(c, c->dataInterfaceNumber, c->bulkInPipeIndex, UsbdPipeTypeBulk, true) ||
          !pipeIs(c, c->dataInterfaceNumber, c->bulkOutPipeIndex, UsbdPipeTypeBulk, false))
        return "pipe layout " + std::to_string(c->pipeLayout) + " without both bulk pipes in the data interface";
      break;
    case PipeLayoutNone:
      if (c->bulkInPipeIndex != TzSerialNoPipe || c->bulkOutPipeIndex != TzSerialNoPipe ||
          c->interruptPipeIndex != TzSerialNoPipe)
        return "pipe layout 4 with a pipe";
      break;
    default:
      return "started with pipe layout " + std::to_string(c->pipeLayout);
  }
  if (!c->configurationDescriptor) return "started without its configuration descriptor";
  if (sim::symbolicLinkTarget(u"\\??\\" + kPortName) != sim::widen(sim::narrow(&c->deviceName)))
    return "started without its link";
  return {};
}

std::string checkTornDown(DeviceContext* c, PDEVICE_OBJECT pdo) {
  if (sim::symbolicLinkTarget(u"\\??\\" + kPortName)) return "the link outlived the tear-down";
  if (sim::registry::value(std::u16string(sim::kDeviceMapRoot) + u"\\SERIALCOMM", sim::widen(sim::narrow(&c->deviceName))))
    return "the device-map value outlived the tear-down";
  for (const GUID* guid : {&TzSerialPortInterfaceGuid, &TzSerialComPortInterfaceGuid, &TzSerialModemInterfaceGuid})
    for (const auto& i : sim::pnp::deviceInterfaces(*guid))
      if (i.pdo == pdo && i.enabled) return "a device interface stayed enabled after the tear-down";
  if (c->configurationDescriptor) return "the configuration descriptor outlived the tear-down";
  for (PUSBD_INTERFACE_INFORMATION info : c->interfaceInfo)
    if (info) return "interface information outlived the tear-down";
  return {};
}

// The tear-down of a stop or a failed start, then what removal adds.
void tearDown(DeviceContext* c) {
  TzSerialRemovePortName(c);
  TzSerialReleaseConfiguration(c);
  if (c->shadowRegisters.buffer) ExFreePoolWithTag(c->shadowRegisters.buffer, TzSerialPoolTag);
  c->shadowRegisters.buffer = nullptr;
}

void removeDevices(DeviceContext* c) {
  PDEVICE_OBJECT fdo = c->functionDevice, port = c->portDevice;
  IoFreeWorkItem(c->workItem);
  IoFreeWorkItem(c->recoveryWorkItem);
  IoFreeWorkItem(c->linesWorkItem);
  ExFreePoolWithTag(c->deviceName.Buffer, TzSerialPoolTag);
  IoDetachDevice(c->lowerDevice);
  IoDeleteDevice(fdo);
  if (port) IoDeleteDevice(port);
}

}  // namespace

std::vector<std::vector<uint8_t>> seedDescriptorSets() {
  using sim::usb::Layout;
  std::vector<std::vector<uint8_t>> sets;
  for (Layout layout : {Layout::CommAndData, Layout::DataOnly, Layout::DataAlternate, Layout::AlternateSettingOne,
                        Layout::NoEndpoints, Layout::BulkOutOnly, Layout::TwoBulkIn})
    for (sim::usb::PacketSizes sizes : {sim::usb::PacketSizes{64, 16}, sim::usb::PacketSizes{512, 64}})
      sets.push_back(sim::usb::encode(sim::usb::cdcConfiguration(layout, sizes)));
  return sets;
}

void mutateDescriptorSet(std::vector<uint8_t>& set, std::mt19937_64& random) {
  for (size_t n = 1 + pick(random, 4); n > 0; --n) mutateOnce(set, random);
}

StartRun runStartPath(PDRIVER_OBJECT driver, const std::vector<uint8_t>& set) {
  StartRun run;
  sim::PoolUse before = sim::poolInUse();
  sim::usb::AdapterOptions options;
  options.configurationBytes = set;
  auto plugged = sim::usb::plugAdapter(std::move(options));
  sim::registry::setString(sim::pnp::deviceParametersKey(plugged.pdo), u"PortName", kPortName);
  if (NTSTATUS added = sim::pnp::addDevice(driver, plugged.pdo); added != STATUS_SUCCESS) {
    run.broken = "AddDevice failed with " + statusText(added);
    sim::pnp::deletePhysicalDevice(plugged.pdo);
    return run;
  }
  DeviceContext* c = TzSerialGetDeviceContext(plugged.pdo->AttachedDevice);

  run.status = TzSerialStartDevice(c, nullptr);
  run.pipeLayout = c->pipeLayout;
  if (NT_SUCCESS(run.status))
    run.broken = checkStarted(c);
  else if (!expectedRefusal(run.status))
    run.broken = "the start failed with the unexpected status " + statusText(run.status);

  tearDown(c);
  if (std::string torn = checkTornDown(c, plugged.pdo); run.broken.empty()) run.broken = torn;
  removeDevices(c);
  sim::pnp::deletePhysicalDevice(plugged.pdo);

  sim::PoolUse after = sim::poolInUse();
  if (run.broken.empty() && (after.blocks != before.blocks || after.bytes != before.bytes))
    run.broken = "pool left after removal:\n" + sim::describeOutstandingPool();
  return run;
}

std::string hex(const std::vector<uint8_t>& set) {
  std::string text;
  char byte[4];
  for (uint8_t b : set) {
    std::snprintf(byte, sizeof byte, "%02X ", b);
    text += byte;
  }
  if (!text.empty()) text.pop_back();
  return text;
}

}  // namespace tzfuzz
