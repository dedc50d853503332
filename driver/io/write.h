// Driver: write requests. Every accepted write gets a WriteContext of its own
// and goes to the bulk-out pipe as soon as the writes accepted before it have
// gone, so several writes may be on the bus at once, in the order accepted.
// Up to three holders share a started write (refs): its transfer, its cancel
// routine and its timer; the one that lets go last completes it and frees the
// context.
#pragma once

#include "driver/core/device_context.h"

// refs of a started write.
constexpr ULONG WriteRefData = 0x1;    // its bulk transfer is under way
constexpr ULONG WriteRefCancel = 0x2;  // its cancel routine is set
constexpr ULONG WriteRefTimer = 0x4;   // its timer is set
constexpr ULONG WriteDone = 0x10;      // completed: nobody touches the request again

constexpr SIZE_T TzSerialWriteContextSize = 528;

struct WriteContext {
  LIST_ENTRY links;  // on activeWrites; pointing at itself once taken off
  LIST_ENTRY sendLinks;  // on sendOrder until sent or discarded; then pointing at itself
  PIRP request;      // null once completed (requestLock)
  KSPIN_LOCK requestLock;
  PIRP bulkIrp;  // allocated at the first transfer, freed with the context
  alignas(8) UCHAR urbBytes[TzSerialUrbSize];  // a bulk transfer URB; see urb()
  PDEVICE_OBJECT deviceObject;
  KDPC startDpc;
  KTIMER spareTimer;
  UCHAR zeroLengthPending;  // a zero-length packet still has to follow
  KDPC timeoutDpc;
  KTIMER writeTimer;
  PUCHAR data;     // the request's system buffer
  ULONG remaining;  // bytes the request still counts as unsent
  ULONG refs;       // WriteRef* (controlLock)
  PUCHAR nextChunk;  // first byte not yet handed to USB
  ULONG unsent;      // bytes not yet handed to USB
  ULONG sent;        // bytes the device confirmed
  ULONG length;      // the requested length
  NTSTATUS endStatus;  // STATUS_CANCELLED or STATUS_TIMEOUT once one of them ended it
  DeviceContext* context;
  ULONG pins;  // walks still using the context (activeWritesLock)
  BOOLEAN freeWhenUnpinned;  // its write is over: the last walk frees it
  BOOLEAN readyToSend;       // started: it goes when it reaches the head of sendOrder (sendOrderLock)
  // A cancel that took the queued routine while the start DPC was running or
  // not yet queued: each of the two adds one here, and the second discards
  // the write, so that neither touches it after the other has freed it.
  volatile LONG cancelMeet;

  PURB urb() { return reinterpret_cast<PURB>(urbBytes); }
};
static_assert(sizeof(WriteContext) <= TzSerialWriteContextSize, "the write context fits its block");

// The data path lets go of the write once its transfers are over (status:
// the bulk transfer's); the last holder completes it. DISPATCH_LEVEL.
void TzSerialWriteFinish(WriteContext* write, NTSTATUS status);

// Gives the write its bulk IRP, so that a cancel or time-out can reach the
// transfer. FALSE when one of them has already ended the write: the transfer
// is then not sent. IRQL <= DISPATCH_LEVEL.
BOOLEAN TzSerialWriteAttachTransfer(WriteContext* write, PIRP bulkIrp);

// Unlinks a write that is over and frees its context and bulk IRP, or leaves
// that to the walk that has it pinned. Drops the write's transmit count.
void TzSerialWriteRelease(DeviceContext* context, WriteContext* write);
// Ends a walk's pin; the last pin of a write that is over frees it.
void TzSerialWriteUnpin(DeviceContext* context, WriteContext* write);

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
