// Tests: the vendor port reset (0x80002408) on an open port with I/O in flight.
// The simulated bus stops a reset made while any request of the device is
// still on the bus; afterwards the adapter, back at its power-on defaults, must
// be running what the port says again, and reception must go on.
#include "open_port_fixture.h"

#include "driver/serial/queries.h"
#include "driver/usb/control_requests.h"

namespace {

constexpr uint8_t kBulkIn = 0x82;

class PortResetTest : public OpenPortTest {
 protected:
  sim::pnp::PhysicalDeviceOptions pdoOptions() override { return modemClass(); }
  app::Result resetPort() { return control(IoctlVendorResetUsbPort); }
};

TEST_F(PortResetTest, AResetWithIoInFlightQuiescesFirstThenRestoresTheAdapterAndTheReaders) {
  ASSERT_EQ(control(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{115200}).status, STATUS_SUCCESS);
  ASSERT_EQ(control(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8}).status,
            STATUS_SUCCESS);
  ASSERT_EQ(control(IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS);
  const sim::usb::LineCoding set = adapter->model->lineCoding();
  ASSERT_EQ(set.rate, 115200u);

  adapter->model->holdBulkOut(true);
  app::Request write = port.writeAsync(std::vector<uint8_t>(10, 'w'));
  app::Request read = port.readAsync(3);
  sim::runReady();
  ASSERT_FALSE(write.done());

  app::Result reset = resetPort();
  EXPECT_EQ(reset.status, STATUS_SUCCESS);
  EXPECT_EQ(reset.information, 0u);
  EXPECT_EQ(adapter->model->portResets(), 1u);
  EXPECT_EQ(write.wait().status, STATUS_CANCELLED) << "the reset cancelled the write on the bus";
  EXPECT_FALSE(read.done()) << "a read waits for data, not for the bus";

  EXPECT_EQ(adapter->model->lineCoding(), set) << "the line coding is sent again";
  EXPECT_EQ(adapter->model->controlLineState(), ControlLineDtr) << "DTR on, RTS as cleared";
  SERIAL_BAUD_RATE rate = {};
  ASSERT_EQ(port.ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &rate, sizeof rate).status, STATUS_SUCCESS);
  EXPECT_EQ(rate.BaudRate, 115200u);

  // The readers are back: data and notifications get through, and so do writes.
  adapter->model->sendBulkIn({'a', 'b', 'c'});
  EXPECT_EQ(read.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(read.data(), (std::vector<uint8_t>{'a', 'b', 'c'}));
  adapter->model->sendSerialState(0x0003);
  sim::runReady();
  EXPECT_EQ(c->modemStatus & 0x80, 0x80) << "carrier reported after the reset";
  adapter->model->holdBulkOut(false);
  EXPECT_EQ(port.write("xy", 2).status, STATUS_SUCCESS);
}

// An adapter gone from the bus: the reset reports it, and nothing of the port
// is left pending there.
TEST_F(PortResetTest, AnAdapterThatLeftTheBusFailsTheResetAndKeepsNothingOnIt) {
  adapter->model->disconnect();
  EXPECT_EQ(resetPort().status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(adapter->model->pendingTransfers(0x82), 0u);
}

// A reset that gives up on a transfer the bus keeps answers busy and puts the
// readers back, that slot still out. When the bus gives it back (cancelled by
// the reset's cancel), it goes back down: the cancel that came before the
// restart no longer holds. The slot used to stay idle until the port reopened.
TEST_F(PortResetTest, ASlotStillOutWhenAResetGivesUpGoesBackDownWhenItReturns) {
  adapter->model->holdThroughCancel(kBulkIn, 1);
  adapter->model->sendBulkIn(std::vector<uint8_t>(10, 'r'));  // a slot completes; its resubmission is lost
  sim::runReady();
  ASSERT_EQ(adapter->model->heldThroughCancel(), 1u);

  EXPECT_EQ(resetPort().status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), TzSerialBulkInSlots - 1) << "the others are back down";
  adapter->model->releaseHeldThroughCancel();
  sim::runReady();
  EXPECT_EQ(adapter->model->pendingTransfers(kBulkIn), TzSerialBulkInSlots);
}

}  // namespace
