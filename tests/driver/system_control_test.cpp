// Tests: system control. The driver provides no WMI data: a request for
// another provider goes down unchanged, one for the port is the WMI
// library's to answer, and after removal the port refuses them.
#include "adapter_fixture.h"

namespace {

class SystemControlTest : public AdapterTest {
 protected:
  void SetUp() override {
    AdapterTest::SetUp();
    a = &plug();
    ASSERT_EQ(start(*a), STATUS_SUCCESS);
  }
  app::Request systemControl(PDEVICE_OBJECT target, UCHAR minor, ULONG_PTR provider) {
    return app::sendToDevice(target, IRP_MJ_SYSTEM_CONTROL, minor,
                             [provider](PIO_STACK_LOCATION next) { next->Parameters.WMI.ProviderId = provider; });
  }
  Adapter* a = nullptr;
};

TEST_F(SystemControlTest, ARequestForAnotherProviderGoesDownUnchanged) {
  app::Request r = systemControl(a->pdo, IRP_MN_QUERY_ALL_DATA, ULONG_PTR(a->pdo));
  EXPECT_EQ(r.wait().status, STATUS_NOT_SUPPORTED) << "the bus completed it as it came";
}

TEST_F(SystemControlTest, ARequestForThePortIsAnsweredByTheLibrary) {
  PDEVICE_OBJECT fdo = a->pdo->AttachedDevice;
  app::Request r = systemControl(a->pdo, IRP_MN_QUERY_ALL_DATA, ULONG_PTR(fdo));
  EXPECT_EQ(r.wait().status, STATUS_WMI_GUID_NOT_FOUND) << "no data blocks";
  EXPECT_EQ(a->context->outstandingIo, 1);
}

TEST_F(SystemControlTest, AfterRemovalTheRequestIsRefused) {
  DeviceContext* c = a->context;
  PDEVICE_OBJECT fdo = a->pdo->AttachedDevice;
  app::File port;
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  a->model->disconnect();
  ASSERT_EQ(sim::pnp::send(a->pdo, IRP_MN_SURPRISE_REMOVAL).wait().status, STATUS_SUCCESS);
  ASSERT_EQ(sim::pnp::send(a->pdo, IRP_MN_REMOVE_DEVICE).wait().status, STATUS_SUCCESS);
  // The port device object stays while the handle is open; requests still reach it.
  EXPECT_EQ(systemControl(c->portDevice, IRP_MN_QUERY_ALL_DATA, ULONG_PTR(fdo)).wait().status, STATUS_DELETE_PENDING);
  port.close();
  a->context = nullptr;
}

}  // namespace
