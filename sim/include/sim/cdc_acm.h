// Simulated platform: the USB side of an adapter, for tests and tools. A
// CDC-ACM adapter model answers the URBs that reach its physical device object
// on the simulated USB bus as the hardware would, and records them.
//
//   auto [pdo, adapter] = sim::usb::plugAdapter({.vendorId = 0x1234, .productId = 0x5678},
//                                               {.className = u"Modem"});
//   adapter->stall(CDC_SET_CONTROL_LINE_STATE);          // faults, by request
//   ... start the driver on pdo, open the port ...
//   adapter->sendBulkIn({'h', 'i'});                       // the far end talks
//   adapter->sendSerialState(0x0003);                      // DCD and DSR on
//   adapter->acceptBulkOutShort(100);                      // the next write is taken in part
//   EXPECT_EQ(adapter->lineCoding().rate, 1200u);          // what the driver set
//   for (const auto& r : adapter->classRequests()) ...     // what went on the bus
//
// The model lives as long as its PDO (the PDO's handler holds it); a reboot
// drops both. Requests are answered from the kernel's scheduler, so "late" and
// "never" are measured on the virtual clock.
#pragma once

#include "sim/pnp.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include <array>
#include <functional>
#include <memory>
#include <span>

// CDC Abstract Control Model class requests and notifications.
#define CDC_SEND_ENCAPSULATED_COMMAND 0x00
#define CDC_GET_ENCAPSULATED_RESPONSE 0x01
#define CDC_SET_LINE_CODING 0x20
#define CDC_GET_LINE_CODING 0x21
#define CDC_SET_CONTROL_LINE_STATE 0x22
#define CDC_SEND_BREAK 0x23
#define CDC_NOTIFICATION_SERIAL_STATE 0x20

namespace sim::usb {

// ---- descriptor sets ------------------------------------------------------------

struct EndpointSpec {
  uint8_t address = 0;     // bit 7 set: IN
  uint8_t attributes = 0;  // USB_ENDPOINT_TYPE_*
  uint16_t maxPacketSize = 64;
  uint8_t interval = 0;
};

struct InterfaceSpec {
  uint8_t number = 0;
  uint8_t alternate = 0;
  uint8_t cls = 0, subclass = 0, protocol = 0;
  std::vector<EndpointSpec> endpoints{};
  std::vector<uint8_t> classSpecific{};      // raw descriptors placed after the interface descriptor
  std::optional<uint8_t> numEndpoints{};     // a bNumEndpoints that disagrees with the endpoints
};

struct ConfigurationSpec {
  uint8_t value = 1;
  uint8_t attributes = USB_CONFIG_BUS_POWERED | USB_CONFIG_REMOTE_WAKEUP;
  uint8_t maxPower = 50;  // 2 mA units
  std::vector<InterfaceSpec> interfaces{};
  std::optional<uint8_t> numInterfaces{}; // a bNumInterfaces that disagrees with the interfaces
  std::optional<uint16_t> totalLength{};  // a wTotalLength that disagrees with the data
};

// The descriptor set as the device sends it: configuration, then each
// interface with its class-specific descriptors and endpoints.
std::vector<uint8_t> encode(const ConfigurationSpec& configuration);

enum class Layout {
  CommAndData,          // interface 0: class 02/02/01 with an interrupt-in pipe; 1: class 0A with bulk-in and bulk-out
  DataOnly,             // interface 0: class 0A with bulk-in and bulk-out
  DataAlternate,        // interface 0: class 02/0B alternate 0 without endpoints; 1: class 0A alternate 0
                        // without endpoints, then alternates 1 and 2 with bulk-in and bulk-out
  AlternateSettingOne,  // interface 0 alternate 0 without endpoints, alternate 1 with bulk-in and bulk-out
  NoEndpoints,          // one interface, no endpoints
  BulkOutOnly,          // one interface with a bulk-out pipe
  TwoBulkIn,            // CommAndData whose data interface has a second bulk-in pipe after the first
};

struct PacketSizes {
  uint16_t bulk = 64;
  uint16_t interrupt = 16;
};

// Endpoint addresses of the layouts: 0x81 interrupt-in, 0x82 bulk-in, 0x02
// bulk-out, 0x83 the second bulk-in.
ConfigurationSpec cdcConfiguration(Layout layout, PacketSizes sizes = {});

// ---- the adapter ----------------------------------------------------------------

// The 7-byte CDC line coding.
struct LineCoding {
  uint32_t rate = 9600;
  uint8_t stopBits = 0;  // 0: 1, 1: 1.5, 2: 2
  uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t dataBits = 8;
  std::array<uint8_t, 7> bytes() const;
  static LineCoding from(const uint8_t* bytes);
  bool operator==(const LineCoding&) const = default;
};

// The timing of the bus's bulk-in traffic. Untimed: a transfer takes what
// the device has the moment it has it. Full and High: the host controller
// moves bulk-in data in packets within (micro)frames that start at multiples
// of the frame length since boot: full speed 19 packets of 64 bytes per 1 ms
// frame, high speed 13 packets of 512 bytes per 125 us microframe (the
// bus's own packet size, whatever wMaxPacketSize says). A transfer fills
// packet by packet, across frames if it must, and is done when full or at a
// short packet; its completion reaches the driver at the end of the frame in
// which it was done, and a transfer submitted then is served from the next
// frame on. Bulk-out and control transfers stay untimed. Measured on the
// kernel's clock: meant for Deterministic mode.
enum class BusSpeed { Untimed, Full, High };

struct BusTiming {
  int64_t frame100ns = 0;
  unsigned packetsPerFrame = 0;
  uint16_t packetSize = 0;
  // The most bulk-in payload the bus carries in a second.
  double bytesPerSecond() const { return frame100ns ? double(packetsPerFrame) * packetSize * 1e7 / double(frame100ns) : 0; }
};
BusTiming busTiming(BusSpeed speed);  // all zero for Untimed

struct AdapterOptions {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t bcdDevice = 0x0100;
  uint8_t numConfigurations = 1;
  uint8_t maxPacketSize0 = 64;
  ConfigurationSpec configuration = cdcConfiguration(Layout::CommAndData);
  // Raw configuration descriptor bytes, sent instead of configuration when set.
  std::optional<std::vector<uint8_t>> configurationBytes;
  // Data taken on bulk-out comes back on bulk-in.
  bool loopback = false;
  // A loopback plug wired DTR->DSR and DTR->DCD: each SET_CONTROL_LINE_STATE
  // makes the device send SERIAL_STATE with DCD and DSR (bits 0 and 1) equal to
  // DTR (wValue bit 0), for the first request and whenever DTR changes. RTS is
  // not reported (SERIAL_STATE has no CTS bit).
  bool modemLoopback = false;
  // Control requests the model answers at once complete inside IoCallDriver
  // (which then returns their status) instead of pending until the scheduler
  // runs; bulk and interrupt transfers always pend.
  bool completeInline = false;
  // Bulk-in completion jitter, at most this long (0: none). Transfers are
  // still filled from the stream strictly in the order they were submitted,
  // at the moment the device has data, but each completion then reaches the
  // driver after its own random delay in [0, max], so completions of
  // consecutive transfers may arrive reversed (and, in Concurrent mode, at
  // once on different threads). A filled transfer is no longer cancellable:
  // the bytes have left the device, so it completes with them (IoCancelIrp
  // returns FALSE); ABORT_PIPE completes such transfers before itself. Its
  // record stays Pending until the completion is delivered. The delays come
  // from sim::seed() and the PDO's name, so a run replays.
  int64_t bulkInCompletionDelay100ns = 0;
  // Record every URB (urbs(), classRequests(), bulkOutTransferLengths()) and
  // keep what bulk-out took (bulkOutData()). Off, nothing is kept per URB or
  // per byte, for long stress and benchmark runs; those accessors then return
  // empty lists.
  bool record = true;
  // The bus's timing of bulk-in data (see BusSpeed).
  BusSpeed busSpeed = BusSpeed::Untimed;
};

// How the model answers a request that a fault matches.
enum class Answer { Normally, Stall, Late, Never };

// Which control requests a fault applies to; an unset field matches anything.
struct ControlMatch {
  std::optional<USHORT> function{};    // URB_FUNCTION_*
  std::optional<uint8_t> requestType{};  // bmRequestType
  std::optional<uint8_t> request{};    // bRequest
};

// One URB as it reached the bus, and how it ended.
struct UrbRecord {
  enum class State { Pending, Completed, Cancelled };
  uint64_t id = 0;
  USHORT function = 0;
  // The setup packet of a control transfer (valid when control is true).
  bool control = false;
  uint8_t requestType = 0, request = 0;
  uint16_t value = 0, index = 0, length = 0;  // value of SELECT_CONFIGURATION: the configuration chosen (0: none)
  uint8_t endpoint = 0;  // of a bulk or interrupt transfer, pipe reset or abort
  uint8_t endpointType = 0;  // of a bulk or interrupt transfer: USB_ENDPOINT_TYPE_BULK or _INTERRUPT
  ULONG transferFlags = 0;
  ULONG requestedLength = 0;
  std::vector<uint8_t> dataOut{};  // bytes the host sent
  std::vector<uint8_t> dataIn{};   // bytes the device returned
  State state = State::Pending;
  NTSTATUS status = STATUS_PENDING;
  USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
  ULONG transferred = 0;
  int64_t submitted100ns = 0, finished100ns = 0;
};

// Sees every URB as it reaches the bus (completed false: the setup packet and,
// for host-to-device transfers, the whole buffer offered in dataOut) and as it
// completes or is cancelled (completed true: state, status, transferred and
// dataIn). Called in bus order for each adapter, from whichever thread, never
// with the model's lock held; it must not call setTap.
using UrbTap = std::function<void(const UrbRecord& urb, bool completed)>;

class CdcAcmAdapter : public std::enable_shared_from_this<CdcAcmAdapter> {
 public:
  static std::shared_ptr<CdcAcmAdapter> create(AdapterOptions options = {});
  ~CdcAcmAdapter();

  // The PDO's IRP_MJ_INTERNAL_DEVICE_CONTROL handler (IOCTL_INTERNAL_USB_SUBMIT_URB
  // and IOCTL_INTERNAL_USB_RESET_PORT). IRQL <= DISPATCH_LEVEL.
  NTSTATUS internalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp);

  // ---- what the host told the device ----
  LineCoding lineCoding() const;
  uint16_t controlLineState() const;  // the last SET_CONTROL_LINE_STATE wValue
  uint8_t configurationValue() const; // 0 while unconfigured
  std::optional<uint8_t> alternateSetting(uint8_t interfaceNumber) const;
  bool remoteWakeupEnabled() const;
  unsigned portResets() const;
  std::vector<uint16_t> breaks() const;  // SEND_BREAK wValues, in order

  // ---- what went on the bus ----
  // The records are empty when AdapterOptions::record is off.
  std::vector<UrbRecord> urbs() const;
  std::vector<UrbRecord> classRequests() const;  // class and vendor control transfers only
  // The TransferBufferLength of every bulk-out transfer as it reached its
  // pipe, in bus order: zero-length packets included, and whether the device
  // then took it, stalled it or it was cancelled.
  std::vector<ULONG> bulkOutTransferLengths() const;
  void clearRecords();                           // urbs() and bulkOutTransferLengths()
  std::vector<uint8_t> bulkOutData() const;      // everything taken on bulk-out, in order (empty when not recording)
  uint64_t bulkOutBytes() const;                 // how many bytes bulk-out took, recording or not
  // Requests the bus holds waiting for the device (endpoint 0: control
  // requests held by a fault). A bulk-in transfer already filled whose
  // completion is still on its way is not counted.
  size_t pendingTransfers(uint8_t endpoint) const;
  // Every transfer the host has sent that has not completed yet, on any
  // pipe, filled ones whose completion is on its way included.
  size_t transfersNotCompleted() const;
  // Bytes the device has queued for bulk-in (sendBulkIn, loopback) that no
  // transfer has taken yet: a test feeding a long stream keeps what is in
  // flight bounded by topping this up.
  size_t pendingBulkInBytes() const;

  // ---- the device side ----
  // Queues bytes the device sends on its (first) bulk-in pipe; pending reads
  // take them when the scheduler next runs. Any thread.
  void sendBulkIn(std::span<const uint8_t> data);
  void sendBulkIn(std::initializer_list<uint8_t> data) { sendBulkIn(std::span<const uint8_t>(data.begin(), data.size())); }
  // Answers the next bulk-in transfer, ahead of any bytes still queued: with a
  // zero-length packet (success, 0 bytes), or with a failure as the bus
  // would report it (e.g. STATUS_DEVICE_BUSY). Answers queue up in order.
  void sendZeroLengthPacket();
  void failNextBulkIn(NTSTATUS status, USBD_STATUS usbdStatus);
  // Queues a payload of 0 to 64 bytes on the interrupt-in pipe. Each goes
  // whole, as one packet, to the next interrupt-in transfer (0 bytes: a
  // zero-length packet, success with 0 bytes); the endpoint's wMaxPacketSize
  // is not applied. A payload longer than that transfer's buffer is babble,
  // handled as a host controller does: the transfer fails with
  // STATUS_UNSUCCESSFUL and USBD_STATUS_BABBLE_DETECTED, 0 bytes, the payload
  // is lost, and the host halts the pipe: later transfers fail with
  // USBD_STATUS_ENDPOINT_HALTED until a pipe reset (SYNC_RESET_PIPE or
  // RESET_PIPE). Any thread.
  void sendInterrupt(std::span<const uint8_t> payload);
  void sendInterrupt(std::initializer_list<uint8_t> payload) { sendInterrupt(std::span<const uint8_t>(payload.begin(), payload.size())); }
  // Sends a SERIAL_STATE notification: A1 20, wValue 0, wIndex the interface
  // of the interrupt pipe, wLength 2, then the bitmap (10 bytes).
  void sendSerialState(uint16_t state);
  // Holds bulk-out data unaccepted (the device NAKs): transfers stay queued,
  // in order and cancellable, until released.
  void holdBulkOut(bool hold);
  // The next `times` bulk-out transfers the device takes (times < 0: every
  // one until acceptBulkOutShort(0, 0) or clearFaults()) complete with
  // success having taken min(maxBytes, offered) bytes, which their
  // TransferBufferLength then says. Only what was taken counts: bulkOutData,
  // bulkOutBytes and loopback leave the rest out. A new call replaces the last.
  void acceptBulkOutShort(ULONG maxBytes, int times = 1);
  // A bus driver that loses transfers: the next `transfers` on the endpoint
  // are taken and never completed, not even when cancelled (IoCancelIrp
  // finds no cancel routine), until releaseHeldThroughCancel completes them
  // cancelled, or the device leaves the bus. They are the bus's fault, so the
  // power rules do not count them.
  void holdThroughCancel(uint8_t endpoint, int transfers = 1);
  size_t heldThroughCancel() const;
  void releaseHeldThroughCancel();
  // Halts an endpoint: its transfers fail with USBD_STATUS_STALL_PID until the
  // stall is cleared (RESET_PIPE or SYNC_CLEAR_STALL; SYNC_RESET_PIPE alone does not).
  void haltEndpoint(uint8_t address);
  // The device leaves the bus: pending transfers fail, new ones fail at once
  // (bulk-in transfers already filled still complete with their data).
  void disconnect();

  // ---- faults ----
  // Control requests that match are answered as told: stalled, after delay100ns,
  // or never (until cancelled). times < 0: every match; else that many matches.
  void fault(const ControlMatch& match, Answer answer, int64_t delay100ns = 0, int times = -1);
  void stall(uint8_t request) { fault({.request = request}, Answer::Stall); }
  void answerLate(uint8_t request, int64_t delay100ns) { fault({.request = request}, Answer::Late, delay100ns); }
  void neverAnswer(uint8_t request) { fault({.request = request}, Answer::Never); }
  void clearFaults();  // also ends acceptBulkOutShort

  // ---- observers ----
  // Installs (or, empty, removes) the URB tap. Works whether
  // AdapterOptions::record is on or not; without a tap nothing is copied.
  void setTap(UrbTap tap);

  struct State;

 private:
  explicit CdcAcmAdapter(AdapterOptions options);
  std::unique_ptr<State> state_;
  friend struct Bus;
};

struct PluggedAdapter {
  PDEVICE_OBJECT pdo = nullptr;
  std::shared_ptr<CdcAcmAdapter> adapter;
};

// A null-modem cable between two adapters: what bulk-out of one takes goes to
// the other's bulk-in, and each SET_CONTROL_LINE_STATE of one makes the other
// send SERIAL_STATE with DCD and DSR equal to its DTR (first request and
// changes only, as modemLoopback). The adapters hold each other weakly: data
// for a peer that is gone is dropped. Any thread.
void crossWire(const std::shared_ptr<CdcAcmAdapter>& a, const std::shared_ptr<CdcAcmAdapter>& b);

// Creates a PDO on the simulated bus with the model behind it (the options'
// internalDeviceControl is replaced by the model's).
PluggedAdapter plugAdapter(AdapterOptions adapter = {}, pnp::PhysicalDeviceOptions pdo = {});

}  // namespace sim::usb
