// Tests of the simulated kernel: the verifier's checks on I/O request packets.
// Each test is a deliberately broken driver fragment (a request completed twice,
// freed while held, marked pending inconsistently, deleted under a request in
// flight); the verifier must stop it with a message naming the broken rule.
#include "fragment.h"
#include "sim/pnp.h"

namespace {

using VerifierIrpTest = FragmentTest;

// The completion routine of a filter that keeps the lower driver's pending mark.
NTSTATUS propagatePending(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}
NTSTATUS completeTwice(PDEVICE_OBJECT, PIRP irp) {
  frag::complete(irp, STATUS_SUCCESS);
  return frag::complete(irp, STATUS_SUCCESS);
}

NTSTATUS holdForever(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  return STATUS_PENDING;
}

TEST_F(VerifierIrpTest, ApplicationRequestCompletedTwice) {
  rebootInQuarantine();
  PDEVICE_OBJECT device = addDevice(completeTwice);
  // The first completion finished the request, so the second touches a freed IRP.
  EXPECT_VERIFIER_STOP(app::sendToDevice(device, IRP_MJ_FLUSH_BUFFERS, 0),
                       "IofCompleteRequest: uses an IRP after it was freed");
  reboot();
}

TEST_F(VerifierIrpTest, DriverAllocatedIrpCompletedTwice) {
  PDEVICE_OBJECT device = addDevice(completeTwice);
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE, TRUE, TRUE);
  EXPECT_VERIFIER_STOP(IoCallDriver(device, irp), "completed twice");
  IoFreeIrp(irp);  // it did come back once: the owner may free it
}

TEST_F(VerifierIrpTest, IrpFreedWhileALowerDriverHoldsIt) {
  rebootInQuarantine();
  PIRP held = nullptr;
  PDEVICE_OBJECT device = addDevice([&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  });
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE, TRUE, TRUE);
  ASSERT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
  EXPECT_VERIFIER_STOP(IoFreeIrp(irp), "driver below still holds");
  EXPECT_VERIFIER_STOP(IoReuseIrp(irp, STATUS_SUCCESS), "driver below still holds");

  frag::complete(held, STATUS_SUCCESS);
  IoFreeIrp(irp);
  EXPECT_VERIFIER_STOP(IoFreeIrp(irp), "after it was freed");
}

TEST_F(VerifierIrpTest, DriverFreesAnApplicationsIrp) {
  PDEVICE_OBJECT device = addDevice(holdForever);
  app::Request read = app::sendToDevice(device, IRP_MJ_READ, 0);
  EXPECT_VERIFIER_STOP(IoFreeIrp(read.irp()), "I/O manager owns");
  frag::complete(read.irp(), STATUS_SUCCESS);
}

TEST_F(VerifierIrpTest, PendingReturnedWithoutMarkingTheIrp) {
  PIRP held = nullptr;
  PDEVICE_OBJECT device = addDevice([&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    return STATUS_PENDING;  // forgot IoMarkIrpPending
  });
  app::Request read = app::sendToDevice(device, IRP_MJ_READ, 0);
  EXPECT_VERIFIER_STOP(frag::complete(held, STATUS_SUCCESS), "without marking the IRP pending");
  read = app::Request();
  reboot();

  // The same mistake when the request completes before the routine returns.
  device = addDevice([](PDEVICE_OBJECT, PIRP irp) {
    frag::complete(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
  });
  EXPECT_VERIFIER_STOP(app::sendToDevice(device, IRP_MJ_READ, 0), "without marking the IRP pending");
}

TEST_F(VerifierIrpTest, MarkedPendingButReturnedAFinalStatus) {
  PDEVICE_OBJECT device = addDevice([](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    frag::complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;  // must be STATUS_PENDING once marked
  });
  EXPECT_VERIFIER_STOP(app::sendToDevice(device, IRP_MJ_READ, 0),
                       "dispatch routine: marked the IRP pending (IoMarkIrpPending) but returned a final status");
  reboot();

  // Still in flight when the routine returns; the completion comes later.
  PIRP held = nullptr;
  device = addDevice([&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
  });
  EXPECT_VERIFIER_STOP(
      {
        app::Request read = app::sendToDevice(device, IRP_MJ_READ, 0);
        frag::complete(held, STATUS_SUCCESS);
      },
      "marked the IRP pending (IoMarkIrpPending) but returned a final status");
  reboot();

  // A filter that passes the request down and propagates a lower driver's
  // pending mark to its own location must return STATUS_PENDING too.
  addDevice([](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    frag::complete(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
  });
  device = addDevice([](PDEVICE_OBJECT self, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, propagatePending, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(frag::layerOf(self).lower, irp);
    return STATUS_SUCCESS;  // should have returned what the lower driver did
  });
  EXPECT_VERIFIER_STOP(app::sendToDevice(device, IRP_MJ_READ, 0), "but returned a final status");
  reboot();
}

TEST_F(VerifierIrpTest, DispatchStatusMustMatchTheCompletion) {
  PDEVICE_OBJECT device = addDevice([](PDEVICE_OBJECT, PIRP irp) {
    frag::complete(irp, STATUS_CANCELLED);
    return STATUS_SUCCESS;
  });
  EXPECT_VERIFIER_STOP(app::sendToDevice(device, IRP_MJ_READ, 0), "differs from the IRP's IoStatus.Status");
  reboot();

  PIRP held = nullptr;
  device = addDevice([&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    return STATUS_SUCCESS;  // claims success for a request it kept
  });
  EXPECT_VERIFIER_STOP(app::sendToDevice(device, IRP_MJ_READ, 0), "did not complete");
  reboot();
}

TEST_F(VerifierIrpTest, InformationLargerThanTheOutputBuffer) {
  addDevice(frag::onlyFor(IRP_MJ_READ,
                          [](PDEVICE_OBJECT, PIRP irp) {
                            ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
                            return frag::complete(irp, STATUS_SUCCESS, length + 1);
                          }),
            u"\\Device\\Frag0");
  {
    app::File file;
    ASSERT_EQ(app::File::open(u"\\Device\\Frag0", file), STATUS_SUCCESS);
    EXPECT_VERIFIER_STOP(file.readAsync(16), "exceeds the output buffer length");
    file.close();
  }
  reboot();
}

TEST_F(VerifierIrpTest, IoMarkIrpPendingWithoutACurrentStackLocation) {
  PDEVICE_OBJECT device = addDevice();
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  EXPECT_VERIFIER_STOP(IoMarkIrpPending(irp), "IoMarkIrpPending: the IRP has no current stack location");

  // Back in the owner's completion routine, the IRP is past its last location.
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP irp, PVOID) {
        IoMarkIrpPending(irp);  // a filter's idiom, misplaced in the owner's routine
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      nullptr, TRUE, TRUE, TRUE);
  EXPECT_VERIFIER_STOP(IoCallDriver(device, irp), "IoMarkIrpPending: the IRP has no current stack location");
  IoFreeIrp(irp);  // it came back to its owner before the stop
}

TEST_F(VerifierIrpTest, DeletingADeviceWithAnIrpInFlightToIt) {
  PDEVICE_OBJECT bottom = addDevice(holdForever);
  PDEVICE_OBJECT top = addDevice([](PDEVICE_OBJECT self, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, propagatePending, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(frag::layerOf(self).lower, irp);
  });
  app::Request read = app::sendToDevice(top, IRP_MJ_READ, 0);
  // The top device has a completion routine waiting, so it holds the request too.
  IoDetachDevice(bottom);
  EXPECT_VERIFIER_STOP(IoDeleteDevice(top), "IoDeleteDevice: deletes a device with an IRP still in flight to it");
  EXPECT_VERIFIER_STOP(IoDeleteDevice(bottom), "IRP still in flight to it (major function 0x03");
  frag::complete(read.irp(), STATUS_SUCCESS);
  EXPECT_EQ(read.wait().status, STATUS_SUCCESS);
  IoDeleteDevice(top);
  layers.pop_back();

  // A driver's own IRP held below counts as well.
  PIRP irp = IoAllocateIrp(bottom->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE, TRUE, TRUE);
  ASSERT_EQ(IoCallDriver(bottom, irp), STATUS_PENDING);
  EXPECT_VERIFIER_STOP(IoDeleteDevice(bottom), "major function 0x0F");
  frag::complete(irp, STATUS_SUCCESS);
  IoFreeIrp(irp);
}

// As on the platform, a device deletes itself while it handles its remove
// request, here before passing it down.
TEST_F(VerifierIrpTest, ADeviceMayBeDeletedWhileItHandlesItsRemoveRequest) {
  driver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT device, PIRP irp) {
    frag::Layer& layer = frag::layerOf(device);
    return layer.dispatch ? layer.dispatch(device, irp) : frag::complete(irp, STATUS_SUCCESS);
  };
  addDevice();
  PDEVICE_OBJECT top = addDevice([](PDEVICE_OBJECT self, PIRP irp) {
    PDEVICE_OBJECT lower = frag::layerOf(self).lower;
    IoDetachDevice(lower);
    IoDeleteDevice(self);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
  });
  EXPECT_EQ(sim::pnp::send(top, IRP_MN_REMOVE_DEVICE).wait().status, STATUS_SUCCESS);
  layers.pop_back();  // its layer outlived the device it ran for
}

}  // namespace
