// Driver: the purge queue's start routine. Aborts reads or writes (every write
// request: those of the write queue and every write in flight), and empties
// the receive ring unless a read is being filled directly.
#include "driver/io/receive_buffer.h"
#include "driver/io/write.h"
#include "driver/serial/ioctl.h"

NTSTATUS TzSerialPurgeStart(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  ULONG mask = *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
  if (mask & SERIAL_PURGE_TXABORT) {
    TzSerialFlushQueue(&context->writeQueue);
    TzSerialWriteAbortAll(context);
  }
  if (mask & SERIAL_PURGE_RXABORT) TzSerialFlushQueue(&context->readQueue);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  // While a read is being filled directly, the ring holds nothing to discard.
  if ((mask & SERIAL_PURGE_RXCLEAR) && context->readTargetBase == context->rxBuffer) {
    TzSerialResetReadTarget(context);
    context->rxPendingCount = 0;
    TzSerialRxRingReset(context);
    TzSerialRxReleaseIfDrained(context);
  }
  irp->IoStatus.Information = 0;
  TzSerialFinishCurrentLocked(&context->purgeQueue, irp, STATUS_SUCCESS, DISPATCH_LEVEL);
  return STATUS_SUCCESS;
}
