// Tests of the simulated USB bus in Concurrent mode, with real threads racing
// the bus as a driver's dispatch routines, DPCs and timers do: submissions
// from two threads at once, and cancels that race the submission itself.
#include "usb_client.h"

#include <random>

namespace {

using usbfrag::Request;

constexpr int64_t kNever = 5 * sim::kSecond;  // real time: only a transfer that is lost waits this long

// Runs a busy loop of n steps, so that two threads meet at a spread of moments.
void spin(unsigned n) {
  for (unsigned i = 0; i < n; ++i) asm volatile("");
}

// Waits for the flag without holding a processor the other side needs.
void await(const std::atomic<bool>& flag) {
  while (!flag.load()) std::this_thread::yield();
}

class UsbConcurrentTest : public UsbBootedTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    start({}, {.mode = sim::Mode::Concurrent, .seed = sim::seed(), .workerThreads = 4});
  }
  void TearDown() override {
    if (!HasFailure()) EXPECT_TRUE(sim::runUntil([&] { return pendingEverywhere() == 0; }, kNever));
    UsbBootedTest::TearDown();
  }
  size_t pendingEverywhere() const {
    return adapter->pendingTransfers(0x02) + adapter->pendingTransfers(0x82) + adapter->pendingTransfers(0x81);
  }
  std::mt19937_64 random{sim::seed()};
};

// Each transfer's bytes go on the bus in one piece, and the pieces follow the
// order the bus received the transfers in, NAKed for a while or not.
TEST_F(UsbConcurrentTest, BulkOutFromTwoThreadsAtOnceIsTakenWholeInSubmissionOrder) {
  Request a(pdo, completionCounter, 2048), b(pdo, completionCounter, 2048);
  std::vector<uint8_t> expected;
  int aFirst = 0;
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE("seed " + std::to_string(sim::seed()) + ", round " + std::to_string(round));
    bool nak = round % 2;
    adapter->clearRecords();
    adapter->holdBulkOut(nak);
    for (Request* r : {&a, &b}) {
      r->buffer.resize(1 + random() % 2048);
      for (auto& byte : r->buffer) byte = uint8_t(random());
      usbfrag::buildTransfer(r->urb, bulkOut, r->buffer.data(), ULONG(r->buffer.size()), false);
      r->prepare();
    }
    // Which thread sends which transfer, and how soon, changes every round.
    Request& mine = random() % 2 ? a : b;
    Request& theirs = &mine == &a ? b : a;
    unsigned myDelay = unsigned(random() % 1000), theirDelay = unsigned(random() % 1000);
    std::atomic<bool> ready{false}, go{false};
    std::thread other([&] {
      ready = true;
      await(go);
      spin(theirDelay);
      theirs.submit();
    });
    await(ready);
    go = true;
    spin(myDelay);
    mine.submit();
    other.join();
    if (nak) adapter->holdBulkOut(false);
    ASSERT_TRUE(a.wait(kNever) && b.wait(kNever));
    for (Request* r : {&a, &b}) {
      EXPECT_EQ(r->status, STATUS_SUCCESS);
      EXPECT_EQ(r->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, r->buffer.size());
    }
    auto records = adapter->urbs();
    ASSERT_EQ(records.size(), 2u);
    bool ab = records[0].dataOut == a.buffer;
    Request& first = ab ? a : b;
    Request& second = ab ? b : a;
    EXPECT_EQ(records[0].dataOut, first.buffer);
    EXPECT_EQ(records[1].dataOut, second.buffer);
    EXPECT_EQ(adapter->bulkOutTransferLengths(), (std::vector<ULONG>{ULONG(first.buffer.size()), ULONG(second.buffer.size())}));
    expected.insert(expected.end(), first.buffer.begin(), first.buffer.end());
    expected.insert(expected.end(), second.buffer.begin(), second.buffer.end());
    aFirst += ab;
  }
  EXPECT_TRUE(adapter->bulkOutData() == expected) << "seed " << sim::seed();
  RecordProperty("roundsWithATakenFirst", aFirst);
}

// The cancel lands before, while or after the bus queues the transfer. Held
// by the device (bulk-out NAKed, bulk-in without data, interrupt-in without a
// payload), the transfer can only end cancelled, once; the next transfer on
// the pipe must then get the device's data, or the cancelled one blocked it.
TEST_F(UsbConcurrentTest, CancelRacingTheSubmissionCompletesOnceAndNeverBlocksThePipe) {
  struct Target {
    const char* name;
    USBD_PIPE_HANDLE pipe;
    uint8_t endpoint;
    bool in;
  };
  const Target targets[] = {{"bulk-out", bulkOut, 0x02, false}, {"bulk-in", bulkIn, 0x82, true}, {"interrupt-in", interruptIn, 0x81, true}};
  Request victim(pdo, completionCounter, 16), next(pdo, completionCounter, 16);
  adapter->holdBulkOut(true);
  for (int round = 0; round < 1500; ++round) {
    const Target& t = targets[round % 3];
    SCOPED_TRACE("seed " + std::to_string(sim::seed()) + ", round " + std::to_string(round) + ", " + t.name);
    usbfrag::buildTransfer(victim.urb, t.pipe, victim.buffer.data(), 16, t.in);
    victim.prepare();
    unsigned submitDelay = unsigned(random() % 1500), cancelDelay = unsigned(random() % 1500);
    std::atomic<bool> ready{false}, go{false};
    std::thread canceller([&] {
      ready = true;
      await(go);
      spin(cancelDelay);
      IoCancelIrp(victim.irp);
    });
    await(ready);
    go = true;
    spin(submitDelay);
    victim.submit();
    canceller.join();
    ASSERT_TRUE(victim.wait(kNever)) << "the cancelled transfer never completed";
    EXPECT_EQ(victim.status, STATUS_CANCELLED);

    usbfrag::buildTransfer(next.urb, t.pipe, next.buffer.data(), 16, t.in);
    next.send();
    if (t.endpoint == 0x02) adapter->holdBulkOut(false);
    if (t.endpoint == 0x82) adapter->sendBulkIn({uint8_t(round)});
    if (t.endpoint == 0x81) adapter->sendInterrupt({uint8_t(round)});
    ASSERT_TRUE(next.wait(kNever)) << "the transfer after the cancelled one never completed: the pipe is blocked";
    EXPECT_EQ(next.status, STATUS_SUCCESS);
    if (t.in) EXPECT_EQ(next.data(), std::vector<UCHAR>{UCHAR(round)});
    adapter->holdBulkOut(true);
    EXPECT_EQ(victim.completions.load(), 1);
    EXPECT_EQ(adapter->pendingTransfers(t.endpoint), 0u);
  }
  adapter->holdBulkOut(false);
}

}  // namespace
