// Tests (explorer): the world a run acts on, and its invariant checks.
#include "world.h"

#include "driver/core/dispatch.h"
#include "driver/serial/queries.h"
#include "driver/usb/pipe_recovery.h"
#include "sim/power.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace explore {

namespace {

enum IoctlFlagBits : ULONG { Held = 0x1, Chip = 0x2, Refusable = 0x4, Pends = 0x8 };

constexpr uint8_t kBulkIn = 0x82;
constexpr uint8_t kBulkOut = 0x02;

bool contains(const std::vector<NTSTATUS>& v, NTSTATUS s) { return std::find(v.begin(), v.end(), s) != v.end(); }

std::u16string serviceKey() { return std::u16string(sim::kServicesRoot) + u"\\tzserial"; }

}  // namespace

DeviceContext* Port::context() const {
  if (!isPlugged || gone || !pdo || !pdo->AttachedDevice) return nullptr;
  return TzSerialGetDeviceContext(pdo->AttachedDevice);
}

World::World(uint64_t seed, bool verbose) : random(seed), seed_(seed), verbose_(verbose) {}

World::~World() {
  if (!abandoned_) {
    for (auto& p : ports) p.ops.clear();
  }
  sim::shutdown();
}

void World::abandon() {
  abandoned_ = true;
  // Destructors would run the broken kernel again: keep them from it.
  static std::vector<std::unique_ptr<Op>> graveyard;
  static std::deque<app::File> handles;
  for (auto& p : ports) {
    for (auto& op : p.ops) graveyard.push_back(std::move(op));
    p.ops.clear();
    if (p.file.isOpen()) handles.push_back(std::move(p.file));
  }
}

std::string World::statusName(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
  return text;
}

std::string World::hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char b[4];
  for (size_t i = 0; i < bytes.size() && i < 24; ++i) {
    std::snprintf(b, sizeof b, "%02X", bytes[i]);
    out += b;
  }
  if (bytes.size() > 24) out += "...";
  return out;
}

void World::note(const std::string& kind, const std::string& detail) {
  ++coverage_[kind];
  if (verbose_)
    std::printf("  step %4llu  t=%8.3fs  %s  %s %s\n", (unsigned long long)step_, double(sim::now()) / sim::kSecond,
                label_.c_str(), kind.c_str(), detail.c_str());
}

void World::trace(const std::string& what) const {
  if (verbose_) std::printf("  step %4llu  %s  sending: %s\n", (unsigned long long)step_, label_.c_str(), what.c_str());
}

void World::fail(const std::string& what) const {
  throw Failure("step " + std::to_string(step_) + ": " + what);
}

void World::expectStatus(const std::string& what, NTSTATUS status, const std::vector<NTSTATUS>& allowed) const {
  if (contains(allowed, status)) return;
  if (status == STATUS_INSUFFICIENT_RESOURCES && faultsPossible()) return;
  std::string list;
  for (NTSTATUS s : allowed) list += " " + statusName(s);
  fail(what + " ended with " + statusName(status) + ", not one of" + list);
}

void World::expectQuery(Port& p, NTSTATUS status) const {
  // A transfer the bus lost keeps the device from coming to rest in time:
  // the query fails and the port resumes.
  bool lost = p.lossActive();
  if (p.file.isOpen() || lost)
    expectStatus("a query with the port open or a transfer lost", status,
                 p.file.isOpen() ? std::vector<NTSTATUS>{STATUS_UNSUCCESSFUL}
                                 : std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_UNSUCCESSFUL});
  else
    expectStatus("a query with the port closed", status, {STATUS_SUCCESS});
}

void World::appendTransport(std::vector<NTSTATUS>& allowed) {
  for (NTSTATUS s : {STATUS_UNSUCCESSFUL, STATUS_DEVICE_NOT_CONNECTED, STATUS_INVALID_PARAMETER, STATUS_DEVICE_BUSY,
                     STATUS_CANCELLED, STATUS_INVALID_DEVICE_STATE, STATUS_NO_SUCH_DEVICE})
    if (!contains(allowed, s)) allowed.push_back(s);
}

// ---- the world's set-up ---------------------------------------------------------

void World::bootAndPlug() {
  const ULONG ticks[] = {156250, 156250, 10000};
  ULONG tick = ticks[random.below(3)];
  sim::Addresses addresses = random.chance(0.5) ? sim::Addresses::Reuse : sim::Addresses::Quarantine;
  const unsigned preemption[] = {0, 2, 10, 30};
  unsigned percent = preemption[random.below(std::size(preemption))];
  sim::boot({.mode = sim::Mode::Deterministic,
             .seed = seed_,
             .timeIncrement100ns = tick,
             .addresses = addresses,
             .preemptionPercent = percent});
  note("boot", std::string(addresses == sim::Addresses::Reuse ? "freed IRPs and pool reused at once"
                                                             : "freed IRPs and pool in quarantine") +
                   ", preemption at " + std::to_string(percent) + "% of points");
  sim::setAbortOnStop(false);
  sim::registry::createKey(serviceKey());
  const int settings[] = {-1, -1, 0, 1, 2, 4, 5};
  int setting = settings[random.below(std::size(settings))];
  if (setting >= 0) sim::registry::setDword(serviceKey(), u"STATIC_SETTING", uint32_t(setting));
  driver_ = sim::loadDriver(u"tzserial", DriverEntry);
  if (!driver_) fail("DriverEntry failed");

  uint64_t topology = random.below(100);
  int count = topology < 55 ? 1 : 2;
  bool nullModem = topology >= 55 && topology < 80;
  bool talker = topology >= 45 && topology < 55;  // one adapter that only talks
  for (int i = 0; i < count; ++i) {
    Port& p = ports.emplace_back();
    p.index = i;
    p.portName = i == 0 ? u"COM5" : u"COM6";
    const sim::usb::Layout layouts[] = {sim::usb::Layout::CommAndData,   sim::usb::Layout::CommAndData,
                                        sim::usb::Layout::CommAndData,   sim::usb::Layout::DataOnly,
                                        sim::usb::Layout::DataAlternate, sim::usb::Layout::AlternateSettingOne,
                                        sim::usb::Layout::TwoBulkIn};
    const uint16_t bulk[] = {64, 64, 512, 16};
    const uint16_t interrupt[] = {16, 16, 8};
    p.options.vendorId = 0x7A5E;
    p.options.productId = 0xC0DE;
    p.layout = layouts[random.below(std::size(layouts))];
    p.options.configuration = sim::usb::cdcConfiguration(p.layout, {bulk[random.below(4)], interrupt[random.below(3)]});
    p.options.loopback = !nullModem && !talker;
    p.options.modemLoopback = p.options.loopback && random.chance(0.5);
    p.options.completeInline = random.chance(0.3);
    p.options.bulkInCompletionDelay100ns = random.chance(0.3) ? int64_t(1 + random.below(200)) * 1000 : 0;
    p.options.record = false;
    p.pdoOptions.className = random.chance(0.6) ? u"Modem" : u"Ports";
    if (random.chance(0.2)) {
      p.pdoOptions.extension = sim::pnp::BusExtension::Family;
      if (random.chance(0.2)) {
        p.pdoOptions.claimBlock = {0x55, 0x93, 0x93, 0xAA};
        p.claimedByOther = true;
      }
    }
    if (nullModem) p.peer = 1 - i;
    if (p.options.bulkInCompletionDelay100ns)
      note("bulk-in jitter", std::to_string(p.options.bulkInCompletionDelay100ns / 10) + " us");
    note("plug", (p.options.loopback ? "loopback" : nullModem ? "null-modem" : "talker"));
    plug(p);
  }
}

void World::plug(Port& p) {
  auto plugged = sim::usb::plugAdapter(p.options, p.pdoOptions);
  p.pdo = plugged.pdo;
  p.model = plugged.adapter;
  p.isPlugged = true;
  p.gone = false;
  p.started = false;
  p.disconnected = false;
  p.transportTrouble = false;
  p.queriedDown = false;
  Port* port = &p;
  bool verbose = verbose_;
  p.model->setTap([port, verbose](const sim::usb::UrbRecord& r, bool completed) {
    if (verbose && completed && r.endpoint == kBulkIn && r.status == STATUS_SUCCESS && !r.dataIn.empty())
      std::printf("                         %s  bulk-in #%llu delivered %zu bytes \"%s\"\n", port->index ? "COM6" : "COM5",
                  (unsigned long long)r.id, r.dataIn.size(),
                  std::string(r.dataIn.begin(), r.dataIn.begin() + std::min<size_t>(12, r.dataIn.size())).c_str());
    if (!completed || r.state != sim::usb::UrbRecord::State::Completed || r.control || r.status != STATUS_SUCCESS)
      return;
    if (r.endpoint == kBulkIn && !r.dataIn.empty()) port->rx.delivered(r.id, r.dataIn.data(), r.dataIn.size());
    if (r.endpoint == kBulkOut) port->tx.transfer(r.id, r.dataOut.data(), r.dataOut.size(), r.transferred);
  });
  if (p.peer >= 0 && size_t(p.peer) < ports.size() && ports[p.peer].plugged() && ports[p.peer].model)
    sim::usb::crossWire(p.model, ports[p.peer].model);
  sim::registry::setString(sim::pnp::deviceParametersKey(p.pdo), u"PortName", p.portName);
  NTSTATUS added = sim::pnp::addDevice(driver_, p.pdo);
  if (!NT_SUCCESS(added)) {
    expectStatus("AddDevice", added, {});
    // Nothing of the driver is left on it: the bus lets it go.
    sim::pnp::deletePhysicalDevice(p.pdo);
    p.isPlugged = false;
    p.gone = true;
    p.model.reset();
    p.pdo = nullptr;
    return;
  }
  startPort(p);
}

NTSTATUS World::startPort(Port& p) {
  NTSTATUS s = sim::pnp::startDevice(p.pdo);
  std::vector<NTSTATUS> allowed = {STATUS_SUCCESS};
  if (p.transportTrouble) appendTransport(allowed);
  expectStatus("start", s, allowed);
  p.started = NT_SUCCESS(s);
  loss(p);
  return s;
}

NTSTATUS World::sleepPort(Port& p) {
  if (!p.present()) return STATUS_SUCCESS;
  return sim::power::sleep(p.pdo, PowerSystemSleeping3);
}

void World::replug(Port& p) {
  p.rx = ReceiveLog();
  p.tx = TransmitLog();
  p.nextReadOrder = p.nextWriteOrder = 0;
  p.readsCompleted.clear();
  p.escapeTaint = false;
  plug(p);
}

// ---- requests ------------------------------------------------------------------------

Op& World::submit(Port& p, const std::string& kind, app::Request request, OpType type) {
  auto op = std::make_unique<Op>();
  op->id = nextOpId_++;
  op->kind = kind;
  op->type = type;
  op->request = std::move(request);
  op->submitStep = step_;
  op->faultEpoch = faultEpoch_ + (sim::faults::allocationsSinceArm() > 0 ? 0 : 0);
  DeviceContext* c = p.context();
  op->errorAbort = c && (c->handFlow.ControlHandShake & SERIAL_ERROR_ABORT);
  switch (type) {
    case OpRead:
      op->allowed = {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_CANCELLED};
      break;
    case OpWrite:
      op->allowed = {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_CANCELLED};
      break;
    case OpFlush:
      op->allowed = {STATUS_SUCCESS, STATUS_CANCELLED, STATUS_TIMEOUT};
      break;
    case OpIoctl:
      break;
  }
  p.ops.push_back(std::move(op));
  return *p.ops.back();
}

void World::submitIoctlCode(Port& p, ULONG code, ULONG flags, ULONG minIn, ULONG minOut, const std::string& kind,
                            const std::vector<uint8_t>& input, ULONG outLength, bool valid, bool shortBuffer) {
  (void)minIn;
  (void)minOut;
  Op& op = submit(p, kind, p.file.ioctlAsync(code, input, outLength), OpIoctl);
  op.code = code;
  op.flags = flags;
  if (shortBuffer)
    op.allowed = {STATUS_BUFFER_TOO_SMALL};
  else if (!valid)
    op.allowed = {STATUS_INVALID_PARAMETER};
  else
    op.allowed = {STATUS_SUCCESS};
  if (!shortBuffer && valid && (flags & Refusable)) op.allowed.push_back(STATUS_INVALID_PARAMETER);
  if (code == IoctlVendorRemovalNotify && valid) op.allowed.push_back(STATUS_UNSUCCESSFUL);
  if (code == IOCTL_SERIAL_XOFF_COUNTER && valid) {
    op.allowed.push_back(STATUS_TIMEOUT);
    op.allowed.push_back(STATUS_SERIAL_MORE_WRITES);
    op.allowed.push_back(STATUS_SERIAL_COUNTER_TIMEOUT);
  }
  if (code == IOCTL_SERIAL_IMMEDIATE_CHAR && valid) op.allowed.push_back(STATUS_TIMEOUT);
  if (code == IOCTL_SERIAL_SET_QUEUE_SIZE && valid) op.allowed.push_back(STATUS_INSUFFICIENT_RESOURCES);
  if (flags & (Held | Pends)) op.allowed.push_back(STATUS_CANCELLED);
  // A powered-down port holds every request until it is back in D0; the
  // close or a removal may come first.
  if (p.asleep || p.queriedDown || (p.context() && p.context()->poweredDown)) op.allowed.push_back(STATUS_CANCELLED);
  if (op.errorAbort) op.allowed.push_back(STATUS_CANCELLED);
}

void World::check(Port& p, Op& op) {
  app::Result r = op.request.result();
  if (verbose_) {
    std::string head;
    if (op.type == OpRead) {
      const auto& d = op.request.data();
      head = " \"" + std::string(d.begin(), d.begin() + std::min<size_t>(d.size(), std::min<size_t>(r.information, 12))) + "\"";
    }
    std::printf("                         %s  done #%llu %s: %s, %llu bytes%s\n", p.index ? "COM6" : "COM5",
                (unsigned long long)op.id, op.kind.c_str(), statusName(r.status).c_str(),
                (unsigned long long)r.information, head.c_str());
  }
  std::vector<NTSTATUS> allowed = op.allowed;
  // The port went away under the request: the gate and the tear-down answer.
  if (p.gone || p.disconnected) {
    for (NTSTATUS s : {STATUS_DELETE_PENDING, STATUS_NO_SUCH_DEVICE, STATUS_CANCELLED, STATUS_DEVICE_NOT_CONNECTED})
      allowed.push_back(s);
  }
  if (faultEpoch_ != op.faultEpoch || armed_) allowed.push_back(STATUS_INSUFFICIENT_RESOURCES);
  if (p.transportTrouble && (op.type != OpIoctl || (op.flags & Chip))) appendTransport(allowed);
  if (op.type == OpWrite || (op.flags & Chip)) {
    // A transfer that could not go out: the pipe or the hold queue refused it.
    allowed.push_back(STATUS_INVALID_DEVICE_STATE);
    allowed.push_back(STATUS_DEVICE_BUSY);
  }
  if (op.type == OpRead || op.type == OpWrite || op.type == OpFlush) {
    if (op.errorAbort) allowed.push_back(STATUS_CANCELLED);
  }
  if (!contains(allowed, r.status)) {
    std::string list;
    for (NTSTATUS s : allowed) list += " " + statusName(s);
    fail("request #" + std::to_string(op.id) + " (" + op.kind + ", sent at step " + std::to_string(op.submitStep) +
         ") ended with " + statusName(r.status) + ", not one of" + list);
  }
  if (op.type == OpRead) {
    if (r.information > op.length) fail("read #" + std::to_string(op.id) + " returned more than it asked for");
    // An error status returns no bytes (the I/O manager copies none back):
    // a read that took bytes from the ring must not end with one.
    if (ULONG(r.status) >= 0xC0000000u && r.information)
      fail("read #" + std::to_string(op.id) + " took " + std::to_string(r.information) + " bytes and ended with " +
           statusName(r.status) + ", which returns none");
    std::vector<uint8_t> data = op.request.data();
    data.resize(std::min<size_t>(data.size(), r.information));
    p.rx.read(op.order, data, step_, !p.escapeTaint);
    if (r.status == STATUS_SUCCESS || r.status == STATUS_TIMEOUT) checkReadOrder(p, op);
  }
  if (op.type == OpWrite) {
    if (r.information > op.length) fail("write #" + std::to_string(op.id) + " reported more than it carried");
    if (op.length) p.tx.written(op.order, op.written, r.status == STATUS_SUCCESS, r.information);
  }
  if (op.type == OpFlush && r.status == STATUS_SUCCESS) {
    // The data written before a flush has left when it completes.
    for (auto& other : p.ops)
      if (other->type == OpWrite && other->id < op.id && !other->request.done())
        fail("flush #" + std::to_string(op.id) + " completed while write #" + std::to_string(other->id) +
             ", accepted before it, was still in flight");
  }
  if (op.code == IOCTL_SERIAL_PURGE && r.status == STATUS_SUCCESS) {
    loss(p);
    if (p.context() == nullptr || p.escapeTaint) p.escapeTaint = false;
  }
}

// A read that ran to its end completed after every read issued before it
// that did, and before every read issued after it that did.
void World::checkReadOrder(Port& p, const Op& read) {
  uint64_t completed = read.request.completionOrder();
  auto [at, inserted] = p.readsCompleted.emplace(read.order, completed);
  if (!inserted) return;
  if (at != p.readsCompleted.begin() && std::prev(at)->second > completed)
    fail("read #" + std::to_string(read.id) + " completed before a read issued ahead of it");
  if (std::next(at) != p.readsCompleted.end() && std::next(at)->second < completed)
    fail("read #" + std::to_string(read.id) + " completed after a read issued behind it");
}

void World::observe() {
  for (auto& p : ports) {
    for (auto& op : p.ops) {
      if (op->seen || !op->request.done()) continue;
      op->seen = true;
      check(p, *op);
    }
    DeviceContext* c = p.present() ? p.context() : nullptr;
    if (!c) continue;
    if (c->escapeChar) p.escapeTaint = true;
    if (c->perfStats.BufferOverrunErrorCount != p.lastOverruns || (c->errorWord & SERIAL_ERROR_QUEUEOVERRUN)) {
      p.lastOverruns = c->perfStats.BufferOverrunErrorCount;
      loss(p);
    }
    LONG expectedOpen = p.file.isOpen() ? 1 : 0;
    if (c->openCount != expectedOpen)
      fail("openCount is " + std::to_string(c->openCount) + " with " + std::to_string(expectedOpen) + " handle open");
    // Every byte of a write in flight, and an accepted immediate character,
    // counts in charsQueued until it ends.
    ULONG queued = 0;
    bool counterPending = false;
    for (auto& op : p.ops) {
      if (op->request.done()) continue;
      if (op->type == OpWrite) queued += op->length;
      if (op->code == IOCTL_SERIAL_IMMEDIATE_CHAR) queued += 1;
      if (op->code == IOCTL_SERIAL_XOFF_COUNTER) counterPending = true;
    }
    if (!counterPending && c->charsQueued != queued)
      fail("charsQueued is " + std::to_string(c->charsQueued) + " but the writes in flight carry " +
           std::to_string(queued));
  }
}

// ---- the port's life -----------------------------------------------------------------

void World::opened(Port& p) {
  loss(p);
  p.escapeTaint = false;
  p.readerFaults = 0;
  p.faultEpochAtOpen = faultEpoch_;
  p.powerSinceOpen = false;
}

void World::closed(Port& p, bool checkDrained) {
  (void)checkDrained;
  loss(p);
  sim::runReady();
  observe();
  for (auto& op : p.ops)
    if (!op->request.done())
      fail("request #" + std::to_string(op->id) + " (" + op->kind + ") still pending after the close");
  p.escapeTaint = false;
  if (p.gone && p.pdo) {
    if (p.isPlugged && !sim::pnp::isPlugged(p.pdo)) p.isPlugged = false;
    retire(p);
  }
}

void World::surpriseRemove(Port& p) {
  if (!p.disconnected && random.chance(0.8)) p.model->disconnect();
  p.disconnected = true;
  p.gone = true;
  loss(p);
  sim::pnp::surpriseRemove(p.pdo);
  sim::runReady();
  observe();
  for (auto& op : p.ops)
    if (!op->request.done() && op->code != IoctlVendorRemovalNotify)
      fail("request #" + std::to_string(op->id) + " (" + op->kind + ") still pending after the surprise removal");
  if (!sim::pnp::isPlugged(p.pdo)) p.isPlugged = false;
  // A handle still open keeps the port's requests coming (and refused) until
  // it closes.
  if (!p.file.isOpen()) retire(p);
}

void World::removed(Port& p) {
  p.gone = true;
  loss(p);
  observe();
  if (p.isPlugged && sim::pnp::isPlugged(p.pdo)) sim::pnp::deletePhysicalDevice(p.pdo);
  p.isPlugged = false;
  retire(p);
}

// The port's stack is gone: every request it had has ended, and its streams
// must agree.
void World::retire(Port& p) {
  for (auto& op : p.ops)
    if (!op->request.done())
      fail("request #" + std::to_string(op->id) + " (" + op->kind + ") never completed before its port was removed");
  checkPortStreams(p);
  p.ops.clear();
  p.model.reset();
  p.pdo = nullptr;
}

void World::unplugAll() {
  for (auto& p : ports) {
    if (p.file.isOpen()) {
      p.file.close();
      closed(p, false);
    }
    if (!p.plugged() || p.gone) continue;
    if (p.pdo->AttachedDevice) {
      NTSTATUS s = sim::pnp::send(p.pdo, IRP_MN_REMOVE_DEVICE).wait().status;
      expectStatus("removal of a port that never started", s, {STATUS_SUCCESS});
    }
    removed(p);
  }
}

void World::quiescentChecks(Port& p) {
  DeviceContext* c = p.context();
  if (!c || !p.file.isOpen()) return;
  bool transmitting = false;
  for (auto& op : p.ops)
    if (!op->request.done() && (op->type == OpWrite || op->code == IOCTL_SERIAL_IMMEDIATE_CHAR ||
                                op->code == IOCTL_SERIAL_XOFF_COUNTER))
      transmitting = true;
  if (!transmitting && c->charsQueued != 0)
    fail("charsQueued is " + std::to_string(c->charsQueued) + " with nothing left to transmit");
  if (c->rxCount > c->rxRingSize) fail("rxCount " + std::to_string(c->rxCount) + " exceeds the ring");
  // The ring holds what nothing has read yet: the end of the delivered stream
  // when the readers are running and nothing is in flight.
  std::vector<uint8_t> ring;
  for (ULONG i = 0, at = c->rxReadIndex; i < c->rxCount; ++i, ++at) ring.push_back(c->rxBuffer[at % c->rxRingSize]);
  bool readsPending = false;
  for (auto& op : p.ops)
    if (op->type == OpRead && !op->request.done()) readsPending = true;
  // A bulk-in transfer the bus lost holds back the data of the ones after it
  // until it comes back.
  bool complete = c->portActive && !readsPending && p.model && p.model->pendingBulkInBytes() == 0 &&
                  p.model->heldThroughCancel() == 0 && !p.escapeTaint;
  if (!p.escapeTaint) p.rx.ringAtEnd(ring, step_, complete);
  checkReaders(p, c);
}

// Readers always come back after a stall: the driver resets a pipe that
// failed and starts its reader again, a bounded number of times in a row.
// A failed allocation may leave a slot idle until the next start, a device
// that left ends them, and a sleep or device power request can lose slots
// whose cancelled transfers complete late (not checked here).
void World::checkReaders(Port& p, DeviceContext* c) {
  if (!c->portActive || p.disconnected || !p.started || faultEpoch_ != p.faultEpochAtOpen || p.powerSinceOpen ||
      p.readerFaults >= TzSerialPipeRecoveryAttempts || c->devicePowerState != PowerDeviceD0)
    return;
  // A transfer the bus lost and gave back cancelled goes back down too: the
  // driver never asked for that cancel.
  for (ULONG slot = 0; slot < TzSerialBulkInSlots; ++slot)
    if (!c->bulkInBusy[slot])
      fail("bulk-in slot " + std::to_string(slot) + " is idle on an open port after " +
           std::to_string(p.readerFaults) + " pipe error(s)");
  bool statusReader = p.hasInterruptPipe() && c->interfaceClass == FILE_DEVICE_MODEM;
  if (statusReader && !c->statusBusy)
    fail("the status reader is idle on an open port after " + std::to_string(p.readerFaults) + " pipe error(s)");
}

void World::expectAllDone() {
  for (auto& p : ports)
    for (auto& op : p.ops)
      if (!op->request.done()) fail("request #" + std::to_string(op->id) + " (" + op->kind + ") never completed");
}

void World::unload() {
  try {
    sim::unloadDriver(driver_);
  } catch (const sim::VerifierStop& stop) {
    fail(std::string("after removal and unload: ") + stop.what());
  }
  driver_ = nullptr;
}

void World::checkPortStreams(Port& p) {
  std::string rx = p.rx.check();
  if (!rx.empty()) fail(std::string(p.index ? "COM6" : "COM5") + " receive: " + rx);
  std::string tx = p.tx.check();
  if (!tx.empty()) fail(std::string(p.index ? "COM6" : "COM5") + " transmit: " + tx);
}

void World::checkStreams() {
  for (auto& p : ports)
    if (p.plugged()) checkPortStreams(p);
}

}  // namespace explore
