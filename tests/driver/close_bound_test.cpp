// Tests: how long a close may take. Close waits for the readers with one
// deadline for all of them, cancels again once, and gives up after about
// twice the bound, even on a bus that loses a transfer; a reader that was
// never started reads as at rest, so it costs nothing.
#include "adapter_fixture.h"

#include "sim/cdc_acm.h"

namespace {

constexpr uint8_t kBulkIn = 0x82;
constexpr uint8_t kInterruptIn = 0x81;

class CloseBoundTest : public AdapterTest {};

// The bus driver keeps the first bulk-in transfer even when it is cancelled;
// the other seven come back cancelled and must not wait behind it. The close
// used to take 80 s (5 s per slot, twice).
TEST_F(CloseBoundTest, CloseReturnsInAboutTenSecondsWhenTheBusLosesABulkInTransfer) {
  Adapter& a = plug({.loopback = true});
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  a.model->holdThroughCancel(kBulkIn, 1);
  app::File port;
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  ASSERT_EQ(a.model->heldThroughCancel(), 1u);
  int64_t before = sim::now();
  EXPECT_EQ(port.close().status, STATUS_SUCCESS);
  EXPECT_LE(sim::now() - before, 10 * sim::kSecond + sim::kSecond / 10);
  EXPECT_EQ(a.model->pendingTransfers(kBulkIn), 0u) << "the other seven came back";

  // Once the lost transfer ends, the port works again, in order.
  a.model->releaseHeldThroughCancel();
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  std::vector<uint8_t> sent = bytePattern(9000, 3), got(sent.size());
  ASSERT_EQ(port.write(sent.data(), ULONG(sent.size())).status, STATUS_SUCCESS);
  ASSERT_EQ(port.read(got.data(), ULONG(got.size())).information, got.size());
  EXPECT_EQ(got, sent);
  port.close();
}

// An open whose status transfer could not be sent (its record not
// allocated): the close that follows finds the status reader at rest at
// once. It used to wait out the whole bound, as the event a earlier close
// had consumed was never set again.
TEST_F(CloseBoundTest, ACloseAfterAnOpenWithoutItsStatusTransferDoesNotWait) {
  Adapter& a = plug({.loopback = true}, modemClass());
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  app::File port;
  bool found = false;
  for (uint64_t n = 1; n < 40 && !found; ++n) {
    sim::faults::arm(n);
    NTSTATUS opened = app::File::open(u"\\??\\COM7", port);
    bool fired = sim::faults::fired();
    sim::faults::disarm();
    found = fired && opened == STATUS_SUCCESS && a.model->pendingTransfers(kInterruptIn) == 0 &&
            a.model->pendingTransfers(kBulkIn) == TzSerialBulkInSlots;
    if (!found) {
      if (port.isOpen()) port.close();
      continue;
    }
    int64_t before = sim::now();
    EXPECT_EQ(port.close().status, STATUS_SUCCESS);
    EXPECT_LT(sim::now() - before, sim::kSecond);
  }
  EXPECT_TRUE(found) << "no allocation of the open was the status transfer's";
}

// The bus loses the status transfer across a close; the next open finds it
// still in flight and cannot send another. When the bus gives the old one
// back (cancelled), a new one goes down for the open port: the port hears
// the adapter's line changes again. It used to stay deaf until reopened.
TEST_F(CloseBoundTest, AStatusTransferLostAcrossACloseIsFollowedByANewOneWhenItComesBack) {
  Adapter& a = plug({.loopback = true}, modemClass());
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  a.model->holdThroughCancel(kInterruptIn, 1);
  app::File port;
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  ASSERT_EQ(a.model->heldThroughCancel(), 1u);
  EXPECT_EQ(port.close().status, STATUS_SUCCESS);
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  EXPECT_EQ(a.model->heldThroughCancel(), 1u) << "the old transfer is still the bus's";

  a.model->releaseHeldThroughCancel();
  sim::runReady();
  EXPECT_EQ(a.model->pendingTransfers(kInterruptIn), 1u) << "a new status transfer is on the bus";
  port.close();
  EXPECT_EQ(a.model->pendingTransfers(kInterruptIn), 0u);
}

// A bus that cancels a transfer on its own (a lost one it gives back, here)
// leaves no reader down for the rest of the session: the bulk-in slot and the
// status reader go back on the bus, and the port still hears the adapter's
// lines and receives in order. Both used to stay idle until the port reopened.
TEST_F(CloseBoundTest, ReadersTheBusCancelsOnItsOwnGoBackDown) {
  Adapter& a = plug({.loopback = true}, modemClass());
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  a.model->holdThroughCancel(kBulkIn, 1);
  app::File port;
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  a.model->holdThroughCancel(kInterruptIn, 1);
  a.model->sendSerialState(0x0003);  // DCD and DSR: the status transfer on the bus takes it
  sim::runReady();
  ASSERT_EQ(a.model->heldThroughCancel(), 2u) << "the first bulk-in and the next status transfer are lost";

  a.model->releaseHeldThroughCancel();
  sim::runReady();
  EXPECT_EQ(a.model->pendingTransfers(kBulkIn), TzSerialBulkInSlots);
  EXPECT_EQ(a.model->pendingTransfers(kInterruptIn), 1u);

  a.model->sendSerialState(0x0000);
  sim::runReady();
  ULONG lines = 0;
  ASSERT_EQ(port.ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &lines, sizeof lines).status, STATUS_SUCCESS);
  constexpr ULONG kDsrAndDcd = 0x20 | 0x80;  // in the modem status register
  EXPECT_EQ(lines & kDsrAndDcd, 0u) << "the line drop after the cancel was heard";
  std::vector<uint8_t> sent = bytePattern(9000, 5), got(sent.size());
  ASSERT_EQ(port.write(sent.data(), ULONG(sent.size())).status, STATUS_SUCCESS);
  ASSERT_EQ(port.read(got.data(), ULONG(got.size())).information, got.size());
  EXPECT_EQ(got, sent);
  port.close();
}

}  // namespace
