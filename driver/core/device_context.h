// Driver: the per-adapter DeviceContext record, the two device-object kinds
// that carry it, the Plug and Play states, and the request gate every
// dispatch routine passes before doing any work.
#pragma once

#include "driver/io/request_queue.h"
#include "platform/kernel.h"

constexpr ULONG FunctionDeviceSignature = 0x41424344;  // attached to the USB stack
constexpr ULONG PortDeviceSignature = 0x44434241;      // the named port (two-device scheme)

// Which pipes the adapter's configuration offers.
enum TzSerialPipeLayout : UCHAR {
  PipeLayoutFull = 1,      // bulk-in, bulk-out and interrupt
  PipeLayoutDataOnly = 3,  // bulk-in and bulk-out
  PipeLayoutNone = 4,      // no pipes at all
  PipeLayoutInvalid = 0xFF,
};

// The CDC line coding as it travels on the wire: 7 bytes, little-endian.
#pragma pack(push, 1)
struct LineCoding {
  ULONG dteRate;     // bits per second
  UCHAR charFormat;  // stop bits: 0 = 1, 1 = 1.5, 2 = 2
  UCHAR parityType;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
  UCHAR dataBits;    // 5 to 8
};
#pragma pack(pop)
static_assert(sizeof(LineCoding) == 7, "the line coding is 7 bytes on the wire");

enum TzSerialDeviceState : LONG {
  DeviceStateNotStarted = 0,
  DeviceStateStarted = 1,
  DeviceStateStopPending = 2,
  DeviceStateStopped = 3,
  DeviceStateRemovePending = 4,
  DeviceStateRemoved = 5,
  DeviceStateSurpriseRemoved = 6,
};

constexpr ULONG TzSerialMaxInterfaces = 16;      // interface numbers 0 to 15
constexpr UCHAR TzSerialNoPipe = 0xFF;           // pipe index of a pipe not found
constexpr ULONG TzSerialBulkInSlots = 8;        // bulk-in transfers kept in flight
constexpr ULONG TzSerialUrbSize = 128;           // bytes of each pre-allocated URB
constexpr ULONG TzSerialRxBufferSize = 409600;   // bytes of the receive ring
constexpr ULONG TzSerialDeviceNameSize = 256;    // bytes of the device name buffer
constexpr ULONG TzSerialStatusBufferSize = 16;   // bytes of the interrupt-in transfer

struct DeviceContext;

// The driver's own image of the modem-control, modem-status and line-control
// registers. Nothing in it is sent to the adapter.
struct ShadowLineRegisters {
  DeviceContext* context;
  PUCHAR buffer;     // 4096 bytes, from start to tear-down
  UCHAR lcr;         // only the break bit (0x40) is used
  UCHAR mcr;         // 0x01 DTR, 0x02 RTS
  UCHAR msr;         // 16550 modem status layout
  UCHAR msrChanged;  // msr gained a change bit since it was last read
};

// Lives in the extension of the device object that carries it. In the
// two-device scheme the function device object's extension holds only
// signature and portDevice; every other byte stays zero.
struct DeviceContext {
  ULONG signature;
  PDEVICE_OBJECT functionDevice;  // attached to the USB stack; power and the work item use it
  PDEVICE_OBJECT physicalDevice;  // the bus driver's device object handed to AddDevice
  PDEVICE_OBJECT lowerDevice;     // target of everything sent down
  PDEVICE_OBJECT portDevice;      // the named device object; null in the one-device scheme
  volatile LONG outstandingIo;    // requests inside the driver, plus one until removal
  KEVENT removeEvent;             // signalled when outstandingIo reaches 0

  HoldQueue holdQueue;  // control requests and transfers while Plug and Play stalls the device

  // Written by the Plug and Play dispatch, which the system serialises, and
  // read without a lock by the gate; outstandingIo closes the removal window.
  volatile LONG deviceState;
  volatile LONG previousState;  // saved by a query-stop or query-remove

  SYSTEM_POWER_STATE systemPowerState;  // last system state set
  DEVICE_POWER_STATE devicePowerState;
  // Power requests on their way (one of each at a time, as the power manager
  // sends them): the system request waiting for its device request, and the
  // device request handed to power work.
  PIRP pendingSystemPowerIrp;
  PIRP pendingDevicePowerIrp;
  volatile LONG poweredDown;  // set by power-down work, taken back once by power-up work
  // A wake whose device request could not be had asks again from this timer.
  KTIMER powerRetryTimer;
  KDPC powerRetryDpc;
  volatile LONG powerRetriesLeft;
  // The power work routine the work item runs (a request that came at
  // DISPATCH_LEVEL).
  void (*powerWork)(PDEVICE_OBJECT deviceObject, DeviceContext* context);

  WMILIB_CONTEXT wmiLibInfo;  // no data blocks: the port exposes no WMI classes

  PIO_WORKITEM workItem;  // the adapter's one work item, for the function device object

  LONG openCount;      // 1 while the port is open
  LONG portActive;     // the port is open and its transfers may run (TzSerialPortActive)

  // writeQueue, waitMaskQueue, readQueue and purgeQueue, in that order.
  RequestQueue* requestQueues[4];

  // The adapter's configuration: the whole descriptor set, and a copy of the
  // interface information of each configured interface, by interface number.
  PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor;
  PUSBD_INTERFACE_INFORMATION interfaceInfo[TzSerialMaxInterfaces];

  // Interrupt pipe: SERIAL_STATE notifications.
  PIRP statusIrp;
  PURB statusUrb;
  UCHAR statusBuffer[TzSerialStatusBufferSize];
  volatile LONG statusBusy;  // 1 while the status transfer is in flight
  // 1 when a submission found the transfer still in flight (a late one of an
  // earlier session): its completion submits again for the open port.
  volatile LONG statusWanted;
  // 1 from our cancel of the status transfer until the next one goes down: a
  // cancel the bus made on its own is followed by a new transfer, ours is not.
  volatile LONG statusCancelAsked;

  // Bulk-in slots, each with its IRP, URB and maxTransferSize-byte buffer.
  PIRP bulkInIrp[TzSerialBulkInSlots];
  PURB bulkInUrb[TzSerialBulkInSlots];
  PUCHAR bulkInBuffer[TzSerialBulkInSlots];
  volatile LONG bulkInBusy[TzSerialBulkInSlots];  // 1 from submission until the block is delivered
  // 1 from our cancel of the slot's transfer until its next one goes down, as
  // statusCancelAsked.
  volatile LONG bulkInCancelAsked[TzSerialBulkInSlots];
  KEVENT bulkInDone[TzSerialBulkInSlots];  // signalled while the slot is idle; set last
  // Blocks reach the ring in the order their transfers went down, which is
  // the order the bus fills them (controlLock). Each transfer sent gets the
  // next number; a completion that arrives ahead of its turn is parked in its
  // slot, buffer untouched, until the earlier ones have been delivered.
  ULONG bulkInSequence[TzSerialBulkInSlots];      // number of the slot's transfer in flight
  NTSTATUS bulkInResult[TzSerialBulkInSlots];     // a parked completion's status ...
  ULONG bulkInResultLength[TzSerialBulkInSlots];  // ... and byte count
  ULONG bulkInParked;                             // slots whose completion waits for its turn
  ULONG bulkInNextSequence;                       // number of the next transfer sent
  ULONG bulkInDeliverSequence;                    // number of the next block delivered
  // Transfers are sent by one context at a time, so that numbers and bus
  // order agree: others leave their slot in bulkInSendPending (controlLock).
  ULONG bulkInSendPending;
  BOOLEAN bulkInSending;
  KDPC bulkInSendDpc;  // carries on sending when one context has sent its share

  // The bulk-out transfer that carries queued sends.
  PIRP queuedSendIrp;
  PURB queuedSendUrb;
  volatile LONG queuedSendBusy;  // 1 while it is on the bus

  KSPIN_LOCK controlLock;  // serial settings, wait state, receive ring, holder bits

  // Device interface registered at start; empty when not registered.
  UNICODE_STRING portInterfaceLink;
  UNICODE_STRING deviceName;    // \Device\TALVENO<n>; the buffer belongs to the context
  UNICODE_STRING portLinkName;  // the \??\ link this start created; empty when none

  // Serial settings.
  ULONG currentBaudRate;
  UCHAR lineControl;    // 16550 line control register layout
  UCHAR validDataMask;  // masks received bytes to the data bits in use
  SERIAL_CHARS specialChars;
  SERIAL_HANDFLOW handFlow;
  SERIAL_TIMEOUTS timeouts;
  UCHAR escapeChar;  // modem-status insertion into the receive stream; 0 = off
  SERIALPERF_STATS perfStats;
  ULONG errorWord;  // SERIAL_ERROR_* bits recorded by the receive path

  RequestQueue writeQueue;  // flushes and XOFF counters
  KTIMER writeQueueTimer;
  KDPC writeQueueTimeoutDpc;
  PIRP writeQueueIrp;      // its current request while a holder has it (controlLock)
  ULONG writeQueueRefs;    // WriteQueueHeldBy*: who holds writeQueueIrp
  PUCHAR txQueuedBuffer;   // what the current request still has to transmit
  ULONG txQueuedLength;

  // Events: the mask applications wait for, what happened meanwhile, the one
  // armed IOCTL_SERIAL_WAIT_ON_MASK, where its result goes and who holds it.
  ULONG waitMask;
  ULONG historyMask;
  PIRP currentWaitRequest;
  PULONG waitResultLocation;
  ULONG waitRequestFlags;

  // Why transmission and reception are held, and flow characters due.
  ULONG txHolding;
  ULONG rxHolding;
  UCHAR sendXonPending;
  UCHAR sendXoffPending;

  // The immediate character and its request.
  PIRP immediateRequest;
  UCHAR immediateChar;
  UCHAR immediatePending;
  ULONG immediateFlags;
  ULONG charsQueued;  // characters accepted for transmission and not yet finished
  KTIMER immediateTimer;  // the immediate character's timeout
  KDPC immediateDoneDpc;
  KDPC immediateTimeoutDpc;

  PIRP xoffCounterIrp;      // the current XOFF counter request, or null
  ULONG xoffCountRemaining;  // received characters it still counts
  ULONG xoffRefs;            // XoffHeldBy*: who holds xoffCounterIrp
  PIRP xoffNextIrp;          // a counter whose XoffChar went out while an earlier one was still ending
  KTIMER xoffTimer;  // the XOFF counter's timeout
  KDPC xoffTimeoutDpc;
  KDPC xoffCountedDpc;

  RequestQueue readQueue;  // reads
  KTIMER readTotalTimer;
  KTIMER readIntervalTimer;
  KDPC readFilledDpc;
  KDPC readTotalTimeoutDpc;
  KDPC readIntervalDpc;
  LARGE_INTEGER intervalCutover;    // interval timeouts above this poll slowly (100 ns units)
  LARGE_INTEGER intervalPollLong;   // relative due time of the slow interval poll
  LARGE_INTEGER intervalPollShort;  // relative due time of the fast interval poll
  // The current read while it is the target or held by a timer (controlLock).
  PIRP currentRead;
  ULONG readRefs;                  // ReadRef* bits: who still holds currentRead
  LONG readEndReason;              // ReadEnd*, or the bytes seen at the last interval sample
  LARGE_INTEGER readLastByteTime;  // system time of the last sample that saw bytes
  LARGE_INTEGER readIntervalTime;  // ReadIntervalTimeout in 100 ns units
  LARGE_INTEGER readIntervalPoll;  // intervalPollShort or intervalPollLong

  PUCHAR rxBuffer;  // the receive ring
  ULONG rxBufferSize;
  ULONG rxFullThreshold;  // SERIAL_EV_RX80FULL fires at this fill
  ULONG rxPendingCount;   // received bytes not yet handed to a read
  // Where received bytes go: the ring (idle) or the current read's buffer (direct).
  PUCHAR readTargetBase;
  PUCHAR readTargetCursor;
  PUCHAR readTargetLast;
  ULONG readBytesNeeded;    // bytes the current read still needs
  ULONG rxBytesDuringRead;  // bytes that arrived while a read was the target

  KDPC errorAbortDpc;  // flushes reads and writes after a receive error under SERIAL_ERROR_ABORT

  RequestQueue waitMaskQueue;
  KDPC waitCompleteDpc;

  ShadowLineRegisters shadowRegisters;

  RequestQueue purgeQueue;

  UCHAR modemStatus;     // the adapter's modem lines, 16550 modem status layout
  USHORT lineEventState;  // the line-state image (RING is 0x0100)

  LineCoding lineCoding;  // the line coding last sent to the adapter
  USHORT controlLines;    // DTR and RTS as last set for the adapter (ControlLine* bits)
  USHORT linesSent;       // ... less the receive holds: what the adapter was last told

  // The receive ring's indexes.
  ULONG rxCount;
  ULONG rxReadIndex;
  ULONG rxWriteIndex;
  ULONG rxRingSize;

  PIRP removalNotifyRequest;  // the pending vendor removal-notification request

  // Signalled while the interrupt-pipe transfer is not in flight (a
  // notification event: a reader never started reads as at rest, however
  // many closes have waited on it).
  KEVENT statusDone;

  ULONG interfaceClass;  // FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_MODEM or FILE_DEVICE_UNKNOWN

  UNICODE_STRING classInterfaceLink;  // the serial-port or modem interface

  // Where the pipes are: bulk pipes in dataInterfaceNumber's pipe list, the
  // interrupt pipe in controlInterfaceNumber's.
  UCHAR bulkOutPipeIndex;
  UCHAR bulkInPipeIndex;
  UCHAR interruptPipeIndex;
  USHORT controlInterfaceNumber;  // also the wIndex of the class requests
  UCHAR dataInterfaceNumber;
  UCHAR pipeLayout;

  ULONG usbIdentity;  // idVendor << 16 | idProduct

  // Writes not yet completed, each with its own write context, in the order
  // the dispatch routine accepted them (controlLock). They use the bulk-out
  // pipe one at a time in that order; one sender at a time sends.
  LIST_ENTRY sendOrder;
  ULONGLONG writeSequence;  // the number the last accepted write took
  BOOLEAN txSending;        // a party is sending from sendOrder
  BOOLEAN txSendAgain;      // ... and must look at it again before it stops
  PIRP flushRequest;        // the flush waiting for the writes before it
  KDPC transmitDpc;         // stops or resumes transmission as the transmit holds change
  // Transmit-side work that tear-down must outlive: write contexts, the
  // queued send and control-character transfers (txAliveLock).
  LONG txAlive;
  KSPIN_LOCK txAliveLock;
  KEVENT txIdle;  // signalled while txAlive is 0

  // The control-character transmitter: XON/XOFF and the immediate character
  // go out on a transfer of their own, one at a time, ahead of later writes.
  volatile LONG controlCharBusy;  // 1 while a control character is on the bus
  PIRP immediateSentRequest;      // the immediate request whose character is on the bus
  PVOID immediateTransfer;        // ... and the transfer carrying it, while on the bus
  PVOID controlCharTransfer;      // the control-character transfer on the bus, if any
  NTSTATUS immediateSendStatus;   // how that transfer ended
  NTSTATUS immediateEndStatus;    // STATUS_CANCELLED or STATUS_TIMEOUT once one of them ended the request
  KDPC controlCharDpc;            // sends what is due (controlLock)

  // Recovery of the readers' pipes after a pipe error (controlLock): the
  // pipes under way, attempts in a row and when the last ended, by pipe
  // (bulk-in, status), and the pause timer that queues the work item.
  ULONG pipeRecovery;
  ULONG recoveryAttempts[2];
  LARGE_INTEGER recoveryLastTime[2];
  KTIMER recoveryTimer;
  KDPC recoveryDpc;
  PIO_WORKITEM recoveryWorkItem;
  BOOLEAN recoveryWorkQueued;
  // Carries a receive hold's DTR or RTS change to the adapter at PASSIVE_LEVEL.
  PIO_WORKITEM linesWorkItem;
  BOOLEAN linesWorkQueued;

  ULONG bulkOutMaxPacketSize;
  ULONG bulkInMaxPacketSize;

  PUCHAR busClaimBlock;  // the family bus driver's four-byte claim block, or null
};

enum TzSerialQueueIndex { WriteQueueIndex = 0, WaitMaskQueueIndex = 1, ReadQueueIndex = 2, PurgeQueueIndex = 3 };

// Device-wide queue operations. For a granted query: stalls every queue one
// level (nothing new starts or goes on the bus), brings every transfer back
// (bounded) and waits, bounded, for the queues and the hold queue to go idle.
// FALSE when the device did not come to rest: the queues stay stalled and the
// caller restarts them. PASSIVE_LEVEL.
BOOLEAN TzSerialStallAllQueues(DeviceContext* context);
void TzSerialRestartAllQueues(DeviceContext* context);
// One stall level on the hold queue and every request queue, without waiting:
// nothing new starts or goes on the bus until TzSerialRestartAllQueues.
// IRQL <= DISPATCH_LEVEL.
void TzSerialHoldOffAllQueues(DeviceContext* context);
// Cancels every request of the handle (every request when fileObject is null);
// reads and flushes go whatever the handle.
void TzSerialCancelAllRequests(DeviceContext* context, PFILE_OBJECT fileObject);
// For the adapter's departure: every queue stalled one level before every
// request is cancelled, so that none can start behind the cancel, then the
// wait until no request queue has a current request. The hold queue is
// stalled but not waited for: the transfers it admitted are the caller's to
// bring back. PASSIVE_LEVEL.
void TzSerialStallAndCancelAllRequests(DeviceContext* context);
KDEFERRED_ROUTINE TzSerialErrorAbortDpc;

// Returns the context of either device object of an adapter. Any IRQL; no lock.
DeviceContext* TzSerialGetDeviceContext(PDEVICE_OBJECT deviceObject);

// The gate: STATUS_DELETE_PENDING (also stored in the IRP's IoStatus.Status)
// for any request other than IRP_MJ_PNP once the device is removed or
// surprise-removed; STATUS_SUCCESS otherwise. Never completes the IRP.
NTSTATUS TzSerialCheckDriverStatus(PIRP irp, DeviceContext* context);

// The gate for a dispatch routine that completes what it refuses: TRUE when
// the request may go on, with an outstanding-request count held that the
// dispatch routine drops as it returns, so that removal waits for a request
// still on its way into a queue; otherwise the request is completed with the
// gate's status, which *status receives.
BOOLEAN TzSerialPassGate(PIRP irp, DeviceContext* context, NTSTATUS* status);

// deviceState is written by the Plug and Play dispatch alone and read
// anywhere, without a lock; both sides are interlocked, so that a removal's
// state change and the outstanding-request count are seen in order.
inline LONG TzSerialDeviceState(DeviceContext* context) {
  return InterlockedCompareExchange(&context->deviceState, 0, 0);
}
inline void TzSerialSetDeviceState(DeviceContext* context, LONG state) {
  InterlockedExchange(&context->deviceState, state);
}

// portActive is changed by open, cleanup and close and read by completion
// routines without a lock; interlocked both sides, so that a transfer about
// to be sent sees a cleanup that has begun to cancel.
inline bool TzSerialPortActive(DeviceContext* context) {
  return InterlockedCompareExchange(&context->portActive, 0, 0) != 0;
}
inline void TzSerialSetPortActive(DeviceContext* context, bool active) {
  InterlockedExchange(&context->portActive, active ? TRUE : FALSE);
}

// Counts a request into the driver. Fails (and takes the count back) only
// once the device is removed. Any IRQL up to DISPATCH_LEVEL.
BOOLEAN TzSerialIoIncrement(DeviceContext* context);

// Counts a request out; the last one signals removeEvent. Up to DISPATCH_LEVEL.
void TzSerialIoDecrement(DeviceContext* context);

// Marks the device removed, drops the creation reference and waits until every
// counted request has left. IRP_MN_REMOVE_DEVICE only, PASSIVE_LEVEL, after it
// has dropped its own count.
void TzSerialWaitOutstandingIo(DeviceContext* context);
