// Tests: an open port whose adapter sends data, for the receive path and read
// tests. The far end's bytes follow one numbered pattern, so any loss or
// reordering shows in what a read returns.
#pragma once

#include "open_port_fixture.h"

// Byte i of the far end's stream.
inline uint8_t streamByte(uint64_t i) { return uint8_t((i * 131 + (i >> 8)) & 0xFF); }
std::vector<uint8_t> streamBytes(uint64_t first, size_t count);

class ReceiveTest : public OpenPortTest {
 protected:
  // The adapter sends the next count bytes of the stream on its bulk-in
  // pipe; the kernel runs until nothing more is ready (Deterministic).
  void receive(size_t count);
  // The adapter sends exactly these bytes.
  void receive(const std::vector<uint8_t>& bytes);
  app::Request read(ULONG length) { return port.readAsync(length); }
  // IOCTL_SERIAL_SET_CHARS with these characters and the usual XON/XOFF.
  app::Result setSpecialChars(SERIAL_CHARS chars);
  SERIAL_STATUS commStatus();
  SERIALPERF_STATS stats();

  uint64_t sent = 0;  // stream bytes the adapter has sent
};
