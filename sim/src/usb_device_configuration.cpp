// Simulated platform: the adapter's configuration as the bus driver keeps it:
// SELECT_CONFIGURATION (checked interface by interface, then pipes created),
// the pipe requests that clear a halt, and looking pipes and interfaces up.
#include "usb_adapter_state.h"

namespace sim::usb {

using namespace model;

Pipe* CdcAcmAdapter::State::pipeOf(USBD_PIPE_HANDLE handle) {
  for (auto& p : pipes)
    if (p.get() == handle) return p.get();
  return nullptr;
}

Pipe* CdcAcmAdapter::State::pipeAt(uint8_t address) {
  for (auto& p : pipes)
    if (p->endpoint.address == address) return p.get();
  return nullptr;
}

Pipe* CdcAcmAdapter::State::firstPipe(uint8_t type, bool in) {
  for (auto& p : pipes)
    if ((p->endpoint.attributes & USB_ENDPOINT_TYPE_MASK) == type && p->in() == in) return p.get();
  return nullptr;
}

const DeviceInterface* CdcAcmAdapter::State::findInterface(uint8_t number, uint8_t alternate) const {
  for (auto& i : interfaces)
    if (i.number == number && i.alternate == alternate) return &i;
  return nullptr;
}

Outcome CdcAcmAdapter::State::selectConfiguration(PURB urb) {
  auto& select = urb->UrbSelectConfiguration;
  constexpr size_t kFirstInterface = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  if (urb->UrbHeader.Length < kFirstInterface) return failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  if (gone) return deviceGone();
  if (!select.ConfigurationDescriptor) {  // back to the address state
    for (auto& p : pipes) retired.push_back(std::move(p));
    pipes.clear();
    alternates.clear();
    configValue = 0;
    return {};
  }
  if (configuration.size() < 9 || select.ConfigurationDescriptor->bConfigurationValue != configuration[5])
    return failure(STATUS_UNSUCCESSFUL, USBD_STATUS_SET_CONFIG_FAILED);  // the device stalls SET_CONFIGURATION

  // First check every interface record, then change the device.
  struct Choice {
    PUSBD_INTERFACE_INFORMATION info;
    const DeviceInterface* interface;
  };
  std::vector<Choice> choices;
  size_t offset = kFirstInterface;
  auto bytes = reinterpret_cast<UCHAR*>(urb);
  for (unsigned i = 0; i < select.ConfigurationDescriptor->bNumInterfaces; ++i) {
    if (offset + GET_USBD_INTERFACE_SIZE(0) > urb->UrbHeader.Length)
      return failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(bytes + offset);
    const DeviceInterface* d = findInterface(info->InterfaceNumber, info->AlternateSetting);
    if (!d) return failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND);
    if (d->declaredEndpoints != d->endpoints.size())
      return failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    for (auto& c : choices)
      if (c.interface->number == d->number) return failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    if (info->Length < GET_USBD_INTERFACE_SIZE(d->endpoints.size()) || offset + info->Length > urb->UrbHeader.Length)
      return failure(STATUS_INVALID_PARAMETER, USBD_STATUS_BUFFER_TOO_SMALL);
    choices.push_back({info, d});
    offset += info->Length;
  }

  for (auto& p : pipes) retired.push_back(std::move(p));
  pipes.clear();
  alternates.clear();
  for (auto& [info, d] : choices) {
    info->Class = d->cls;
    info->SubClass = d->subclass;
    info->Protocol = d->protocol;
    info->InterfaceHandle = const_cast<DeviceInterface*>(d);
    info->NumberOfPipes = ULONG(d->endpoints.size());
    for (size_t j = 0; j < d->endpoints.size(); ++j) {
      const Endpoint& e = d->endpoints[j];
      pipes.push_back(std::make_unique<Pipe>(Pipe{e, d->number}));
      USBD_PIPE_INFORMATION& p = info->Pipes[j];
      p.MaximumPacketSize = e.maxPacketSize;
      p.EndpointAddress = e.address;
      p.Interval = e.interval;
      p.PipeType = pipes.back()->type();
      p.PipeHandle = pipes.back().get();
    }
    alternates[d->number] = d->alternate;
  }
  configValue = configuration[5];
  select.ConfigurationHandle = &configValue;
  return {};
}

Outcome CdcAcmAdapter::State::pipeRequest(PURB urb, USHORT function) {
  if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST))
    return failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  Pipe* pipe = pipeOf(urb->UrbPipeRequest.PipeHandle);
  if (!pipe) return failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  if (gone) return deviceGone();
  // The USB client guidance: a pipe is reset only once no transfer is left on
  // it (each cancelled or aborted, and back). One that still has some is
  // refused and stays as it was, halted or not.
  if (function != URB_FUNCTION_SYNC_CLEAR_STALL && !pipe->queue.empty())
    return failure(STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_BUSY);
  if (function != URB_FUNCTION_SYNC_RESET_PIPE) pipe->halted = false;  // CLEAR_FEATURE(ENDPOINT_HALT) on the device
  if (function != URB_FUNCTION_SYNC_CLEAR_STALL) pipe->hostHalted = false;  // the host's side of the pipe
  return {};
}

}  // namespace sim::usb
