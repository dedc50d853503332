#!/usr/bin/env bash
# Tests: installs the driver package into a fresh Wine prefix through Wine's
# own setupapi (an installer that shares no code with ours), with
# wine_install.exe, and checks what the install created: the device's class,
# the service's type, start, error control and image path (and that the image
# is where the path says), and STATIC_SETTING under the service's Parameters
# key. Wine's kernel cannot run the driver's data path, so the check stops at
# the install. Wine 8 has no DIRID 13: the image lands in system32\unknown.
# usage: wine_install.sh PACKAGE_DIR wine_install.exe
set -euo pipefail
pkg=$(cd "$1" && pwd) exe=$2
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || { echo "skipped: no $wine (Debian's wine64)"; exit 77; }

export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d /tmp/tzserial-wine.XXXXXX)
cleanup() {
  /usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

start=$(date +%s.%N)
timeout 180 "$wine" wineboot -i >/dev/null 2>&1
booted=$(date +%s.%N)
report=$(timeout 120 "$wine" "$exe" "Z:${pkg//\//\\}\\tzserial.inf" | tr -d '\r')
installed=$(date +%s.%N)

fail() { echo "FAIL: $*"; echo "$report"; exit 1; }
expect() { grep -qxF -- "$1" <<<"$report" || fail "expected '$1'"; }
expect "device.class Modem"
expect "device.classguid {4D36E96D-E325-11CE-BFC1-08002BE10318}"
expect "device.service tzserial"
expect "driver.PortSubClass 02"
expect "service.Type 1"
expect "service.Start 3"
expect "service.ErrorControl 1"
expect "parameters.STATIC_SETTING 0"
image=$(awk '$1 == "service.ImagePath" {print $2}' <<<"$report")
[[ "$image" == *'\tzserial.sys' ]] || fail "ImagePath $image"
unix=$WINEPREFIX/drive_c/$(sed 's/^[Cc]:\\//; s/\\/\//g' <<<"$image")
cmp -s "$unix" "$pkg/tzserial.sys" || fail "$image is not the package's image"
awk -v image="$image" -v a="$start" -v b="$booted" -v c="$installed" \
  'BEGIN {printf "ok: installed as %s; prefix %.1f s, install %.1f s\n", image, b - a, c - b}'
