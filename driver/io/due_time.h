// Driver: conversion of the port's millisecond time-outs to the relative due
// times timers take (negative, 100 ns units), formed in 64 bits.
#pragma once

#include "platform/kernel.h"

// -(milliseconds × 10000); a product beyond what a due time can hold
// saturates to the longest relative due time rather than wrapping into one
// that would fire at once or at a wrong moment.
inline LARGE_INTEGER TzSerialRelativeDueTime(ULONGLONG milliseconds) {
  constexpr LONGLONG Longest100ns = 0x7FFFFFFFFFFFFFFFLL;
  LARGE_INTEGER due;
  due.QuadPart = milliseconds > ULONGLONG(Longest100ns / 10000) ? -Longest100ns : -LONGLONG(milliseconds * 10000);
  return due;
}
