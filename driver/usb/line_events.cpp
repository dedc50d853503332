// Driver: what the adapter's notifications and the transmit path tell the
// wait state. Events the wait mask asks for either satisfy the armed wait or
// wait in the history for the next one; nothing already recorded is lost.
#include "driver/serial/line_state.h"
#include "driver/usb/status_pipe.h"

namespace {

// modemStatus, 16550 layout.
constexpr UCHAR ModemDeltaCts = 0x01;
constexpr UCHAR ModemDeltaDsr = 0x02;
constexpr UCHAR ModemTrailingRing = 0x04;
constexpr UCHAR ModemDeltaDcd = 0x08;
constexpr UCHAR ModemCts = 0x10;
constexpr UCHAR ModemDsr = 0x20;
constexpr UCHAR ModemRing = 0x40;
constexpr UCHAR ModemDcd = 0x80;

UCHAR TzSerialModemStatusOf(USHORT lines, USHORT changed) {
  UCHAR status = 0;
  if (lines & LineCts) status |= ModemCts;
  if (lines & LineDsr) status |= ModemDsr;
  if (lines & LineRing) status |= ModemRing;
  if (lines & LineRlsd) status |= ModemDcd;
  if (changed & LineCts) status |= ModemDeltaCts;
  if (changed & LineDsr) status |= ModemDeltaDsr;
  if (changed & LineRing) status |= ModemTrailingRing;
  if (changed & LineRlsd) status |= ModemDeltaDcd;
  return status;
}

// Adds the events the mask asks for to the history; an armed wait takes the
// whole history. TRUE when the caller must run the wait's completion once it
// has released controlLock. controlLock held.
BOOLEAN TzSerialRecordEvents(DeviceContext* context, ULONG events) {
  ULONG wanted = events & context->waitMask;
  if (!wanted) return FALSE;
  context->historyMask |= wanted;
  if (!TzSerialSatisfyWait(context, context->historyMask)) return FALSE;
  context->historyMask = 0;
  return TRUE;
}

}  // namespace

void TzSerialAssumeLinesLocked(DeviceContext* context, USHORT lines) {
  context->lineEventState = lines;
  context->modemStatus = TzSerialModemStatusOf(lines, 0);
}

void TzSerialUpdateLineState(DeviceContext* context, USHORT bits, USHORT mask) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  USHORT lines = USHORT((context->lineEventState & ~mask) | (bits & mask));
  // The adapter never reports CTS: it follows DSR.
  if (lines & LineDsr)
    lines |= LineCts;
  else
    lines &= ~LineCts;
  USHORT changed = USHORT((lines ^ context->lineEventState) & LineSignals);
  context->modemStatus = TzSerialModemStatusOf(lines, changed);
  context->lineEventState = lines;
  TzSerialReviewTransmitHolds(context);
  BOOLEAN complete = TzSerialRecordEvents(context, changed);
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  if (complete) TzSerialWaitCompleteDpc(nullptr, context, nullptr, nullptr);  // at DISPATCH_LEVEL
  KeLowerIrql(oldIrql);
}

void TzSerialSignalWaitEvent(DeviceContext* context, ULONG events) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  BOOLEAN complete = TzSerialRecordEvents(context, events);
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  if (complete) TzSerialWaitCompleteDpc(nullptr, context, nullptr, nullptr);  // at DISPATCH_LEVEL
  KeLowerIrql(oldIrql);
}
