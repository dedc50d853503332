// Tests: the Plug and Play dispatch as the simulated manager drives it.
// Requests to the port device object, queries refused while the port is
// open and granted once it is closed, cancelled queries, stop and start
// again, the capabilities answer, and the two removals.
#include "adapter_fixture.h"

#include "driver/serial/queries.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kBulkIn = 0x82;

class PnpTest : public AdapterTest {
 protected:
  void SetUp() override {
    AdapterTest::SetUp();
    a = &plug({.loopback = true}, modemClass());
    ASSERT_EQ(start(*a), STATUS_SUCCESS);
    c = a->context;
  }
  void TearDown() override {
    if (port.isOpen()) port.close();
    AdapterTest::TearDown();
  }
  NTSTATUS pnp(UCHAR minor) { return sim::pnp::send(a->pdo, minor).wait().status; }
  // Writes n bytes and reads them back from the loopback adapter.
  void roundTrip(app::File& file, size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> sent = bytePattern(n, seed), got(n);
    EXPECT_EQ(file.write(sent.data(), ULONG(n)).information, n);
    EXPECT_EQ(file.read(got.data(), ULONG(n)).information, n);
    EXPECT_EQ(got, sent);
  }
  bool busSaw(UCHAR minor) {
    auto seen = sim::pnp::busPnpRequests(a->pdo);
    return std::find(seen.begin(), seen.end(), minor) != seen.end();
  }

  Adapter* a = nullptr;
  DeviceContext* c = nullptr;
  app::File port;
};

TEST_F(PnpTest, ARequestToThePortDeviceObjectIsNotImplementedAndStaysThere) {
  size_t before = sim::pnp::busPnpRequests(a->pdo).size();
  app::Request r = app::sendToDevice(c->portDevice, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE);
  EXPECT_EQ(r.wait().status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(sim::pnp::busPnpRequests(a->pdo).size(), before) << "not passed down";
  EXPECT_EQ(c->deviceState, DeviceStateStarted);
  EXPECT_EQ(c->outstandingIo, 1);
}

// While the port is open both queries are refused and nothing stops: the
// readers stay on the bus and requests still run. Closed, they are granted.
TEST_F(PnpTest, QueriesAreRefusedWhileThePortIsOpenAndGrantedOnceClosed) {
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  app::Request read = port.readAsync(4);
  EXPECT_EQ(sim::pnp::removeDevice(a->pdo), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(sim::pnp::stopDevice(a->pdo), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(c->deviceState, DeviceStateStarted);
  EXPECT_FALSE(read.done()) << "nothing cancelled";
  EXPECT_EQ(a->model->pendingTransfers(kBulkIn), TzSerialBulkInSlots);
  const uint8_t bytes[4] = {1, 2, 3, 4};
  EXPECT_EQ(port.write(bytes, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(read.wait().information, 4u) << "the port still carries data";
  port.close();

  EXPECT_EQ(pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(c->deviceState, DeviceStateRemovePending);
  EXPECT_EQ(c->previousState, DeviceStateStarted);
}

// Granted and cancelled, a query leaves the port as it was: it opens, and
// reads, writes and control requests run. The port was closed, so no
// transfer was resubmitted by the resume.
TEST_F(PnpTest, AfterACancelledQueryThePortWorksAgain) {
  for (UCHAR query : {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE}) {
    SCOPED_TRACE(int(query));
    ASSERT_EQ(pnp(query), STATUS_SUCCESS);
    app::Request control = app::ioctlToDevice(c->portDevice, IOCTL_SERIAL_GET_BAUD_RATE, {}, 4);
    sim::runReady();
    EXPECT_FALSE(control.done()) << "held while the query stands";
    EXPECT_EQ(pnp(query == IRP_MN_QUERY_REMOVE_DEVICE ? IRP_MN_CANCEL_REMOVE_DEVICE : IRP_MN_CANCEL_STOP_DEVICE),
              STATUS_SUCCESS);
    EXPECT_EQ(control.wait().status, STATUS_SUCCESS);
    EXPECT_EQ(c->deviceState, DeviceStateStarted);
    EXPECT_EQ(a->model->pendingTransfers(kBulkIn), 0u);

    ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
    roundTrip(port, 100);
    SERIAL_BAUD_RATE rate = {9600};
    EXPECT_EQ(port.ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, nullptr, 0).status, STATUS_SUCCESS);
    port.close();
  }
}

// A cancel is forwarded and succeeds whatever the lower drivers say (the
// platform lets no driver fail it): without a query the state stays; after
// a granted query the port resumes, and a create is admitted again.
TEST_F(PnpTest, ACancelIsForwardedAndSucceedsEvenWhenTheLowerDriversFailIt) {
  sim::pnp::PhysicalDeviceOptions failing = modemClass();
  failing.pnpFailures = {{IRP_MN_CANCEL_STOP_DEVICE, STATUS_UNSUCCESSFUL},
                         {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_UNSUCCESSFUL}};
  Adapter& b = plug({}, failing, u"COM8");
  ASSERT_EQ(start(b), STATUS_SUCCESS);
  EXPECT_EQ(sim::pnp::send(b.pdo, IRP_MN_CANCEL_STOP_DEVICE).wait().status, STATUS_SUCCESS);
  EXPECT_EQ(sim::pnp::send(b.pdo, IRP_MN_CANCEL_REMOVE_DEVICE).wait().status, STATUS_SUCCESS);
  auto seen = sim::pnp::busPnpRequests(b.pdo);
  EXPECT_NE(std::find(seen.begin(), seen.end(), IRP_MN_CANCEL_STOP_DEVICE), seen.end()) << "forwarded";
  EXPECT_EQ(b.context->deviceState, DeviceStateStarted);

  for (UCHAR query : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE}) {
    ASSERT_EQ(sim::pnp::send(b.pdo, query).wait().status, STATUS_SUCCESS);
    UCHAR cancel = query == IRP_MN_QUERY_STOP_DEVICE ? IRP_MN_CANCEL_STOP_DEVICE : IRP_MN_CANCEL_REMOVE_DEVICE;
    EXPECT_EQ(sim::pnp::send(b.pdo, cancel).wait().status, STATUS_SUCCESS);
    EXPECT_EQ(b.context->deviceState, DeviceStateStarted);
    app::File port;
    EXPECT_EQ(app::File::open(u"\\??\\COM8", port), STATUS_SUCCESS) << "the queues run again";
    EXPECT_EQ(port.write("x", 1).status, STATUS_SUCCESS);
  }
}

// A start the lower drivers fail is completed with their status and tears
// nothing down; the adapter was never configured.
TEST_F(PnpTest, AStartTheBusFailsIsAnsweredWithItsStatus) {
  sim::pnp::PhysicalDeviceOptions failing = modemClass();
  failing.pnpFailures = {{IRP_MN_START_DEVICE, STATUS_INSUFFICIENT_RESOURCES}};
  Adapter& b = plug({}, failing, u"COM8");
  EXPECT_EQ(start(b), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(b.context->deviceState, DeviceStateNotStarted);
  EXPECT_TRUE(b.model->urbs().empty()) << "nothing went to the adapter";
  EXPECT_NE(b.context->rxBuffer, nullptr) << "nothing torn down";
}

// After stop and start the resources are back and the port carries data.
TEST_F(PnpTest, StopThenStartAndTheLoopbackWorks) {
  ASSERT_EQ(sim::pnp::stopDevice(a->pdo), STATUS_SUCCESS);
  EXPECT_EQ(c->deviceState, DeviceStateStopped);
  EXPECT_EQ(c->rxBuffer, nullptr);
  EXPECT_FALSE(sim::symbolicLinkTarget(u"\\??\\COM7")) << "the name went with the stop";
  ASSERT_EQ(start(*a), STATUS_SUCCESS);
  EXPECT_EQ(c->deviceState, DeviceStateStarted);
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  roundTrip(port, 64 * 1024);
}

// The bus says the device can wake the system from D2; the port never arms
// a wait-wake request, so it claims no wake that would never come.
TEST_F(PnpTest, CapabilitiesAddWhatTheAdapterCanDoInD1AndD2AndClaimNoWake) {
  DEVICE_CAPABILITIES caps = sim::pnp::initialCapabilities();
  ASSERT_EQ(sim::pnp::queryCapabilities(a->pdo, caps), STATUS_SUCCESS);
  ULONG flags;
  std::memcpy(&flags, reinterpret_cast<const uint8_t*>(&caps) + 4, sizeof flags);
  EXPECT_EQ(flags & 0x203u, 0x203u) << "D1, D2, surprise removal";
  EXPECT_EQ(flags & 0x3C00u, 0u) << "no wake from any device state";
  EXPECT_EQ(caps.D1Latency, 4000u);
  EXPECT_EQ(caps.D2Latency, 5000u);
  EXPECT_TRUE(caps.Removable) << "what the bus said stays";
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
  EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified);
  EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);

  size_t before = sim::pnp::busPnpRequests(a->pdo).size();
  DEVICE_CAPABILITIES other = sim::pnp::initialCapabilities();
  other.Version = 2;
  DEVICE_CAPABILITIES copy = other;
  EXPECT_EQ(sim::pnp::queryCapabilities(a->pdo, other), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(&other, &copy, sizeof other), 0) << "unchanged";
  EXPECT_EQ(sim::pnp::busPnpRequests(a->pdo).size(), before) << "not passed down";
}

TEST_F(PnpTest, OtherMinorFunctionsPassDownUntouched) {
  app::Request r = sim::pnp::send(a->pdo, IRP_MN_QUERY_ID);
  EXPECT_EQ(r.wait().status, STATUS_NOT_SUPPORTED) << "the status the manager preset";
  EXPECT_TRUE(busSaw(IRP_MN_QUERY_ID));
}

// Removal after a surprise removal does not tear down again but still
// deletes both device objects; the pending removal notification completed
// at the surprise removal, once, with 1. Later requests are refused.
TEST_F(PnpTest, SurpriseRemovalThenRemovalDeletesTheDeviceObjects) {
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  app::Request notify = port.ioctlAsync(IoctlVendorRemovalNotify, {}, 4);
  sim::runReady();
  ASSERT_FALSE(notify.done());
  a->model->disconnect();
  ASSERT_EQ(pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  ASSERT_TRUE(notify.done());
  EXPECT_EQ(notify.result().status, STATUS_SUCCESS);
  EXPECT_EQ(notify.result().information, 4u);
  uint32_t value = 0;
  std::memcpy(&value, notify.data().data(), 4);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(port.readAsync(1).wait().status, STATUS_DELETE_PENDING);
  EXPECT_FALSE(sim::symbolicLinkTarget(u"\\??\\COM7"));

  ASSERT_EQ(pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(debugLogged("Enter TzserialPnp IRP_MN_REMOVE_DEVICE ++ \n"));
  EXPECT_EQ(a->pdo->AttachedDevice, nullptr) << "detached";
  EXPECT_EQ(sim::findDevice(u"\\Device\\TALVENO0"), nullptr);
  EXPECT_EQ(port.close().status, STATUS_SUCCESS) << "the open handle still closes";
  EXPECT_EQ(driver->DeviceObject, nullptr) << "both device objects are gone";
  EXPECT_EQ(sim::poolInUse(TzSerialPoolTag).blocks, 0u);
  a->context = nullptr;
}

// A surprise removal the adapter does not notice (it stays on the bus and
// keeps refusing bulk-out data): the writes and the control characters stuck
// on the bus are cancelled, so the tear-down does not wait for them forever.
TEST_F(PnpTest, SurpriseRemovalCancelsTransmissionsTheAdapterHolds) {
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  a->model->holdBulkOut(true);
  app::Request write = port.writeAsync(bytePattern(100, 1));
  const UCHAR character = 'x';
  app::Request immediate = port.ioctlAsync(IOCTL_SERIAL_IMMEDIATE_CHAR, {&character, 1}, 0);
  sim::runReady();
  ASSERT_FALSE(write.done());
  ASSERT_FALSE(immediate.done());
  ASSERT_EQ(pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(write.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(immediate.wait().status, STATUS_CANCELLED);
  EXPECT_TRUE(KeReadStateEvent(&c->txIdle)) << "nothing left on the bus";
  ASSERT_EQ(pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  port.close();
  a->context = nullptr;
}

// Without a surprise removal first, the removal completes the notification.
TEST_F(PnpTest, RemovalAloneCompletesTheNotification) {
  app::Request notify = app::ioctlToDevice(c->portDevice, IoctlVendorRemovalNotify, {}, 4);
  sim::runReady();
  ASSERT_FALSE(notify.done());
  EXPECT_EQ(sim::pnp::removeDevice(a->pdo), STATUS_SUCCESS);
  EXPECT_EQ(notify.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(driver->DeviceObject, nullptr);
  a->context = nullptr;
}

}  // namespace
