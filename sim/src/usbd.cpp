// Simulated platform: the USB driver interface library (USBD.SYS) routines a
// function driver calls to walk a configuration descriptor and to build the
// select-configuration URB. Descriptor lengths are not trusted: nothing here
// reads outside the wTotalLength bytes of the configuration descriptor.
#include "kernel.h"

#include <usbdlib.h>

#include <cstring>

namespace {

// USBD's pool tag, 'Usbd'; its URBs are freed with ExFreePool.
constexpr ULONG kUsbdTag = sim::tag("Usbd");

bool matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == LONG(actual); }

}  // namespace

using namespace sim::detail;

extern "C" {

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                                              PVOID startPosition, LONG interfaceNumber,
                                                              LONG alternateSetting, LONG interfaceClass,
                                                              LONG interfaceSubClass, LONG interfaceProtocol) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) stop("USBD_ParseConfigurationDescriptorEx", "called above DISPATCH_LEVEL");
  if (!configurationDescriptor) stop("USBD_ParseConfigurationDescriptorEx", "null configuration descriptor");
  auto begin = reinterpret_cast<const UCHAR*>(configurationDescriptor);
  const UCHAR* end = begin + configurationDescriptor->wTotalLength;
  auto p = static_cast<const UCHAR*>(startPosition);
  if (p < begin || p > end)
    stop("USBD_ParseConfigurationDescriptorEx", "start position lies outside the configuration descriptor");
  while (end - p >= 2) {
    UCHAR length = p[0];
    if (length < 2 || length > end - p) return nullptr;  // a malformed descriptor ends the walk
    if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(p);
      if (matches(interfaceNumber, d->bInterfaceNumber) && matches(alternateSetting, d->bAlternateSetting) &&
          matches(interfaceClass, d->bInterfaceClass) && matches(interfaceSubClass, d->bInterfaceSubClass) &&
          matches(interfaceProtocol, d->bInterfaceProtocol))
        return const_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
    }
    p += length;
  }
  return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY interfaceList) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) stop("USBD_CreateConfigurationRequestEx", "called above DISPATCH_LEVEL");
  if (!configurationDescriptor || !interfaceList)
    stop("USBD_CreateConfigurationRequestEx", "null configuration descriptor or interface list");
  size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY e = interfaceList; e->InterfaceDescriptor; ++e)
    size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
  if (size > 0xFFFF) return nullptr;  // Hdr.Length cannot count it
  auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kUsbdTag));
  if (!urb) return nullptr;
  std::memset(urb, 0, size);
  urb->UrbHeader.Length = USHORT(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;
  auto info = &urb->UrbSelectConfiguration.Interface;
  for (PUSBD_INTERFACE_LIST_ENTRY e = interfaceList; e->InterfaceDescriptor; ++e) {
    PUSB_INTERFACE_DESCRIPTOR d = e->InterfaceDescriptor;
    info->Length = USHORT(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
    info->InterfaceNumber = d->bInterfaceNumber;
    info->AlternateSetting = d->bAlternateSetting;
    info->NumberOfPipes = d->bNumEndpoints;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    e->Interface = info;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) + info->Length);
  }
  return urb;
}

}  // extern "C"
