// The one header driver sources include for the platform. On Windows it is the
// DDK; elsewhere it is the simulated kernel's own declarations of the same
// names and layouts (sim/include).
#pragma once

#ifdef _WIN32
extern "C" {
#include <ntddk.h>
#include <ntddser.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <wmilib.h>
}
#else
#include <ntddk.h>
#include <ntddser.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <wmilib.h>
#endif
