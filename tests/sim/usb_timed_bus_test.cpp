// Tests of the simulated USB bus: the timed bus. Bulk-in data moves in
// packets within (micro)frames, shared by the transfers queued on the pipe,
// and each completion reaches the driver as its frame ends.
#include "usb_client.h"

namespace {

using sim::usb::BusSpeed;
using usbfrag::Request;

constexpr int64_t kMicroframe = 1'250;  // 125 us
constexpr int64_t kFrame = 10'000;      // 1 ms

std::vector<uint8_t> numbered(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 7 + (i >> 9));
  return bytes;
}

class UsbTimedBusTest : public UsbBootedTest {
 protected:
  void startAt(BusSpeed speed) {
    start({.busSpeed = speed});
    // Frames start at multiples of their length: begin between two.
    int64_t frame = sim::usb::busTiming(speed).frame100ns;
    sim::advance(frame - sim::now() % frame + frame / 3);
    frameStart = sim::now() - sim::now() % frame + frame;  // the next frame
  }

  std::unique_ptr<Request> read(ULONG length) {
    auto r = std::make_unique<Request>(pdo, completionCounter, length);
    r->read(bulkIn);
    return r;
  }

  int64_t frameStart = 0;
};

TEST_F(UsbTimedBusTest, TheBusLimitsAreThoseOfTheWire) {
  EXPECT_DOUBLE_EQ(sim::usb::busTiming(BusSpeed::Full).bytesPerSecond(), 1'216'000.0);
  EXPECT_DOUBLE_EQ(sim::usb::busTiming(BusSpeed::High).bytesPerSecond(), 53'248'000.0);
  EXPECT_EQ(sim::usb::busTiming(BusSpeed::Untimed).bytesPerSecond(), 0.0);
}

TEST_F(UsbTimedBusTest, HighSpeedTransfersShareThirteenPacketsAMicroframeAndCompleteAtItsEnd) {
  startAt(BusSpeed::High);
  auto data = numbered(3 * 4096);
  adapter->sendBulkIn(data);
  auto first = read(4096), second = read(4096), third = read(4096);
  ASSERT_TRUE(third->wait());
  // 8 packets fill the first; the second gets the other 5 and its last 3 in
  // the next microframe, where the third gets 8 of the 10 left.
  EXPECT_EQ(first->completed100ns, frameStart + kMicroframe);
  EXPECT_EQ(second->completed100ns, frameStart + 2 * kMicroframe);
  EXPECT_EQ(third->completed100ns, frameStart + 2 * kMicroframe);
  std::vector<uint8_t> got;
  for (auto* r : {first.get(), second.get(), third.get()}) {
    std::vector<uint8_t> block = r->data();
    got.insert(got.end(), block.begin(), block.end());
  }
  EXPECT_EQ(got, data);
}

TEST_F(UsbTimedBusTest, AFullSpeedTransferSpansFramesAndOneResubmittedAtAFrameEndWaitsForTheNext) {
  startAt(BusSpeed::Full);
  adapter->sendBulkIn(numbered(2 * 4096));
  auto r = read(4096);
  ASSERT_TRUE(r->wait());
  // 64 packets at 19 a frame: done in the fourth frame.
  EXPECT_EQ(r->completed100ns, frameStart + 4 * kFrame);
  int64_t resubmitted = sim::now();
  r->read(bulkIn);
  ASSERT_TRUE(r->wait());
  EXPECT_EQ(r->completed100ns, resubmitted + 4 * kFrame);
}

TEST_F(UsbTimedBusTest, AShortPacketEndsATransferInTheNextFrame) {
  startAt(BusSpeed::High);
  auto r = read(4096);
  sim::advance(kMicroframe);  // nothing to send: the transfer stays queued
  EXPECT_FALSE(r->completed());
  int64_t sent = sim::now();
  adapter->sendBulkIn(numbered(700));  // one full packet and a short one
  ASSERT_TRUE(r->wait());
  int64_t nextFrame = (sent + kMicroframe - 1) / kMicroframe * kMicroframe;
  EXPECT_EQ(r->completed100ns, nextFrame + kMicroframe);
  EXPECT_EQ(r->data(), numbered(700));
}

TEST_F(UsbTimedBusTest, ATransferCancelledHalfFilledEndsCancelledAndTheNextTakesTheStreamOn) {
  startAt(BusSpeed::Full);
  auto data = numbered(2 * 4096);
  adapter->sendBulkIn(data);
  auto first = read(4096), second = read(4096);
  sim::advance(frameStart - sim::now() + 1);  // one frame of 19 packets into the first
  EXPECT_FALSE(first->completed());
  IoCancelIrp(first->irp);
  ASSERT_TRUE(first->wait());
  EXPECT_EQ(first->status, STATUS_CANCELLED);
  ASSERT_TRUE(second->wait());
  EXPECT_EQ(second->status, STATUS_SUCCESS);
  // The cancelled transfer's bytes left the device with it.
  std::vector<uint8_t> rest(data.begin() + 19 * 64, data.begin() + 19 * 64 + 4096);
  EXPECT_EQ(second->data(), rest);
}

}  // namespace
