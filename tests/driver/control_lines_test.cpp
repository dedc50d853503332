// Tests: DTR and RTS as the adapter sees them. Every request and handshake
// mode that moves a line sends the adapter's whole control-line state with the
// other line as set, and the queries report what the adapter was told.
#include "open_port_fixture.h"

#include "driver/usb/control_requests.h"

namespace {

class ControlLinesTest : public OpenPortTest {
 protected:
  sim::pnp::PhysicalDeviceOptions pdoOptions() override { return modemClass(); }

  ULONG query(ULONG code, ULONG_PTR* information = nullptr) {
    ULONG value = 0xFFFFFFFF;
    app::Result r = port.ioctl(code, nullptr, 0, &value, sizeof value);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    if (information) *information = r.information;
    return value;
  }
  // The adapter holds lines, and both queries say so.
  void expectLines(uint16_t lines, const char* after) {
    SCOPED_TRACE(after);
    EXPECT_EQ(adapter->model->controlLineState(), lines);
    EXPECT_EQ(query(IOCTL_SERIAL_GET_DTRRTS), ULONG(lines));
    ULONG_PTR information = 0;
    EXPECT_EQ(query(IOCTL_SERIAL_GET_MODEM_CONTROL, &information), ULONG(lines));
    EXPECT_EQ(information, sizeof(ULONG));
  }
};

TEST_F(ControlLinesTest, TheOpenRaisesBothLinesAndTheQueriesReportWhatTheAdapterHas) {
  expectLines(ControlLineDtr | ControlLineRts, "open, default handshake modes");
}

// The reset sequence of many boot loaders: each step moves one line only.
TEST_F(ControlLinesTest, ABootLoaderResetPulseReachesTheAdapterLineByLine) {
  struct Step {
    ULONG code;
    uint16_t lines;
    const char* name;
  };
  const Step steps[] = {
      {IOCTL_SERIAL_CLR_RTS, ControlLineDtr, "CLR_RTS"},
      {IOCTL_SERIAL_CLR_DTR, 0, "CLR_DTR"},
      {IOCTL_SERIAL_SET_RTS, ControlLineRts, "SET_RTS"},
      {IOCTL_SERIAL_SET_DTR, ControlLineDtr | ControlLineRts, "SET_DTR"},
      {IOCTL_SERIAL_CLR_DTR, ControlLineRts, "CLR_DTR again"},
      {IOCTL_SERIAL_CLR_RTS, 0, "CLR_RTS again"},
  };
  for (const Step& step : steps) {
    adapter->model->clearRecords();
    ASSERT_EQ(control(step.code).status, STATUS_SUCCESS) << step.name;
    ASSERT_EQ(adapter->model->classRequests().size(), 1u) << step.name << " sends one request";
    expectLines(step.lines, step.name);
  }
}

TEST_F(ControlLinesTest, HandshakeModesMoveTheLinesTheyDriveAndAReopenKeepsThem) {
  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL, 0).status, STATUS_SUCCESS);
  expectLines(ControlLineDtr, "RTS control off");
  ASSERT_EQ(setHandFlow(0, SERIAL_TRANSMIT_TOGGLE).status, STATUS_SUCCESS);
  expectLines(0, "DTR control off, RTS toggling with nothing to send");
  ASSERT_EQ(setHandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE).status, STATUS_SUCCESS);
  expectLines(ControlLineDtr | ControlLineRts, "both handshakes, room to receive");

  // A mode that stays leaves the line as the application set it.
  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE).status, STATUS_SUCCESS);
  ASSERT_EQ(control(IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS);
  adapter->model->clearRecords();
  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL).status, STATUS_SUCCESS);
  expectLines(ControlLineRts, "RTS back to control, DTR as cleared");

  ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL, 0).status, STATUS_SUCCESS);
  port.close();
  EXPECT_EQ(adapter->model->controlLineState(), 0) << "the close drops both";
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  expectLines(ControlLineDtr, "reopened with RTS control off");
}

}  // namespace
