// Driver: the request queues. A RequestQueue runs the requests of one kind
// strictly one at a time through its start routine; the HoldQueue counts the
// operations active on the device and holds control requests while Plug and
// Play has the device stalled. Neither allocates: a waiting request carries its
// links in Tail.Overlay.ListEntry and its queue in Tail.Overlay.DriverContext[0].
//
// Ownership of a waiting request is settled by one atomic exchange of its
// cancel-routine pointer with null: whoever gets the non-null value owns it.
#pragma once

#include "platform/kernel.h"

// Begins processing the queue's current request. Always called at
// DISPATCH_LEVEL with no queue lock held. It must eventually finish the request
// and call TzSerialStartNextRequest on the queue.
typedef NTSTATUS TzSerialStartRoutine(PDEVICE_OBJECT deviceObject, PIRP irp);

struct RequestQueue {
  TzSerialStartRoutine* startRoutine;
  PDEVICE_OBJECT deviceObject;  // handed to startRoutine; leads to the DeviceContext
  LIST_ENTRY pendingList;       // waiting requests, started from the head
  KSPIN_LOCK lock;              // pendingList, currentRequest and the start decision
  PIRP currentRequest;
  KEVENT idleEvent;             // set when a start-next finds nothing to start
  volatile LONG stallCount;     // starts nothing while above 0; created at 1
  KDPC startDpc;                // starts from a DPC when startFromDpc is set
  BOOLEAN startFromDpc;
  BOOLEAN currentFinishing;     // the current request's finisher has claimed it
  // A start routine is running from the start loop, which starts the next
  // request itself when the one it started ends meanwhile (startAgain).
  BOOLEAN starting;
  BOOLEAN startAgain;
};

struct HoldQueue {
  PDEVICE_OBJECT deviceObject;  // its driver's dispatch table replays held requests
  KEVENT idleEvent;             // set when activeCount falls to 0
  LIST_ENTRY heldList;          // held control requests, first in first out
  KSPIN_LOCK lock;              // every field below
  LONG stallCount;              // above 0: stalled; created at 1
  LONG activeCount;             // admitted operations not yet released
  NTSTATUS abortStatus;         // non-zero: every admission fails with it
  PIRP replayRequest;           // the request a resume is replaying now
};

// ---- RequestQueue -----------------------------------------------------------
// Device creation, PASSIVE_LEVEL. The queue starts stalled (stallCount 1).
void TzSerialInitializeQueue(RequestQueue* queue, TzSerialStartRoutine* startRoutine, PDEVICE_OBJECT deviceObject,
                             BOOLEAN startFromDpc);

// Starts the request at once (returning the start routine's status) when the
// queue is idle and running; otherwise queues it, marked pending, and returns
// STATUS_PENDING. A request already cancelled is completed (STATUS_CANCELLED).
// IRQL <= DISPATCH_LEVEL. The queue owns the request on return.
NTSTATUS TzSerialQueueRequest(RequestQueue* queue, PIRP irp);

// Called when the current request is finished (marked finishing, or handed
// on to its holders): starts the next waiting request, or signals idleEvent.
// Called from inside a start routine (or while one runs elsewhere), it only
// leaves the start to that routine's caller, so the stack never grows with
// the number of requests waiting. IRQL <= DISPATCH_LEVEL.
void TzSerialStartNextRequest(RequestQueue* queue);

// Completes the waiting requests (of fileObject only, when not null) with
// STATUS_CANCELLED. The current request is not touched. IRQL <= DISPATCH_LEVEL.
void TzSerialCancelQueuedRequests(RequestQueue* queue, PFILE_OBJECT fileObject);

// Cancels every waiting request, then the current one through the cancel
// routine its start routine installed (none: left alone). IRQL <= DISPATCH_LEVEL;
// takes controlLock, so the caller must not hold it.
void TzSerialFlushQueue(RequestQueue* queue);

// Called under controlLock by the party about to complete the current request
// (its data path after taking back the cancel routine, or its cancel routine):
// from then on a flush leaves the request alone, since it may be freed at
// any moment. Cleared by TzSerialStartNextRequest.
void TzSerialSetCurrentFinishing(RequestQueue* queue);

// Ends the queue's current request, the one way a finisher should: marks it
// finishing while controlLock is still held (held on entry, released to
// oldIrql), completes it with status and the Information the finisher set,
// then starts the next request, so requests complete in the order they came. The caller must hold the last claim on
// the request (its cancel routine taken back, or run). DISPATCH_LEVEL on entry.
void TzSerialFinishCurrentLocked(RequestQueue* queue, PIRP irp, NTSTATUS status, KIRQL oldIrql);
// The same for a finisher that does not hold controlLock (a start routine
// refusing its request). IRQL <= DISPATCH_LEVEL.
void TzSerialFinishCurrent(RequestQueue* queue, PIRP irp, NTSTATUS status);

// Stalls the queue one level and waits until it has no current request.
// PASSIVE_LEVEL.
void TzSerialStallQueue(RequestQueue* queue);
// The two halves of a stall: one level taken at once, so that nothing new
// starts (IRQL <= DISPATCH_LEVEL), and the wait for the current request to
// end (PASSIVE_LEVEL, at most timeout when not null; FALSE when it did not
// end), with whatever ends it done in between.
void TzSerialHoldOffQueue(RequestQueue* queue);
BOOLEAN TzSerialWaitQueueIdle(RequestQueue* queue, PLARGE_INTEGER timeout);

// Takes one stall level off; at 0 the next request starts. Never leaves the
// count below 0. IRQL <= DISPATCH_LEVEL.
void TzSerialRestartQueue(RequestQueue* queue);

DRIVER_CANCEL TzSerialQueueCancelRoutine;
KDEFERRED_ROUTINE TzSerialQueueStartDpc;

// ---- HoldQueue ----------------------------------------------------------------
void TzSerialInitializeHoldQueue(HoldQueue* hold, PDEVICE_OBJECT deviceObject);

// For control requests. STATUS_SUCCESS: admitted, the caller processes it and
// calls TzSerialHoldQueueRelease once. STATUS_PENDING: held, replayed later
// through the dispatch routine. Anything else: already completed with it.
NTSTATUS TzSerialHoldQueueAdmitRequest(HoldQueue* hold, PIRP irp);

// For USB transfers, just before one is sent down: STATUS_SUCCESS (the
// completion routine releases it), abortStatus once set, or STATUS_DEVICE_BUSY
// while stalled. A refused transfer is not sent.
NTSTATUS TzSerialHoldQueueAcquire(HoldQueue* hold);
void TzSerialHoldQueueRelease(HoldQueue* hold);
void TzSerialHoldQueueStall(HoldQueue* hold);
// Replays the held requests in arrival order (those arriving meanwhile too),
// then takes one stall level off. Calls dispatch routines with no lock held.
void TzSerialHoldQueueResume(HoldQueue* hold);
void TzSerialHoldQueueCancelHeld(HoldQueue* hold, PFILE_OBJECT fileObject);
// Waits until no admitted operation is active, at most timeout when not null
// (an absolute or relative due time); FALSE when some still were. PASSIVE_LEVEL.
BOOLEAN TzSerialHoldQueueWaitIdle(HoldQueue* hold, PLARGE_INTEGER timeout);
void TzSerialHoldQueueSetAbortStatus(HoldQueue* hold, NTSTATUS status);

DRIVER_CANCEL TzSerialHoldQueueCancelRoutine;

// ---- shared helpers --------------------------------------------------------------
// Completes a request with the status and no information, without boost.
void TzSerialCompleteRequest(PIRP irp, NTSTATUS status);

// Completes with STATUS_CANCELLED, in order, the requests of a list (linked
// through Tail.Overlay.ListEntry and guarded by lock) whose cancel routine it
// can take back; only those of fileObject when that is not null.
// IRQL <= DISPATCH_LEVEL; lock is not held on entry.
void TzSerialCancelListedRequests(PKSPIN_LOCK lock, PLIST_ENTRY list, PFILE_OBJECT fileObject);
