#include "tools/tzcom/stop_signal.h"

#include <csignal>
#include <pthread.h>

namespace tzcom {

namespace {
sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}
}  // namespace

void blockStopSignals() {
  sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A client that goes away mid-send must not kill the server.
  std::signal(SIGPIPE, SIG_IGN);
}

int waitForStopSignal() {
  sigset_t set = stopSignals();
  int signal = 0;
  while (sigwait(&set, &signal) != 0) {
  }
  return signal;
}

}  // namespace tzcom
