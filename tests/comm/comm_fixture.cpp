// Tests: the comm API fixture.
#include "comm_fixture.h"

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

void CommTest::SetUp() {
  AdapterTest::SetUp();
  plugPort();
}

void CommTest::plugPort() {
  adapter = &plug({.loopback = true}, modemClass(), u"COM5");
  ASSERT_EQ(start(*adapter), STATUS_SUCCESS);
}

HANDLE CommTest::open(comm::DWORD flags) {
  port = comm::CreateFileA("COM5", comm::GENERIC_READ | comm::GENERIC_WRITE, 0, nullptr, comm::OPEN_EXISTING, flags,
                           nullptr);
  EXPECT_NE(port, comm::INVALID_HANDLE_VALUE) << comm::GetLastError();
  return port;
}

void CommTest::writeAll(const std::string& bytes) {
  comm::DWORD written = 0;
  ASSERT_TRUE(comm::WriteFile(port, bytes.data(), comm::DWORD(bytes.size()), &written, nullptr))
      << comm::GetLastError();
  ASSERT_EQ(written, bytes.size());
}

comm::DCB CommTest::state() {
  comm::DCB dcb{};
  EXPECT_TRUE(comm::GetCommState(port, &dcb)) << comm::GetLastError();
  return dcb;
}

void CommTest::TearDown() {
  if (port && port != comm::INVALID_HANDLE_VALUE) comm::CloseHandle(port);
  AdapterTest::TearDown();
}
