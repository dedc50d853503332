// Driver: USB configuration. The device descriptor check, the configuration
// descriptor walk that chooses the interfaces, select-configuration, and the
// pipe scan that decides pipeLayout.
#include "driver/pnp/usb_config.h"

#include "driver/core/globals.h"
#include "driver/pnp/pnp.h"
#include "driver/pnp/port_name.h"
#include "driver/usb/control_requests.h"
#include "driver/usb/pipe_control.h"

namespace {

constexpr ULONG DescriptorUrbSize = 152;
constexpr ULONG DeviceDescriptorSize = 18;
constexpr ULONG ConfigurationHeaderSize = 9;
constexpr ULONG InterfaceListSize = 16;  // at most 15 entries and the empty end
constexpr ULONG ShadowBufferSize = 4096;
constexpr ULONG PipeTransferSize = 4096;
constexpr ULONG MaxPipesPerInterface = 30;  // endpoints 1 to 15, both directions

constexpr UCHAR UsbClassCommunications = 0x02;
constexpr UCHAR UsbSubclassDataAlternate = 0x0B;
constexpr UCHAR UsbClassData = 0x0A;

// Reads a descriptor of the device into buffer; *returned gets the length the
// device sent.
NTSTATUS TzSerialGetDescriptor(DeviceContext* context, PURB urb, UCHAR type, PVOID buffer, ULONG length,
                               ULONG* returned) {
  RtlZeroMemory(urb, DescriptorUrbSize);
  struct _URB_CONTROL_DESCRIPTOR_REQUEST* r = &urb->UrbControlDescriptorRequest;
  r->Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  r->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  r->TransferBuffer = buffer;
  r->TransferBufferLength = length;
  r->DescriptorType = type;
  r->Index = 0;
  r->LanguageId = 0;
  NTSTATUS status = TzSerialSubmitUrb(context, urb);
  *returned = r->TransferBufferLength;
  return status;
}

bool TzSerialIdentityAccepted(USHORT vendor, USHORT product) {
  return (vendor == AdapterVendorId || vendor == 0) && (product == AdapterProductId || product == 0);
}

// Walks the whole descriptor set before anything trusts it: every descriptor
// inside wTotalLength, interfaces and endpoints long enough, interface
// numbers that fit interfaceInfo, and bNumEndpoints equal to the endpoint
// descriptors that follow each interface.
bool TzSerialConfigurationWellFormed(const UCHAR* set, ULONG length) {
  auto header = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(set);
  if (length < ConfigurationHeaderSize || header->bLength < ConfigurationHeaderSize || header->bLength > length ||
      header->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || header->wTotalLength != length)
    return false;
  bool inInterface = false;
  ULONG expectedEndpoints = 0, endpoints = 0;
  for (ULONG offset = header->bLength; offset < length;) {
    if (length - offset < 2) return false;
    UCHAR size = set[offset], type = set[offset + 1];
    if (size < 2 || size > length - offset) return false;
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
      auto d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(set + offset);
      if (size < sizeof(USB_INTERFACE_DESCRIPTOR) || d->bInterfaceNumber >= TzSerialMaxInterfaces) return false;
      if (inInterface && endpoints != expectedEndpoints) return false;
      inInterface = true;
      expectedEndpoints = d->bNumEndpoints;
      endpoints = 0;
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      if (!inInterface || size < sizeof(USB_ENDPOINT_DESCRIPTOR)) return false;
      ++endpoints;
    }
    offset += size;
  }
  return !inInterface || endpoints == expectedEndpoints;
}

// Chooses the interface descriptors to configure: every default setting, an
// alternate setting with endpoints in place of the setting before it, or,
// in the data-alternate layout, the communications interface and the data
// interface's non-default settings.
NTSTATUS TzSerialBuildInterfaceList(PUSB_CONFIGURATION_DESCRIPTOR set, USBD_INTERFACE_LIST_ENTRY* list,
                                    ULONG* count) {
  bool dataAlternate = false;
  *count = 0;
  PVOID start = reinterpret_cast<PUCHAR>(set) + set->bLength;
  for (;;) {
    PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(set, start, -1, -1, -1, -1, -1);
    if (!d) break;
    start = reinterpret_cast<PUCHAR>(d) + d->bLength;
    if (*count == 0 && d->bInterfaceClass == UsbClassCommunications &&
        d->bInterfaceSubClass == UsbSubclassDataAlternate && d->bAlternateSetting == 0 && d->bNumEndpoints == 0) {
      dataAlternate = true;
      list[(*count)++].InterfaceDescriptor = d;
    } else if (dataAlternate) {
      if (d->bInterfaceClass == UsbClassData && d->bInterfaceSubClass == 0 && d->bInterfaceProtocol == 0 &&
          d->bAlternateSetting != 0)
        list[(*count)++].InterfaceDescriptor = d;
    } else if (d->bAlternateSetting == 0 || d->bNumEndpoints == 0) {
      list[(*count)++].InterfaceDescriptor = d;
    } else {
      if (*count == 0) return STATUS_UNSUCCESSFUL;
      list[*count - 1].InterfaceDescriptor = d;
    }
    // The list must keep its empty last entry.
    if (*count == InterfaceListSize) return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

// Keeps a copy of one configured interface's information and notes its pipes;
// the first pipe of each kind, in interface and pipe order, wins.
NTSTATUS TzSerialKeepInterface(DeviceContext* context, PUSBD_INTERFACE_INFORMATION info, UCHAR* bulkInInterface) {
  if (info->NumberOfPipes > MaxPipesPerInterface || info->Length < GET_USBD_INTERFACE_SIZE(info->NumberOfPipes) ||
      info->InterfaceNumber >= TzSerialMaxInterfaces || context->interfaceInfo[info->InterfaceNumber])
    return STATUS_BAD_DESCRIPTOR_FORMAT;
  auto copy = static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPoolNx, info->Length, TzSerialPoolTag));
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(copy, info, info->Length);
  context->interfaceInfo[info->InterfaceNumber] = copy;

  for (ULONG i = 0; i < copy->NumberOfPipes; ++i) {
    const USBD_PIPE_INFORMATION& pipe = copy->Pipes[i];
    bool in = (pipe.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
    if (pipe.PipeType == UsbdPipeTypeBulk && in && context->bulkInPipeIndex == TzSerialNoPipe) {
      context->bulkInPipeIndex = UCHAR(i);
      context->bulkInMaxPacketSize = pipe.MaximumPacketSize;
      *bulkInInterface = copy->InterfaceNumber;
    } else if (pipe.PipeType == UsbdPipeTypeBulk && !in && context->bulkOutPipeIndex == TzSerialNoPipe) {
      context->dataInterfaceNumber = copy->InterfaceNumber;
      context->bulkOutPipeIndex = UCHAR(i);
      context->bulkOutMaxPacketSize = pipe.MaximumPacketSize;
    } else if (pipe.PipeType == UsbdPipeTypeInterrupt && context->interruptPipeIndex == TzSerialNoPipe) {
      context->controlInterfaceNumber = copy->InterfaceNumber;
      context->interruptPipeIndex = UCHAR(i);
    }
  }
  return STATUS_SUCCESS;
}

// Both bulk pipes must sit in one interface, since both are found through
// dataInterfaceNumber.
UCHAR TzSerialDecidePipeLayout(const DeviceContext* context, UCHAR bulkInInterface) {
  bool in = context->bulkInPipeIndex != TzSerialNoPipe, out = context->bulkOutPipeIndex != TzSerialNoPipe;
  bool interrupt = context->interruptPipeIndex != TzSerialNoPipe;
  if (in && out && bulkInInterface == context->dataInterfaceNumber)
    return interrupt ? PipeLayoutFull : PipeLayoutDataOnly;
  if (!in && !out && !interrupt) return PipeLayoutNone;
  return PipeLayoutInvalid;
}

// Selects the configuration for the chosen interfaces and keeps what the bus
// returned about them.
NTSTATUS TzSerialConfigureInterfaces(DeviceContext* context, PUSB_CONFIGURATION_DESCRIPTOR set,
                                     USBD_INTERFACE_LIST_ENTRY* list, ULONG count) {
  // The bus reads bNumInterfaces interface records from the request: a count
  // from the device larger than the list would send it past the request's end.
  if (set->bNumInterfaces > count) return STATUS_BAD_DESCRIPTOR_FORMAT;
  PURB select = USBD_CreateConfigurationRequestEx(set, list);
  if (!select) return STATUS_INSUFFICIENT_RESOURCES;
  for (ULONG i = 0; i < count; ++i) {
    PUSB_INTERFACE_DESCRIPTOR d = list[i].InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
    if (!d || !info) continue;
    for (ULONG p = 0; p < info->NumberOfPipes; ++p) info->Pipes[p].MaximumTransferSize = PipeTransferSize;
    info->Length = USHORT(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
    info->InterfaceNumber = d->bInterfaceNumber;
    info->AlternateSetting = d->bAlternateSetting;
  }

  NTSTATUS status = TzSerialSubmitUrb(context, select);
  UCHAR bulkInInterface = TzSerialNoPipe;
  for (ULONG i = 0; NT_SUCCESS(status) && i < set->bNumInterfaces; ++i) {
    if (!list[i].Interface)
      status = STATUS_BAD_DESCRIPTOR_FORMAT;
    else
      status = TzSerialKeepInterface(context, list[i].Interface, &bulkInInterface);
  }
  if (NT_SUCCESS(status)) {
    context->pipeLayout = TzSerialDecidePipeLayout(context, bulkInInterface);
    if (context->pipeLayout == PipeLayoutInvalid) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  ExFreePool(select);
  return status;
}

// Reads the whole configuration descriptor set into a new non-paged buffer.
NTSTATUS TzSerialReadConfigurationSet(DeviceContext* context, PURB urb, PUSB_CONFIGURATION_DESCRIPTOR* result) {
  UCHAR header[ConfigurationHeaderSize];
  ULONG returned = 0;
  NTSTATUS status = TzSerialGetDescriptor(context, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header, sizeof header,
                                          &returned);
  if (!NT_SUCCESS(status)) return status;
  USHORT total = USHORT(header[2] | header[3] << 8);
  if (returned != sizeof header || total < ConfigurationHeaderSize) return STATUS_BAD_DESCRIPTOR_FORMAT;

  auto set = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPoolNx, total, TzSerialPoolTag));
  if (!set) return STATUS_INSUFFICIENT_RESOURCES;
  status = TzSerialGetDescriptor(context, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, set, total, &returned);
  if (NT_SUCCESS(status) && (returned != total || !TzSerialConfigurationWellFormed(reinterpret_cast<PUCHAR>(set), total)))
    status = STATUS_BAD_DESCRIPTOR_FORMAT;
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(set, TzSerialPoolTag);
    return status;
  }
  *result = set;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS TzSerialSelectConfiguration(DeviceContext* context) {
  PAGED_CODE();
  context->bulkOutPipeIndex = context->bulkInPipeIndex = context->interruptPipeIndex = TzSerialNoPipe;
  context->dataInterfaceNumber = 0;
  USBD_INTERFACE_LIST_ENTRY list[InterfaceListSize];
  RtlZeroMemory(list, sizeof list);

  auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, DescriptorUrbSize, TzSerialPoolTag));
  auto device = static_cast<PUSB_DEVICE_DESCRIPTOR>(
      ExAllocatePoolWithTag(NonPagedPoolNx, DeviceDescriptorSize, TzSerialPoolTag));
  NTSTATUS status = urb && device ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  ULONG returned = 0;
  if (NT_SUCCESS(status)) {
    RtlZeroMemory(device, DeviceDescriptorSize);
    status = TzSerialGetDescriptor(context, urb, USB_DEVICE_DESCRIPTOR_TYPE, device, DeviceDescriptorSize, &returned);
  }
  if (NT_SUCCESS(status) && (returned != DeviceDescriptorSize || device->bNumConfigurations < 1 ||
                             !TzSerialIdentityAccepted(device->idVendor, device->idProduct)))
    status = STATUS_BAD_DESCRIPTOR_FORMAT;
  if (NT_SUCCESS(status)) context->usbIdentity = ULONG(device->idVendor) << 16 | device->idProduct;

  PUSB_CONFIGURATION_DESCRIPTOR set = nullptr;
  if (NT_SUCCESS(status)) status = TzSerialReadConfigurationSet(context, urb, &set);
  ULONG count = 0;
  if (NT_SUCCESS(status)) status = TzSerialBuildInterfaceList(set, list, &count);
  if (urb) ExFreePoolWithTag(urb, TzSerialPoolTag);
  if (NT_SUCCESS(status)) status = TzSerialConfigureInterfaces(context, set, list, count);

  if (NT_SUCCESS(status)) {
    if (context->configurationDescriptor) ExFreePoolWithTag(context->configurationDescriptor, TzSerialPoolTag);
    context->configurationDescriptor = set;
  } else if (set) {
    ExFreePoolWithTag(set, TzSerialPoolTag);
  }
  if (device) ExFreePoolWithTag(device, TzSerialPoolTag);
  return status;
}

NTSTATUS TzSerialInitializeShadowUart(ShadowLineRegisters* shadow, DeviceContext* context) {
  PAGED_CODE();
  if (shadow->buffer) ExFreePoolWithTag(shadow->buffer, TzSerialPoolTag);
  RtlZeroMemory(shadow, sizeof *shadow);
  shadow->context = context;
  shadow->buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, ShadowBufferSize, TzSerialPoolTag));
  return shadow->buffer ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS TzSerialStartDevice(DeviceContext* context, PIRP irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(irp);
  // A stop's tear-down freed the transfer resources; a new start needs them.
  NTSTATUS status = TzSerialAllocateTransferResources(context);
  if (NT_SUCCESS(status)) status = TzSerialSelectConfiguration(context);
  if (NT_SUCCESS(status)) {
    TzSerialSetDeviceFeature(context, UsbFeatureDeviceRemoteWakeup);
    status = TzSerialInitializeShadowUart(&context->shadowRegisters, context);
  }
  if (NT_SUCCESS(status)) status = TzSerialCreatePortName(context);
  return status;
}

void TzSerialReleaseConfiguration(DeviceContext* context) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  // A transfer that did not come back still uses its IRP, URB and buffer:
  // they stay with the context, for the next start or for removal to free
  // once every request has left the driver.
  if (TzSerialTransfersIdle(context))
    TzSerialFreeTransferResources(context);
  else
    DbgPrint("TzSerial: transfers still in flight, their resources are kept\n");
  if (context->configurationDescriptor) ExFreePoolWithTag(context->configurationDescriptor, TzSerialPoolTag);
  context->configurationDescriptor = nullptr;
  for (PUSBD_INTERFACE_INFORMATION& info : context->interfaceInfo) {
    if (info) ExFreePoolWithTag(info, TzSerialPoolTag);
    info = nullptr;
  }
  KeReleaseSpinLock(&context->controlLock, oldIrql);
}

USBD_PIPE_HANDLE TzSerialPipeHandle(DeviceContext* context, UCHAR interfaceNumber, UCHAR pipeIndex) {
  if (interfaceNumber >= TzSerialMaxInterfaces || pipeIndex == TzSerialNoPipe) return nullptr;
  PUSBD_INTERFACE_INFORMATION info = context->interfaceInfo[interfaceNumber];
  if (!info || pipeIndex >= info->NumberOfPipes) return nullptr;
  return info->Pipes[pipeIndex].PipeHandle;
}
