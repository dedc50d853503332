// Host program: progress lines on stderr, each with its scope's prefix
// ("tzcom: rfc2217: COM5: "), shown when the run's verbosity reaches the
// line's level (0 quiet, 1 default, 2 verbose).
#pragma once

#include <string>

namespace tzcom {

class Logger {
 public:
  Logger(std::string prefix, int verbosity) : prefix_(std::move(prefix)), verbosity_(verbosity) {}

  bool enabled(int level) const { return verbosity_ >= level; }
  // One line, written whole so that lines of different threads do not mix.
  void operator()(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));

 private:
  std::string prefix_;
  int verbosity_;
};

}  // namespace tzcom
