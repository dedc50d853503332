// Tests: the serial device-control switch as an application sees it. Buffer
// minimums for every code, Information values, codes outside the table, the
// hold queue while the device is stalled, and the settings codes' rules, with
// what reaches the adapter checked on the bus.
#include "adapter_fixture.h"
#include "driver/serial/queries.h"
#include "driver/usb/control_requests.h"

#include <cstring>

namespace {

struct Row {
  ULONG code;
  ULONG in, out;
  ULONG information;  // on success with exactly the minimum buffers
};

// Codes whose success needs no particular state (the queued, pending and
// vendor codes are covered by their own tests).
const Row kRows[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, 0},     {IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0, 0},
    {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, 0},  {IOCTL_SERIAL_SET_BREAK_ON, 0, 0, 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, 0},     {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, 0},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, 20},    {IOCTL_SERIAL_SET_DTR, 0, 0, 0},
    {IOCTL_SERIAL_CLR_DTR, 0, 0, 0},           {IOCTL_SERIAL_RESET_DEVICE, 0, 0, 0},
    {IOCTL_SERIAL_SET_RTS, 0, 0, 0},           {IOCTL_SERIAL_CLR_RTS, 0, 0, 0},
    {IOCTL_SERIAL_SET_XOFF, 0, 0, 0},          {IOCTL_SERIAL_SET_XON, 0, 0, 0},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, 4},     {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, 4},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3, 3},  {IOCTL_SERIAL_GET_CHARS, 0, 6, 6},
    {IOCTL_SERIAL_SET_CHARS, 6, 0, 0},         {IOCTL_SERIAL_GET_HANDFLOW, 0, 16, 16},
    {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, 0},     {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, 4},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20, 20},  {IOCTL_SERIAL_GET_PROPERTIES, 0, 64, 64},
    {IOCTL_SERIAL_GET_DTRRTS, 0, 4, 4},        {IOCTL_SERIAL_LSRMST_INSERT, 1, 0, 0},
    {IOCTL_SERIAL_CONFIG_SIZE, 0, 4, 4},       {IOCTL_SERIAL_GET_STATS, 0, 24, 24},
    {IOCTL_SERIAL_CLEAR_STATS, 0, 0, 0},       {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4, 4},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0, 0}, {IOCTL_SERIAL_SET_FIFO_CONTROL, 0, 0, 0},
};

// A valid input of the code's minimum length.
std::vector<uint8_t> validInput(ULONG code, ULONG length) {
  std::vector<uint8_t> input(length, 0);
  if (code == IOCTL_SERIAL_SET_LINE_CONTROL) input = {STOP_BIT_1, NO_PARITY, 8};
  if (code == IOCTL_SERIAL_SET_HANDFLOW) {
    SERIAL_HANDFLOW h = {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0};
    std::memcpy(input.data(), &h, sizeof h);
  }
  if (code == IOCTL_SERIAL_SET_CHARS) input = {0, 0, 0, 0, 0x11, 0x13};
  return input;
}

class IoctlTest : public AdapterTest {
 protected:
  void SetUp() override {
    AdapterTest::SetUp();
    Adapter& a = plug({}, modemClass());
    ASSERT_EQ(start(a), STATUS_SUCCESS);
    c = a.context;
    model = a.model;
    model->clearRecords();
  }

  PDEVICE_OBJECT port() const { return c->portDevice ? c->portDevice : c->functionDevice; }

  app::Result ioctl(ULONG code, std::vector<uint8_t> input = {}, ULONG outputLength = 0,
                    std::vector<uint8_t>* output = nullptr) {
    app::Request r = app::ioctlToDevice(port(), code, input, outputLength);
    app::Result result = r.wait();
    if (output) *output = r.data();
    return result;
  }

  template <typename T>
  app::Result set(ULONG code, const T& value) {
    std::vector<uint8_t> input(sizeof(T));
    std::memcpy(input.data(), &value, sizeof(T));
    return ioctl(code, input);
  }

  template <typename T>
  T get(ULONG code) {
    std::vector<uint8_t> output;
    EXPECT_EQ(ioctl(code, {}, sizeof(T), &output).status, STATUS_SUCCESS);
    T value{};
    std::memcpy(&value, output.data(), std::min(output.size(), sizeof(T)));
    return value;
  }

  DeviceContext* c = nullptr;
  std::shared_ptr<sim::usb::CdcAcmAdapter> model;
};

TEST_F(IoctlTest, EveryCodeRefusesAShortBufferAndSucceedsWithItsMinimum) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(::testing::Message() << std::hex << "code 0x" << row.code);
    if (row.in) EXPECT_EQ(ioctl(row.code, std::vector<uint8_t>(row.in - 1), row.out).status, STATUS_BUFFER_TOO_SMALL);
    if (row.out)
      EXPECT_EQ(ioctl(row.code, validInput(row.code, row.in), row.out - 1).status, STATUS_BUFFER_TOO_SMALL);
    app::Result r = ioctl(row.code, validInput(row.code, row.in), row.out);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, row.information);
  }
}

TEST_F(IoctlTest, QueuedAndPendingCodesRefuseShortBuffersBeforeTheirQueue) {
  struct {
    ULONG code, in, out;
  } rows[] = {{IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
              {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},
              {IOCTL_SERIAL_PURGE, 4, 0},
              {IOCTL_SERIAL_XOFF_COUNTER, 12, 0},
              {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0}};
  for (const auto& row : rows) {
    if (row.in)
      EXPECT_EQ(ioctl(row.code, std::vector<uint8_t>(row.in - 1, 0xFF), row.out).status, STATUS_BUFFER_TOO_SMALL);
    if (row.out) EXPECT_EQ(ioctl(row.code, {}, row.out - 1).status, STATUS_BUFFER_TOO_SMALL);
  }
  EXPECT_EQ(c->waitMask, 0u);
  EXPECT_EQ(c->immediateRequest, nullptr);
  EXPECT_EQ(c->charsQueued, 0u);
}

TEST_F(IoctlTest, ASecondImmediateCharacterWhileOneIsPendingIsRefused) {
  const std::vector<uint8_t> a = {'A'};
  app::Request first = app::ioctlToDevice(port(), IOCTL_SERIAL_IMMEDIATE_CHAR, a, 0);
  EXPECT_FALSE(first.done()) << "no time-outs: it waits for the transmitter";
  EXPECT_EQ(ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, {'B'}).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(c->charsQueued, 1u);
  EXPECT_TRUE(first.cancel());
  EXPECT_EQ(first.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(c->charsQueued, 0u);
}

TEST_F(IoctlTest, AShortBufferChangesNothing) {
  EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_BAUD_RATE, {0x80, 0x25, 0}).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(c->currentBaudRate, 1200u);
  EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_TIMEOUTS, std::vector<uint8_t>(19, 1)).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(c->timeouts.ReadIntervalTimeout, 0u);
  EXPECT_TRUE(model->classRequests().empty()) << "nothing reached the adapter";
}

TEST_F(IoctlTest, CodesOutsideTheTableAreInvalidParameters) {
  for (ULONG code : {ULONG(IOCTL_SERIAL_GET_COMMCONFIG), ULONG(IOCTL_SERIAL_SET_COMMCONFIG),
                     ULONG(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS)), 0x80002410u,
                     0u})
    EXPECT_EQ(ioctl(code, {}, 64).status, STATUS_INVALID_PARAMETER) << std::hex << code;
}

TEST_F(IoctlTest, HeldCodesWaitWhileTheDeviceIsStalledAndReplayOnResume) {
  TzSerialStallAllQueues(c);
  const std::vector<uint8_t> rate9600 = {0x80, 0x25, 0, 0};
  app::Request setRate = app::ioctlToDevice(port(), IOCTL_SERIAL_SET_BAUD_RATE, rate9600, 0);
  app::Request getRate = app::ioctlToDevice(port(), IOCTL_SERIAL_GET_BAUD_RATE, {}, 4);
  app::Request timeouts = app::ioctlToDevice(port(), IOCTL_SERIAL_GET_TIMEOUTS, {}, 20);
  EXPECT_TRUE(timeouts.done()) << "codes that do not pass the hold queue run at once";
  EXPECT_FALSE(setRate.done());
  EXPECT_FALSE(getRate.done());
  EXPECT_EQ(c->currentBaudRate, 1200u);

  TzSerialRestartAllQueues(c);
  EXPECT_EQ(setRate.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(getRate.wait().status, STATUS_SUCCESS);
  ULONG rate;
  std::memcpy(&rate, getRate.data().data(), 4);
  EXPECT_EQ(rate, 9600u) << "replayed in arrival order";
}

TEST_F(IoctlTest, RateZeroReachesTheAdapterWithAnUnsetFormat) {
  EXPECT_EQ(set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{0}).status, STATUS_SUCCESS);
  auto sent = model->classRequests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].request, CdcSetLineCoding);
  EXPECT_EQ(sent[0].dataOut, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0})) << "format bytes 0 before any line control";
}

TEST_F(IoctlTest, LineControlIsValidatedStoredAndSent) {
  EXPECT_EQ(set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8}).status, STATUS_SUCCESS);
  auto sent = model->classRequests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].dataOut, (std::vector<uint8_t>{0xB0, 0x04, 0, 0, 0, 0, 0x08}));
  EXPECT_EQ(c->lineControl, 0x03);
  EXPECT_EQ(c->validDataMask, 0xFF);

  model->clearRecords();
  for (SERIAL_LINE_CONTROL bad : {SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 9}, SERIAL_LINE_CONTROL{0, 5, 8},
                                  SERIAL_LINE_CONTROL{3, 0, 8}, SERIAL_LINE_CONTROL{0, 0, 4}})
    EXPECT_EQ(set(IOCTL_SERIAL_SET_LINE_CONTROL, bad).status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(model->classRequests().empty());
  auto format = get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
  EXPECT_EQ(format.WordLength, 8) << "the old format stays";
  EXPECT_EQ(format.Parity, NO_PARITY);
  EXPECT_EQ(format.StopBits, STOP_BIT_1);
  EXPECT_EQ(model->classRequests().size(), 1u) << "each read-back asks the adapter once";
  EXPECT_EQ(model->classRequests()[0].request, CdcGetLineCoding);
}

// Two stop bits with five data bits and one and a half with more are refused,
// as the platform documents; the rest read back as they were set.
TEST_F(IoctlTest, StopBitsTheDataLengthCannotCarryAreRefusedAndTheRestReadBackAsSet) {
  ASSERT_EQ(set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, EVEN_PARITY, 7}).status, STATUS_SUCCESS);
  model->clearRecords();
  for (SERIAL_LINE_CONTROL bad : {SERIAL_LINE_CONTROL{STOP_BITS_2, MARK_PARITY, 5},
                                  SERIAL_LINE_CONTROL{STOP_BITS_1_5, SPACE_PARITY, 6},
                                  SERIAL_LINE_CONTROL{STOP_BITS_1_5, NO_PARITY, 8}})
    EXPECT_EQ(set(IOCTL_SERIAL_SET_LINE_CONTROL, bad).status, STATUS_INVALID_PARAMETER)
        << int(bad.WordLength) << " data bits, stop code " << int(bad.StopBits);
  EXPECT_TRUE(model->classRequests().empty()) << "nothing refused reaches the adapter";
  EXPECT_EQ(c->lineCoding.dataBits, 7);

  for (SERIAL_LINE_CONTROL good : {SERIAL_LINE_CONTROL{STOP_BITS_1_5, MARK_PARITY, 5},
                                   SERIAL_LINE_CONTROL{STOP_BITS_2, SPACE_PARITY, 8},
                                   SERIAL_LINE_CONTROL{STOP_BIT_1, ODD_PARITY, 5}}) {
    ASSERT_EQ(set(IOCTL_SERIAL_SET_LINE_CONTROL, good).status, STATUS_SUCCESS);
    auto format = get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(format.StopBits, good.StopBits) << int(good.WordLength) << " data bits";
    EXPECT_EQ(format.Parity, good.Parity);
    EXPECT_EQ(format.WordLength, good.WordLength);
  }
}

TEST_F(IoctlTest, HandFlowChecksRunInOrderAndLimitsStopAtTheBufferSize) {
  auto tryFlow = [&](ULONG control, ULONG replace, LONG xon, LONG xoff) {
    return set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{control, replace, xon, xoff}).status;
  };
  LONG size = LONG(c->rxBufferSize);
  EXPECT_EQ(tryFlow(0x03, SERIAL_RTS_CONTROL, 0, 0), STATUS_INVALID_PARAMETER) << "DTR field 3";
  EXPECT_EQ(tryFlow(0x04, SERIAL_RTS_CONTROL, 0, 0), STATUS_INVALID_PARAMETER) << "reserved control bit";
  EXPECT_EQ(tryFlow(SERIAL_DTR_CONTROL, 0x20, 0, 0), STATUS_INVALID_PARAMETER) << "reserved flow bit";
  EXPECT_EQ(tryFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, -1, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(tryFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, size + 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(c->handFlow.ControlHandShake, ULONG(SERIAL_DTR_CONTROL)) << "nothing changed";
  EXPECT_EQ(tryFlow(SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL, size, size), STATUS_SUCCESS);
  auto h = get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
  EXPECT_EQ(h.XoffLimit, size);
  EXPECT_EQ(h.ControlHandShake, ULONG(SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT));
  EXPECT_TRUE(model->classRequests().empty()) << "handshake settings never reach the adapter";
}

TEST_F(IoctlTest, EscapeCharacterConflictsWithFlowCharactersAndErrorReplacement) {
  ASSERT_EQ(ioctl(IOCTL_SERIAL_LSRMST_INSERT, {0x11}).status, STATUS_INVALID_PARAMETER) << "equals XonChar";
  ASSERT_EQ(ioctl(IOCTL_SERIAL_LSRMST_INSERT, {0x1B}).status, STATUS_SUCCESS);
  EXPECT_EQ(set(IOCTL_SERIAL_SET_CHARS, SERIAL_CHARS{0, 0, 0, 0, 0x1B, 0x13}).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR,
                                                           0, 0})
                .status,
            STATUS_INVALID_PARAMETER);
  ASSERT_EQ(ioctl(IOCTL_SERIAL_LSRMST_INSERT, {0}).status, STATUS_SUCCESS);
  EXPECT_EQ(set(IOCTL_SERIAL_SET_CHARS, SERIAL_CHARS{0, 0, 0, 0, 0x1B, 0x13}).status, STATUS_SUCCESS);
}

TEST_F(IoctlTest, XonEqualToXoffIsRefusedAndTheCharactersStay) {
  EXPECT_EQ(set(IOCTL_SERIAL_SET_CHARS, SERIAL_CHARS{0, 0, 0, 0, 0x1B, 0x1B}).status, STATUS_INVALID_PARAMETER);
  auto chars = get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
  EXPECT_EQ(chars.XonChar, 0x11);
  EXPECT_EQ(chars.XoffChar, 0x13);
}

TEST_F(IoctlTest, TimeoutsRefuseOnlyAllReadFieldsAtMaximum) {
  EXPECT_EQ(set(IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{MAXULONG, MAXULONG, MAXULONG, 1, 2}).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(set(IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{MAXULONG, MAXULONG, 5, 1, 2}).status, STATUS_SUCCESS);
  auto t = get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 5u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 2u);
}

// Each request moves its own line and keeps the other as set (the port was
// never opened: both start off); a line its handshake mode drives refuses.
TEST_F(IoctlTest, DtrAndRtsRulesFollowTheHandshakeFields) {
  for (ULONG code : {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_CLR_RTS})
    EXPECT_EQ(ioctl(code).status, STATUS_SUCCESS);
  auto sent = model->classRequests();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].value, 1);
  EXPECT_EQ(sent[1].value, 3);
  EXPECT_EQ(sent[2].value, 2);
  EXPECT_EQ(sent[3].value, 0);

  model->clearRecords();
  ASSERT_EQ(set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0, 0}).status,
            STATUS_SUCCESS);
  ASSERT_EQ(model->classRequests().size(), 1u);
  EXPECT_EQ(model->classRequests()[0].value, 3) << "both handshakes raise their line";
  model->clearRecords();
  EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_DTR).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_RTS).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ioctl(IOCTL_SERIAL_CLR_RTS).status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(model->classRequests().empty());
}

TEST_F(IoctlTest, WaitMaskAndPurgeMasksAreChecked) {
  EXPECT_EQ(set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(0x2000)).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(0x1FFF)).status, STATUS_SUCCESS);
  EXPECT_EQ(get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0x1FFFu);
  EXPECT_EQ(set(IOCTL_SERIAL_PURGE, ULONG(0)).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(set(IOCTL_SERIAL_PURGE, ULONG(0x10)).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(set(IOCTL_SERIAL_PURGE, ULONG(0x0F)).status, STATUS_SUCCESS);
  EXPECT_EQ(set(IOCTL_SERIAL_XOFF_COUNTER, SERIAL_XOFF_COUNTER{100, 0, 0x13}).status, STATUS_INVALID_PARAMETER);
}

TEST_F(IoctlTest, QueueSizeNeverChangesTheReceiveBufferAndLeavesNoPool) {
  size_t before = sim::poolInUse().bytes;
  EXPECT_EQ(set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{4096, 0}).status, STATUS_SUCCESS);
  EXPECT_EQ(set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{1 << 20, 0}).status, STATUS_SUCCESS);
  EXPECT_EQ(c->rxBufferSize, 409600u);
  EXPECT_EQ(sim::poolInUse().bytes, before) << "the quota-charged buffer is not kept";
  sim::faults::arm(1);
  EXPECT_EQ(set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{1 << 20, 0}).status, STATUS_INSUFFICIENT_RESOURCES);
  sim::faults::disarm();
}

TEST_F(IoctlTest, UnderErrorAbortARecordedErrorRefusesAllButCommStatus) {
  ASSERT_EQ(set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT,
                                                           SERIAL_RTS_CONTROL, 0, 0})
                .status,
            STATUS_SUCCESS);
  c->errorWord = SERIAL_ERROR_QUEUEOVERRUN;  // as the receive path records an overrun
  EXPECT_EQ(ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).status, STATUS_CANCELLED);
  EXPECT_EQ(set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0}).status,
            STATUS_CANCELLED);
  std::vector<uint8_t> out;
  ASSERT_EQ(ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS), &out).status, STATUS_SUCCESS);
  SERIAL_STATUS status;
  std::memcpy(&status, out.data(), sizeof status);
  EXPECT_EQ(status.Errors, ULONG(SERIAL_ERROR_QUEUEOVERRUN)) << "the comm-status query reports the error";
  EXPECT_EQ(ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).status, STATUS_SUCCESS) << "and that ends the lock-out";
}

TEST_F(IoctlTest, RequestsAfterRemovalAreRefused) {
  c->deviceState = DeviceStateSurpriseRemoved;
  EXPECT_EQ(ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).status, STATUS_DELETE_PENDING);
  c->deviceState = DeviceStateStarted;
}

}  // namespace
