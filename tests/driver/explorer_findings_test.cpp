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
  // An immediate character on a bus that never takes it, then the close:
  // cleanup cancels it, and IRP_MJ_CLOSE follows at once.
  void closeOverStrandedImmediateChar(Adapter& a, app::File& port) {
    a.model->holdBulkOut(true);
    UCHAR character = 0xB7;
    app::Request immediate = port.ioctlAsync(IOCTL_SERIAL_IMMEDIATE_CHAR, {&character, 1}, 0);
    sim::runReady();
    EXPECT_FALSE(immediate.done());
    EXPECT_EQ(port.close().status, STATUS_SUCCESS) << "the close must not wait for the character";
    ASSERT_TRUE(immediate.done());
    EXPECT_EQ(immediate.result().status, STATUS_CANCELLED);
    EXPECT_EQ(a.context->charsQueued, 0u);
    a.model->holdBulkOut(false);
  }
};

// Seeds 166 and 755 (query-stop, query-remove): a closed port's query waited
// for ever for the hold queue while an immediate character's transfer sat on
// a bulk-out pipe the device kept NAKing; the character had outlived the
// handle. Cleanup now ends it, and the port works after the stop.
TEST_F(ExplorerFindingsTest, ACharacterTheBusNeverTakesEndsAtCleanupAndTheStoppedPortWorksAfter) {
  app::File port;
  Adapter& a = openLoopback(port);
  closeOverStrandedImmediateChar(a, port);
  EXPECT_EQ(sim::pnp::stopDevice(a.pdo), STATUS_SUCCESS);
  a.started = false;
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  EXPECT_EQ(a.context->charsQueued, 0u);
  const char line[] = "after the stop";
  ASSERT_EQ(port.write(line, sizeof line).status, STATUS_SUCCESS);
  char back[sizeof line] = {};
  ASSERT_EQ(port.read(back, sizeof back).information, sizeof line);
  EXPECT_STREQ(back, line);
  EXPECT_EQ(a.model->bulkOutData().front(), 'a') << "the cancelled character never went out";
  port.close();
}

// The removal notification and the immediate character are the requests a
// program leaves pending longest; cleanup ends both, so the close comes and
// the next open is admitted.
TEST_F(ExplorerFindingsTest, CleanupEndsTheRemovalNotificationSoTheCloseComesAndTheNextOpenWorks) {
  app::File port;
  Adapter& a = openLoopback(port);
  app::Request notify = port.ioctlAsync(IoctlVendorRemovalNotify, {}, sizeof(ULONG));
  sim::runReady();
  ASSERT_FALSE(notify.done());
  EXPECT_EQ(port.close().status, STATUS_SUCCESS) << "the close must not wait for the notification";
  ASSERT_TRUE(notify.done());
  EXPECT_EQ(notify.result().status, STATUS_CANCELLED);
  EXPECT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  port.close();
  EXPECT_EQ(sim::pnp::removeDevice(a.pdo), STATUS_SUCCESS);
  a.context = nullptr;
}

// Found with the stranded character above: the next open zeroed charsQueued
// while the character still counted in it, and its end then took the count
// below zero, so the transmitter never read as empty again on that port.
TEST_F(ExplorerFindingsTest, TheTransmitterReadsEmptyAfterAnOpenThatFollowsACancelledCharacter) {
  app::File port;
  Adapter& a = openLoopback(port);
  closeOverStrandedImmediateChar(a, port);
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
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
