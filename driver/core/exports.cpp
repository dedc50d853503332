// Driver: the exported diagnostic routines: a driver object found by name,
// and a hexadecimal dump of a byte block.
#include "driver/core/exports.h"

#ifdef _WIN32
// Exported by the kernel, declared by no DDK header this driver builds with.
extern "C" {
__declspec(dllimport) extern POBJECT_TYPE* IoDriverObjectType;
NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING objectName, ULONG attributes, PACCESS_STATE accessState,
                                       ACCESS_MASK desiredAccess, POBJECT_TYPE objectType, KPROCESSOR_MODE accessMode,
                                       PVOID parseContext, PVOID* object);
}
#endif

namespace {

const char HexDigits[] = "0123456789ABCDEF";

}  // namespace

PDRIVER_OBJECT GetDriverObject(PCWSTR name) {
  PAGED_CODE();
  UNICODE_STRING objectName;
  RtlInitUnicodeString(&objectName, name);
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByName(&objectName, OBJ_CASE_INSENSITIVE, nullptr, 0, *IoDriverObjectType,
                                            KernelMode, nullptr, &object);
  if (!NT_SUCCESS(status)) return nullptr;
  ObDereferenceObject(object);
  return static_cast<PDRIVER_OBJECT>(object);
}

LONG MakeHextoString(const UCHAR* data, ULONG byteCount, PCHAR textBuffer, PULONG textLength) {
  // Three characters a byte and two a completed group of eight. Worked out in
  // 64 bits: in 32 a large count wraps to a small length that passes the
  // capacity test, and the dump runs past the buffer.
  ULONGLONG needed = 3ull * byteCount + 2ull * (byteCount / 8);
  if (needed > *textLength) {
    *textLength = needed > 0xFFFFFFFFull ? 0xFFFFFFFF : ULONG(needed);
    return 0;
  }
  PCHAR out = textBuffer;
  for (ULONG k = 1; k <= byteCount; ++k) {
    UCHAR byte = data[k - 1];
    *out++ = HexDigits[byte >> 4];
    *out++ = HexDigits[byte & 0xF];
    *out++ = ' ';
    if (k % 16 == 0) {
      *out++ = '\r';
      *out++ = '\n';
    } else if (k % 8 == 0) {
      *out++ = '-';
      *out++ = ' ';
    }
  }
  *textLength = ULONG(needed);
  return 1;
}
