// Tests (explorer): one seeded run. The world is the Deterministic kernel with
// the driver loaded and one or two adapters plugged; each step is one random
// action of an application, an adapter, the Plug and Play manager, the power
// manager or the allocator. After every step the requests that have completed
// are checked against the statuses their kind may end with; at the end every
// port is drained, closed and removed, the driver unloaded, and the streams,
// the counters and the pool are checked.
#include "explorer.h"

#include "driver/core/device_context.h"
#include "driver/core/dispatch.h"
#include "driver/serial/control_lines.h"
#include "driver/serial/queries.h"
#include "driver/usb/control_requests.h"
#include "sim/cdc_acm.h"
#include "sim/power.h"
#include "stream_check.h"
#include "world.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace explore {

namespace {

// ---- request kinds ------------------------------------------------------------

struct IoctlKind {
  ULONG code;
  const char* name;
  ULONG minIn, minOut;
  ULONG flags;
};

enum IoctlFlags : ULONG {
  Held = 0x1,         // passes the hold queue: may wait while stalled, cancelled with the port
  Chip = 0x2,         // may send a class request or reset the port: transport failures
  Refusable = 0x4,    // a valid value may still be refused in the state the port is in
  Pends = 0x8,        // may stay pending: completes on an event, a cancel or the close
  NoValues = 0x10,    // no value can be invalid
  Unknown = 0x20,     // not a code of the port's: refused whatever it carries
};

const IoctlKind kIoctls[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, "SET_BAUD_RATE", 4, 0, Held | Chip | NoValues},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, "SET_QUEUE_SIZE", 8, 0, NoValues},
    {IOCTL_SERIAL_SET_LINE_CONTROL, "SET_LINE_CONTROL", 3, 0, Held | Chip},
    {IOCTL_SERIAL_SET_BREAK_ON, "SET_BREAK_ON", 0, 0, Held | Chip | NoValues},
    {IOCTL_SERIAL_SET_BREAK_OFF, "SET_BREAK_OFF", 0, 0, Held | Chip | NoValues},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, "IMMEDIATE_CHAR", 1, 0, Chip | Refusable | Pends | NoValues},
    {IOCTL_SERIAL_SET_TIMEOUTS, "SET_TIMEOUTS", 20, 0, 0},
    {IOCTL_SERIAL_GET_TIMEOUTS, "GET_TIMEOUTS", 0, 20, NoValues},
    {IOCTL_SERIAL_SET_DTR, "SET_DTR", 0, 0, Held | Chip | Refusable | NoValues},
    {IOCTL_SERIAL_CLR_DTR, "CLR_DTR", 0, 0, Held | Chip | Refusable | NoValues},
    {IOCTL_SERIAL_RESET_DEVICE, "RESET_DEVICE", 0, 0, Held | NoValues},
    {IOCTL_SERIAL_SET_RTS, "SET_RTS", 0, 0, Held | Chip | Refusable | NoValues},
    {IOCTL_SERIAL_CLR_RTS, "CLR_RTS", 0, 0, Held | Chip | Refusable | NoValues},
    {IOCTL_SERIAL_SET_XOFF, "SET_XOFF", 0, 0, Held | NoValues},
    {IOCTL_SERIAL_SET_XON, "SET_XON", 0, 0, Held | NoValues},
    {IOCTL_SERIAL_GET_WAIT_MASK, "GET_WAIT_MASK", 0, 4, NoValues},
    {IOCTL_SERIAL_SET_WAIT_MASK, "SET_WAIT_MASK", 4, 0, 0},
    {IOCTL_SERIAL_WAIT_ON_MASK, "WAIT_ON_MASK", 0, 4, Refusable | Pends | NoValues},
    {IOCTL_SERIAL_PURGE, "PURGE", 4, 0, Pends},
    {IOCTL_SERIAL_GET_BAUD_RATE, "GET_BAUD_RATE", 0, 4, Held | NoValues},
    {IOCTL_SERIAL_GET_LINE_CONTROL, "GET_LINE_CONTROL", 0, 3, Chip | NoValues},
    {IOCTL_SERIAL_GET_CHARS, "GET_CHARS", 0, 6, NoValues},
    {IOCTL_SERIAL_SET_CHARS, "SET_CHARS", 6, 0, Refusable | NoValues},
    {IOCTL_SERIAL_GET_HANDFLOW, "GET_HANDFLOW", 0, 16, NoValues},
    {IOCTL_SERIAL_SET_HANDFLOW, "SET_HANDFLOW", 16, 0, Held | Chip | Refusable},
    {IOCTL_SERIAL_GET_MODEMSTATUS, "GET_MODEMSTATUS", 0, 4, Held | NoValues},
    {IOCTL_SERIAL_GET_COMMSTATUS, "GET_COMMSTATUS", 0, 20, NoValues},
    {IOCTL_SERIAL_XOFF_COUNTER, "XOFF_COUNTER", 12, 0, Chip | Pends},
    {IOCTL_SERIAL_GET_PROPERTIES, "GET_PROPERTIES", 0, 64, NoValues},
    {IOCTL_SERIAL_GET_DTRRTS, "GET_DTRRTS", 0, 4, Held | NoValues},
    {IOCTL_SERIAL_LSRMST_INSERT, "LSRMST_INSERT", 1, 0, Refusable | NoValues},
    {IOCTL_SERIAL_CONFIG_SIZE, "CONFIG_SIZE", 0, 4, NoValues},
    {IOCTL_SERIAL_GET_STATS, "GET_STATS", 0, 24, NoValues},
    {IOCTL_SERIAL_CLEAR_STATS, "CLEAR_STATS", 0, 0, NoValues},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, "GET_MODEM_CONTROL", 0, 4, Held | NoValues},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, "SET_MODEM_CONTROL", 4, 0, Held | NoValues},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, "SET_FIFO_CONTROL", 0, 0, NoValues},
    {IoctlVendorGetUsbIdentity, "VENDOR_USB_IDENTITY", 0, 4, NoValues},
    {IoctlVendorNoOperation, "VENDOR_NO_OPERATION", 0, 0, NoValues},
    {IoctlVendorResetUsbPort, "VENDOR_RESET_PORT", 0, 0, Chip | NoValues},
    {IoctlVendorRemovalNotify, "VENDOR_REMOVAL_NOTIFY", 0, 4, Refusable | Pends | NoValues},
    {IOCTL_SERIAL_GET_COMMCONFIG, "GET_COMMCONFIG", 0, 0, NoValues | Unknown},
    {0x1B00A0, "UNKNOWN_CODE", 0, 0, NoValues | Unknown},
};

const IoctlKind* findIoctl(ULONG code) {
  for (const IoctlKind& k : kIoctls)
    if (k.code == code) return &k;
  return nullptr;
}

const char* const kEventKinds[] = {
    "open", "open second handle", "open during cleanup", "query racing the open", "bus loses a transfer", "close", "read", "write", "write empty", "cancel",
    "flush", "bulk-in data", "bulk-in zero-length packet", "bulk-in failure", "serial state", "raw interrupt",
    "hold bulk-out", "release bulk-out", "short bulk-out", "halt endpoint", "control stall", "control late",
    "control never", "clear faults", "bulk-in jitter", "disconnect", "query-stop and cancel",
    "query-stop then open", "stop and start", "query-remove and cancel", "surprise removal", "removal",
    "replug", "sleep S3 and wake", "device query D3 without set", "device set D0", "allocation failure",
    "time passes", "queued reads and a block", "queued reads cut short", "port reset with I/O in flight",
    "line pulses",
};

}  // namespace

const std::vector<std::string>& requestKinds() {
  static const std::vector<std::string> kinds = [] {
    std::vector<std::string> all(std::begin(kEventKinds), std::end(kEventKinds));
    for (const IoctlKind& k : kIoctls) {
      all.push_back(std::string("ioctl ") + k.name);
      if (k.minIn || k.minOut) all.push_back(std::string("ioctl ") + k.name + " short");
      if (!(k.flags & NoValues)) all.push_back(std::string("ioctl ") + k.name + " invalid");
    }
    return all;
  }();
  return kinds;
}

namespace {

// ---- the run --------------------------------------------------------------------

class Run : public World {
 public:
  Run(uint64_t seed, bool verbose) : World(seed, verbose) {}
  void go();

 private:
  void step();
  void portStep(Port& p);
  void deviceStep(Port& p);
  void pnpStep(Port& p);
  void powerStep();
  void ioctlStep(Port& p);
  void writeStep(Port& p);
  void readStep(Port& p);
  void queuedReadsStep(Port& p);
  void resetWithIoStep(Port& p);
  void linePulsesStep(Port& p);
  void expectAdapterSettings(Port& p, const std::string& when);
  void openStep(Port& p);
  void closePort(Port& p, bool checkDrained);
  void setTimeouts(Port& p);
  void finish();
  void drain();
  std::vector<uint8_t> ioctlInput(Port& p, const IoctlKind& k, bool valid);
};

void Run::go() {
  bootAndPlug();
  uint64_t steps = 40 + random.below(260);
  for (uint64_t i = 0; i < steps; ++i) {
    step();
    observe();
  }
  finish();
}

void Run::step() {
  beginStep();
  bool faultThisStep = random.chance(0.04);
  armed(faultThisStep);
  if (faultThisStep) {
    uint64_t at = 1 + random.below(12);
    note("allocation failure", "fail allocation #" + std::to_string(at) + " of this step");
    sim::faults::arm(at);
  }
  uint64_t pick = random.below(100);
  Port& p = randomPort();
  if (pick < 55)
    portStep(p);
  else if (pick < 78)
    deviceStep(p);
  else if (pick < 86)
    pnpStep(p);
  else if (pick < 90)
    powerStep();
  else {
    int64_t delta = random.chance(0.7) ? int64_t(random.below(50)) * sim::kMs : int64_t(random.below(6000)) * sim::kMs;
    note("time passes", std::to_string(delta / sim::kMs) + " ms");
    sim::advance(delta);
  }
  if (faultThisStep) {
    if (sim::faults::fired()) faultFired();
    sim::faults::disarm();
  }
  sim::runReady();
  armed(false);
}

void Run::portStep(Port& p) {
  if (!p.present() && !p.file.isOpen()) return;
  if (p.gone && random.chance(0.3)) {
    closePort(p, false);  // the last handle of a removed port
    return;
  }
  if (!p.file.isOpen()) {
    openStep(p);
    return;
  }
  uint64_t pick = random.below(100);
  if (pick < 22)
    writeStep(p);
  else if (pick < 42)
    readStep(p);
  else if (pick < 45) {
    const uint64_t move = random.below(3);
    if (move == 0)
      queuedReadsStep(p);
    else if (move == 1)
      resetWithIoStep(p);
    else
      linePulsesStep(p);
  } else if (pick < 72)
    ioctlStep(p);
  else if (pick < 82) {
    // A cancel at a random moment of a random request still in flight.
    std::vector<Op*> pending;
    for (auto& op : p.ops)
      if (!op->seen && !op->request.done()) pending.push_back(op.get());
    if (pending.empty()) return;
    Op* op = pending[random.below(pending.size())];
    note("cancel", "#" + std::to_string(op->id) + " " + op->kind);
    op->request.cancel();
  } else if (pick < 86) {
    note("flush");
    submit(p, "flush", p.file.flushAsync(), OpFlush);
  } else if (pick < 91) {
    setTimeouts(p);
  } else if (pick < 95) {
    openStep(p);
  } else {
    closePort(p, false);
  }
}

void Run::openStep(Port& p) {
  if (p.file.isOpen()) {
    app::File second;
    NTSTATUS s = app::File::open(p.name(), second);
    note("open second handle", statusName(s));
    expectStatus("second open", s, {STATUS_ACCESS_DENIED, STATUS_DELETE_PENDING, STATUS_NO_SUCH_DEVICE,
                                    STATUS_OBJECT_NAME_NOT_FOUND});
    if (NT_SUCCESS(s)) fail("a second handle opened an exclusive port");
    return;
  }
  ULONG options = random.chance(0.05) ? FILE_DIRECTORY_FILE : 0;
  // Now and then the Plug and Play manager sends a query while the open
  // waits for its DTR command: one of the two may win, never both.
  bool race = !options && p.started && p.present() && p.model && !p.queryPending && random.chance(0.1);
  UCHAR query = random.chance(0.5) ? IRP_MN_QUERY_STOP_DEVICE : IRP_MN_QUERY_REMOVE_DEVICE;
  NTSTATUS queried = STATUS_PENDING;
  if (race) {
    p.model->fault({.request = CDC_SET_CONTROL_LINE_STATE}, sim::usb::Answer::Late, 20 * sim::kMs, 1);
    sim::schedule(int64_t(random.below(30)) * sim::kMs, [&] { queried = sim::pnp::send(p.pdo, query).wait().status; });
  }
  NTSTATUS s = app::File::open(p.name(), p.file, options);
  note("open", statusName(s) + (options ? " (as a directory)" : ""));
  if (race) {
    sim::runUntil([&] { return queried != STATUS_PENDING; });
    note("query racing the open", statusName(queried));
    if (NT_SUCCESS(queried) && p.file.isOpen()) fail("a query and an open racing it both won");
    if (NT_SUCCESS(queried)) {
      UCHAR cancel = query == IRP_MN_QUERY_STOP_DEVICE ? IRP_MN_CANCEL_STOP_DEVICE : IRP_MN_CANCEL_REMOVE_DEVICE;
      expectStatus("cancel after the race", sim::pnp::send(p.pdo, cancel).wait().status, {STATUS_SUCCESS});
      loss(p);
    }
    p.queryPending = NT_SUCCESS(queried);  // for the open's own status, below
  }
  std::vector<NTSTATUS> allowed = {STATUS_SUCCESS, STATUS_DELETE_PENDING, STATUS_NO_SUCH_DEVICE,
                                   STATUS_OBJECT_NAME_NOT_FOUND};
  if (options) allowed = {STATUS_NOT_A_DIRECTORY, STATUS_DELETE_PENDING, STATUS_NO_SUCH_DEVICE,
                          STATUS_OBJECT_NAME_NOT_FOUND};
  if (p.transportTrouble || faultsPossible()) appendTransport(allowed);
  if (p.queryPending) allowed.push_back(STATUS_DEVICE_BUSY);
  if (p.claimedByOther) allowed.push_back(STATUS_NOT_A_DIRECTORY);
  expectStatus("open", s, allowed);
  if (race) p.queryPending = false;
  if (p.file.isOpen()) opened(p);
}

void Run::closePort(Port& p, bool checkDrained) {
  if (!p.file.isOpen()) return;
  if (random.chance(0.3)) {
    // Cleanup first, then an open that races the close, then the close.
    app::Result r = p.file.cleanup();
    expectStatus("cleanup", r.status, {STATUS_SUCCESS});
    app::File racing;
    NTSTATUS s = app::File::open(p.name(), racing);
    note("open during cleanup", statusName(s));
    expectStatus("open during cleanup", s,
                 {STATUS_ACCESS_DENIED, STATUS_DELETE_PENDING, STATUS_NO_SUCH_DEVICE, STATUS_OBJECT_NAME_NOT_FOUND});
  }
  app::Result r = p.file.close();
  note("close", statusName(r.status));
  if (r.status == STATUS_PENDING && p.lossActive()) {
    // A request waits on a transfer the bus lost: IRP_MJ_CLOSE follows once
    // the bus finds it, as the platform's last dereference does.
    sim::runUntil([&] {
      for (auto& op : p.ops)
        if (!op->request.done()) return false;
      return true;
    }, 20 * sim::kSecond);
    sim::runReady();
  } else {
    expectStatus("close", r.status, {STATUS_SUCCESS});
  }
  closed(p, checkDrained);
}

void Run::setTimeouts(Port& p) {
  SERIAL_TIMEOUTS t = {};
  switch (random.below(6)) {
    case 0: break;                                                     // wait for every byte
    case 1: t.ReadIntervalTimeout = MAXULONG; break;                  // return at once
    case 2: t = {MAXULONG, MAXULONG, ULONG(1 + random.below(500)), 0, 0}; break;  // wait for some
    case 3: t = {ULONG(random.below(100)), ULONG(random.below(5)), ULONG(random.below(800)), 0, 0}; break;
    case 4: t.ReadTotalTimeoutConstant = ULONG(1 + random.below(300)); break;
    default: t.ReadIntervalTimeout = ULONG(1 + random.below(60)); break;
  }
  if (random.chance(0.4)) {
    t.WriteTotalTimeoutMultiplier = ULONG(random.below(3));
    t.WriteTotalTimeoutConstant = ULONG(random.below(400));
  }
  std::vector<uint8_t> input(sizeof t);
  std::memcpy(input.data(), &t, sizeof t);
  std::ostringstream what;
  what << "read " << t.ReadIntervalTimeout << "/" << t.ReadTotalTimeoutMultiplier << "/" << t.ReadTotalTimeoutConstant
       << " write " << t.WriteTotalTimeoutMultiplier << "/" << t.WriteTotalTimeoutConstant;
  note("ioctl SET_TIMEOUTS", what.str());
  submitIoctl(p, *findIoctl(IOCTL_SERIAL_SET_TIMEOUTS), "ioctl SET_TIMEOUTS", input, 0, true);
}

void Run::writeStep(Port& p) {
  ULONG length;
  uint64_t shape = random.below(100);
  if (shape < 5)
    length = 0;
  else if (shape < 60)
    length = ULONG(1 + random.below(64));
  else if (shape < 80)
    length = ULONG(64 * (1 + random.below(8)));
  else if (shape < 96)
    length = ULONG(65 + random.below(5000));
  else
    length = ULONG(5000 + random.below(70000));
  std::vector<uint8_t> data(length);
  random.printable(data);
  note(length ? "write" : "write empty", std::to_string(length) + " bytes");
  Op& op = submit(p, length ? "write" : "write empty", p.file.writeAsync(data), OpWrite);
  op.length = length;
  op.written = std::move(data);
  op.order = p.nextWriteOrder++;
}

void Run::readStep(Port& p) {
  ULONG length = random.chance(0.6) ? ULONG(1 + random.below(256)) : ULONG(1 + random.below(20000));
  note("read", std::to_string(length) + " bytes");
  Op& op = submit(p, "read", p.file.readAsync(length), OpRead);
  op.length = length;
  op.order = p.nextReadOrder++;
}

// Hundreds of small reads queued at once, then one block from the far end
// for all of them, or return-at-once time-outs and a cancel of the head:
// either way each read starts as the last ends, so the stack must not grow
// with the queue (the verifier measures it) and the reads end in order.
void Run::queuedReadsStep(Port& p) {
  size_t count = 50 + random.below(351);
  bool cutShort = random.chance(0.3);
  note(cutShort ? "queued reads cut short" : "queued reads and a block", std::to_string(count) + " reads");
  ULONG total = 0;
  std::vector<Op*> reads;
  for (size_t i = 0; i < count; ++i) {
    ULONG length = random.chance(0.9) ? 1 : ULONG(2 + random.below(3));
    Op& op = submit(p, "read", p.file.readAsync(length), OpRead);
    op.length = length;
    op.order = p.nextReadOrder++;
    reads.push_back(&op);
    total += length;
  }
  if (cutShort) {
    SERIAL_TIMEOUTS atOnce = {MAXULONG, 0, 0, 0, 0};
    std::vector<uint8_t> input(sizeof atOnce);
    std::memcpy(input.data(), &atOnce, sizeof atOnce);
    submitIoctl(p, *findIoctl(IOCTL_SERIAL_SET_TIMEOUTS), "ioctl SET_TIMEOUTS", input, 0, true);
    reads.front()->request.cancel();
    return;
  }
  if (!p.present() || !p.model) return;
  std::vector<uint8_t> block(total);
  random.printable(block);
  p.model->sendBulkIn(block);
}

// The vendor port reset while a write and a read are in flight: the bus
// stops a reset made before the device's I/O is back, and after it the
// adapter must run the line coding and lines the port says it has.
void Run::resetWithIoStep(Port& p) {
  note("port reset with I/O in flight");
  writeStep(p);
  readStep(p);
  const IoctlKind& reset = *findIoctl(IoctlVendorResetUsbPort);
  submitIoctl(p, reset, "ioctl VENDOR_RESET_PORT", {}, 0, true);
  const Op& op = *p.ops.back();
  if (op.request.done() && op.request.result().status == STATUS_SUCCESS)
    expectAdapterSettings(p, "after a port reset");
}

// DTR and RTS set and cleared in a random order (a modem hang-up, a boot
// loader's reset pulse): GET_DTRRTS follows each request the handshake
// modes allow, and the adapter holds what GET_DTRRTS says.
void Run::linePulsesStep(Port& p) {
  auto query = [&](ULONG* lines) {
    submitIoctl(p, *findIoctl(IOCTL_SERIAL_GET_DTRRTS), "ioctl GET_DTRRTS", {}, sizeof(ULONG), true);
    const Op& op = *p.ops.back();
    if (!op.request.done() || op.request.result().status != STATUS_SUCCESS) return false;
    std::memcpy(lines, op.request.data().data(), sizeof *lines);
    return true;
  };
  ULONG expected = 0;
  if (!query(&expected)) return;
  const ULONG codes[] = {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS};
  size_t steps = 2 + random.below(5);
  std::string sequence;
  for (size_t i = 0; i < steps; ++i) {
    const IoctlKind& k = *findIoctl(codes[random.below(4)]);
    sequence += std::string(i ? " " : "") + k.name;
    submitIoctl(p, k, std::string("ioctl ") + k.name, {}, 0, true);
    const Op& op = *p.ops.back();
    if (!op.request.done()) return;  // held: nothing to compare yet
    NTSTATUS status = op.request.result().status;
    if (status == STATUS_INVALID_PARAMETER) continue;  // a line its handshake mode drives
    if (status != STATUS_SUCCESS) return;
    ULONG line = (k.code == IOCTL_SERIAL_SET_DTR || k.code == IOCTL_SERIAL_CLR_DTR) ? SERIAL_DTR_STATE : SERIAL_RTS_STATE;
    expected = (k.code == IOCTL_SERIAL_SET_DTR || k.code == IOCTL_SERIAL_SET_RTS) ? expected | line : expected & ~line;
  }
  note("line pulses", sequence);
  ULONG reported = 0;
  if (!query(&reported)) return;
  if (reported != expected)
    fail("GET_DTRRTS reports " + std::to_string(reported) + " after " + sequence + ", not " + std::to_string(expected));
  expectAdapterSettings(p, "after " + sequence);
}

// The adapter runs what the port says it told it, when nothing could have
// kept a command from it (a fault on the bus, an allocation failure) and it
// is told at all (a "Modem"-class adapter with all three pipes).
void Run::expectAdapterSettings(Port& p, const std::string& when) {
  DeviceContext* c = p.context();
  if (!c || !p.model || p.transportTrouble || faultsPossible() || !c->portActive ||
      c->interfaceClass != FILE_DEVICE_MODEM || c->pipeLayout != PipeLayoutFull)
    return;
  // A receive hold keeps its line down on the wire; its change is on the
  // way while the lines' work item is queued.
  USHORT wire = TzSerialWireLinesLocked(c);
  if (!c->linesWorkQueued && p.model->controlLineState() != wire)
    fail("the adapter holds control lines " + std::to_string(p.model->controlLineState()) + " " + when +
         ", the port says " + std::to_string(wire));
  const LineCoding& coding = c->lineCoding;
  if (!coding.dteRate && !coding.charFormat && !coding.parityType && !coding.dataBits) return;
  if (p.model->lineCoding() != sim::usb::LineCoding::from(reinterpret_cast<const uint8_t*>(&coding)))
    fail("the adapter runs another line coding " + when + " than the port set");
}

std::vector<uint8_t> Run::ioctlInput(Port& p, const IoctlKind& k, bool valid) {
  auto bytesOf = [](const auto& value) {
    std::vector<uint8_t> v(sizeof value);
    std::memcpy(v.data(), &value, sizeof value);
    return v;
  };
  auto outside = [&] {  // a character outside the data alphabet
    uint8_t c = uint8_t(random.below(0x61));
    return uint8_t(c < 0x20 ? c : c - 0x20 + 0x7F);
  };
  switch (k.code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
      const ULONG rates[] = {0, 300, 1200, 9600, 19200, 115200, 921600, MAXULONG};
      return bytesOf(SERIAL_BAUD_RATE{rates[random.below(8)]});
    }
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
      return bytesOf(SERIAL_QUEUE_SIZE{ULONG(valid ? random.below(1 << 20) : MAXULONG - random.below(4)),
                                       ULONG(random.below(4096))});
    case IOCTL_SERIAL_SET_LINE_CONTROL:
      if (valid) {
        // Five data bits take 1 or 1.5 stop bits, six to eight take 1 or 2.
        UCHAR length = UCHAR(5 + random.below(4));
        UCHAR stop = random.chance(0.5) ? STOP_BIT_1 : length == 5 ? STOP_BITS_1_5 : STOP_BITS_2;
        return {stop, UCHAR(random.below(5)), length};
      }
      if (random.chance(0.3)) {  // a stop-bit count the data length cannot carry
        UCHAR length = UCHAR(5 + random.below(4));
        return {UCHAR(length == 5 ? STOP_BITS_2 : STOP_BITS_1_5), UCHAR(random.below(5)), length};
      }
      return {UCHAR(random.chance(0.5) ? 3 + random.below(10) : 0), UCHAR(random.chance(0.5) ? 5 + random.below(5) : 0),
              UCHAR(random.chance(0.5) ? random.below(5) : 9 + random.below(5))};
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
      return {outside()};
    case IOCTL_SERIAL_SET_TIMEOUTS:
      if (valid) return bytesOf(SERIAL_TIMEOUTS{ULONG(random.below(50)), 0, ULONG(random.below(200)), 0, 0});
      return bytesOf(SERIAL_TIMEOUTS{MAXULONG, MAXULONG, MAXULONG, ULONG(random.below(9)), 0});
    case IOCTL_SERIAL_SET_WAIT_MASK:
      return bytesOf(ULONG(valid ? random.below(0x2000) : 0x2000 | random.below(0x10000)));
    case IOCTL_SERIAL_PURGE:
      return bytesOf(ULONG(valid ? 1 + random.below(15) : (random.chance(0.5) ? 0 : 0x10 | random.below(64))));
    case IOCTL_SERIAL_SET_CHARS: {
      SERIAL_CHARS chars = {outside(), outside(), outside(), outside(), outside(), outside()};
      if (random.chance(0.5)) chars.EventChar = uint8_t(0x20 + random.below(0x5F));  // RXFLAG on data
      return bytesOf(chars);
    }
    case IOCTL_SERIAL_SET_HANDFLOW: {
      SERIAL_HANDFLOW h = {};
      if (valid) {
        const ULONG dtr[] = {0, SERIAL_DTR_CONTROL, SERIAL_DTR_CONTROL, SERIAL_DTR_HANDSHAKE};
        const ULONG rts[] = {0, SERIAL_RTS_CONTROL, SERIAL_RTS_CONTROL, SERIAL_RTS_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE};
        h.ControlHandShake = dtr[random.below(4)];
        if (random.chance(0.1)) h.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
        if (random.chance(0.1)) h.ControlHandShake |= SERIAL_DSR_HANDSHAKE;
        if (random.chance(0.1)) h.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
        if (random.chance(0.08)) h.ControlHandShake |= SERIAL_ERROR_ABORT;
        h.FlowReplace = rts[random.below(5)];
        if (random.chance(0.15)) h.FlowReplace |= SERIAL_AUTO_TRANSMIT;
        if (random.chance(0.15)) h.FlowReplace |= SERIAL_AUTO_RECEIVE;
        if (random.chance(0.1)) h.FlowReplace |= SERIAL_NULL_STRIPPING;
        if (random.chance(0.05)) h.FlowReplace |= SERIAL_ERROR_CHAR;
        LONG size = p.context() ? LONG(p.context()->rxBufferSize) : 4096;
        h.XonLimit = LONG(random.below(ULONG(size) + 1));
        h.XoffLimit = LONG(random.below(ULONG(size) + 1));
      } else {
        switch (random.below(4)) {
          case 0: h = {0x03, SERIAL_RTS_CONTROL, 0, 0}; break;
          case 1: h = {0x04 | ULONG(random.below(0x100)) << 8, SERIAL_RTS_CONTROL, 0, 0}; break;
          case 2: h = {SERIAL_DTR_CONTROL, 0x20, 0, 0}; break;
          default: h = {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, -1 - LONG(random.below(100)), 0x7FFFFFFF}; break;
        }
      }
      return bytesOf(h);
    }
    case IOCTL_SERIAL_XOFF_COUNTER:
      return bytesOf(SERIAL_XOFF_COUNTER{ULONG(random.below(3) ? random.below(500) : 0),
                                         LONG(valid ? 1 + random.below(3000) : -LONG(random.below(5))), outside()});
    case IOCTL_SERIAL_LSRMST_INSERT:
      // Now and then the XON character, which it may not be.
      if (random.chance(0.2) && p.context()) return {p.context()->specialChars.XonChar};
      return {UCHAR(random.chance(0.6) ? 0 : outside())};
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
      return bytesOf(ULONG(random.below(0x100)));
    default:
      return std::vector<uint8_t>(k.minIn, 0);
  }
}

void Run::ioctlStep(Port& p) {
  const IoctlKind& k = kIoctls[random.below(std::size(kIoctls))];
  uint64_t variant = random.below(100);
  bool shortBuffer = (k.minIn || k.minOut) && variant < 10;
  bool invalid = !shortBuffer && !(k.flags & NoValues) && variant < 25;
  std::vector<uint8_t> input = ioctlInput(p, k, !invalid);
  ULONG outLength = std::max<ULONG>(k.minOut, random.chance(0.2) ? k.minOut + ULONG(random.below(16)) : k.minOut);
  if (shortBuffer) {
    if (k.minIn && (!k.minOut || random.chance(0.5)))
      input.resize(random.below(k.minIn));
    else
      outLength = ULONG(random.below(k.minOut));
  }
  std::string kind = std::string("ioctl ") + k.name + (shortBuffer ? " short" : invalid ? " invalid" : "");
  note(kind, hex(input));
  submitIoctl(p, k, kind, input, outLength, !shortBuffer && !invalid && !(k.flags & Unknown), shortBuffer);
}

void Run::deviceStep(Port& p) {
  if (!p.present() || !p.model) return;
  auto& m = *p.model;
  if (p.hasInterruptPipe() && random.chance(0.01)) {
    // A bus driver that loses the next status or bulk-in transfer, cancelled
    // or not, and finds it again 12 s later: closes, queries and power-downs
    // must not wait on it for ever, and no received byte is lost or reordered.
    const uint8_t e = random.chance(0.5) ? 0x81 : 0x82;
    note("bus loses a transfer", hex(std::vector<uint8_t>{e}));
    m.holdThroughCancel(e, 1);
    p.lastLoss = sim::now();
    sim::scheduleDeviceEvent(12 * sim::kSecond, [model = p.model] { model->releaseHeldThroughCancel(); });
    p.transportTrouble = true;
    return;
  }
  uint64_t pick = random.below(100);
  if (pick < 30) {
    size_t n = random.chance(0.7) ? 1 + random.below(100) : 1 + random.below(9000);
    std::vector<uint8_t> data(n);
    bool printable = random.chance(0.85);
    if (printable)
      random.printable(data);
    else
      random.fill(data, 0, 256);
    note("bulk-in data", std::to_string(n) + " bytes");
    m.sendBulkIn(data);
  } else if (pick < 34) {
    note("bulk-in zero-length packet");
    m.sendZeroLengthPacket();
  } else if (pick < 37) {
    note("bulk-in failure");
    NTSTATUS status = random.chance(0.5) ? STATUS_DEVICE_BUSY : STATUS_UNSUCCESSFUL;
    m.failNextBulkIn(status, random.chance(0.5) ? USBD_STATUS_DEV_NOT_RESPONDING : USBD_STATUS_STALL_PID);
    if (status != STATUS_DEVICE_BUSY) ++p.readerFaults;
    p.transportTrouble = true;
  } else if (pick < 47) {
    uint16_t state = uint16_t(random.below(0x80));
    note("serial state", hex(std::vector<uint8_t>{uint8_t(state), uint8_t(state >> 8)}));
    m.sendSerialState(state);
  } else if (pick < 51) {
    std::vector<uint8_t> payload(random.below(20));
    for (auto& b : payload) b = uint8_t(random.below(256));
    note("raw interrupt", hex(payload));
    m.sendInterrupt(payload);
    if (payload.size() > 16) {
      p.transportTrouble = true;
      ++p.readerFaults;  // babble: the host halts the pipe
    }
  } else if (pick < 59) {
    note("hold bulk-out");
    m.holdBulkOut(true);
  } else if (pick < 68) {
    note("release bulk-out");
    m.holdBulkOut(false);
  } else if (pick < 73) {
    ULONG max = ULONG(random.below(65));
    int times = int(1 + random.below(4));
    note("short bulk-out", "at most " + std::to_string(max) + " bytes, " + std::to_string(times) + " times");
    m.acceptBulkOutShort(max, times);
  } else if (pick < 75) {
    const uint8_t endpoints[] = {0x02, 0x82, 0x81};
    uint8_t e = endpoints[random.below(p.hasInterruptPipe() ? 3 : 2)];
    note("halt endpoint", hex(std::vector<uint8_t>{e}));
    m.haltEndpoint(e);
    if (e != 0x02) ++p.readerFaults;  // a reader's pipe, not bulk-out
    p.transportTrouble = true;
  } else if (pick < 86) {
    const uint8_t requests[] = {CDC_SET_LINE_CODING, CDC_GET_LINE_CODING, CDC_SET_CONTROL_LINE_STATE};
    uint8_t request = requests[random.below(3)];
    int times = int(1 + random.below(3));
    uint64_t how = random.below(3);
    if (how == 0) {
      note("control stall", hex(std::vector<uint8_t>{request}));
      m.fault({.request = request}, sim::usb::Answer::Stall, 0, times);
    } else if (how == 1) {
      int64_t delay = int64_t(random.below(5000)) * sim::kMs;
      note("control late", hex(std::vector<uint8_t>{request}) + " by " + std::to_string(delay / sim::kMs) + " ms");
      m.fault({.request = request}, sim::usb::Answer::Late, delay, times);
    } else {
      note("control never", hex(std::vector<uint8_t>{request}));
      m.fault({.request = request}, sim::usb::Answer::Never, 0, times);
    }
    p.transportTrouble = true;
  } else if (pick < 95) {
    note("clear faults");
    m.clearFaults();
  } else if (pick < 97) {
    // The adapter leaves the bus; the Plug and Play manager learns it soon.
    note("disconnect");
    m.disconnect();
    p.disconnected = true;
    p.transportTrouble = true;
  } else {
    note("time passes", "device side idle");
    sim::advance(int64_t(random.below(100)) * sim::kMs);
  }
}

void Run::pnpStep(Port& p) {
  if (p.gone) {
    if (!p.plugged() && !p.file.isOpen() && random.chance(0.5)) {
      note("replug");
      replug(p);
    }
    return;
  }
  if (!p.started) {
    NTSTATUS s = startPort(p);
    note("stop and start", "start " + statusName(s));
    return;
  }
  uint64_t pick = random.below(100);
  if (p.disconnected || pick < 8) {
    note("surprise removal", p.file.isOpen() ? "with the port open" : "closed");
    surpriseRemove(p);
  } else if (pick < 30) {
    trace("query-stop");
    NTSTATUS s = sim::pnp::send(p.pdo, IRP_MN_QUERY_STOP_DEVICE).wait().status;
    note("query-stop and cancel", statusName(s));
    expectQuery(p, s);
    if (NT_SUCCESS(s)) {
      loss(p);
      p.queryPending = true;
      if (random.chance(0.3)) {
        // A handle opened while the stop is pending.
        note("query-stop then open");
        openStep(p);
        if (p.file.isOpen()) closePort(p, false);
      }
      expectStatus("cancel-stop", sim::pnp::send(p.pdo, IRP_MN_CANCEL_STOP_DEVICE).wait().status, {STATUS_SUCCESS});
      p.queryPending = false;
    }
  } else if (pick < 50) {
    trace("query-remove");
    NTSTATUS s = sim::pnp::send(p.pdo, IRP_MN_QUERY_REMOVE_DEVICE).wait().status;
    note("query-remove and cancel", statusName(s));
    expectQuery(p, s);
    if (NT_SUCCESS(s)) {
      loss(p);
      expectStatus("cancel-remove", sim::pnp::send(p.pdo, IRP_MN_CANCEL_REMOVE_DEVICE).wait().status,
                   {STATUS_SUCCESS});
    }
  } else if (pick < 80) {
    trace("stop");
    NTSTATUS s = sim::pnp::stopDevice(p.pdo);
    expectQuery(p, s);
    if (NT_SUCCESS(s)) {
      loss(p);
      p.started = false;
      if (random.chance(0.7)) {
        NTSTATUS started = startPort(p);
        note("stop and start", "start " + statusName(started));
      } else {
        note("stop and start", "stopped");
      }
    } else {
      note("stop and start", "query " + statusName(s));
    }
  } else {
    trace("removal");
    NTSTATUS s = sim::pnp::removeDevice(p.pdo);
    note("removal", statusName(s));
    expectQuery(p, s);
    if (NT_SUCCESS(s)) removed(p);
  }
}

void Run::powerStep() {
  for (auto& p : ports) p.powerSinceOpen = true;
  if (random.chance(0.6)) {
    trace("sleep");
    NTSTATUS s = ports.size() > 1 ? sim::power::sleepAll(PowerSystemSleeping3) : sleepPort(ports[0]);
    note("sleep S3 and wake", "sleep " + statusName(s));
    std::vector<NTSTATUS> allowed = {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_DELETE_PENDING,
                                     STATUS_NO_SUCH_DEVICE, STATUS_INVALID_DEVICE_STATE};
    if (faultsPossible()) allowed.push_back(STATUS_INSUFFICIENT_RESOURCES);
    expectStatus("system sleep", s, allowed);
    for (auto& p : ports) loss(p);
    // Requests may arrive in the middle of a transition.
    if (random.chance(0.5)) {
      Port& p = randomPort();
      p.asleep = true;
      if (p.present() && p.file.isOpen()) portStep(p);
      p.asleep = false;
    }
    NTSTATUS w = sim::power::wakeAll();
    note("sleep S3 and wake", "wake " + statusName(w));
    expectStatus("system wake", w, {STATUS_SUCCESS, STATUS_DELETE_PENDING, STATUS_NO_SUCH_DEVICE});
    return;
  }
  Port& p = randomPort();
  if (!p.present()) return;
  if (random.chance(0.5)) {
    trace("device query D3");
    NTSTATUS s = sim::power::sendDevicePower(p.pdo, IRP_MN_QUERY_POWER, PowerDeviceD3);
    note("device query D3 without set", statusName(s));
    expectStatus("device query", s, {STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE, STATUS_DELETE_PENDING,
                                     STATUS_NO_SUCH_DEVICE});
    loss(p);
    if (NT_SUCCESS(s)) p.queriedDown = true;
  } else {
    trace("device set D0");
    NTSTATUS s = sim::power::sendDevicePower(p.pdo, IRP_MN_SET_POWER, PowerDeviceD0);
    note("device set D0", statusName(s));
    expectStatus("device set D0", s, {STATUS_SUCCESS, STATUS_DELETE_PENDING, STATUS_NO_SUCH_DEVICE});
    if (NT_SUCCESS(s)) p.queriedDown = false;
  }
}

// Brings the ports to rest with their handles open: faults cleared, the
// transmitters released, flow control and every transmit hold off, every
// write finished, nothing
// left on its way in; then the counters are compared with what the
// application and the bus saw. The ports are drained together: one's writes
// are the other's reception.
void Run::drain() {
  for (auto& p : ports) {
    if (!p.file.isOpen() || !p.present()) continue;
    if (p.model) {
      p.model->clearFaults();
      p.model->holdBulkOut(false);
    }
    SERIAL_STATUS status;
    p.file.ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status);  // ends an error lock-out
    SERIAL_HANDFLOW plain = {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0};
    if (p.context()) plain.XonLimit = plain.XoffLimit = LONG(p.context()->rxBufferSize / 4);
    p.file.ioctl(IOCTL_SERIAL_SET_HANDFLOW, &plain, sizeof plain, nullptr, 0);
    p.file.ioctl(IOCTL_SERIAL_SET_XON, nullptr, 0, nullptr, 0);
    p.file.ioctl(IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, nullptr, 0);  // a break holds transmission too
    UCHAR noEscape = 0;
    p.file.ioctl(IOCTL_SERIAL_LSRMST_INSERT, &noEscape, 1, nullptr, 0);
  }
  auto transmitting = [&] {
    for (auto& p : ports)
      for (auto& op : p.ops)
        if ((op->type == OpWrite || op->kind == "ioctl IMMEDIATE_CHAR") && !op->request.done()) return true;
    return false;
  };
  sim::runUntil([&] { return !transmitting(); }, 60 * sim::kSecond);
  observe();
  if (transmitting()) {
    // Halted pipes stay halted; what is left is cancelled and accounted by its Information.
    for (auto& p : ports)
      for (auto& op : p.ops)
        if (op->type == OpWrite && !op->request.done()) op->request.cancel();
    sim::runUntil([&] { return !transmitting(); }, 10 * sim::kSecond);
  }
  auto arriving = [&] {
    for (auto& p : ports)
      if (p.present() && p.model && p.model->pendingBulkInBytes()) return true;
    return false;
  };
  sim::runUntil([&] { return !arriving(); }, 10 * sim::kSecond);
  sim::advance(sim::kSecond);  // a pipe recovery on its way pauses first
  observe();
  for (auto& p : ports)
    if (p.file.isOpen() && p.present()) quiescentChecks(p);
}

void Run::finish() {
  beginStep();
  note("end", "drain, close, remove, unload");
  sim::faults::disarm();
  for (auto& p : ports) {
    if (p.plugged() && p.queriedDown) {
      sim::power::sendDevicePower(p.pdo, IRP_MN_SET_POWER, PowerDeviceD0);
      p.queriedDown = false;
    }
  }
  drain();
  for (auto& p : ports) closePort(p, true);
  for (auto& p : ports) {
    if (!p.plugged() || !p.context()) continue;
    if (random.chance(0.5) && !p.disconnected) {
      trace("removal");
    NTSTATUS s = sim::pnp::removeDevice(p.pdo);
      expectStatus("removal at the end", s, {STATUS_SUCCESS});
      removed(p);
    } else {
      surpriseRemove(p);
    }
  }
  unplugAll();
  observe();
  expectAllDone();
  unload();
  checkStreams();
}

}  // namespace

RunReport runSeed(uint64_t seed, bool verbose) {
  Run run(seed, verbose);
  RunReport report;
  report.seed = seed;
  try {
    run.go();
  } catch (const Failure& f) {
    report.failed = true;
    report.failure = f.what();
  } catch (const sim::VerifierStop& stop) {
    report.failed = true;
    report.failure = std::string("verifier stop at step ") + std::to_string(run.stepIndex()) + ": " + stop.what();
  } catch (const std::exception& e) {
    report.failed = true;
    report.failure = std::string("exception at step ") + std::to_string(run.stepIndex()) + ": " + e.what();
  }
  report.steps = run.stepIndex();
  report.coverage = run.coverage();
  report.preemptions = sim::preemption::stats().taken;
  run.abandon();
  return report;
}

}  // namespace explore
