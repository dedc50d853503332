// Tests: the status and property queries, the statistics and the vendor codes
// that answer at once, as an application on the open port sees them.
#include "port_query_fixture.h"

#include "driver/pnp/usb_config.h"

#include <cstring>

namespace {

uint32_t u32(const std::vector<uint8_t>& bytes) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data(), sizeof value);
  return value;
}

void setUnderControlLock(DeviceContext* context, const std::function<void()>& change) {
  KIRQL old;
  KeAcquireSpinLock(&context->controlLock, &old);
  change();
  KeReleaseSpinLock(&context->controlLock, old);
}

TEST_F(PortQueryTest, PropertiesAreTheExactCommProp) {
  openPort();
  std::vector<uint8_t> bytes;
  app::Result r = query(IOCTL_SERIAL_GET_PROPERTIES, 64, &bytes);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 64u);
  const std::vector<uint8_t> expected = {
      0x40, 0x00, 0x02, 0x00,  // PacketLength 64, PacketVersion 2
      0x01, 0x00, 0x00, 0x00,  // ServiceMask: serial communication
      0x00, 0x00, 0x00, 0x00,  // Reserved1
      0x00, 0x00, 0x00, 0x00,  // MaxTxQueue
      0x00, 0x00, 0x00, 0x00,  // MaxRxQueue
      0x00, 0x00, 0x00, 0x10,  // MaxBaud: user-defined
      0x01, 0x00, 0x00, 0x00,  // ProvSubType: RS-232
      0xFF, 0x00, 0x00, 0x00,  // ProvCapabilities
      0x7F, 0x00, 0x00, 0x00,  // SettableParams
      0xFF, 0xFF, 0x07, 0x10,  // SettableBaud
      0x0F, 0x00, 0x07, 0x1F,  // SettableData, SettableStopParity
      0x00, 0x00, 0x00, 0x00,  // CurrentTxQueue
      0x00, 0x40, 0x06, 0x00,  // CurrentRxQueue: 409600
      0x00, 0x00, 0x00, 0x00,  // ProvSpec1
      0x00, 0x00, 0x00, 0x00,  // ProvSpec2
      0x00, 0x00, 0x00, 0x00,  // ProvChar and padding
  };
  EXPECT_EQ(bytes, expected);
}

// Errors recorded by the receive path are handed over once, then cleared: a
// port under SERIAL_ERROR_ABORT is usable again after the query.
TEST_F(PortQueryTest, CommStatusReportsQueuedBytesAndRecordedErrorsOnce) {
  openPort();
  setUnderControlLock(context, [&] {
    context->rxCount = 10;
    context->errorWord = SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_FRAMING;
  });

  std::vector<uint8_t> bytes;
  app::Result r = query(IOCTL_SERIAL_GET_COMMSTATUS, 20, &bytes);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_EQ(r.information, 20u);
  SERIAL_STATUS status;
  std::memcpy(&status, bytes.data(), sizeof status);
  EXPECT_EQ(status.Errors, ULONG(SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_FRAMING));
  EXPECT_EQ(status.AmountInInQueue, 10u);
  EXPECT_EQ(status.AmountInOutQueue, 0u);
  EXPECT_EQ(status.HoldReasons, 0u);
  EXPECT_EQ(context->errorWord, 0u);

  r = query(IOCTL_SERIAL_GET_COMMSTATUS, 20, &bytes);
  std::memcpy(&status, bytes.data(), sizeof status);
  EXPECT_EQ(status.Errors, 0u);
  EXPECT_EQ(status.AmountInInQueue, 10u);
}

TEST_F(PortQueryTest, CommStatusEndsTheErrorAbortLockOut) {
  openPort();
  setUnderControlLock(context, [&] {
    context->handFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    context->errorWord = SERIAL_ERROR_OVERRUN;
  });
  EXPECT_EQ(query(IOCTL_SERIAL_GET_DTRRTS, 4).status, STATUS_CANCELLED);
  EXPECT_EQ(query(IOCTL_SERIAL_GET_COMMSTATUS, 20).status, STATUS_SUCCESS);
  EXPECT_EQ(query(IOCTL_SERIAL_GET_DTRRTS, 4).status, STATUS_SUCCESS);
}

// DTR and RTS are reported as last set, in both layouts. Statistics clear
// to zero.
TEST_F(PortQueryTest, LineStateAndStatisticsQueries) {
  openPort();
  std::vector<uint8_t> bytes;
  ASSERT_EQ(query(IOCTL_SERIAL_CLR_DTR, 0).status, STATUS_SUCCESS);
  app::Result r = query(IOCTL_SERIAL_GET_DTRRTS, 4, &bytes);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(u32(bytes), ULONG(SERIAL_RTS_STATE));

  r = query(IOCTL_SERIAL_GET_MODEM_CONTROL, 4, &bytes);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 4u);
  EXPECT_EQ(u32(bytes), ULONG(SERIAL_IOC_MCR_RTS));

  setUnderControlLock(context, [&] { context->perfStats = SERIALPERF_STATS{10, 20, 0, 0, 3, 0}; });
  ASSERT_EQ(query(IOCTL_SERIAL_CLEAR_STATS, 0).status, STATUS_SUCCESS);
  r = query(IOCTL_SERIAL_GET_STATS, 24, &bytes);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(bytes, std::vector<uint8_t>(24, 0));
}

// The identity comes from the device descriptor the start path accepted. A
// buffer that cannot hold it is refused, not written past its end (a heap
// overrun the address sanitizer would report).
TEST_F(PortQueryTest, UsbIdentityAndAShortBuffer) {
  openPort({.vendorId = AdapterVendorId, .productId = AdapterProductId});
  std::vector<uint8_t> bytes;
  app::Result r = query(IoctlVendorGetUsbIdentity, 4, &bytes);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 4u);
  EXPECT_EQ(u32(bytes), 0x7A5EC0DEu);

  for (ULONG length : {0u, 3u}) {
    r = query(IoctlVendorGetUsbIdentity, length, &bytes);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL) << length << " bytes";
    EXPECT_EQ(r.information, 0u);
  }
}

// The reset reaches the adapter, and the bus driver's answer reaches the
// application, failures included.
TEST_F(PortQueryTest, PortResetReachesTheAdapter) {
  openPort();
  unsigned before = adapter->model->portResets();
  app::Result r = query(IoctlVendorResetUsbPort, 0);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(adapter->model->portResets(), before + 1);

  sim::faults::arm(1);  // the reset's own IRP
  EXPECT_EQ(query(IoctlVendorResetUsbPort, 0).status, STATUS_INSUFFICIENT_RESOURCES);
  sim::faults::disarm();
  EXPECT_EQ(adapter->model->portResets(), before + 1);

  adapter->model->disconnect();
  EXPECT_EQ(query(IoctlVendorResetUsbPort, 0).status, STATUS_DEVICE_NOT_CONNECTED);
}

}  // namespace
