// Tool: tzcom, the host program. Serves the tzserial driver's port, running on
// the simulated kernel in real time, to programs that speak RFC 2217 or use a
// pseudo-terminal, until SIGINT or SIGTERM. tzcom --help lists the options.
#include "tools/tzcom/host.h"
#include "tools/tzcom/host_options.h"
#include "tools/tzcom/pty_bridge.h"
#include "tools/tzcom/rfc2217_server.h"
#include "tools/tzcom/stop_signal.h"

#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

using namespace tzcom;

int serve(const CommandLine& line) {
  const int verbosity = line.host.verbosity;
  Host host;
  std::string error;
  if (!host.start(line.host, &error)) {
    std::fprintf(stderr, "tzcom: %s\n", error.c_str());
    return 1;
  }
  std::vector<std::unique_ptr<Rfc2217Server>> servers;
  std::vector<std::unique_ptr<PtyBridge>> ptys;
  bool serving = true;
  uint16_t tcpPort = line.rfc2217Port;
  for (const HostPort& port : host.ports()) {
    auto server = std::make_unique<Rfc2217Server>(Rfc2217Options{
        .portName = port.name, .bindAddress = line.bindAddress, .tcpPort = tcpPort, .verbosity = verbosity});
    if (!server->start(&error)) {
      std::fprintf(stderr, "tzcom: %s: %s\n", port.name.c_str(), error.c_str());
      serving = false;
      break;
    }
    std::printf("%s: rfc2217://%s:%u  (python3 -m serial.tools.miniterm rfc2217://%s:%u)\n", port.name.c_str(),
                line.bindAddress.c_str(), server->tcpPort(), line.bindAddress.c_str(), server->tcpPort());
    if (tcpPort) ++tcpPort;
    servers.push_back(std::move(server));
    if (!line.ptyLink.empty()) {
      auto pty = std::make_unique<PtyBridge>(
          PtyOptions{.portName = port.name, .linkPath = ptyLinkFor(line.ptyLink, port.name), .verbosity = verbosity});
      if (!pty->start(&error)) {
        std::fprintf(stderr, "tzcom: %s: %s\n", port.name.c_str(), error.c_str());
        serving = false;
        break;
      }
      std::printf("%s: pty %s -> %s  (picocom %s)\n", port.name.c_str(), ptyLinkFor(line.ptyLink, port.name).c_str(),
                  pty->slavePath().c_str(), ptyLinkFor(line.ptyLink, port.name).c_str());
      ptys.push_back(std::move(pty));
    }
  }
  if (!line.host.pcapPath.empty()) std::printf("USB trace: %s  (tshark -r %s)\n", line.host.pcapPath.c_str(), line.host.pcapPath.c_str());
  std::fflush(stdout);
  if (serving) {
    if (verbosity > 0) std::fprintf(stderr, "tzcom: serving; stop with Ctrl-C\n");
    int signal = waitForStopSignal();
    if (verbosity > 0) std::fprintf(stderr, "tzcom: %s: stopping\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
  }
  // Clients first (their handles close, DTR drops), then the adapters.
  for (auto& pty : ptys) pty->stop();
  for (auto& server : servers) server->stop();
  std::string report;
  bool clean = host.stop(&report);
  if (verbosity > 0 || !clean) std::fprintf(stderr, "%s", report.c_str());
  return serving && clean ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  std::string error;
  if (!parseCommandLine(argc, argv, line, &error)) {
    std::fprintf(stderr, "tzcom: %s (tzcom --help lists the options)\n", error.c_str());
    return 2;
  }
  if (line.help) {
    printHelp();
    return 0;
  }
  if (line.version) {
    // The driver package's version (project(VERSION) in CMakeLists.txt).
    std::printf("tzcom %s\n", TZ_VERSION);
    return 0;
  }
  if (line.report) return runDiagnosticReport(line.reportOptions);
  // Before any thread starts, so that only waitForStopSignal sees them.
  blockStopSignals();
  return serve(line);
}
