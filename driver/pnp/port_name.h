// Driver: the port's application-visible name. The \??\ link from the port
// name in the adapter's registry key, the SERIALCOMM device-map value, and
// the device interfaces; created at start, removed at tear-down.
#pragma once

#include "driver/core/device_context.h"

// The adapter family's own device interface class.
extern const GUID TzSerialPortInterfaceGuid;
extern const GUID TzSerialComPortInterfaceGuid;  // the platform's serial-port interface class
extern const GUID TzSerialModemInterfaceGuid;    // the platform's modem interface class

// Reads PortName (else Identifier) from the open device parameters key,
// retrying 10 times 50 ms apart while neither exists, and builds the link
// name \??\<port name>. On success the caller owns *portName (free with
// ExFreePoolWithTag) and linkName's buffer (paged, tag TzSerialPoolTag).
// A value that is not REG_SZ, empty, or too long for a link name is refused
// with STATUS_OBJECT_NAME_INVALID. PASSIVE_LEVEL.
NTSTATUS TzSerialReadPortName(DeviceContext* context, HANDLE key, PUNICODE_STRING linkName, PWSTR* portName);

// Names the port: link, device-map value, the family interface and the
// serial-port or modem interface. Any failure undoes the earlier steps. The
// link created is remembered in portLinkName. PASSIVE_LEVEL.
NTSTATUS TzSerialCreatePortName(DeviceContext* context);

// Registers and enables the serial-port or modem interface by interfaceClass;
// STATUS_UNSUCCESSFUL for any other class. PASSIVE_LEVEL.
NTSTATUS TzSerialRegisterClassInterface(DeviceContext* context);

// Removes what TzSerialCreatePortName made; each piece already gone is
// skipped, so it is safe after a partial start and safe twice. PASSIVE_LEVEL.
NTSTATUS TzSerialRemovePortName(DeviceContext* context);
