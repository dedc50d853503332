#include "tools/tzcom/pty_session.h"

#include "tools/tzcom/pty_line.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace tzcom {

namespace {

// How long one wait on the port or the master lasts before the stop flag is
// looked at again.
constexpr comm::DWORD sliceMs = 100;
constexpr size_t chunk = 4096;

}  // namespace

std::unique_ptr<PtySession> PtySession::open(const std::string& portName, int master, Delivering delivering,
                                             int verbosity, comm::DWORD* error) {
  HANDLE port = comm::CreateFileA(portName.c_str(), comm::GENERIC_READ | comm::GENERIC_WRITE, 0, nullptr,
                                  comm::OPEN_EXISTING, comm::FILE_FLAG_OVERLAPPED, nullptr);
  if (port == comm::INVALID_HANDLE_VALUE) {
    *error = comm::GetLastError();
    return nullptr;
  }
  // A read returns what has arrived at once, or waits at most 50 ms for the
  // first byte (a stop cancels it sooner). No write timeout: flow control may
  // hold a write as long as it likes.
  comm::COMMTIMEOUTS timeouts{comm::MAXDWORD, comm::MAXDWORD, 50, 0, 0};
  if (!comm::SetCommTimeouts(port, &timeouts)) {
    *error = comm::GetLastError();
    comm::CloseHandle(port);
    return nullptr;
  }
  std::unique_ptr<PtySession> session(new PtySession(port, portName, master, std::move(delivering), verbosity));
  session->followLine();
  session->receiver_ = std::thread([s = session.get()] { s->receive(); });
  return session;
}

PtySession::PtySession(HANDLE port, std::string portName, int master, Delivering delivering, int verbosity)
    : port_(port),
      portName_(std::move(portName)),
      master_(master),
      delivering_(std::move(delivering)),
      verbosity_(verbosity) {}

PtySession::~PtySession() {
  stopReceiving();
  comm::CloseHandle(port_);
}

void PtySession::stopReceiving() {
  if (!receiver_.joinable()) return;
  stopping_ = true;
  // A read issued after this cancel sees stopping_ and cancels itself.
  comm::CancelIoEx(port_, nullptr);
  receiver_.join();
}

void PtySession::followLine() {
  termios now{};
  if (tcgetattr(master_, &now) != 0) return;
  if (haveLine_ && sameLine(now, line_)) return;
  line_ = now;
  haveLine_ = true;
  comm::DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!comm::GetCommState(port_, &dcb)) return;
  applyTermios(now, dcb);
  dcb.fDtrControl = comm::DTR_CONTROL_ENABLE;
  if (comm::SetCommState(port_, &dcb)) {
    refusedLogged_ = false;
    if (verbosity_ >= 2)
      std::fprintf(stderr, "tzcom: %s follows the pty: %u %u%c%s%s\n", portName_.c_str(), unsigned(dcb.BaudRate),
                   unsigned(dcb.ByteSize), "NOEMS"[dcb.Parity],
                   dcb.StopBits == comm::ONESTOPBIT ? "1" : dcb.StopBits == comm::ONE5STOPBITS ? "1.5" : "2",
                   dcb.fOutxCtsFlow ? " rtscts" : "");
  } else if (verbosity_ >= 1 && !refusedLogged_) {
    refusedLogged_ = true;
    std::fprintf(stderr, "tzcom: %s refused the pty's line settings (error %u); it keeps its own\n",
                 portName_.c_str(), unsigned(comm::GetLastError()));
  }
}

bool PtySession::write(const uint8_t* data, size_t length, const std::function<bool()>& keepGoing) {
  while (length > 0) {
    comm::OVERLAPPED ov;
    comm::DWORD done = 0;
    if (!comm::WriteFile(port_, data, comm::DWORD(length), nullptr, &ov)) {
      if (comm::GetLastError() != comm::ERROR_IO_PENDING) return false;
      while (!comm::GetOverlappedResultEx(port_, &ov, &done, sliceMs)) {
        if (comm::GetLastError() != comm::ERROR_IO_INCOMPLETE) return false;
        if (!keepGoing()) {
          comm::CancelIoEx(port_, &ov);
          comm::GetOverlappedResult(port_, &ov, &done, TRUE);
          return false;
        }
      }
    } else if (!comm::GetOverlappedResult(port_, &ov, &done, TRUE)) {
      return false;
    }
    if (done == 0) return false;  // no write timeout is set, so this is a failing port
    data += done;
    length -= done;
  }
  return true;
}

// Reads the port and hands each chunk to the master before reading the next,
// so a program that reads slowly holds the port's receive queue back instead
// of losing bytes here.
void PtySession::receive() {
  uint8_t buffer[chunk];
  while (!stopping_) {
    comm::OVERLAPPED ov;
    comm::DWORD got = 0;
    bool ok = comm::ReadFile(port_, buffer, sizeof buffer, nullptr, &ov);
    if (!ok && comm::GetLastError() == comm::ERROR_IO_PENDING) {
      // stopReceiving sets the flag before it cancels: a read issued after
      // its cancel is cancelled here.
      if (stopping_) comm::CancelIoEx(port_, &ov);
      ok = comm::GetOverlappedResult(port_, &ov, &got, TRUE);
    } else if (ok) {
      ok = comm::GetOverlappedResult(port_, &ov, &got, TRUE);
    }
    if (got > 0) toMaster(buffer, got);
    if (!ok && !stopping_) {
      // The port failed (surprise removal): keep the session until the
      // program lets go of the slave, without spinning.
      poll(nullptr, 0, int(sliceMs));
    }
  }
}

// Writes all of data to the master, unless the session stops or its
// programs leave first: an echo that comes back after its program has closed
// the slave must not reach the next program to open it.
void PtySession::toMaster(const uint8_t* data, size_t length) {
  while (length > 0) {
    if (!delivering_()) return;
    ssize_t n = ::write(master_, data, length);
    if (n > 0) {
      data += n;
      length -= size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return;  // the pty is going away; so is the session
    if (stopping_) return;
    // The slave's input queue is full: wait until the program reads. A
    // hangup ends the session from the bridge's thread; until then, wait
    // on the clock alone (poll would report the hangup at once).
    pollfd fd{master_, POLLOUT, 0};
    if (poll(&fd, 1, int(sliceMs)) > 0 && (fd.revents & POLLHUP)) poll(nullptr, 0, int(sliceMs));
  }
}

}  // namespace tzcom
