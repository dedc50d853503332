// Driver: the status and property queries, the statistics, and the vendor
// code that answers at once (USB identity). The port reset is in
// vendor_reset.cpp; the removal notification, which pends, in
// removal_notify.cpp.
#include "driver/serial/queries.h"

#include "driver/serial/control_lines.h"
#include "driver/serial/line_state.h"

namespace {

// SERIAL_COMMPROP values, in the platform's published encodings.
constexpr USHORT CommPropVersion = 2;
constexpr ULONG CommPropServiceSerial = 0x00000001;  // serial communication service
constexpr ULONG CommPropMaxBaudUser = 0x10000000;    // user-defined rates
constexpr ULONG CommPropSubTypeRs232 = 0x00000001;
// DTR/DSR, RTS/CTS, carrier detect, parity check, XON/XOFF, settable XON/XOFF
// characters, total and interval time-outs.
constexpr ULONG CommPropCapabilities = 0x000000FF;
// Parity, rate, data bits, stop bits, handshaking, parity check, carrier detect.
constexpr ULONG CommPropSettableParams = 0x0000007F;
// Every fixed rate from 75 to 57600, 115200 and 128000 bit/s, and user-defined rates.
constexpr ULONG CommPropSettableBaud = 0x1007FFFF;
constexpr USHORT CommPropSettableData = 0x000F;        // 5, 6, 7 and 8 data bits
constexpr USHORT CommPropSettableStopParity = 0x1F07;  // 1, 1.5, 2 stop bits; every parity

PVOID TzSerialSystemBuffer(PIRP irp) { return irp->AssociatedIrp.SystemBuffer; }

ULONG TzSerialOutputLength(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

// The reasons transmission waits, in SERIAL_STATUS HoldReasons terms, from
// the transmit and receive holds in force. controlLock held.
ULONG TzSerialHoldReasonsLocked(const DeviceContext* context) {
  ULONG tx = context->txHolding, rx = context->rxHolding, reasons = 0;
  if (tx & TxHoldCts) reasons |= SERIAL_TX_WAITING_FOR_CTS;
  if (tx & TxHoldDsr) reasons |= SERIAL_TX_WAITING_FOR_DSR;
  if (tx & TxHoldDcd) reasons |= SERIAL_TX_WAITING_FOR_DCD;
  if (tx & TxHoldXoff) reasons |= SERIAL_TX_WAITING_FOR_XON;
  if (tx & TxHoldBreak) reasons |= SERIAL_TX_WAITING_ON_BREAK;
  if (rx & RxHoldXoff) reasons |= SERIAL_TX_WAITING_XOFF_SENT;
  if (rx & RxHoldDsr) reasons |= SERIAL_RX_WAITING_FOR_DSR;
  return reasons;
}

NTSTATUS TzSerialReturnUlong(PIRP irp, ULONG value) {
  *static_cast<PULONG>(TzSerialSystemBuffer(irp)) = value;
  irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS TzSerialGetProperties(DeviceContext* context, PIRP irp) {
  auto properties = static_cast<PSERIAL_COMMPROP>(TzSerialSystemBuffer(irp));
  RtlZeroMemory(properties, sizeof(SERIAL_COMMPROP));
  properties->PacketLength = sizeof(SERIAL_COMMPROP);
  properties->PacketVersion = CommPropVersion;
  properties->ServiceMask = CommPropServiceSerial;
  properties->MaxBaud = CommPropMaxBaudUser;
  properties->ProvSubType = CommPropSubTypeRs232;
  properties->ProvCapabilities = CommPropCapabilities;
  properties->SettableParams = CommPropSettableParams;
  properties->SettableBaud = CommPropSettableBaud;
  properties->SettableData = CommPropSettableData;
  properties->SettableStopParity = CommPropSettableStopParity;
  properties->CurrentRxQueue = context->rxBufferSize;
  irp->IoStatus.Information = sizeof(SERIAL_COMMPROP);
  return STATUS_SUCCESS;
}

NTSTATUS TzSerialGetCommStatus(DeviceContext* context, PIRP irp) {
  auto status = static_cast<PSERIAL_STATUS>(TzSerialSystemBuffer(irp));
  RtlZeroMemory(status, sizeof(SERIAL_STATUS));
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->controlLock, &oldIrql);
  status->AmountInInQueue = context->rxCount;
  // Bytes accepted for transmission and not yet finished; the immediate
  // character counts in charsQueued too but is reported on its own.
  status->WaitForImmediate = context->immediateRequest != nullptr;
  status->AmountInOutQueue = context->charsQueued - (status->WaitForImmediate ? 1 : 0);
  status->HoldReasons = TzSerialHoldReasonsLocked(context);
  // Reporting the recorded errors hands them to the application; clearing
  // them here is what lets a port under SERIAL_ERROR_ABORT work again.
  status->Errors = context->errorWord;
  context->errorWord = 0;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  irp->IoStatus.Information = sizeof(SERIAL_STATUS);
  return STATUS_SUCCESS;
}

NTSTATUS TzSerialGetModemStatus(DeviceContext* context, PIRP irp) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->controlLock, &oldIrql);
  ULONG modemStatus = context->modemStatus;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  return TzSerialReturnUlong(irp, modemStatus);
}

// The adapter gives no way to read its lines back: this query and the next
// report the lines as last set for it.
NTSTATUS TzSerialGetDtrRts(DeviceContext* context, PIRP irp) {
  return TzSerialReturnUlong(irp, TzSerialControlLines(context));
}

NTSTATUS TzSerialGetModemControl(DeviceContext* context, PIRP irp) {
  return TzSerialReturnUlong(irp, TzSerialControlLines(context));
}

NTSTATUS TzSerialGetConfigSize(DeviceContext*, PIRP irp) {
  // No provider-specific configuration.
  return TzSerialReturnUlong(irp, 0);
}

NTSTATUS TzSerialGetStats(DeviceContext* context, PIRP irp) {
  auto stats = static_cast<PSERIALPERF_STATS>(TzSerialSystemBuffer(irp));
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->controlLock, &oldIrql);
  *stats = context->perfStats;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  irp->IoStatus.Information = sizeof(SERIALPERF_STATS);
  return STATUS_SUCCESS;
}

NTSTATUS TzSerialClearStats(DeviceContext* context, PIRP irp) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->controlLock, &oldIrql);
  RtlZeroMemory(&context->perfStats, sizeof context->perfStats);
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  irp->IoStatus.Information = 0;
  return STATUS_SUCCESS;
}

NTSTATUS TzSerialGetUsbIdentity(DeviceContext* context, PIRP irp) {
  irp->IoStatus.Information = 0;
  if (TzSerialOutputLength(irp) < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  return TzSerialReturnUlong(irp, context->usbIdentity);
}
