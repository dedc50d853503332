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

Request::Request(PDEVICE_OBJECT device, std::atomic<uint64_t>& completionCounter, ULONG length)
    : pdo(device), counter(completionCounter), buffer(length) {
  irp = IoAllocateIrp(pdo->StackSize, FALSE);
  KeInitializeEvent(&done, NotificationEvent, FALSE);
}

Request::~Request() {
  if (completions.load() > 0) IoFreeIrp(irp);  // one still held means the test failed
}

void Request::prepare(PURB other) {
  IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
  KeClearEvent(&done);
  completions = 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = other ? other : &urb;
  IoSetCompletionRoutine(irp, onComplete, this, TRUE, TRUE, TRUE);
}

void Request::send(bool cancelFirst, PURB other) {
  prepare(other);
  if (cancelFirst) IoCancelIrp(irp);
  submit();
}

void Request::read(USBD_PIPE_HANDLE pipe) {
  buildTransfer(urb, pipe, buffer.data(), ULONG(buffer.size()), true);
  send();
}

bool Request::wait(int64_t timeout100ns) {
  LARGE_INTEGER timeout{.QuadPart = -timeout100ns};
  return KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

std::vector<UCHAR> Request::data() const {
  return {buffer.begin(), buffer.begin() + urb.UrbBulkOrInterruptTransfer.TransferBufferLength};
}

NTSTATUS Request::onComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto r = static_cast<Request*>(context);
  r->status = irp->IoStatus.Status;
  r->irql = KeGetCurrentIrql();
  r->thread = std::this_thread::get_id();
  r->completed100ns = sim::now();
  r->sequence = ++r->counter;
  r->completions.fetch_add(1, std::memory_order_release);
  KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
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

void UsbBootedTest::TearDown() {
  if (select) ExFreePool(select);
  select = nullptr;
  if (pdo && !HasFailure()) sim::pnp::deletePhysicalDevice(pdo);
  SimTest::TearDown();
}

void UsbBootedTest::start(sim::usb::AdapterOptions options, sim::BootOptions boot) {
  if (select) ExFreePool(select);
  select = nullptr;
  sim::boot(boot);
  auto plugged = sim::usb::plugAdapter(std::move(options));
  pdo = plugged.pdo;
  adapter = plugged.adapter;
  configuration = sim::usb::encode(sim::usb::cdcConfiguration(sim::usb::Layout::CommAndData));
  auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
  USBD_INTERFACE_LIST_ENTRY list[] = {{USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr},
                                      {USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1), nullptr},
                                      {nullptr, nullptr}};
  select = USBD_CreateConfigurationRequestEx(config, list);
  ASSERT_EQ(call(*select), STATUS_SUCCESS);
  for (auto& entry : list)
    for (ULONG i = 0; entry.Interface && i < entry.Interface->NumberOfPipes; ++i) {
      const USBD_PIPE_INFORMATION& p = entry.Interface->Pipes[i];
      if (p.EndpointAddress == 0x82) bulkIn = p.PipeHandle;
      if (p.EndpointAddress == 0x02) bulkOut = p.PipeHandle;
      if (p.EndpointAddress == 0x81) interruptIn = p.PipeHandle;
    }
  ASSERT_TRUE(bulkIn && bulkOut && interruptIn);
}

NTSTATUS UsbBootedTest::call(URB& urb) {
  usbfrag::Request r(pdo, completionCounter);
  r.send(false, &urb);
  EXPECT_TRUE(r.wait()) << "URB never completed";
  return r.status;
}
