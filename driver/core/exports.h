// Driver: the two routines the image exports by name for other kernel-mode
// components and diagnostic tools. Neither is called by the driver itself.
#pragma once

#include "platform/kernel.h"

#ifdef _WIN32
#define TZSERIAL_EXPORT __declspec(dllexport)
#else
#define TZSERIAL_EXPORT
#endif

extern "C" {

// The driver object named name (\Driver\<service>), or null when there is
// none. The pointer carries no reference: the caller must know that the
// driver stays loaded while it uses it. PASSIVE_LEVEL.
TZSERIAL_EXPORT PDRIVER_OBJECT GetDriverObject(PCWSTR name);

// Writes a hexadecimal dump of byteCount bytes into textBuffer: each byte as
// "XX ", "- " after every eighth and CR LF after every sixteenth, no NUL. On
// entry *textLength is the buffer's capacity; on return the dump's length
// (when it did not fit: the length it needs, 0xFFFFFFFF when that exceeds 32
// bits). Returns 1 when written, 0 (buffer untouched) when it does not fit.
// Any IRQL at which the buffers are resident.
TZSERIAL_EXPORT LONG MakeHextoString(const UCHAR* data, ULONG byteCount, PCHAR textBuffer, PULONG textLength);

}  // extern "C"
