// Tests of the simulated kernel: the WMI library's dispatch helper for a
// provider without data blocks, and the object manager's names and references.
#include "fragment.h"

#include <wmilib.h>

#include <cstring>

namespace {

const GUID kSomeBlock = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

UNICODE_STRING kRegistryPath;

NTSTATUS queryRegInfo(PDEVICE_OBJECT, PULONG regFlags, PUNICODE_STRING, PUNICODE_STRING* registryPath,
                      PUNICODE_STRING, PDEVICE_OBJECT*) {
  *regFlags = 0;
  *registryPath = &kRegistryPath;
  return STATUS_SUCCESS;
}

// A provider device on top of a fragment device: it hands every system
// control request to WmiSystemControl and does what the disposition says.
class WmiTest : public FragmentTest {
 protected:
  void SetUp() override {
    FragmentTest::SetUp();
    RtlInitUnicodeString(&kRegistryPath, reinterpret_cast<PCWSTR>(u"\\Registry\\Machine\\Svc"));
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = driver->MajorFunction[IRP_MJ_CREATE];
    addDevice();
    provider = addDevice(frag::onlyFor(IRP_MJ_SYSTEM_CONTROL, [this](PDEVICE_OBJECT device, PIRP irp) {
      NTSTATUS status = WmiSystemControl(&context, device, irp, &disposition);
      returned = status;
      switch (disposition) {
        case IrpProcessed:
          return status;
        case IrpNotCompleted:
          IoCompleteRequest(irp, IO_NO_INCREMENT);
          return status;
        default:
          return frag::passDown(device, irp);
      }
    }));
  }
  app::Result send(UCHAR minor, ULONG_PTR providerId, const GUID* guid = &kSomeBlock, void* buffer = nullptr,
                   ULONG size = 0) {
    return app::sendToDevice(provider, IRP_MJ_SYSTEM_CONTROL, minor, [=](PIO_STACK_LOCATION next) {
             next->Parameters.WMI.ProviderId = providerId;
             next->Parameters.WMI.DataPath = const_cast<GUID*>(guid);
             next->Parameters.WMI.Buffer = buffer;
             next->Parameters.WMI.BufferSize = size;
           })
        .wait();
  }
  ULONG_PTR self() const { return reinterpret_cast<ULONG_PTR>(provider); }

  WMILIB_CONTEXT context{};
  PDEVICE_OBJECT provider = nullptr;
  SYSCTL_IRP_DISPOSITION disposition = IrpProcessed;
  NTSTATUS returned = STATUS_PENDING;
};

// Another provider's request and a minor function WMI does not know go down
// untouched: the bottom fragment completes them with success.
TEST_F(WmiTest, RequestsNotForThisProviderAreLeftToTheCaller) {
  EXPECT_EQ(send(IRP_MN_QUERY_ALL_DATA, self() + 16).status, STATUS_SUCCESS);
  EXPECT_EQ(disposition, IrpForward);
  EXPECT_EQ(returned, STATUS_NOT_SUPPORTED) << "the status the IRP came with";
  EXPECT_EQ(send(IRP_MN_REGINFO_EX + 1, self()).status, STATUS_SUCCESS);
  EXPECT_EQ(disposition, IrpNotWmi);
  EXPECT_EQ(send(0x0A, self()).status, STATUS_SUCCESS);
  EXPECT_EQ(disposition, IrpNotWmi);
}

// With no data blocks, every data-block and event request names an unknown
// GUID; the library sets the failure up and the caller completes it.
TEST_F(WmiTest, DataBlockRequestsForAnUnknownGuidFail) {
  for (UCHAR minor : {IRP_MN_QUERY_ALL_DATA, IRP_MN_QUERY_SINGLE_INSTANCE, IRP_MN_CHANGE_SINGLE_INSTANCE,
                      IRP_MN_CHANGE_SINGLE_ITEM, IRP_MN_ENABLE_EVENTS, IRP_MN_DISABLE_COLLECTION,
                      IRP_MN_EXECUTE_METHOD}) {
    EXPECT_EQ(send(minor, self()).status, STATUS_WMI_GUID_NOT_FOUND) << int(minor);
    EXPECT_EQ(disposition, IrpNotCompleted);
    EXPECT_EQ(returned, STATUS_WMI_GUID_NOT_FOUND);
  }
  EXPECT_EQ(send(IRP_MN_QUERY_ALL_DATA, self(), nullptr).status, STATUS_WMI_GUID_NOT_FOUND) << "no GUID at all";
}

// Registration without the (required) callback fails; with it, the library
// writes a record with no GUIDs, or asks for a larger buffer.
TEST_F(WmiTest, RegistrationInfoComesFromTheCallback) {
  EXPECT_EQ(send(IRP_MN_REGINFO, self()).status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(disposition, IrpNotCompleted);

  context.QueryWmiRegInfo = queryRegInfo;
  ULONG needed = 20 + 2 + kRegistryPath.Length;
  uint8_t small[8] = {};
  EXPECT_EQ(send(IRP_MN_REGINFO_EX, self(), nullptr, small, sizeof small).status, STATUS_BUFFER_TOO_SMALL);
  ULONG asked;
  std::memcpy(&asked, small, sizeof asked);
  EXPECT_EQ(asked, needed);

  std::vector<uint8_t> buffer(needed + 8, 0xCC);
  app::Result r = send(IRP_MN_REGINFO, self(), nullptr, buffer.data(), ULONG(buffer.size()));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, needed);
  EXPECT_EQ(disposition, IrpNotCompleted);
  ULONG header[5];
  std::memcpy(header, buffer.data(), sizeof header);
  EXPECT_EQ(header[0], needed);  // BufferSize
  EXPECT_EQ(header[2], 20u);     // RegistryPath offset
  EXPECT_EQ(header[3], 0u);      // no MOF resource
  EXPECT_EQ(header[4], 0u);      // GuidCount
  USHORT length;
  std::memcpy(&length, buffer.data() + 20, sizeof length);
  EXPECT_EQ(length, kRegistryPath.Length);
  EXPECT_EQ(std::memcmp(buffer.data() + 22, kRegistryPath.Buffer, length), 0);
}

using ObjectTest = FragmentTest;

NTSTATUS referenceByName(const char16_t* name, POBJECT_TYPE type, PVOID* object,
                         ULONG attributes = OBJ_CASE_INSENSITIVE) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, reinterpret_cast<PCWSTR>(name));
  return ObReferenceObjectByName(&u, attributes, nullptr, 0, type, KernelMode, nullptr, object);
}

TEST_F(ObjectTest, NamesFindDriversAndDevicesOfTheRightType) {
  ASSERT_NE(IoDriverObjectType, nullptr);
  ASSERT_NE(IoDeviceObjectType, nullptr);
  EXPECT_NE(*IoDriverObjectType, *IoDeviceObjectType);
  PDEVICE_OBJECT named = addDevice({}, u"\\Device\\Frag0");
  PVOID object = nullptr;

  EXPECT_EQ(referenceByName(u"\\DRIVER\\Frag", *IoDriverObjectType, &object), STATUS_SUCCESS);
  EXPECT_EQ(object, driver);
  EXPECT_EQ(referenceByName(u"\\Driver\\frag", *IoDriverObjectType, &object, 0), STATUS_SUCCESS) << "exact case";
  EXPECT_EQ(referenceByName(u"\\Driver\\FRAG", *IoDriverObjectType, &object, 0), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(sim::objectReferenceCount(driver), 3);
  EXPECT_EQ(referenceByName(u"\\device\\frag0", *IoDeviceObjectType, &object), STATUS_SUCCESS);
  EXPECT_EQ(object, named);
  EXPECT_EQ(referenceByName(u"\\Device\\Frag0", *IoDriverObjectType, &object), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(referenceByName(u"\\Driver\\Absent", *IoDriverObjectType, &object), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(sim::objectReferenceCount(named), 2);

  EXPECT_EQ(ObDereferenceObject(named), 1);
  EXPECT_EQ(ObDereferenceObject(driver), 2);
  EXPECT_EQ(ObDereferenceObject(driver), 1);
  EXPECT_EQ(sim::objectReferenceCount(driver), 1) << "the base reference";
  EXPECT_VERIFIER_STOP(ObDereferenceObject(driver), "more dereferences than references taken");
}

TEST_F(ObjectTest, ReferencesAreCheckedAtTheirIrqlAndWhenTheObjectGoes) {
  PDEVICE_OBJECT named = addDevice({}, u"\\Device\\Frag0");
  PVOID object = nullptr;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_VERIFIER_STOP(referenceByName(u"\\Driver\\frag", nullptr, &object), "called above PASSIVE_LEVEL");
  KeLowerIrql(old);
  ASSERT_EQ(referenceByName(u"\\Device\\Frag0", nullptr, &object), STATUS_SUCCESS);
  EXPECT_VERIFIER_STOP(IoDeleteDevice(named), "still holds 1 reference(s)");
  reboot();
  EXPECT_VERIFIER_STOP(ObDereferenceObject(&object), "not a driver or device object");
}

}  // namespace
