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
// For the static analyzer only: the DDK's KeQuerySystemTime stores all eight
// bytes of the LARGE_INTEGER through a ULONG64 pointer, which the analyzer
// does not see initialise the union's QuadPart (it then reports the time as
// garbage at every use). The same store, through the member.
#if defined(__clang_analyzer__) && defined(KeQuerySystemTime)
#undef KeQuerySystemTime
#define KeQuerySystemTime(CurrentCount) ((CurrentCount)->QuadPart = *(volatile LONGLONG*)SharedSystemTime)
#endif
#else
#include <ntddk.h>
#include <ntddser.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <wmilib.h>
#endif

// The routine the compiler's stack protector calls on an overwritten guard.
// The Windows image has no C library: the driver's own routine takes the
// compiler's name. The simulation keeps the C library's (it aborts the
// process) and gives the driver's routine a name of its own.
#ifdef _WIN32
#define TZ_STACK_CHECK_FAILURE_SYMBOL "__stack_chk_fail"
#else
#define TZ_STACK_CHECK_FAILURE_SYMBOL "TzSerialStackCheckFailure"
#endif
