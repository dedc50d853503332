// Driver: the IRPs, URBs and buffers of the adapter's USB transfers and the
// receive buffer, allocated ahead of use so that the data path never waits
// for memory.
#include "driver/core/globals.h"
#include "driver/pnp/pnp.h"

namespace {

// Allocates a non-paged block unless *block already holds one.
template <typename T>
bool TzSerialEnsure(T** block, SIZE_T bytes) {
  if (!*block) *block = static_cast<T*>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, TzSerialPoolTag));
  return *block != nullptr;
}

bool TzSerialEnsureIrp(DeviceContext* context, PIRP* irp) {
  if (!*irp) *irp = IoAllocateIrp(context->lowerDevice->StackSize, FALSE);
  return *irp != nullptr;
}

template <typename T>
void TzSerialFreeBlock(T** block) {
  if (*block) ExFreePoolWithTag(*block, TzSerialPoolTag);
  *block = nullptr;
}

void TzSerialFreeIrp(PIRP* irp) {
  if (*irp) IoFreeIrp(*irp);
  *irp = nullptr;
}

}  // namespace

NTSTATUS TzSerialAllocateTransferResources(DeviceContext* context) {
  PAGED_CODE();
  bool ok = TzSerialEnsure(&context->statusUrb, TzSerialUrbSize) && TzSerialEnsureIrp(context, &context->statusIrp);
  for (ULONG slot = 0; ok && slot < TzSerialBulkInSlots; ++slot) {
    ok = TzSerialEnsure(&context->bulkInUrb[slot], TzSerialUrbSize) &&
         TzSerialEnsureIrp(context, &context->bulkInIrp[slot]) &&
         TzSerialEnsure(&context->bulkInBuffer[slot], TzSerialGlobals.maxTransferSize);
  }
  ok = ok && TzSerialEnsure(&context->queuedSendUrb, TzSerialUrbSize) &&
       TzSerialEnsureIrp(context, &context->queuedSendIrp) && TzSerialEnsure(&context->rxBuffer, TzSerialRxBufferSize);
  return ok ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void TzSerialFreeTransferResources(DeviceContext* context) {
  for (ULONG slot = 0; slot < TzSerialBulkInSlots; ++slot) {
    TzSerialFreeBlock(&context->bulkInUrb[slot]);
    TzSerialFreeIrp(&context->bulkInIrp[slot]);
    TzSerialFreeBlock(&context->bulkInBuffer[slot]);
  }
  TzSerialFreeBlock(&context->queuedSendUrb);
  TzSerialFreeIrp(&context->queuedSendIrp);
  TzSerialFreeBlock(&context->statusUrb);
  TzSerialFreeIrp(&context->statusIrp);
  TzSerialFreeBlock(&context->rxBuffer);
}
