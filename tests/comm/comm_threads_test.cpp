// Tests: one handle used from several real threads at once (Concurrent
// kernel), as the host's servers use it: a reader, a writer and a waiter
// on the same port, and a close racing calls in flight. Every wait is bounded.
#include "comm_fixture.h"

#include <atomic>
#include <thread>

namespace {

using namespace comm;

constexpr DWORD kBoundMs = 10'000;

class CommThreadsTest : public CommTest {
 protected:
  // Boots the Concurrent kernel in place of SetUp's Deterministic one.
  void SetUp() override {
    sim::boot({.mode = sim::Mode::Concurrent, .seed = uint64_t(::testing::UnitTest::GetInstance()->random_seed()),
               .workerThreads = 2});
    reload();
    plugPort();
  }
};

TEST_F(CommThreadsTest, AReaderAWriterAndAWaiterShareOneHandle) {
  open();
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  const std::vector<uint8_t> sent = bytePattern(64 * 1024, 7);

  std::atomic<int> events{0};
  DWORD waiterError = 0;
  std::thread waiter([&] {
    for (;;) {
      DWORD mask = 0;
      OVERLAPPED ov;
      DWORD got = 0;
      if (!WaitCommEvent(port, &mask, &ov) && GetLastError() != ERROR_IO_PENDING) {
        waiterError = GetLastError();
        return;
      }
      if (!GetOverlappedResultEx(port, &ov, &got, kBoundMs)) {
        waiterError = GetLastError();
        return;
      }
      if (mask & EV_RXCHAR) ++events;
    }
  });
  std::thread writer([&] {
    for (size_t at = 0; at < sent.size(); at += 1000) {
      DWORD length = DWORD(std::min<size_t>(1000, sent.size() - at)), written = 0;
      OVERLAPPED ov;
      if (!WriteFile(port, sent.data() + at, length, nullptr, &ov)) GetOverlappedResultEx(port, &ov, &written, kBoundMs);
    }
  });
  std::vector<uint8_t> received;
  std::vector<uint8_t> chunk(4096);
  while (received.size() < sent.size()) {
    OVERLAPPED ov;
    DWORD got = 0;
    if (!ReadFile(port, chunk.data(), DWORD(chunk.size()), &got, &ov)) {
      ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
      ASSERT_TRUE(GetOverlappedResultEx(port, &ov, &got, kBoundMs)) << "read stalled at " << received.size();
    }
    received.insert(received.end(), chunk.begin(), chunk.begin() + got);
  }
  writer.join();
  EXPECT_EQ(received, sent);
  // The waiter may start late; the history keeps EV_RXCHAR for its first wait.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  while (events.load() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));

  ASSERT_TRUE(CloseHandle(port));
  waiter.join();
  port = nullptr;
  EXPECT_GT(events.load(), 0);
  // The close aborts the wait in flight, or the next one finds the handle gone.
  EXPECT_TRUE(waiterError == ERROR_OPERATION_ABORTED || waiterError == ERROR_INVALID_HANDLE) << waiterError;
}

TEST_F(CommThreadsTest, AClosingHandleEndsEveryCallRacingIt) {
  open();
  COMMTIMEOUTS timeouts{0, 0, 5, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
  std::atomic<bool> unexpected{false};
  std::atomic<int> calls{0};
  auto caller = [&](auto call) {
    return std::thread([&, call] {
      for (;;) {
        ++calls;
        if (call()) continue;
        DWORD error = GetLastError();
        if (error == ERROR_INVALID_HANDLE) return;
        if (error != ERROR_OPERATION_ABORTED) unexpected = true;
      }
    });
  };
  HANDLE shared = port;
  std::thread reader = caller([shared] {
    char buffer[16];
    DWORD got = 0;
    return ReadFile(shared, buffer, sizeof buffer, &got, nullptr);
  });
  std::thread status = caller([shared] {
    DWORD lines = 0;
    return GetCommModemStatus(shared, &lines);
  });
  std::thread writer = caller([shared] {
    DWORD written = 0;
    return WriteFile(shared, "ping", 4, &written, nullptr);
  });
  for (int spin = 0; calls.load() < 200 && spin < 10'000; ++spin) std::this_thread::yield();
  ASSERT_TRUE(CloseHandle(port));
  port = nullptr;
  reader.join();
  status.join();
  writer.join();
  EXPECT_FALSE(unexpected.load()) << "every call ended with success, an abort or a bad handle";
}

}  // namespace
