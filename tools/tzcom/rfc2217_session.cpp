// One RFC 2217 client session.
#include "tools/tzcom/rfc2217_session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace tzcom::rfc2217 {

using namespace comm;

namespace {

// How often a thread blocked on the port looks at the stop flag.
constexpr DWORD kPollMs = 100;
// Client data queued for the port before the socket thread waits for room,
// and the most one write takes.
constexpr size_t kWriteQueueBytes = 64 * 1024;
constexpr size_t kWriteChunkBytes = 16 * 1024;
// How long a client's last data may take to reach the port after it hung up.
constexpr auto kDrainTime = std::chrono::seconds(2);

// Reads return as soon as any byte is there, or after 100 ms with none;
// writes have no timeout (a stopping session cancels them).
constexpr COMMTIMEOUTS kTimeouts = {MAXDWORD, MAXDWORD, 100, 0, 0};

}  // namespace

Session::Session(int socket, HANDLE port, std::string portName, std::string peer, int verbosity)
    : socket_(socket),
      port_(port),
      portName_(std::move(portName)),
      peer_(std::move(peer)),
      log_("tzcom: rfc2217: " + peer_ + ": ", verbosity),
      control_(port, portName_, verbosity),
      options_({telnet::OPTION_BINARY, telnet::OPTION_SGA, telnet::OPTION_COM_PORT},
               {telnet::OPTION_BINARY, telnet::OPTION_SGA, telnet::OPTION_COM_PORT}) {
  makeTransparent(port_);
  SetCommTimeouts(port_, &kTimeouts);
  log_(1, "client connected, %s open", portName_.c_str());
  socketThread_ = std::thread([this] { runSocket(); });
}

Session::~Session() {
  stop();
  ::close(socket_);
}

void Session::requestStop() {
  if (stopping_.exchange(true)) return;
  // Wakes the socket thread's recv() and any send() blocked on a client that
  // does not read; the descriptor itself stays valid until the destructor.
  ::shutdown(socket_, SHUT_RDWR);
  {
    std::lock_guard lock(wakeLock_);
    wake_.notify_all();
  }
  std::lock_guard lock(writeLock_);
  writeReady_.notify_all();
}

void Session::stop() {
  requestStop();
  if (socketThread_.joinable()) socketThread_.join();
}

bool Session::send(std::span<const uint8_t> bytes) {
  std::lock_guard lock(sendLock_);
  if (clientGone_) return false;
  while (!bytes.empty()) {
    ssize_t sent = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) {
      // The client is gone; the socket thread sees it too and ends the
      // session once what the client sent before has reached the port.
      clientGone_ = true;
      return false;
    }
    bytes = bytes.subspan(size_t(sent));
  }
  return true;
}

bool Session::sendCommand(const Bytes& payload) { return send(telnet::subnegotiation(telnet::OPTION_COM_PORT, payload)); }

bool Session::collect(OVERLAPPED& ov, DWORD* transferred) {
  for (;;) {
    if (GetOverlappedResultEx(port_, &ov, transferred, kPollMs)) return true;
    if (GetLastError() != ERROR_IO_INCOMPLETE) return false;
    if (stopping_) {
      CancelIoEx(port_, &ov);
      GetOverlappedResult(port_, &ov, transferred, TRUE);
      SetLastError(ERROR_OPERATION_ABORTED);
      return false;
    }
  }
}

void Session::runSocket() {
  // Watched before any client command runs: a line the client moves at once
  // (a DTR drop right after the data) still has its event.
  bool watching = SetCommMask(port_, kWatchedEvents);
  if (!watching) log_(1, "cannot watch %s's modem lines (error %u)", portName_.c_str(), GetLastError());
  portThread_ = std::thread([this] { runPort(); });
  eventThread_ = std::thread([this, watching] {
    if (watching) runEvents();
  });
  writerThread_ = std::thread([this] { runWriter(); });
  send(options_.offer());
  uint8_t buffer[16384];
  while (!stopping_) {
    ssize_t got = ::recv(socket_, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    parser_.feed(std::span(buffer, size_t(got)), *this);
  }
  drainWrites();
  finish();
}

// A client that sends and hangs up at once still has its data written, as
// long as the port takes it soon.
void Session::drainWrites() {
  std::unique_lock lock(writeLock_);
  writeReady_.wait_for(lock, kDrainTime, [&] { return stopping_ || (writeQueue_.empty() && !writing_); });
}

void Session::finish() {
  requestStop();
  portThread_.join();
  eventThread_.join();
  writerThread_.join();
  CloseHandle(port_);
  log_(1, "client disconnected, %s closed", portName_.c_str());
  finished_ = true;
}

// Port to client, IAC doubled. While the client has suspended the flow,
// nothing is read, and what a read brought in just before waits too.
void Session::runPort() {
  uint8_t buffer[4096];
  Bytes escaped;
  OVERLAPPED ov;
  auto waitWhileSuspended = [&] {
    std::unique_lock lock(wakeLock_);
    while (!stopping_ && control_.suspended())
      wake_.wait_for(lock, std::chrono::milliseconds(kPollMs));
  };
  while (!stopping_) {
    waitWhileSuspended();
    DWORD got = 0;
    if (!ReadFile(port_, buffer, sizeof buffer, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) {
      log_(1, "reading %s failed (error %u)", portName_.c_str(), GetLastError());
      break;
    }
    if (!collect(ov, &got)) {
      DWORD error = GetLastError();
      if (stopping_) break;
      if (error == ERROR_OPERATION_ABORTED) continue;  // a purge of the receive side
      log_(1, "reading %s failed (error %u)", portName_.c_str(), error);
      break;
    }
    if (got == 0) continue;
    waitWhileSuspended();
    escaped.clear();
    telnet::appendEscaped(escaped, std::span(buffer, got));
    if (stopping_) break;
    if (!send(escaped)) return;  // the client is gone: nothing more to read for it
  }
  requestStop();
}

// Modem and line events to notifications.
void Session::runEvents() {
  OVERLAPPED ov;
  while (!stopping_) {
    DWORD events = 0, transferred = 0;
    if (!WaitCommEvent(port_, &events, &ov) && GetLastError() != ERROR_IO_PENDING) {
      log_(1, "waiting on %s failed (error %u)", portName_.c_str(), GetLastError());
      break;
    }
    if (!collect(ov, &transferred)) {
      DWORD error = GetLastError();
      if (stopping_) break;
      if (error == ERROR_OPERATION_ABORTED) continue;
      log_(1, "waiting on %s failed (error %u)", portName_.c_str(), error);
      break;
    }
    if (auto modem = control_.modemNotification(events)) sendCommand(*modem);
    if (auto line = control_.lineNotification(events)) sendCommand(*line);
  }
}

// Client to port, in the order the client sent it.
void Session::onData(std::span<const uint8_t> data) {
  std::unique_lock lock(writeLock_);
  writeReady_.wait(lock, [&] { return stopping_ || writeQueue_.size() < kWriteQueueBytes; });
  if (stopping_) return;
  writeQueue_.insert(writeQueue_.end(), data.begin(), data.end());
  writeReady_.notify_all();
}

void Session::runWriter() {
  std::vector<uint8_t> chunk;
  OVERLAPPED ov;
  while (!stopping_) {
    {
      std::unique_lock lock(writeLock_);
      writeReady_.wait(lock, [&] { return stopping_ || !writeQueue_.empty(); });
      if (stopping_) break;
      size_t n = std::min(writeQueue_.size(), kWriteChunkBytes);
      chunk.assign(writeQueue_.begin(), writeQueue_.begin() + ptrdiff_t(n));
      writeQueue_.erase(writeQueue_.begin(), writeQueue_.begin() + ptrdiff_t(n));
      writing_ = true;
      writeReady_.notify_all();
    }
    std::span<const uint8_t> left(chunk);
    while (!left.empty() && !stopping_) {
      DWORD wrote = 0;
      if (!WriteFile(port_, left.data(), DWORD(left.size()), nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) {
        log_(1, "writing %s failed (error %u)", portName_.c_str(), GetLastError());
        requestStop();
        return;
      }
      if (!collect(ov, &wrote)) {
        DWORD error = GetLastError();
        if (stopping_ || error == ERROR_OPERATION_ABORTED) break;  // stopping, or a purge of the transmit side
        log_(1, "writing %s failed (error %u)", portName_.c_str(), error);
        requestStop();
        return;
      }
      left = left.subspan(std::min<size_t>(wrote, left.size()));
    }
    std::lock_guard lock(writeLock_);
    writing_ = false;
    writeReady_.notify_all();
  }
}

void Session::onNegotiation(uint8_t verb, uint8_t option) {
  bool comPortBefore = options_.remoteEnabled(telnet::OPTION_COM_PORT) || options_.localEnabled(telnet::OPTION_COM_PORT);
  Bytes reply = options_.receive(verb, option);
  static const char* const verbs[] = {"WILL", "WONT", "DO", "DONT"};
  log_(2, "%s %u%s", verbs[verb - telnet::WILL], option, reply.empty() ? "" : ", answered");
  if (!reply.empty()) send(reply);
  bool comPortNow = options_.remoteEnabled(telnet::OPTION_COM_PORT) || options_.localEnabled(telnet::OPTION_COM_PORT);
  if (!comPortBefore && comPortNow) announceModemState();
}

// The client learns the modem lines once, when the option is on: at the
// negotiation that enables it or, from a client that took our offer for
// the answer to its own request and so never answered it, at its first
// command. Later changes come as notifications.
void Session::announceModemState() {
  if (modemStateAnnounced_) return;
  modemStateAnnounced_ = true;
  if (auto modem = control_.modemStateNow()) sendCommand(*modem);
}

void Session::onSubnegotiation(uint8_t option, std::span<const uint8_t> payload) {
  if (option != telnet::OPTION_COM_PORT) {
    log_(2, "ignored subnegotiation of option %u", option);
    return;
  }
  announceModemState();
  // A purge of the transmit side also drops what is still queued here.
  if (payload.size() >= 2 && payload[0] == PURGE_DATA && (payload[1] == 2 || payload[1] == 3)) {
    std::lock_guard lock(writeLock_);
    writeQueue_.clear();
    writeReady_.notify_all();
  }
  if (auto reply = control_.handle(payload)) sendCommand(*reply);
  if (payload.empty()) return;
  if (payload[0] == SET_MODEMSTATE_MASK)
    if (auto modem = control_.modemStateNow()) sendCommand(*modem);
  if (payload[0] == FLOWCONTROL_RESUME) {
    std::lock_guard lock(wakeLock_);
    wake_.notify_all();
  }
}

void Session::onMalformed(const char* what) { log_(2, "malformed input: %s", what); }

}  // namespace tzcom::rfc2217
