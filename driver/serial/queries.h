// Driver: the answers to the status and property queries and the four vendor
// codes. Each handler fills the request's system buffer and returns the
// status to complete it with, having set Information; the buffer minimums
// were checked by the dispatch.
#pragma once

#include "driver/core/device_context.h"
#include "driver/usb/port_reset.h"

// Vendor I/O control codes.
constexpr ULONG IoctlVendorGetUsbIdentity = 0x80002400;
constexpr ULONG IoctlVendorNoOperation = 0x80002404;
constexpr ULONG IoctlVendorResetUsbPort = 0x80002408;
constexpr ULONG IoctlVendorRemovalNotify = 0x222004;

// The query handlers. Called by the device-control dispatch at PASSIVE_LEVEL
// with no lock held; those that read shared state take controlLock for the
// copy only. The request stays the caller's: it completes it with the status
// returned.
NTSTATUS TzSerialGetProperties(DeviceContext* context, PIRP irp);
// Reports the bytes in the receive ring, the bytes accepted for transmission
// and not yet finished, the holds in force, whether an immediate character
// waits, and the receive errors recorded since the last query, which it
// clears (this ends an SERIAL_ERROR_ABORT lock-out).
NTSTATUS TzSerialGetCommStatus(DeviceContext* context, PIRP irp);
NTSTATUS TzSerialGetModemStatus(DeviceContext* context, PIRP irp);
NTSTATUS TzSerialGetDtrRts(DeviceContext* context, PIRP irp);
NTSTATUS TzSerialGetModemControl(DeviceContext* context, PIRP irp);
NTSTATUS TzSerialGetConfigSize(DeviceContext* context, PIRP irp);
NTSTATUS TzSerialGetStats(DeviceContext* context, PIRP irp);
NTSTATUS TzSerialClearStats(DeviceContext* context, PIRP irp);
// The vendor codes carry no minimum in the dispatch: a buffer shorter than
// the 4-byte identity gets STATUS_BUFFER_TOO_SMALL here.
NTSTATUS TzSerialGetUsbIdentity(DeviceContext* context, PIRP irp);
// Resets the adapter's USB port as the platform asks: the device's I/O is
// cancelled and waited for (bounded), the port reset, then the adapter is
// told again the line coding and the control lines it forgot, and the
// readers and the write queue's transmission go back on the bus. Requests
// held meanwhile are replayed after that. Returns the reset's status, or
// STATUS_DEVICE_BUSY when the I/O did not come back in time (the port is
// then not reset). PASSIVE_LEVEL.
NTSTATUS TzSerialResetUsbPort(DeviceContext* context, PIRP irp);

// Keeps the removal-notification request pending until the adapter goes away
// (STATUS_PENDING), or refuses a second one / a short buffer. Unlike the
// handlers above it completes the request itself when it does not pend.
// IRQL <= DISPATCH_LEVEL; takes the cancel spin lock, so the caller holds none.
NTSTATUS TzSerialRemovalNotifyRequest(DeviceContext* context, PIRP irp);
// Completes the pending removal notification with the value 1 (the adapter
// is gone), if its cancel routine can still be taken back; a request being
// cancelled is left to its cancel routine. Safe to call when none is pending
// and to call twice. IRQL <= DISPATCH_LEVEL; takes the cancel spin lock, so
// the caller must hold no spin lock.
void TzSerialCompleteRemovalNotify(DeviceContext* context);
// Cleanup's end of the pending removal notification: completed with
// STATUS_CANCELLED unless a cancel already has it. Same context as above.
void TzSerialCancelRemovalNotify(DeviceContext* context);
// Cancel routine of the pending removal notification: entered with the
// cancel spin lock held, completes the request with STATUS_CANCELLED.
DRIVER_CANCEL TzSerialRemovalNotifyCancel;
