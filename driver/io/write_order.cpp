// Driver: the order in which writes use the bulk-out pipe. The first write in
// sendOrder whose transmission is not over has its turn: its total time-out
// starts then, since the writes before it no longer stand in its way, and it
// goes to the bus as soon as nothing else of it is there. One write is on
// the bus at a time, so a write's pieces never interleave with another's.
#include "driver/io/write.h"

#include "driver/io/due_time.h"
#include "driver/usb/bulk_out.h"

namespace {

// Its turn has come: the total time-out of the write starts. controlLock held.
void TzSerialWriteTakeTurnLocked(DeviceContext* context, WriteContext* write) {
  write->turnTaken = TRUE;
  ULONG multiplier = context->timeouts.WriteTotalTimeoutMultiplier;
  ULONG constant = context->timeouts.WriteTotalTimeoutConstant;
  if (!multiplier && !constant) return;
  ULONGLONG milliseconds = ULONGLONG(write->length) * multiplier + constant;
  KeSetTimer(&write->writeTimer, TzSerialRelativeDueTime(milliseconds), &write->timeoutDpc);
  write->refs |= WriteRefTimer;
}

// The write whose turn it is, when it may go to the bus now; null when there
// is none, its start DPC has not run yet, it is on the bus already, or it has
// ended and whoever ended it is letting it go. controlLock held.
WriteContext* TzSerialWriteTurnLocked(DeviceContext* context) {
  for (PLIST_ENTRY entry = context->sendOrder.Flink; entry != &context->sendOrder; entry = entry->Flink) {
    auto write = CONTAINING_RECORD(entry, WriteContext, sendLinks);
    if (write->transmitDone) continue;  // over, and completing
    if (!write->ready) return nullptr;
    if (!write->turnTaken) TzSerialWriteTakeTurnLocked(context, write);
    return write->onBus || write->endStatus ? nullptr : write;
  }
  return nullptr;
}

}  // namespace

void TzSerialWriteTransmitNext(DeviceContext* context) {
  // A write sent here may complete and free itself at once: the device stays
  // on a count of this routine's own.
  InterlockedIncrement(&context->outstandingIo);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  if (context->txSending) {
    // The sender looks again before it stops; a write that completes inside
    // its send lands here, so the stack never grows with the writes queued.
    context->txSendAgain = TRUE;
  } else {
    context->txSending = TRUE;
    do {
      context->txSendAgain = FALSE;
      WriteContext* write = TzSerialWriteTurnLocked(context);
      if (!write) continue;
      write->onBus = TRUE;
      KeReleaseSpinLockFromDpcLevel(&context->controlLock);
      TzSerialBulkOutSend(context, write);
      KeAcquireSpinLockAtDpcLevel(&context->controlLock);
      context->txSendAgain = TRUE;
    } while (context->txSendAgain);
    context->txSending = FALSE;
  }
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  TzSerialIoDecrement(context);
}
