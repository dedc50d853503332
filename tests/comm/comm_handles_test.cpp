// Tests: opening by the platform's names, the errors of open, and bad
// handles and null records failing with the platform's errors.
#include "comm_fixture.h"

namespace {

using namespace comm;

HANDLE openNamed(const char* name, DWORD share = 0, DWORD disposition = OPEN_EXISTING) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, share, nullptr, disposition, FILE_FLAG_OVERLAPPED, nullptr);
}

TEST_F(CommTest, APortOpensByEachOfItsNames) {
  for (const char* name : {"COM5", "\\\\.\\COM5", "\\\\?\\COM5", "\\??\\COM5"}) {
    HANDLE handle = openNamed(name);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << name << ": " << GetLastError();
    EXPECT_NE(FileOf(handle), nullptr);
    EXPECT_TRUE(CloseHandle(handle)) << name;
  }
}

TEST_F(CommTest, OpenFailsWithThePlatformsErrors) {
  EXPECT_EQ(openNamed("COM9"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(openNamed(""), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(openNamed(nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(openNamed("COM5", 1), INVALID_HANDLE_VALUE) << "comm devices are not shared";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(openNamed("COM5", 0, 2 /* CREATE_ALWAYS */), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateFileA("COM5", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0x02000000, nullptr), INVALID_HANDLE_VALUE)
      << "an unknown flag";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  open();
  EXPECT_EQ(openNamed("COM5"), INVALID_HANDLE_VALUE) << "the port is open already";
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(CommTest, EveryCallFailsOnABadHandleWithoutTouchingThePort) {
  open();
  ASSERT_TRUE(CloseHandle(port));
  HANDLE stale = port;
  port = nullptr;

  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  COMMPROP properties{};
  DWORD value = 0;
  char buffer[4];
  OVERLAPPED ov;
  for (HANDLE bad : {HANDLE(nullptr), INVALID_HANDLE_VALUE, stale, reinterpret_cast<HANDLE>(uintptr_t(0x1234567))}) {
    std::vector<std::pair<const char*, BOOL>> calls = {
        {"GetCommState", GetCommState(bad, &dcb)},
        {"SetCommState", SetCommState(bad, &dcb)},
        {"GetCommTimeouts", GetCommTimeouts(bad, &timeouts)},
        {"SetCommTimeouts", SetCommTimeouts(bad, &timeouts)},
        {"SetupComm", SetupComm(bad, 1, 1)},
        {"GetCommProperties", GetCommProperties(bad, &properties)},
        {"SetCommMask", SetCommMask(bad, EV_RXCHAR)},
        {"GetCommMask", GetCommMask(bad, &value)},
        {"WaitCommEvent", WaitCommEvent(bad, &value, &ov)},
        {"ReadFile", ReadFile(bad, buffer, sizeof buffer, &value, &ov)},
        {"WriteFile", WriteFile(bad, buffer, sizeof buffer, &value, nullptr)},
        {"CancelIoEx", CancelIoEx(bad, nullptr)},
        {"FlushFileBuffers", FlushFileBuffers(bad)},
        {"EscapeCommFunction", EscapeCommFunction(bad, SETDTR)},
        {"TransmitCommChar", TransmitCommChar(bad, 'x')},
        {"PurgeComm", PurgeComm(bad, PURGE_RXCLEAR)},
        {"ClearCommError", ClearCommError(bad, &value, nullptr)},
        {"GetCommModemStatus", GetCommModemStatus(bad, &value)},
        {"CloseHandle", CloseHandle(bad)},
    };
    for (auto& [name, ok] : calls) EXPECT_FALSE(ok) << name;
    SetLastError(0);
    EXPECT_FALSE(GetCommModemStatus(bad, &value));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(FileOf(bad), nullptr);
  }
  EXPECT_FALSE(ov.operation) << "no operation was started on the record";
}

TEST_F(CommTest, NullRecordsFailWithInvalidParameter) {
  open();
  std::vector<std::pair<const char*, BOOL>> calls = {
      {"GetCommState", GetCommState(port, nullptr)},
      {"GetCommMask", GetCommMask(port, nullptr)},
      {"GetCommProperties", GetCommProperties(port, nullptr)},
      {"GetCommModemStatus", GetCommModemStatus(port, nullptr)},
      {"ReadFile", ReadFile(port, nullptr, 4, nullptr, nullptr)},
      {"WriteFile", WriteFile(port, nullptr, 4, nullptr, nullptr)},
      {"GetOverlappedResult", GetOverlappedResult(port, nullptr, nullptr, 1)},
  };
  for (auto& [name, ok] : calls) {
    EXPECT_FALSE(ok) << name;
  }
  SetLastError(0);
  EXPECT_FALSE(GetCommState(port, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  DWORD errors = 0;
  EXPECT_TRUE(ClearCommError(port, &errors, nullptr)) << "both outputs of ClearCommError are optional";
  EXPECT_TRUE(ClearCommError(port, nullptr, nullptr));
}

}  // namespace
