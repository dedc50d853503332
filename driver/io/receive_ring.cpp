// Driver: the receive ring, a byte ring in rxBuffer with its own indexes, and
// the read target's reset. Every routine runs with controlLock held.
#include "driver/io/receive_buffer.h"

void TzSerialRxRingReset(DeviceContext* context) {
  context->rxCount = 0;
  context->rxReadIndex = 0;
  context->rxWriteIndex = 0;
  context->rxRingSize = TzSerialRxBufferSize;
}

ULONG TzSerialRxRingPut(DeviceContext* context, const UCHAR* data, ULONG length) {
  ULONG stored = length < context->rxRingSize - context->rxCount ? length : context->rxRingSize - context->rxCount;
  ULONG toEnd = context->rxRingSize - context->rxWriteIndex;
  ULONG first = toEnd < stored ? toEnd : stored;
  RtlCopyMemory(context->rxBuffer + context->rxWriteIndex, data, first);
  if (first == stored) {
    // May reach rxRingSize, which the next put reads as 0.
    context->rxWriteIndex += stored;
  } else {
    RtlCopyMemory(context->rxBuffer, data + first, stored - first);
    context->rxWriteIndex = stored - first;
  }
  context->rxCount += stored;
  return stored;
}

ULONG TzSerialRxRingGet(DeviceContext* context, PUCHAR buffer, ULONG length) {
  if (context->rxCount == 0) return 0;
  ULONG taken = length < context->rxCount ? length : context->rxCount;
  ULONG toEnd = context->rxRingSize - context->rxReadIndex;
  ULONG first = toEnd < taken ? toEnd : taken;
  RtlCopyMemory(buffer, context->rxBuffer + context->rxReadIndex, first);
  if (first == taken) {
    context->rxReadIndex += taken;
  } else {
    RtlCopyMemory(buffer + first, context->rxBuffer, taken - first);
    context->rxReadIndex = taken - first;
  }
  context->rxCount -= taken;
  return taken;
}

void TzSerialResetReadTarget(DeviceContext* context) {
  context->readTargetBase = context->rxBuffer;
  context->readTargetCursor = context->rxBuffer;
  context->readTargetLast = context->rxBuffer + context->rxBufferSize - 1;
}
