// Tests: the shadow line state (the RTS to CTS loop-back, modem-status
// insertion into the receive stream, break and reception holds) and the
// receive ring with its single-character insertion rules.
#include "open_port_fixture.h"

namespace {

TEST_F(OpenPortTest, RtsControlRaisesCtsAndInsertsTheStatusIntoTheReceiveStream) {
  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL, 0).status, STATUS_SUCCESS);
  ASSERT_EQ(ringContent(), std::vector<uint8_t>{}) << "RTS was already off: no change to report";
  ASSERT_EQ(control(IOCTL_SERIAL_LSRMST_INSERT, UCHAR(0xFF)).status, STATUS_SUCCESS);
  ASSERT_EQ(setWaitMask(SERIAL_EV_CTS).wait().status, STATUS_SUCCESS);
  app::Request wait = waitOnMask();

  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL).status, STATUS_SUCCESS);
  EXPECT_EQ(wait.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(waitResult(wait), ULONG(SERIAL_EV_CTS));
  EXPECT_EQ(ringContent(), (std::vector<uint8_t>{0xFF, SERIAL_LSRMST_MST, 0x11}));
  EXPECT_EQ(c->rxPendingCount, 3u);
  EXPECT_TRUE(c->shadowRegisters.mcr & ShadowMcrRts);
  EXPECT_EQ(c->shadowRegisters.msr, ShadowMsrCts) << "the change bit is cleared once reviewed";

  // Dropping RTS again reports CTS changed, now low; nothing waits, so it is history.
  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(ringContent(), (std::vector<uint8_t>{0xFF, 3, 0x11, 0xFF, 3, 0x01}));
  EXPECT_EQ(c->historyMask, ULONG(SERIAL_EV_CTS));
}

TEST_F(OpenPortTest, BreakOffWithoutBreakOnChangesNothing) {
  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE).status, STATUS_SUCCESS);
  ShadowLineRegisters before = c->shadowRegisters;
  ULONG txHolding = c->txHolding;
  EXPECT_EQ(control(IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
  EXPECT_EQ(c->shadowRegisters.lcr, before.lcr);
  EXPECT_EQ(c->shadowRegisters.mcr, before.mcr);
  EXPECT_EQ(c->txHolding, txHolding);

  // With transmit toggle, a break raises RTS; ending it keeps RTS.
  EXPECT_EQ(control(IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
  EXPECT_EQ(c->shadowRegisters.lcr, ShadowLcrBreak);
  EXPECT_EQ(c->txHolding, TxHoldBreak);
  EXPECT_TRUE(c->shadowRegisters.mcr & ShadowMcrRts);
  EXPECT_EQ(control(IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
  EXPECT_EQ(c->shadowRegisters.lcr, 0);
  EXPECT_EQ(c->txHolding, 0u);
  EXPECT_TRUE(c->shadowRegisters.mcr & ShadowMcrRts);
}

// Transmit holds follow the far side's lines as the adapter reports them
// (flow_control_test.cpp): the shadow CTS, which only loops back the
// driver's own RTS, holds nothing.
TEST_F(OpenPortTest, HandshakesHoldReceptionFromTheShadowLinesAndTransmissionFromTheAdaptersLines) {
  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(c->txHolding, 0u) << "the adapter's CTS is up";

  // DSR sensitivity: the shadow DSR is never up, so inserted characters are dropped.
  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL | SERIAL_DSR_SENSITIVITY, SERIAL_RTS_CONTROL).status, STATUS_SUCCESS);
  EXPECT_EQ(c->rxHolding, RxHoldDsr);
  locked([&] { TzSerialRxPutChar(c, 'x'); });
  EXPECT_EQ(c->rxCount, 0u);

  // DTR handshake with the buffer past its XOFF mark drops DTR and holds reception.
  locked([&] { c->rxPendingCount = c->rxBufferSize - ULONG(c->handFlow.XoffLimit); });
  ASSERT_EQ(setHandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE).status, STATUS_SUCCESS);
  EXPECT_EQ(c->rxHolding, RxHoldDtr | RxHoldXoff);
  EXPECT_FALSE(c->shadowRegisters.mcr & ShadowMcrDtr);
  sim::runReady();
  EXPECT_EQ(adapter->model->bulkOutData(), std::vector<uint8_t>{0x13}) << "the XOFF went out";
  // Automatic receive flow turned off sends XON and ends its hold.
  ASSERT_EQ(setHandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL).status, STATUS_SUCCESS);
  EXPECT_EQ(c->rxHolding, RxHoldDtr);
  sim::runReady();
  EXPECT_EQ(adapter->model->bulkOutData(), (std::vector<uint8_t>{0x13, 0x11})) << "then the XON";
  EXPECT_FALSE(c->sendXonPending || c->sendXoffPending);
}

TEST_F(OpenPortTest, TheRingWrapsAtItsEndAndKeepsArrivalOrder) {
  std::vector<uint8_t> taken(8);
  locked([&] {
    // A write index at the ring's end behaves as 0.
    c->rxReadIndex = c->rxWriteIndex = c->rxRingSize;
    const UCHAR block[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(TzSerialRxRingPut(c, block, 5), 5u);
    EXPECT_EQ(c->rxWriteIndex, 5u);
    EXPECT_EQ(c->rxBuffer[0], 1);
    EXPECT_EQ(TzSerialRxRingGet(c, taken.data(), 8), 5u);

    // A block that straddles the end goes in two pieces and comes back whole.
    c->rxReadIndex = c->rxWriteIndex = c->rxRingSize - 2;
    c->rxCount = 0;
    EXPECT_EQ(TzSerialRxRingPut(c, block, 5), 5u);
    EXPECT_EQ(c->rxWriteIndex, 3u);
    EXPECT_EQ(TzSerialRxRingGet(c, taken.data(), 3), 3u);
    EXPECT_EQ(TzSerialRxRingGet(c, taken.data() + 3, 8), 2u);
    EXPECT_EQ(TzSerialRxRingGet(c, taken.data(), 8), 0u) << "empty";

    // A full ring takes only what fits.
    c->rxCount = c->rxRingSize - 2;
    EXPECT_EQ(TzSerialRxRingPut(c, block, 5), 2u);
    EXPECT_EQ(c->rxCount, c->rxRingSize);
    TzSerialRxRingReset(c);
  });
  EXPECT_EQ(std::vector<uint8_t>(taken.begin(), taken.begin() + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
}

TEST_F(OpenPortTest, AnInsertedCharacterRaisesRx80FullOnceAndOverrunsWhenFull) {
  ASSERT_EQ(setWaitMask(SERIAL_EV_RX80FULL).wait().status, STATUS_SUCCESS);
  app::Request wait = waitOnMask();
  locked([&] {
    c->rxCount = c->rxPendingCount = c->rxFullThreshold - 1;
    c->rxWriteIndex = c->rxCount;
    TzSerialRxPutChar(c, 'a');
  });
  EXPECT_EQ(wait.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(waitResult(wait), ULONG(SERIAL_EV_RX80FULL));
  locked([&] { TzSerialRxPutChar(c, 'b'); });
  EXPECT_EQ(c->historyMask, 0u) << "only the character that reaches the mark raises it";

  // Full: the character is dropped and counted; the error character replaces
  // the last byte stored.
  locked([&] {
    c->handFlow.FlowReplace |= SERIAL_ERROR_CHAR;
    c->specialChars.ErrorChar = '?';
    c->rxCount = c->rxPendingCount = c->rxBufferSize;
    c->rxWriteIndex = 0;
    TzSerialRxPutChar(c, 'c');
  });
  EXPECT_EQ(c->rxCount, c->rxBufferSize);
  EXPECT_EQ(c->perfStats.BufferOverrunErrorCount, 1u);
  EXPECT_EQ(c->errorWord, ULONG(SERIAL_ERROR_QUEUEOVERRUN));
  EXPECT_EQ(c->rxBuffer[c->rxRingSize - 1], '?');
  locked([&] {
    c->handFlow.FlowReplace &= ~ULONG(SERIAL_ERROR_CHAR);
    TzSerialRxRingReset(c);
    c->rxPendingCount = 0;
    c->errorWord = 0;
  });
}

}  // namespace
