#include "tools/tzcom/host_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tzcom {

namespace {

bool number(const char* text, unsigned long max, unsigned long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text, &end, 0);
  return *text && !*end && errno == 0 && value <= max;
}

}  // namespace

bool parseCommandLine(int argc, char** argv, CommandLine& line, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char*& v) {
      if (i + 1 >= argc) {
        *error = a + " needs a value";
        return false;
      }
      v = argv[++i];
      return true;
    };
    const char* v = nullptr;
    unsigned long n = 0;
    if (a == "--help" || a == "-h") {
      line.help = true;
    } else if (a == "--version") {
      line.version = true;
    } else if (a == "--quiet" || a == "-q") {
      line.host.verbosity = 0;
    } else if (a == "--verbose" || a == "-v") {
      line.host.verbosity = 2;
    } else if (a == "--rfc2217-port") {
      if (!value(v)) return false;
      if (!number(v, 65534, n)) {
        *error = "--rfc2217-port: not a TCP port: " + std::string(v);
        return false;
      }
      line.rfc2217Port = uint16_t(n);
    } else if (a == "--bind") {
      if (!value(v)) return false;
      line.bindAddress = v;
    } else if (a == "--pty") {
      if (!value(v)) return false;
      line.ptyLink = v;
    } else if (a == "--adapter") {
      if (!value(v)) return false;
      if (std::strcmp(v, "loopback") == 0) {
        line.host.adapter = AdapterKind::Loopback;
      } else if (std::strcmp(v, "null-modem") == 0) {
        line.host.adapter = AdapterKind::NullModem;
      } else {
        *error = "--adapter: loopback or null-modem, not " + std::string(v);
        return false;
      }
    } else if (a == "--pcap") {
      if (!value(v)) return false;
      line.host.pcapPath = v;
    } else if (a == "--report") {
      line.report = true;
    } else if (a == "--static-setting") {
      if (!value(v)) return false;
      if (!number(v, 0xFFFFFFFF, n)) {
        *error = "--static-setting: not a number: " + std::string(v);
        return false;
      }
      line.reportOptions.hasStaticSetting = true;
      line.reportOptions.staticSetting = uint32_t(n);
    } else if (a == "--wdm") {
      if (!value(v)) return false;
      if (std::sscanf(v, "%d.%x", &line.reportOptions.wdmMajor, &line.reportOptions.wdmMinor) != 2) {
        *error = "--wdm: MAJOR.MINOR (hex minor), not " + std::string(v);
        return false;
      }
    } else {
      *error = "unknown option " + a;
      return false;
    }
  }
  return true;
}

void printHelp() {
  std::printf(
      "usage: tzcom [options]\n"
      "\n"
      "Runs the tzserial driver on the simulated kernel in real time with a simulated\n"
      "USB CDC-ACM adapter plugged in as COM5, and serves the port until SIGINT or\n"
      "SIGTERM, then removes the adapter, unloads the driver, checks that nothing\n"
      "leaked and prints the port's statistics.\n"
      "\n"
      "  --rfc2217-port N   serve COM5 over RFC 2217 on TCP port N (default 7000;\n"
      "                     0: any free port); with null-modem, COM6 is on N+1\n"
      "  --bind ADDR        the loopback address to listen on (default 127.0.0.1;\n"
      "                     only 127.0.0.0/8 is accepted)\n"
      "  --pty LINK         also serve the port on a pseudo-terminal, LINK being the\n"
      "                     symlink to create (default: no pty), e.g. /tmp/tzcom-COM5;\n"
      "                     with null-modem, COM6 gets LINK with COM5 replaced by COM6\n"
      "                     (or LINK-COM6)\n"
      "  --adapter KIND     what is on the far side (default loopback):\n"
      "                       loopback    one adapter, COM5: TX -> RX, DTR -> DSR and DCD\n"
      "                       null-modem  two adapters, COM5 and COM6, cross-wired:\n"
      "                                   TX -> RX and DTR -> DSR/DCD, both ways\n"
      "                     CDC-ACM cannot report CTS: the driver derives CTS from DSR,\n"
      "                     so CTS follows the far side's DTR too.\n"
      "  --pcap FILE        write a USB trace of every URB from enumeration on\n"
      "                     (pcap, Linux usbmon link type 220; tshark -r FILE)\n"
      "  --quiet, -q        errors only\n"
      "  --verbose, -v      also each client's settings and every connection\n"
      "  --report           instead of serving: one deterministic run of the driver's\n"
      "                     whole life (load, start, open, round trip, close, removal,\n"
      "                     unload), reported step by step\n"
      "  --static-setting N with --report: STATIC_SETTING in the service key (default unset)\n"
      "  --wdm MAJOR.MINOR  with --report: the WDM version the kernel reports (default 6.30)\n"
      "  --version          the version (the driver package's, which tzcom ships with)\n"
      "  --help, -h         this text\n"
      "\n"
      "A port is exclusive: one RFC 2217 client or one program on the pty at a time.\n"
      "  python3 -m serial.tools.miniterm rfc2217://127.0.0.1:7000\n");
}

std::string ptyLinkFor(const std::string& link, const std::string& portName) {
  if (portName == "COM5") return link;
  size_t at = link.rfind("COM5");
  if (at == std::string::npos) return link + "-" + portName;
  return link.substr(0, at) + portName + link.substr(at + 4);
}

}  // namespace tzcom
