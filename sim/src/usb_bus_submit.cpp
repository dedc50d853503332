// Simulated platform: the simulated bus driver's entry for one adapter (URBs
// and port reset). Checks each URB as the platform's USB stack does and routes
// it: transfers to the pipes' queues, ABORT_PIPE here, the rest to the device.
#include "usb_adapter_state.h"

namespace sim::usb {

using namespace model;

NTSTATUS CdcAcmAdapter::internalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  if (location->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL)
    stop("simulated USB bus", "received a request other than IRP_MJ_INTERNAL_DEVICE_CONTROL");
  Bus::seedOnce(*state_, pdo);
  ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
  if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
    // The documented rules: sent at PASSIVE_LEVEL, and only once the driver
    // has cancelled the device's I/O and waited for it.
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) stop("IOCTL_INTERNAL_USB_RESET_PORT", "sent above PASSIVE_LEVEL");
    NTSTATUS status;
    {
      std::lock_guard lock(state_->mutex);
      size_t pending = state_->inFlight.size() + state_->delivering.size();
      if (pending)
        stop("IOCTL_INTERNAL_USB_RESET_PORT",
             std::to_string(pending) +
                 " request(s) of the device still pending on the bus: a driver cancels the device's I/O and waits "
                 "for it before it resets the port");
      state_->resetPort();
      status = state_->gone ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  if (code != IOCTL_INTERNAL_USB_SUBMIT_URB)
    stop("simulated USB bus", "internal device control " + std::to_string(code) + " is not implemented");
  auto urb = static_cast<PURB>(location->Parameters.Others.Argument1);
  if (!urb) stop(kSubmit, "Argument1 holds no URB");
  return Bus::submit(*state_, irp, urb);
}

namespace {

bool isPipeRequest(USHORT function) {
  return function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || function == URB_FUNCTION_SYNC_RESET_PIPE ||
         function == URB_FUNCTION_SYNC_CLEAR_STALL || function == URB_FUNCTION_ABORT_PIPE;
}

// Fails loudly on what the simulated bus does not implement.
void refuseUnimplemented(PURB urb, bool control) {
  USHORT function = urb->UrbHeader.Function;
  if (isTransferFunction(function)) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    if (t.TransferBufferMDL) stop(kSubmit, "transfer buffers described by an MDL are not implemented");
    if (t.UrbLink) stop(kSubmit, "linked URBs are not implemented");
  }
  bool known = control || function == URB_FUNCTION_SELECT_CONFIGURATION ||
               function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || isPipeRequest(function);
  if (!known) stop(kSubmit, "URB function " + std::to_string(function) + " is not implemented by the simulated bus");
}

}  // namespace

NTSTATUS Bus::submit(State& s, PIRP irp, PURB urb) {
  USHORT function = urb->UrbHeader.Function;
  Setup setup;
  bool control = setupOf(urb, setup);
  refuseUnimplemented(urb, control);

  std::unique_lock lock(s.mutex);
  uint64_t id = s.nextId++;
  // The record goes only to the URB record and the tap; the clock is read for them alone.
  bool recorded = s.options.record || s.tapping.load(std::memory_order_relaxed);
  UrbRecord record{.id = id, .function = function, .control = control, .submitted100ns = recorded ? sim::now() : 0};
  if (control) {
    record.requestType = setup.type;
    record.request = setup.request;
    record.value = setup.value;
    record.index = setup.index;
    record.length = setup.length;
  }

  // Checks the bus makes before anything reaches the device.
  std::optional<Outcome> refused;
  USHORT minimum = control ? USHORT(sizeof(struct _URB_CONTROL_TRANSFER)) : 0;
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) minimum = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  if (urb->UrbHeader.Length < minimum) refused = failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  if (!refused && isTransferFunction(function)) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    record.transferFlags = t.TransferFlags;
    record.requestedLength = t.TransferBufferLength;
    if (t.TransferBufferLength && !t.TransferBuffer)
      refused = failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }
  if (!refused && s.gone) refused = deviceGone();
  Pipe* pipe = nullptr;
  if (!refused && function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    pipe = s.pipeOf(t.PipeHandle);
    if (!pipe) {
      refused = failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    } else {
      record.endpoint = pipe->endpoint.address;
      record.endpointType = uint8_t(pipe->endpoint.attributes & USB_ENDPOINT_TYPE_MASK);
      if (bool(t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != pipe->in())
        refused = failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
  }
  if (!refused && isPipeRequest(function) && urb->UrbHeader.Length >= sizeof(struct _URB_PIPE_REQUEST))
    if (Pipe* p = s.pipeOf(urb->UrbPipeRequest.PipeHandle)) record.endpoint = p->endpoint.address;
  if (!refused && function == URB_FUNCTION_SELECT_CONFIGURATION &&
      urb->UrbHeader.Length >= offsetof(struct _URB_SELECT_CONFIGURATION, Interface) &&
      urb->UrbSelectConfiguration.ConfigurationDescriptor)
    record.value = urb->UrbSelectConfiguration.ConfigurationDescriptor->bConfigurationValue;
  s.noteSubmit(record);
  s.tapSubmit(std::move(record), refused ? nullptr : urb);

  if (refused) {
    s.noteFinish(id, *refused, UrbRecord::State::Completed);
    s.tapFinish(id, nullptr, *refused);
    lock.unlock();
    flushTap(s);
    completeUrb(irp, urb, *refused);
    return refused->status;
  }
  if (pipe) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    if (!pipe->in() && pipe->type() == UsbdPipeTypeBulk) s.noteBulkOutOffered(t.TransferBufferLength);
    if (int& lose = s.loseTransfers[pipe->endpoint.address]; lose > 0) {
      --lose;
      IoMarkIrpPending(irp);
      s.lost.emplace_back(id, InFlight{irp, urb, pipe, {}, false});
      return STATUS_PENDING;
    }
    hold(s, id, {irp, urb, pipe, {}, false});
    bool queue = claimPumpLocked(s);
    lock.unlock();
    flushTap(s);
    if (queue) queuePump(s);
    return STATUS_PENDING;
  }
  if (function == URB_FUNCTION_ABORT_PIPE) return abortPipe(s, lock, id, irp, urb);
  return answerRequest(s, lock, id, irp, urb, setup, control);
}

// Abort completes once no transfer of the pipe is left: the ones still waiting
// for the device are cancelled, and filled ones whose completion is on its way
// complete first, with their data.
NTSTATUS Bus::abortPipe(State& s, std::unique_lock<std::mutex>& lock, uint64_t id, PIRP irp, PURB urb) {
  Pipe* pipe = urb->UrbHeader.Length >= sizeof(struct _URB_PIPE_REQUEST) ? s.pipeOf(urb->UrbPipeRequest.PipeHandle) : nullptr;
  if (!pipe) {
    Outcome o = failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    s.noteFinish(id, o, UrbRecord::State::Completed);
    s.tapFinish(id, urb, o);
    lock.unlock();
    flushTap(s);
    completeUrb(irp, urb, o);
    return o.status;
  }
  if (UrbRecord* r = s.record(id)) r->endpoint = pipe->endpoint.address;
  std::vector<Delivery> delivered = takeDeliveries(s, pipe);
  std::vector<std::pair<PIRP, PURB>> aborted;
  for (uint64_t queued : std::deque<uint64_t>(pipe->queue))
    if (auto f = claim(s, queued)) {
      s.noteFinish(queued, cancelled(), UrbRecord::State::Cancelled);
      s.tapFinish(queued, f->urb, cancelled(), UrbRecord::State::Cancelled);
      aborted.emplace_back(f->irp, f->urb);
    }
  s.noteFinish(id, {}, UrbRecord::State::Completed);
  s.tapFinish(id, urb, {});
  lock.unlock();
  flushTap(s);
  for (const Delivery& d : delivered) completeUrb(d.irp, d.urb, d.outcome);
  for (auto& [abortedIrp, abortedUrb] : aborted) completeUrb(abortedIrp, abortedUrb, cancelled());
  completeUrb(irp, urb, {});
  return STATUS_SUCCESS;
}

}  // namespace sim::usb
