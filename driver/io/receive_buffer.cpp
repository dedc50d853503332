// Driver: the receive ring (a byte ring in rxBuffer with its own indexes), the
// read target's reset, and the insertion of single characters into the receive
// stream with receive flow control and the overrun rules.
#include "driver/io/receive_buffer.h"

#include "driver/serial/line_state.h"

namespace {

// The receive-flow-control holds one more character would start, each tested
// on its own: DTR handshake, RTS handshake, automatic XOFF.
void TzSerialHoldReceptionIfFull(DeviceContext* context) {
  const SERIAL_HANDFLOW& handFlow = context->handFlow;
  LONGLONG free = LONGLONG(context->rxBufferSize) - LONGLONG(handFlow.XoffLimit);
  if (LONGLONG(context->rxPendingCount) + 1 < free) return;

  if ((handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE && !(context->rxHolding & RxHoldDtr)) {
    context->rxHolding |= RxHoldDtr;
    TzSerialShadowDtrOff(context);
  }
  if ((handFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE && !(context->rxHolding & RxHoldRts)) {
    context->rxHolding |= RxHoldRts;
    TzSerialShadowRtsOff(context);
  }
  if ((handFlow.FlowReplace & SERIAL_AUTO_RECEIVE) && !(context->rxHolding & RxHoldXoff)) {
    context->rxHolding |= RxHoldXoff;
    TzSerialRequestFlowChar(context, FALSE);
  }
}

// A character that finds the buffer full is dropped and counted; the most
// recently stored byte may be replaced by the error character, and under
// SERIAL_ERROR_ABORT reads and writes are flushed.
void TzSerialRxOverrun(DeviceContext* context, ULONG dropped) {
  context->perfStats.BufferOverrunErrorCount += dropped;
  context->errorWord |= SERIAL_ERROR_QUEUEOVERRUN;
  if ((context->handFlow.FlowReplace & SERIAL_ERROR_CHAR) && context->rxRingSize) {
    ULONG last = context->rxWriteIndex ? context->rxWriteIndex - 1 : context->rxRingSize - 1;
    context->rxBuffer[last] = context->specialChars.ErrorChar;
  }
  if (context->handFlow.ControlHandShake & SERIAL_ERROR_ABORT)
    KeInsertQueueDpc(&context->errorAbortDpc, nullptr, nullptr);
}

}  // namespace

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

void TzSerialRxPutChar(DeviceContext* context, UCHAR character) {
  if (context->handFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) {
    TzSerialReviewModemStatus(context, FALSE);
    if (context->rxHolding & RxHoldDsr) return;  // input ignored while DSR is low
  }

  // A read being filled directly would take the character itself; no read
  // makes itself the target yet, so the character always goes to the ring.
  TzSerialHoldReceptionIfFull(context);
  if (context->rxPendingCount >= context->rxBufferSize) {
    TzSerialRxOverrun(context, 1);
    return;
  }
  context->rxPendingCount += TzSerialRxRingPut(context, &character, 1);
  if (context->rxPendingCount == context->rxFullThreshold) TzSerialDeliverEvents(context, SERIAL_EV_RX80FULL);
}
