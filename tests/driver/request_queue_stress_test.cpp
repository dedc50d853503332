// Tests: queue, cancel and flush racing on real threads (Concurrent mode, run
// under ThreadSanitizer in the suite). Every request must complete exactly
// once (the kernel's verifier stops a double completion) and none may hang.
#include "queue_fixture.h"

#include <atomic>
#include <random>
#include <thread>

namespace {

class QueueStressTest : public QueueTest {
 protected:
  void SetUp() override { bootKernel({.mode = sim::Mode::Concurrent, .seed = 7, .workerThreads = 2}); }
};

TEST_F(QueueStressTest, EveryRequestCompletesOnceUnderRandomCancelsFlushesAndFinishes) {
  constexpr int kSubmitters = 3;
  constexpr int kPerSubmitter = 150;
  restartAll();
  app::File port;
  ASSERT_EQ(app::File::open(u"\\Device\\QueueTest0", port), STATUS_SUCCESS);

  std::atomic<bool> submitting{true};
  std::atomic<bool> allDone{false};
  // Finishes the current read now and then, from its own thread.
  std::thread finisher([&] {
    while (!allDone) {
      finish(&context->readQueue);
      std::this_thread::yield();
    }
  });
  std::thread flusher([&] {
    for (int i = 0; i < 40 && submitting; ++i) {
      TzSerialFlushQueue(&context->readQueue);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });

  std::vector<std::vector<app::Request>> requests(kSubmitters);
  std::vector<std::thread> submitters;
  for (int s = 0; s < kSubmitters; ++s) {
    submitters.emplace_back([&, s] {
      std::mt19937 random{uint32_t(sim::seed() * 31 + s)};
      for (int i = 0; i < kPerSubmitter; ++i) {
        requests[s].push_back(port.readAsync(8));
        if (random() % 3 == 0) requests[s][random() % requests[s].size()].cancel();
      }
    });
  }
  for (auto& t : submitters) t.join();
  submitting = false;
  flusher.join();

  int succeeded = 0, cancelled = 0;
  for (auto& list : requests) {
    for (auto& r : list) {
      app::Result result = r.wait(5 * sim::kSecond);
      ASSERT_TRUE(r.done()) << "a request never completed";
      if (result.status == STATUS_SUCCESS) ++succeeded;
      else if (result.status == STATUS_CANCELLED) ++cancelled;
      else ADD_FAILURE() << "unexpected status " << std::hex << result.status;
    }
  }
  allDone = true;
  finisher.join();
  EXPECT_EQ(succeeded + cancelled, kSubmitters * kPerSubmitter);
  EXPECT_LE(size_t(succeeded), startedSnapshot().size()) << "only started requests succeed";
  EXPECT_GT(cancelled, 0);
  port.close();
  sim::runUntil([] { return false; }, 20 * sim::kMs);  // let the workers drain
}

}  // namespace
