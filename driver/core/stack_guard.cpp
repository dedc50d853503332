// Driver: the stack protector's guard value, randomised at load, and the
// routine that stops the system when a protected frame finds it overwritten.
#include "driver/core/stack_guard.h"

namespace {

// Bug check DRIVER_OVERRAN_STACK_BUFFER.
constexpr ULONG TzSerialBugCheckStackOverrun = 0xF7;

// The guard before DriverEntry replaces it; never the value it ends with.
constexpr ULONG_PTR TzSerialStackGuardDefault = 0x00002B992DDFA200ull;

// A 64-bit finaliser: every input bit reaches every output bit.
ULONG_PTR TzSerialStackGuardMix(ULONG_PTR x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return x;
}

}  // namespace

ULONG_PTR TzSerialStackGuard = TzSerialStackGuardDefault;

void TzSerialStackGuardInitialize() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
  LARGE_INTEGER systemTime;
  KeQuerySystemTime(&systemTime);
  ULONG_PTR local = 0;

  ULONG_PTR guard = TzSerialStackGuardMix(ULONG_PTR(counter.QuadPart));
  guard = TzSerialStackGuardMix(guard ^ ULONG_PTR(systemTime.QuadPart));
  guard = TzSerialStackGuardMix(guard ^ KeQueryInterruptTime());
  // Under address-space randomisation the stack and the image move at every boot.
  guard = TzSerialStackGuardMix(guard ^ reinterpret_cast<ULONG_PTR>(&local));
  guard = TzSerialStackGuardMix(guard ^ reinterpret_cast<ULONG_PTR>(&TzSerialStackGuard));
  // A zero low byte ends an overrunning string copy before it rewrites the
  // rest of the guard.
  guard &= ~ULONG_PTR(0xFF);
  if (guard == 0 || guard == TzSerialStackGuardDefault) guard = TzSerialStackGuardDefault ^ 0x5A5A5A5A5A5A5A00ull;
  TzSerialStackGuard = guard;
}

void TzSerialStackCheckFailure() {
  // The compiler's call carries no copy of the guard: the first parameter,
  // the value found on the stack, is 0.
  KeBugCheckEx(TzSerialBugCheckStackOverrun, 0, TzSerialStackGuard, ~TzSerialStackGuard, 0);
}
