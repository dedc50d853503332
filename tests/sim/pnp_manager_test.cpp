// Tests of the simulated kernel: the Plug and Play manager's sequences, the
// bus driver's answers to them, and device objects deleted while a handle
// still refers to them.
#include "fragment.h"
#include "sim/pnp.h"

#include <algorithm>

namespace {

// A one-device function driver: a named device object attached to the PDO,
// which records the Plug and Play requests it sees, refuses query-stop when
// told, and on removal detaches and deletes itself.
struct Stacked {
  static inline PDEVICE_OBJECT fdo = nullptr;
  static inline PDEVICE_OBJECT lower = nullptr;
  static inline std::vector<UCHAR> seen;
  static inline bool refuseQueryStop = false;
  static inline bool closed = false;
  static inline bool refuseCreates = false;

  static NTSTATUS complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  static NTSTATUS pnp(PDEVICE_OBJECT self, PIRP irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    seen.push_back(minor);
    if (minor == IRP_MN_QUERY_STOP_DEVICE && refuseQueryStop) return complete(irp, STATUS_UNSUCCESSFUL);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
      IoDetachDevice(lower);
      IoDeleteDevice(self);
      fdo = nullptr;
    }
    return status;
  }
  static NTSTATUS succeed(PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); }
  static NTSTATUS create(PDEVICE_OBJECT, PIRP irp) {
    return complete(irp, refuseCreates ? STATUS_DEVICE_BUSY : STATUS_SUCCESS);
  }
  static NTSTATUS close(PDEVICE_OBJECT, PIRP irp) {
    closed = true;
    return complete(irp, STATUS_SUCCESS);
  }
  static NTSTATUS addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(u"\\Device\\Stacked"));
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
  }
  static NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = pnp;
    driver->MajorFunction[IRP_MJ_CREATE] = create;
    driver->MajorFunction[IRP_MJ_CLEANUP] = succeed;
    driver->MajorFunction[IRP_MJ_CLOSE] = close;
    driver->DriverExtension->AddDevice = addDevice;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
  }
};

class PnpManagerTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    Stacked::seen.clear();
    Stacked::refuseQueryStop = Stacked::closed = Stacked::refuseCreates = false;
    driver = sim::loadDriver(u"stacked", Stacked::entry);
  }
  void plug(sim::pnp::PhysicalDeviceOptions options = {}) {
    pdo = sim::pnp::createPhysicalDevice(options);
    ASSERT_EQ(sim::pnp::addDevice(driver, pdo), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (sim::pnp::isPlugged(pdo)) {
      if (pdo->AttachedDevice) sim::pnp::send(pdo, IRP_MN_REMOVE_DEVICE).wait();
      sim::pnp::deletePhysicalDevice(pdo);
    }
    sim::unloadDriver(driver);
    SimTest::TearDown();
  }
  // After a deliberate verifier stop: a fresh kernel with the driver and
  // nothing plugged.
  void reboot() {
    sim::boot();
    driver = sim::loadDriver(u"stacked", Stacked::entry);
    pdo = nullptr;
  }
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
};

TEST_F(PnpManagerTest, StartIsFollowedByTheCapabilitiesTheBusFills) {
  plug();
  ASSERT_EQ(sim::pnp::startDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(Stacked::seen, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES}));

  DEVICE_CAPABILITIES caps = sim::pnp::initialCapabilities();
  ASSERT_EQ(sim::pnp::queryCapabilities(pdo, caps), STATUS_SUCCESS);
  EXPECT_TRUE(caps.Removable);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
  EXPECT_EQ(caps.UINumber, 0xFFFFFFFFu) << "left as the manager set it";
  DEVICE_CAPABILITIES other = sim::pnp::initialCapabilities();
  other.Version = 2;
  ASSERT_EQ(sim::pnp::queryCapabilities(pdo, other), STATUS_SUCCESS);
  EXPECT_FALSE(other.Removable) << "a record of another version is not filled";
}

TEST_F(PnpManagerTest, AQueryThatIsRefusedIsCancelledAndOneGrantedIsCarriedOut) {
  sim::pnp::PhysicalDeviceOptions options;
  options.pnpFailures = {{IRP_MN_QUERY_REMOVE_DEVICE, STATUS_UNSUCCESSFUL}};
  plug(options);
  ASSERT_EQ(sim::pnp::startDevice(pdo), STATUS_SUCCESS);
  Stacked::seen.clear();
  Stacked::refuseQueryStop = true;
  EXPECT_EQ(sim::pnp::stopDevice(pdo), STATUS_UNSUCCESSFUL);
  Stacked::refuseQueryStop = false;
  EXPECT_EQ(sim::pnp::stopDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(sim::pnp::removeDevice(pdo), STATUS_UNSUCCESSFUL) << "the bus refused it";
  EXPECT_EQ(Stacked::seen,
            (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
                                IRP_MN_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
  EXPECT_NE(pdo->AttachedDevice, nullptr);
}

// A handle open on the stack holds the removal back until it closes; the
// device object then goes at once, and the PDO leaves the bus.
TEST_F(PnpManagerTest, SurpriseRemovalWaitsForTheStacksLastHandle) {
  plug();
  ASSERT_EQ(sim::pnp::startDevice(pdo), STATUS_SUCCESS);
  app::File handle;
  ASSERT_EQ(app::File::open(u"\\Device\\Stacked", handle), STATUS_SUCCESS);
  Stacked::seen.clear();
  sim::pnp::surpriseRemove(pdo);
  EXPECT_EQ(Stacked::seen, std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL});
  EXPECT_TRUE(sim::pnp::isPlugged(pdo));
  handle.close();
  EXPECT_TRUE(Stacked::closed);
  EXPECT_EQ(Stacked::seen, (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_FALSE(sim::pnp::isPlugged(pdo));
  EXPECT_EQ(driver->DeviceObject, nullptr);
}

// Deleted while a handle is open, a device loses its name at once but stays
// for the handle's requests and close; it goes with the last handle.
TEST_F(PnpManagerTest, ADeviceDeletedWithAnOpenHandleGoesWithTheLastHandle) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(u"\\Device\\Named"));
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 8, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  app::File handle;
  ASSERT_EQ(app::File::open(u"\\Device\\Named", handle), STATUS_SUCCESS);
  IoDeleteDevice(device);
  EXPECT_EQ(sim::findDevice(u"\\Device\\Named"), nullptr) << "no new opens";
  EXPECT_EQ(driver->DeviceObject, device) << "still there for the handle";
  EXPECT_EQ(handle.close().status, STATUS_SUCCESS);
  EXPECT_TRUE(Stacked::closed) << "the close reached the driver";
  EXPECT_EQ(driver->DeviceObject, nullptr);
}

// The manager cannot refuse a create on a device of a node whose query was
// granted (the device may be beside the stack): a driver that admits one is
// stopped; one that refuses it until the cancel is not.
TEST_F(PnpManagerTest, ACreateAdmittedAfterAGrantedQueryIsAVerifierStop) {
  plug();
  ASSERT_EQ(sim::pnp::startDevice(pdo), STATUS_SUCCESS);
  app::File file;
  for (UCHAR query : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE}) {
    ASSERT_EQ(sim::pnp::send(pdo, query).wait().status, STATUS_SUCCESS);
    Stacked::refuseCreates = true;
    EXPECT_EQ(app::File::open(u"\\Device\\Stacked", file), STATUS_DEVICE_BUSY);
    Stacked::refuseCreates = false;
    UCHAR cancel = query == IRP_MN_QUERY_STOP_DEVICE ? IRP_MN_CANCEL_STOP_DEVICE : IRP_MN_CANCEL_REMOVE_DEVICE;
    ASSERT_EQ(sim::pnp::send(pdo, cancel).wait().status, STATUS_SUCCESS);
    ASSERT_EQ(app::File::open(u"\\Device\\Stacked", file), STATUS_SUCCESS) << "admitted again after the cancel";
    file.close();
  }
  ASSERT_EQ(sim::pnp::send(pdo, IRP_MN_QUERY_REMOVE_DEVICE).wait().status, STATUS_SUCCESS);
  EXPECT_VERIFIER_STOP(app::File::open(u"\\Device\\Stacked", file), "query-remove was granted and not cancelled");
  reboot();
}

TEST_F(PnpManagerTest, ACancelOfAQueryCompletedWithAFailureIsAVerifierStop) {
  sim::pnp::PhysicalDeviceOptions options;
  options.pnpFailures = {{IRP_MN_CANCEL_STOP_DEVICE, STATUS_UNSUCCESSFUL}};
  plug(options);
  ASSERT_EQ(sim::pnp::startDevice(pdo), STATUS_SUCCESS);
  ASSERT_EQ(sim::pnp::send(pdo, IRP_MN_QUERY_STOP_DEVICE).wait().status, STATUS_SUCCESS);
  EXPECT_VERIFIER_STOP(sim::pnp::send(pdo, IRP_MN_CANCEL_STOP_DEVICE).wait(), "must succeed it");
  reboot();
}

}  // namespace
