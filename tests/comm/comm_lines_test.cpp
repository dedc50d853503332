// Tests: the line and queue calls: purge, errors and queue status (an
// overrun of the receive buffer), escape functions as the adapter sees
// them, and the immediate character.
#include "comm_fixture.h"

#include "driver/core/device_context.h"

namespace {

using namespace comm;

constexpr uint16_t ControlLineDtr = 0x0001;

DWORD inQueue(HANDLE port) {
  COMSTAT stat{};
  EXPECT_TRUE(ClearCommError(port, nullptr, &stat));
  return stat.cbInQue;
}

TEST_F(CommTest, PurgeEmptiesTheInputAndAbortsAPendingRead) {
  open();
  writeAll("0123456789");
  sim::runUntil([&] { return inQueue(port) == 10; }, 100 * sim::kMs);
  ASSERT_EQ(inQueue(port), 10u);
  ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
  EXPECT_EQ(inQueue(port), 0u);

  char buffer[4];
  OVERLAPPED ov;
  ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &ov));
  ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT | PURGE_TXABORT));
  DWORD got = 0;
  EXPECT_FALSE(GetOverlappedResult(port, &ov, &got, 1));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

  EXPECT_FALSE(PurgeComm(port, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(PurgeComm(port, 0x10));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(CommTest, ClearCommErrorReportsAnOverrunOfTheReceiveBufferOnce) {
  open();
  std::vector<uint8_t> flood = bytePattern(TzSerialRxBufferSize + 1000, 3);
  adapter->model->sendBulkIn(flood);
  sim::runUntil([&] { return adapter->model->pendingBulkInBytes() == 0; }, sim::kSecond);

  DWORD errors = 0;
  COMSTAT stat{};
  ASSERT_TRUE(ClearCommError(port, &errors, &stat));
  EXPECT_EQ(errors, CE_RXOVER);
  EXPECT_EQ(stat.cbInQue, TzSerialRxBufferSize);
  ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
  EXPECT_EQ(errors, 0u) << "reported errors are cleared";

  std::vector<uint8_t> first(16);
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(port, first.data(), DWORD(first.size()), &got, nullptr));
  EXPECT_EQ(first, std::vector<uint8_t>(flood.begin(), flood.begin() + 16)) << "the oldest bytes were kept";
}

TEST_F(CommTest, EscapeFunctionsDriveTheAdapterLines) {
  open();
  ASSERT_TRUE(EscapeCommFunction(port, CLRDTR));
  EXPECT_EQ(adapter->model->controlLineState() & ControlLineDtr, 0);
  ASSERT_TRUE(EscapeCommFunction(port, SETDTR));
  EXPECT_EQ(adapter->model->controlLineState() & ControlLineDtr, ControlLineDtr);
  EXPECT_TRUE(EscapeCommFunction(port, SETRTS));
  EXPECT_TRUE(EscapeCommFunction(port, CLRRTS));
  EXPECT_TRUE(SetCommBreak(port));
  EXPECT_TRUE(ClearCommBreak(port));
  EXPECT_TRUE(EscapeCommFunction(port, SETXOFF));
  EXPECT_TRUE(EscapeCommFunction(port, SETXON));
  EXPECT_TRUE(EscapeCommFunction(port, RESETDEV));
  for (DWORD bad : {0u, 10u, 0xFFFFFFFFu}) {
    EXPECT_FALSE(EscapeCommFunction(port, bad)) << bad;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
}

TEST_F(CommTest, TheImmediateCharacterGoesOutOnTheBus) {
  open();
  ASSERT_TRUE(TransmitCommChar(port, '!')) << GetLastError();
  sim::runUntil([&] { return !adapter->model->bulkOutData().empty(); }, 100 * sim::kMs);
  EXPECT_EQ(adapter->model->bulkOutData(), std::vector<uint8_t>{'!'});
}

}  // namespace
