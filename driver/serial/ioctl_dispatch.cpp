// Driver: the device-control dispatch routine and the code switch. Every code
// is METHOD_BUFFERED; the table gives each code's minimum input and output
// lengths, whether it passes the hold queue, and its handler.
#include "driver/core/dispatch.h"
#include "driver/serial/ioctl.h"
#include "driver/serial/queries.h"
#include "driver/serial/settings.h"

namespace {

enum TzSerialIoctlFlags : ULONG {
  IoctlHeld = 0x1,             // admitted through the hold queue
  IoctlCompletesItself = 0x2,  // the handler queues, pends or completes the request
};

struct TzSerialIoctlEntry {
  ULONG code;
  ULONG minimumInput;
  ULONG minimumOutput;
  ULONG flags;
  TzSerialIoctlHandler* handler;
  TzSerialIoctlHandler* check = nullptr;  // value checks that run before the hold queue
};

constexpr ULONG Held = IoctlHeld;
constexpr ULONG Hands = IoctlCompletesItself;

const TzSerialIoctlEntry TzSerialIoctlTable[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, Held, TzSerialSetBaudRate},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0, 0, TzSerialSetQueueSize},
    {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, Held, TzSerialSetLineControl},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0, Held, TzSerialSetBreakOn},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, Held, TzSerialSetBreakOff},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0, Hands, TzSerialImmediateChar},
    {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, 0, TzSerialSetTimeouts},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, 0, TzSerialGetTimeouts},
    {IOCTL_SERIAL_SET_DTR, 0, 0, Held, TzSerialSetDtr},
    {IOCTL_SERIAL_CLR_DTR, 0, 0, Held, TzSerialClrDtr},
    {IOCTL_SERIAL_RESET_DEVICE, 0, 0, Held, TzSerialNothingToDo},
    {IOCTL_SERIAL_SET_RTS, 0, 0, Held, TzSerialSetRts},
    {IOCTL_SERIAL_CLR_RTS, 0, 0, Held, TzSerialClrRts},
    {IOCTL_SERIAL_SET_XOFF, 0, 0, Held, TzSerialSetXoff},
    {IOCTL_SERIAL_SET_XON, 0, 0, Held, TzSerialSetXon},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, 0, TzSerialGetWaitMask},
    {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, Hands, TzSerialSetWaitMask},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, Hands, TzSerialWaitOnMask},
    {IOCTL_SERIAL_PURGE, 4, 0, Hands, TzSerialPurge},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, Held, TzSerialGetBaudRate},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3, 0, TzSerialGetLineControl},
    {IOCTL_SERIAL_GET_CHARS, 0, 6, 0, TzSerialGetChars},
    {IOCTL_SERIAL_SET_CHARS, 6, 0, 0, TzSerialSetChars},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, 16, 0, TzSerialGetHandFlow},
    {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, Held, TzSerialSetHandFlow, TzSerialCheckHandFlow},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, Held, TzSerialGetModemStatus},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20, 0, TzSerialGetCommStatus},
    {IOCTL_SERIAL_XOFF_COUNTER, 12, 0, Hands, TzSerialXoffCounter},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, 64, 0, TzSerialGetProperties},
    {IOCTL_SERIAL_GET_DTRRTS, 0, 4, Held, TzSerialGetDtrRts},
    {IOCTL_SERIAL_LSRMST_INSERT, 1, 0, 0, TzSerialSetEscapeChar},
    {IOCTL_SERIAL_CONFIG_SIZE, 0, 4, 0, TzSerialGetConfigSize},
    {IOCTL_SERIAL_GET_STATS, 0, 24, 0, TzSerialGetStats},
    {IOCTL_SERIAL_CLEAR_STATS, 0, 0, 0, TzSerialClearStats},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4, Held, TzSerialGetModemControl},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0, Held, TzSerialNothingToDo},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, 0, 0, 0, TzSerialNothingToDo},
    {IoctlVendorGetUsbIdentity, 0, 0, 0, TzSerialGetUsbIdentity},
    {IoctlVendorNoOperation, 0, 0, 0, TzSerialNothingToDo},
    {IoctlVendorResetUsbPort, 0, 0, 0, TzSerialResetUsbPort},
    {IoctlVendorRemovalNotify, 0, 0, Hands, TzSerialRemovalNotifyRequest},
};

const TzSerialIoctlEntry* TzSerialFindIoctl(ULONG code) {
  for (const TzSerialIoctlEntry& entry : TzSerialIoctlTable)
    if (entry.code == code) return &entry;
  return nullptr;
}

NTSTATUS TzSerialFinish(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

NTSTATUS TzSerialDeviceControlDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  // Refused after removal: the request's Information stays as it came.
  if (TzSerialCheckDriverStatus(irp, context) != STATUS_SUCCESS) return TzSerialFinish(irp, STATUS_DELETE_PENDING);
  if (!TzSerialIoIncrement(context)) {
    TzSerialCompleteRequest(irp, STATUS_NO_SUCH_DEVICE);
    return STATUS_NO_SUCH_DEVICE;
  }
  NTSTATUS status = TzSerialProcessIoctl(context, irp);
  TzSerialIoDecrement(context);
  return status;
}

NTSTATUS TzSerialRejectIfErrorAbort(DeviceContext* context, PIRP irp) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  bool aborting = (context->handFlow.ControlHandShake & SERIAL_ERROR_ABORT) && context->errorWord;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  if (aborting && IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode !=
                      IOCTL_SERIAL_GET_COMMSTATUS) {
    TzSerialCompleteRequest(irp, STATUS_CANCELLED);
    return STATUS_CANCELLED;
  }
  return STATUS_SUCCESS;
}

NTSTATUS TzSerialProcessIoctl(DeviceContext* context, PIRP irp) {
  PAGED_CODE();
  irp->IoStatus.Information = 0;
  NTSTATUS status = TzSerialRejectIfErrorAbort(context, irp);
  if (status != STATUS_SUCCESS) return status;

  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  const TzSerialIoctlEntry* entry = TzSerialFindIoctl(location->Parameters.DeviceIoControl.IoControlCode);
  if (!entry) return TzSerialFinish(irp, STATUS_INVALID_PARAMETER);
  if (location->Parameters.DeviceIoControl.InputBufferLength < entry->minimumInput ||
      location->Parameters.DeviceIoControl.OutputBufferLength < entry->minimumOutput)
    return TzSerialFinish(irp, STATUS_BUFFER_TOO_SMALL);

  if (entry->check) {
    status = entry->check(context, irp);
    if (!NT_SUCCESS(status)) return TzSerialFinish(irp, status);
  }
  if (entry->flags & IoctlHeld) {
    status = TzSerialHoldQueueAdmitRequest(&context->holdQueue, irp);
    if (status != STATUS_SUCCESS) return status;  // completed or held by the hold queue
  }
  status = entry->handler(context, irp);
  if (entry->flags & IoctlHeld) TzSerialHoldQueueRelease(&context->holdQueue);
  if (entry->flags & IoctlCompletesItself) return status;
  if (!NT_SUCCESS(status)) irp->IoStatus.Information = 0;
  return TzSerialFinish(irp, status);
}
