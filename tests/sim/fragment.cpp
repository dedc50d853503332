// Tests of the simulated kernel: the fragment driver's entry, dispatch and
// unload, and the fixture that builds and tears down its device stacks.
#include "fragment.h"

namespace {

NTSTATUS fragDispatch(PDEVICE_OBJECT device, PIRP irp) {
  frag::Layer& layer = frag::layerOf(device);
  layer.majorsSeen.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
  if (layer.dispatch) return layer.dispatch(device, irp);
  if (layer.lower) return frag::passDown(device, irp);
  return frag::complete(irp, STATUS_SUCCESS);
}

void fragUnload(PDRIVER_OBJECT) {}

// IRP_MJ_QUERY_INFORMATION and the others stay unset on purpose.
NTSTATUS fragEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS,
                      IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL})
    driver->MajorFunction[major] = fragDispatch;
  driver->DriverUnload = fragUnload;
  return STATUS_SUCCESS;
}

}  // namespace

void FragmentTest::SetUp() {
  SimTest::SetUp();
  driver = sim::loadDriver(u"frag", fragEntry);
  ASSERT_NE(driver, nullptr);
}

void FragmentTest::TearDown() {
  if (driver && !HasFailure()) {
    EXPECT_NO_THROW(removeDevices());
    EXPECT_NO_THROW(sim::unloadDriver(driver));
  }
  driver = nullptr;
  SimTest::TearDown();
}

PDEVICE_OBJECT FragmentTest::addDevice(frag::Dispatch dispatch, const std::u16string& name) {
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, sim::wide(name));
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(frag::Layer*), name.empty() ? nullptr : &deviceName,
                                   FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  EXPECT_EQ(status, STATUS_SUCCESS);
  if (!NT_SUCCESS(status)) return nullptr;
  auto layer = std::make_unique<frag::Layer>();
  layer->dispatch = std::move(dispatch);
  layer->device = device;
  if (!layers.empty()) layer->lower = IoAttachDeviceToDeviceStack(device, layers.back()->device);
  *static_cast<frag::Layer**>(device->DeviceExtension) = layer.get();
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  layers.push_back(std::move(layer));
  return device;
}

void FragmentTest::removeDevices() {
  while (!layers.empty()) {
    frag::Layer& top = *layers.back();
    if (top.lower) IoDetachDevice(top.lower);
    IoDeleteDevice(top.device);
    layers.pop_back();
  }
}

void FragmentTest::reboot(const sim::BootOptions& options) {
  sim::boot(options);
  layers.clear();
  driver = sim::loadDriver(u"frag", fragEntry);
  ASSERT_NE(driver, nullptr);
}
