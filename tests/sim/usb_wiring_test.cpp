// Tests of the simulated adapter's far end: a loopback plug feeding DTR back
// as DCD and DSR, a null-modem cable between two adapters (in both modes),
// and the URB tap that tools trace the bus with.
#include "usb_client.h"

#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace {

using sim::usb::UrbRecord;
using usbfrag::Request;

constexpr int64_t kWait = 5 * sim::kSecond;

std::vector<UCHAR> serialState(uint16_t bits) {
  return {0xA1, CDC_NOTIFICATION_SERIAL_STATE, 0, 0, 0, 0, 2, 0, UCHAR(bits), UCHAR(bits >> 8)};
}

// One configured adapter on the bus, its pipes found.
struct Side {
  PDEVICE_OBJECT pdo = nullptr;
  std::shared_ptr<sim::usb::CdcAcmAdapter> adapter;
  PURB select = nullptr;
  USBD_PIPE_HANDLE bulkIn = nullptr, bulkOut = nullptr, interruptIn = nullptr;
};

class UsbWiringTest : public SimTest {
 protected:
  void TearDown() override {
    for (Side& s : sides) {
      if (s.select) ExFreePool(s.select);
      if (s.pdo && !HasFailure()) sim::pnp::deletePhysicalDevice(s.pdo);
    }
    sides.clear();
    SimTest::TearDown();
  }

  Side& plug(sim::usb::AdapterOptions options = {}) {
    Side& s = sides.emplace_back();
    auto plugged = sim::usb::plugAdapter(std::move(options));
    s.pdo = plugged.pdo;
    s.adapter = plugged.adapter;
    std::vector<uint8_t> bytes = sim::usb::encode(sim::usb::cdcConfiguration(sim::usb::Layout::CommAndData));
    auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    auto find = [&](LONG number) { return USBD_ParseConfigurationDescriptorEx(config, config, number, 0, -1, -1, -1); };
    USBD_INTERFACE_LIST_ENTRY list[] = {{find(0), nullptr}, {find(1), nullptr}, {nullptr, nullptr}};
    s.select = USBD_CreateConfigurationRequestEx(config, list);
    EXPECT_EQ(call(s, *s.select), STATUS_SUCCESS);
    for (auto& entry : list)
      for (ULONG i = 0; entry.Interface && i < entry.Interface->NumberOfPipes; ++i) {
        const USBD_PIPE_INFORMATION& p = entry.Interface->Pipes[i];
        if (p.EndpointAddress == 0x82) s.bulkIn = p.PipeHandle;
        if (p.EndpointAddress == 0x02) s.bulkOut = p.PipeHandle;
        if (p.EndpointAddress == 0x81) s.interruptIn = p.PipeHandle;
      }
    return s;
  }

  NTSTATUS call(Side& s, URB& urb) {
    Request r(s.pdo, counter);
    r.send(false, &urb);
    EXPECT_TRUE(r.wait(kWait)) << "URB never completed";
    return r.status;
  }
  NTSTATUS setLineState(Side& s, USHORT value) {
    URB urb;
    usbfrag::buildClassRequest(urb, CDC_SET_CONTROL_LINE_STATE, value, 0, nullptr, 0, false);
    return call(s, urb);
  }
  NTSTATUS write(Side& s, std::vector<UCHAR> data) {
    URB urb;
    usbfrag::buildTransfer(urb, s.bulkOut, data.data(), ULONG(data.size()), false);
    return call(s, urb);
  }

  std::deque<Side> sides;
  std::atomic<uint64_t> counter{0};
};

// DTR, and only DTR, comes back; nothing is sent while it stays the same.
TEST_F(UsbWiringTest, ModemLoopbackReportsDtrAsDcdAndDsrWhenItChanges) {
  Side& s = plug({.modemLoopback = true});
  Request notify(s.pdo, counter, 16);
  notify.read(s.interruptIn);
  // The first request reports, even with DTR off.
  ASSERT_EQ(setLineState(s, 0x0002), STATUS_SUCCESS);
  ASSERT_TRUE(notify.wait(kWait));
  EXPECT_EQ(notify.data(), serialState(0));

  struct Step {
    USHORT lineState;
    std::optional<uint16_t> reported;
  };
  for (Step step : {Step{0x0000, {}}, Step{0x0003, 0x0003}, Step{0x0001, {}}, Step{0x0003, {}}, Step{0x0000, 0}}) {
    SCOPED_TRACE("SET_CONTROL_LINE_STATE " + std::to_string(step.lineState));
    notify.read(s.interruptIn);
    ASSERT_EQ(setLineState(s, step.lineState), STATUS_SUCCESS);
    sim::runReady();
    if (!step.reported) {
      EXPECT_FALSE(notify.completed()) << "a notification though DTR did not change";
      IoCancelIrp(notify.irp);
    }
    ASSERT_TRUE(notify.wait(kWait));
    if (step.reported) EXPECT_EQ(notify.data(), serialState(*step.reported));
  }

  // A port reset forgets what was reported: the next request reports again.
  auto reset = usbfrag::send(s.pdo, nullptr, IOCTL_INTERNAL_USB_RESET_PORT);
  ASSERT_TRUE(sim::runUntil([&] { return reset->completed; }, kWait));
  notify.read(s.interruptIn);
  ASSERT_EQ(setLineState(s, 0x0000), STATUS_SUCCESS);
  ASSERT_TRUE(notify.wait(kWait));
  EXPECT_EQ(notify.data(), serialState(0));
}

TEST_F(UsbWiringTest, WithoutAPlugNothingIsReported) {
  Side& s = plug();
  Request notify(s.pdo, counter, 16);
  notify.read(s.interruptIn);
  ASSERT_EQ(setLineState(s, 0x0003), STATUS_SUCCESS);
  sim::runReady();
  EXPECT_FALSE(notify.completed());
  IoCancelIrp(notify.irp);
  ASSERT_TRUE(notify.wait(kWait));
  EXPECT_EQ(notify.status, STATUS_CANCELLED);
}

TEST_F(UsbWiringTest, CrossWiredAdaptersCarryDataAndDtrBothWays) {
  Side& a = plug();
  Side& b = plug();
  sim::usb::crossWire(a.adapter, b.adapter);
  Request aRead(a.pdo, counter, 64), bRead(b.pdo, counter, 64);
  Request aNotify(a.pdo, counter, 16), bNotify(b.pdo, counter, 16);
  aNotify.read(a.interruptIn);
  bNotify.read(b.interruptIn);

  ASSERT_EQ(write(a, {'p', 'i', 'n', 'g'}), STATUS_SUCCESS);
  ASSERT_EQ(write(a, {'!'}), STATUS_SUCCESS);
  // Two writes may reach the far side as one transfer or two.
  std::vector<UCHAR> carried;
  for (int reads = 0; carried.size() < 5 && reads < 2; ++reads) {
    bRead.read(b.bulkIn);
    ASSERT_TRUE(bRead.wait(kWait));
    std::vector<UCHAR> got = bRead.data();
    carried.insert(carried.end(), got.begin(), got.end());
  }
  EXPECT_EQ(carried, (std::vector<UCHAR>{'p', 'i', 'n', 'g', '!'}));
  ASSERT_EQ(write(b, {'p', 'o', 'n', 'g'}), STATUS_SUCCESS);
  aRead.read(a.bulkIn);
  ASSERT_TRUE(aRead.wait(kWait));
  EXPECT_EQ(aRead.data(), (std::vector<UCHAR>{'p', 'o', 'n', 'g'}));
  EXPECT_EQ(a.adapter->pendingBulkInBytes(), 0u) << "a cable is not a loopback";

  ASSERT_EQ(setLineState(a, 0x0001), STATUS_SUCCESS);
  ASSERT_TRUE(bNotify.wait(kWait));
  EXPECT_EQ(bNotify.data(), serialState(0x0003));
  EXPECT_FALSE(aNotify.completed()) << "DTR goes to the other end only";
  ASSERT_EQ(setLineState(b, 0x0001), STATUS_SUCCESS);
  ASSERT_TRUE(aNotify.wait(kWait));
  EXPECT_EQ(aNotify.data(), serialState(0x0003));
  bNotify.read(b.interruptIn);
  ASSERT_EQ(setLineState(a, 0x0000), STATUS_SUCCESS);
  ASSERT_TRUE(bNotify.wait(kWait));
  EXPECT_EQ(bNotify.data(), serialState(0));

  // Unplugged, the peer is gone: what a sends is taken and dropped.
  sim::pnp::deletePhysicalDevice(b.pdo);
  b.pdo = nullptr;
  std::weak_ptr<sim::usb::CdcAcmAdapter> gone = b.adapter;
  b.adapter.reset();
  ExFreePool(b.select);
  b.select = nullptr;
  EXPECT_TRUE(gone.expired()) << "the cable keeps its peer alive";
  ASSERT_EQ(write(a, {'x'}), STATUS_SUCCESS);
  ASSERT_EQ(setLineState(a, 0x0001), STATUS_SUCCESS);
  sim::runReady();
  EXPECT_EQ(a.adapter->bulkOutBytes(), 6u);
}

// With workers racing, every transfer's bytes still reach the peer whole and
// in the order bulk-out took them, while DTR toggles on the control pipe.
TEST_F(UsbWiringTest, CrossWiredStreamKeepsItsOrderInConcurrentMode) {
  sim::boot({.mode = sim::Mode::Concurrent, .seed = sim::seed(), .workerThreads = 4});
  Side& a = plug();
  Side& b = plug();
  sim::usb::crossWire(a.adapter, b.adapter);
  // Each adapter's tap, called from the workers, sees every URB go in before it comes out.
  std::mutex tapped;
  std::map<uint64_t, int> open[2];
  int misordered = 0;
  for (int side : {0, 1})
    (side ? b : a).adapter->setTap([&, side](const UrbRecord& r, bool completed) {
      std::lock_guard lock(tapped);
      int& n = open[side][r.id];
      n += completed ? -1 : 1;
      if (n < 0 || n > 1) ++misordered;
    });
  std::vector<UCHAR> sent, received;
  std::thread reader([&] {
    Request r(b.pdo, counter, 512);
    while (received.size() < 200 * 37) {
      r.read(b.bulkIn);
      if (!r.wait(kWait)) return;
      auto d = r.data();
      received.insert(received.end(), d.begin(), d.end());
    }
  });
  Request w(a.pdo, counter);
  for (int i = 0; i < 200; ++i) {
    std::vector<UCHAR> chunk(37);
    for (size_t j = 0; j < chunk.size(); ++j) chunk[j] = UCHAR(i * 37 + j);
    sent.insert(sent.end(), chunk.begin(), chunk.end());
    usbfrag::buildTransfer(w.urb, a.bulkOut, chunk.data(), ULONG(chunk.size()), false);
    w.send();
    ASSERT_TRUE(w.wait(kWait));
    if (i % 10 == 0) ASSERT_EQ(setLineState(a, USHORT(i / 10 % 2)), STATUS_SUCCESS);
  }
  reader.join();
  EXPECT_EQ(received, sent);
  sim::runUntil([&] { return b.adapter->pendingTransfers(0x82) == 0; }, kWait);
  for (Side* s : {&a, &b}) s->adapter->setTap(nullptr);
  EXPECT_EQ(misordered, 0);
  for (auto& side : open)
    for (auto [id, n] : side) EXPECT_EQ(n, 0) << "URB " << id << " never completed";
  EXPECT_GT(open[0].size(), 200u);
}

// The tap sees every URB go in and come out, recording or not, and runs with
// the model's lock released (it calls back into the adapter).
TEST_F(UsbWiringTest, TapSeesSubmissionAndCompletionWithRecordingOff) {
  Side& s = plug({.loopback = true, .record = false});
  std::vector<std::pair<UrbRecord, bool>> seen;
  s.adapter->setTap([&](const UrbRecord& r, bool completed) {
    s.adapter->pendingTransfers(0);  // takes the model's lock
    seen.emplace_back(r, completed);
  });

  std::vector<UCHAR> coding = {0x80, 0x25, 0, 0, 0, 0, 8};
  URB urb;
  usbfrag::buildClassRequest(urb, CDC_SET_LINE_CODING, 0, 0, coding.data(), 7, false);
  ASSERT_EQ(call(s, urb), STATUS_SUCCESS);
  ASSERT_EQ(write(s, {'h', 'i'}), STATUS_SUCCESS);
  Request read(s.pdo, counter, 64);
  read.read(s.bulkIn);
  ASSERT_TRUE(read.wait(kWait));
  Request never(s.pdo, counter, 16);
  never.read(s.interruptIn);
  sim::runReady();
  IoCancelIrp(never.irp);
  ASSERT_TRUE(never.wait(kWait));
  s.adapter->stall(CDC_SEND_BREAK);
  usbfrag::buildClassRequest(urb, CDC_SEND_BREAK, 0xFFFF, 0, nullptr, 0, false);
  EXPECT_EQ(call(s, urb), STATUS_UNSUCCESSFUL);

  EXPECT_TRUE(s.adapter->urbs().empty());
  ASSERT_EQ(seen.size(), 10u);
  for (size_t i = 0; i < seen.size(); i += 2) {
    EXPECT_FALSE(seen[i].second);
    EXPECT_TRUE(seen[i + 1].second);
    EXPECT_EQ(seen[i].first.id, seen[i + 1].first.id);
    EXPECT_EQ(seen[i].first.state, UrbRecord::State::Pending);
  }
  const UrbRecord& coded = seen[0].first;
  EXPECT_TRUE(coded.control);
  EXPECT_EQ(coded.requestType, 0x21);
  EXPECT_EQ(coded.request, CDC_SET_LINE_CODING);
  EXPECT_EQ(coded.length, 7);
  EXPECT_EQ(coded.dataOut, coding);
  EXPECT_EQ(seen[1].first.status, STATUS_SUCCESS);
  EXPECT_EQ(seen[1].first.transferred, 7u);
  EXPECT_EQ(seen[2].first.endpoint, 0x02);
  EXPECT_EQ(seen[2].first.dataOut, (std::vector<uint8_t>{'h', 'i'}));
  EXPECT_EQ(seen[5].first.endpoint, 0x82);
  EXPECT_EQ(seen[5].first.dataIn, (std::vector<uint8_t>{'h', 'i'}));
  EXPECT_EQ(seen[7].first.state, UrbRecord::State::Cancelled);
  EXPECT_EQ(seen[7].first.endpoint, 0x81);
  EXPECT_EQ(seen[9].first.usbdStatus, USBD_STATUS_STALL_PID);

  s.adapter->setTap(nullptr);
  ASSERT_EQ(write(s, {'x'}), STATUS_SUCCESS);
  EXPECT_EQ(seen.size(), 10u) << "a removed tap is not called";
}

}  // namespace
