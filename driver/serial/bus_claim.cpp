// Driver: the bus claim block: 0x55, the claim code twice, 0xAA.
#include "driver/serial/open_close.h"

namespace {

constexpr UCHAR ClaimMarkerFirst = 0x55;
constexpr UCHAR ClaimMarkerLast = 0xAA;
constexpr UCHAR ClaimCode[] = {0, 0x9C, 0x6C, 0x93};  // by TzSerialBusClaim

bool TzSerialClaimMarkersIntact(const UCHAR* block) {
  return block[0] == ClaimMarkerFirst && block[3] == ClaimMarkerLast;
}

}  // namespace

ULONG TzSerialGetBusClaim(const DeviceContext* context) {
  const UCHAR* block = context->busClaimBlock;
  if (!block || !TzSerialClaimMarkersIntact(block)) return BusClaimUnknown;
  for (ULONG state = BusClaimFree; state <= BusClaimOther; ++state)
    if (block[1] == ClaimCode[state] && block[2] == ClaimCode[state]) return state;
  return BusClaimUnknown;
}

void TzSerialSetBusClaim(DeviceContext* context, ULONG state) {
  PUCHAR block = context->busClaimBlock;
  if (!block || !TzSerialClaimMarkersIntact(block)) return;
  ULONG current = TzSerialGetBusClaim(context);
  bool claim = state == BusClaimSerial && (current == BusClaimFree || current == BusClaimSerial);
  bool release = state == BusClaimFree && current == BusClaimSerial;
  if (!claim && !release) return;
  block[1] = block[2] = ClaimCode[state];
}
