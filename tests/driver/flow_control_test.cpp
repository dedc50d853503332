// Tests: flow control on a "Modem"-class adapter, as the bus sees it. Transmit
// holds (SET_XOFF, the CTS, DSR and DCD handshakes on the lines the adapter
// reports, an XOFF from the far side under automatic transmit flow control)
// keep writes, queued sends and the immediate character off the bulk-out
// pipe, recall the write on the bus, and let everything go in order once
// released; write time-outs run on while held. Receive flow control holds
// the far side back as the ring fills and lets it go once a read drains it.
#include "open_port_fixture.h"

#include "driver/serial/control_lines.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr UCHAR kXon = 0x11;
constexpr UCHAR kXoff = 0x13;
constexpr uint16_t kDsr = 0x0002;      // SERIAL_STATE bTxCarrier: DSR (and so CTS)
constexpr uint16_t kCarrier = 0x0001;  // SERIAL_STATE bRxCarrier: DCD

class FlowControlTest : public OpenPortTest {
 protected:
  sim::pnp::PhysicalDeviceOptions pdoOptions() override { return modemClass(); }
  Bytes bulkOut() { return adapter->model->bulkOutData(); }
  app::Request write(const Bytes& data) { return port.writeAsync(data); }
  app::Request xoffCounter(UCHAR xoffChar) {
    SERIAL_XOFF_COUNTER request = {0, 5, xoffChar};
    return port.ioctlAsync(IOCTL_SERIAL_XOFF_COUNTER, {reinterpret_cast<const uint8_t*>(&request), sizeof request},
                           0);
  }
  void lines(uint16_t state) {
    adapter->model->sendSerialState(state);
    sim::runReady();
  }
};

TEST_F(FlowControlTest, SetXoffHoldsWritesUntilSetXonAndTheyGoInOrder) {
  ASSERT_EQ(control(IOCTL_SERIAL_SET_XOFF).status, STATUS_SUCCESS);
  app::Request first = write({'a', 'b'});
  app::Request second = write({'c'});
  sim::advance(sim::kSecond);
  EXPECT_TRUE(bulkOut().empty()) << "nothing goes while held";
  app::Request immediate = immediateChar('!');
  EXPECT_EQ(immediate.wait().status, STATUS_SUCCESS) << "the immediate character passes an XOFF hold";

  ASSERT_EQ(control(IOCTL_SERIAL_SET_XON).status, STATUS_SUCCESS);
  EXPECT_EQ(first.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(second.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(bulkOut(), (Bytes{'!', 'a', 'b', 'c'}));
}

TEST_F(FlowControlTest, WriteTimeoutsRunWhileHeld) {
  SERIAL_TIMEOUTS timeouts = {};
  timeouts.WriteTotalTimeoutConstant = 100;
  ASSERT_EQ(control(IOCTL_SERIAL_SET_TIMEOUTS, timeouts).status, STATUS_SUCCESS);
  ASSERT_EQ(control(IOCTL_SERIAL_SET_XOFF).status, STATUS_SUCCESS);
  int64_t start = sim::now();
  app::Request held = write({'a'});
  app::Result result = held.wait();
  EXPECT_EQ(result.status, STATUS_TIMEOUT);
  EXPECT_EQ(result.information, 0u);
  EXPECT_LT(sim::now() - start, 100 * sim::kMs + KeQueryTimeIncrement());
  EXPECT_TRUE(bulkOut().empty());
  EXPECT_EQ(c->charsQueued, 0u);
}

// The device NAKs while the write is on the bus; the hold takes its transfer
// back, and nothing of it goes when the device is ready until the release.
TEST_F(FlowControlTest, AHoldRecallsTheWriteOnTheBusAndTheRestGoesAfterTheRelease) {
  adapter->model->holdBulkOut(true);
  Bytes data = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  app::Request pending = write(data);
  sim::runReady();
  ASSERT_EQ(adapter->model->pendingTransfers(0x02), 1u);
  ASSERT_EQ(control(IOCTL_SERIAL_SET_XOFF).status, STATUS_SUCCESS);
  EXPECT_EQ(adapter->model->pendingTransfers(0x02), 0u) << "recalled";
  adapter->model->holdBulkOut(false);
  sim::advance(sim::kSecond);
  EXPECT_TRUE(bulkOut().empty());
  EXPECT_FALSE(pending.done());

  ASSERT_EQ(control(IOCTL_SERIAL_SET_XON).status, STATUS_SUCCESS);
  app::Result result = pending.wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, data.size());
  EXPECT_EQ(bulkOut(), data) << "once, whole";
}

TEST_F(FlowControlTest, CtsDsrAndDcdHandshakesFollowTheLinesTheAdapterReports) {
  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL).status, STATUS_SUCCESS);
  EXPECT_EQ(c->txHolding, 0u) << "CTS is up from the open";
  lines(0);  // DSR, and with it CTS, drops
  EXPECT_EQ(c->txHolding, TxHoldCts);
  app::Request pending = write({'w'});
  app::Request counter = xoffCounter('X');
  app::Request immediate = immediateChar('!');
  sim::advance(sim::kSecond);
  EXPECT_TRUE(bulkOut().empty()) << "no write, XOFF-counter character or immediate character while CTS is down";
  lines(kDsr);
  EXPECT_EQ(pending.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(immediate.wait().status, STATUS_SUCCESS);
  sim::runReady();
  Bytes sent = bulkOut();
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(sent, (Bytes{'!', 'X', 'w'}));
  EXPECT_TRUE(counter.cancel());
  EXPECT_EQ(counter.wait().status, STATUS_CANCELLED);

  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL | SERIAL_DCD_HANDSHAKE | SERIAL_DSR_HANDSHAKE, SERIAL_RTS_CONTROL).status,
            STATUS_SUCCESS);
  EXPECT_EQ(c->txHolding, TxHoldDcd) << "no carrier reported yet";
  lines(kDsr | kCarrier);
  EXPECT_EQ(c->txHolding, 0u);
  lines(kCarrier);
  EXPECT_EQ(c->txHolding, TxHoldDsr);
  app::Request last = write({'z'});
  sim::advance(sim::kSecond);
  EXPECT_FALSE(last.done());
  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL).status, STATUS_SUCCESS);
  EXPECT_EQ(last.wait().status, STATUS_SUCCESS) << "handshake off: the hold goes with it";
}

TEST_F(FlowControlTest, AnXoffFromTheFarSideHoldsTransmissionUnderAutomaticTransmitFlowControl) {
  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT).status, STATUS_SUCCESS);
  adapter->model->sendBulkIn({'x', kXoff, 'y'});
  sim::runReady();
  EXPECT_EQ(c->txHolding, TxHoldXoff);
  app::Request pending = write({'w'});
  sim::advance(sim::kSecond);
  EXPECT_TRUE(bulkOut().empty());

  adapter->model->sendBulkIn({kXon, 'z'});
  EXPECT_EQ(pending.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(bulkOut(), Bytes{'w'});
  app::Request read = port.readAsync(3);
  EXPECT_EQ(read.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(read.data(), (Bytes{'x', 'y', 'z'})) << "the flow characters are not data";
  SERIALPERF_STATS stats = {};
  ASSERT_EQ(port.ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats).status, STATUS_SUCCESS);
  EXPECT_EQ(stats.ReceivedCount, 5u);
}

// XoffLimit leaves room for 100 bytes; XonLimit is 10. The far side is held
// back by DTR, RTS and XOFF as the 100th arrives (the XOFF goes even while
// SET_XOFF holds transmission), and let go once a read leaves 10 or fewer.
TEST_F(FlowControlTest, ReceiveFlowControlHoldsTheFarSideWhenFullAndLetsItGoOnceDrained) {
  SERIAL_HANDFLOW flow = {SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_RECEIVE, 10,
                          LONG(c->rxBufferSize) - 100};
  ASSERT_EQ(control(IOCTL_SERIAL_SET_HANDFLOW, flow).status, STATUS_SUCCESS);
  ASSERT_EQ(control(IOCTL_SERIAL_SET_XOFF).status, STATUS_SUCCESS);
  adapter->model->sendBulkIn(Bytes(99, 'a'));
  sim::runReady();
  EXPECT_EQ(c->rxHolding, 0u);
  adapter->model->sendBulkIn({'b'});
  sim::runReady();
  EXPECT_EQ(c->rxHolding, RxHoldDtr | RxHoldRts | RxHoldXoff);
  EXPECT_EQ(c->shadowRegisters.mcr & (ShadowMcrDtr | ShadowMcrRts), 0);
  EXPECT_EQ(bulkOut(), Bytes{kXoff});

  app::Request read = port.readAsync(89);
  ASSERT_EQ(read.wait().status, STATUS_SUCCESS);
  sim::runReady();
  EXPECT_EQ(c->rxHolding, RxHoldDtr | RxHoldRts | RxHoldXoff) << "11 bytes left: above XonLimit";
  read = port.readAsync(1);
  ASSERT_EQ(read.wait().status, STATUS_SUCCESS);
  sim::runReady();
  EXPECT_EQ(c->rxHolding, 0u);
  EXPECT_EQ(c->shadowRegisters.mcr & (ShadowMcrDtr | ShadowMcrRts), ShadowMcrDtr | ShadowMcrRts);
  EXPECT_EQ(bulkOut(), (Bytes{kXoff, kXon}));
}

// Under the DTR and RTS handshakes the far side sees the lines drop as the
// ring fills past the XOFF mark and rise once reads drain it to XonLimit: the
// adapter is told, not only the port's own line image. It used to keep both
// lines up, so the far side never held back.
TEST_F(FlowControlTest, TheHandshakeLinesDropOnTheAdapterWhenFullAndRiseOnceDrained) {
  constexpr uint16_t kDtr = 0x1, kRts = 0x2;
  SERIAL_HANDFLOW flow = {SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 10, LONG(c->rxBufferSize) - 100};
  ASSERT_EQ(control(IOCTL_SERIAL_SET_HANDFLOW, flow).status, STATUS_SUCCESS);
  EXPECT_EQ(adapter->model->controlLineState(), kDtr | kRts);
  adapter->model->sendBulkIn(Bytes(100, 'a'));
  sim::runReady();
  EXPECT_EQ(adapter->model->controlLineState(), 0) << "both lines down on the wire";
  EXPECT_EQ(TzSerialControlLines(c), kDtr | kRts) << "GET_DTRRTS keeps what was set";

  app::Request read = port.readAsync(89);
  ASSERT_EQ(read.wait().status, STATUS_SUCCESS);
  sim::runReady();
  EXPECT_EQ(adapter->model->controlLineState(), 0) << "11 bytes left: above XonLimit";
  read = port.readAsync(1);
  ASSERT_EQ(read.wait().status, STATUS_SUCCESS);
  sim::runReady();
  EXPECT_EQ(adapter->model->controlLineState(), kDtr | kRts);

  // A hold still on at close goes with it: the close drops both anyway, and
  // the next open raises them.
  adapter->model->sendBulkIn(Bytes(100, 'b'));
  sim::runReady();
  EXPECT_EQ(adapter->model->controlLineState(), 0);
  port.close();
  EXPECT_EQ(adapter->model->controlLineState(), 0);
}

}  // namespace
