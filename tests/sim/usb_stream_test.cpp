// Tests of the simulated USB bus: bulk-in streams through several transfers in
// flight, with completions that reach the driver after random delays (in
// either mode), as a function driver keeping its reads queued sees them.
#include "usb_client.h"

#include <set>

namespace {

using sim::usb::AdapterOptions;
using usbfrag::Request;

std::vector<uint8_t> pattern(size_t size, uint32_t salt = 0) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = 0x9E3779B9u ^ salt;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = uint8_t(x >> 24);
  }
  return bytes;
}

// What a stream read through transfers in flight looked like to the reader.
struct StreamStats {
  size_t transfers = 0;
  size_t reversals = 0;  // a transfer that completed before the one submitted just ahead of it
  std::set<std::thread::id> threads;
};

class UsbStreamTest : public UsbBootedTest {
 protected:
  // Feeds the stream to the device `chunk` bytes at a time, keeping no more
  // than `bound` queued in it, and reads it back through `inFlight` bulk-in
  // transfers of `length` bytes, taking blocks in submission order as the
  // driver must. Returns what was read.
  std::vector<uint8_t> readThrough(std::span<const uint8_t> stream, size_t inFlight, ULONG length, size_t chunk,
                                   size_t bound, StreamStats& stats) {
    std::vector<std::unique_ptr<Request>> slots;
    for (size_t i = 0; i < inFlight; ++i) {
      slots.push_back(std::make_unique<Request>(pdo, completionCounter, length));
      slots.back()->read(bulkIn);
    }
    std::vector<uint8_t> received;
    size_t fed = 0;
    uint64_t previous = 0;
    for (size_t next = 0; received.size() < stream.size(); next = (next + 1) % inFlight) {
      while (fed < stream.size() && adapter->pendingBulkInBytes() < bound) {
        size_t n = std::min(chunk, stream.size() - fed);
        adapter->sendBulkIn(stream.subspan(fed, n));
        fed += n;
      }
      Request& r = *slots[next];
      if (!r.wait()) {
        ADD_FAILURE() << "bulk-in transfer " << stats.transfers << " never completed";
        return received;
      }
      EXPECT_EQ(r.status, STATUS_SUCCESS);
      std::vector<UCHAR> block = r.data();
      received.insert(received.end(), block.begin(), block.end());
      stats.reversals += r.sequence < previous;
      previous = r.sequence;
      stats.threads.insert(r.thread);
      ++stats.transfers;
      r.read(bulkIn);
    }
    for (auto& r : slots) {  // the reads left waiting for more
      IoCancelIrp(r->irp);
      EXPECT_TRUE(r->wait());
      EXPECT_EQ(r->status, STATUS_CANCELLED);
    }
    return received;
  }

  // Eight reads queued, then one burst of data: the order their completions arrived in.
  std::vector<uint64_t> burstThroughEightReads(int64_t maxDelay) {
    std::vector<std::unique_ptr<Request>> reads;
    for (int i = 0; i < 8; ++i) {
      reads.push_back(std::make_unique<Request>(pdo, completionCounter, 64));
      reads.back()->read(bulkIn);
    }
    std::vector<uint8_t> stream = pattern(8 * 64 + 10);
    int64_t filled = sim::now();
    adapter->sendBulkIn(stream);
    sim::runReady();
    // Every read has its bytes now; only the completions are still on their way.
    EXPECT_EQ(adapter->pendingBulkInBytes(), 10u);
    EXPECT_EQ(adapter->pendingTransfers(0x82), 0u);
    EXPECT_TRUE(sim::runUntil([&] { return std::all_of(reads.begin(), reads.end(), [](auto& r) { return r->completed(); }); },
                              maxDelay));
    std::vector<uint64_t> order;
    bool anyDelayed = false;
    for (int i = 0; i < 8; ++i) {
      Request& r = *reads[i];
      EXPECT_EQ(r.status, STATUS_SUCCESS);
      EXPECT_EQ(r.irql, DISPATCH_LEVEL);
      EXPECT_EQ(r.completions.load(), 1);
      EXPECT_EQ(r.data(), std::vector<uint8_t>(stream.begin() + i * 64, stream.begin() + (i + 1) * 64)) << "read " << i;
      EXPECT_LE(r.completed100ns - filled, maxDelay);
      anyDelayed |= r.completed100ns > filled;
      order.push_back(r.sequence);
    }
    EXPECT_TRUE(anyDelayed);
    return order;
  }

};

constexpr int64_t kMaxDelay = 10 * sim::kMs;

TEST_F(UsbStreamTest, JitteredCompletionsArriveReorderedYetReadsHoldTheStreamInSubmissionOrder) {
  start({.bulkInCompletionDelay100ns = kMaxDelay});
  std::vector<uint64_t> order = burstThroughEightReads(kMaxDelay);
  EXPECT_FALSE(std::is_sorted(order.begin(), order.end())) << "no completion overtook an earlier read";

  // The delays come from the run's seed: the same run replays exactly.
  completionCounter = 0;
  start({.bulkInCompletionDelay100ns = kMaxDelay});
  EXPECT_EQ(burstThroughEightReads(kMaxDelay), order);
}

TEST_F(UsbStreamTest, FilledReadCancelledBeforeItsCompletionArrivesCompletesOnceWithItsData) {
  start({.bulkInCompletionDelay100ns = sim::kSecond});
  std::vector<std::unique_ptr<Request>> reads;
  for (int i = 0; i < 4; ++i) {
    reads.push_back(std::make_unique<Request>(pdo, completionCounter, 4));
    reads.back()->read(bulkIn);
  }
  // A read cancelled while it waits for data gives its place to the next one.
  EXPECT_TRUE(IoCancelIrp(reads[1]->irp));
  EXPECT_EQ(reads[1]->status, STATUS_CANCELLED);

  adapter->sendBulkIn({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'});
  sim::runReady();
  ASSERT_FALSE(reads[0]->completed() || reads[2]->completed()) << "seed drew no delay";
  EXPECT_FALSE(IoCancelIrp(reads[0]->irp));  // too late: the bytes left the device
  sim::advance(sim::kSecond);
  ASSERT_TRUE(reads[0]->completed() && reads[2]->completed());
  EXPECT_EQ(reads[0]->status, STATUS_SUCCESS);
  EXPECT_EQ(reads[0]->data(), (std::vector<UCHAR>{'a', 'b', 'c', 'd'}));
  EXPECT_EQ(reads[2]->data(), (std::vector<UCHAR>{'e', 'f', 'g', 'h'}));
  EXPECT_FALSE(reads[3]->completed());
  EXPECT_TRUE(IoCancelIrp(reads[3]->irp));
  sim::advance(2 * sim::kSecond);
  for (int i : {0, 1, 2, 3}) EXPECT_EQ(reads[i]->completions.load(), 1) << "read " << i;
}

TEST_F(UsbStreamTest, AbortPipeCompletesFilledReadsWithTheirDataBeforeItself) {
  start({.bulkInCompletionDelay100ns = sim::kSecond});
  std::vector<std::unique_ptr<Request>> reads;
  for (int i = 0; i < 3; ++i) {
    reads.push_back(std::make_unique<Request>(pdo, completionCounter, 4));
    reads.back()->read(bulkIn);
  }
  adapter->sendBulkIn({'w', 'x', 'y', 'z', '!'});
  sim::runReady();
  ASSERT_FALSE(reads[0]->completed() || reads[1]->completed()) << "seed drew no delay";

  Request abort(pdo, completionCounter);
  usbfrag::buildPipeRequest(abort.urb, URB_FUNCTION_ABORT_PIPE, bulkIn);
  abort.send();
  ASSERT_TRUE(abort.completed());
  EXPECT_EQ(abort.status, STATUS_SUCCESS);
  EXPECT_EQ(reads[0]->status, STATUS_SUCCESS);
  EXPECT_EQ(reads[0]->data(), (std::vector<UCHAR>{'w', 'x', 'y', 'z'}));
  EXPECT_EQ(reads[1]->data(), (std::vector<UCHAR>{'!'}));
  EXPECT_EQ(reads[2]->status, STATUS_CANCELLED);
  EXPECT_LT(reads[1]->sequence, abort.sequence);
  sim::advance(2 * sim::kSecond);  // the delayed completions find nothing left to complete
  for (int i : {0, 1, 2}) EXPECT_EQ(reads[i]->completions.load(), 1) << "read " << i;
}

TEST_F(UsbStreamTest, ReadCancelledBeforeTheBusSeesItDoesNotBlockThePipe) {
  start({});
  Request early(pdo, completionCounter, 4), next(pdo, completionCounter, 4);
  usbfrag::buildTransfer(early.urb, bulkIn, early.buffer.data(), 4, true);
  early.send(true);
  next.read(bulkIn);
  adapter->sendBulkIn({1, 2});
  ASSERT_TRUE(next.wait());
  EXPECT_EQ(early.status, STATUS_CANCELLED);
  EXPECT_EQ(next.data(), (std::vector<UCHAR>{1, 2}));
}

TEST_F(UsbStreamTest, InjectedAnswersComeAheadOfTheStreamInOrder) {
  start({});
  adapter->sendBulkIn({1, 2, 3});
  adapter->sendZeroLengthPacket();
  adapter->failNextBulkIn(STATUS_DEVICE_BUSY, USBD_STATUS_DEV_NOT_RESPONDING);
  Request first(pdo, completionCounter, 8), second(pdo, completionCounter, 8), third(pdo, completionCounter, 8);
  first.read(bulkIn);
  second.read(bulkIn);
  third.read(bulkIn);
  ASSERT_TRUE(third.wait());
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_TRUE(first.data().empty()) << "the zero-length packet";
  EXPECT_EQ(second.status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(third.data(), (std::vector<UCHAR>{1, 2, 3}));
}

// The driver's pattern on a long stream, replayable: eight reads in flight,
// the far end kept below the receive ring's size.
TEST_F(UsbStreamTest, LongStreamThroughEightJitteredReadsArrivesIntact) {
  start({.bulkInCompletionDelay100ns = 2 * sim::kMs, .record = false});
  std::vector<uint8_t> stream = pattern(3 << 20, 1);
  StreamStats stats;
  EXPECT_TRUE(readThrough(stream, 8, 4096, 64 << 10, 256 << 10, stats) == stream);
  EXPECT_GT(stats.reversals, 0u);
  EXPECT_EQ(adapter->pendingBulkInBytes(), 0u);
  EXPECT_TRUE(adapter->urbs().empty());
}

TEST_F(UsbStreamTest, ConcurrentJitteredStreamArrivesIntactInSubmissionOrder) {
  start({.bulkInCompletionDelay100ns = sim::kMs, .record = false},
        {.mode = sim::Mode::Concurrent, .seed = 7, .workerThreads = 4});
  std::vector<uint8_t> stream = pattern(4 << 20, 2);
  StreamStats stats;
  EXPECT_TRUE(readThrough(stream, 8, 16 << 10, 64 << 10, 256 << 10, stats) == stream);
  EXPECT_GT(stats.reversals, 0u);
  RecordProperty("completionThreads", int(stats.threads.size()));
  RecordProperty("reversals", int(stats.reversals));
}

}  // namespace
