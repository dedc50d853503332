// Tests: the adapter's control requests as they appear on the bus. Which
// adapters get class requests at all, the exact setup packets and data bytes,
// stalls that still count as success, and the 3-second limit on the virtual
// clock for an adapter that never answers.
#include "adapter_fixture.h"
#include "driver/usb/control_requests.h"


namespace {

using sim::usb::Answer;
using sim::usb::UrbRecord;

class ControlRequestTest : public AdapterTest {
 protected:
  // A started modem-class adapter with all three pipes.
  Adapter& startedModem(sim::usb::AdapterOptions options = {}) {
    Adapter& a = plug(std::move(options), modemClass());
    EXPECT_EQ(start(a), STATUS_SUCCESS);
    a.model->clearRecords();
    return a;
  }
};

TEST_F(ControlRequestTest, DtrRequestsCarryTheLineStateOnTheCommunicationInterface) {
  Adapter& a = startedModem();
  for (USHORT state : {3, 2, 1, 0}) EXPECT_EQ(TzSerialSetControlLineState(a.context, state), STATUS_SUCCESS);
  std::vector<UrbRecord> sent = a.model->classRequests();
  const uint16_t expected[] = {3, 2, 1, 0};
  ASSERT_EQ(sent.size(), 4u);
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].requestType, 0x21);
    EXPECT_EQ(sent[i].request, CdcSetControlLineState);
    EXPECT_EQ(sent[i].value, expected[i]);
    EXPECT_EQ(sent[i].index, a.context->controlInterfaceNumber);
    EXPECT_EQ(sent[i].length, 0);
  }
  EXPECT_EQ(a.model->controlLineState(), 0);
}

TEST_F(ControlRequestTest, LineCodingTravelsAsSevenLittleEndianBytes) {
  Adapter& a = startedModem();
  LineCoding coding = {1200, 0, 0, 8};
  ASSERT_EQ(TzSerialSetLineCoding(a.context, &coding), STATUS_SUCCESS);
  std::vector<UrbRecord> sent = a.model->classRequests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].requestType, 0x21);
  EXPECT_EQ(sent[0].request, CdcSetLineCoding);
  EXPECT_EQ(sent[0].dataOut, (std::vector<uint8_t>{0xB0, 0x04, 0x00, 0x00, 0x00, 0x00, 0x08}));
  EXPECT_EQ(a.model->lineCoding().rate, 1200u);

  UCHAR reply[7] = {};
  ASSERT_EQ(TzSerialGetLineCoding(a.context, reply), STATUS_SUCCESS);
  sent = a.model->classRequests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].requestType, 0xA1);
  EXPECT_EQ(sent[1].request, CdcGetLineCoding);
  EXPECT_EQ(sent[1].length, 7);
  EXPECT_EQ(std::vector<uint8_t>(reply, reply + 7), (std::vector<uint8_t>{0xB0, 0x04, 0, 0, 0, 0, 0x08}));
}

TEST_F(ControlRequestTest, OnlyAModemClassAdapterWithAllThreePipesIsEverSentClassRequests) {
  Adapter& ports = plug();  // "Ports" class
  ASSERT_EQ(start(ports), STATUS_SUCCESS);
  sim::usb::AdapterOptions dataOnly;
  dataOnly.configuration = sim::usb::cdcConfiguration(sim::usb::Layout::DataOnly);
  Adapter& noInterrupt = plug(dataOnly, modemClass(), u"COM8");
  ASSERT_EQ(start(noInterrupt), STATUS_SUCCESS);
  ASSERT_EQ(noInterrupt.context->pipeLayout, PipeLayoutDataOnly);

  for (Adapter* a : {&ports, &noInterrupt}) {
    LineCoding coding = {9600, 0, 0, 8};
    UCHAR reply[7];
    EXPECT_EQ(TzSerialSetControlLineState(a->context, 3), STATUS_SUCCESS);
    EXPECT_EQ(TzSerialSetLineCoding(a->context, &coding), STATUS_SUCCESS);
    EXPECT_EQ(TzSerialGetLineCoding(a->context, reply), STATUS_SUCCESS);
    EXPECT_TRUE(a->model->classRequests().empty());
  }
}

TEST_F(ControlRequestTest, AStalledChipCommandStillReportsSuccess) {
  Adapter& a = startedModem();
  a.model->stall(CDC_SET_CONTROL_LINE_STATE);
  EXPECT_EQ(TzSerialSetControlLineState(a.context, 1), STATUS_SUCCESS);
  std::vector<UrbRecord> sent = a.model->classRequests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_FALSE(NT_SUCCESS(sent[0].status)) << "the adapter did reject it";
}

TEST_F(ControlRequestTest, AnAdapterThatNeverAnswersIsCancelledAfterThreeSeconds) {
  Adapter& a = startedModem();
  a.model->neverAnswer(CDC_SET_CONTROL_LINE_STATE);
  int64_t begin = sim::now();
  EXPECT_EQ(TzSerialSetControlLineState(a.context, 1), STATUS_CANCELLED);
  EXPECT_EQ(sim::now() - begin, 3 * sim::kSecond);
  std::vector<UrbRecord> sent = a.model->classRequests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].state, UrbRecord::State::Cancelled);
}

TEST_F(ControlRequestTest, ALateAnswerWithinThreeSecondsIsWaitedForAndOneAfterIsNot) {
  Adapter& a = startedModem();
  a.model->fault({.request = CDC_SET_LINE_CODING}, Answer::Late, 2900 * sim::kMs, 1);
  LineCoding coding = {115200, 0, 0, 8};
  int64_t begin = sim::now();
  EXPECT_EQ(TzSerialSetLineCoding(a.context, &coding), STATUS_SUCCESS);
  EXPECT_EQ(sim::now() - begin, 2900 * sim::kMs);
  EXPECT_EQ(a.model->lineCoding().rate, 115200u);

  a.model->fault({.request = CDC_SET_LINE_CODING}, Answer::Late, 3100 * sim::kMs, 1);
  begin = sim::now();
  coding.dteRate = 300;
  EXPECT_EQ(TzSerialSetLineCoding(a.context, &coding), STATUS_CANCELLED);
  EXPECT_EQ(sim::now() - begin, 3 * sim::kSecond);
  EXPECT_EQ(a.model->lineCoding().rate, 115200u) << "the cancelled request never reached the device";
}

TEST_F(ControlRequestTest, NoRequestIsSentWhenItsUrbOrIrpCannotBeAllocated) {
  Adapter& a = startedModem();
  for (uint64_t failAt : {1, 2}) {
    sim::faults::arm(failAt);
    EXPECT_EQ(TzSerialSetControlLineState(a.context, 3), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(sim::faults::fired());
    sim::faults::disarm();
  }
  EXPECT_TRUE(a.model->classRequests().empty());
}

TEST_F(ControlRequestTest, PipeResetAndRemoteWakeupReachTheDevice) {
  Adapter& a = plug({}, modemClass());
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  EXPECT_TRUE(a.model->remoteWakeupEnabled()) << "asked for at start";
  DeviceContext* c = a.context;
  a.model->clearRecords();
  a.model->haltEndpoint(0x82);
  USBD_PIPE_HANDLE bulkIn = c->interfaceInfo[c->dataInterfaceNumber]->Pipes[c->bulkInPipeIndex].PipeHandle;
  EXPECT_EQ(TzSerialResetPipe(c, bulkIn), STATUS_SUCCESS);
  std::vector<UrbRecord> urbs = a.model->urbs();
  ASSERT_EQ(urbs.size(), 1u);
  EXPECT_EQ(urbs[0].function, URB_FUNCTION_RESET_PIPE);
  EXPECT_EQ(urbs[0].endpoint, 0x82);
}

}  // namespace
