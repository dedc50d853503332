// The Win32 communications API over the simulated I/O manager: what a Windows
// program's calls become at a serial driver, with the same names, records,
// flags and error codes, so that the host program, the benchmarks and the
// scenario tests read like the Windows programs they stand for.
//
//   HANDLE port = comm::CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
//                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
//   DCB dcb{.DCBlength = sizeof(DCB)};
//   comm::GetCommState(port, &dcb);
//   dcb.BaudRate = 115200;
//   if (!comm::SetCommState(port, &dcb)) printf("%u\n", comm::GetLastError());
//   comm::OVERLAPPED ov;
//   comm::ReadFile(port, buf, sizeof buf, nullptr, &ov);    // FALSE, ERROR_IO_PENDING
//   comm::GetOverlappedResult(port, &ov, &got, TRUE);
//   comm::CloseHandle(port);
//
// Every call is a request (or a sequence of them) on the port's handle, sent
// from the calling thread; calls on one handle may come from several threads
// at once, as on the platform. The last error is per thread. A bad argument
// (null record, wrong length, unknown flag, closed handle) fails with the
// platform's error, never a crash.
#pragma once

#include "sim/app.h"

#include <cstdint>
#include <memory>

namespace comm {

using BOOL = int;
using WORD = uint16_t;
using BYTE = uint8_t;
using DWORD = uint32_t;
using LPCSTR = const char*;

// ---- errors (winerror.h values) ------------------------------------------------
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_DELETE_PENDING = 303;
constexpr DWORD ERROR_NO_SUCH_DEVICE = 433;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_COUNTER_TIMEOUT = 1121;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;

DWORD GetLastError();
void SetLastError(DWORD error);
// The Win32 error an NTSTATUS becomes (RtlNtStatusToDosError's table for the
// statuses a serial stack returns; anything else: ERROR_GEN_FAILURE).
DWORD ErrorFromStatus(NTSTATUS status);

// ---- handles ------------------------------------------------------------------------
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~uintptr_t(0));

// Opens "COM5", "\\.\COM5" or "\\?\COM5" (and any \??\ or \Device\ name).
// Returns INVALID_HANDLE_VALUE and sets the last error on failure: a port
// that does not exist is ERROR_FILE_NOT_FOUND, one already open
// ERROR_ACCESS_DENIED. Only OPEN_EXISTING with share mode 0 is accepted
// (ERROR_INVALID_PARAMETER otherwise), as for any comm device.
HANDLE CreateFileA(LPCSTR name, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
// Cleanup and close. In-flight requests of the handle are cancelled by the
// driver's cleanup; their OVERLAPPED records end with ERROR_OPERATION_ABORTED.
BOOL CloseHandle(HANDLE handle);

// ---- records (winbase.h layouts) -------------------------------------------------------
struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};
static_assert(sizeof(DCB) == 28);

constexpr DWORD DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2, RTS_CONTROL_TOGGLE = 3;
constexpr BYTE NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};
constexpr DWORD MAXDWORD = 0xFFFFFFFF;

struct COMSTAT {
  DWORD fCtsHold : 1;
  DWORD fDsrHold : 1;
  DWORD fRlsdHold : 1;
  DWORD fXoffHold : 1;
  DWORD fXoffSent : 1;
  DWORD fEof : 1;
  DWORD fTxim : 1;
  DWORD fReserved : 25;
  DWORD cbInQue;
  DWORD cbOutQue;
};

struct COMMPROP {
  WORD wPacketLength;
  WORD wPacketVersion;
  DWORD dwServiceMask;
  DWORD dwReserved1;
  DWORD dwMaxTxQueue;
  DWORD dwMaxRxQueue;
  DWORD dwMaxBaud;
  DWORD dwProvSubType;
  DWORD dwProvCapabilities;
  DWORD dwSettableParams;
  DWORD dwSettableBaud;
  WORD wSettableData;
  WORD wSettableStopParity;
  DWORD dwCurrentTxQueue;
  DWORD dwCurrentRxQueue;
  DWORD dwProvSpec1;
  DWORD dwProvSpec2;
  WCHAR wcProvChar[1];
};
static_assert(sizeof(COMMPROP) == 64);

// ---- the state of the line ----------------------------------------------------------
// GetCommState reads baud rate, line control, special characters and
// handshake and composes the DCB. SetCommState checks the DCB, then sets baud
// rate, line control, special characters and handshake (and DTR and RTS where
// their control is enable or disable) in that order; when the driver refuses
// one, the settings already made are put back and the call fails with the
// driver's error. A DCB the platform refuses before any request (DCBlength
// other than sizeof(DCB) is accepted, as on the platform; XonChar equal to
// XoffChar with fOutX or fInX, ByteSize outside 5..8, Parity > 4,
// StopBits > 2) fails with ERROR_INVALID_PARAMETER and changes nothing.
BOOL GetCommState(HANDLE port, DCB* dcb);
BOOL SetCommState(HANDLE port, const DCB* dcb);
BOOL GetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts);
BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue);
BOOL GetCommProperties(HANDLE port, COMMPROP* properties);

// ---- events ----------------------------------------------------------------------------
constexpr DWORD EV_RXCHAR = 0x0001, EV_RXFLAG = 0x0002, EV_TXEMPTY = 0x0004, EV_CTS = 0x0008, EV_DSR = 0x0010,
                EV_RLSD = 0x0020, EV_BREAK = 0x0040, EV_ERR = 0x0080, EV_RING = 0x0100, EV_PERR = 0x0200,
                EV_RX80FULL = 0x0400, EV_EVENT1 = 0x0800, EV_EVENT2 = 0x1000;

// An overlapped operation: pass one to ReadFile, WriteFile or WaitCommEvent
// on a handle opened with FILE_FLAG_OVERLAPPED; the call returns FALSE with
// ERROR_IO_PENDING (or TRUE when it completed at once), and
// GetOverlappedResult collects the outcome. One operation per record at a
// time; destroying a record with its operation in flight waits for it.
struct OVERLAPPED {
  OVERLAPPED();
  ~OVERLAPPED();
  OVERLAPPED(const OVERLAPPED&) = delete;
  OVERLAPPED& operator=(const OVERLAPPED&) = delete;
  struct Operation;
  std::unique_ptr<Operation> operation;
};

BOOL SetCommMask(HANDLE port, DWORD mask);
BOOL GetCommMask(HANDLE port, DWORD* mask);
// Blocking without an OVERLAPPED; with one, the event mask is written to
// *eventMask when GetOverlappedResult collects it (keep it alive until then).
BOOL WaitCommEvent(HANDLE port, DWORD* eventMask, OVERLAPPED* overlapped);

// ---- data ------------------------------------------------------------------------------------
// Blocking without an OVERLAPPED (the port's timeouts apply: a read that
// times out succeeds with fewer bytes); with one, buffer must stay valid until
// the operation is collected.
BOOL ReadFile(HANDLE port, void* buffer, DWORD length, DWORD* transferred, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE port, const void* buffer, DWORD length, DWORD* transferred, OVERLAPPED* overlapped);
// wait TRUE: until the operation completes; FALSE: ERROR_IO_INCOMPLETE while
// it is still in flight.
BOOL GetOverlappedResult(HANDLE port, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
// As GetOverlappedResult with wait, but gives up after timeoutMs
// (ERROR_IO_INCOMPLETE, operation still in flight); INFINITE waits.
constexpr DWORD INFINITE = 0xFFFFFFFF;
BOOL GetOverlappedResultEx(HANDLE port, OVERLAPPED* overlapped, DWORD* transferred, DWORD timeoutMs);
// Cancels the handle's operation on overlapped (all of them when null).
BOOL CancelIoEx(HANDLE port, OVERLAPPED* overlapped);
BOOL FlushFileBuffers(HANDLE port);

// ---- lines and queues --------------------------------------------------------------------------
constexpr DWORD SETXOFF = 1, SETXON = 2, SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6, RESETDEV = 7,
                SETBREAK = 8, CLRBREAK = 9;
BOOL EscapeCommFunction(HANDLE port, DWORD function);
BOOL SetCommBreak(HANDLE port);
BOOL ClearCommBreak(HANDLE port);
BOOL TransmitCommChar(HANDLE port, char c);

constexpr DWORD PURGE_TXABORT = 0x0001, PURGE_RXABORT = 0x0002, PURGE_TXCLEAR = 0x0004, PURGE_RXCLEAR = 0x0008;
BOOL PurgeComm(HANDLE port, DWORD flags);

constexpr DWORD CE_RXOVER = 0x0001, CE_OVERRUN = 0x0002, CE_RXPARITY = 0x0004, CE_FRAME = 0x0008,
                CE_BREAK = 0x0010;
BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status);

constexpr DWORD MS_CTS_ON = 0x0010, MS_DSR_ON = 0x0020, MS_RING_ON = 0x0040, MS_RLSD_ON = 0x0080;
BOOL GetCommModemStatus(HANDLE port, DWORD* modemStatus);

// ---- beyond Win32 ------------------------------------------------------------------------------
// The handle's file for requests the API has no call for (statistics, vendor
// codes); null for a bad handle.
app::File* FileOf(HANDLE port);

}  // namespace comm
