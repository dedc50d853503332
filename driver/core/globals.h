// Driver: the driver-wide settings record and the registry access shared by
// every subsystem. Written by DriverEntry (and AddDevice for deviceCount).
#pragma once

#include "platform/kernel.h"

// Every pool allocation of the driver carries this tag ("TzMD" in memory).
constexpr ULONG TzSerialPoolTag = ULONG('T') | ULONG('z') << 8 | ULONG('M') << 16 | ULONG('D') << 24;

// Bits of the STATIC_SETTING registry value; the others are dropped.
enum TzSerialStaticSetting : ULONG {
  StaticSettingBlockSleepWhenOpen = 0x1,  // refuse system sleep while the port is open
  StaticSettingSingleDevice = 0x2,        // one named function device object instead of two
  StaticSettingNoZeroLengthPacket = 0x4,  // no zero-length packet after a packet-multiple write
  StaticSettingMask = 0x7,
};

struct TzSerialGlobalSettings {
  ULONG staticSetting;         // low three bits of STATIC_SETTING, 0 when absent
  ULONG deviceCount;           // number in the next device name; only grows
  ULONG maxTransferSize;       // bulk-in request size and later bulk-out pieces
  ULONG maxWriteTransferSize;  // cap on the first bulk-out transfer of a block
};

extern TzSerialGlobalSettings TzSerialGlobals;

// Reads one registry value into a new paged-pool buffer (tag TzSerialPoolTag)
// that the caller frees with ExFreePoolWithTag. keyPath, when non-null, is
// opened (relative to rootKey when that is non-null) and closed again; when
// null, rootKey is an open key the caller owns. String types get two extra
// zero bytes so that they always end in a NUL. Returns null, with *dataLength
// 0, when the key or value is missing or pool runs out. valueType, when given,
// receives the value's type.
// IRQL: PASSIVE_LEVEL.
PVOID TzSerialQueryRegistryValue(HANDLE rootKey, PCWSTR keyPath, PCWSTR valueName, PULONG dataLength,
                                 PULONG valueType = nullptr);
