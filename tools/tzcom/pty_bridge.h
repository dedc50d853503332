// The pty bridge: a pseudo-terminal whose slave stands for a COM port, so that
// any POSIX program (screen, minicom, pyserial) can use the simulated port.
//
//   tzcom::PtyBridge pty({.portName = "COM5", .linkPath = "/tmp/tzcom-COM5"});
//   if (!pty.start(&error)) ...;   // /tmp/tzcom-COM5 -> /dev/pts/N
//   ...
//   pty.stop();                    // also done by the destructor
//
// The port is exclusive and the RFC 2217 server may want it too, so the bridge
// holds it only while some program holds the slave open: it opens the port
// when the first one opens the slave and closes it (DTR drops) when the last
// one closes it, even if the next program has already opened the slave again
// (which then gets the port afresh). While the port is open, bytes written to
// the slave go to the port and bytes the port receives come out of the slave,
// none lost either way; what the port receives after the last program has
// closed the slave is dropped, as a closed port drops it. The slave's line
// settings (speed, data bits, parity, stop bits, CRTSCTS) are applied to the
// port as the program changes them. While another client has the port, the
// bridge retries and discards what is written to the slave meanwhile.
#pragma once

#include "tools/tzcom/pty_holders.h"

#include <atomic>
#include <string>
#include <thread>

namespace tzcom {

class PtySession;

struct PtyOptions {
  std::string portName = "COM5";
  std::string linkPath;  // symlink to the slave, e.g. /tmp/tzcom-COM5; empty: none
  int verbosity = 1;     // 0 quiet, 1 normal, 2 verbose
};

class PtyBridge {
 public:
  explicit PtyBridge(PtyOptions options);
  ~PtyBridge();
  PtyBridge(const PtyBridge&) = delete;
  PtyBridge& operator=(const PtyBridge&) = delete;

  // Creates the pseudo-terminal (raw mode), the symlink (replacing a stale
  // symlink, never a file that is not one) and the bridge's thread. On
  // failure nothing is left behind and error says why.
  bool start(std::string* error);
  std::string slavePath() const { return slavePath_; }
  // Closes the port, removes the symlink and the pseudo-terminal, and joins
  // the thread; a program still holding the slave sees a hangup. Idempotent.
  void stop();

 private:
  void run();
  void serve(PtySession& session, uint64_t departures);
  bool portWanted();
  void waitForNews(int timeoutMs, bool withMaster);
  void discardInput();
  void flushSlaveInput();
  void closeAll();

  PtyOptions options_;
  std::string slavePath_;
  int master_ = -1;
  int wake_[2] = {-1, -1};  // stop() writes to wake_[1]
  SlaveHolders holders_;
  bool linked_ = false;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace tzcom
