// Simulated platform: the USB driver interface library (USBD.SYS) subset a
// function driver calls, with the names and layouts of the platform's
// usbdlib.h. Implemented in sim/src/usbd.cpp.
#pragma once

#include "usb.h"

typedef struct _USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16, "USBD_INTERFACE_LIST_ENTRY layout");

#define URB_STATUS(urb) ((urb)->UrbHeader.Status)

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)         \
  (sizeof(struct _URB_SELECT_CONFIGURATION) +                                      \
   (((totalInterfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION)) +                \
   (((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION)))

#define GET_USBD_INTERFACE_SIZE(numEndpoints) \
  (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) - sizeof(USBD_PIPE_INFORMATION))

extern "C" {

// Finds the first interface descriptor at or after startPosition, inside the
// configuration descriptor's wTotalLength bytes, that matches every criterion
// not given as -1. Returns null when none does. Walks by bLength and never
// reads past wTotalLength; a descriptor with bLength 0 or running past the end
// ends the walk. Any IRQL up to DISPATCH_LEVEL.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                                              PVOID startPosition, LONG interfaceNumber,
                                                              LONG alternateSetting, LONG interfaceClass,
                                                              LONG interfaceSubClass, LONG interfaceProtocol);

// Allocates and formats a select-configuration URB for the interfaces of the
// list (which ends with an entry whose InterfaceDescriptor is null): one
// USBD_INTERFACE_INFORMATION per entry, sized for the interface's endpoints,
// each entry's Interface pointing at its record in the URB. The URB comes from
// non-paged pool with USBD's own tag: the caller frees it with ExFreePool.
// Returns null when the pool is exhausted.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY interfaceList);

}  // extern "C"
