#!/usr/bin/env bash
# Tests: static analysis of the driver, as the platform's certification asks
# of every driver. clang-tidy runs the clang static analyzer (its
# clang-analyzer-* checks are the engine clang --analyze runs, path-sensitive:
# null dereferences, garbage values, leaks, dead stores) and its own
# bug-finding checks (bugprone-*) over every driver source, with the Windows
# build's flags from its compile_commands.json. Any finding fails. A finding
# that is wrong is suppressed where it stands (NOLINTNEXTLINE) with a comment
# saying why. Left out as not bug-finding: bugprone-easily-swappable-parameters
# (flags every routine that takes two strings or two counts) and
# clang-analyzer-optin.performance.Padding (the records keep the platform's and
# the design's field order).
# usage: driver_analysis.sh WINDOWS_BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$(cd "$2" && pwd)
checks='-*,clang-analyzer-*,bugprone-*,-bugprone-easily-swappable-parameters,-clang-analyzer-optin.performance.Padding'
cd "$src"
files=$(ls driver/*/*.cpp)
report=$(xargs -P2 -n8 clang-tidy -p "$build" --quiet --header-filter="$src/driver/" --checks="$checks" <<<"$files" 2>&1 |
  grep -v -E '^[0-9]+ warnings? generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter' || true)
findings=$(grep -cE ': (warning|error): ' <<<"$report" || true)
if [ "$findings" != 0 ]; then
  echo "$report"
  echo "FAIL: $findings findings"
  exit 1
fi
echo "ok: $(wc -l <<<"$files") driver sources, no findings"
