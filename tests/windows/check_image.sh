#!/usr/bin/env bash
# Tests: checks the Windows image tzserial.sys: PE32+, native subsystem, entry
# point at DriverEntry, imports only from the kernel, HAL, USBD and WMILIB, and
# the two diagnostic routines exported by their plain names.
set -euo pipefail
image=$1
objdump=x86_64-w64-mingw32-objdump
headers=$($objdump -p "$image")
fail() { echo "FAIL: $*"; exit 1; }

grep -qE '^Magic[[:space:]]+020b' <<<"$headers" || fail "not PE32+"
grep -qE '^Subsystem[[:space:]]+00000001' <<<"$headers" || fail "subsystem is not native"

entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")
base=$(awk '/^ImageBase/ {print $2}' <<<"$headers")
driver_entry=$(x86_64-w64-mingw32-nm "$image" | awk '$3 == "DriverEntry" {print $1}')
[ -n "$driver_entry" ] || fail "no DriverEntry symbol"
[ $((16#$entry + 16#$base)) -eq $((16#$driver_entry)) ] || fail "entry point is not DriverEntry"

dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers" | sort -u)
[ -n "$dlls" ] || fail "no imports"
for dll in $dlls; do
  case "$dll" in
    ntoskrnl.exe|hal.dll|usbd.sys|wmilib.sys) ;;
    *) fail "imports from $dll" ;;
  esac
done
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && /\[ *[0-9]+\]/ {print $3} on && !/\[/ {on = 0}' <<<"$headers")
for name in GetDriverObject MakeHextoString; do
  grep -qx "$name" <<<"$exports" || fail "does not export $name by name"
done
echo "ok: PE32+, native, entry DriverEntry, imports: $(echo $dlls), exports: $(echo $exports)"
