// One stretch of the pty bridge with the port open: from the first program
// opening the slave to the last one closing it. The session owns the port
// handle and a thread that moves what the port receives to the master; the
// bridge's thread moves what the slave writes to the port with write().
#pragma once

#include "tools/comm/comm.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <termios.h>
#include <thread>

namespace tzcom {

class PtySession {
 public:
  // Asked before each write to the master: false once the programs the
  // session serves have left, and what the port receives is dropped.
  using Delivering = std::function<bool()>;

  // Opens the port (overlapped), sets short read timeouts and the slave's
  // line settings and starts the receiving thread. Null on failure, with the
  // comm API's error in *error.
  static std::unique_ptr<PtySession> open(const std::string& portName, int master, Delivering delivering,
                                          int verbosity, comm::DWORD* error);
  ~PtySession();  // stops the receiving thread and closes the port
  // Stops moving bytes to the master: cancels the read the receiving thread
  // waits on and joins it. Not while write() runs: the cancel takes every
  // request of the port.
  void stopReceiving();
  PtySession(const PtySession&) = delete;
  PtySession& operator=(const PtySession&) = delete;

  // Writes all of data to the port. keepGoing is asked while the port holds
  // the write back (flow control); false cancels it. Returns whether every
  // byte went out.
  bool write(const uint8_t* data, size_t length, const std::function<bool()>& keepGoing);
  // Applies the slave's line settings to the port when they have changed.
  void followLine();

 private:
  PtySession(HANDLE port, std::string portName, int master, Delivering delivering, int verbosity);
  void receive();
  void toMaster(const uint8_t* data, size_t length);

  HANDLE port_;
  std::string portName_;
  int master_;
  Delivering delivering_;
  int verbosity_;
  termios line_{};
  bool haveLine_ = false;
  bool refusedLogged_ = false;
  std::atomic<bool> stopping_{false};
  std::thread receiver_;
};

}  // namespace tzcom
