// tzcom's command line.
#pragma once

#include "tools/tzcom/diagnostic_report.h"
#include "tools/tzcom/host.h"

#include <cstdint>
#include <string>

namespace tzcom {

struct CommandLine {
  HostOptions host;
  std::string bindAddress = "127.0.0.1";
  uint16_t rfc2217Port = 7000;  // COM5's; COM6 (null-modem) gets the next one
  std::string ptyLink;          // empty: no pty
  bool report = false;          // the diagnostic report instead of serving
  ReportOptions reportOptions;
  bool help = false;
  bool version = false;  // --version: print TZ_VERSION and stop
};

// Parses argv; on a bad option returns false with error set.
bool parseCommandLine(int argc, char** argv, CommandLine& line, std::string* error);
void printHelp();
// The pty link of a port: link itself for COM5; for another port, link with
// "COM5" replaced by its name, or with "-<name>" appended.
std::string ptyLinkFor(const std::string& link, const std::string& portName);

}  // namespace tzcom
