// Driver: bringing the adapter into its working configuration at start, and
// releasing what the configuration kept at tear-down.
#pragma once

#include "driver/core/device_context.h"

// The USB identity of the adapter family; a device reporting 0 is accepted too.
constexpr USHORT AdapterVendorId = 0x7A5E;
constexpr USHORT AdapterProductId = 0xC0DE;

// Starts the adapter after the lower drivers have: re-creates any transfer
// resource a previous tear-down freed, selects the configuration, enables
// remote wake-up, prepares the shadow line registers and names the port.
// PASSIVE_LEVEL. On failure the caller runs the tear-down.
NTSTATUS TzSerialStartDevice(DeviceContext* context, PIRP irp);

// Reads and checks the descriptors, chooses the interfaces, selects the
// configuration and finds the bulk-in, bulk-out and interrupt pipes
// (pipeLayout). Descriptors are untrusted: a malformed set is refused with
// STATUS_BAD_DESCRIPTOR_FORMAT before anything is configured. PASSIVE_LEVEL.
NTSTATUS TzSerialSelectConfiguration(DeviceContext* context);

// Zeroes the shadow line registers, ties them to the context and gives them
// their 4096-byte buffer. PASSIVE_LEVEL.
NTSTATUS TzSerialInitializeShadowUart(ShadowLineRegisters* shadow, DeviceContext* context);

// Frees the transfer resources, the configuration descriptor and the
// interface information copies, under controlLock. Safe twice. Transfer
// resources still in use by a transfer in flight are kept (the tear-down
// waits for the transfers first). IRQL <= DISPATCH_LEVEL.
void TzSerialReleaseConfiguration(DeviceContext* context);

// Finds a configured pipe's handle; null when the interface or pipe is absent.
USBD_PIPE_HANDLE TzSerialPipeHandle(DeviceContext* context, UCHAR interfaceNumber, UCHAR pipeIndex);
