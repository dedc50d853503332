// Driver: the receive ring (being built: each routine is a stub until then).
#include "driver/io/receive_buffer.h"

void TzSerialRxRingReset(DeviceContext*) {}
ULONG TzSerialRxRingPut(DeviceContext*, const UCHAR*, ULONG) { return 0; }
ULONG TzSerialRxRingGet(DeviceContext*, PUCHAR, ULONG) { return 0; }
void TzSerialRxPutChar(DeviceContext*, UCHAR) {}
void TzSerialResetReadTarget(DeviceContext*) {}
