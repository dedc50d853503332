// Simulated platform: counted Unicode strings of the run-time library and
// DbgPrint, whose output is captured for tests. DbgPrint follows the Windows
// format rules: %l is 32 bits, %ws and %wZ print wide strings.
#include "kernel.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace sim::detail {

std::u16string toU16(PCWSTR s) {
  std::u16string out;
  if (s)
    for (; *s; ++s) out += char16_t(*s);
  return out;
}

std::u16string toU16(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

std::u16string fold(const std::u16string& s) {
  std::u16string out = s;
  for (auto& c : out)
    if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
  return out;
}

namespace {

char16_t upcase(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c; }

// Formats one conversion whose argument is not a wide string.
void formatOne(std::string& out, const std::string& conversionSpec, char conversion, const std::string& length, va_list* args) {
  char buffer[512];
  std::string conversionText = conversionSpec;
  switch (conversion) {
    case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'c': {
      bool wide64 = length == "ll" || length == "I64" || length == "I" || length == "z";
      if (wide64) {
        conversionText.insert(conversionText.size() - 1, "ll");
        std::snprintf(buffer, sizeof buffer, conversionText.c_str(), va_arg(*args, long long));
      } else {
        std::snprintf(buffer, sizeof buffer, conversionText.c_str(), va_arg(*args, int));
      }
      break;
    }
    case 'p':
      std::snprintf(buffer, sizeof buffer, conversionText.c_str(), va_arg(*args, void*));
      break;
    case 's': {
      const char* s = va_arg(*args, const char*);
      std::snprintf(buffer, sizeof buffer, conversionText.c_str(), s ? s : "(null)");
      break;
    }
    case 'f': case 'g': case 'e':
      std::snprintf(buffer, sizeof buffer, conversionText.c_str(), va_arg(*args, double));
      break;
    default:
      stop("DbgPrint", std::string("format conversion %") + conversion + " is not implemented by the simulation");
  }
  out += buffer;
}

std::string formatDebug(const char* format, va_list* args) {
  std::string out;
  for (const char* p = format; *p; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    if (p[1] == '%') {
      out += '%';
      ++p;
      continue;
    }
    std::string conversionSpec = "%";
    ++p;
    while (*p && std::strchr("-+ #0123456789.*", *p)) conversionSpec += *p++;
    std::string length;
    while (*p && std::strchr("hlwzIL6432", *p)) length += *p++;
    char conversion = *p;
    if (!conversion) break;
    if ((conversion == 's' && (length == "w" || length == "l")) || conversion == 'S') {
      out += sim::narrow(toU16(va_arg(*args, PCWSTR)));
    } else if (conversion == 'Z' && length == "w") {
      out += sim::narrow(va_arg(*args, PCUNICODE_STRING));
    } else {
      formatOne(out, conversionSpec + conversion, conversion, length == "w" ? "" : length, args);
    }
  }
  return out;
}

}  // namespace

}  // namespace sim::detail

using namespace sim::detail;

namespace sim {

std::string narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += (c < 0x80) ? char(c) : '?';
  return out;
}

std::string narrow(PCUNICODE_STRING s) { return narrow(toU16(s)); }

std::u16string widen(const std::string& s) {
  std::u16string out;
  for (char c : s) out += char16_t(static_cast<unsigned char>(c));
  return out;
}

std::vector<std::string> debugLog() {
  Lock lock(kernel().mutex);
  return kernel().debugLog;
}

void clearDebugLog() {
  Lock lock(kernel().mutex);
  kernel().debugLog.clear();
}

}  // namespace sim

extern "C" {

void RtlInitUnicodeString(PUNICODE_STRING dest, PCWSTR source) {
  size_t length = source ? toU16(source).size() * sizeof(WCHAR) : 0;
  if (length > 0xFFFC) stop("RtlInitUnicodeString", "string longer than a UNICODE_STRING can count");
  dest->Buffer = const_cast<PWSTR>(source);
  dest->Length = USHORT(length);
  dest->MaximumLength = source ? USHORT(length + sizeof(WCHAR)) : 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING dest, PCUNICODE_STRING source) {
  if (!source->Length) return STATUS_SUCCESS;
  if (dest->Length + source->Length > dest->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove(reinterpret_cast<char*>(dest->Buffer) + dest->Length, source->Buffer, source->Length);
  dest->Length = USHORT(dest->Length + source->Length);
  if (dest->Length + sizeof(WCHAR) <= dest->MaximumLength) dest->Buffer[dest->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING dest, PCWSTR source) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, source);
  return RtlAppendUnicodeStringToString(dest, &s);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string) {
  if (base == 0) base = 10;
  if (base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
  char digits[33];
  int n = 0;
  do {
    digits[n++] = "0123456789ABCDEF"[value % base];
    value /= base;
  } while (value);
  if (size_t(n) * sizeof(WCHAR) > string->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < n; ++i) string->Buffer[i] = WCHAR(digits[n - 1 - i]);
  string->Length = USHORT(n * sizeof(WCHAR));
  if (string->Length + sizeof(WCHAR) <= string->MaximumLength) string->Buffer[n] = 0;
  return STATUS_SUCCESS;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
  std::u16string x = toU16(a), y = toU16(b);
  size_t n = std::min(x.size(), y.size());
  for (size_t i = 0; i < n; ++i) {
    char16_t c = caseInsensitive ? upcase(x[i]) : x[i];
    char16_t d = caseInsensitive ? upcase(y[i]) : y[i];
    if (c != d) return LONG(c) - LONG(d);
  }
  return LONG(x.size()) - LONG(y.size());
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
  return a->Length == b->Length && RtlCompareUnicodeString(a, b, caseInsensitive) == 0;
}

void RtlCopyUnicodeString(PUNICODE_STRING dest, PCUNICODE_STRING source) {
  if (!source) {
    dest->Length = 0;
    return;
  }
  USHORT n = std::min(dest->MaximumLength, source->Length);
  std::memmove(dest->Buffer, source->Buffer, n);
  dest->Length = n;
  if (n + sizeof(WCHAR) <= dest->MaximumLength) dest->Buffer[n / sizeof(WCHAR)] = 0;
}

ULONG DbgPrint(PCSTR format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = formatDebug(format, &args);
  va_end(args);
  Lock lock(kernel().mutex);
  kernel().debugLog.push_back(std::move(line));
  return STATUS_SUCCESS;
}

}  // extern "C"
