// Tests of the simulated platform's USBD routines and device interfaces:
// descriptor walks over well-formed and malformed sets, the select-
// configuration URB's size and ownership, and interface registration.
#include "fragment.h"
#include "usb_client.h"

#include <cstring>

namespace {

using sim::usb::Layout;

PUSB_CONFIGURATION_DESCRIPTOR asConfig(std::vector<uint8_t>& bytes) {
  return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

// Every interface descriptor, walked as a driver does: each search starts
// right after the descriptor found last.
std::vector<std::pair<int, int>> walk(std::vector<uint8_t>& bytes) {
  std::vector<std::pair<int, int>> found;
  PUSB_CONFIGURATION_DESCRIPTOR config = asConfig(bytes);
  PVOID start = bytes.data() + 9;
  while (auto d = USBD_ParseConfigurationDescriptorEx(config, start, -1, -1, -1, -1, -1)) {
    found.emplace_back(d->bInterfaceNumber, d->bAlternateSetting);
    start = reinterpret_cast<UCHAR*>(d) + d->bLength;
  }
  return found;
}

class UsbdTest : public SimTest {};

TEST_F(UsbdTest, WildcardWalkFindsEveryInterfaceInOrder) {
  auto bytes = sim::usb::encode(sim::usb::cdcConfiguration(Layout::DataAlternate));
  EXPECT_EQ(walk(bytes), (std::vector<std::pair<int, int>>{{0, 0}, {1, 0}, {1, 1}, {1, 2}}));
  auto config = asConfig(bytes);
  auto data = USBD_ParseConfigurationDescriptorEx(config, config, -1, 1, 0x0A, -1, -1);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->bInterfaceNumber, 1);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0x03, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, bytes.data() + bytes.size(), -1, -1, -1, -1, -1), nullptr);
}

TEST_F(UsbdTest, WalkNeverReadsPastTheDeclaredLengthOrAMalformedDescriptor) {
  auto bytes = sim::usb::encode(sim::usb::cdcConfiguration(Layout::CommAndData));
  // A wTotalLength that ends inside the second interface descriptor hides it.
  std::vector<uint8_t> cut = bytes;
  size_t second = 9 + 9 + 19 + 7 + 4;  // config, comm interface, functional descriptors, endpoint, part of data
  cut[2] = uint8_t(second);
  cut[3] = 0;
  EXPECT_EQ(walk(cut), (std::vector<std::pair<int, int>>{{0, 0}}));
  // A descriptor of length 0 ends the walk instead of looping on it.
  std::vector<uint8_t> zero = bytes;
  zero[9 + 9] = 0;
  EXPECT_EQ(walk(zero), (std::vector<std::pair<int, int>>{{0, 0}}));
  // A bLength running past the end is not followed.
  std::vector<uint8_t> overlong = bytes;
  overlong[9 + 9] = 0xFF;
  EXPECT_EQ(walk(overlong), (std::vector<std::pair<int, int>>{{0, 0}}));
}

TEST_F(UsbdTest, SelectConfigurationUrbIsSizedForEveryPipeAndFreedWithExFreePool) {
  auto bytes = sim::usb::encode(sim::usb::cdcConfiguration(Layout::TwoBulkIn));
  auto config = asConfig(bytes);
  USBD_INTERFACE_LIST_ENTRY list[3] = {
      {USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr},
      {USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1), nullptr},
      {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(config, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 4));
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
  EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(1));
  EXPECT_EQ(reinterpret_cast<UCHAR*>(list[1].Interface), reinterpret_cast<UCHAR*>(list[0].Interface) + GET_USBD_INTERFACE_SIZE(1));
  EXPECT_EQ(list[1].Interface->NumberOfPipes, 3u);
  EXPECT_EQ(list[1].Interface->Pipes[2].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  EXPECT_EQ(sim::poolInUse(sim::tag("Usbd")).bytes, urb->UrbHeader.Length);
  EXPECT_VERIFIER_STOP(ExFreePoolWithTag(urb, sim::tag("TzMD")), "frees a block of tag 'Usbd'");
  ExFreePool(urb);
  EXPECT_EQ(sim::poolInUse().blocks, 0u);

  sim::faults::arm(1);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, list), nullptr);
  sim::faults::disarm();
}

// ---- device interfaces and device registry keys ---------------------------------

const GUID kPortClass = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
const GUID kOtherClass = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

TEST_F(UsbTest, DeviceInterfaceLinksOpenThePdoOnlyWhileEnabled) {
  UNICODE_STRING link{};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kPortClass, nullptr, &link), STATUS_SUCCESS);
  auto listed = sim::pnp::deviceInterfaces(kPortClass);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].symbolicLink, sim::widen(sim::narrow(&link)));
  EXPECT_EQ(listed[0].pdo, pdo);
  EXPECT_FALSE(listed[0].enabled);
  EXPECT_TRUE(sim::pnp::deviceInterfaces(kOtherClass).empty());
  EXPECT_FALSE(sim::symbolicLinkTarget(listed[0].symbolicLink));

  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
  EXPECT_TRUE(sim::pnp::deviceInterfaces(kPortClass)[0].enabled);
  EXPECT_EQ(sim::symbolicLinkTarget(listed[0].symbolicLink), sim::deviceName(pdo));

  // Registering again finds the same interface.
  UNICODE_STRING again{};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kPortClass, nullptr, &again), STATUS_SUCCESS);
  EXPECT_TRUE(RtlEqualUnicodeString(&link, &again, FALSE));
  EXPECT_EQ(sim::pnp::deviceInterfaces(kPortClass).size(), 1u);
  RtlFreeUnicodeString(&again);

  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(sim::symbolicLinkTarget(listed[0].symbolicLink));
  RtlFreeUnicodeString(&link);
  EXPECT_EQ(link.Buffer, nullptr);
}

TEST_F(UsbTest, RemovedPdoLeavesItsInterfacesRegisteredButDisabled) {
  UNICODE_STRING link{};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kPortClass, nullptr, &link), STATUS_SUCCESS);
  ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  sim::pnp::deletePhysicalDevice(pdo);
  pdo = nullptr;
  auto listed = sim::pnp::deviceInterfaces(kPortClass);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_FALSE(listed[0].enabled);
  EXPECT_FALSE(sim::symbolicLinkTarget(listed[0].symbolicLink));  // no dangling link
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_INVALID_DEVICE_STATE);
  RtlFreeUnicodeString(&link);
}

TEST_F(UsbTest, DeviceParametersKeyHoldsWhatTheInstallerWrote) {
  sim::registry::setString(sim::pnp::deviceParametersKey(pdo), u"PortName", u"COM7");
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
  UNICODE_STRING name = RTL_CONSTANT_STRING(L"PortName");
  UCHAR buffer[64];
  ULONG length = 0;
  ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length), STATUS_SUCCESS);
  auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  EXPECT_EQ(info->Type, ULONG(REG_SZ));
  EXPECT_EQ(std::memcmp(info->Data, u"COM7", 10), 0);
  ZwClose(key);
  // Two adapters have two keys.
  auto other = sim::usb::plugAdapter();
  EXPECT_NE(sim::pnp::deviceParametersKey(other.pdo), sim::pnp::deviceParametersKey(pdo));
  sim::pnp::deletePhysicalDevice(other.pdo);
}

}  // namespace
