// Driver: the order in which writes use the bulk-out pipe, and the transmit
// holds. The first write in sendOrder whose transmission is not over has its
// turn: its total time-out starts then, since the writes before it no longer
// stand in its way, and it goes to the bus as soon as nothing else of it is
// there and no transmit hold is set. One write is on the bus at a time, so a
// write's pieces never interleave with another's. A hold that begins while a
// write is on the bus recalls its transfer: what the bus had not taken waits,
// with the rest of the write, until the holds are gone.
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

// The first write whose transmission is not over, or null. controlLock held.
WriteContext* TzSerialWriteFirstLocked(DeviceContext* context) {
  for (PLIST_ENTRY entry = context->sendOrder.Flink; entry != &context->sendOrder; entry = entry->Flink) {
    auto write = CONTAINING_RECORD(entry, WriteContext, sendLinks);
    if (!write->transmitDone) return write;  // the others are over, and completing
  }
  return nullptr;
}

// The write whose turn it is, when it may go to the bus now; null when there
// is none, its start DPC has not run yet, it is on the bus already, it has
// ended and whoever ended it is letting it go, or a hold keeps it back (its
// time-out runs all the same). controlLock held.
WriteContext* TzSerialWriteTurnLocked(DeviceContext* context) {
  WriteContext* write = TzSerialWriteFirstLocked(context);
  if (!write || !write->ready) return nullptr;
  if (!write->turnTaken) TzSerialWriteTakeTurnLocked(context, write);
  return write->onBus || write->endStatus || context->txHolding ? nullptr : write;
}

// A hold is set: the write on the bus gives its transfer back. The cancel is
// made outside controlLock (the transfer may complete at once), with the
// write pinned by WriteRefAbort. controlLock held at DISPATCH_LEVEL; released
// on return.
void TzSerialWriteRecallLocked(DeviceContext* context) {
  WriteContext* write = TzSerialWriteFirstLocked(context);
  if (!write || !write->onBus || !write->bulkIrp || write->recalled || write->endStatus) {
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    return;
  }
  write->recalled = TRUE;
  write->refs |= WriteRefAbort;
  PIRP transfer = write->bulkIrp;
  KeReleaseSpinLockFromDpcLevel(&context->controlLock);
  IoCancelIrp(transfer);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  write->refs &= ~WriteRefAbort;
  TzSerialWriteDropLocked(write, DISPATCH_LEVEL);
}

}  // namespace

TzSerialPieceOutcome TzSerialWritePieceDone(WriteContext* write, NTSTATUS status, ULONG taken) {
  DeviceContext* context = write->context;
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  write->recalled = FALSE;
  TzSerialPieceOutcome outcome = PieceLast;
  if (write->endStatus) {
    outcome = PieceLast;  // cancelled or timed out: nothing more goes
  } else if (status == STATUS_CANCELLED) {
    // Only a hold's recall cancels a transfer of a write that has not ended
    // (a recall that came late may even catch a later piece): what the bus
    // had not taken of the piece goes again once its turn comes back.
    ULONG untaken = write->pieceLength - taken;
    write->nextChunk -= untaken;
    write->unsent += untaken;
    if (!write->pieceLength) write->zeroLengthPending = 1;
    outcome = PieceParked;
  } else if (NT_SUCCESS(status) && (write->unsent || write->zeroLengthPending)) {
    // A zero-length packet only ends what went out: no hold keeps it back.
    outcome = write->unsent && context->txHolding ? PieceParked : PieceNext;
  }
  if (outcome == PieceParked) write->onBus = FALSE;
  KeReleaseSpinLock(&context->controlLock, oldIrql);
  return outcome;
}

void TzSerialTransmitHoldsChanged(DeviceContext* context) {
  // The device stays until the DPC is done: the caller holds a count of its
  // own (a request, a transfer), so this one is never the first.
  if (KeInsertQueueDpc(&context->transmitDpc, nullptr, nullptr)) InterlockedIncrement(&context->outstandingIo);
}

void TzSerialTransmitDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto context = static_cast<DeviceContext*>(deferredContext);
  KeAcquireSpinLockAtDpcLevel(&context->controlLock);
  if (context->txHolding) {
    TzSerialWriteRecallLocked(context);
  } else {
    KeReleaseSpinLockFromDpcLevel(&context->controlLock);
    TzSerialWriteTransmitNext(context);
    TzSerialQueuedSend(context);
    TzSerialControlCharKick(context);
  }
  TzSerialIoDecrement(context);
}

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
