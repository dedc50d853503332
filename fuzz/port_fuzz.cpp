// Fuzzing tool: the device-event and device-control programs on an open port.
// Each program runs on its own kernel (PortBench), so one input replays one
// run exactly; the checks are what an application or the bus would observe.
#include "fuzz/port_fuzz.h"

#include "driver/serial/queries.h"
#include "driver/usb/pipe_recovery.h"
#include "fuzz/port_bench.h"
#include "sim/app.h"
#include "sim/sim.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <iterator>
#include <optional>

namespace tzfuzz {

namespace {

constexpr uint8_t kBulkIn = 0x82;
const std::u16string kPortLink = u"\\??\\" + kBenchPortName;
// Reads in flight at once; a program asking for more waits for room.
constexpr size_t kMaxPendingReads = 16;
constexpr size_t kMaxPendingRequests = 48;

constexpr UCHAR kMsrDsr = 0x20, kMsrDcd = 0x80;

app::Result control(app::File& port, ULONG code, const void* input, ULONG inputLength, void* output = nullptr,
                    ULONG outputLength = 0) {
  return port.ioctl(code, input, inputLength, output, outputLength);
}

template <typename T>
app::Result set(app::File& port, ULONG code, const T& value) {
  return control(port, code, &value, sizeof value);
}

template <typename T>
std::optional<T> get(app::File& port, ULONG code) {
  T value{};
  if (!NT_SUCCESS(control(port, code, nullptr, 0, &value, sizeof value).status)) return std::nullopt;
  return value;
}

SERIAL_TIMEOUTS readTimeouts(uint8_t choice) {
  switch (choice % 5) {
    case 0: return {0, 0, 0, 0, 0};                  // wait for every byte
    case 1: return {MAXULONG, 0, 0, 0, 0};           // return at once with what is there
    case 2: return {10, 0, 0, 0, 0};                 // interval only
    case 3: return {0, 0, 50, 0, 0};                 // total only
    default: return {MAXULONG, MAXULONG, 30, 0, 0};  // the first byte, or 30 ms
  }
}

// ---- the device talks -----------------------------------------------------------------

struct Read {
  app::Request request;
  ULONG length;
};

class DeviceProgram {
 public:
  explicit DeviceProgram(std::span<const uint8_t> input)
      : in_(input.first(std::min(input.size(), kMaxPortProgramBytes))), addresses_(addressesFor(input)) {}

  std::string run() {
    sim::usb::AdapterOptions options;
    options.record = false;
    PortBench bench(options, addresses_);
    if (!bench.broken.empty()) return bench.broken;
    adapter_ = bench.adapter.get();
    if (NTSTATUS opened = app::File::open(kPortLink, port_); opened != STATUS_SUCCESS)
      return "the open failed with " + statusText(opened);

    while (!in_.empty() && broken_.empty()) {
      step(in_.byte());
      sim::runReady();
    }
    if (broken_.empty()) drain();
    if (broken_.empty()) checkReceived();
    if (waitOnMask_) waitOnMask_->cancel();
    for (Read& read : reads_) read.request.cancel();
    port_.close();
    waitOnMask_.reset();
    reads_.clear();
    return bench.finishAfter(broken_);
  }

 private:
  void step(uint8_t op) {
    switch (op % 13) {
      case 0: sendBlock(in_.take(size_t(in_.byte()) + 1)); break;
      case 1: sendPattern(size_t(in_.u16() % 8192) + 1); break;
      case 2: sendInterrupt(in_.take(in_.byte() % 65)); break;
      case 3: sendSerialState(in_.u16()); break;
      case 4: adapter_->sendZeroLengthPacket(); break;
      case 5: failBulkIn(in_.byte()); break;
      case 6:
        // Rare: a halted pipe fails every transfer until the driver resets it.
        if (in_.byte() % 8 == 0) {
          adapter_->haltEndpoint(kBulkIn);
          pipeError();
        }
        break;
      case 7: read(ULONG(in_.u16() % 2048) + 1); break;
      case 8: set(port_, IOCTL_SERIAL_SET_TIMEOUTS, readTimeouts(in_.byte())); break;
      case 9: cancelOldestRead(); break;
      case 10: sim::advance(int64_t(in_.byte()) * sim::kMs); break;
      case 11: checkQueues(); break;
      default: waitForEvents(in_.u16()); break;
    }
  }

  void sendBlock(std::span<const uint8_t> block) {
    adapter_->sendBulkIn(block);
    sent_.insert(sent_.end(), block.begin(), block.end());
  }

  void sendPattern(size_t n) {
    std::vector<uint8_t> block(n);
    for (uint8_t& b : block) b = uint8_t(patternAt_++ * 7 + 3);
    sendBlock(block);
  }

  void sendInterrupt(std::span<const uint8_t> payload) {
    adapter_->sendInterrupt(payload);
    // Longer than the driver's transfer: babble, and the pipe halts.
    if (payload.size() > TzSerialStatusBufferSize) statusDead_ = true;
  }

  void sendSerialState(uint16_t state) {
    adapter_->sendSerialState(state);
    sim::runReady();
    if (statusDead_) return;
    auto modem = get<ULONG>(port_, IOCTL_SERIAL_GET_MODEMSTATUS);
    if (!modem) {
      broken_ = "GET_MODEMSTATUS failed";
      return;
    }
    bool dcd = (*modem & kMsrDcd) != 0, dsr = (*modem & kMsrDsr) != 0;
    if (dcd != bool(state & 0x01) || dsr != bool(state & 0x02))
      broken_ = "after SERIAL_STATE " + std::to_string(state) + " the modem status reads " + std::to_string(*modem);
  }

  void failBulkIn(uint8_t choice) {
    static constexpr NTSTATUS kStatuses[] = {STATUS_DEVICE_BUSY, STATUS_UNSUCCESSFUL, STATUS_DEVICE_NOT_CONNECTED,
                                             STATUS_CANCELLED};
    NTSTATUS status = kStatuses[choice % std::size(kStatuses)];
    adapter_->failNextBulkIn(status, status == STATUS_DEVICE_BUSY ? USBD_STATUS_SUCCESS : USBD_STATUS_DEV_NOT_RESPONDING);
    // A busy transfer goes down again; a pipe error has the driver reset the
    // pipe and start every slot again; a cancel or a device that is gone
    // ends the slot.
    if (status == STATUS_UNSUCCESSFUL)
      pipeError();
    else if (status != STATUS_DEVICE_BUSY && ++slotsEnded_ >= TzSerialBulkInSlots)
      bulkInDead_ = true;
  }

  // The driver recovers from a bounded number of pipe errors in a row; past
  // that, bulk-in may stay stopped.
  void pipeError() {
    if (++pipeErrors_ >= TzSerialPipeRecoveryAttempts) bulkInDead_ = true;
  }

  void read(ULONG length) {
    if (reads_.size() >= kMaxPendingReads) return;
    reads_.push_back({port_.readAsync(length), length});
  }

  void cancelOldestRead() {
    for (Read& read : reads_)
      if (!read.request.done()) {
        read.request.cancel();
        return;
      }
  }

  // The ring never holds more than it is sized for, nor more than arrived.
  void checkQueues() {
    auto status = get<SERIAL_STATUS>(port_, IOCTL_SERIAL_GET_COMMSTATUS);
    if (!status) {
      broken_ = "GET_COMMSTATUS failed";
      return;
    }
    if (status->AmountInInQueue > sent_.size() || status->AmountInInQueue > 409600)
      broken_ = "the receive queue reports " + std::to_string(status->AmountInInQueue) + " bytes after " +
                std::to_string(sent_.size()) + " arrived";
  }

  void waitForEvents(uint16_t mask) {
    if (waitOnMask_ && !waitOnMask_->done()) return;
    ULONG events = mask & 0x1FF;
    set(port_, IOCTL_SERIAL_SET_WAIT_MASK, events);
    waitOnMask_ = port_.ioctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
  }

  // Every read still waiting is cancelled; then the port is read at once
  // until the device has nothing more to deliver.
  void drain() {
    for (Read& read : reads_) {
      read.request.cancel();
      read.request.wait();
    }
    set(port_, IOCTL_SERIAL_SET_TIMEOUTS, readTimeouts(1));
    sim::advance(5 * sim::kSecond);  // pipe recoveries pause before each reset
    size_t quiet = 0;
    for (size_t round = 0; round < sent_.size() / 1024 + 16 && quiet < 2; ++round) {
      sim::advance(20 * sim::kMs);
      Read drained{port_.readAsync(64 * 1024), 64 * 1024};
      drained.request.wait();
      quiet = drained.request.result().information ? 0 : quiet + 1;
      reads_.push_back(std::move(drained));
    }
  }

  // A read that ended with an error status (cancelled) took its bytes out
  // of the stream, but the I/O manager copies nothing back for it: those
  // bytes are skipped, the others must follow the stream exactly.
  void checkReceived() {
    size_t at = 0;
    for (Read& read : reads_) {
      app::Result result = read.request.result();
      if (result.status == STATUS_PENDING) {
        broken_ = "a cancelled read is still pending";
        return;
      }
      if (result.information > read.length) {
        broken_ = "a read of " + std::to_string(read.length) + " bytes returned " + std::to_string(result.information);
        return;
      }
      size_t n = size_t(result.information);
      if (n > sent_.size() - at) {
        broken_ = "the reads returned more bytes than the " + std::to_string(sent_.size()) + " sent";
        return;
      }
      const std::vector<uint8_t>& data = read.request.data();
      if (NT_SUCCESS(result.status) && !std::equal(data.begin(), data.begin() + ptrdiff_t(n), sent_.begin() + ptrdiff_t(at))) {
        broken_ = "a read returned bytes " + std::to_string(at) + " to " + std::to_string(at + n) +
                  " of the stream other than they were sent";
        return;
      }
      at += n;
    }
    if (!bulkInDead_ && at != sent_.size())
      broken_ = "the reads took only " + std::to_string(at) + " of the " + std::to_string(sent_.size()) +
                " bytes sent, with bulk-in still running";
  }

  InputReader in_;
  sim::Addresses addresses_;
  app::File port_;
  sim::usb::CdcAcmAdapter* adapter_ = nullptr;
  std::deque<Read> reads_;
  std::optional<app::Request> waitOnMask_;
  std::vector<uint8_t> sent_;
  size_t patternAt_ = 0;
  unsigned slotsEnded_ = 0;
  unsigned pipeErrors_ = 0;
  bool bulkInDead_ = false;
  bool statusDead_ = false;
  std::string broken_;
};

// ---- the device-control surface -------------------------------------------------------------

struct Minimum {
  ULONG code;
  ULONG input, output;
};

// The port's codes and the buffer each needs at least.
constexpr Minimum kMinimums[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},     {IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0},
    {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0},  {IOCTL_SERIAL_SET_BREAK_ON, 0, 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0},     {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0},
    {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},     {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
    {IOCTL_SERIAL_SET_DTR, 0, 0},           {IOCTL_SERIAL_CLR_DTR, 0, 0},
    {IOCTL_SERIAL_RESET_DEVICE, 0, 0},      {IOCTL_SERIAL_SET_RTS, 0, 0},
    {IOCTL_SERIAL_CLR_RTS, 0, 0},           {IOCTL_SERIAL_SET_XOFF, 0, 0},
    {IOCTL_SERIAL_SET_XON, 0, 0},           {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},
    {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},     {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},
    {IOCTL_SERIAL_PURGE, 4, 0},             {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},  {IOCTL_SERIAL_GET_CHARS, 0, 6},
    {IOCTL_SERIAL_SET_CHARS, 6, 0},         {IOCTL_SERIAL_GET_HANDFLOW, 0, 16},
    {IOCTL_SERIAL_SET_HANDFLOW, 16, 0},     {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20},   {IOCTL_SERIAL_XOFF_COUNTER, 12, 0},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, 64},   {IOCTL_SERIAL_GET_DTRRTS, 0, 4},
    {IOCTL_SERIAL_LSRMST_INSERT, 1, 0},     {IOCTL_SERIAL_CONFIG_SIZE, 0, 4},
    {IOCTL_SERIAL_GET_STATS, 0, 24},        {IOCTL_SERIAL_CLEAR_STATS, 0, 0},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4}, {IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, 0, 0},  {IoctlVendorGetUsbIdentity, 0, 0},
    {IoctlVendorNoOperation, 0, 0},         {IoctlVendorResetUsbPort, 0, 0},
    {IoctlVendorRemovalNotify, 0, 0},
    // Serial codes the port does not implement: outside its set.
    {IOCTL_SERIAL_GET_COMMCONFIG, ~0u, ~0u}, {IOCTL_SERIAL_SET_COMMCONFIG, ~0u, ~0u},
};

const Minimum* findMinimum(ULONG code) {
  for (const Minimum& m : kMinimums)
    if (m.code == code) return &m;
  return nullptr;
}

// The I/O manager builds buffers for METHOD_BUFFERED and METHOD_NEITHER; the
// direct methods need memory descriptor lists the simulation does not build,
// so their codes are folded onto the other two.
ULONG withBuildableMethod(ULONG code) {
  ULONG method = code & 3;
  if (method == METHOD_IN_DIRECT) return code & ~3u;
  if (method == METHOD_OUT_DIRECT) return code | METHOD_NEITHER;
  return code;
}

struct Sent {
  app::Request request;
  enum class Kind { Control, Read, Write } kind;
  ULONG code = 0;
  ULONG inputLength = 0, outputLength = 0;
};

class IoctlProgram {
 public:
  explicit IoctlProgram(std::span<const uint8_t> input)
      : in_(input.first(std::min(input.size(), kMaxPortProgramBytes))), addresses_(addressesFor(input)) {}

  std::string run() {
    PortBench bench(loopbackAdapter(), addresses_);
    if (!bench.broken.empty()) return bench.broken;
    adapter_ = bench.adapter.get();
    if (NTSTATUS opened = app::File::open(kPortLink, port_); opened != STATUS_SUCCESS)
      return "the open failed with " + statusText(opened);
    if (!snapshotSettings()) return "the settings could not be read after the open";

    while (!in_.empty() && broken_.empty()) {
      step(in_.byte());
      sim::runReady();
      collect();
    }
    if (broken_.empty()) cancelEverything();
    if (broken_.empty()) roundTrip();
    for (Sent& sent : sent_) sent.request.cancel();
    port_.close();
    sent_.clear();
    return bench.finishAfter(broken_);
  }

 private:
  void step(uint8_t op) {
    switch (op % 12) {
      case 0: case 1: case 2: case 3: case 4: sendControl(); break;
      case 5: write(size_t(in_.byte()) + 1); break;
      case 6: read(ULONG(in_.byte()) + 1); break;
      case 7: adapter_->sendBulkIn(in_.take(size_t(in_.byte()) + 1)); break;
      case 8: adapter_->sendSerialState(in_.u16()); break;
      case 9: sim::advance(int64_t(in_.byte()) * sim::kMs); break;
      case 10:
        if (!sent_.empty()) sent_[in_.byte() % sent_.size()].request.cancel();
        break;
      default: sim::advance(int64_t(in_.u16()) * sim::kMs); break;  // long enough for the 3 s and 5 s waits
    }
  }

  ULONG pickCode() {
    uint8_t choice = in_.byte();
    if (choice < 200) return kMinimums[choice % std::size(kMinimums)].code;
    if (choice < 240) {  // near the set: the serial device type, any function, method and access
      ULONG function = in_.byte() % 64, method = in_.byte() % 4, access = in_.byte() % 4;
      return withBuildableMethod(CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, method, access));
    }
    return withBuildableMethod(in_.u32());
  }

  ULONG pickLength(ULONG minimum) {
    uint8_t choice = in_.byte();
    if (minimum == ~0u) minimum = 0;
    switch (choice % 4) {
      case 0: return minimum;
      case 1: return minimum ? minimum - 1 : 0;
      case 2: return in_.byte();
      default: return in_.u16() % 4096;
    }
  }

  void sendControl() {
    ULONG code = pickCode();
    const Minimum* minimum = findMinimum(code);
    ULONG inputLength = pickLength(minimum ? minimum->input : 0);
    ULONG outputLength = pickLength(minimum ? minimum->output : 0);
    std::vector<uint8_t> bytes(inputLength, 0);
    std::span<const uint8_t> given = in_.take(inputLength);
    std::copy(given.begin(), given.end(), bytes.begin());
    track(port_.ioctlAsync(code, bytes, outputLength), Sent::Kind::Control, code, inputLength, outputLength);
  }

  void read(ULONG length) { track(port_.readAsync(length), Sent::Kind::Read, 0, 0, length); }

  void write(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (uint8_t& b : bytes) b = uint8_t(patternAt_++);
    track(port_.writeAsync(bytes), Sent::Kind::Write, 0, ULONG(n), 0);
  }

  void track(app::Request request, Sent::Kind kind, ULONG code, ULONG inputLength, ULONG outputLength) {
    sent_.push_back({std::move(request), kind, code, inputLength, outputLength});
    // Too many in flight: the oldest goes.
    if (sent_.size() <= kMaxPendingRequests) return;
    app::Request& oldest = sent_.front().request;
    oldest.cancel();
    oldest.wait(10 * sim::kSecond);
    if (!oldest.done()) broken_ = "a cancelled request did not complete";
    collect();
  }

  // Checks and forgets the requests that have completed.
  void collect() {
    for (auto it = sent_.begin(); it != sent_.end() && broken_.empty();) {
      if (!it->request.done()) {
        ++it;
        continue;
      }
      check(*it, it->request.result());
      it = sent_.erase(it);
    }
  }

  void check(const Sent& sent, app::Result result) {
    std::string what = sent.kind == Sent::Kind::Read    ? std::string("a read")
                       : sent.kind == Sent::Kind::Write ? std::string("a write")
                                                        : "device control " + statusText(NTSTATUS(sent.code));
    ULONG room = sent.kind == Sent::Kind::Write ? sent.inputLength : sent.outputLength;
    if (result.information > room) {
      broken_ = what + " reported " + std::to_string(result.information) + " bytes for a buffer of " +
                std::to_string(room);
      return;
    }
    if (sent.kind != Sent::Kind::Control) return;
    // An error under SERIAL_ERROR_ABORT cancels every code ahead of the checks.
    if (result.status == STATUS_CANCELLED) return;
    const Minimum* minimum = findMinimum(sent.code);
    NTSTATUS expected = STATUS_PENDING;
    if (!minimum || minimum->input == ~0u)
      expected = STATUS_INVALID_PARAMETER;
    else if (sent.inputLength < minimum->input || sent.outputLength < minimum->output)
      expected = STATUS_BUFFER_TOO_SMALL;
    if (expected != STATUS_PENDING && result.status != expected)
      broken_ = what + " with " + std::to_string(sent.inputLength) + " input and " +
                std::to_string(sent.outputLength) + " output bytes ended with " + statusText(result.status) +
                ", not " + statusText(expected);
  }

  bool snapshotSettings() {
    auto handFlow = get<SERIAL_HANDFLOW>(port_, IOCTL_SERIAL_GET_HANDFLOW);
    auto chars = get<SERIAL_CHARS>(port_, IOCTL_SERIAL_GET_CHARS);
    auto line = get<SERIAL_LINE_CONTROL>(port_, IOCTL_SERIAL_GET_LINE_CONTROL);
    auto rate = get<SERIAL_BAUD_RATE>(port_, IOCTL_SERIAL_GET_BAUD_RATE);
    if (!handFlow || !chars || !line || !rate) return false;
    handFlow_ = *handFlow, chars_ = *chars, line_ = *line, rate_ = *rate;
    return true;
  }

  // Every request of the program is cancelled and must complete.
  void cancelEverything() {
    for (Sent& sent : sent_) sent.request.cancel();
    for (Sent& sent : sent_) sent.request.wait(10 * sim::kSecond);
    collect();
    if (broken_.empty() && !sent_.empty())
      broken_ = std::to_string(sent_.size()) + " cancelled requests did not complete";
  }

  // With the settings of the open put back, the port carries data again.
  void roundTrip() {
    app::Result cleared = control(port_, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status_, sizeof status_);
    std::vector<std::pair<const char*, NTSTATUS>> steps = {
        {"GET_COMMSTATUS", cleared.status},
        {"SET_HANDFLOW", set(port_, IOCTL_SERIAL_SET_HANDFLOW, handFlow_).status},
        {"SET_CHARS", set(port_, IOCTL_SERIAL_SET_CHARS, chars_).status},
        {"SET_LINE_CONTROL", set(port_, IOCTL_SERIAL_SET_LINE_CONTROL, line_).status},
        {"SET_BAUD_RATE", set(port_, IOCTL_SERIAL_SET_BAUD_RATE, rate_).status},
        {"LSRMST_INSERT", set(port_, IOCTL_SERIAL_LSRMST_INSERT, UCHAR(0)).status},
        {"SET_BREAK_OFF", control(port_, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0).status},
        {"SET_XON", control(port_, IOCTL_SERIAL_SET_XON, nullptr, 0).status},
        {"SET_DTR", control(port_, IOCTL_SERIAL_SET_DTR, nullptr, 0).status},
        {"SET_RTS", control(port_, IOCTL_SERIAL_SET_RTS, nullptr, 0).status},
        {"SET_TIMEOUTS", set(port_, IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{0, 0, 1000, 0, 1000}).status},
    };
    for (auto [name, status] : steps)
      if (status != STATUS_SUCCESS) {
        broken_ = std::string("putting the settings back: ") + name + " failed with " + statusText(status);
        return;
      }
    // Whatever the program's writes still bring back arrives, then goes.
    sim::advance(100 * sim::kMs);
    ULONG purge = SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR;
    if (NTSTATUS purged = set(port_, IOCTL_SERIAL_PURGE, purge).status; purged != STATUS_SUCCESS) {
      broken_ = "the purge failed with " + statusText(purged);
      return;
    }
    static constexpr uint8_t kLine[] = {'t', 'h', 'e', ' ', 's', 'a', 'm', 'e', ' ', 'l', 'i', 'n', 'e', '\r', '\n'};
    app::Result written = port_.write(kLine, sizeof kLine);
    uint8_t back[sizeof kLine] = {};
    app::Result read = port_.read(back, sizeof back);
    if (written.status != STATUS_SUCCESS || written.information != sizeof kLine)
      broken_ = "the round trip's write ended with " + statusText(written.status) + ", " +
                std::to_string(written.information) + " bytes";
    else if (read.status != STATUS_SUCCESS || read.information != sizeof kLine || std::memcmp(back, kLine, sizeof kLine))
      broken_ = "the round trip's read ended with " + statusText(read.status) + ", " + std::to_string(read.information) +
                " bytes";
  }

  InputReader in_;
  sim::Addresses addresses_;
  app::File port_;
  sim::usb::CdcAcmAdapter* adapter_ = nullptr;
  std::deque<Sent> sent_;
  size_t patternAt_ = 0;
  SERIAL_HANDFLOW handFlow_{};
  SERIAL_CHARS chars_{};
  SERIAL_LINE_CONTROL line_{};
  SERIAL_BAUD_RATE rate_{};
  SERIAL_STATUS status_{};
  std::string broken_;
};

}  // namespace

std::string runDeviceProgram(std::span<const uint8_t> input) { return DeviceProgram(input).run(); }

std::string runIoctlProgram(std::span<const uint8_t> input) { return IoctlProgram(input).run(); }

}  // namespace tzfuzz
