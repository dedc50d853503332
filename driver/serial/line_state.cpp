// Driver: events, wait-on-mask, the shadow line state and the immediate
// character (being built: each routine is a stub until then).
#include "driver/serial/line_state.h"

#include "driver/io/receive_buffer.h"

void TzSerialBreakOn(DeviceContext*) {}
void TzSerialBreakOff(DeviceContext*) {}
void TzSerialHoldForXoff(DeviceContext*) {}
void TzSerialReleaseXoffHold(DeviceContext*) {}
void TzSerialInstallHandFlow(DeviceContext* context, const SERIAL_HANDFLOW* handFlow) { context->handFlow = *handFlow; }
void TzSerialDeliverEvents(DeviceContext*, ULONG) {}
void TzSerialCheckTxEmpty(DeviceContext*) {}
UCHAR TzSerialReviewModemStatus(DeviceContext*, BOOLEAN) { return 0; }
void TzSerialShadowWriteMcr(DeviceContext*, UCHAR) {}
void TzSerialShadowDtrOn(DeviceContext*) {}
void TzSerialShadowDtrOff(DeviceContext*) {}
void TzSerialShadowRtsOn(DeviceContext*) {}
void TzSerialShadowRtsOff(DeviceContext*) {}
void TzSerialRequestFlowChar(DeviceContext*, BOOLEAN) {}
void TzSerialApplyFlowSettings(DeviceContext*, const SERIAL_HANDFLOW*) {}
void TzSerialDisarmWait(DeviceContext*) {}
void TzSerialDropImmediateChar(DeviceContext*) {}
NTSTATUS TzSerialStartImmediateChar(DeviceContext*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS TzSerialWaitMaskStart(PDEVICE_OBJECT device, PIRP irp) {
  TzSerialCompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
  TzSerialStartNextRequest(&TzSerialGetDeviceContext(device)->waitMaskQueue);
  return STATUS_NOT_IMPLEMENTED;
}
void TzSerialWaitCompleteDpc(PKDPC, PVOID, PVOID, PVOID) {}
void TzSerialWaitCancel(PDEVICE_OBJECT, PIRP) {}
void TzSerialImmediateCancel(PDEVICE_OBJECT, PIRP) {}
void TzSerialImmediateTimeoutDpc(PKDPC, PVOID, PVOID, PVOID) {}
void TzSerialImmediateDoneDpc(PKDPC, PVOID, PVOID, PVOID) {}
