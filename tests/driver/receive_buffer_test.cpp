// Tests: the receive buffer as an application sees it. Blocks from the
// adapter fill the ring or the read being filled; a full ring counts whole
// blocks as overrun; the receive events fire once per block; purge and the
// error settings act on the ring as they should.
#include "receive_fixture.h"

namespace {

constexpr ULONG kRing = TzSerialRxBufferSize;

TEST_F(ReceiveTest, AFullRingCountsTheWholeBlockAsOverrun) {
  receive(kRing - 30);
  receive(20);  // fits exactly up to 10 short of full: no overrun
  EXPECT_EQ(stats().BufferOverrunErrorCount, 0u);

  receive(10);  // fills the ring exactly: counted, although nothing was dropped
  EXPECT_EQ(c->rxCount, kRing);
  EXPECT_EQ(stats().BufferOverrunErrorCount, 10u);
  EXPECT_EQ(commStatus().Errors, ULONG(SERIAL_ERROR_QUEUEOVERRUN));

  // Read 10 out to leave 409590, then a 20-byte block: half is stored,
  // both counters grow by the whole block.
  app::Request first = read(10);
  ASSERT_EQ(first.wait().status, STATUS_SUCCESS);
  SERIALPERF_STATS before = stats();
  receive(20);
  SERIALPERF_STATS after = stats();
  EXPECT_EQ(after.ReceivedCount - before.ReceivedCount, 20u);
  EXPECT_EQ(after.BufferOverrunErrorCount - before.BufferOverrunErrorCount, 20u);
  SERIAL_STATUS status = commStatus();
  EXPECT_EQ(status.Errors, ULONG(SERIAL_ERROR_QUEUEOVERRUN));
  EXPECT_EQ(status.AmountInInQueue, kRing);
  EXPECT_EQ(c->rxPendingCount, kRing);

  // What the ring holds is the stream up to the first 10 bytes of that block.
  std::vector<uint8_t> ring = ringContent();
  ASSERT_EQ(ring.size(), kRing);
  EXPECT_EQ(ring, streamBytes(10, kRing));
}

TEST_F(ReceiveTest, TheWriteIndexAtTheRingsEndMeansItsStart) {
  receive(kRing);
  app::Request all = read(kRing);
  ASSERT_EQ(all.wait().status, STATUS_SUCCESS);
  ASSERT_EQ(all.data(), streamBytes(0, kRing));
  EXPECT_EQ(c->rxWriteIndex, kRing);
  EXPECT_EQ(c->rxReadIndex, kRing);

  receive(5);
  EXPECT_EQ(c->rxWriteIndex, 5u);
  EXPECT_EQ(std::vector<uint8_t>(c->rxBuffer, c->rxBuffer + 5), streamBytes(kRing, 5));
  app::Request next = read(5);
  EXPECT_EQ(next.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(next.data(), streamBytes(kRing, 5));
}

TEST_F(ReceiveTest, AReadBeingFilledTakesWhatItNeedsAndTheRestStaysInTheRing) {
  app::Request pending = read(10);
  ASSERT_FALSE(pending.done());
  EXPECT_EQ(c->readTargetBase, static_cast<PUCHAR>(pending.irp()->AssociatedIrp.SystemBuffer));

  receive(25);
  app::Result result = pending.wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 10u);
  EXPECT_EQ(pending.data(), streamBytes(0, 10));
  EXPECT_EQ(c->rxCount, 15u);
  EXPECT_EQ(c->rxPendingCount, 15u);
  EXPECT_EQ(c->readTargetBase, c->rxBuffer);
  EXPECT_EQ(ringContent(), streamBytes(10, 15));
  EXPECT_EQ(stats().ReceivedCount, 25u);
}

TEST_F(ReceiveTest, Rx80FullFiresAtTheMarkAndForEveryWaitWhileAbove) {
  receive(332799);
  ASSERT_EQ(setWaitMask(SERIAL_EV_RX80FULL).wait().status, STATUS_SUCCESS);
  app::Request wait = waitOnMask();
  EXPECT_FALSE(wait.done()) << "one byte short of the mark";

  receive(1);
  ASSERT_TRUE(wait.done());
  EXPECT_EQ(waitResult(wait), ULONG(SERIAL_EV_RX80FULL));

  app::Request again = waitOnMask();
  EXPECT_FALSE(again.done());
  receive(1);
  ASSERT_TRUE(again.done()) << "the ring is still above the mark";
  EXPECT_EQ(waitResult(again), ULONG(SERIAL_EV_RX80FULL));

  // Read it down below the mark: the next block does not fire.
  ASSERT_EQ(read(100000).wait().status, STATUS_SUCCESS);
  app::Request below = waitOnMask();
  receive(1);
  EXPECT_FALSE(below.done());
  EXPECT_TRUE(below.cancel());
  EXPECT_EQ(below.wait().status, STATUS_CANCELLED);
}

TEST_F(ReceiveTest, RxFlagFiresOncePerBlockAndRxCharForEveryBlock) {
  ASSERT_EQ(setSpecialChars({.EventChar = 'x'}).status, STATUS_SUCCESS);
  ASSERT_EQ(setWaitMask(SERIAL_EV_RXFLAG).wait().status, STATUS_SUCCESS);

  app::Request plain = waitOnMask();
  receive(std::vector<uint8_t>{'a', 'b', 'c'});
  EXPECT_FALSE(plain.done()) << "no event character in the block";

  receive(std::vector<uint8_t>{'x', 'y', 'x', 'x'});
  ASSERT_TRUE(plain.done());
  EXPECT_EQ(waitResult(plain), ULONG(SERIAL_EV_RXFLAG));
  app::Request next = waitOnMask();
  EXPECT_FALSE(next.done()) << "three matches in one block are one event";

  ASSERT_EQ(setWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG).wait().status, STATUS_SUCCESS);
  EXPECT_EQ(waitResult(next), 0u) << "released by the new mask";
  app::Request both = waitOnMask();
  receive(std::vector<uint8_t>{'q', 'x'});
  ASSERT_TRUE(both.done());
  EXPECT_EQ(waitResult(both), ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG));
  EXPECT_EQ(c->historyMask, 0u);
  EXPECT_EQ(ringContent().size(), 9u) << "events never take bytes";
}

TEST_F(ReceiveTest, PurgeRxClearLeavesAReadBeingFilledAlone) {
  receive(7);
  ULONG purge = SERIAL_PURGE_RXCLEAR;
  ASSERT_EQ(control(IOCTL_SERIAL_PURGE, purge).status, STATUS_SUCCESS);
  EXPECT_EQ(commStatus().AmountInInQueue, 0u) << "no read: the ring is emptied";
  sent = 7;

  app::Request pending = read(10);
  receive(4);
  ASSERT_EQ(control(IOCTL_SERIAL_PURGE, purge).status, STATUS_SUCCESS);
  EXPECT_FALSE(pending.done());
  receive(6);
  app::Result result = pending.wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(pending.data(), streamBytes(7, 10)) << "the purge took nothing from the read";
}

TEST_F(ReceiveTest, AnOverrunWithTheErrorCharacterMarksTheLastStoredByte) {
  ASSERT_EQ(setSpecialChars({.ErrorChar = '?'}).status, STATUS_SUCCESS);
  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR).status, STATUS_SUCCESS);

  receive(kRing - 5);
  receive(std::vector<uint8_t>(20, 'z'));
  std::vector<uint8_t> ring = ringContent();
  ASSERT_EQ(ring.size(), kRing);
  EXPECT_EQ(ring[kRing - 6], streamByte(kRing - 6));
  EXPECT_EQ(std::vector<uint8_t>(ring.end() - 5, ring.end() - 1), std::vector<uint8_t>(4, 'z'));
  EXPECT_EQ(ring.back(), '?');
}

TEST_F(ReceiveTest, AnOverrunUnderErrorAbortRefusesControlsUntilTheErrorIsRead) {
  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL).status, STATUS_SUCCESS);
  receive(kRing);
  ULONG rate = 0;
  EXPECT_EQ(port.ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &rate, sizeof rate).status, STATUS_CANCELLED);
  EXPECT_EQ(commStatus().Errors, ULONG(SERIAL_ERROR_QUEUEOVERRUN));
  EXPECT_EQ(port.ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &rate, sizeof rate).status, STATUS_SUCCESS);

  // The bytes that did fit are still there to read.
  app::Request all = read(kRing);
  EXPECT_EQ(all.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(all.data(), streamBytes(0, kRing));
}

TEST_F(ReceiveTest, InsertedModemStatusGoesStraightIntoTheReadBeingFilled) {
  UCHAR escape = 0xFF;
  ASSERT_EQ(port.ioctl(IOCTL_SERIAL_LSRMST_INSERT, &escape, 1, nullptr, 0).status, STATUS_SUCCESS);
  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL, 0).status, STATUS_SUCCESS);
  sim::runReady();
  locked([&] {
    TzSerialRxRingReset(c);
    c->rxPendingCount = 0;
  });

  app::Request pending = read(2);
  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL).status, STATUS_SUCCESS);
  app::Result result = pending.wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(pending.data(), (std::vector<uint8_t>{0xFF, SERIAL_LSRMST_MST}));
  EXPECT_EQ(ringContent(), std::vector<uint8_t>{0x11}) << "the read was full: the status byte waits in the ring";
  EXPECT_EQ(c->rxPendingCount, 1u);
}

}  // namespace
