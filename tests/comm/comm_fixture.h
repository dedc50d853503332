// Tests: a started loopback adapter named COM5 (a "Modem"-class device, so its
// status pipe runs) whose port the test opens through the comm API.
#pragma once

#include "driver/adapter_fixture.h"
#include "tools/comm/comm.h"

#include <string>

class CommTest : public AdapterTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Plugs and starts the adapter as SetUp does; for a SetUp that booted anew.
  void plugPort();
  // Opens COM5 (overlapped unless told otherwise); the handle closes at TearDown.
  HANDLE open(comm::DWORD flags = comm::FILE_FLAG_OVERLAPPED);
  // Writes bytes with a blocking WriteFile and checks that all went.
  void writeAll(const std::string& bytes);
  comm::DCB state();

  Adapter* adapter = nullptr;
  HANDLE port = nullptr;
};

// The bytes of a string, for the adapter's calls.
std::vector<uint8_t> bytesOf(const std::string& s);
