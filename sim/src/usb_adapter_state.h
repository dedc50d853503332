// Simulated platform, internal: the state of one CDC-ACM adapter model and the
// simulated bus driver's routines for it (Bus), shared by the usb_*.cpp files
// and not seen by drivers or tests.
//
// Locking: State::mutex guards everything in State below it. It is never held
// while an IRP is completed or a cancel routine runs. It may be held while
// calling into the kernel (sim::schedule, sim::now, IoSetCancelRoutine), which
// never calls back into the model with its own lock held.
#pragma once

#include "kernel.h"
#include "sim/cdc_acm.h"
#include "usb_byte_queue.h"

#include <atomic>
#include <random>

namespace sim::usb {

using sim::detail::stop;

namespace model {

constexpr const char* kSubmit = "IOCTL_INTERNAL_USB_SUBMIT_URB";

// The setup packet of a control transfer.
struct Setup {
  uint8_t type = 0, request = 0;
  uint16_t value = 0, index = 0, length = 0;
  bool in() const { return type & 0x80; }
};

// What the device does with one request.
struct Outcome {
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  std::vector<uint8_t> in{};  // bytes a control request returns (transfers fill the URB's buffer directly)
  ULONG transferred = 0;
};

inline Outcome failure(NTSTATUS status, USBD_STATUS usbd) { return {status, usbd, {}, 0}; }
inline Outcome stalled() { return failure(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID); }
inline Outcome cancelled() { return failure(STATUS_CANCELLED, USBD_STATUS_CANCELED); }
inline Outcome deviceGone() { return failure(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE); }
// A packet longer than the transfer's buffer, and what the host answers on the
// pipe it then halted.
inline Outcome babble() { return failure(STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED); }
inline Outcome hostHalted() { return failure(STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED); }

// The largest interrupt-in payload sendInterrupt accepts.
constexpr size_t kMaxInterruptPayload = 64;

struct Endpoint {
  uint8_t address, attributes, interval;
  uint16_t maxPacketSize;
};

// An interface descriptor of the device and the endpoints that follow it.
struct DeviceInterface {
  uint8_t number, alternate, cls, subclass, protocol, declaredEndpoints;
  std::vector<Endpoint> endpoints;
};

// Parses the device's own descriptor set, bounded by wTotalLength and by the
// bytes that exist, whichever ends first.
std::vector<DeviceInterface> parseInterfaces(const std::vector<uint8_t>& bytes);

struct Pipe {
  Endpoint endpoint;
  uint8_t interfaceNumber;
  bool halted = false;      // the device stalls the endpoint (until CLEAR_FEATURE)
  bool hostHalted = false;  // the host halted it after babble (until a pipe reset)
  std::deque<uint64_t> queue{};  // transfers waiting for the device, oldest first
  bool in() const { return endpoint.address & USB_ENDPOINT_DIRECTION_MASK; }
  USBD_PIPE_TYPE type() const { return USBD_PIPE_TYPE(endpoint.attributes & USB_ENDPOINT_TYPE_MASK); }
};

struct Fault {
  ControlMatch match;
  Answer answer;
  int64_t delay100ns;
  int times;
};

// A request the bus holds: its IRP has the cancel routine set.
struct InFlight {
  PIRP irp;
  PURB urb;
  Pipe* pipe;   // bulk and interrupt transfers
  Setup setup;  // control transfers
  bool control;
};

// Something the device sends through the scheduler, in order: bytes for the
// peer's bulk-in, or a SERIAL_STATE bitmap for the peer or for itself.
struct WireItem {
  enum class Kind { PeerData, PeerSerialState, OwnSerialState } kind;
  std::vector<uint8_t> bytes{};
  uint16_t serialState = 0;
};

// A bulk-in transfer the device has filled whose completion has not reached
// the driver yet (AdapterOptions::bulkInCompletionDelay100ns). It is no
// longer cancellable: the bytes have left the device.
struct Delivery {
  PIRP irp;
  PURB urb;
  Pipe* pipe;
  Outcome outcome;
};

bool isTransferFunction(USHORT function);

// Fills in the URB's status and length and completes the IRP at
// DISPATCH_LEVEL, as a host controller's DPC would. No model lock held; the
// IRP belongs to its owner again on return.
void completeUrb(PIRP irp, PURB urb, const Outcome& outcome);

}  // namespace model

struct CdcAcmAdapter::State {
  AdapterOptions options;
  std::weak_ptr<CdcAcmAdapter> self;
  std::vector<uint8_t> deviceDescriptor;
  std::vector<uint8_t> configuration;
  std::vector<model::DeviceInterface> interfaces;

  mutable std::mutex mutex;
  // device state
  LineCoding lineCoding;
  uint16_t lineState = 0;
  uint8_t configValue = 0;
  std::map<uint8_t, uint8_t> alternates;
  bool remoteWakeup = false;
  unsigned resets = 0;
  std::vector<uint16_t> breaks;
  bool gone = false;
  bool holdOut = false;
  // pipes of the current configuration; retired ones stay allocated so that a
  // stale handle is recognised instead of dereferenced
  std::vector<std::unique_ptr<model::Pipe>> pipes, retired;
  model::ByteQueue bulkIn;
  std::deque<model::Outcome> bulkInAnswers;  // answers for the next bulk-in transfers, before the stream
  std::deque<std::vector<uint8_t>> interruptIn;  // payloads for the next interrupt-in transfers
  std::vector<uint8_t> bulkOut;                  // kept only when options.record
  uint64_t bulkOutTotal = 0;
  ULONG shortOutMaxBytes = 0;  // acceptBulkOutShort: how much each transfer may give
  int shortOutTimes = 0;       // for how many more transfers (< 0: all; 0: off)
  // requests
  uint64_t nextId = 1;
  sim::detail::NodePool inFlightNodes;  // before the table it serves
  std::map<uint64_t, model::InFlight, std::less<uint64_t>,
           sim::detail::PooledAllocator<std::pair<const uint64_t, model::InFlight>>>
      inFlight{sim::detail::PooledAllocator<std::pair<const uint64_t, model::InFlight>>(inFlightNodes)};
  // holdThroughCancel: how many more transfers each endpoint loses, and the
  // ones it has lost (no cancel routine, in no pipe's queue).
  std::map<uint8_t, int> loseTransfers;
  std::vector<std::pair<uint64_t, model::InFlight>> lost;
  std::map<uint64_t, model::Delivery> delivering;  // by id, so in the order they were filled
  std::vector<UrbRecord> records;                  // ascending ids
  std::vector<ULONG> bulkOutLengths;               // offered by each bulk-out transfer, in bus order
  std::vector<model::Fault> faults;
  // bulk-in completion delays, seeded on the first request (Bus::seedOnce)
  std::mt19937_64 random;
  std::atomic<bool> seeded{false};  // set once, under the mutex; read without it
  // the wiring: the peer of crossWire, DTR as last reported (modemLoopback,
  // peer), and what waits to be sent through the scheduler
  std::weak_ptr<CdcAcmAdapter> peer;
  std::optional<bool> reportedDtr;
  std::deque<model::WireItem> wire;
  // the timed bus (usb_timed_bus.cpp): the bulk-in transfer being filled
  // packet by packet and its bytes so far, and whether a frame is scheduled
  uint64_t framedTransfer = 0;
  ULONG framedBytes = 0;
  bool frameScheduled = false;
  // A pump is on the time line or running and has not yet found the pipes
  // idle: whatever changes meanwhile is seen by its next scan, so no other
  // pump is queued for it.
  bool pumpQueued = false;
  // URB tap events, in bus order, waiting to be delivered (Bus::flushTap), and
  // the transfers the tap has seen submitted that have not completed
  std::vector<std::pair<UrbRecord, bool>> tapEvents;
  std::map<uint64_t, UrbRecord> tapInFlight;

  // Not guarded by mutex. tapping is read without any lock so that an
  // untapped bus pays nothing; tapMutex guards tap and serialises delivery of
  // tapEvents; wireMutex serialises sending the wire items (usb_wiring.cpp).
  std::atomic<bool> tapping{false};
  std::mutex tapMutex;
  std::shared_ptr<const UrbTap> tap;
  std::mutex wireMutex;

  // ---- the URB tap (usb_tap.cpp; mutex held) ----
  // No-ops unless tapping. tapSubmit copies what the host offers to send;
  // tapFinish what the device returned, from the URB's buffer, so it is called
  // before the IRP completes.
  void tapSubmit(UrbRecord record, PURB urb);
  void tapFinish(uint64_t id, PURB urb, const model::Outcome& o, UrbRecord::State state = UrbRecord::State::Completed);

  // ---- the wiring (usb_wiring.cpp; mutex held) ----
  // After SET_CONTROL_LINE_STATE: reports DTR to itself and its peer as the
  // wiring says, when it changed.
  void noteLineState(uint16_t value);
  void sendOnWire(model::WireItem item);

  // ---- records (usb_records.cpp; mutex held) ----
  // All are no-ops when options.record is false.
  void noteSubmit(const UrbRecord& record);
  void noteBulkOutOffered(ULONG length);
  UrbRecord* record(uint64_t id);  // null when not recorded or cleared
  void noteDataOut(uint64_t id, std::span<const uint8_t> data);
  void noteDataIn(uint64_t id, std::span<const uint8_t> data);
  void noteFinish(uint64_t id, const model::Outcome& o, UrbRecord::State state);

  // ---- pipes and interfaces (usb_device_configuration.cpp; mutex held) ----
  model::Pipe* pipeOf(USBD_PIPE_HANDLE handle);
  model::Pipe* pipeAt(uint8_t address);
  model::Pipe* firstPipe(uint8_t type, bool in);
  const model::DeviceInterface* findInterface(uint8_t number, uint8_t alternate) const;
  model::Outcome selectConfiguration(PURB urb);
  model::Outcome pipeRequest(PURB urb, USHORT function);

  // ---- the device's answers to control requests (usb_device_requests.cpp; mutex held) ----
  model::Outcome controlRequest(const model::Setup& s, std::span<const uint8_t> out);
  model::Outcome standardRequest(const model::Setup& s);
  model::Outcome classRequest(const model::Setup& s, std::span<const uint8_t> out);
  void resetPort();

  // ---- the device's side of bulk and interrupt transfers (usb_device_data.cpp; mutex held) ----
  // Each moves data between the device and the transfer's buffer and returns
  // how the transfer ends.
  model::Outcome takeBulkOut(uint64_t id, struct _URB_BULK_OR_INTERRUPT_TRANSFER& t);
  model::Outcome fillBulkIn(uint64_t id, struct _URB_BULK_OR_INTERRUPT_TRANSFER& t);
  model::Outcome fillInterruptIn(uint64_t id, model::Pipe& pipe, struct _URB_BULK_OR_INTERRUPT_TRANSFER& t);
};

// The simulated bus driver's side of the adapter: everything that holds,
// cancels and completes IRPs. Completion always runs with the mutex released.
struct Bus {
  using State = CdcAcmAdapter::State;

  static State& stateOf(CdcAcmAdapter& adapter) { return *adapter.state_; }

  // ---- usb_bus_submit.cpp ----
  // IOCTL_INTERNAL_USB_SUBMIT_URB: checks the URB as the platform's USB stack
  // does and routes it. IRQL <= DISPATCH_LEVEL, mutex not held. Returns
  // STATUS_PENDING when the bus holds the IRP, else the status it completed with.
  static NTSTATUS submit(State& s, PIRP irp, PURB urb);
  // URB_FUNCTION_ABORT_PIPE. Takes the locked mutex and releases it.
  static NTSTATUS abortPipe(State& s, std::unique_lock<std::mutex>& lock, uint64_t id, PIRP irp, PURB urb);

  // ---- usb_bus_control.cpp ----
  // Forms the setup packet the host controller sends for a control URB; false
  // when the URB is not a control transfer.
  static bool setupOf(PURB urb, model::Setup& setup);
  // Answers a request the device handles (control, configuration, pipe
  // requests): at once, late, stalled or never as the faults say. Takes the
  // locked mutex and releases it.
  static NTSTATUS answerRequest(State& s, std::unique_lock<std::mutex>& lock, uint64_t id, PIRP irp, PURB urb,
                                const model::Setup& setup, bool control);
  // Runs a URB that the device answers at once. Mutex held.
  static model::Outcome execute(State& s, uint64_t id, PURB urb, const model::Setup& setup);
  // Answers a held request now, unless it was cancelled. Mutex not held.
  static void answerHeld(State& s, uint64_t id, bool stall);

  // ---- usb_bus_hold.cpp ----
  // Marks the IRP pending and holds it cancellable (in the pipe's queue for a
  // transfer). A cancel that came first is honoured. Mutex held.
  static void hold(State& s, uint64_t id, model::InFlight f);
  // Takes a held request to complete it, unless its cancel routine already
  // owns it. Mutex held.
  static std::optional<model::InFlight> claim(State& s, uint64_t id);
  static void cancelRoutine(PDEVICE_OBJECT, PIRP irp);
  // Runs action on the adapter's state after delay100ns, if the adapter still exists.
  static void later(State& s, int64_t delay100ns, std::function<void(State&)> action);

  // ---- usb_bus_pump.cpp ----
  // Moves bulk and interrupt data between the device and queued transfers,
  // from the scheduler; one pump at a time. schedulePump: mutex not held.
  static void schedulePump(State& s);
  // Mutex held: true when the caller is to queue the pump (queuePump) once
  // it has released the mutex; false when a queued or running pump will see
  // the change.
  static bool claimPumpLocked(State& s);
  static void queuePump(State& s);
  static void pump(State& s);
  // Seeds the completion delays from sim::seed() and the PDO's name (numbered
  // from 0 after each boot), so each adapter draws its own replayable sequence.
  static void seedOnce(State& s, PDEVICE_OBJECT pdo);
  // Takes, in fill order, the filled transfers of one pipe whose completion is
  // still on its way, for an abort to complete first. Mutex held; the caller
  // completes what is returned after releasing it.
  static std::vector<model::Delivery> takeDeliveries(State& s, const model::Pipe* pipe);

  // Completes a filled bulk-in transfer whose completion was on its way,
  // unless an abort already did. Mutex not held.
  static void deliver(State& s, uint64_t id);

  // ---- usb_timed_bus.cpp ----
  // Whether bulk-in data moves in (micro)frames (AdapterOptions::busSpeed).
  static bool timed(const State& s) { return s.options.busSpeed != BusSpeed::Untimed; }
  // Schedules the next frame when a bulk-in transfer and data wait for one
  // and none is scheduled. Mutex held.
  static void scheduleFrame(State& s);
  // One (micro)frame of bulk-in packets. Mutex not held.
  static void runFrame(State& s);

  // ---- usb_tap.cpp ----
  // Delivers the tap events queued so far, in order. Mutex not held.
  static void flushTap(State& s);

  // ---- usb_wiring.cpp ----
  // Sends the wire items queued so far, in order, from the scheduler. Mutex not held.
  static void sendWire(State& s);
};

}  // namespace sim::usb
