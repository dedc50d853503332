// Benchmarks: splits a callgrind profile's instructions by whose code ran
// them: the driver's (functions with code from driver/ sources, inlined
// platform macros included, as they would be on Windows), the copies
// (memcpy and memmove, whoever called them) and the rest: the simulated
// kernel, its bus and the C++ runtime. Each function's own cost is counted
// (not inclusive), so a kernel call the driver makes counts for the kernel.
#include "bench.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <unordered_map>

namespace tzbench {

namespace {

// "fl=(12) /path" defines id 12; "fl=(12)" refers to it. Returns the name.
std::string named(std::unordered_map<std::string, std::string>& names, const std::string& value) {
  size_t close = value.find(')');
  if (value.empty() || value[0] != '(' || close == std::string::npos) return value;
  std::string id = value.substr(0, close + 1);
  if (close + 2 <= value.size()) names[id] = value.substr(close + 2);
  return names[id];
}

enum class Owner { Kernel, Driver, Copy };

}  // namespace

bool splitInstructions(const std::string& profilePath, InstructionSplit& split) {
  std::ifstream in(profilePath);
  if (!in) return false;
  std::unordered_map<std::string, std::string> files, functions;
  struct Function {
    uint64_t self = 0;
    bool driverCode = false;
  };
  std::unordered_map<std::string, Function> costs;
  Function* current = nullptr;
  bool callCost = false;
  bool functionFileIsDriver = false;  // the line after calls= is the call's inclusive cost
  std::string line;
  while (std::getline(in, line)) {
    auto is = [&](const char* key) { return line.rfind(key, 0) == 0; };
    if (is("fl=") || is("fi=") || is("fe=")) {
      // fl= comes before the fn= it belongs to; fi= and fe= within one.
      bool driverFile = named(files, line.substr(3)).find("/driver/") != std::string::npos;
      if (is("fl=")) functionFileIsDriver = driverFile;
      else if (current && driverFile) current->driverCode = true;
      continue;
    }
    if (is("fn=")) {
      current = &costs[named(functions, line.substr(3))];
      if (functionFileIsDriver) current->driverCode = true;
      continue;
    }
    if (is("cfn=")) named(functions, line.substr(4));
    if (is("cfl=") || is("cfi=")) named(files, line.substr(4));
    if (is("calls=")) {
      callCost = true;
      continue;
    }
    bool costLine = !line.empty() && (std::isdigit(static_cast<unsigned char>(line[0])) || line[0] == '+' ||
                                      line[0] == '-' || line[0] == '*');
    if (!costLine) continue;
    if (callCost) {
      callCost = false;
      continue;
    }
    size_t space = line.find(' ');
    if (current && space != std::string::npos) current->self += std::strtoull(line.c_str() + space + 1, nullptr, 10);
  }
  split = {};
  for (const auto& [name, f] : costs) {
    // A function's fl= may name an inlined header its first line came
    // from: the driver's code is known by any of its lines.
    bool copy = name.find("memcpy") != std::string::npos || name.find("memmove") != std::string::npos;
    Owner owner = copy ? Owner::Copy : f.driverCode ? Owner::Driver : Owner::Kernel;
    (owner == Owner::Copy ? split.copies : owner == Owner::Driver ? split.driver : split.kernel) += f.self;
  }
  return split.driver + split.copies + split.kernel > 0;
}

}  // namespace tzbench
