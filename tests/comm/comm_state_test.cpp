// Tests: GetCommState and SetCommState as the driver and the bus see them,
// DCBs refused before any request and settings put back when the driver
// refuses one, time-outs and properties.
#include "comm_fixture.h"

#include "driver/core/device_context.h"

namespace {

using namespace comm;

// The line codings the adapter was sent, in order.
std::vector<sim::usb::LineCoding> lineCodingsSent(const sim::usb::CdcAcmAdapter& model) {
  std::vector<sim::usb::LineCoding> codings;
  for (const auto& r : model.classRequests())
    if (r.request == CDC_SET_LINE_CODING && r.dataOut.size() == 7)
      codings.push_back(sim::usb::LineCoding::from(r.dataOut.data()));
  return codings;
}

TEST_F(CommTest, EveryDcbFieldReadsBackAsItWasSet) {
  open();
  DCB dcb = state();
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  EXPECT_EQ(dcb.fBinary, 1u);
  dcb.BaudRate = 57600;
  dcb.ByteSize = 7;
  dcb.Parity = ODDPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fOutxCtsFlow = 1;
  dcb.fOutxDsrFlow = 1;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  dcb.fDsrSensitivity = 1;
  dcb.fTXContinueOnXoff = 1;
  dcb.fOutX = 1;
  dcb.fInX = 1;
  dcb.fNull = 1;
  dcb.fAbortOnError = 1;
  dcb.XonLim = 1000;
  dcb.XoffLim = 2000;
  dcb.XonChar = 0x21;
  dcb.XoffChar = 0x22;
  dcb.ErrorChar = 0x23;
  dcb.EofChar = 0x24;
  dcb.EvtChar = 0x25;
  ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();

  DCB back = state();
  EXPECT_EQ(back.BaudRate, 57600u);
  EXPECT_EQ(back.ByteSize, 7);
  EXPECT_EQ(back.Parity, ODDPARITY);
  EXPECT_EQ(back.StopBits, TWOSTOPBITS);
  EXPECT_EQ(back.fBinary, 1u);
  EXPECT_EQ(back.fOutxCtsFlow, 1u);
  EXPECT_EQ(back.fOutxDsrFlow, 1u);
  EXPECT_EQ(back.fDtrControl, DTR_CONTROL_HANDSHAKE);
  EXPECT_EQ(back.fRtsControl, RTS_CONTROL_TOGGLE);
  EXPECT_EQ(back.fDsrSensitivity, 1u);
  EXPECT_EQ(back.fTXContinueOnXoff, 1u);
  EXPECT_EQ(back.fOutX, 1u);
  EXPECT_EQ(back.fInX, 1u);
  EXPECT_EQ(back.fNull, 1u);
  EXPECT_EQ(back.fAbortOnError, 1u);
  EXPECT_EQ(back.fErrorChar, 0u);
  EXPECT_EQ(back.XonLim, 1000);
  EXPECT_EQ(back.XoffLim, 2000);
  EXPECT_EQ(back.XonChar, 0x21);
  EXPECT_EQ(back.XoffChar, 0x22);
  EXPECT_EQ(back.ErrorChar, 0x23);
  EXPECT_EQ(back.EofChar, 0x24);
  EXPECT_EQ(back.EvtChar, 0x25);
  EXPECT_EQ(adapter->model->lineCoding(), (sim::usb::LineCoding{57600, 2, 1, 7}));

  // And back to plain lines: every flag clears again.
  DCB plain = back;
  plain.fOutxCtsFlow = plain.fOutxDsrFlow = plain.fDsrSensitivity = plain.fTXContinueOnXoff = 0;
  plain.fOutX = plain.fInX = plain.fNull = plain.fAbortOnError = 0;
  plain.fDtrControl = DTR_CONTROL_ENABLE;
  plain.fRtsControl = RTS_CONTROL_ENABLE;
  ASSERT_TRUE(SetCommState(port, &plain)) << GetLastError();
  DCB cleared = state();
  EXPECT_EQ(cleared.fOutxCtsFlow | cleared.fOutxDsrFlow | cleared.fDsrSensitivity | cleared.fTXContinueOnXoff |
                cleared.fOutX | cleared.fInX | cleared.fNull | cleared.fAbortOnError,
            0u);
  EXPECT_EQ(cleared.fDtrControl, DTR_CONTROL_ENABLE);
  EXPECT_EQ(cleared.fRtsControl, RTS_CONTROL_ENABLE);
}

struct LineCase {
  DWORD rate;
  BYTE byteSize, parity, stopBits;
};

class CommLineCodingTest : public CommTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(CommLineCodingTest, TheAdapterIsSentTheLineCodingOfTheDcb) {
  const LineCase& line = GetParam();
  open();
  DCB dcb = state();
  dcb.BaudRate = line.rate;
  dcb.ByteSize = line.byteSize;
  dcb.Parity = line.parity;
  dcb.StopBits = line.stopBits;
  adapter->model->clearRecords();
  ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();

  sim::usb::LineCoding expected{line.rate, line.stopBits, line.parity, line.byteSize};
  auto sent = lineCodingsSent(*adapter->model);
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back(), expected);
  EXPECT_EQ(sent.back().bytes(), expected.bytes());
  DCB back = state();
  EXPECT_EQ(back.BaudRate, line.rate);
  EXPECT_EQ(back.ByteSize, line.byteSize);
  EXPECT_EQ(back.Parity, line.parity);
  EXPECT_EQ(back.StopBits, line.stopBits);
}

INSTANTIATE_TEST_SUITE_P(Lines, CommLineCodingTest,
                         ::testing::Values(LineCase{115200, 8, NOPARITY, ONESTOPBIT},
                                           LineCase{9600, 7, EVENPARITY, TWOSTOPBITS},
                                           LineCase{1200, 5, NOPARITY, ONE5STOPBITS}));

TEST_F(CommTest, ABadDcbIsRefusedBeforeAnyRequest) {
  open();
  const DCB before = state();
  std::vector<std::pair<const char*, DCB>> bad;
  auto variant = [&](const char* what, auto change) {
    DCB dcb = before;
    dcb.BaudRate = 300;
    change(dcb);
    bad.emplace_back(what, dcb);
  };
  variant("4 data bits", [](DCB& d) { d.ByteSize = 4; });
  variant("9 data bits", [](DCB& d) { d.ByteSize = 9; });
  variant("parity 5", [](DCB& d) { d.Parity = 5; });
  variant("stop bits 3", [](DCB& d) { d.StopBits = 3; });
  variant("XON = XOFF with output flow", [](DCB& d) { d.fOutX = 1, d.XonChar = d.XoffChar = 0x13; });
  variant("XON = XOFF with input flow", [](DCB& d) { d.fInX = 1, d.XonChar = d.XoffChar = 0x11; });

  adapter->model->clearRecords();
  for (auto& [what, dcb] : bad) {
    SetLastError(0);
    EXPECT_FALSE(SetCommState(port, &dcb)) << what;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << what;
  }
  EXPECT_FALSE(SetCommState(port, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(adapter->model->classRequests().empty()) << "nothing reached the adapter";
  EXPECT_EQ(state().BaudRate, before.BaudRate);

  DCB anyLength = before;
  anyLength.DCBlength = 0;
  EXPECT_TRUE(SetCommState(port, &anyLength)) << "the length is not checked, as on the platform";
}

// The driver refuses special characters equal to its escape character, and
// an error character while one is set: the settings already made go back.
TEST_F(CommTest, SettingsAlreadyMadeArePutBackWhenTheDriverRefusesOne) {
  open();
  UCHAR escape = 0x45;
  ASSERT_EQ(FileOf(port)->ioctl(IOCTL_SERIAL_LSRMST_INSERT, &escape, 1, nullptr, 0).status, STATUS_SUCCESS);
  DCB known = state();
  known.BaudRate = 4800;
  known.ByteSize = 8;
  known.Parity = NOPARITY;
  known.StopBits = ONESTOPBIT;
  ASSERT_TRUE(SetCommState(port, &known)) << GetLastError();
  const DCB before = state();

  DCB refusedChars = before;
  refusedChars.BaudRate = 19200;
  refusedChars.ByteSize = 6;
  refusedChars.XonChar = char(escape);
  EXPECT_FALSE(SetCommState(port, &refusedChars));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  DCB after = state();
  EXPECT_EQ(after.BaudRate, before.BaudRate);
  EXPECT_EQ(after.ByteSize, before.ByteSize);
  EXPECT_EQ(after.XonChar, before.XonChar);
  EXPECT_EQ(adapter->model->lineCoding(), (sim::usb::LineCoding{4800, 0, 0, 8})) << "the adapter's line coding went back too";

  DCB refusedHandFlow = before;
  refusedHandFlow.EofChar = 0x1A;
  refusedHandFlow.fErrorChar = 1;
  EXPECT_FALSE(SetCommState(port, &refusedHandFlow));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  after = state();
  EXPECT_EQ(after.EofChar, before.EofChar) << "the characters went back";
  EXPECT_EQ(after.fErrorChar, 0u);
}

TEST_F(CommTest, TimeoutsReadBackAndAllThreeMaximaAreRefused) {
  open();
  COMMTIMEOUTS set{10, 20, 30, 40, 50};
  ASSERT_TRUE(SetCommTimeouts(port, &set));
  COMMTIMEOUTS back{};
  ASSERT_TRUE(GetCommTimeouts(port, &back));
  EXPECT_EQ(back.ReadIntervalTimeout, 10u);
  EXPECT_EQ(back.ReadTotalTimeoutMultiplier, 20u);
  EXPECT_EQ(back.ReadTotalTimeoutConstant, 30u);
  EXPECT_EQ(back.WriteTotalTimeoutMultiplier, 40u);
  EXPECT_EQ(back.WriteTotalTimeoutConstant, 50u);

  COMMTIMEOUTS never{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
  EXPECT_FALSE(SetCommTimeouts(port, &never));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(SetCommTimeouts(port, nullptr));
  EXPECT_FALSE(GetCommTimeouts(port, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(CommTest, PropertiesDescribeTheReceiveBufferAndQueueSizesAreAccepted) {
  open();
  COMMPROP properties{};
  ASSERT_TRUE(GetCommProperties(port, &properties));
  EXPECT_EQ(properties.wPacketLength, sizeof(COMMPROP));
  EXPECT_EQ(properties.dwCurrentRxQueue, TzSerialRxBufferSize);
  EXPECT_TRUE(SetupComm(port, 4096, 4096));
  EXPECT_TRUE(SetupComm(port, TzSerialRxBufferSize * 2, 4096)) << "a larger buffer is proved, not installed";
  ASSERT_TRUE(GetCommProperties(port, &properties));
  EXPECT_EQ(properties.dwCurrentRxQueue, TzSerialRxBufferSize);
}

}  // namespace
