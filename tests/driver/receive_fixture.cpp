// Tests: the receiving open-port fixture.
#include "receive_fixture.h"

#include <cstring>

std::vector<uint8_t> streamBytes(uint64_t first, size_t count) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = streamByte(first + i);
  return bytes;
}

void ReceiveTest::receive(size_t count) {
  receive(streamBytes(sent, count));
}

void ReceiveTest::receive(const std::vector<uint8_t>& bytes) {
  adapter->model->sendBulkIn(bytes);
  sent += bytes.size();
  sim::runReady();
}

app::Result ReceiveTest::setSpecialChars(SERIAL_CHARS chars) {
  chars.XonChar = 0x11;
  chars.XoffChar = 0x13;
  return control(IOCTL_SERIAL_SET_CHARS, chars);
}

SERIAL_STATUS ReceiveTest::commStatus() {
  SERIAL_STATUS status = {};
  EXPECT_EQ(port.ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status).status, STATUS_SUCCESS);
  return status;
}

SERIALPERF_STATS ReceiveTest::stats() {
  SERIALPERF_STATS stats = {};
  EXPECT_EQ(port.ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats).status, STATUS_SUCCESS);
  return stats;
}
