// Tests: the USB configuration and start path. What each descriptor set
// configures, which identities and sets are refused and that a refusal leaves
// nothing behind, stop then start, every allocation failure of the start,
// and the seeded descriptor fuzzer.
#include "adapter_fixture.h"
#include "driver/pnp/port_name.h"
#include "driver/pnp/usb_config.h"
#include "fuzz/descriptor_fuzz.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TZ_ADDRESS_SANITIZER 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define TZ_ADDRESS_SANITIZER 1
#endif
#ifdef TZ_ADDRESS_SANITIZER
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

using sim::usb::AdapterOptions;
using sim::usb::ConfigurationSpec;
using sim::usb::EndpointSpec;
using sim::usb::InterfaceSpec;
using sim::usb::Layout;

const std::u16string kLink = u"\\??\\COM7";

AdapterOptions withLayout(Layout layout, sim::usb::PacketSizes sizes = {}) {
  return {.configuration = sim::usb::cdcConfiguration(layout, sizes)};
}

AdapterOptions withBytes(std::vector<uint8_t> bytes) {
  AdapterOptions options;
  options.configurationBytes = std::move(bytes);
  return options;
}

class UsbConfigTest : public AdapterTest {
 protected:
  // Plugs an adapter and stops it once, as a stop would, so that what the
  // pool holds is what device creation keeps across a stop (the name
  // buffer); a start after this re-creates the transfer resources.
  Adapter& plugStopped(AdapterOptions options) {
    Adapter& a = plug(std::move(options));
    stop(a);
    kept = sim::poolInUse();
    return a;
  }

  // A refused or failed start (whose tear-down has run) left nothing: the
  // pool as device creation keeps it, no link, no device-map value, no
  // enabled interface, no configuration kept.
  void expectNothingLeft(const Adapter& a) {
    sim::PoolUse now = sim::poolInUse();
    EXPECT_EQ(now.blocks, kept.blocks) << sim::describeOutstandingPool();
    EXPECT_EQ(now.bytes, kept.bytes);
    EXPECT_FALSE(sim::symbolicLinkTarget(kLink));
    EXPECT_FALSE(sim::registry::value(std::u16string(sim::kDeviceMapRoot) + u"\\SERIALCOMM",
                                      sim::widen(sim::narrow(&a.context->deviceName))));
    for (const GUID* guid : {&TzSerialPortInterfaceGuid, &TzSerialComPortInterfaceGuid})
      for (const auto& i : sim::pnp::deviceInterfaces(*guid)) EXPECT_FALSE(i.pdo == a.pdo && i.enabled);
    EXPECT_EQ(a.context->configurationDescriptor, nullptr);
    for (PUSBD_INTERFACE_INFORMATION info : a.context->interfaceInfo) EXPECT_EQ(info, nullptr);
  }

  // The pipe the context found, as the bus described it.
  static const USBD_PIPE_INFORMATION& pipe(DeviceContext* c, UCHAR interfaceNumber, UCHAR index) {
    EXPECT_NE(TzSerialPipeHandle(c, interfaceNumber, index), nullptr);
    return c->interfaceInfo[interfaceNumber]->Pipes[index];
  }

  sim::PoolUse kept;
};

// ---- what each layout configures -----------------------------------------------------------

TEST_F(UsbConfigTest, CommunicationAndDataInterfacesGiveAllThreePipes) {
  Adapter& a = plug(withLayout(Layout::CommAndData, {.bulk = 512, .interrupt = 16}));
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  DeviceContext* c = a.context;
  EXPECT_EQ(c->pipeLayout, PipeLayoutFull);
  EXPECT_EQ(c->controlInterfaceNumber, 0);
  EXPECT_EQ(c->dataInterfaceNumber, 1);
  EXPECT_EQ(c->interruptPipeIndex, 0);
  EXPECT_EQ(c->bulkInPipeIndex, 0);
  EXPECT_EQ(c->bulkOutPipeIndex, 1);
  EXPECT_EQ(c->bulkInMaxPacketSize, 512u);
  EXPECT_EQ(c->bulkOutMaxPacketSize, 512u);
  EXPECT_EQ(pipe(c, 0, c->interruptPipeIndex).EndpointAddress, 0x81);
  EXPECT_EQ(pipe(c, 1, c->bulkInPipeIndex).EndpointAddress, 0x82);
  EXPECT_EQ(pipe(c, 1, c->bulkOutPipeIndex).EndpointAddress, 0x02);
  EXPECT_EQ(pipe(c, 1, c->bulkInPipeIndex).MaximumTransferSize, 4096u);
  EXPECT_EQ(a.model->configurationValue(), 1);
  EXPECT_EQ(a.model->alternateSetting(0), 0);
  EXPECT_EQ(a.model->alternateSetting(1), 0);
  EXPECT_TRUE(a.model->remoteWakeupEnabled());
  EXPECT_NE(c->configurationDescriptor, nullptr);
  EXPECT_NE(c->shadowRegisters.buffer, nullptr);
  EXPECT_EQ(sim::symbolicLinkTarget(kLink), u"\\Device\\TALVENO0");
}

TEST_F(UsbConfigTest, DataInterfaceAloneGivesTheBulkPipesOnly) {
  Adapter& a = plug(withLayout(Layout::DataOnly));
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  EXPECT_EQ(a.context->pipeLayout, PipeLayoutDataOnly);
  EXPECT_EQ(a.context->dataInterfaceNumber, 0);
  EXPECT_EQ(a.context->interruptPipeIndex, TzSerialNoPipe);
  EXPECT_EQ(pipe(a.context, 0, a.context->bulkInPipeIndex).EndpointAddress, 0x82);
  EXPECT_EQ(pipe(a.context, 0, a.context->bulkOutPipeIndex).EndpointAddress, 0x02);
}

TEST_F(UsbConfigTest, NoEndpointsStartsWithoutPipes) {
  Adapter& a = plug(withLayout(Layout::NoEndpoints));
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  EXPECT_EQ(a.context->pipeLayout, PipeLayoutNone);
  EXPECT_EQ(a.context->bulkInPipeIndex, TzSerialNoPipe);
  EXPECT_EQ(a.context->bulkOutPipeIndex, TzSerialNoPipe);
  EXPECT_EQ(a.context->interruptPipeIndex, TzSerialNoPipe);
  EXPECT_EQ(a.model->configurationValue(), 1);
  EXPECT_TRUE(sim::symbolicLinkTarget(kLink));
}

TEST_F(UsbConfigTest, OnlyABulkOutPipeFailsTheStartAndLeavesNothing) {
  Adapter& a = plugStopped(withLayout(Layout::BulkOutOnly));
  EXPECT_EQ(start(a), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(a.context->pipeLayout, PipeLayoutInvalid);
  expectNothingLeft(a);
}

TEST_F(UsbConfigTest, TheFirstOfTwoBulkInPipesIsUsed) {
  Adapter& a = plug(withLayout(Layout::TwoBulkIn));
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  EXPECT_EQ(a.context->pipeLayout, PipeLayoutFull);
  EXPECT_EQ(a.context->bulkInPipeIndex, 0);
  EXPECT_EQ(a.context->bulkOutPipeIndex, 2);
  EXPECT_EQ(pipe(a.context, 1, a.context->bulkInPipeIndex).EndpointAddress, 0x82);
}

TEST_F(UsbConfigTest, AnAlternateSettingWithEndpointsReplacesAnEmptyDefault) {
  Adapter& a = plug(withLayout(Layout::AlternateSettingOne));
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  EXPECT_EQ(a.model->alternateSetting(0), 1);
  EXPECT_EQ(a.context->pipeLayout, PipeLayoutDataOnly);
  EXPECT_EQ(a.context->interfaceInfo[0]->AlternateSetting, 1);
}

TEST_F(UsbConfigTest, DataAlternateLayoutConfiguresTheFirstNonDefaultDataSetting) {
  Adapter& a = plug(withLayout(Layout::DataAlternate));
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  EXPECT_EQ(a.model->alternateSetting(0), 0);
  EXPECT_EQ(a.model->alternateSetting(1), 1) << "neither the empty default nor the second alternate";
  EXPECT_EQ(a.context->pipeLayout, PipeLayoutDataOnly);
  EXPECT_EQ(a.context->dataInterfaceNumber, 1);
  EXPECT_EQ(a.context->interfaceInfo[1]->AlternateSetting, 1);
}

// ---- identity ------------------------------------------------------------------------------

TEST_F(UsbConfigTest, IdentityZeroOrTheFamilysOwnIsAcceptedAndAnyOtherRefused) {
  struct Case {
    uint16_t vendor, product;
    NTSTATUS status;
  } cases[] = {
      {0, 0, STATUS_SUCCESS},
      {AdapterVendorId, AdapterProductId, STATUS_SUCCESS},
      {AdapterVendorId, 0, STATUS_SUCCESS},
      {0x1234, AdapterProductId, STATUS_BAD_DESCRIPTOR_FORMAT},
      {AdapterVendorId, 0x1234, STATUS_BAD_DESCRIPTOR_FORMAT},
      {0, 0x0001, STATUS_BAD_DESCRIPTOR_FORMAT},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << k.vendor << ":" << k.product);
    Adapter& a = plugStopped({.vendorId = k.vendor, .productId = k.product});
    ASSERT_EQ(start(a), k.status);
    if (k.status == STATUS_SUCCESS) {
      EXPECT_EQ(a.context->usbIdentity, ULONG(k.vendor) << 16 | k.product);
      stop(a);
    } else {
      EXPECT_EQ(a.model->configurationValue(), 0);
      expectNothingLeft(a);
    }
  }
}

TEST_F(UsbConfigTest, ADeviceWithoutConfigurationsIsRefused) {
  Adapter& a = plugStopped({.numConfigurations = 0});
  EXPECT_EQ(start(a), STATUS_BAD_DESCRIPTOR_FORMAT);
  EXPECT_EQ(a.model->configurationValue(), 0);
  expectNothingLeft(a);
}

// A device that sends only the first 8 bytes of its device descriptor, as
// one that answers with bMaxPacketSize0 bytes does.
TEST_F(UsbConfigTest, ATruncatedDeviceDescriptorIsRefused) {
  auto model = sim::usb::CdcAcmAdapter::create();
  sim::pnp::PhysicalDeviceOptions options;
  options.internalDeviceControl = [model](PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    auto urb = static_cast<PURB>(location->Parameters.Others.Argument1);
    if (location->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
        urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
        urb->UrbControlDescriptorRequest.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE)
      urb->UrbControlDescriptorRequest.TransferBufferLength =
          std::min<ULONG>(urb->UrbControlDescriptorRequest.TransferBufferLength, 8);
    return model->internalDeviceControl(pdo, irp);
  };
  auto adapter = std::make_unique<Adapter>();
  adapter->pdo = sim::pnp::createPhysicalDevice(options);
  adapter->model = model;
  sim::registry::setString(sim::pnp::deviceParametersKey(adapter->pdo), u"PortName", u"COM7");
  ASSERT_EQ(sim::pnp::addDevice(driver, adapter->pdo), STATUS_SUCCESS);
  adapter->context = TzSerialGetDeviceContext(adapter->pdo->AttachedDevice);
  Adapter& a = *adapters.emplace_back(std::move(adapter));
  stop(a);
  kept = sim::poolInUse();

  EXPECT_EQ(start(a), STATUS_BAD_DESCRIPTOR_FORMAT);
  EXPECT_EQ(a.model->configurationValue(), 0);
  expectNothingLeft(a);
}

// ---- malformed descriptor sets -------------------------------------------------------------

TEST_F(UsbConfigTest, MalformedSetsAreRefusedBeforeAnythingIsConfigured) {
  auto encoded = [](auto change) {
    ConfigurationSpec s = sim::usb::cdcConfiguration(Layout::CommAndData);
    change(s);
    return sim::usb::encode(s);
  };
  std::vector<uint8_t> zeroLength = encoded([](ConfigurationSpec&) {});
  zeroLength[9 + 9] = 0;  // the first class-specific descriptor after interface 0
  std::vector<uint8_t> cutEndpoint = encoded([](ConfigurationSpec&) {});
  cutEndpoint.resize(cutEndpoint.size() - 3);  // the last endpoint loses its last bytes
  cutEndpoint[2] = uint8_t(cutEndpoint.size());

  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"wTotalLength beyond the data", encoded([](ConfigurationSpec& s) { s.totalLength = 200; })},
      {"wTotalLength 0xFFFF", encoded([](ConfigurationSpec& s) { s.totalLength = 0xFFFF; })},
      {"wTotalLength shorter than the header", encoded([](ConfigurationSpec& s) { s.totalLength = 4; })},
      {"wTotalLength ending inside an endpoint", cutEndpoint},
      {"bNumInterfaces larger than the interfaces present", encoded([](ConfigurationSpec& s) { s.numInterfaces = 3; })},
      {"bNumInterfaces 255", encoded([](ConfigurationSpec& s) { s.numInterfaces = 255; })},
      {"an interface number above 15", encoded([](ConfigurationSpec& s) { s.interfaces[1].number = 16; })},
      {"interface number 255", encoded([](ConfigurationSpec& s) { s.interfaces[0].number = 255; })},
      {"bNumEndpoints above the endpoints", encoded([](ConfigurationSpec& s) { s.interfaces[1].numEndpoints = 3; })},
      {"bNumEndpoints below the endpoints", encoded([](ConfigurationSpec& s) { s.interfaces[1].numEndpoints = 1; })},
      {"an endpoint before any interface", [] {
         std::vector<uint8_t> b = {9, 2, 0, 0, 1, 1, 0, 0xA0, 50, 7, 5, 0x82, 2, 64, 0, 0};
         b[2] = uint8_t(b.size());
         return b;
       }()},
      {"a descriptor with bLength 0", zeroLength},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Adapter& a = plugStopped(withBytes(k.bytes));
    EXPECT_EQ(start(a), STATUS_BAD_DESCRIPTOR_FORMAT);
    EXPECT_EQ(a.model->configurationValue(), 0);
    expectNothingLeft(a);
  }
}

// The interface list holds at most 15 entries: it counts list entries, so
// empty alternate settings of one interface count as much as interfaces.
TEST_F(UsbConfigTest, SixteenInterfaceListEntriesFailTheStart) {
  auto interfaces = [](bool alternates, unsigned n) {
    ConfigurationSpec s;
    for (unsigned i = 0; i < n; ++i)
      s.interfaces.push_back({.number = uint8_t(alternates ? 0 : i), .alternate = uint8_t(alternates ? i : 0)});
    return AdapterOptions{.configuration = s};
  };
  Adapter& fifteen = plug(interfaces(false, 15));
  EXPECT_EQ(start(fifteen), STATUS_SUCCESS);
  EXPECT_EQ(fifteen.context->pipeLayout, PipeLayoutNone);
  stop(fifteen);

  for (bool alternates : {false, true}) {
    SCOPED_TRACE(alternates ? "sixteen settings of interface 0" : "sixteen interfaces");
    Adapter& a = plugStopped(interfaces(alternates, 16));
    EXPECT_EQ(start(a), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(a.model->configurationValue(), 0);
    expectNothingLeft(a);
  }
}

TEST_F(UsbConfigTest, AnAlternateSettingWithNothingToReplaceFailsTheStart) {
  ConfigurationSpec s;
  s.interfaces = {{.number = 0, .alternate = 1, .cls = 0x0A, .endpoints = {{0x82, USB_ENDPOINT_TYPE_BULK}}}};
  Adapter& a = plugStopped({.configuration = s});
  EXPECT_EQ(start(a), STATUS_UNSUCCESSFUL);
  expectNothingLeft(a);
}

// ---- stop, start, and failures of the start ------------------------------------------------

TEST_F(UsbConfigTest, StartAfterStopRecreatesEveryTransferResource) {
  Adapter& a = plug();
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  sim::PoolUse started = sim::poolInUse();
  stop(a);
  DeviceContext* c = a.context;
  EXPECT_EQ(c->rxBuffer, nullptr) << "the tear-down frees the transfer resources, as a stop does";

  ASSERT_EQ(start(a), STATUS_SUCCESS);
  for (ULONG i = 0; i < TzSerialBulkInSlots; ++i) {
    EXPECT_NE(c->bulkInIrp[i], nullptr) << i;
    EXPECT_NE(c->bulkInUrb[i], nullptr) << i;
    EXPECT_NE(c->bulkInBuffer[i], nullptr) << i;
  }
  EXPECT_NE(c->statusIrp, nullptr);
  EXPECT_NE(c->statusUrb, nullptr);
  EXPECT_NE(c->queuedSendIrp, nullptr);
  EXPECT_NE(c->queuedSendUrb, nullptr);
  EXPECT_NE(c->rxBuffer, nullptr);
  sim::PoolUse restarted = sim::poolInUse();
  EXPECT_EQ(restarted.blocks, started.blocks) << "the same resources, the same sizes";
  EXPECT_EQ(restarted.bytes, started.bytes);
  EXPECT_EQ(c->pipeLayout, PipeLayoutFull);
  EXPECT_EQ(sim::symbolicLinkTarget(kLink), u"\\Device\\TALVENO0");
}

// Fails every fallible allocation of a start after a stop in turn: the
// transfer resources it re-creates, the descriptor buffers, the IRPs of the
// requests, the select-configuration URB, the interface copies, the shadow
// buffer and the naming. Five failures are absorbed by design: the remote
// wake-up request and the enabling of the family interface (both results
// ignored), the first of the two tries at the link, and the resets of the
// two bulk pipes that follow a start (results ignored). A start that
// succeeds anyway has a complete port.
TEST_F(UsbConfigTest, EveryAllocationFailureOfTheStartUnwindsCompletely) {
  std::vector<uint64_t> absorbed;
  for (uint64_t n = 1;; ++n) {
    SCOPED_TRACE(testing::Message() << "allocation " << n);
    Adapter& a = plugStopped({});
    sim::faults::arm(n);
    NTSTATUS status = start(a);
    bool fired = sim::faults::fired();
    sim::faults::disarm();
    if (!fired) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_GT(n, 20u) << "the sweep ran out before the start allocated much";
      EXPECT_LE(absorbed.size(), 5u) << "allocations that failed unnoticed: " << testing::PrintToString(absorbed);
      break;
    }
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(a.context->pipeLayout, PipeLayoutFull);
      EXPECT_NE(a.context->shadowRegisters.buffer, nullptr);
      EXPECT_EQ(sim::symbolicLinkTarget(kLink), sim::widen(sim::narrow(&a.context->deviceName)));
      absorbed.push_back(n);
      stop(a);
    } else {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    }
    expectNothingLeft(a);
    if (HasFailure()) break;
    remove(a);
    sim::pnp::deletePhysicalDevice(a.pdo);
    adapters.pop_back();
  }
}

// ---- the descriptor fuzzer, seeded ---------------------------------------------------------

// Mutated descriptor sets through the start path: every run ends in success
// or a documented refusal, and leaves nothing. Each iteration draws from its
// own generator seeded by (seed, iteration), so a failure replays alone.
// A sanitizer report ends the process before an assertion could name the
// run: the report is followed by the run in progress.
std::string fuzzRunInProgress;
#ifdef TZ_ADDRESS_SANITIZER
void printFuzzRunInProgress() { std::fprintf(stderr, "%s\n", fuzzRunInProgress.c_str()); }
#endif

TEST_F(UsbConfigTest, FuzzedDescriptorSetsStartOrAreRefusedAndLeaveNothing) {
#ifdef TZ_ADDRESS_SANITIZER
  __sanitizer_set_death_callback(printFuzzRunInProgress);
#endif
  constexpr uint64_t kSeed = 0x7A5EC0DE;
  constexpr unsigned kIterations = 3000;
  const auto seeds = tzfuzz::seedDescriptorSets();
  unsigned started = 0;
  for (unsigned i = 0; i < kIterations; ++i) {
    std::mt19937_64 random(kSeed ^ (uint64_t(i) << 32));
    std::vector<uint8_t> set = seeds[random() % seeds.size()];
    tzfuzz::mutateDescriptorSet(set, random);
    std::string replay = (testing::Message() << "seed 0x" << std::hex << kSeed << std::dec << " iteration " << i
                                             << "\nset: " << tzfuzz::hex(set)).GetString();
    fuzzRunInProgress = replay;
    tzfuzz::StartRun run;
    try {
      run = tzfuzz::runStartPath(driver, set);
    } catch (const sim::VerifierStop& stop) {
      run.broken = std::string("verifier stop: ") + stop.what();
    }
    ASSERT_EQ(run.broken, "") << replay;
    if (NT_SUCCESS(run.status)) ++started;
  }
  // Mutations that never got past the first check would test little.
  EXPECT_GT(started, kIterations / 20);
  RecordProperty("started", int(started));
}

}  // namespace
