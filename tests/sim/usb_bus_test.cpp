// Tests of the simulated USB bus and CDC-ACM adapter: real URBs from a
// function-driver fragment, checked against what the adapter answers, what it
// keeps and what it recorded on the bus.
#include "usb_client.h"

#include <cstring>

namespace {

using sim::usb::Answer;
using sim::usb::Layout;
using sim::usb::UrbRecord;

TEST_F(UsbTest, DescriptorReadsHonourTheRequestedLength) {
  plug({.vendorId = 0x1234, .productId = 0xABCD, .numConfigurations = 1});
  URB urb;
  USB_DEVICE_DESCRIPTOR device{};
  usbfrag::buildGetDescriptor(urb, USB_DEVICE_DESCRIPTOR_TYPE, &device, sizeof device);
  ASSERT_EQ(call(urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
  EXPECT_EQ(device.idVendor, 0x1234);
  EXPECT_EQ(device.idProduct, 0xABCD);
  EXPECT_EQ(device.bNumConfigurations, 1);

  // 9 bytes give the header only; asking for more than exists returns what exists.
  UCHAR buffer[512];
  std::memset(buffer, 0xEE, sizeof buffer);
  usbfrag::buildGetDescriptor(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, 9);
  ASSERT_EQ(call(urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 9u);
  EXPECT_EQ(buffer[9], 0xEE);
  USHORT total = USHORT(buffer[2] | buffer[3] << 8);
  usbfrag::buildGetDescriptor(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, sizeof buffer);
  ASSERT_EQ(call(urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, total);

  auto records = adapter->urbs();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].requestType, 0x80);
  EXPECT_EQ(records[1].request, USB_REQUEST_GET_DESCRIPTOR);
  EXPECT_EQ(records[1].value, 0x0200);
  EXPECT_EQ(records[1].length, 9);
  EXPECT_EQ(records[1].state, UrbRecord::State::Completed);
}

TEST_F(UsbTest, DescriptorSetLongerThanItsDataComesBackShort) {
  auto config = sim::usb::cdcConfiguration(Layout::CommAndData);
  config.totalLength = 200;
  plug({.configuration = config});
  UCHAR buffer[200];
  URB urb;
  usbfrag::buildGetDescriptor(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, sizeof buffer);
  ASSERT_EQ(call(urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, sim::usb::encode(sim::usb::cdcConfiguration(Layout::CommAndData)).size());
}

TEST_F(UsbTest, SelectConfigurationGivesRealPipes) {
  plug({.configuration = sim::usb::cdcConfiguration(Layout::CommAndData, {.bulk = 512, .interrupt = 8})});
  ASSERT_EQ(configure(), STATUS_SUCCESS);
  EXPECT_EQ(select->UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_NE(select->UrbSelectConfiguration.ConfigurationHandle, nullptr);
  EXPECT_EQ(adapter->configurationValue(), 1);

  auto& comm = select->UrbSelectConfiguration.Interface;
  EXPECT_EQ(comm.Class, 0x02);
  ASSERT_EQ(comm.NumberOfPipes, 1u);
  EXPECT_EQ(comm.Pipes[0].PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(comm.Pipes[0].MaximumPacketSize, 8);
  USBD_PIPE_INFORMATION in = pipe(0x82), out = pipe(0x02);
  EXPECT_EQ(in.PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(out.PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(in.MaximumPacketSize, 512);
  EXPECT_NE(in.PipeHandle, nullptr);
  EXPECT_NE(in.PipeHandle, out.PipeHandle);
  EXPECT_NE(in.PipeHandle, comm.Pipes[0].PipeHandle);
}

TEST_F(UsbTest, SelectConfigurationUsesTheAlternateSettingsGiven) {
  plug({.configuration = sim::usb::cdcConfiguration(Layout::DataAlternate)});
  ASSERT_EQ(configure({{0, 0}, {1, 2}}), STATUS_SUCCESS);
  EXPECT_EQ(adapter->alternateSetting(0), 0);
  EXPECT_EQ(adapter->alternateSetting(1), 2);
  EXPECT_EQ(pipe(0x82).PipeType, UsbdPipeTypeBulk);
}

TEST_F(UsbTest, MalformedSelectionsFailWithoutConfiguringAnything) {
  // bNumInterfaces claims three interfaces; the URB has room for the two that exist.
  auto config = sim::usb::cdcConfiguration(Layout::CommAndData);
  config.numInterfaces = 3;
  plug({.configuration = config});
  EXPECT_EQ(configure({{0, 0}, {1, 0}}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(select->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(adapter->configurationValue(), 0);

  // An interface whose bNumEndpoints disagrees with its endpoint descriptors.
  config = sim::usb::cdcConfiguration(Layout::DataOnly);
  config.interfaces[0].numEndpoints = 3;
  plug({.configuration = config});
  EXPECT_EQ(configure(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(adapter->configurationValue(), 0);
}

TEST_F(UsbTest, InterfaceNumbersAboveFifteenAreServedAsGiven) {
  auto config = sim::usb::cdcConfiguration(Layout::DataOnly);
  config.interfaces[0].number = 17;
  plug({.configuration = config});
  ASSERT_EQ(configure({{17, 0}}), STATUS_SUCCESS);
  EXPECT_EQ(select->UrbSelectConfiguration.Interface.InterfaceNumber, 17);
  EXPECT_EQ(adapter->alternateSetting(17), 0);
}

TEST_F(UsbTest, CdcClassRequestsChangeTheAdapterAndAreRecordedExactly) {
  URB urb;
  UCHAR coding[7] = {0xB0, 0x04, 0x00, 0x00, 0x00, 0x00, 0x08};
  // Before the configuration is selected the interface does not exist: stalled.
  usbfrag::buildClassRequest(urb, CDC_SET_LINE_CODING, 0, 0, coding, 7, false);
  EXPECT_EQ(call(urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);

  ASSERT_EQ(configure(), STATUS_SUCCESS);
  adapter->clearRecords();
  usbfrag::buildClassRequest(urb, CDC_SET_LINE_CODING, 0, 0, coding, 7, false);
  ASSERT_EQ(call(urb), STATUS_SUCCESS);
  EXPECT_EQ(adapter->lineCoding(), (sim::usb::LineCoding{1200, 0, 0, 8}));
  UCHAR reply[7] = {};
  usbfrag::buildClassRequest(urb, CDC_GET_LINE_CODING, 0, 0, reply, 7, true);
  ASSERT_EQ(call(urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 7u);
  EXPECT_EQ(std::memcmp(reply, coding, 7), 0);
  usbfrag::buildClassRequest(urb, CDC_SET_CONTROL_LINE_STATE, 3, 0, nullptr, 0, false);
  ASSERT_EQ(call(urb), STATUS_SUCCESS);
  EXPECT_EQ(adapter->controlLineState(), 3);
  // The data interface is not the communication interface: stalled.
  usbfrag::buildClassRequest(urb, CDC_SET_CONTROL_LINE_STATE, 1, 1, nullptr, 0, false);
  EXPECT_EQ(call(urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(adapter->controlLineState(), 3);

  auto r = adapter->classRequests();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].requestType, 0x21);
  EXPECT_EQ(r[0].request, CDC_SET_LINE_CODING);
  EXPECT_EQ(r[0].dataOut, std::vector<uint8_t>(coding, coding + 7));
  EXPECT_EQ(r[1].requestType, 0xA1);
  EXPECT_EQ(r[1].dataIn, std::vector<uint8_t>(coding, coding + 7));
  EXPECT_EQ(r[2].value, 3);
  EXPECT_EQ(r[2].length, 0);
  EXPECT_EQ(r[3].usbdStatus, USBD_STATUS_STALL_PID);
}

class UsbConfiguredTest : public UsbTest {
 protected:
  void SetUp() override {
    UsbTest::SetUp();
    ASSERT_EQ(configure(), STATUS_SUCCESS);
    adapter->clearRecords();
  }
  URB urb;
};

TEST_F(UsbConfiguredTest, StalledRequestFailsAndLeavesTheStateAlone) {
  adapter->stall(CDC_SET_CONTROL_LINE_STATE);
  usbfrag::buildClassRequest(urb, CDC_SET_CONTROL_LINE_STATE, 1, 0, nullptr, 0, false);
  EXPECT_EQ(call(urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(adapter->controlLineState(), 0);
  adapter->clearFaults();
  EXPECT_EQ(call(urb), STATUS_SUCCESS);
  EXPECT_EQ(adapter->controlLineState(), 1);
}

TEST_F(UsbConfiguredTest, LateAnswerArrivesAfterItsDelayOnTheVirtualClock) {
  adapter->answerLate(CDC_SET_CONTROL_LINE_STATE, 2 * sim::kSecond);
  usbfrag::buildClassRequest(urb, CDC_SET_CONTROL_LINE_STATE, 3, 0, nullptr, 0, false);
  int64_t start = sim::now();
  auto s = usbfrag::send(pdo, &urb);
  EXPECT_EQ(s->callStatus, STATUS_PENDING);
  sim::advance(2 * sim::kSecond - 1);
  EXPECT_FALSE(s->completed);
  EXPECT_EQ(adapter->controlLineState(), 0);  // the device has not seen it yet
  ASSERT_TRUE(sim::runUntil([&] { return s->completed; }));
  EXPECT_EQ(sim::now() - start, 2 * sim::kSecond);
  EXPECT_EQ(s->status, STATUS_SUCCESS);
  EXPECT_EQ(adapter->controlLineState(), 3);
}

// The driver's pattern: wait 3 seconds for the event, then cancel and wait again.
TEST_F(UsbConfiguredTest, NeverAnsweredRequestWaitsUntilItsIrpIsCancelled) {
  adapter->neverAnswer(CDC_SET_CONTROL_LINE_STATE);
  usbfrag::buildClassRequest(urb, CDC_SET_CONTROL_LINE_STATE, 1, 0, nullptr, 0, false);
  auto s = usbfrag::send(pdo, &urb);
  EXPECT_FALSE(sim::runUntil([&] { return s->completed; }, 3 * sim::kSecond));
  EXPECT_EQ(adapter->pendingTransfers(0), 1u);
  EXPECT_TRUE(IoCancelIrp(s->irp));
  ASSERT_TRUE(s->completed);
  EXPECT_EQ(s->status, STATUS_CANCELLED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(adapter->controlLineState(), 0);
  EXPECT_EQ(adapter->pendingTransfers(0), 0u);
  EXPECT_EQ(adapter->urbs().back().state, UrbRecord::State::Cancelled);
  sim::advance(10 * sim::kSecond);  // nothing answers the cancelled request later
}

TEST_F(UsbConfiguredTest, LateAnswerToACancelledRequestIsDropped) {
  adapter->answerLate(CDC_SET_LINE_CODING, sim::kSecond);
  UCHAR coding[7] = {0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08};
  usbfrag::buildClassRequest(urb, CDC_SET_LINE_CODING, 0, 0, coding, 7, false);
  auto s = usbfrag::send(pdo, &urb);
  sim::advance(sim::kMs);
  IoCancelIrp(s->irp);
  EXPECT_EQ(s->status, STATUS_CANCELLED);
  sim::advance(2 * sim::kSecond);
  EXPECT_EQ(adapter->lineCoding(), sim::usb::LineCoding{});
}

TEST_F(UsbConfiguredTest, BulkInPendsUntilDataAndCancelLosesNothing) {
  UCHAR buffer[64];
  usbfrag::buildTransfer(urb, pipe(0x82).PipeHandle, buffer, sizeof buffer, true);
  auto first = usbfrag::send(pdo, &urb);
  sim::advance(sim::kSecond);
  EXPECT_FALSE(first->completed);
  EXPECT_TRUE(IoCancelIrp(first->irp));
  EXPECT_EQ(first->status, STATUS_CANCELLED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);

  adapter->sendBulkIn({'h', 'e', 'l', 'l', 'o'});
  usbfrag::buildTransfer(urb, pipe(0x82).PipeHandle, buffer, 3, true);
  EXPECT_EQ(call(urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
  EXPECT_EQ(std::memcmp(buffer, "hel", 3), 0);
  usbfrag::buildTransfer(urb, pipe(0x82).PipeHandle, buffer, sizeof buffer, true);
  EXPECT_EQ(call(urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
  EXPECT_EQ(std::memcmp(buffer, "lo", 2), 0);
}

TEST_F(UsbConfiguredTest, BulkOutIsTakenHeldOrLoopedBack) {
  UCHAR data[] = {1, 2, 3};
  usbfrag::buildTransfer(urb, pipe(0x02).PipeHandle, data, 3, false);
  EXPECT_EQ(call(urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
  EXPECT_EQ(adapter->bulkOutData(), (std::vector<uint8_t>{1, 2, 3}));

  adapter->holdBulkOut(true);
  auto held = usbfrag::send(pdo, &urb);
  sim::advance(sim::kSecond);
  EXPECT_FALSE(held->completed);
  adapter->holdBulkOut(false);
  EXPECT_TRUE(sim::runUntil([&] { return held->completed; }));
  EXPECT_EQ(adapter->bulkOutData().size(), 6u);

  // A direction that disagrees with the pipe is refused by the bus.
  usbfrag::buildTransfer(urb, pipe(0x02).PipeHandle, data, 3, true);
  EXPECT_EQ(call(urb), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbTest, LoopbackAdapterReturnsWhatItIsSent) {
  plug({.loopback = true});
  ASSERT_EQ(configure(), STATUS_SUCCESS);
  UCHAR data[] = {'a', 'b'}, buffer[8] = {};
  URB out, in;
  usbfrag::buildTransfer(in, pipe(0x82).PipeHandle, buffer, sizeof buffer, true);
  auto read = usbfrag::send(pdo, &in);
  usbfrag::buildTransfer(out, pipe(0x02).PipeHandle, data, 2, false);
  EXPECT_EQ(call(out), STATUS_SUCCESS);
  ASSERT_TRUE(sim::runUntil([&] { return read->completed; }));
  EXPECT_EQ(in.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
  EXPECT_EQ(std::memcmp(buffer, "ab", 2), 0);
}

TEST_F(UsbConfiguredTest, SerialStateNotificationArrivesOnTheInterruptPipe) {
  UCHAR buffer[16];
  usbfrag::buildTransfer(urb, pipe(0x81).PipeHandle, buffer, sizeof buffer, true);
  auto s = usbfrag::send(pdo, &urb);
  sim::runReady();
  EXPECT_FALSE(s->completed);
  adapter->sendSerialState(0x0003);
  ASSERT_TRUE(sim::runUntil([&] { return s->completed; }));
  ASSERT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
  UCHAR expected[10] = {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x03, 0x00};
  EXPECT_EQ(std::memcmp(buffer, expected, 10), 0);
}

TEST_F(UsbConfiguredTest, HaltedPipeFailsUntilResetAndStaleHandlesAreRefused) {
  UCHAR buffer[8];
  USBD_PIPE_HANDLE in = pipe(0x82).PipeHandle;
  usbfrag::buildTransfer(urb, in, buffer, sizeof buffer, true);
  auto pending = usbfrag::send(pdo, &urb);
  adapter->haltEndpoint(0x82);
  ASSERT_TRUE(sim::runUntil([&] { return pending->completed; }));
  EXPECT_EQ(pending->status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);

  URB reset;
  usbfrag::buildPipeRequest(reset, URB_FUNCTION_RESET_PIPE, in);
  EXPECT_EQ(call(reset), STATUS_SUCCESS);
  adapter->sendBulkIn({7});
  usbfrag::buildTransfer(urb, in, buffer, sizeof buffer, true);
  EXPECT_EQ(call(urb), STATUS_SUCCESS);

  ASSERT_EQ(configure(), STATUS_SUCCESS);  // new pipes; the old handle is stale
  usbfrag::buildPipeRequest(reset, URB_FUNCTION_RESET_PIPE, in);
  EXPECT_EQ(call(reset), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbConfiguredTest, APipeWithATransferStillPendingOnItIsNotReset) {
  UCHAR buffer[8];
  USBD_PIPE_HANDLE in = pipe(0x82).PipeHandle;
  usbfrag::buildTransfer(urb, in, buffer, sizeof buffer, true);
  auto pending = usbfrag::send(pdo, &urb);  // the device has nothing to send
  sim::runReady();
  ASSERT_FALSE(pending->completed);

  URB reset;
  usbfrag::buildPipeRequest(reset, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, in);
  EXPECT_EQ(call(reset), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_ERROR_BUSY);
  EXPECT_TRUE(IoCancelIrp(pending->irp));
  ASSERT_TRUE(sim::runUntil([&] { return pending->completed; }));
  usbfrag::buildPipeRequest(reset, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, in);
  EXPECT_EQ(call(reset), STATUS_SUCCESS) << "once it is back, the reset goes";
}

TEST_F(UsbConfiguredTest, FeatureAndPortResetAreAnsweredLikeHardware) {
  std::memset(&urb, 0, sizeof urb);
  urb.UrbControlFeatureRequest.Hdr.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
  urb.UrbControlFeatureRequest.Hdr.Function = URB_FUNCTION_SET_FEATURE_TO_DEVICE;
  urb.UrbControlFeatureRequest.FeatureSelector = USB_FEATURE_REMOTE_WAKEUP;
  EXPECT_EQ(call(urb), STATUS_SUCCESS);
  EXPECT_TRUE(adapter->remoteWakeupEnabled());
  EXPECT_EQ(adapter->urbs().back().requestType, 0x00);
  EXPECT_EQ(adapter->urbs().back().request, USB_REQUEST_SET_FEATURE);

  URB line;
  usbfrag::buildClassRequest(line, CDC_SET_CONTROL_LINE_STATE, 3, 0, nullptr, 0, false);
  ASSERT_EQ(call(line), STATUS_SUCCESS);
  auto s = usbfrag::send(pdo, nullptr, IOCTL_INTERNAL_USB_RESET_PORT);
  EXPECT_EQ(s->callStatus, STATUS_SUCCESS);
  EXPECT_TRUE(s->completed);
  EXPECT_EQ(adapter->portResets(), 1u);
  EXPECT_EQ(adapter->controlLineState(), 0);
  EXPECT_EQ(adapter->configurationValue(), 1);  // the bus restores the configuration
}

// A port reset follows its documented rules: sent at PASSIVE_LEVEL, and only
// once the device's I/O has been cancelled and has come back. A driver that
// resets with a transfer still on the bus is stopped.
TEST_F(UsbConfiguredTest, APortResetWithATransferPendingOrAbovePassiveLevelIsStopped) {
  auto stopMessage = [&] {
    try {
      usbfrag::send(pdo, nullptr, IOCTL_INTERNAL_USB_RESET_PORT);
    } catch (const sim::VerifierStop& stop) {
      return std::string(stop.what());
    }
    return std::string("(no verifier stop)");
  };
  UCHAR buffer[8];
  usbfrag::buildTransfer(urb, pipe(0x82).PipeHandle, buffer, sizeof buffer, true);
  auto pending = usbfrag::send(pdo, &urb);
  std::string message = stopMessage();
  EXPECT_NE(message.find("1 request(s) of the device still pending"), std::string::npos) << message;
  EXPECT_EQ(adapter->portResets(), 0u);

  EXPECT_TRUE(IoCancelIrp(pending->irp));
  auto reset = usbfrag::send(pdo, nullptr, IOCTL_INTERNAL_USB_RESET_PORT);
  EXPECT_TRUE(reset->completed);
  EXPECT_EQ(reset->status, STATUS_SUCCESS);
  EXPECT_EQ(adapter->portResets(), 1u);

  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  message = stopMessage();
  KeLowerIrql(old);
  EXPECT_NE(message.find("sent above PASSIVE_LEVEL"), std::string::npos) << message;
  // The refused requests never came back: start again from a fresh kernel.
  pending.reset();
  reset.reset();
  select = nullptr;
  pdo = nullptr;
  adapter.reset();
  sim::boot();
}

TEST_F(UsbConfiguredTest, DisconnectFailsPendingAndNewTransfers) {
  UCHAR buffer[8];
  usbfrag::buildTransfer(urb, pipe(0x82).PipeHandle, buffer, sizeof buffer, true);
  auto pending = usbfrag::send(pdo, &urb);
  adapter->disconnect();
  ASSERT_TRUE(pending->completed);
  EXPECT_EQ(pending->status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(call(urb), STATUS_DEVICE_NOT_CONNECTED);
}

// Records are found by id: one cleared away stays gone, even when its URB
// finishes after later ones, and the later ones are kept up to date.
TEST_F(UsbConfiguredTest, RecordsAfterAClearFollowOnlyTheUrbsSubmittedSince) {
  USBD_PIPE_HANDLE in = pipe(0x82).PipeHandle;
  UCHAR notification[16], b = 0, c = 0;
  URB ua, ub, uc;
  usbfrag::buildTransfer(ua, pipe(0x81).PipeHandle, notification, sizeof notification, true);
  auto before = usbfrag::send(pdo, &ua);
  adapter->clearRecords();
  usbfrag::buildTransfer(ub, in, &b, 1, true);
  auto taken = usbfrag::send(pdo, &ub);
  usbfrag::buildTransfer(uc, in, &c, 1, true);
  auto waiting = usbfrag::send(pdo, &uc);
  adapter->sendBulkIn({'y'});
  ASSERT_TRUE(sim::runUntil([&] { return taken->completed; }));
  EXPECT_EQ(b, 'y');
  EXPECT_TRUE(IoCancelIrp(waiting->irp));
  EXPECT_TRUE(IoCancelIrp(before->irp));

  auto records = adapter->urbs();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_LT(records[0].id, records[1].id);
  EXPECT_EQ(records[0].state, UrbRecord::State::Completed);
  EXPECT_EQ(records[0].dataIn, std::vector<uint8_t>{'y'});
  EXPECT_EQ(records[1].state, UrbRecord::State::Cancelled);
}

TEST_F(UsbTest, AdapterThatDoesNotRecordKeepsNothingWhileDataFlows) {
  plug({.loopback = true, .record = false});
  ASSERT_EQ(configure(), STATUS_SUCCESS);
  URB urb;
  UCHAR coding[7] = {0xB0, 0x04, 0x00, 0x00, 0x00, 0x00, 0x08};
  usbfrag::buildClassRequest(urb, CDC_SET_LINE_CODING, 0, 0, coding, 7, false);
  ASSERT_EQ(call(urb), STATUS_SUCCESS);
  EXPECT_EQ(adapter->lineCoding().rate, 1200u);

  std::vector<UCHAR> sent(3000);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = UCHAR(i * 7);
  usbfrag::buildTransfer(urb, pipe(0x02).PipeHandle, sent.data(), ULONG(sent.size()), false);
  ASSERT_EQ(call(urb), STATUS_SUCCESS);
  EXPECT_EQ(adapter->pendingBulkInBytes(), 3000u);
  std::vector<UCHAR> back;
  while (back.size() < sent.size()) {
    UCHAR buffer[1024];
    usbfrag::buildTransfer(urb, pipe(0x82).PipeHandle, buffer, sizeof buffer, true);
    ASSERT_EQ(call(urb), STATUS_SUCCESS);
    back.insert(back.end(), buffer, buffer + urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  }
  EXPECT_EQ(back, sent);
  EXPECT_EQ(adapter->bulkOutBytes(), 3000u);
  EXPECT_TRUE(adapter->bulkOutData().empty());
  EXPECT_TRUE(adapter->urbs().empty());
  EXPECT_TRUE(adapter->classRequests().empty());
}

// Reads of an odd size against a stream topped up midway: what is queued
// falls by exactly what each read took, and the bytes come out in order.
TEST_F(UsbConfiguredTest, PendingBulkInBytesFallAsReadsTakeThem) {
  std::vector<uint8_t> stream((1 << 20) + 12345);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = uint8_t(i ^ (i >> 8) ^ (i >> 16));
  size_t firstPart = 700 << 10;
  adapter->sendBulkIn(std::span(stream).first(firstPart));
  EXPECT_EQ(adapter->pendingBulkInBytes(), firstPart);
  std::vector<uint8_t> buffer(65536 + 7), received;
  bool toppedUp = false;
  while (received.size() < stream.size()) {
    if (!toppedUp && received.size() > firstPart / 2) {
      adapter->sendBulkIn(std::span(stream).subspan(firstPart));
      toppedUp = true;
    }
    size_t queued = adapter->pendingBulkInBytes();
    usbfrag::buildTransfer(urb, pipe(0x82).PipeHandle, buffer.data(), ULONG(buffer.size()), true);
    ASSERT_EQ(call(urb), STATUS_SUCCESS);
    ULONG n = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    EXPECT_EQ(n, std::min(queued, buffer.size()));
    EXPECT_EQ(adapter->pendingBulkInBytes(), queued - n);
    received.insert(received.end(), buffer.begin(), buffer.begin() + n);
  }
  EXPECT_TRUE(received == stream);
}

TEST_F(UsbTest, InlineAdapterCompletesInsideIoCallDriver) {
  plug({.completeInline = true});
  URB urb;
  USB_DEVICE_DESCRIPTOR device{};
  usbfrag::buildGetDescriptor(urb, USB_DEVICE_DESCRIPTOR_TYPE, &device, sizeof device);
  auto s = usbfrag::send(pdo, &urb);
  EXPECT_EQ(s->callStatus, STATUS_SUCCESS);
  EXPECT_TRUE(s->completed);
  EXPECT_EQ(s->completionIrql, DISPATCH_LEVEL);
}

TEST_F(UsbTest, UnimplementedUrbFunctionStopsNamingTheCall) {
  URB urb{};
  urb.UrbHeader.Length = sizeof urb;
  urb.UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
  std::string message;
  try {
    usbfrag::send(pdo, &urb);
  } catch (const sim::VerifierStop& stop) {
    message = stop.what();
  }
  EXPECT_NE(message.find("IOCTL_INTERNAL_USB_SUBMIT_URB"), std::string::npos) << message;
  sim::boot();  // the IRP is abandoned with the kernel
  pdo = nullptr;
}

}  // namespace
