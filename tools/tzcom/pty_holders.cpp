// Counting the pty slave's holders from the kernel's open and close events.
#include "tools/tzcom/pty_holders.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace tzcom {

bool SlaveHolders::watch(const std::string& slavePath, int master, std::string* error) {
  close();
  // The kernel merges an event with an identical one still unread, so two
  // opens in a row would count as one. A second watch, on the directory,
  // queues an event of its own beside each of the slave's, so no two of the
  // slave's are ever adjacent and none is merged (its events, and those of
  // the other terminals there, are not counted).
  const std::string directory = slavePath.substr(0, slavePath.rfind('/'));
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0 || (slaveWatch_ = inotify_add_watch(fd_, slavePath.c_str(), IN_OPEN | IN_CLOSE)) < 0 ||
      inotify_add_watch(fd_, directory.c_str(), IN_OPEN | IN_CLOSE) < 0) {
    if (error) *error = "watching " + slavePath + ": " + std::strerror(errno);
    close();
    return false;
  }
  master_ = master;
  count_ = {};
  return true;
}

void SlaveHolders::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

SlaveHolders::Count SlaveHolders::count() {
  std::lock_guard lock(mutex_);
  alignas(inotify_event) char events[4096];
  ssize_t n;
  while (fd_ >= 0 && (n = ::read(fd_, events, sizeof events)) > 0) {
    for (char* at = events; at < events + n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      at += sizeof(inotify_event) + event->len;
      const bool slave = event->wd == slaveWatch_;
      if (slave && (event->mask & IN_OPEN)) ++count_.holders;
      if (slave && (event->mask & IN_CLOSE)) {
        if (count_.holders > 0) --count_.holders;
        if (count_.holders == 0) ++count_.departures;
      }
      if (event->mask & IN_Q_OVERFLOW) {
        // Events were lost: take whoever held the slave as gone, and count
        // one holder if the master says the slave is still open.
        ++count_.departures;
        pollfd fd{master_, POLLIN, 0};
        count_.holders = (poll(&fd, 1, 0) > 0 && (fd.revents & POLLHUP)) ? 0 : 1;
      }
    }
  }
  return count_;
}

}  // namespace tzcom
