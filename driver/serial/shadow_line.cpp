// Driver: the shadow line state, the driver's own image of the modem-control,
// modem-status and line-control registers, and the hold reasons and flow
// characters derived from it. Nothing here reaches the adapter except the
// flow characters, which the control-character transmitter sends. Every
// routine runs with controlLock held.
#include "driver/io/receive_buffer.h"
#include "driver/serial/line_state.h"
#include "driver/usb/bulk_out.h"
#include "driver/usb/status_pipe.h"

namespace {

// There is room while the pending bytes stay below the XOFF mark. Signed
// 64-bit arithmetic, so a limit above the buffer size means no room.
bool TzSerialRxHasRoom(const DeviceContext* context, const SERIAL_HANDFLOW* handFlow) {
  return LONGLONG(context->rxBufferSize) - LONGLONG(handFlow->XoffLimit) > LONGLONG(context->rxPendingCount);
}

// The handshake case shared by DTR and RTS: hold reception (line off) with no
// room; with room, release a hold only once drained to XonLimit or fewer, or
// raise a line not held.
void TzSerialApplyLineHandshake(DeviceContext* context, const SERIAL_HANDFLOW* handFlow, ULONG holdBit,
                                void (*lineOn)(DeviceContext*), void (*lineOff)(DeviceContext*)) {
  if (!TzSerialRxHasRoom(context, handFlow)) {
    context->rxHolding |= holdBit;
    lineOff(context);
  } else if (!(context->rxHolding & holdBit)) {
    lineOn(context);
  } else if (LONGLONG(context->rxPendingCount) <= LONGLONG(handFlow->XonLimit)) {
    context->rxHolding &= ~holdBit;
    lineOn(context);
  }
}

void TzSerialApplyDtr(DeviceContext* context, const SERIAL_HANDFLOW* handFlow) {
  switch (handFlow->ControlHandShake & SERIAL_DTR_MASK) {
    case 0:
      context->rxHolding &= ~RxHoldDtr;
      TzSerialShadowDtrOff(context);
      break;
    case SERIAL_DTR_CONTROL:
      context->rxHolding &= ~RxHoldDtr;
      TzSerialShadowDtrOn(context);
      break;
    case SERIAL_DTR_HANDSHAKE:
      TzSerialApplyLineHandshake(context, handFlow, RxHoldDtr, TzSerialShadowDtrOn, TzSerialShadowDtrOff);
      break;
    default:
      break;
  }
}

void TzSerialApplyRts(DeviceContext* context, const SERIAL_HANDFLOW* handFlow) {
  switch (handFlow->FlowReplace & SERIAL_RTS_MASK) {
    case 0:
      context->rxHolding &= ~RxHoldRts;
      TzSerialShadowRtsOff(context);
      break;
    case SERIAL_RTS_CONTROL:
      context->rxHolding &= ~RxHoldRts;
      TzSerialShadowRtsOn(context);
      break;
    case SERIAL_RTS_HANDSHAKE:
      TzSerialApplyLineHandshake(context, handFlow, RxHoldRts, TzSerialShadowRtsOn, TzSerialShadowRtsOff);
      break;
    default:  // SERIAL_TRANSMIT_TOGGLE: RTS follows transmission, nothing to set now
      break;
  }
}

// The modem events a reviewed status value reports, limited to waitMask.
ULONG TzSerialModemEvents(const DeviceContext* context, UCHAR value) {
  ULONG events = 0;
  if (value & ShadowMsrCtsChanged) events |= SERIAL_EV_CTS;
  if (value & ShadowMsrDsrChanged) events |= SERIAL_EV_DSR;
  if (value & ShadowMsrRingEnded) events |= SERIAL_EV_RING;
  if (value & ShadowMsrDcdChanged) events |= SERIAL_EV_RLSD;
  return events & context->waitMask;
}

}  // namespace

void TzSerialSetTxHolding(DeviceContext* context, ULONG holding) {
  if (holding == context->txHolding) return;
  context->txHolding = holding;
  TzSerialTransmitHoldsChanged(context);
}

void TzSerialReviewTransmitHolds(DeviceContext* context) {
  // The far side's lines as the adapter reports them, not the shadow image:
  // the shadow CTS only loops back the driver's own RTS.
  ULONG handShake = context->handFlow.ControlHandShake;
  USHORT lines = context->lineEventState;
  ULONG holds = 0;
  if ((handShake & SERIAL_CTS_HANDSHAKE) && !(lines & LineCts)) holds |= TxHoldCts;
  if ((handShake & SERIAL_DSR_HANDSHAKE) && !(lines & LineDsr)) holds |= TxHoldDsr;
  if ((handShake & SERIAL_DCD_HANDSHAKE) && !(lines & LineRlsd)) holds |= TxHoldDcd;
  TzSerialSetTxHolding(context, (context->txHolding & ~(TxHoldCts | TxHoldDsr | TxHoldDcd)) | holds);
}

void TzSerialShadowWriteMcr(DeviceContext* context, UCHAR value) {
  ShadowLineRegisters& shadow = context->shadowRegisters;
  shadow.mcr = value;
  // The shadow CTS loops back from the shadow RTS; DTR has no loop-back.
  bool rts = (value & ShadowMcrRts) != 0;
  bool cts = (shadow.msr & ShadowMsrCts) != 0;
  if (rts == cts) return;
  shadow.msr = UCHAR((shadow.msr ^ ShadowMsrCts) | ShadowMsrCtsChanged);
  shadow.msrChanged = TRUE;
}

void TzSerialShadowDtrOn(DeviceContext* context) {
  TzSerialShadowWriteMcr(context, UCHAR(context->shadowRegisters.mcr | ShadowMcrDtr));
}

void TzSerialShadowDtrOff(DeviceContext* context) {
  TzSerialShadowWriteMcr(context, UCHAR(context->shadowRegisters.mcr & ~ShadowMcrDtr));
}

void TzSerialShadowRtsOn(DeviceContext* context) {
  TzSerialShadowWriteMcr(context, UCHAR(context->shadowRegisters.mcr | ShadowMcrRts));
}

void TzSerialShadowRtsOff(DeviceContext* context) {
  TzSerialShadowWriteMcr(context, UCHAR(context->shadowRegisters.mcr & ~ShadowMcrRts));
}

void TzSerialBreakOn(DeviceContext* context) {
  if ((context->handFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) TzSerialShadowRtsOn(context);
  context->shadowRegisters.lcr |= ShadowLcrBreak;
  TzSerialSetTxHolding(context, context->txHolding | TxHoldBreak);
}

void TzSerialBreakOff(DeviceContext* context) {
  // Without a break on there is nothing to undo.
  if (!(context->txHolding & TxHoldBreak)) return;
  context->shadowRegisters.lcr &= UCHAR(~ShadowLcrBreak);
  TzSerialSetTxHolding(context, context->txHolding & ~TxHoldBreak);
}

void TzSerialHoldForXoff(DeviceContext* context) { TzSerialSetTxHolding(context, context->txHolding | TxHoldXoff); }

void TzSerialReleaseXoffHold(DeviceContext* context) {
  TzSerialSetTxHolding(context, context->txHolding & ~TxHoldXoff);
}

void TzSerialRequestFlowChar(DeviceContext* context, BOOLEAN xon) {
  context->sendXonPending = xon ? TRUE : FALSE;
  context->sendXoffPending = xon ? FALSE : TRUE;
  TzSerialControlCharKick(context);
}

UCHAR TzSerialReviewModemStatus(DeviceContext* context, BOOLEAN fromTransmit) {
  UNREFERENCED_PARAMETER(fromTransmit);
  ShadowLineRegisters& shadow = context->shadowRegisters;
  UCHAR value = shadow.msr;
  // Cleared before the insertion below, whose own review then finds no change.
  shadow.msr &= UCHAR(~ShadowMsrChangeBits);
  shadow.msrChanged = FALSE;

  if (context->escapeChar && (value & ShadowMsrChangeBits)) {
    TzSerialRxPutChar(context, context->escapeChar);
    TzSerialRxPutChar(context, SERIAL_LSRMST_MST);
    TzSerialRxPutChar(context, value);
  }

  if ((context->handFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) && !(value & ShadowMsrDsr))
    context->rxHolding |= RxHoldDsr;
  else
    context->rxHolding &= ~RxHoldDsr;

  if (context->waitMask) TzSerialDeliverEvents(context, TzSerialModemEvents(context, value));
  TzSerialReviewTransmitHolds(context);
  return value;
}

void TzSerialApplyFlowSettings(DeviceContext* context, const SERIAL_HANDFLOW* handFlow) {
  const SERIAL_HANDFLOW& old = context->handFlow;
  // A closed port takes every section; an open one only what changed.
  bool all = !TzSerialPortActive(context);

  if (all || ((handFlow->ControlHandShake ^ old.ControlHandShake) & SERIAL_DTR_MASK))
    TzSerialApplyDtr(context, handFlow);

  if (all || ((handFlow->FlowReplace ^ old.FlowReplace) & SERIAL_RTS_MASK)) TzSerialApplyRts(context, handFlow);

  if (all || ((handFlow->FlowReplace ^ old.FlowReplace) & SERIAL_AUTO_RECEIVE)) {
    if (handFlow->FlowReplace & SERIAL_AUTO_RECEIVE) {
      if (!TzSerialRxHasRoom(context, handFlow)) {
        context->rxHolding |= RxHoldXoff;
        TzSerialRequestFlowChar(context, FALSE);
      }
    } else if (context->rxHolding & RxHoldXoff) {
      context->rxHolding &= ~RxHoldXoff;
      TzSerialRequestFlowChar(context, TRUE);
    }
  }

  if (all || ((handFlow->FlowReplace ^ old.FlowReplace) & SERIAL_AUTO_TRANSMIT)) {
    if (!(handFlow->FlowReplace & SERIAL_AUTO_TRANSMIT) && (context->txHolding & TxHoldXoff)) {
      TzSerialSetTxHolding(context, context->txHolding & ~TxHoldXoff);
      TzSerialRequestFlowChar(context, TRUE);
    }
  }

  context->handFlow = *handFlow;
}

void TzSerialInstallHandFlow(DeviceContext* context, const SERIAL_HANDFLOW* handFlow) {
  TzSerialApplyFlowSettings(context, handFlow);
  TzSerialReviewModemStatus(context, FALSE);
}
