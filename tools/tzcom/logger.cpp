// Host program: the progress logger.
#include "tools/tzcom/logger.h"

#include <cstdarg>
#include <cstdio>

namespace tzcom {

void Logger::operator()(int level, const char* format, ...) const {
  if (!enabled(level)) return;
  char text[512];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::fprintf(stderr, "%s%s\n", prefix_.c_str(), text);
}

}  // namespace tzcom
