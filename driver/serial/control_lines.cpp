// Driver: the DTR and RTS lines the adapter is told. The application's
// requests and the handshake modes change controlLines under controlLock;
// the change is then sent, outside the lock, as the adapter's whole
// control-line state, so a request for one line never moves the other.
#include "driver/serial/control_lines.h"

#include "driver/usb/control_requests.h"

// GET_DTRRTS and GET_MODEM_CONTROL report controlLines as it is.
static_assert(SERIAL_DTR_STATE == ControlLineDtr && SERIAL_RTS_STATE == ControlLineRts, "one layout");
static_assert(SERIAL_IOC_MCR_DTR == ControlLineDtr && SERIAL_IOC_MCR_RTS == ControlLineRts, "one layout");

USHORT TzSerialLinesOfHandFlow(const SERIAL_HANDFLOW* handFlow) {
  USHORT lines = 0;
  if (handFlow->ControlHandShake & SERIAL_DTR_MASK) lines |= ControlLineDtr;
  ULONG rts = handFlow->FlowReplace & SERIAL_RTS_MASK;
  if (rts == SERIAL_RTS_CONTROL || rts == SERIAL_RTS_HANDSHAKE) lines |= ControlLineRts;
  return lines;
}

USHORT TzSerialControlLines(DeviceContext* context) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  USHORT lines = context->controlLines;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  return lines;
}

NTSTATUS TzSerialSendControlLines(DeviceContext* context) {
  PAGED_CODE();
  return TzSerialSetControlLineState(context, TzSerialControlLines(context));
}

NTSTATUS TzSerialSetControlLines(DeviceContext* context, USHORT lines) {
  PAGED_CODE();
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  context->controlLines = lines;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  return TzSerialSetControlLineState(context, lines);
}

NTSTATUS TzSerialChangeControlLines(DeviceContext* context, USHORT lines, bool on) {
  PAGED_CODE();
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  USHORT now = on ? USHORT(context->controlLines | lines) : USHORT(context->controlLines & ~lines);
  context->controlLines = now;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  return TzSerialSetControlLineState(context, now);
}

BOOLEAN TzSerialFollowHandFlowLocked(DeviceContext* context, const SERIAL_HANDFLOW* before) {
  const SERIAL_HANDFLOW& now = context->handFlow;
  USHORT implied = TzSerialLinesOfHandFlow(&now);
  USHORT changed = 0;
  if ((now.ControlHandShake ^ before->ControlHandShake) & SERIAL_DTR_MASK) changed |= ControlLineDtr;
  if ((now.FlowReplace ^ before->FlowReplace) & SERIAL_RTS_MASK) changed |= ControlLineRts;
  USHORT lines = USHORT((context->controlLines & ~changed) | (implied & changed));
  if (lines == context->controlLines) return FALSE;
  context->controlLines = lines;
  return TRUE;
}
