// Driver: what arrives on the receive side. Blocks from the bulk-in transfers
// go to the ring and on into the read being filled, with the overrun rules,
// receive flow control and the receive events; under automatic transmit flow
// control the far side's XON and XOFF act on transmission instead. Single
// characters (modem-status insertion) get the per-character rules.
#include "driver/io/receive_buffer.h"

#include "driver/io/read.h"
#include "driver/io/write_queue.h"
#include "driver/serial/control_lines.h"
#include "driver/serial/line_state.h"

#include <string.h>  // memchr, which the kernel exports

namespace {

// The receive-flow-control holds that incoming more bytes on top of those
// waiting start, each tested on its own: DTR handshake, RTS handshake,
// automatic XOFF.
void TzSerialHoldReceptionIfFull(DeviceContext* context, ULONG incoming) {
  const SERIAL_HANDFLOW& handFlow = context->handFlow;
  LONGLONG free = LONGLONG(context->rxBufferSize) - LONGLONG(handFlow.XoffLimit);
  if (LONGLONG(context->rxPendingCount) + incoming < free) return;

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
  TzSerialLinesFollowHoldsLocked(context);
}

// The ring is full: count the bytes of the arrival as overrun; the most
// recently stored byte may be replaced by the error character, and under
// SERIAL_ERROR_ABORT reads and writes are flushed.
void TzSerialRxOverrun(DeviceContext* context, ULONG counted) {
  context->perfStats.BufferOverrunErrorCount += counted;
  context->errorWord |= SERIAL_ERROR_QUEUEOVERRUN;
  if ((context->handFlow.FlowReplace & SERIAL_ERROR_CHAR) && context->rxRingSize) {
    ULONG last = context->rxWriteIndex ? context->rxWriteIndex - 1 : context->rxRingSize - 1;
    context->rxBuffer[last] = context->specialChars.ErrorChar;
  }
  if (context->handFlow.ControlHandShake & SERIAL_ERROR_ABORT)
    KeInsertQueueDpc(&context->errorAbortDpc, nullptr, nullptr);
}

// The requested length of the current read (rewritten to 1 for a read cut
// down to one byte).
ULONG TzSerialCurrentReadLength(DeviceContext* context) {
  return IoGetCurrentIrpStackLocation(context->currentRead)->Parameters.Read.Length;
}

// The read target is full: it reverts to the ring and the read carries its
// whole length.
void TzSerialReadTargetFilled(DeviceContext* context) {
  TzSerialResetReadTarget(context);
  context->currentRead->IoStatus.Information = TzSerialCurrentReadLength(context);
}

ULONG TzSerialRxStore(DeviceContext* context, const UCHAR* data, ULONG length) {
  ULONG stored = TzSerialRxRingPut(context, data, length);
  context->perfStats.ReceivedCount += length;
  context->rxPendingCount += stored;

  if (context->readTargetBase == context->rxBuffer) {
    TzSerialHoldReceptionIfFull(context, 0);
    // A ring that ends up full counts the whole block, whether or not
    // anything was dropped.
    if (context->rxCount >= context->rxBufferSize) {
      TzSerialRxOverrun(context, length);
    } else if (context->rxCount >= context->rxFullThreshold && (context->waitMask & SERIAL_EV_RX80FULL)) {
      context->historyMask |= SERIAL_EV_RX80FULL;
      if (TzSerialSatisfyWait(context, context->historyMask)) {
        context->historyMask = 0;
        return RxDeferWaitComplete;
      }
    }
    return 0;
  }

  // A read is being filled, so the ring held nothing before this block:
  // the read takes what it needs and the rest stays in the ring.
  context->rxBytesDuringRead += length;
  ULONG taken = TzSerialRxRingGet(context, context->readTargetCursor, context->readBytesNeeded);
  context->rxPendingCount -= taken;
  TzSerialRxReleaseIfDrained(context);
  context->readBytesNeeded -= taken;
  if (context->readBytesNeeded == 0) {
    TzSerialReadTargetFilled(context);
    return RxDeferReadFilled;
  }
  context->readTargetCursor += taken;
  return 0;
}

ULONG TzSerialRxRaiseEvents(DeviceContext* context, const UCHAR* data, ULONG length) {
  ULONG waitMask = context->waitMask;
  if (!waitMask) return 0;
  if (waitMask & SERIAL_EV_RXCHAR) context->historyMask |= SERIAL_EV_RXCHAR;
  // Once per block, however many bytes match.
  if ((waitMask & SERIAL_EV_RXFLAG) && memchr(data, context->specialChars.EventChar, length))
    context->historyMask |= SERIAL_EV_RXFLAG;

  ULONG occurred = context->historyMask & waitMask;
  if (!occurred || !TzSerialSatisfyWait(context, occurred)) return 0;
  context->historyMask &= ~waitMask;
  context->lineEventState &= 0x1F8;
  return RxDeferWaitComplete;
}

// Under automatic transmit flow control the far side's XOFF holds
// transmission and its XON releases it, in the order they came; neither is
// data. Takes them out of the block in place; returns the bytes left.
ULONG TzSerialRxTakeFlowChars(DeviceContext* context, PUCHAR data, ULONG length) {
  if (!(context->handFlow.FlowReplace & SERIAL_AUTO_TRANSMIT)) return length;
  UCHAR xon = context->specialChars.XonChar;
  UCHAR xoff = context->specialChars.XoffChar;
  if (!memchr(data, xoff, length) && !memchr(data, xon, length)) return length;
  ULONG holding = context->txHolding;
  ULONG kept = 0;
  for (ULONG i = 0; i < length; ++i) {
    if (data[i] == xoff)
      holding |= TxHoldXoff;
    else if (data[i] == xon)
      holding &= ~TxHoldXoff;
    else
      data[kept++] = data[i];
  }
  TzSerialSetTxHolding(context, holding);
  return kept;
}

}  // namespace

ULONG TzSerialRxDataArrived(DeviceContext* context, PUCHAR data, ULONG length) {
  // Every received character counts against an XOFF counter, not only those
  // inserted one at a time.
  TzSerialXoffCount(context, length);
  ULONG kept = TzSerialRxTakeFlowChars(context, data, length);
  context->perfStats.ReceivedCount += length - kept;  // received, though not data
  if (!kept) return 0;
  ULONG deferred = TzSerialRxStore(context, data, kept);
  return deferred | TzSerialRxRaiseEvents(context, data, kept);
}

void TzSerialRxReleaseIfDrained(DeviceContext* context) {
  ULONG held = context->rxHolding & (RxHoldDtr | RxHoldRts | RxHoldXoff);
  if (!held || LONGLONG(context->rxPendingCount) > LONGLONG(context->handFlow.XonLimit)) return;
  context->rxHolding &= ~held;
  if (held & RxHoldDtr) TzSerialShadowDtrOn(context);
  if (held & RxHoldRts) TzSerialShadowRtsOn(context);
  if (held & RxHoldXoff) TzSerialRequestFlowChar(context, TRUE);
  TzSerialLinesFollowHoldsLocked(context);
}

void TzSerialRxRunDeferred(DeviceContext* context, ULONG deferred) {
  if (deferred & RxDeferReadFilled) TzSerialReadFilledDpc(nullptr, context, nullptr, nullptr);
  if (deferred & RxDeferWaitComplete) TzSerialWaitCompleteDpc(nullptr, context, nullptr, nullptr);
}

void TzSerialRxPutChar(DeviceContext* context, UCHAR character) {
  if (context->handFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) {
    TzSerialReviewModemStatus(context, FALSE);
    if (context->rxHolding & RxHoldDsr) return;  // input ignored while DSR is low
  }

  TzSerialXoffCount(context, 1);

  if (context->readTargetBase != context->rxBuffer) {
    context->rxBytesDuringRead++;
    *context->readTargetCursor = character;
    context->readBytesNeeded--;
    if (context->readTargetCursor == context->readTargetLast) {
      TzSerialReadTargetFilled(context);
      context->rxPendingCount = 0;
      TzSerialRxReleaseIfDrained(context);
      KeInsertQueueDpc(&context->readFilledDpc, nullptr, nullptr);
    } else {
      context->readTargetCursor++;
    }
    return;
  }

  TzSerialHoldReceptionIfFull(context, 1);
  if (context->rxPendingCount >= context->rxBufferSize) {
    TzSerialRxOverrun(context, 1);
    return;
  }
  context->rxPendingCount += TzSerialRxRingPut(context, &character, 1);
  if (context->rxPendingCount == context->rxFullThreshold) TzSerialDeliverEvents(context, SERIAL_EV_RX80FULL);
}
