// tzcom --report: one deterministic run of the driver's whole life, reported
// step by step on stdout.
#pragma once

#include <cstdint>

namespace tzcom {

struct ReportOptions {
  bool hasStaticSetting = false;
  uint32_t staticSetting = 0;  // STATIC_SETTING in the service key
  int wdmMajor = 6, wdmMinor = 0x30;
};

// Returns the process exit code: 0 when the round trip matched and the
// adapter left cleanly.
int runDiagnosticReport(const ReportOptions& options);

}  // namespace tzcom
