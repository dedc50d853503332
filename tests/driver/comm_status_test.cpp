// Tests: IOCTL_SERIAL_GET_COMMSTATUS on the transmit side, which programs poll
// before they change settings or close: the bytes still to go out, the holds
// in force and an immediate character waiting to be sent.
#include "open_port_fixture.h"

namespace {

class CommStatusTest : public OpenPortTest {
 protected:
  SERIAL_STATUS commStatus() {
    SERIAL_STATUS status = {};
    EXPECT_EQ(port.ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status).status, STATUS_SUCCESS);
    return status;
  }
};

TEST_F(CommStatusTest, AStuckWriteAnXoffHoldAndAWaitingImmediateCharacterAreReported) {
  adapter->model->holdBulkOut(true);  // the device NAKs
  app::Request write = port.writeAsync(std::vector<uint8_t>(100, 'w'));
  sim::runReady();
  ASSERT_EQ(control(IOCTL_SERIAL_SET_XOFF).status, STATUS_SUCCESS);
  SERIAL_STATUS status = commStatus();
  EXPECT_EQ(status.AmountInOutQueue, 100u);
  EXPECT_EQ(status.HoldReasons, ULONG(SERIAL_TX_WAITING_FOR_XON));
  EXPECT_FALSE(status.WaitForImmediate);

  app::Request immediate = immediateChar(0x05);
  ASSERT_EQ(control(IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
  status = commStatus();
  EXPECT_TRUE(status.WaitForImmediate);
  EXPECT_EQ(status.AmountInOutQueue, 100u) << "the immediate character is reported on its own";
  EXPECT_EQ(status.HoldReasons, ULONG(SERIAL_TX_WAITING_FOR_XON | SERIAL_TX_WAITING_ON_BREAK));

  ASSERT_EQ(control(IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
  ASSERT_EQ(control(IOCTL_SERIAL_SET_XON).status, STATUS_SUCCESS);
  adapter->model->holdBulkOut(false);
  EXPECT_EQ(write.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(immediate.wait().status, STATUS_SUCCESS);
  status = commStatus();
  EXPECT_EQ(status.AmountInOutQueue, 0u);
  EXPECT_EQ(status.HoldReasons, 0u);
  EXPECT_FALSE(status.WaitForImmediate);
}

}  // namespace
