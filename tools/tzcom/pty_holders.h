// Who holds the pty bridge's slave (host program side): counts the opens and
// closes the kernel reports for the slave's device node (inotify), so that a
// program leaving is seen even when the next one opens the slave before the
// bridge looks, and so that an open wakes the bridge at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace tzcom {

class SlaveHolders {
 public:
  struct Count {
    int holders = 0;          // open files on the slave (a dup or fork shares one)
    uint64_t departures = 0;  // how many times the last holder has closed it
  };

  SlaveHolders() = default;
  ~SlaveHolders() { close(); }
  SlaveHolders(const SlaveHolders&) = delete;
  SlaveHolders& operator=(const SlaveHolders&) = delete;

  // Starts counting the opens of slavePath from now on; master is the pair's
  // master, which tells after lost events whether anyone still holds the
  // slave. False with error set when the kernel refuses the watch.
  bool watch(const std::string& slavePath, int master, std::string* error);
  // Stops counting. Idempotent.
  void close();
  // Readable when the kernel has reported something count() has not read.
  int fd() const { return fd_; }
  // Reads what the kernel has reported and returns the count. Any thread.
  Count count();

 private:
  std::mutex mutex_;
  int fd_ = -1;
  int slaveWatch_ = -1;
  int master_ = -1;
  Count count_;
};

}  // namespace tzcom
