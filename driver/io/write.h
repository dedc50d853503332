// Driver: write requests. Every accepted write gets a WriteContext of its own
// and joins sendOrder, the port's writes in the order they were accepted.
// They use the bulk-out pipe one at a time in that order: the first write
// whose transmission is not over has its turn, goes to the bus unless a
// transmit hold keeps it back, and the next one follows once it is done. Up
// to three holders share a started write (refs): its transmission, its
// cancel routine and its timer; the one that lets go last completes it and
// frees the context.
#pragma once

#include "driver/core/device_context.h"

// refs of a started write.
constexpr ULONG WriteRefData = 0x1;    // its transmission is not over
constexpr ULONG WriteRefCancel = 0x2;  // its cancel routine is set
constexpr ULONG WriteRefTimer = 0x4;   // its timer is set
constexpr ULONG WriteRefAbort = 0x8;   // an abort is cancelling its transfer
constexpr ULONG WriteDone = 0x10;      // completed: nobody touches the request again

constexpr SIZE_T TzSerialWriteContextSize = 528;

struct WriteContext {
  LIST_ENTRY sendLinks;  // on sendOrder from acceptance until completed (controlLock)
  PIRP request;          // null once completed (controlLock)
  PIRP bulkIrp;          // allocated at the first transfer, freed with the context
  alignas(8) UCHAR urbBytes[TzSerialUrbSize];  // a bulk transfer URB; see urb()
  PDEVICE_OBJECT deviceObject;
  KDPC startDpc;
  KTIMER spareTimer;
  UCHAR zeroLengthPending;  // a zero-length packet still has to follow
  KDPC timeoutDpc;
  KTIMER writeTimer;
  PUCHAR data;       // the request's system buffer
  ULONG refs;        // WriteRef* (controlLock)
  PUCHAR nextChunk;  // first byte not yet handed to USB
  ULONG unsent;      // bytes not yet handed to USB
  ULONG sent;        // bytes the bus took: the request's Information
  ULONG pieceLength; // bytes offered by the transfer on the bus
  ULONG length;      // the requested length
  NTSTATUS endStatus;     // STATUS_CANCELLED or STATUS_TIMEOUT once one of them ended it
  NTSTATUS finishStatus;  // how its transmission ended
  DeviceContext* context;
  ULONGLONG sequence;  // its place in the order of acceptance, from 1
  // Where it stands on the transmit side (controlLock).
  BOOLEAN ready;         // its start DPC has run
  BOOLEAN turnTaken;     // every write before it is done with the bus: its timer runs
  BOOLEAN onBus;         // its transfer is on the bus (or being sent)
  BOOLEAN transmitDone;  // it will not use the bus again
  BOOLEAN abortPending;  // ended by an abort that has yet to let it go
  // A cancel that took the queued routine while the start DPC was running or
  // not yet queued: each of the two adds one here, and the second discards
  // the write, so that neither touches it after the other has freed it.
  volatile LONG cancelMeet;
  BOOLEAN recalled;      // a transmit hold cancelled its transfer to hold the rest back

  PURB urb() { return reinterpret_cast<PURB>(urbBytes); }
};
static_assert(sizeof(WriteContext) <= TzSerialWriteContextSize, "the write context fits its block");

// The transmission of the write on the bus is over (status: its transfer's);
// the data path lets go and the next write may have its turn. The last holder
// completes it. IRQL <= DISPATCH_LEVEL, controlLock not held.
void TzSerialWriteFinish(WriteContext* write, NTSTATUS status);

// Gives the write its bulk IRP, so that a cancel or time-out can reach the
// transfer. FALSE when one of them has already ended the write: the transfer
// is then not sent. IRQL <= DISPATCH_LEVEL.
BOOLEAN TzSerialWriteAttachTransfer(WriteContext* write, PIRP bulkIrp);

// Sends the write whose turn it is, unless one is on the bus already or a
// transmit hold keeps it back; starts the timer of a write as its turn comes.
// Call it whenever the head of sendOrder or a hold may have changed.
// IRQL <= DISPATCH_LEVEL, controlLock not held.
void TzSerialWriteTransmitNext(DeviceContext* context);

// Ends every write not yet completed as cancelled: one waiting for its turn
// completes at once, the one on the bus once its cancelled transfer is back,
// one not yet started when its start DPC runs. A write whose transmission is
// already over completes as it ended. IRQL <= DISPATCH_LEVEL, controlLock not
// held.
void TzSerialWriteAbortAll(DeviceContext* context);

// Completes the write when no holder is left (with endStatus if set, else
// finishStatus; Information: the bytes the bus took) and frees the context.
// controlLock held on entry (taken at DISPATCH_LEVEL or with a raise from
// oldIrql), released to oldIrql.
void TzSerialWriteDropLocked(WriteContext* write, KIRQL oldIrql);

// What follows a piece's transfer (status; taken: the bytes the bus took of
// it): its next piece, a stop (the write is parked, off the bus, and resumes
// when its turn is looked at again: TzSerialWriteTransmitNext) because a
// transmit hold keeps the rest back or recalled the piece, or the end of its
// transmission. IRQL <= DISPATCH_LEVEL, controlLock not held.
enum TzSerialPieceOutcome { PieceNext, PieceParked, PieceLast };
TzSerialPieceOutcome TzSerialWritePieceDone(WriteContext* write, NTSTATUS status, ULONG taken);

// Transmit holds (txHolding): while any is set no write, queued send or
// immediate character (except under an XOFF hold alone) starts on the bus,
// and the transfer of the write on the bus is recalled; once none is left,
// transmission resumes in order. Called after txHolding changed, with
// controlLock held (the work runs in transmitDpc).
void TzSerialTransmitHoldsChanged(DeviceContext* context);
KDEFERRED_ROUTINE TzSerialTransmitDpc;

// Counts transmit-side work that tear-down must wait for (write contexts, the
// queued send, control-character transfers). Each also holds an
// outstanding-request count. IRQL <= DISPATCH_LEVEL.
void TzSerialTxAliveAdd(DeviceContext* context);
void TzSerialTxAliveDrop(DeviceContext* context);
// Waits until no transmit-side transfer or write context is left, at most
// timeout (null: no limit). Returns STATUS_SUCCESS or STATUS_TIMEOUT.
// PASSIVE_LEVEL.
NTSTATUS TzSerialWaitTransmitIdle(DeviceContext* context, PLARGE_INTEGER timeout);

KDEFERRED_ROUTINE TzSerialWriteStartDpc;
KDEFERRED_ROUTINE TzSerialWriteTimeoutDpc;
DRIVER_CANCEL TzSerialWriteCancelQueued;
DRIVER_CANCEL TzSerialWriteCancelStarted;
