// The host program runs until SIGINT or SIGTERM.
#pragma once

namespace tzcom {

// Blocks SIGINT and SIGTERM in the calling thread and every thread it starts
// afterwards; call first thing in main().
void blockStopSignals();
// Waits for SIGINT or SIGTERM; returns its number.
int waitForStopSignal();

}  // namespace tzcom
