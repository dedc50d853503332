// Tests: the open-port fixture.
#include "open_port_fixture.h"

#include <cstring>

ULONG waitResult(const app::Request& request) {
  ULONG result = 0xFFFFFFFF;
  if (request.data().size() >= sizeof result) std::memcpy(&result, request.data().data(), sizeof result);
  return result;
}

void OpenPortTest::SetUp() {
  AdapterTest::SetUp();
  openPort(adapterOptions());
}

void OpenPortTest::openOnRealThreads(ULONG timeIncrement100ns, sim::Addresses addresses) {
  sim::boot({.mode = sim::Mode::Concurrent, .seed = uint64_t(::testing::UnitTest::GetInstance()->random_seed()),
             .workerThreads = 2, .timeIncrement100ns = timeIncrement100ns, .addresses = addresses});
  reload();
  openPort(adapterOptions());
}

void OpenPortTest::openPort(sim::usb::AdapterOptions options) {
  adapter = &plug(std::move(options), pdoOptions());
  ASSERT_EQ(start(*adapter), STATUS_SUCCESS);
  c = adapter->context;
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
}

void OpenPortTest::TearDown() {
  if (port.isOpen()) port.close();
  AdapterTest::TearDown();
}

void OpenPortTest::locked(const std::function<void()>& fn) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&c->controlLock);
  fn();
  KeReleaseSpinLock(&c->controlLock, oldIrql);
}

app::Request OpenPortTest::setWaitMask(ULONG mask) {
  return port.ioctlAsync(IOCTL_SERIAL_SET_WAIT_MASK, {reinterpret_cast<const uint8_t*>(&mask), sizeof mask}, 0);
}

app::Request OpenPortTest::waitOnMask() { return port.ioctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)); }

app::Request OpenPortTest::immediateChar(UCHAR character) {
  return port.ioctlAsync(IOCTL_SERIAL_IMMEDIATE_CHAR, {&character, 1}, 0);
}

std::vector<uint8_t> OpenPortTest::ringContent() {
  std::vector<uint8_t> bytes;
  locked([&] {
    for (ULONG i = 0, at = c->rxReadIndex; i < c->rxCount; ++i, ++at) bytes.push_back(c->rxBuffer[at % c->rxRingSize]);
  });
  return bytes;
}

app::Result OpenPortTest::setHandFlow(ULONG controlHandShake, ULONG flowReplace) {
  SERIAL_HANDFLOW handFlow = c->handFlow;
  handFlow.ControlHandShake = controlHandShake;
  handFlow.FlowReplace = flowReplace;
  return control(IOCTL_SERIAL_SET_HANDFLOW, handFlow);
}

app::Result OpenPortTest::setTimeouts(ULONG readInterval, ULONG readMultiplier, ULONG readConstant) {
  SERIAL_TIMEOUTS timeouts = {};
  timeouts.ReadIntervalTimeout = readInterval;
  timeouts.ReadTotalTimeoutMultiplier = readMultiplier;
  timeouts.ReadTotalTimeoutConstant = readConstant;
  return control(IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
}
