#include "tools/tzcom/pty_bridge.h"

#include "tools/tzcom/pty_session.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace tzcom {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int lineCheckMs = 100;                            // how often the slave's settings are compared
constexpr auto busyRetry = std::chrono::milliseconds(250);  // how often a busy port is tried again
constexpr auto abandonAfter = std::chrono::seconds(2);      // how long a held write outlives its program
constexpr size_t chunk = 4096;

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

int msUntil(Clock::time_point when) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
  return left > 0 ? int(left) : 0;
}

short masterEvents(int master) {
  pollfd fd{master, POLLIN, 0};
  return poll(&fd, 1, 0) > 0 ? fd.revents : 0;
}

void setFlags(int fd, int statusFlags) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | statusFlags);
  fcntl(fd, F_SETFD, FD_CLOEXEC);
}

}  // namespace

PtyBridge::PtyBridge(PtyOptions options) : options_(std::move(options)) {}

PtyBridge::~PtyBridge() { stop(); }

bool PtyBridge::start(std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what;
    closeAll();
    return false;
  };
  if (master_ >= 0) return fail("the pty bridge is already running");
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) return fail(failure("posix_openpt"));
  setFlags(master_, O_NONBLOCK);
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) return fail(failure("grantpt/unlockpt"));
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) return fail(failure("ptsname_r"));
  slavePath_ = name;
  // Raw mode is set on the slave once; the settings stay with the pair while
  // the master is open. Opening and closing the slave also arms the master's
  // hangup, which is how the bridge tells that no program holds the slave (a
  // slave never opened reports none).
  int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) return fail(failure("open " + slavePath_));
  termios raw{};
  bool rawSet = tcgetattr(slave, &raw) == 0;
  if (rawSet) {
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL;
    rawSet = tcsetattr(slave, TCSANOW, &raw) == 0;
  }
  ::close(slave);
  if (!rawSet) return fail(failure("raw mode on " + slavePath_));
  std::string watchError;
  if (!holders_.watch(slavePath_, master_, &watchError)) return fail(watchError);
  if (!options_.linkPath.empty()) {
    struct stat existing {};
    if (lstat(options_.linkPath.c_str(), &existing) == 0) {
      if (!S_ISLNK(existing.st_mode)) return fail(options_.linkPath + " exists and is not a symlink; not replacing it");
      if (unlink(options_.linkPath.c_str()) != 0) return fail(failure("removing the stale " + options_.linkPath));
    }
    if (symlink(slavePath_.c_str(), options_.linkPath.c_str()) != 0)
      return fail(failure("symlink " + options_.linkPath));
    linked_ = true;
  }
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return fail(failure("pipe2"));
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
  if (options_.verbosity >= 2)
    std::fprintf(stderr, "tzcom: %s on the pty %s%s%s\n", options_.portName.c_str(), slavePath_.c_str(),
                 linked_ ? " via " : "", linked_ ? options_.linkPath.c_str() : "");
  return true;
}

void PtyBridge::stop() {
  if (thread_.joinable()) {
    stopping_ = true;
    char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
    thread_.join();
  }
  closeAll();
}

void PtyBridge::closeAll() {
  if (linked_) {
    // Remove the link only while it is still ours.
    char target[256];
    ssize_t n = readlink(options_.linkPath.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string(target, size_t(n)) == slavePath_) unlink(options_.linkPath.c_str());
    linked_ = false;
  }
  holders_.close();
  for (int* fd : {&master_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

// Sleeps until stop(), an open or close of the slave, bytes written to the
// slave (withMaster) or timeoutMs (-1: no limit). A hung-up master polls
// readable at once, so withMaster only while the slave is held.
void PtyBridge::waitForNews(int timeoutMs, bool withMaster) {
  pollfd fds[3] = {{wake_[0], POLLIN, 0}, {holders_.fd(), POLLIN, 0}, {master_, POLLIN, 0}};
  poll(fds, withMaster ? 3 : 2, timeoutMs);
  holders_.count();  // takes the news in, so that the next wait sleeps
}

// Some program holds the slave, or has written to it and gone already.
bool PtyBridge::portWanted() {
  short events = masterEvents(master_);
  return !(events & POLLHUP) || (events & POLLIN);
}

void PtyBridge::discardInput() {
  uint8_t buffer[chunk];
  while (::read(master_, buffer, sizeof buffer) > 0) {
  }
}

// What the port sent that no program read must not reach the next program
// to open the slave, as a port's queues are purged when it closes. Only the
// slave side can flush that queue; opening it briefly is harmless (the
// holders' count sees it come and go).
void PtyBridge::flushSlaveInput() {
  int slave = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) return;
  tcflush(slave, TCIFLUSH);
  ::close(slave);
}

void PtyBridge::run() {
  bool waitingLogged = false;
  Clock::time_point retryAt{};
  while (!stopping_) {
    if (!portWanted()) {
      waitForNews(-1, false);  // the next open of the slave wakes the bridge
      continue;
    }
    if (Clock::now() < retryAt) {
      discardInput();
      waitForNews(msUntil(retryAt), true);
      continue;
    }
    // The session serves the programs holding the slave now and those that
    // join them, until the last of them closes it.
    const uint64_t departures = holders_.count().departures;
    auto delivering = [this, departures] { return holders_.count().departures == departures; };
    comm::DWORD error = 0;
    std::unique_ptr<PtySession> session =
        PtySession::open(options_.portName, master_, delivering, options_.verbosity, &error);
    if (!session) {
      if (options_.verbosity >= 1 && !waitingLogged) {
        if (error == comm::ERROR_ACCESS_DENIED)
          std::fprintf(stderr, "tzcom: %s is in use; the pty waits (what is written to it meanwhile is discarded)\n",
                       options_.portName.c_str());
        else
          std::fprintf(stderr, "tzcom: %s cannot be opened (error %u); the pty waits (what is written to it "
                       "meanwhile is discarded)\n", options_.portName.c_str(), unsigned(error));
      }
      waitingLogged = true;
      discardInput();
      retryAt = Clock::now() + busyRetry;
      continue;
    }
    if (options_.verbosity >= 2 || (options_.verbosity >= 1 && waitingLogged))
      std::fprintf(stderr, "tzcom: %s is open for the pty\n", options_.portName.c_str());
    waitingLogged = false;
    serve(*session, departures);
    // Flushed before the port closes, so that the next client to find the
    // port free finds the slave's queue empty too.
    session->stopReceiving();
    if (!stopping_) flushSlaveInput();
    session.reset();
    if (options_.verbosity >= 2)
      std::fprintf(stderr, "tzcom: %s is closed; the pty is free\n", options_.portName.c_str());
  }
}

// Moves what the slave writes to the port until the last program closes the
// slave (or the bridge stops); the session's own thread moves the other way.
void PtyBridge::serve(PtySession& session, uint64_t departures) {
  uint8_t buffer[chunk];
  // A write the port holds back (flow control) is given up when the bridge
  // stops, when the next program has opened the slave, or a while after the
  // session's programs have gone.
  Clock::time_point goneSince{};
  auto keepGoing = [&] {
    if (stopping_) return false;
    SlaveHolders::Count now = holders_.count();
    const bool left = now.departures != departures;
    if (now.holders > 0) {
      goneSince = {};
      return !left;
    }
    if (goneSince == Clock::time_point{}) goneSince = Clock::now();
    return Clock::now() - goneSince < abandonAfter;
  };
  auto lineCheck = Clock::now();
  while (!stopping_) {
    if (Clock::now() >= lineCheck) {
      session.followLine();
      lineCheck = Clock::now() + std::chrono::milliseconds(lineCheckMs);
    }
    pollfd fds[3] = {{wake_[0], POLLIN, 0}, {holders_.fd(), POLLIN, 0}, {master_, POLLIN, 0}};
    poll(fds, 3, lineCheckMs);
    SlaveHolders::Count now = holders_.count();
    const bool left = now.departures != departures;
    // Once the next program has opened the slave, what waits in the master
    // may be its own: it goes out in that program's session. With nobody
    // there, it is what the programs that left wrote last, and goes out here.
    if (left && now.holders > 0) return;
    ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0) {
      // Settings made before a write apply to what it writes.
      session.followLine();
      session.write(buffer, size_t(n), keepGoing);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && !left) continue;
    return;  // EIO: hung up with nothing left to read; or the programs left and what they wrote went out
  }
}

}  // namespace tzcom
