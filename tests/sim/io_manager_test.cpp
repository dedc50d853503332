// Tests of the simulated kernel: the I/O manager as an application sees it.
// Names resolve through \??\ links to the top of the device's stack, unset
// dispatch entries fail, and buffered reads and controls return exactly the
// bytes the driver reported.
#include "fragment.h"

#include <cstring>

namespace {

class IoManagerTest : public FragmentTest {
 protected:
  NTSTATUS link(const char16_t* linkName, const char16_t* target) {
    UNICODE_STRING l, t;
    RtlInitUnicodeString(&l, reinterpret_cast<PCWSTR>(linkName));
    RtlInitUnicodeString(&t, reinterpret_cast<PCWSTR>(target));
    return IoCreateSymbolicLink(&l, &t);
  }
  NTSTATUS unlink(const char16_t* linkName) {
    UNICODE_STRING l;
    RtlInitUnicodeString(&l, reinterpret_cast<PCWSTR>(linkName));
    return IoDeleteSymbolicLink(&l);
  }
};

TEST_F(IoManagerTest, SymbolicLinkOpensTheTopOfTheNamedDevicesStack) {
  PDEVICE_OBJECT named = addDevice({}, u"\\Device\\Frag0");
  PDEVICE_OBJECT filter = addDevice();
  ASSERT_EQ(link(u"\\??\\FRAG7", u"\\Device\\Frag0"), STATUS_SUCCESS);
  EXPECT_EQ(link(u"\\??\\FRAG7", u"\\Device\\Frag0"), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(sim::symbolicLinkTarget(u"\\??\\frag7"), u"\\Device\\Frag0");

  app::File file;
  ASSERT_EQ(app::File::open(u"\\??\\frag7", file), STATUS_SUCCESS);  // names ignore case
  EXPECT_EQ(file.device(), filter);
  EXPECT_EQ(file.fileObject()->DeviceObject, named);
  EXPECT_EQ(file.close().status, STATUS_SUCCESS);
  // Both layers saw create, cleanup and close, in that order.
  auto expected = std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE};
  EXPECT_EQ(frag::layerOf(filter).majorsSeen, expected);
  EXPECT_EQ(frag::layerOf(named).majorsSeen, expected);

  EXPECT_EQ(unlink(u"\\??\\FRAG7"), STATUS_SUCCESS);
  EXPECT_EQ(app::File::open(u"\\??\\FRAG7", file), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(unlink(u"\\??\\FRAG7"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoManagerTest, DeviceStillInitializingCannotBeOpened) {
  PDEVICE_OBJECT device = addDevice({}, u"\\Device\\Frag0");
  device->Flags |= DO_DEVICE_INITIALIZING;
  app::File file;
  EXPECT_EQ(app::File::open(u"\\Device\\Frag0", file), STATUS_NO_SUCH_DEVICE);
  EXPECT_TRUE(frag::layerOf(device).majorsSeen.empty());
}

TEST_F(IoManagerTest, FailedCreateLeavesNoHandle) {
  addDevice([](PDEVICE_OBJECT, PIRP irp) { return frag::complete(irp, STATUS_ACCESS_DENIED); }, u"\\Device\\Frag0");
  app::File file;
  EXPECT_EQ(app::File::open(u"\\Device\\Frag0", file), STATUS_ACCESS_DENIED);
  EXPECT_FALSE(file.isOpen());
}

TEST_F(IoManagerTest, UnsetDispatchEntryFailsAsInvalidDeviceRequest) {
  addDevice({}, u"\\Device\\Frag0");
  app::File file;
  ASSERT_EQ(app::File::open(u"\\Device\\Frag0", file), STATUS_SUCCESS);
  app::Request query = file.sendAsync(IRP_MJ_QUERY_INFORMATION);
  ASSERT_TRUE(query.done());
  EXPECT_EQ(query.result().status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(query.result().information, 0u);
}

TEST_F(IoManagerTest, BufferedReadReturnsOnlyTheBytesReported) {
  addDevice(frag::onlyFor(IRP_MJ_READ,
                          [](PDEVICE_OBJECT, PIRP irp) {
                            EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length, 16u);
                            std::memcpy(irp->AssociatedIrp.SystemBuffer, "hello, world", 12);
                            return frag::complete(irp, STATUS_SUCCESS, 5);
                          }),
            u"\\Device\\Frag0");
  app::File file;
  ASSERT_EQ(app::File::open(u"\\Device\\Frag0", file), STATUS_SUCCESS);
  char buffer[16];
  std::memset(buffer, '.', sizeof buffer);
  app::Result r = file.read(buffer, sizeof buffer);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 5u);
  EXPECT_EQ(std::string(buffer, 6), "hello.");
}

TEST_F(IoManagerTest, FailedBufferedReadLeavesTheCallersBufferUntouched) {
  addDevice(frag::onlyFor(IRP_MJ_READ,
                          [](PDEVICE_OBJECT, PIRP irp) {
                            std::memcpy(irp->AssociatedIrp.SystemBuffer, "junk", 4);
                            return frag::complete(irp, STATUS_DEVICE_REMOVED);
                          }),
            u"\\Device\\Frag0");
  app::File file;
  ASSERT_EQ(app::File::open(u"\\Device\\Frag0", file), STATUS_SUCCESS);
  char buffer[8];
  std::memset(buffer, '.', sizeof buffer);
  app::Result r = file.read(buffer, sizeof buffer);
  EXPECT_EQ(r.status, STATUS_DEVICE_REMOVED);
  EXPECT_EQ(std::string(buffer, 8), "........");
}

TEST_F(IoManagerTest, BufferedWriteHandsTheDriverACopy) {
  std::string received;
  addDevice(frag::onlyFor(IRP_MJ_WRITE,
                          [&](PDEVICE_OBJECT, PIRP irp) {
                            ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
                            received.assign(static_cast<const char*>(irp->AssociatedIrp.SystemBuffer), length);
                            return frag::complete(irp, STATUS_SUCCESS, length);
                          }),
            u"\\Device\\Frag0");
  app::File file;
  ASSERT_EQ(app::File::open(u"\\Device\\Frag0", file), STATUS_SUCCESS);
  EXPECT_EQ(file.write("abc", 3).information, 3u);
  EXPECT_EQ(received, "abc");
}

TEST_F(IoManagerTest, BufferedControlSharesOneBufferAndCopiesBackInformationBytes) {
  constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
  NTSTATUS answer = STATUS_SUCCESS;
  addDevice(frag::onlyFor(IRP_MJ_DEVICE_CONTROL,
                          [&](PDEVICE_OBJECT, PIRP irp) {
                            auto& params = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
                            EXPECT_EQ(params.IoControlCode, kCode);
                            EXPECT_EQ(params.InputBufferLength, 4u);
                            EXPECT_EQ(params.OutputBufferLength, 8u);
                            auto buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
                            EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "ping");  // the input, in place
                            std::memcpy(buffer, "pong!!", 6);
                            return frag::complete(irp, answer, NT_SUCCESS(answer) ? 3 : 0);
                          }),
            u"\\Device\\Frag0");
  app::File file;
  ASSERT_EQ(app::File::open(u"\\Device\\Frag0", file), STATUS_SUCCESS);
  char out[8];
  std::memset(out, '.', sizeof out);
  app::Result r = file.ioctl(kCode, "ping", 4, out, sizeof out);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 3u);
  EXPECT_EQ(std::string(out, 4), "pon.");

  answer = STATUS_INVALID_PARAMETER;  // a failed control returns nothing
  app::Request failed = file.ioctlAsync(kCode, {reinterpret_cast<const uint8_t*>("ping"), 4}, 8);
  EXPECT_EQ(failed.wait().status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(failed.data().empty());
}

TEST_F(IoManagerTest, WaitWithATimeoutLeavesTheRequestPending) {
  PIRP held = nullptr;
  addDevice([&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  });
  app::Request read = app::sendToDevice(layers.back()->device, IRP_MJ_READ, 0);
  EXPECT_EQ(read.wait(100 * sim::kMs).status, STATUS_PENDING);
  EXPECT_EQ(sim::now(), 100 * sim::kMs);
  EXPECT_EQ(read.irp(), held);
  frag::complete(held, STATUS_SUCCESS);
  EXPECT_EQ(read.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(read.irp(), nullptr);
}

}  // namespace
