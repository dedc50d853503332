// Driver: the stack guard of the compiler's stack protector. DriverEntry sets
// it before any protected routine runs; a protected routine whose copy of it
// was overwritten ends in TzSerialStackCheckFailure, which stops the system.
#pragma once

#include "platform/kernel.h"

// Routines that run before the guard holds its random value, or that write
// it, must not compare a copy of it on return.
#define TZ_NO_STACK_PROTECTOR __attribute__((no_stack_protector, noinline))

// The value protected frames are checked against (the compiler's name for it).
extern "C" ULONG_PTR TzSerialStackGuard asm("__stack_chk_guard");

// Replaces the guard's built-in value with one drawn from the clocks, the
// stack's and the image's addresses. Runs once, from DriverEntry, before any
// protected routine. IRQL: PASSIVE_LEVEL.
TZ_NO_STACK_PROTECTOR void TzSerialStackGuardInitialize();

// Called by a protected routine whose copy of the guard changed: its stack
// was overrun. Bug-checks DRIVER_OVERRAN_STACK_BUFFER as the platform's own
// cookie check does; never returns.
extern "C" [[noreturn]] void TzSerialStackCheckFailure() asm(TZ_STACK_CHECK_FAILURE_SYMBOL);
