// The open port behind a comm handle (tool side): sending its requests,
// keeping the list of those in flight, cancelling them, and closing.
#include "tools/comm/comm_port.h"

#include <algorithm>

namespace comm {

Port::~Port() { close(); }

std::shared_ptr<Inflight> Port::submit(const Destination& to, const std::function<app::Request(app::File&)>& send) {
  std::shared_lock sending(sendLock_);
  if (closing_) return nullptr;
  auto inflight = std::make_shared<Inflight>();
  inflight->to = to;
  inflight->owner = this;
  inflight->request = send(file_);
  // Registered before the shared lock goes, so a close that follows sees it.
  std::lock_guard lock(inflightLock_);
  std::erase_if(inflight_, [](const std::weak_ptr<Inflight>& w) { return w.expired(); });
  inflight_.push_back(inflight);
  return inflight;
}

std::vector<std::shared_ptr<Inflight>> Port::live() {
  std::vector<std::shared_ptr<Inflight>> result;
  std::lock_guard lock(inflightLock_);
  for (auto& weak : inflight_)
    if (auto inflight = weak.lock()) result.push_back(std::move(inflight));
  return result;
}

bool Port::cancel(const Inflight* only) {
  bool found = false;
  for (auto& inflight : live()) {
    if (only && inflight.get() != only) continue;
    if (inflight->request.done()) continue;
    found = true;
    inflight->request.cancel();
  }
  return found;
}

void Port::close() {
  std::unique_lock sending(sendLock_);
  if (closing_) return;
  closing_ = true;
  if (!file_.isOpen()) return;
  file_.cleanup();
  // The driver's cleanup cancels the handle's requests; anything it left
  // must end before the file object goes.
  for (auto& inflight : live()) {
    inflight->request.cancel();
    inflight->request.wait();
  }
  file_.close();
}

}  // namespace comm
