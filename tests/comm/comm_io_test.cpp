// Tests: reads and writes through the comm API on a loopback adapter:
// blocking and overlapped, read time-outs on the virtual clock, collecting
// with and without waiting, and cancellation by CancelIoEx and by close.
#include "comm_fixture.h"

namespace {

using namespace comm;

TEST_F(CommTest, WhatIsWrittenComesBackOnAnOverlappedRead) {
  open();
  writeAll("hello");
  char buffer[16] = {};
  OVERLAPPED ov;
  DWORD got = 0;
  if (!ReadFile(port, buffer, 5, &got, &ov)) {
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &got, 1)) << GetLastError();
  }
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(std::string(buffer, got), "hello");
}

TEST_F(CommTest, AReadWithATotalTimeoutEndsOnTimeWithWhatCame) {
  open(0);
  COMMTIMEOUTS timeouts{0, 0, 500, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
  writeAll("abc");
  char buffer[10] = {};
  DWORD got = 99;
  int64_t started = sim::now();
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr)) << "a timed-out read succeeds";
  int64_t elapsed = sim::now() - started;
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(std::string(buffer, got), "abc");
  EXPECT_GE(elapsed, 500 * sim::kMs);
  EXPECT_LT(elapsed, 500 * sim::kMs + 2 * 156250) << "within a clock tick of the constant";
}

TEST_F(CommTest, AnOverlappedReadStaysPendingUntilDataComesAndIsCollectedOnce) {
  open();
  char buffer[4] = {};
  OVERLAPPED ov;
  ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  DWORD got = 99;
  EXPECT_FALSE(GetOverlappedResult(port, &ov, &got, 0));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  int64_t started = sim::now();
  EXPECT_FALSE(GetOverlappedResultEx(port, &ov, &got, 100));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  EXPECT_EQ(sim::now() - started, 100 * sim::kMs) << "gave up after its timeout";

  char second[4];
  EXPECT_FALSE(ReadFile(port, second, sizeof second, nullptr, &ov)) << "one operation per record";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  adapter->model->sendBulkIn(bytesOf("wxyz"));
  ASSERT_TRUE(GetOverlappedResult(port, &ov, &got, 1)) << GetLastError();
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::string(buffer, 4), "wxyz");
  ASSERT_TRUE(GetOverlappedResult(port, &ov, &got, 0)) << "a collected record keeps its outcome";
  EXPECT_EQ(got, 4u);
}

TEST_F(CommTest, CancelIoExAbortsOneRecordOrEveryOperationOfTheHandle) {
  open();
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  char a[8], b[8];
  DWORD events = 0;
  OVERLAPPED readOv, waitOv;
  ASSERT_FALSE(ReadFile(port, a, sizeof a, nullptr, &readOv));
  ASSERT_FALSE(WaitCommEvent(port, &events, &waitOv));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

  ASSERT_TRUE(CancelIoEx(port, &readOv));
  DWORD got = 99;
  EXPECT_FALSE(GetOverlappedResult(port, &readOv, &got, 1));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(got, 0u);
  EXPECT_FALSE(CancelIoEx(port, &readOv)) << "nothing left in flight on it";
  EXPECT_EQ(GetLastError(), 1168u /* ERROR_NOT_FOUND */);
  EXPECT_FALSE(GetOverlappedResult(port, &waitOv, &got, 0)) << "the wait was not touched";
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

  OVERLAPPED readAgain;
  ASSERT_FALSE(ReadFile(port, b, sizeof b, nullptr, &readAgain));
  ASSERT_TRUE(CancelIoEx(port, nullptr));
  EXPECT_FALSE(GetOverlappedResult(port, &readAgain, &got, 1));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(GetOverlappedResult(port, &waitOv, &got, 1));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(CancelIoEx(port, nullptr));
  EXPECT_EQ(GetLastError(), 1168u /* ERROR_NOT_FOUND */);

  writeAll("ok");
  char c[2];
  ASSERT_TRUE(ReadFile(port, c, 2, &got, nullptr)) << "the port still works";
  EXPECT_EQ(std::string(c, 2), "ok");
}

TEST_F(CommTest, ClosingTheHandleAbortsItsOperationsAndTheRecordsStillReport) {
  open();
  ASSERT_TRUE(SetCommMask(port, EV_DSR));
  char buffer[8];
  DWORD events = 0xFFFF;
  OVERLAPPED readOv, waitOv;
  ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &readOv));
  ASSERT_FALSE(WaitCommEvent(port, &events, &waitOv));
  ASSERT_TRUE(CloseHandle(port));

  DWORD got = 99;
  EXPECT_FALSE(GetOverlappedResult(port, &readOv, &got, 1));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(GetOverlappedResult(port, &waitOv, &got, 1));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(events, 0u);
  EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  HANDLE again = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(again, INVALID_HANDLE_VALUE) << "the port is free again";
  EXPECT_NE(again, port) << "a handle value is never reused";
  port = again;
}

TEST_F(CommTest, ARecordDestroyedInFlightTakesItsRequestWithIt) {
  open();
  char buffer[8];
  {
    OVERLAPPED ov;
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &ov));
  }
  writeAll("after");
  char back[5];
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(port, back, 5, &got, nullptr));
  EXPECT_EQ(std::string(back, got), "after") << "no abandoned read took the bytes";
}

TEST_F(CommTest, AnOverlappedRecordOnAHandleOpenedWithoutTheFlagCompletesAtOnce) {
  open(0);
  writeAll("xy");
  char buffer[2];
  OVERLAPPED ov;
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(port, buffer, 2, &got, &ov));
  EXPECT_EQ(got, 2u);
  ASSERT_TRUE(GetOverlappedResult(port, &ov, &got, 0));
  EXPECT_EQ(std::string(buffer, 2), "xy");
}

TEST_F(CommTest, FlushWaitsForTheWritesAndAZeroLengthWriteSucceeds) {
  open();
  OVERLAPPED ov;
  std::string line(300, 'q');
  bool pending = !WriteFile(port, line.data(), DWORD(line.size()), nullptr, &ov);
  if (pending) ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(FlushFileBuffers(port)) << GetLastError();
  DWORD written = 0;
  ASSERT_TRUE(GetOverlappedResult(port, &ov, &written, 0)) << "done once the flush returned";
  EXPECT_EQ(written, line.size());
  EXPECT_TRUE(WriteFile(port, nullptr, 0, &written, nullptr));
  EXPECT_EQ(written, 0u);
}

}  // namespace
