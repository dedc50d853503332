// Driver: synchronous requests on the adapter's default pipe. The two URB
// submitters, pipe reset, set feature, and the three CDC class requests that
// carry the line coding and the DTR/RTS state (the only serial settings the
// adapter is ever told).
#pragma once

#include "driver/core/device_context.h"

// Class requests of the CDC Abstract Control Model.
constexpr UCHAR CdcSetLineCoding = 0x20;
constexpr UCHAR CdcGetLineCoding = 0x21;
constexpr UCHAR CdcSetControlLineState = 0x22;

// SET_CONTROL_LINE_STATE bits.
constexpr USHORT ControlLineDtr = 0x1;
constexpr USHORT ControlLineRts = 0x2;

constexpr USHORT UsbFeatureDeviceRemoteWakeup = 1;

// Sends one URB to lowerDevice and waits for it without a time limit; returns
// the request's final status. PASSIVE_LEVEL; the URB belongs to the caller.
NTSTATUS TzSerialSubmitUrb(DeviceContext* context, PURB urb);

// Sends one URB and waits at most 3 seconds; a request still pending then is
// cancelled and its final status returned. A request the adapter finished in
// time, even by rejecting it, gives STATUS_SUCCESS. PASSIVE_LEVEL.
NTSTATUS TzSerialSubmitUrbWithTimeout(DeviceContext* context, PURB urb);

// Resets one pipe. PASSIVE_LEVEL.
NTSTATUS TzSerialResetPipe(DeviceContext* context, USBD_PIPE_HANDLE pipe);

// Sets a device feature (DEVICE_REMOTE_WAKEUP at start). PASSIVE_LEVEL.
NTSTATUS TzSerialSetDeviceFeature(DeviceContext* context, USHORT featureSelector);

// The chip commands. Sent only to a "Modem"-class adapter with all three
// pipes; any other adapter gets STATUS_SUCCESS and nothing on the bus.
// PASSIVE_LEVEL.
NTSTATUS TzSerialSetControlLineState(DeviceContext* context, USHORT lineState);
NTSTATUS TzSerialSetLineCoding(DeviceContext* context, const LineCoding* lineCoding);
NTSTATUS TzSerialGetLineCoding(DeviceContext* context, PUCHAR buffer);

// Builds a driver-owned IRP carrying one internal device control (an URB
// submission or a port reset) to lowerDevice, with TzSerialSignalEventCompletion
// setting done. Null when no IRP can be had. The caller sends, waits and frees.
PIRP TzSerialBuildInternalIrp(DeviceContext* context, ULONG ioControlCode, PVOID argument, PKEVENT done);

// Completion routine of every synchronous request: sets the event given as
// context and keeps the IRP with its submitter. IRQL <= DISPATCH_LEVEL.
IO_COMPLETION_ROUTINE TzSerialSignalEventCompletion;
