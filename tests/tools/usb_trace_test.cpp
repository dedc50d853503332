// Tests of the USB trace: the pcap a traced session writes, checked byte by
// byte and, when tshark is installed, by what Wireshark's dissectors make of
// it (the CDC class requests are decoded only when the descriptors are there).
#include "support/sim_test.h"
#include "tools/tzcom/usb_trace.h"

#include "driver/pnp/usb_config.h"
#include "sim/cdc_acm.h"
#include "sim/pnp.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace {

using sim::usb::UrbRecord;
using tzcom::UsbTrace;

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24);
}

std::vector<uint8_t> slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// What a command prints on stdout.
std::string run(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    pclose(p);
  }
  return out;
}

bool haveTshark() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

class UsbTraceTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    path = ::testing::TempDir() + "usb_trace_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap";
  }
  void TearDown() override {
    std::remove(path.c_str());
    DriverTest::TearDown();
  }

  // A traced session through the driver: enumeration, a 9600 8N1 port that
  // writes "hello" and reads it back from the loopback adapter, removal.
  void session() {
    std::string error;
    auto trace = UsbTrace::open(path, &error);
    ASSERT_TRUE(trace) << error;
    // Installed in the Modem class: the driver sends line coding and control
    // lines to such adapters only.
    sim::usb::AdapterOptions options{.vendorId = AdapterVendorId, .productId = AdapterProductId, .loopback = true};
    options.modemLoopback = true;  // DTR comes back as a SERIAL_STATE notification
    options.record = false;
    auto [pdo, adapter] = sim::usb::plugAdapter(options, {.className = u"Modem"});
    trace->attach(*adapter, 2);
    sim::registry::setString(sim::pnp::deviceParametersKey(pdo), u"PortName", u"COM5");
    ASSERT_EQ(sim::pnp::addDevice(driver, pdo), STATUS_SUCCESS);
    ASSERT_EQ(sim::pnp::startDevice(pdo), STATUS_SUCCESS);
    {
      app::File port;
      ASSERT_EQ(app::File::open(u"\\??\\COM5", port), STATUS_SUCCESS);
      SERIAL_BAUD_RATE baud{9600};
      EXPECT_EQ(port.ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud, nullptr, 0).status, STATUS_SUCCESS);
      SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
      EXPECT_EQ(port.ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line, nullptr, 0).status, STATUS_SUCCESS);
      EXPECT_EQ(port.write("hello", 5).information, 5u);
      char echo[5] = {};
      EXPECT_EQ(port.read(echo, 5).information, 5u);
      EXPECT_EQ(std::string(echo, 5), "hello");
      EXPECT_EQ(port.close().status, STATUS_SUCCESS);
    }
    EXPECT_EQ(sim::pnp::removeDevice(pdo), STATUS_SUCCESS);
    sim::pnp::deletePhysicalDevice(pdo);
    records = trace->records();
  }

  std::string tshark(const std::string& args) { return run("tshark -r '" + path + "' " + args + " 2>/dev/null"); }

  std::string path;
  uint64_t records = 0;
};

// A trace closed while its adapter lives on detaches: nothing more is written.
TEST_F(UsbTraceTest, ClosedTraceStopsWriting) {
  std::string error;
  auto trace = UsbTrace::open(path, &error);
  ASSERT_TRUE(trace) << error;
  auto [pdo, adapter] = sim::usb::plugAdapter({.vendorId = AdapterVendorId, .productId = AdapterProductId});
  trace->attach(*adapter, 1);
  trace.reset();
  sim::registry::setString(sim::pnp::deviceParametersKey(pdo), u"PortName", u"COM6");
  ASSERT_EQ(sim::pnp::addDevice(driver, pdo), STATUS_SUCCESS);
  ASSERT_EQ(sim::pnp::startDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(sim::pnp::removeDevice(pdo), STATUS_SUCCESS);
  sim::pnp::deletePhysicalDevice(pdo);
  EXPECT_EQ(slurp(path).size(), 24u) << "only the file header";
}

// Every URB's S and C are in the file, in pcap framing a reader can walk.
TEST_F(UsbTraceTest, FileIsClassicPcapOfUsbmonRecords) {
  ASSERT_NO_FATAL_FAILURE(session());
  std::vector<uint8_t> file = slurp(path);
  ASSERT_GE(file.size(), 24u);
  EXPECT_EQ(le32(file, 0), 0xA1B2C3D4u);
  EXPECT_EQ(le32(file, 20), 220u);
  size_t count = 0, submissions = 0, at = 24;
  std::map<uint64_t, int> open;  // S minus C per URB id
  while (at + 16 <= file.size()) {
    uint32_t length = le32(file, at + 8);
    ASSERT_GE(length, 64u);
    ASSERT_LE(at + 16 + length, file.size()) << "record " << count << " cut short";
    const uint8_t* h = &file[at + 16];
    uint64_t id = le32(file, at + 16) | uint64_t(le32(file, at + 20)) << 32;
    EXPECT_EQ(h[11], 2) << "device address";
    EXPECT_EQ(h[12], 1) << "bus";
    EXPECT_EQ(le32(file, at + 16 + 36), length - 64) << "captured length";
    ASSERT_TRUE(h[8] == 'S' || h[8] == 'C');
    open[id] += h[8] == 'S' ? 1 : -1;
    EXPECT_GE(open[id], 0) << "a completion before its submission";
    submissions += h[8] == 'S';
    ++count;
    at += 16 + length;
  }
  EXPECT_EQ(at, file.size());
  EXPECT_EQ(count, records);
  EXPECT_GT(submissions, 10u);
  for (auto [id, n] : open) EXPECT_EQ(n, 0) << "URB " << id << " never completed";
}

// The records of the odd cases: a stall, a cancel, host-only requests.
TEST(UsbmonRecordTest, StatusSetupAndDirectionFollowTheUrb) {
  UrbRecord stall{.id = 7, .function = URB_FUNCTION_CLASS_INTERFACE, .control = true, .requestType = 0xA1,
                  .request = CDC_GET_LINE_CODING, .length = 7, .state = UrbRecord::State::Completed,
                  .status = STATUS_UNSUCCESSFUL, .usbdStatus = USBD_STATUS_STALL_PID, .submitted100ns = 15'000'000};
  auto s = tzcom::usbmonRecord(stall, false, 3);
  ASSERT_EQ(s.size(), 64u);
  EXPECT_EQ(s[8], 'S');
  EXPECT_EQ(s[9], 2);
  EXPECT_EQ(s[10], 0x80);
  EXPECT_EQ(s[14], 0) << "setup present";
  EXPECT_EQ(std::vector<uint8_t>(s.begin() + 40, s.begin() + 48), (std::vector<uint8_t>{0xA1, 0x21, 0, 0, 0, 0, 7, 0}));
  EXPECT_EQ(int32_t(le32(s, 28)), -EINPROGRESS);
  EXPECT_EQ(le32(s, 24), 500'000u) << "microseconds";
  auto c = tzcom::usbmonRecord(stall, true, 3);
  EXPECT_EQ(int32_t(le32(c, 28)), -EPIPE);
  EXPECT_EQ(c[14], '-');

  UrbRecord read{.id = 8, .function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, .endpoint = 0x81,
                 .endpointType = USB_ENDPOINT_TYPE_INTERRUPT, .requestedLength = 16,
                 .state = UrbRecord::State::Cancelled, .status = STATUS_CANCELLED, .usbdStatus = USBD_STATUS_CANCELED};
  auto r = tzcom::usbmonRecord(read, true, 3);
  EXPECT_EQ(r[9], 1);
  EXPECT_EQ(r[10], 0x81);
  EXPECT_EQ(int32_t(le32(r, 28)), -ENOENT);
  EXPECT_EQ(le32(tzcom::usbmonRecord(read, false, 3), 32), 16u) << "the length asked for";

  UrbRecord abort{.id = 9, .function = URB_FUNCTION_ABORT_PIPE, .endpoint = 0x82};
  EXPECT_TRUE(tzcom::usbmonRecord(abort, false, 3).empty()) << "host-side only";
  UrbRecord clear{.id = 10, .function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, .endpoint = 0x82};
  auto cf = tzcom::usbmonRecord(clear, false, 3);
  EXPECT_EQ(std::vector<uint8_t>(cf.begin() + 40, cf.begin() + 48), (std::vector<uint8_t>{2, 1, 0, 0, 0x82, 0, 0, 0}));
}

TEST(UsbTraceOpenTest, ReportsAFileThatCannotBeWritten) {
  std::string error;
  EXPECT_FALSE(UsbTrace::open("/nonexistent-dir/trace.pcap", &error));
  EXPECT_NE(error.find("/nonexistent-dir/trace.pcap"), std::string::npos);
}

// Wireshark decodes the session: descriptors, the CDC requests, the data.
TEST_F(UsbTraceTest, TsharkDecodesLineCodingLineStateAndData) {
  if (!haveTshark()) GTEST_SKIP() << "tshark is not installed";
  ASSERT_NO_FATAL_FAILURE(session());
  std::string verbose = tshark("-V");
  EXPECT_NE(verbose.find("CONFIGURATION DESCRIPTOR"), std::string::npos);
  EXPECT_NE(verbose.find("bInterfaceClass: Communications and CDC Control (0x02)"), std::string::npos);
  EXPECT_EQ(verbose.find("Malformed"), std::string::npos);
  EXPECT_EQ(verbose.find("Expert Info (Warning"), std::string::npos);

  // The class requests are dissected as CDC ones only when the descriptors
  // told Wireshark what interface 0 is.
  std::string requests = tshark("-Y usbcom.control.request_code -T fields -e usbcom.control.request_code "
                                "-e usbcom.control.value");
  EXPECT_NE(requests.find("0x22\t3\n"), std::string::npos) << "DTR and RTS raised on open:\n" << requests;
  EXPECT_NE(requests.find("0x22\t0\n"), std::string::npos) << "and dropped on close:\n" << requests;
  // Newer dissectors decode the line coding; older ones show its bytes.
  std::string coding = tshark("-Y 'usbcom.control.request_code == 0x20' -V");
  bool decoded = coding.find("9600") != std::string::npos;
  EXPECT_TRUE(decoded || coding.find("Payload: 80250000000008") != std::string::npos) << coding;

  std::string data = tshark("-T fields -e usb.capdata -e usb.endpoint_address");
  EXPECT_NE(data.find("68656c6c6f\t0x02"), std::string::npos) << data;
  EXPECT_NE(data.find("68656c6c6f\t0x82"), std::string::npos) << data;
  std::string notification = tshark("-Y 'usb.endpoint_address == 0x81 && usb.urb_type == 67' -V");
  EXPECT_NE(notification.find("Notification Code: SERIAL STATE (0x20)"), std::string::npos) << notification;
  EXPECT_NE(notification.find("Payload: 0000000002000300"), std::string::npos) << "DCD and DSR:\n" << notification;
}

}  // namespace
