// Driver: opening and closing the port (the create, cleanup and close
// dispatch routines are in driver/core/dispatch.h), and the four-byte claim
// block a lower bus driver of the adapter family may share, so that only one
// function uses the adapter at a time.
#pragma once

#include "driver/core/device_context.h"

enum TzSerialBusClaim : ULONG {
  BusClaimUnknown = 0,  // no block, or one whose content means nothing
  BusClaimFree = 1,
  BusClaimSerial = 2,
  BusClaimOther = 3,
};

// Reads the claim block. Any IRQL; no lock.
ULONG TzSerialGetBusClaim(const DeviceContext* context);

// Claims the bus for the serial port (BusClaimSerial, when free or already
// ours) or gives it back (BusClaimFree, when ours); anything else, or a block
// whose markers are damaged, is left as it is.
void TzSerialSetBusClaim(DeviceContext* context, ULONG state);
