// Tests: opens and Plug and Play queries. From a granted query-stop or
// query-remove until its cancel, and while the device is stopped, no open is
// admitted (the port device object is outside the stack, so only the driver
// can refuse it); a query racing an open in flight lets one of them win,
// never both; a refused open leaves the receive buffer's size alone.
#include "adapter_fixture.h"

#include "sim/cdc_acm.h"

namespace {

class QueryOpenTest : public AdapterTest {
 protected:
  void SetUp() override {
    AdapterTest::SetUp();
    a = &plug({.loopback = true}, modemClass());
    ASSERT_EQ(start(*a), STATUS_SUCCESS);
  }
  NTSTATUS pnp(UCHAR minor) { return sim::pnp::send(a->pdo, minor).wait().status; }
  NTSTATUS open(app::File& port) { return app::File::open(u"\\??\\COM7", port); }

  Adapter* a = nullptr;
};

TEST_F(QueryOpenTest, AnOpenDuringAGrantedQueryIsRefusedUntilItsCancel) {
  for (auto [query, cancel] : {std::pair{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
                               std::pair{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}}) {
    ASSERT_EQ(pnp(query), STATUS_SUCCESS);
    app::File port;
    EXPECT_EQ(open(port), STATUS_DEVICE_BUSY);
    EXPECT_EQ(a->context->openCount, 0);
    EXPECT_EQ(pnp(cancel), STATUS_SUCCESS);
    ASSERT_EQ(open(port), STATUS_SUCCESS);
    EXPECT_EQ(port.write("ok", 2).status, STATUS_SUCCESS);
    port.close();
  }
}

// The open waits for its DTR command when the query comes: the query sees the
// open and is refused, and the port works. With the query first, the open is
// refused. Never both.
TEST_F(QueryOpenTest, AQueryRacingAnOpenInFlightLetsOneOfThemWin) {
  for (UCHAR query : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE}) {
    a->model->answerLate(CDC_SET_CONTROL_LINE_STATE, 20 * sim::kMs);
    NTSTATUS queried = STATUS_PENDING;
    sim::schedule(5 * sim::kMs, [&] { queried = pnp(query); });
    app::File port;
    EXPECT_EQ(open(port), STATUS_SUCCESS);
    sim::runUntil([&] { return queried != STATUS_PENDING; });
    EXPECT_EQ(queried, STATUS_UNSUCCESSFUL) << "the open counted itself before the query looked";
    a->model->clearFaults();
    port.close();
  }
  ASSERT_EQ(pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  app::File late;
  EXPECT_EQ(open(late), STATUS_DEVICE_BUSY);
  EXPECT_EQ(pnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
}

// An open of the stopped device (by its device name: the port's link is gone)
// is refused without touching the receive buffer: after the next start the
// port has its whole buffer, as the properties and the flow limits show.
TEST_F(QueryOpenTest, AnOpenRefusedWhileStoppedLeavesTheReceiveBufferWhole) {
  std::u16string deviceName = sim::widen(sim::narrow(&a->context->deviceName));
  ASSERT_EQ(sim::pnp::stopDevice(a->pdo), STATUS_SUCCESS);
  a->started = false;
  app::File port;
  EXPECT_EQ(app::File::open(deviceName, port), STATUS_DEVICE_BUSY);
  ASSERT_EQ(start(*a), STATUS_SUCCESS);
  ASSERT_EQ(open(port), STATUS_SUCCESS);
  SERIAL_COMMPROP props = {};
  ASSERT_EQ(port.ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &props, sizeof props).status, STATUS_SUCCESS);
  EXPECT_EQ(props.CurrentRxQueue, TzSerialRxBufferSize);
  SERIAL_HANDFLOW flow = {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512};
  EXPECT_EQ(port.ioctl(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow, nullptr, 0).status, STATUS_SUCCESS);
  port.close();
}

}  // namespace
