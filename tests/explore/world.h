// Tests (explorer): the world a run acts on. The kernel, the driver, the
// adapters and the handles; the requests in flight with the statuses each
// may end with; and the invariant checks that run after every step and at
// the end. Everything here reads the driver from outside.
#pragma once

#include "driver/core/device_context.h"
#include "sim/cdc_acm.h"
#include "stream_check.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <random>
#include <stdexcept>

namespace explore {

// A broken invariant: the message names the run, the step and what broke.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The run's random source: xoshiro256** seeded through splitmix64, small and
// fast enough that drawing is a small part of a run.
class Random {
 public:
  using result_type = uint64_t;
  static constexpr result_type min() { return 0; }
  static constexpr result_type max() { return UINT64_MAX; }

  explicit Random(uint64_t seed) {
    for (uint64_t& word : state_) {
      seed += 0x9E3779B97F4A7C15ull;
      uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      word = z ^ (z >> 31);
    }
  }
  result_type operator()() {
    uint64_t result = rotl(state_[1] * 5, 7) * 9;
    uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return result;
  }
  uint64_t below(uint64_t n) { return n ? (*this)() % n : 0; }
  bool chance(double p) { return double((*this)() >> 11) * 0x1.0p-53 < p; }
  // Fills `bytes` with values from `lowest` up to `lowest + count - 1`, eight
  // to a draw (payloads are most of what a run draws): each byte is the next
  // base-`count` digit of the draw's binary fraction.
  void fill(std::vector<uint8_t>& bytes, unsigned lowest, unsigned count) {
    for (size_t i = 0; i < bytes.size(); i += 8) {
      uint64_t fraction = (*this)();
      for (size_t j = i; j < std::min(bytes.size(), i + 8); ++j) {
        unsigned __int128 wide = (unsigned __int128)fraction * count;
        bytes[j] = uint8_t(lowest + unsigned(wide >> 64));
        fraction = uint64_t(wide);
      }
    }
  }
  void printable(std::vector<uint8_t>& bytes) { fill(bytes, 0x20, 0x5F); }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t state_[4];
};

enum OpType { OpRead, OpWrite, OpIoctl, OpFlush };

// One application request and what its end may be.
struct Op {
  uint64_t id = 0;
  std::string kind;
  OpType type = OpIoctl;
  app::Request request;
  std::vector<NTSTATUS> allowed;
  uint64_t submitStep = 0;
  uint64_t faultEpoch = 0;  // allocation failures delivered before it was sent
  bool seen = false;
  bool errorAbort = false;  // SERIAL_ERROR_ABORT was in force when it was sent
  ULONG code = 0;           // of a device control
  ULONG flags = 0;          // of a device control: the kind's flags
  ULONG length = 0;         // of a read or write
  std::vector<uint8_t> written;
  uint64_t order = 0;  // of a read or write, on its port
};

struct Port {
  int index = 0;
  std::u16string portName;
  PDEVICE_OBJECT pdo = nullptr;
  std::shared_ptr<sim::usb::CdcAcmAdapter> model;
  sim::usb::AdapterOptions options;
  sim::pnp::PhysicalDeviceOptions pdoOptions;
  int peer = -1;  // the other end of a null-modem cable

  bool isPlugged = false;  // the PDO is on the bus
  bool gone = false;       // surprise-removed or removed: the stack is going or gone
  bool started = false;
  bool disconnected = false;
  bool transportTrouble = false;  // a fault the bus may report in a request's status
  bool queryPending = false;
  bool queriedDown = false;  // a device query for D3 without its set
  bool asleep = false;       // between a system sleep and the wake
  int64_t lastLoss = -1;     // when the bus last lost a transfer (found again 12 s later)
  bool lossActive() const { return lastLoss >= 0 && sim::now() - lastLoss < 20 * sim::kSecond; }
  bool claimedByOther = false;
  bool escapeTaint = false;
  // Pipe errors the adapter caused on the readers' pipes since the open, and
  // the allocation failures delivered by then: with few enough of the first,
  // none of the second and no power transition since the open, every reader
  // must be back on the bus at rest.
  unsigned readerFaults = 0;
  uint64_t faultEpochAtOpen = 0;
  bool powerSinceOpen = false;  // a sleep or device power request came since the open

  app::File file;
  std::vector<std::unique_ptr<Op>> ops;
  ReceiveLog rx;
  TransmitLog tx;
  uint64_t nextReadOrder = 0, nextWriteOrder = 0;
  // Reads that ran to their end (success or time-out), by queue order: the
  // order in which they completed. Reads complete in the order issued.
  std::map<uint64_t, uint64_t> readsCompleted;
  ULONG lastOverruns = 0;

  bool plugged() const { return isPlugged; }
  bool present() const { return isPlugged && !gone; }
  std::u16string name() const { return u"\\??\\" + portName; }
  DeviceContext* context() const;
  bool hasInterruptPipe() const {
    return layout == sim::usb::Layout::CommAndData || layout == sim::usb::Layout::TwoBulkIn;
  }
  sim::usb::Layout layout = sim::usb::Layout::CommAndData;
};

class World {
 public:
  World(uint64_t seed, bool verbose);
  ~World();
  uint64_t stepIndex() const { return step_; }
  const std::map<std::string, uint64_t>& coverage() const { return coverage_; }
  // After a failure: the kernel is in an unknown state, so the handles and
  // requests are let go without running it again.
  void abandon();

 protected:
  void bootAndPlug();
  void beginStep() { ++step_; }
  void note(const std::string& kind, const std::string& detail = {});
  // With -v: what is about to be sent (a request that never returns shows).
  void trace(const std::string& what) const;
  [[noreturn]] void fail(const std::string& what) const;
  Port& randomPort() {
    Port& p = ports[random.below(ports.size())];
    label_ = p.index ? "COM6" : "COM5";
    return p;
  }

  Op& submit(Port& p, const std::string& kind, app::Request request, OpType type);
  template <typename K>
  void submitIoctl(Port& p, const K& k, const std::string& kind, const std::vector<uint8_t>& input, ULONG outLength,
                   bool valid, bool shortBuffer = false) {
    submitIoctlCode(p, k.code, k.flags, k.minIn, k.minOut, kind, input, outLength, valid, shortBuffer);
  }
  void submitIoctlCode(Port& p, ULONG code, ULONG flags, ULONG minIn, ULONG minOut, const std::string& kind,
                       const std::vector<uint8_t>& input, ULONG outLength, bool valid, bool shortBuffer);

  // Checks every request that has completed since the last look, and the
  // counters that must agree at any moment.
  void observe();
  void expectStatus(const std::string& what, NTSTATUS status, const std::vector<NTSTATUS>& allowed) const;
  void expectQuery(Port& p, NTSTATUS status) const;
  static void appendTransport(std::vector<NTSTATUS>& allowed);
  bool faultsPossible() const { return faultEpoch_ > 0 || armed_; }
  void armed(bool armed) { armed_ = armed; }
  void faultFired() { ++faultEpoch_; }

  void loss(Port& p) { p.rx.loss(step_); }
  void opened(Port& p);
  void closed(Port& p, bool checkDrained);
  NTSTATUS startPort(Port& p);
  NTSTATUS sleepPort(Port& p);
  void surpriseRemove(Port& p);
  void removed(Port& p);
  void replug(Port& p);
  void unplugAll();
  void quiescentChecks(Port& p);
  void checkReaders(Port& p, DeviceContext* c);
  void expectAllDone();
  void unload();
  void checkStreams();

  static std::string statusName(NTSTATUS status);
  static std::string hex(const std::vector<uint8_t>& bytes);

  Random random;
  std::deque<Port> ports;

 private:
  void plug(Port& p);
  void check(Port& p, Op& op);
  void checkReadOrder(Port& p, const Op& read);
  void retire(Port& p);
  void checkPortStreams(Port& p);

  uint64_t seed_;
  bool verbose_;
  uint64_t step_ = 0;
  uint64_t nextOpId_ = 1;
  uint64_t faultEpoch_ = 0;
  PDRIVER_OBJECT driver_ = nullptr;
  std::map<std::string, uint64_t> coverage_;
  bool abandoned_ = false;
  bool armed_ = false;
  std::string label_ = "    ";
};

}  // namespace explore
