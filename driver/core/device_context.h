// Driver: the per-adapter DeviceContext record, the two device-object kinds
// that carry it, the Plug and Play states, and the request gate every
// dispatch routine passes before doing any work.
#pragma once

#include "driver/io/request_queue.h"
#include "platform/kernel.h"

constexpr ULONG FunctionDeviceSignature = 0x41424344;  // attached to the USB stack
constexpr ULONG PortDeviceSignature = 0x44434241;      // the named port (two-device scheme)

enum TzSerialDeviceState : LONG {
  DeviceStateNotStarted = 0,
  DeviceStateStarted = 1,
  DeviceStateStopPending = 2,
  DeviceStateStopped = 3,
  DeviceStateRemovePending = 4,
  DeviceStateRemoved = 5,
  DeviceStateSurpriseRemoved = 6,
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

  // writeQueue, waitMaskQueue, readQueue and purgeQueue, in that order.
  RequestQueue* requestQueues[4];

  KSPIN_LOCK controlLock;  // serial settings, wait state, receive ring, holder bits

  RequestQueue writeQueue;  // flushes and XOFF counters

  // The one armed IOCTL_SERIAL_WAIT_ON_MASK and where its result goes.
  PIRP currentWaitRequest;
  PULONG waitResultLocation;

  RequestQueue readQueue;  // reads and receive-buffer resizes
  KDPC errorAbortDpc;      // flushes reads and writes after a receive error under SERIAL_ERROR_ABORT
  RequestQueue waitMaskQueue;
  RequestQueue purgeQueue;
};

enum TzSerialQueueIndex { WriteQueueIndex = 0, WaitMaskQueueIndex = 1, ReadQueueIndex = 2, PurgeQueueIndex = 3 };

// Device-wide queue operations. PASSIVE_LEVEL for the stall.
void TzSerialStallAllQueues(DeviceContext* context);
void TzSerialRestartAllQueues(DeviceContext* context);
// Cancels every request of the handle (every request when fileObject is null);
// reads and flushes go whatever the handle.
void TzSerialCancelAllRequests(DeviceContext* context, PFILE_OBJECT fileObject);
KDEFERRED_ROUTINE TzSerialErrorAbortDpc;

// Returns the context of either device object of an adapter. Any IRQL; no lock.
DeviceContext* TzSerialGetDeviceContext(PDEVICE_OBJECT deviceObject);

// The gate: STATUS_DELETE_PENDING (also stored in the IRP's IoStatus.Status)
// for any request other than IRP_MJ_PNP once the device is removed or
// surprise-removed; STATUS_SUCCESS otherwise. Never completes the IRP.
NTSTATUS TzSerialCheckDriverStatus(PIRP irp, DeviceContext* context);

// Counts a request into the driver. Fails (and takes the count back) only
// once the device is removed. Any IRQL up to DISPATCH_LEVEL.
BOOLEAN TzSerialIoIncrement(DeviceContext* context);

// Counts a request out; the last one signals removeEvent. Up to DISPATCH_LEVEL.
void TzSerialIoDecrement(DeviceContext* context);

// Marks the device removed, drops the creation reference and waits until every
// counted request has left. IRP_MN_REMOVE_DEVICE only, PASSIVE_LEVEL, after it
// has dropped its own count.
void TzSerialWaitOutstandingIo(DeviceContext* context);
