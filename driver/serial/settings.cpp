// Driver: the settings codes. Rate and line format reach the adapter as its
// line coding; DTR and RTS, as set or as the handshake modes imply, as its
// control-line state; everything else (flow control, characters, time-outs)
// lives only in the driver.
#include "driver/serial/settings.h"

#include "driver/core/globals.h"
#include "driver/serial/control_lines.h"
#include "driver/serial/line_state.h"
#include "driver/usb/control_requests.h"

namespace {

constexpr ULONG QueueSizePoolTag = ULONG('D') | ULONG('d') << 8 | ULONG('k') << 16 | ULONG(' ') << 24;

template <typename T>
T* TzSerialBuffer(PIRP irp) {
  return static_cast<T*>(irp->AssociatedIrp.SystemBuffer);
}

// Copies a settings record out under controlLock.
template <typename T>
NTSTATUS TzSerialReturnRecord(DeviceContext* context, PIRP irp, const T& record) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  *TzSerialBuffer<T>(irp) = record;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  irp->IoStatus.Information = sizeof(T);
  return STATUS_SUCCESS;
}

UCHAR TzSerialParityBits(UCHAR parity) {
  static const UCHAR bits[] = {0x00, 0x08, 0x18, 0x28, 0x38};
  return bits[parity];
}

// Sends the line coding as it stands, from a copy taken under controlLock.
void TzSerialSendLineCoding(DeviceContext* context) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  LineCoding coding = context->lineCoding;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  TzSerialSetLineCoding(context, &coding);
}

// DTR or RTS set or cleared by the application, unless its handshake mode
// drives it: the line moves, the other stays as set. The adapter's answer
// does not fail the request.
NTSTATUS TzSerialSetLine(DeviceContext* context, USHORT line, bool on) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  bool driven;
  if (line == ControlLineDtr) {
    driven = (context->handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
  } else {
    ULONG rts = context->handFlow.FlowReplace & SERIAL_RTS_MASK;
    driven = rts == SERIAL_RTS_HANDSHAKE || rts == SERIAL_TRANSMIT_TOGGLE;
  }
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  if (driven) return STATUS_INVALID_PARAMETER;
  TzSerialChangeControlLines(context, line, on);
  return STATUS_SUCCESS;
}

// Runs one of the line-state routines under controlLock.
NTSTATUS TzSerialUnderControlLock(DeviceContext* context, void (*action)(DeviceContext*)) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  action(context);
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  return STATUS_SUCCESS;
}

NTSTATUS TzSerialQueueOn(RequestQueue* queue, PIRP irp) { return TzSerialQueueRequest(queue, irp); }

}  // namespace

NTSTATUS TzSerialSetBaudRate(DeviceContext* context, PIRP irp) {
  ULONG rate = TzSerialBuffer<SERIAL_BAUD_RATE>(irp)->BaudRate;
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  context->currentBaudRate = rate;
  context->lineCoding.dteRate = rate;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  TzSerialSendLineCoding(context);
  return STATUS_SUCCESS;
}

NTSTATUS TzSerialGetBaudRate(DeviceContext* context, PIRP irp) {
  SERIAL_BAUD_RATE rate = {context->currentBaudRate};
  return TzSerialReturnRecord(context, irp, rate);
}

NTSTATUS TzSerialSetLineControl(DeviceContext* context, PIRP irp) {
  SERIAL_LINE_CONTROL format = *TzSerialBuffer<SERIAL_LINE_CONTROL>(irp);
  if (format.WordLength < 5 || format.WordLength > 8 || format.Parity > SPACE_PARITY || format.StopBits > STOP_BITS_2)
    return STATUS_INVALID_PARAMETER;
  // The combinations a UART cannot send, refused as the platform documents:
  // two stop bits with five data bits, one and a half with six to eight.
  // The register image could not tell them apart on the way back either.
  if ((format.WordLength == 5 && format.StopBits == STOP_BITS_2) ||
      (format.WordLength > 5 && format.StopBits == STOP_BITS_1_5))
    return STATUS_INVALID_PARAMETER;
  UCHAR lengthBits = UCHAR(format.WordLength - 5);
  UCHAR mask = UCHAR(0xFF >> (8 - format.WordLength));
  UCHAR stopBits = format.StopBits == STOP_BIT_1 ? 0x00 : 0x04;

  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  context->lineControl = UCHAR(lengthBits | stopBits | TzSerialParityBits(format.Parity) | (context->lineControl & 0x40));
  context->validDataMask = mask;
  context->lineCoding.dteRate = context->currentBaudRate;
  context->lineCoding.charFormat = format.StopBits;
  context->lineCoding.parityType = format.Parity;
  context->lineCoding.dataBits = format.WordLength;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  TzSerialSendLineCoding(context);
  return STATUS_SUCCESS;
}

NTSTATUS TzSerialGetLineControl(DeviceContext* context, PIRP irp) {
  RtlZeroMemory(irp->AssociatedIrp.SystemBuffer,
                IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength);
  auto format = TzSerialBuffer<SERIAL_LINE_CONTROL>(irp);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  UCHAR lcr = context->lineControl;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  format->WordLength = UCHAR(5 + (lcr & 0x03));
  switch (lcr & 0x38) {
    case 0x08: format->Parity = ODD_PARITY; break;
    case 0x18: format->Parity = EVEN_PARITY; break;
    case 0x28: format->Parity = MARK_PARITY; break;
    case 0x38: format->Parity = SPACE_PARITY; break;
    default: format->Parity = NO_PARITY; break;
  }
  if (lcr & 0x04) format->StopBits = format->WordLength == 5 ? STOP_BITS_1_5 : STOP_BITS_2;
  irp->IoStatus.Information = sizeof(SERIAL_LINE_CONTROL);

  // The read-back is a transfer like any other: a port reset or a stall
  // waits for it, and while one is under way it is not made (its reply is
  // not used either way).
  if (TzSerialHoldQueueAcquire(&context->holdQueue) == STATUS_SUCCESS) {
    UCHAR scratch[sizeof(LineCoding)];
    TzSerialGetLineCoding(context, scratch);
    TzSerialHoldQueueRelease(&context->holdQueue);
  }
  return STATUS_SUCCESS;
}

NTSTATUS TzSerialSetBreakOn(DeviceContext* context, PIRP) { return TzSerialUnderControlLock(context, TzSerialBreakOn); }
NTSTATUS TzSerialSetBreakOff(DeviceContext* context, PIRP) {
  return TzSerialUnderControlLock(context, TzSerialBreakOff);
}
NTSTATUS TzSerialSetXoff(DeviceContext* context, PIRP) { return TzSerialUnderControlLock(context, TzSerialHoldForXoff); }
NTSTATUS TzSerialSetXon(DeviceContext* context, PIRP) {
  return TzSerialUnderControlLock(context, TzSerialReleaseXoffHold);
}

NTSTATUS TzSerialSetTimeouts(DeviceContext* context, PIRP irp) {
  SERIAL_TIMEOUTS t = *TzSerialBuffer<SERIAL_TIMEOUTS>(irp);
  if (t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == MAXULONG &&
      t.ReadTotalTimeoutConstant == MAXULONG)
    return STATUS_INVALID_PARAMETER;
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  context->timeouts = t;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  return STATUS_SUCCESS;
}

NTSTATUS TzSerialGetTimeouts(DeviceContext* context, PIRP irp) {
  return TzSerialReturnRecord(context, irp, context->timeouts);
}

NTSTATUS TzSerialSetDtr(DeviceContext* context, PIRP) { return TzSerialSetLine(context, ControlLineDtr, true); }
NTSTATUS TzSerialClrDtr(DeviceContext* context, PIRP) { return TzSerialSetLine(context, ControlLineDtr, false); }
NTSTATUS TzSerialSetRts(DeviceContext* context, PIRP) { return TzSerialSetLine(context, ControlLineRts, true); }
NTSTATUS TzSerialClrRts(DeviceContext* context, PIRP) { return TzSerialSetLine(context, ControlLineRts, false); }

NTSTATUS TzSerialGetChars(DeviceContext* context, PIRP irp) {
  return TzSerialReturnRecord(context, irp, context->specialChars);
}

NTSTATUS TzSerialSetChars(DeviceContext* context, PIRP irp) {
  SERIAL_CHARS chars = *TzSerialBuffer<SERIAL_CHARS>(irp);
  // One character cannot both stop and resume the flow.
  if (chars.XonChar == chars.XoffChar) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  UCHAR escape = context->escapeChar;
  if (escape && (escape == chars.XonChar || escape == chars.XoffChar))
    status = STATUS_INVALID_PARAMETER;
  else
    context->specialChars = chars;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  return status;
}

NTSTATUS TzSerialGetHandFlow(DeviceContext* context, PIRP irp) {
  return TzSerialReturnRecord(context, irp, context->handFlow);
}

NTSTATUS TzSerialCheckHandFlow(DeviceContext* context, PIRP irp) {
  const SERIAL_HANDFLOW& h = *TzSerialBuffer<SERIAL_HANDFLOW>(irp);
  bool valid = !(h.ControlHandShake & SERIAL_CONTROL_INVALID) && !(h.FlowReplace & SERIAL_FLOW_INVALID) &&
               (h.ControlHandShake & SERIAL_DTR_MASK) != SERIAL_DTR_MASK && h.XonLimit >= 0 &&
               ULONG(h.XonLimit) <= context->rxBufferSize && h.XoffLimit >= 0 &&
               ULONG(h.XoffLimit) <= context->rxBufferSize;
  return valid ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS TzSerialSetHandFlow(DeviceContext* context, PIRP irp) {
  SERIAL_HANDFLOW handFlow = *TzSerialBuffer<SERIAL_HANDFLOW>(irp);
  NTSTATUS status = STATUS_SUCCESS;
  BOOLEAN linesMoved = FALSE;
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  const SERIAL_HANDFLOW before = context->handFlow;
  if (context->escapeChar && (handFlow.FlowReplace & SERIAL_ERROR_CHAR)) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    TzSerialInstallHandFlow(context, &handFlow);
    linesMoved = TzSerialFollowHandFlowLocked(context, &before);
  }
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  // A mode that now drives DTR or RTS another way moves the line on the wire.
  if (linesMoved) TzSerialSendControlLines(context);
  return status;
}

NTSTATUS TzSerialSetEscapeChar(DeviceContext* context, PIRP irp) {
  UCHAR escape = *TzSerialBuffer<UCHAR>(irp);
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  if (escape && (escape == context->specialChars.XoffChar || escape == context->specialChars.XonChar ||
                 (context->handFlow.FlowReplace & SERIAL_ERROR_CHAR)))
    status = STATUS_INVALID_PARAMETER;
  else
    context->escapeChar = escape;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  return status;
}

NTSTATUS TzSerialGetWaitMask(DeviceContext* context, PIRP irp) {
  return TzSerialReturnRecord(context, irp, context->waitMask);
}

NTSTATUS TzSerialNothingToDo(DeviceContext*, PIRP) { return STATUS_SUCCESS; }

// A receive buffer larger than the one the port has is never installed: the
// allocation only proves that the caller's quota allows it, and is released
// at once. Nothing is resized, so nothing waits: the request completes here,
// never behind the caller's own pending reads.
NTSTATUS TzSerialSetQueueSize(DeviceContext* context, PIRP irp) {
  ULONG inSize = TzSerialBuffer<SERIAL_QUEUE_SIZE>(irp)->InSize;
  if (inSize > context->rxBufferSize) {
    PVOID buffer = ExAllocatePoolWithQuotaTag(POOL_TYPE(NonPagedPoolNx | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), inSize,
                                              QueueSizePoolTag);
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    ExFreePoolWithTag(buffer, QueueSizePoolTag);
  }
  return STATUS_SUCCESS;
}

NTSTATUS TzSerialSetWaitMask(DeviceContext* context, PIRP irp) {
  if (*TzSerialBuffer<ULONG>(irp) & ~ULONG(0x1FFF)) {
    TzSerialCompleteRequest(irp, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  return TzSerialQueueOn(&context->waitMaskQueue, irp);
}

NTSTATUS TzSerialWaitOnMask(DeviceContext* context, PIRP irp) { return TzSerialQueueOn(&context->waitMaskQueue, irp); }

NTSTATUS TzSerialPurge(DeviceContext* context, PIRP irp) {
  ULONG mask = *TzSerialBuffer<ULONG>(irp);
  ULONG all = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
  if (mask == 0 || (mask & ~all)) {
    TzSerialCompleteRequest(irp, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  return TzSerialQueueOn(&context->purgeQueue, irp);
}

NTSTATUS TzSerialXoffCounter(DeviceContext* context, PIRP irp) {
  if (TzSerialBuffer<SERIAL_XOFF_COUNTER>(irp)->Counter <= 0) {
    TzSerialCompleteRequest(irp, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  return TzSerialQueueOn(&context->writeQueue, irp);
}

NTSTATUS TzSerialImmediateChar(DeviceContext* context, PIRP irp) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  if (context->immediateRequest) {
    KeReleaseSpinLock(&context->controlLock, oldIrql);
    TzSerialCompleteRequest(irp, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  context->immediateRequest = irp;
  context->charsQueued++;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  return TzSerialStartImmediateChar(context);
}
