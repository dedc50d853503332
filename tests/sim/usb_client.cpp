// Tests of the simulated USB bus: the function-driver fragment that submits
// URBs, and the fixture that plugs one adapter and configures it.
#include "usb_client.h"

#include <cstring>

namespace usbfrag {

namespace {

NTSTATUS onComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto s = static_cast<Submission*>(context);
  s->completed = true;
  s->status = irp->IoStatus.Status;
  s->completionIrql = KeGetCurrentIrql();
  return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP stays with the submitter
}

}  // namespace

std::unique_ptr<Submission> send(PDEVICE_OBJECT pdo, PURB urb, ULONG code) {
  auto s = std::make_unique<Submission>();
  s->irp = IoAllocateIrp(pdo->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(s->irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(s->irp, onComplete, s.get(), TRUE, TRUE, TRUE);
  s->callStatus = IoCallDriver(pdo, s->irp);
  return s;
}

void buildGetDescriptor(URB& urb, UCHAR type, void* buffer, ULONG length) {
  std::memset(&urb, 0, sizeof urb);
  auto& r = urb.UrbControlDescriptorRequest;
  r.Hdr.Length = sizeof r;
  r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  r.DescriptorType = type;
  r.TransferBuffer = buffer;
  r.TransferBufferLength = length;
}

void buildClassRequest(URB& urb, UCHAR request, USHORT value, USHORT index, void* buffer, ULONG length, bool in) {
  std::memset(&urb, 0, sizeof urb);
  auto& r = urb.UrbControlVendorClassRequest;
  r.Hdr.Length = sizeof r;
  r.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
  r.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0;
  r.TransferBuffer = buffer;
  r.TransferBufferLength = length;
  r.Request = request;
  r.Value = value;
  r.Index = index;
}

void buildTransfer(URB& urb, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, bool in) {
  std::memset(&urb, 0, sizeof urb);
  auto& t = urb.UrbBulkOrInterruptTransfer;
  t.Hdr.Length = sizeof t;
  t.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  t.PipeHandle = pipe;
  t.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0;
  t.TransferBuffer = buffer;
  t.TransferBufferLength = length;
}

void buildPipeRequest(URB& urb, USHORT function, USBD_PIPE_HANDLE pipe) {
  std::memset(&urb, 0, sizeof urb);
  urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbPipeRequest.Hdr.Function = function;
  urb.UrbPipeRequest.PipeHandle = pipe;
}

}  // namespace usbfrag

void UsbTest::SetUp() {
  SimTest::SetUp();
  plug({});
}

void UsbTest::plug(sim::usb::AdapterOptions options) {
  if (pdo) sim::pnp::deletePhysicalDevice(pdo);
  auto plugged = sim::usb::plugAdapter(std::move(options));
  pdo = plugged.pdo;
  adapter = plugged.adapter;
}

void UsbTest::TearDown() {
  if (select) ExFreePool(select);
  select = nullptr;
  if (pdo && !HasFailure()) sim::pnp::deletePhysicalDevice(pdo);
  SimTest::TearDown();
}

NTSTATUS UsbTest::call(URB& urb) {
  auto s = usbfrag::send(pdo, &urb);
  EXPECT_TRUE(sim::runUntil([&] { return s->completed; }, 10 * sim::kSecond)) << "URB never completed";
  EXPECT_EQ(s->completionIrql, DISPATCH_LEVEL);
  return s->status;
}

NTSTATUS UsbTest::configure(std::vector<std::pair<UCHAR, UCHAR>> wanted) {
  URB urb;
  UCHAR header[9] = {};
  usbfrag::buildGetDescriptor(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header, sizeof header);
  EXPECT_EQ(call(urb), STATUS_SUCCESS);
  configuration.assign(USHORT(header[2] | header[3] << 8), 0);
  usbfrag::buildGetDescriptor(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration.data(), ULONG(configuration.size()));
  EXPECT_EQ(call(urb), STATUS_SUCCESS);
  auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
  if (wanted.empty())
    for (UCHAR i = 0; i < config->bNumInterfaces; ++i) wanted.push_back({i, 0});
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  for (auto [number, alternate] : wanted)
    list.push_back({USBD_ParseConfigurationDescriptorEx(config, config, number, alternate, -1, -1, -1), nullptr});
  list.push_back({nullptr, nullptr});
  if (select) ExFreePool(select);
  select = USBD_CreateConfigurationRequestEx(config, list.data());
  return call(*select);
}

USBD_PIPE_INFORMATION UsbTest::pipe(UCHAR address) {
  auto bytes = reinterpret_cast<UCHAR*>(&select->UrbSelectConfiguration.Interface);
  auto end = reinterpret_cast<UCHAR*>(select) + select->UrbHeader.Length;
  for (auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(bytes); reinterpret_cast<UCHAR*>(info) < end;
       info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) + info->Length))
    for (ULONG i = 0; i < info->NumberOfPipes; ++i)
      if (info->Pipes[i].EndpointAddress == address) return info->Pipes[i];
  ADD_FAILURE() << "no pipe for endpoint " << int(address);
  return {};
}
