// Tests: the vendor removal-notification request. It pends until the adapter
// goes; a second one is refused; cancel and removal each complete it, and
// when they race it completes exactly once (the verifier stops a second
// completion).
#include "port_query_fixture.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

constexpr ULONG kGone = 1;

uint32_t u32(const std::vector<uint8_t>& bytes) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data(), sizeof value);
  return value;
}

TEST_F(PortQueryTest, RemovalNotificationPendsOneAtATimeAndCancels) {
  openPort();
  app::Request first = port.ioctlAsync(IoctlVendorRemovalNotify, {}, 4);
  sim::runReady();
  ASSERT_FALSE(first.done());
  EXPECT_NE(context->removalNotifyRequest, nullptr);

  // The refusal carries the value 2, but as a failed buffered request it
  // returns no bytes to the application: only the count shows.
  app::Result second = query(IoctlVendorRemovalNotify, 4);
  EXPECT_EQ(second.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(second.information, 4u);
  EXPECT_FALSE(first.done());

  EXPECT_TRUE(first.cancel());
  app::Result r = first.wait();
  EXPECT_EQ(r.status, STATUS_CANCELLED);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(context->removalNotifyRequest, nullptr);

  // A removal with nothing pending does nothing.
  TzSerialCompleteRemovalNotify(context);
}

TEST_F(PortQueryTest, RemovalCompletesTheNotificationOnceWithOne) {
  openPort();
  app::Request request = port.ioctlAsync(IoctlVendorRemovalNotify, {}, 4);
  sim::runReady();
  ASSERT_FALSE(request.done());

  TzSerialCompleteRemovalNotify(context);
  TzSerialCompleteRemovalNotify(context);  // both removal paths may call it
  ASSERT_TRUE(request.done());
  app::Result r = request.result();
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 4u);
  EXPECT_EQ(u32(request.data()), kGone);
  EXPECT_EQ(context->removalNotifyRequest, nullptr);
  EXPECT_FALSE(request.cancel());

  // The slot is free again for the next application.
  app::Request next = port.ioctlAsync(IoctlVendorRemovalNotify, {}, 8);
  EXPECT_FALSE(next.done());
  TzSerialCompleteRemovalNotify(context);
  EXPECT_EQ(next.wait().status, STATUS_SUCCESS);
}

// A buffer that could not hold the answer is refused before it pends, so the
// removal never writes past its end.
TEST_F(PortQueryTest, RemovalNotificationWithAShortBufferIsRefusedAtSubmission) {
  openPort();
  for (ULONG length : {0u, 3u}) {
    app::Request request = port.ioctlAsync(IoctlVendorRemovalNotify, {}, length);
    ASSERT_TRUE(request.done()) << length << " bytes";
    EXPECT_EQ(request.result().status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(request.result().information, 0u);
    EXPECT_EQ(context->removalNotifyRequest, nullptr);
  }
}

// Removal and an application's cancel race on real threads: each round the
// request completes once, either way, and the slot is left empty.
TEST_F(PortQueryStressTest, RemovalRacingCancelCompletesOnce) {
  openPort();
  constexpr int kRounds = 300;
  int removed = 0, cancelled = 0;
  for (int round = 0; round < kRounds; ++round) {
    app::Request request = port.ioctlAsync(IoctlVendorRemovalNotify, {}, 4);
    ASSERT_FALSE(request.done()) << "round " << round << ", seed " << sim::seed();
    std::atomic<int> ready{0};
    std::thread canceller([&] {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      request.cancel();
    });
    ready.fetch_add(1);
    while (ready.load() < 2) {
    }
    TzSerialCompleteRemovalNotify(context);
    canceller.join();

    app::Result r = request.wait(5 * sim::kSecond);
    ASSERT_TRUE(request.done()) << "round " << round << ", seed " << sim::seed();
    if (r.status == STATUS_SUCCESS) {
      ++removed;
      EXPECT_EQ(r.information, 4u);
      EXPECT_EQ(u32(request.data()), kGone);
    } else {
      ++cancelled;
      EXPECT_EQ(r.status, STATUS_CANCELLED) << "round " << round << ", seed " << sim::seed();
    }
    ASSERT_EQ(context->removalNotifyRequest, nullptr) << "round " << round << ", seed " << sim::seed();
  }
  EXPECT_EQ(removed + cancelled, kRounds);
}

}  // namespace
