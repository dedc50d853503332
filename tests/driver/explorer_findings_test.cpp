// Tests: cases the seeded explorer (tests/explore) found, each reduced to the
// few steps that show it. Each comment names the explorer run that found it.
#include "adapter_fixture.h"

#include "driver/serial/queries.h"

namespace {

class ExplorerFindingsTest : public AdapterTest {
 protected:
  Adapter& openLoopback(app::File& port) {
    Adapter& a = plug({.loopback = true}, modemClass());
    EXPECT_EQ(start(a), STATUS_SUCCESS);
    EXPECT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
    return a;
  }
  // An immediate character on a bus that never takes it; it outlives the
  // handle, as a pending immediate request does.
  app::Request strandImmediateChar(Adapter& a, app::File& port) {
    a.model->holdBulkOut(true);
    UCHAR character = 0xB7;
    app::Request immediate = port.ioctlAsync(IOCTL_SERIAL_IMMEDIATE_CHAR, {&character, 1}, 0);
    sim::runReady();
    EXPECT_FALSE(immediate.done());
    EXPECT_EQ(port.close().status, STATUS_SUCCESS);
    EXPECT_FALSE(immediate.done()) << "the close leaves a pending immediate request alone";
    return immediate;
  }
};

// Seeds 166 and 755: a query-stop (or query-remove) of a closed port waited
// for ever for the hold queue while the immediate character's transfer sat
// on a bulk-out pipe the device kept NAKing.
TEST_F(ExplorerFindingsTest, AQueryStopIsNotHeldForeverByACharacterTheBusNeverTakes) {
  app::File port;
  Adapter& a = openLoopback(port);
  app::Request immediate = strandImmediateChar(a, port);
  EXPECT_EQ(sim::pnp::stopDevice(a.pdo), STATUS_SUCCESS);
  EXPECT_EQ(immediate.wait().status, STATUS_CANCELLED);
  a.started = false;
  a.model->holdBulkOut(false);
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  EXPECT_EQ(a.context->charsQueued, 0u);
  const char line[] = "after the stop";
  ASSERT_EQ(port.write(line, sizeof line).status, STATUS_SUCCESS);
  char back[sizeof line] = {};
  ASSERT_EQ(port.read(back, sizeof back).information, sizeof line);
  EXPECT_STREQ(back, line);
  port.close();
}

TEST_F(ExplorerFindingsTest, AQueryRemoveIsNotHeldForeverByACharacterTheBusNeverTakes) {
  app::File port;
  Adapter& a = openLoopback(port);
  app::Request immediate = strandImmediateChar(a, port);
  ASSERT_EQ(sim::pnp::send(a.pdo, IRP_MN_QUERY_REMOVE_DEVICE).wait().status, STATUS_SUCCESS);
  EXPECT_EQ(immediate.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(sim::pnp::send(a.pdo, IRP_MN_CANCEL_REMOVE_DEVICE).wait().status, STATUS_SUCCESS);
  EXPECT_EQ(sim::pnp::removeDevice(a.pdo), STATUS_SUCCESS);
  a.context = nullptr;
}

// Found with the stranded character above: the next open zeroed charsQueued
// while the character still counted in it, and its end then took the count
// below zero, so the transmitter never read as empty again on that port.
TEST_F(ExplorerFindingsTest, ACharacterThatOutlivesItsCloseLeavesTheNextOpenCountingRight) {
  app::File port;
  Adapter& a = openLoopback(port);
  app::Request immediate = strandImmediateChar(a, port);
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  EXPECT_EQ(a.context->charsQueued, 1u) << "the character is still waiting for the bus";
  app::Request write = port.writeAsync(std::vector<uint8_t>{'o', 'k'});
  sim::runReady();
  EXPECT_EQ(a.context->charsQueued, 3u);

  a.model->holdBulkOut(false);
  EXPECT_EQ(immediate.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(write.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(a.context->charsQueued, 0u);
  EXPECT_EQ(a.model->bulkOutData(), (std::vector<uint8_t>{0xB7, 'o', 'k'}));

  // The transmitter still reads as empty once the next write is done.
  ULONG mask = SERIAL_EV_TXEMPTY;
  ASSERT_EQ(port.ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0).status, STATUS_SUCCESS);
  app::Request txEmpty = port.ioctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
  ASSERT_EQ(port.write("!", 1).status, STATUS_SUCCESS);
  sim::runReady();
  ASSERT_TRUE(txEmpty.done()) << "charsQueued is " << a.context->charsQueued;
  EXPECT_EQ(txEmpty.result().status, STATUS_SUCCESS);
  port.close();
}

}  // namespace
