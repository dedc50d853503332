// Tests of the simulated USB bus: what a driver's transmit path and status
// pipe meet on a real device: bulk-out taken short, stalled or NAKed with
// several transfers queued, the lengths that went on the bus, and raw
// interrupt-in packets, babble included.
#include "usb_client.h"

#include <cstring>

namespace {

using sim::usb::UrbRecord;

class UsbTransferTest : public UsbTest {
 protected:
  void SetUp() override {
    UsbTest::SetUp();
    configureAll();
  }
  void configureAll() {
    ASSERT_EQ(configure(), STATUS_SUCCESS);
    adapter->clearRecords();
    out = pipe(0x02).PipeHandle;
    interrupt = pipe(0x81).PipeHandle;
  }
  // A bulk-out transfer of `data`, sent; the caller keeps both alive until it completes.
  std::unique_ptr<usbfrag::Submission> write(URB& urb, std::vector<UCHAR>& data) {
    usbfrag::buildTransfer(urb, out, data.data(), ULONG(data.size()), false);
    return usbfrag::send(pdo, &urb);
  }
  NTSTATUS resetPipe(USHORT function, USBD_PIPE_HANDLE handle) {
    URB reset;
    usbfrag::buildPipeRequest(reset, function, handle);
    return call(reset);
  }

  USBD_PIPE_HANDLE out = nullptr, interrupt = nullptr;
};

std::vector<UCHAR> bytes(size_t n, UCHAR first) {
  std::vector<UCHAR> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = UCHAR(first + i);
  return v;
}

TEST_F(UsbTransferTest, ShortAcceptanceTakesOnlyPartOfAsManyTransfersAsAsked) {
  plug({.loopback = true});
  configureAll();
  adapter->acceptBulkOutShort(3, 2);
  std::vector<UCHAR> data = bytes(5, 1);
  URB urb;
  for (ULONG expected : {3u, 3u, 5u}) {
    usbfrag::buildTransfer(urb, out, data.data(), 5, false);
    ASSERT_EQ(call(urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, expected);
  }
  EXPECT_EQ(adapter->bulkOutData(), (std::vector<uint8_t>{1, 2, 3, 1, 2, 3, 1, 2, 3, 4, 5}));
  EXPECT_EQ(adapter->bulkOutBytes(), 11u);
  EXPECT_EQ(adapter->pendingBulkInBytes(), 11u) << "loopback echoes only what was taken";
  auto records = adapter->urbs();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].requestedLength, 5u);
  EXPECT_EQ(records[0].transferred, 3u);
  EXPECT_EQ(records[0].dataOut, (std::vector<uint8_t>{1, 2, 3}));

  // Until told otherwise: every transfer, zero-length packets included,
  // until acceptBulkOutShort(0, 0); then again until clearFaults().
  for (int round = 0; round < 2; ++round) {
    adapter->acceptBulkOutShort(0, -1);
    for (ULONG length : {5u, 0u, 5u}) {
      usbfrag::buildTransfer(urb, out, data.data(), length, false);
      ASSERT_EQ(call(urb), STATUS_SUCCESS);
      EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    }
    if (round == 0)
      adapter->acceptBulkOutShort(0, 0);
    else
      adapter->clearFaults();
    usbfrag::buildTransfer(urb, out, data.data(), 5, false);
    ASSERT_EQ(call(urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
  }
  EXPECT_EQ(adapter->bulkOutBytes(), 21u);
}

// The lengths are what each transfer offered, in the order the bus queued
// them, whatever became of it.
TEST_F(UsbTransferTest, BulkOutLengthsAreKeptInBusOrderAndClearedWithTheRecords) {
  std::vector<UCHAR> big = bytes(4096, 0), tail = bytes(1808, 7), none;
  URB u[4];
  adapter->acceptBulkOutShort(100);
  auto first = write(u[0], big);
  adapter->holdBulkOut(true);
  auto second = write(u[1], big);
  auto cancelled = write(u[2], tail);
  auto zero = write(u[3], none);
  sim::runReady();
  EXPECT_TRUE(IoCancelIrp(cancelled->irp));
  adapter->holdBulkOut(false);
  ASSERT_TRUE(sim::runUntil([&] { return first->completed && second->completed && zero->completed; }));
  EXPECT_EQ(u[0].UrbBulkOrInterruptTransfer.TransferBufferLength, 100u);
  EXPECT_EQ(u[1].UrbBulkOrInterruptTransfer.TransferBufferLength, 4096u);
  EXPECT_EQ(zero->status, STATUS_SUCCESS);
  EXPECT_EQ(adapter->bulkOutTransferLengths(), (std::vector<ULONG>{4096, 4096, 1808, 0}));
  EXPECT_EQ(adapter->bulkOutBytes(), 4196u);

  adapter->clearRecords();
  EXPECT_TRUE(adapter->bulkOutTransferLengths().empty());
  plug({.record = false});
  configureAll();
  usbfrag::buildTransfer(u[0], out, big.data(), 4096, false);
  ASSERT_EQ(call(u[0]), STATUS_SUCCESS);
  EXPECT_TRUE(adapter->bulkOutTransferLengths().empty());
}

TEST_F(UsbTransferTest, StalledBulkOutFailsEveryQueuedTransferUntilTheStallIsCleared) {
  adapter->holdBulkOut(true);
  std::vector<UCHAR> a = bytes(10, 0), b = bytes(20, 50), c = bytes(30, 100);
  URB ua, ub, uc;
  auto sa = write(ua, a), sb = write(ub, b), sc = write(uc, c);
  sim::runReady();
  EXPECT_EQ(adapter->pendingTransfers(0x02), 3u);
  adapter->haltEndpoint(0x02);  // a stalled endpoint answers STALL, not NAK
  ASSERT_TRUE(sim::runUntil([&] { return sa->completed && sb->completed && sc->completed; }));
  for (URB* u : {&ua, &ub, &uc}) {
    EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(u->UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  }
  EXPECT_EQ(sa->status, STATUS_UNSUCCESSFUL);
  adapter->holdBulkOut(false);
  auto writeA = [&] {
    usbfrag::buildTransfer(ua, out, a.data(), 10, false);
    return call(ua);
  };
  EXPECT_EQ(writeA(), STATUS_UNSUCCESSFUL) << "still stalled";

  // Resetting the host's side alone leaves the device stalled.
  EXPECT_EQ(resetPipe(URB_FUNCTION_SYNC_RESET_PIPE, out), STATUS_SUCCESS);
  EXPECT_EQ(writeA(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(resetPipe(URB_FUNCTION_RESET_PIPE, out), STATUS_SUCCESS);
  EXPECT_EQ(writeA(), STATUS_SUCCESS);
  EXPECT_EQ(adapter->bulkOutData(), std::vector<uint8_t>(a.begin(), a.end()));
}

TEST_F(UsbTransferTest, NakedBulkOutWaitsInOrderAndACancelledTransferLeavesTheRest) {
  adapter->holdBulkOut(true);
  std::vector<UCHAR> a = bytes(3, 1), b = bytes(3, 11), c = bytes(3, 21);
  URB ua, ub, uc;
  auto sa = write(ua, a), sb = write(ub, b), sc = write(uc, c);
  sim::advance(10 * sim::kSecond);
  EXPECT_FALSE(sa->completed || sb->completed || sc->completed);
  EXPECT_EQ(adapter->pendingTransfers(0x02), 3u);
  EXPECT_TRUE(IoCancelIrp(sb->irp));
  EXPECT_EQ(sb->status, STATUS_CANCELLED);
  EXPECT_EQ(ub.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(adapter->pendingTransfers(0x02), 2u);
  adapter->holdBulkOut(false);
  ASSERT_TRUE(sim::runUntil([&] { return sa->completed && sc->completed; }));
  EXPECT_EQ(sa->status, STATUS_SUCCESS);
  EXPECT_EQ(sc->status, STATUS_SUCCESS);
  EXPECT_EQ(adapter->bulkOutData(), (std::vector<uint8_t>{1, 2, 3, 21, 22, 23}));
  auto records = adapter->urbs();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].state, UrbRecord::State::Cancelled);
}

TEST_F(UsbTransferTest, InterruptPayloadsArriveWholeOneTransferEach) {
  std::vector<uint8_t> full(64);
  for (size_t i = 0; i < full.size(); ++i) full[i] = uint8_t(0xC0 ^ i);
  adapter->sendInterrupt({1, 2, 3});
  adapter->sendInterrupt({});
  adapter->sendInterrupt(full);
  URB urb;
  UCHAR buffer[64];
  std::vector<std::vector<UCHAR>> received;
  for (int i = 0; i < 3; ++i) {
    std::memset(buffer, 0xEE, sizeof buffer);
    usbfrag::buildTransfer(urb, interrupt, buffer, sizeof buffer, true);
    ASSERT_EQ(call(urb), STATUS_SUCCESS);
    received.emplace_back(buffer, buffer + urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  }
  EXPECT_EQ(received[0], (std::vector<UCHAR>{1, 2, 3}));
  EXPECT_TRUE(received[1].empty()) << "a zero-length packet";
  EXPECT_EQ(received[2], full);

  std::string message;
  try {
    adapter->sendInterrupt(std::vector<uint8_t>(65));
  } catch (const sim::VerifierStop& stop) {
    message = stop.what();
  }
  EXPECT_NE(message.find("sendInterrupt"), std::string::npos) << message;
}

TEST_F(UsbTransferTest, SerialStateNamesTheCommunicationInterface) {
  auto config = sim::usb::cdcConfiguration(sim::usb::Layout::CommAndData);
  config.interfaces[0].number = 3;
  plug({.configuration = config});
  ASSERT_EQ(configure({{3, 0}, {1, 0}}), STATUS_SUCCESS);
  adapter->sendSerialState(0x0102);
  UCHAR buffer[16];
  URB urb;
  usbfrag::buildTransfer(urb, pipe(0x81).PipeHandle, buffer, sizeof buffer, true);
  ASSERT_EQ(call(urb), STATUS_SUCCESS);
  UCHAR expected[10] = {0xA1, 0x20, 0, 0, 3, 0, 2, 0, 0x02, 0x01};
  ASSERT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
  EXPECT_EQ(std::memcmp(buffer, expected, 10), 0);
}

// A packet longer than the buffer is babble: the host controller fails the
// transfer, drops the packet and halts the pipe until the driver resets it.
TEST_F(UsbTransferTest, OversizedInterruptPacketIsBabbleThatHaltsThePipeUntilReset) {
  UCHAR small[8];
  std::memset(small, 0xEE, sizeof small);
  URB urb;
  usbfrag::buildTransfer(urb, interrupt, small, sizeof small, true);
  auto pending = usbfrag::send(pdo, &urb);
  adapter->sendSerialState(0x0001);  // 10 bytes
  ASSERT_TRUE(sim::runUntil([&] { return pending->completed; }));
  EXPECT_EQ(pending->status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_BABBLE_DETECTED);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  EXPECT_EQ(small[0], 0xEE);

  // The device still has the next payload; the halted pipe does not ask for it.
  adapter->sendSerialState(0x0003);
  UCHAR buffer[16];
  auto read = [&] {
    usbfrag::buildTransfer(urb, interrupt, buffer, sizeof buffer, true);
    return call(urb);
  };
  EXPECT_EQ(read(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
  // Clearing a device stall does not restart the host's side.
  EXPECT_EQ(resetPipe(URB_FUNCTION_SYNC_CLEAR_STALL, interrupt), STATUS_SUCCESS);
  EXPECT_EQ(read(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(resetPipe(URB_FUNCTION_SYNC_RESET_PIPE, interrupt), STATUS_SUCCESS);
  ASSERT_EQ(read(), STATUS_SUCCESS);
  ASSERT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
  EXPECT_EQ(buffer[8], 0x03) << "the payload queued behind the babble";

  auto records = adapter->urbs();
  EXPECT_EQ(records.front().usbdStatus, USBD_STATUS_BABBLE_DETECTED);
  EXPECT_TRUE(records.front().dataIn.empty());
}

}  // namespace
