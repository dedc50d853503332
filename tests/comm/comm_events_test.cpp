// Tests: the event mask and WaitCommEvent: received characters, a DSR change
// the adapter reports, the transmitter running empty, and a new mask
// releasing the wait.
#include "comm_fixture.h"

namespace {

using namespace comm;

// SERIAL_STATE bitmap bits.
constexpr uint16_t SerialStateDcd = 0x0001, SerialStateDsr = 0x0002;

TEST_F(CommTest, AWaitEndsWithTheCharacterEvent) {
  open();
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_DSR));
  DWORD mask = 0;
  ASSERT_TRUE(GetCommMask(port, &mask));
  EXPECT_EQ(mask, EV_RXCHAR | EV_DSR);

  DWORD events = 0xFFFF;
  OVERLAPPED ov;
  ASSERT_FALSE(WaitCommEvent(port, &events, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  adapter->model->sendBulkIn({'x'});
  DWORD got = 0;
  ASSERT_TRUE(GetOverlappedResult(port, &ov, &got, 1)) << GetLastError();
  EXPECT_EQ(events, EV_RXCHAR);
  EXPECT_EQ(got, sizeof(DWORD));
}

TEST_F(CommTest, ADsrChangeOnTheAdapterEndsABlockingWaitAndShowsInTheModemStatus) {
  open();
  DWORD lines = 0;
  ASSERT_TRUE(GetCommModemStatus(port, &lines));
  ASSERT_TRUE(SetCommMask(port, EV_DSR | EV_RLSD));
  sim::schedule(10 * sim::kMs, [model = adapter->model] { model->sendSerialState(SerialStateDcd); });
  DWORD events = 0;
  ASSERT_TRUE(WaitCommEvent(port, &events, nullptr)) << GetLastError();
  EXPECT_EQ(events & EV_DSR, EV_DSR) << "DSR dropped";
  EXPECT_EQ(events & EV_RLSD, EV_RLSD) << "carrier came";
  ASSERT_TRUE(GetCommModemStatus(port, &lines));
  EXPECT_EQ(lines & (MS_DSR_ON | MS_RLSD_ON), MS_RLSD_ON);

  adapter->model->sendSerialState(SerialStateDcd | SerialStateDsr);
  ASSERT_TRUE(WaitCommEvent(port, &events, nullptr));
  EXPECT_EQ(events, EV_DSR);
  ASSERT_TRUE(GetCommModemStatus(port, &lines));
  EXPECT_EQ(lines & (MS_DSR_ON | MS_RLSD_ON | MS_CTS_ON), MS_DSR_ON | MS_RLSD_ON | MS_CTS_ON) << "CTS follows DSR";
}

TEST_F(CommTest, AWaitForTheEmptyTransmitterEndsOnceAWriteHasGone) {
  open();
  ASSERT_TRUE(SetCommMask(port, EV_TXEMPTY));
  DWORD events = 0;
  OVERLAPPED ov;
  ASSERT_FALSE(WaitCommEvent(port, &events, &ov));
  DWORD got = 0;
  EXPECT_FALSE(GetOverlappedResult(port, &ov, &got, 0)) << "nothing was sent yet";
  writeAll("tx");
  ASSERT_TRUE(GetOverlappedResult(port, &ov, &got, 1)) << GetLastError();
  EXPECT_EQ(events, EV_TXEMPTY);
}

TEST_F(CommTest, ANewMaskReleasesAPendingWaitWithNoEvents) {
  open();
  ASSERT_TRUE(SetCommMask(port, EV_RING));
  DWORD events = 0xFFFF;
  OVERLAPPED ov;
  ASSERT_FALSE(WaitCommEvent(port, &events, &ov));
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  DWORD got = 0;
  ASSERT_TRUE(GetOverlappedResult(port, &ov, &got, 1));
  EXPECT_EQ(events, 0u);

  EXPECT_FALSE(SetCommMask(port, 0x2000)) << "no such event";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(WaitCommEvent(port, nullptr, &ov));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
