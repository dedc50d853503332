// Driver: the answers to the status and property queries and the four vendor
// codes. Each handler fills the request's system buffer and returns the
// status to complete it with, having set Information; the buffer minimums
// were checked by the dispatch.
#pragma once

#include "driver/core/device_context.h"

// Vendor I/O control codes.
constexpr ULONG IoctlVendorGetUsbIdentity = 0x80002400;
constexpr ULONG IoctlVendorNoOperation = 0x80002404;
constexpr ULONG IoctlVendorResetUsbPort = 0x80002408;
constexpr ULONG IoctlVendorRemovalNotify = 0x222004;

NTSTATUS TzSerialGetProperties(DeviceContext* context, PIRP irp);
NTSTATUS TzSerialGetCommStatus(DeviceContext* context, PIRP irp);
NTSTATUS TzSerialGetModemStatus(DeviceContext* context, PIRP irp);
NTSTATUS TzSerialGetDtrRts(DeviceContext* context, PIRP irp);
NTSTATUS TzSerialGetModemControl(DeviceContext* context, PIRP irp);
NTSTATUS TzSerialGetConfigSize(DeviceContext* context, PIRP irp);
NTSTATUS TzSerialGetStats(DeviceContext* context, PIRP irp);
NTSTATUS TzSerialClearStats(DeviceContext* context, PIRP irp);
NTSTATUS TzSerialGetUsbIdentity(DeviceContext* context, PIRP irp);
NTSTATUS TzSerialResetUsbPort(DeviceContext* context, PIRP irp);

// Keeps the removal-notification request pending until the adapter goes away
// (STATUS_PENDING), or refuses a second one / a short buffer. Unlike the
// handlers above it completes the request itself when it does not pend.
NTSTATUS TzSerialRemovalNotifyRequest(DeviceContext* context, PIRP irp);
// Completes the pending removal notification with the value 1 (the adapter
// is gone), if its cancel routine can still be taken back. PASSIVE_LEVEL or
// DISPATCH_LEVEL; takes no lock the caller may hold.
void TzSerialCompleteRemovalNotify(DeviceContext* context);
DRIVER_CANCEL TzSerialRemovalNotifyCancel;

// Sends IOCTL_INTERNAL_USB_RESET_PORT down and waits for it. PASSIVE_LEVEL.
NTSTATUS TzSerialResetPort(DeviceContext* context);
