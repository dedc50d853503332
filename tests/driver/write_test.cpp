// Tests: write requests and their bulk-out transfers. How a block is cut into
// transfers (first chunk cap, later chunks, the zero-length packet), short
// acceptance, time-outs on the virtual clock, cancellation before and after
// the start, SERIAL_EV_TXEMPTY and charsQueued.
#include "open_port_fixture.h"

#include "driver/core/globals.h"
#include "driver/usb/pipe_control.h"

namespace {

constexpr uint8_t kBulkOut = 0x02;

class WriteTest : public OpenPortTest {
 protected:
  // The lengths offered to the bus on bulk-out, in order.
  std::vector<ULONG> bulkOutLengths() {
    std::vector<ULONG> lengths;
    for (const auto& urb : adapter->model->urbs())
      if (urb.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && urb.endpoint == kBulkOut)
        lengths.push_back(urb.requestedLength);
    return lengths;
  }
  app::Result write(size_t length) { return port.writeAsync(bytes(length)).wait(); }
  static std::vector<uint8_t> bytes(size_t length) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) data[i] = uint8_t(i * 7);
    return data;
  }
  void setWriteTimeouts(ULONG multiplier, ULONG constant) {
    SERIAL_TIMEOUTS timeouts = {};
    timeouts.WriteTotalTimeoutMultiplier = multiplier;
    timeouts.WriteTotalTimeoutConstant = constant;
    ASSERT_EQ(control(IOCTL_SERIAL_SET_TIMEOUTS, timeouts).status, STATUS_SUCCESS);
  }
  SERIALPERF_STATS stats() {
    SERIALPERF_STATS stats = {};
    EXPECT_EQ(port.ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats).status, STATUS_SUCCESS);
    return stats;
  }
};

TEST_F(WriteTest, APacketMultipleEndsWithAZeroLengthPacketUnlessTheSettingForbidsIt) {
  app::Result result = write(128);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 128u);
  EXPECT_EQ(bulkOutLengths(), (std::vector<ULONG>{128, 0}));
  adapter->model->clearRecords();
  EXPECT_EQ(write(100).status, STATUS_SUCCESS);
  EXPECT_EQ(bulkOutLengths(), (std::vector<ULONG>{100}));
  adapter->model->clearRecords();
  TzSerialGlobals.staticSetting |= StaticSettingNoZeroLengthPacket;
  EXPECT_EQ(write(128).status, STATUS_SUCCESS);
  EXPECT_EQ(bulkOutLengths(), (std::vector<ULONG>{128}));
  EXPECT_EQ(stats().TransmittedCount, 356u);
  EXPECT_EQ(adapter->model->bulkOutData().size(), 356u);
}

TEST_F(WriteTest, WithTheFirstTransferCappedABlockGoesOutInMaxTransferSizePieces) {
  TzSerialGlobals.maxWriteTransferSize = 4096;
  EXPECT_EQ(write(10000).status, STATUS_SUCCESS);
  EXPECT_EQ(bulkOutLengths(), (std::vector<ULONG>{4096, 4096, 1808}));
  EXPECT_EQ(adapter->model->bulkOutData(), bytes(10000)) << "in order, from the request's own buffer";
  adapter->model->clearRecords();
  EXPECT_EQ(write(8192).status, STATUS_SUCCESS);
  EXPECT_EQ(bulkOutLengths(), (std::vector<ULONG>{4096, 4096, 0}));
}

TEST_F(WriteTest, AZeroLengthWriteCompletesAtOnceWithoutTheBus) {
  EXPECT_EQ(write(0).status, STATUS_SUCCESS);
  EXPECT_TRUE(bulkOutLengths().empty());
}

// WM 10, WC 100, 50 bytes: 600 ms. The device never takes them.
TEST_F(WriteTest, AWriteTheDeviceNeverTakesTimesOutWithNothingSent) {
  setWriteTimeouts(10, 100);
  adapter->model->holdBulkOut(true);
  ULONG before = c->charsQueued;
  int64_t started = sim::now();
  app::Request request = port.writeAsync(bytes(50));
  sim::advance(590 * sim::kMs);
  EXPECT_FALSE(request.done());
  app::Result result = request.wait();
  EXPECT_EQ(result.status, STATUS_TIMEOUT);
  EXPECT_EQ(result.information, 0u);
  EXPECT_GE(sim::now() - started, 600 * sim::kMs);
  EXPECT_LT(sim::now() - started, 600 * sim::kMs + KeQueryTimeIncrement());
  EXPECT_EQ(c->charsQueued, before);
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkOut), 0u) << "its transfer was cancelled";
}

TEST_F(WriteTest, WithoutWriteTimeoutsAWriteWaitsForTheDevice) {
  adapter->model->holdBulkOut(true);
  app::Request request = port.writeAsync(bytes(20));
  sim::advance(60 * sim::kSecond);
  EXPECT_FALSE(request.done());
  adapter->model->holdBulkOut(false);
  EXPECT_EQ(request.wait().status, STATUS_SUCCESS);
}

TEST_F(WriteTest, ATimeoutWithAHugeProductSaturatesInsteadOfWrapping) {
  setWriteTimeouts(0xFFFFFFFF, 0xFFFFFFFF);
  adapter->model->holdBulkOut(true);
  app::Request request = port.writeAsync(bytes(4096));
  sim::advance(3600 * sim::kSecond);
  EXPECT_FALSE(request.done()) << "a wrapped due time would have fired by now";
  EXPECT_TRUE(request.cancel());
  EXPECT_EQ(request.wait().status, STATUS_CANCELLED);
}

TEST_F(WriteTest, AWriteCancelledAtOnceEndsCancelledWithNothingSent) {
  adapter->model->holdBulkOut(true);
  app::Request request = port.writeAsync(bytes(10));
  EXPECT_TRUE(request.cancel());
  app::Result result = request.wait();
  EXPECT_EQ(result.status, STATUS_CANCELLED);
  EXPECT_EQ(result.information, 0u);
  adapter->model->holdBulkOut(false);
  sim::runReady();
  EXPECT_TRUE(adapter->model->bulkOutData().empty());
  EXPECT_EQ(c->charsQueued, 0u);
}

// Information is what the bus took, however the write ended: a short
// acceptance, a failure after the first piece went, a cancel in between.
TEST_F(WriteTest, AWriteReportsTheBytesTheBusTookHoweverItEnds) {
  adapter->model->acceptBulkOutShort(30);
  app::Result result = write(100);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 30u) << "the rest of that piece was not taken";
  EXPECT_EQ(stats().TransmittedCount, 30u);
  EXPECT_EQ(adapter->model->bulkOutData(), std::vector<uint8_t>(bytes(30)));

  // The first piece goes, then the endpoint stalls.
  TzSerialGlobals.maxWriteTransferSize = 4096;
  adapter->model->setTap([&](const sim::usb::UrbRecord& urb, bool completed) {
    if (completed && urb.endpoint == kBulkOut && urb.state == sim::usb::UrbRecord::State::Completed)
      adapter->model->haltEndpoint(kBulkOut);
  });
  result = write(10000);
  adapter->model->setTap({});
  EXPECT_FALSE(NT_SUCCESS(result.status));
  EXPECT_EQ(result.information, 4096u);
  EXPECT_EQ(stats().TransmittedCount, 30u + 4096u);

  adapter->model->clearFaults();
  TzSerialResetPipes(c, ResetBulkOut);
  adapter->model->setTap([&](const sim::usb::UrbRecord& urb, bool completed) {
    if (completed && urb.endpoint == kBulkOut && urb.state == sim::usb::UrbRecord::State::Completed)
      adapter->model->holdBulkOut(true);
  });
  app::Request cancelled = port.writeAsync(bytes(10000));
  sim::runReady();
  adapter->model->setTap({});
  EXPECT_TRUE(cancelled.cancel());
  result = cancelled.wait();
  EXPECT_EQ(result.status, STATUS_CANCELLED);
  EXPECT_EQ(result.information, 4096u);

  app::Request second = port.writeAsync(bytes(10));
  sim::runReady();
  EXPECT_TRUE(second.cancel());
  result = second.wait();
  EXPECT_EQ(result.status, STATUS_CANCELLED);
  EXPECT_EQ(result.information, 0u);
}

// Writes use the pipe one at a time in the order accepted, and a write's
// total time-out starts only when the writes before it have ended: here
// each gets its full 100 ms on a device that takes nothing.
TEST_F(WriteTest, AQueuedWritesTimeoutStartsWhenTheWritesBeforeItHaveEnded) {
  setWriteTimeouts(0, 100);
  adapter->model->holdBulkOut(true);
  int64_t start = sim::now();
  app::Request first = port.writeAsync(bytes(10));
  app::Request second = port.writeAsync(bytes(10));
  sim::runReady();
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkOut), 1u) << "one write on the bus at a time";
  EXPECT_EQ(first.wait().status, STATUS_TIMEOUT);
  int64_t firstEnded = sim::now();
  EXPECT_LT(firstEnded - start, 100 * sim::kMs + KeQueryTimeIncrement());
  sim::advance(50 * sim::kMs);
  EXPECT_FALSE(second.done()) << "its budget was not spent waiting behind the first";
  EXPECT_EQ(second.wait().status, STATUS_TIMEOUT);
  EXPECT_GE(sim::now() - firstEnded, 100 * sim::kMs);
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkOut), 0u);
}

// A purge of the transmit side ends every write request: the one on the bus,
// those waiting for their turn and the write queue's flush. So does an
// overrun under SERIAL_ERROR_ABORT.
TEST_F(WriteTest, APurgeOfTheTransmitSideEndsEveryWriteInFlight) {
  adapter->model->holdBulkOut(true);
  app::Request onBus = port.writeAsync(bytes(10));
  app::Request waiting = port.writeAsync(bytes(20));
  app::Request flushed = port.flushAsync();
  sim::runReady();
  ULONG mask = SERIAL_PURGE_TXABORT;
  ASSERT_EQ(port.ioctl(IOCTL_SERIAL_PURGE, &mask, sizeof mask, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(onBus.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(waiting.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(flushed.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(c->charsQueued, 0u);
  adapter->model->holdBulkOut(false);
  sim::runReady();
  EXPECT_TRUE(adapter->model->bulkOutData().empty());
  EXPECT_EQ(write(5).status, STATUS_SUCCESS) << "the port writes again";

  SERIAL_HANDFLOW abort = {SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL, 0, 0};
  ASSERT_EQ(control(IOCTL_SERIAL_SET_HANDFLOW, abort).status, STATUS_SUCCESS);
  adapter->model->holdBulkOut(true);
  app::Request stuck = port.writeAsync(bytes(10));
  sim::runReady();
  adapter->model->sendBulkIn(std::vector<uint8_t>(c->rxBufferSize, 'x'));
  EXPECT_EQ(stuck.wait().status, STATUS_CANCELLED) << "the overrun aborts the writes too";
}

TEST_F(WriteTest, EachFinishedWriteRaisesTransmitEmpty) {
  ASSERT_EQ(setWaitMask(SERIAL_EV_TXEMPTY).wait().status, STATUS_SUCCESS);
  adapter->model->holdBulkOut(true);
  app::Request first = port.writeAsync(bytes(10));
  app::Request second = port.writeAsync(bytes(10));
  sim::runReady();
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkOut), 1u) << "the second waits for its turn";
  app::Request wait = waitOnMask();
  adapter->model->holdBulkOut(false);
  EXPECT_EQ(first.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(wait.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(waitResult(wait), ULONG(SERIAL_EV_TXEMPTY));
  EXPECT_EQ(second.wait().status, STATUS_SUCCESS);
  // The second one's event waits in the history for the next wait.
  app::Request next = waitOnMask();
  EXPECT_EQ(next.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(waitResult(next), ULONG(SERIAL_EV_TXEMPTY));
}

TEST_F(WriteTest, AFailedTransferEndsTheWriteWithItsStatus) {
  adapter->model->haltEndpoint(kBulkOut);
  app::Result result = write(10);
  EXPECT_FALSE(NT_SUCCESS(result.status));
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(stats().TransmittedCount, 0u);
  EXPECT_EQ(c->charsQueued, 0u);
}

TEST_F(WriteTest, CancelWritesStopsStartedAndUnstartedWritesAndLeavesNothing) {
  adapter->model->holdBulkOut(true);
  app::Request started = port.writeAsync(bytes(10));
  sim::runReady();
  app::Request unstarted = port.writeAsync(bytes(10));  // its start DPC has not run yet
  TzSerialCancelWrites(c);
  EXPECT_EQ(started.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(unstarted.wait().status, STATUS_CANCELLED);
  adapter->model->holdBulkOut(false);
  sim::runReady();
  EXPECT_TRUE(adapter->model->bulkOutData().empty());
  EXPECT_TRUE(KeReadStateEvent(&c->txIdle));
  EXPECT_EQ(c->charsQueued, 0u);
}

TEST_F(WriteTest, AWriteThatCannotGetItsContextIsRefused) {
  sim::faults::arm(1);
  app::Result result = write(10);
  sim::faults::disarm();
  EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(c->charsQueued, 0u);
}

}  // namespace
