// Tests: received blocks keep their order. The adapter fills the eight bulk-in
// transfers in the order they were sent, but each completion reaches the
// driver after its own random delay, so completions arrive reversed (and, on
// the Concurrent kernel, at the same time on different threads); every byte
// must still be read back in order.
#include "receive_fixture.h"

#include <chrono>
#include <cstdio>

namespace {

constexpr uint8_t kBulkIn = 0x82;
constexpr ULONG kReadSize = 64 * 1024;
constexpr size_t kInFlight = 256 * 1024;  // well below the ring: never an overrun

class ReceiveOrderTest : public ReceiveTest {
 protected:
  sim::usb::AdapterOptions adapterOptions() override {
    sim::usb::AdapterOptions options;
    options.bulkInCompletionDelay100ns = 2 * sim::kMs;
    return options;
  }

  // Streams total bytes through the port, topping the adapter up so that at
  // most kInFlight bytes are on their way, and reads them back in kReadSize
  // reads, checking each. Returns the seconds it took.
  double streamAndCheck(uint64_t total) {
    auto begin = std::chrono::steady_clock::now();
    uint64_t readBack = 0;
    std::vector<uint8_t> expected;
    while (readBack < total && !HasFailure()) {
      if (sent - readBack < kInFlight && sent < total) {
        size_t chunk = size_t(std::min<uint64_t>(kInFlight - (sent - readBack), total - sent));
        adapter->model->sendBulkIn(streamBytes(sent, chunk));
        sent += chunk;
      }
      app::Request request = read(kReadSize);
      app::Result result = request.wait(10 * sim::kSecond);
      EXPECT_EQ(result.status, STATUS_SUCCESS) << "at byte " << readBack;
      EXPECT_EQ(result.information, kReadSize);
      expected = streamBytes(readBack, kReadSize);
      if (request.data() != expected) {
        ADD_FAILURE() << "bytes out of order in the read at " << readBack;
        break;
      }
      readBack += kReadSize;
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  }
};

TEST_F(ReceiveOrderTest, BlocksCompletedOutOfOrderAreReadInTheOrderSent) {
  streamAndCheck(4 << 20);
  EXPECT_EQ(stats().BufferOverrunErrorCount, 0u);

  // The completions really did reach the driver out of submission order.
  std::vector<sim::usb::UrbRecord> transfers;
  for (const auto& urb : adapter->model->urbs())
    if (urb.endpoint == kBulkIn && urb.state == sim::usb::UrbRecord::State::Completed) transfers.push_back(urb);
  size_t reversed = 0;
  for (size_t i = 1; i < transfers.size(); ++i)
    if (transfers[i].finished100ns < transfers[i - 1].finished100ns) ++reversed;
  EXPECT_GT(reversed, transfers.size() / 10) << "of " << transfers.size() << " transfers";
}

class ReceiveOrderStressTest : public ReceiveOrderTest {
 protected:
  void SetUp() override { openOnRealThreads(); }
  sim::usb::AdapterOptions adapterOptions() override {
    sim::usb::AdapterOptions options;
    options.bulkInCompletionDelay100ns = 500;  // 50 µs
    options.record = false;
    return options;
  }
};

TEST_F(ReceiveOrderStressTest, SixtyFourMebibytesArriveInOrderOnRealThreads) {
  constexpr uint64_t kTotal = uint64_t(64) << 20;
  double seconds = streamAndCheck(kTotal);
  EXPECT_EQ(stats().ReceivedCount, kTotal);
  EXPECT_EQ(stats().BufferOverrunErrorCount, 0u);
  std::printf("[ figure   ] %.1f MB/s received in order (Concurrent kernel, 2 workers)\n", kTotal / seconds / 1e6);
}

}  // namespace
