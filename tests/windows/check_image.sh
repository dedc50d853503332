#!/usr/bin/env bash
# Tests: checks a built tzserial.sys flavour. DIR holds the shipped image
# (stripped), its PDB and link/tzserial.sys (the same link with its symbol
# table). Checked: PE32+, native, WDM driver, NX and relocatable, a valid
# checksum, no COFF symbols and an even length, no section both writable and
# executable, a CodeView entry naming the PDB beside it with its GUID, unwind
# data for every function, the stack guard's entry and failure routines,
# the version resource's values, imports only from the kernel, HAL, USBD and
# WMILIB, and the two diagnostic routines exported by their plain names.
# A signed image is checked the same way, with the linked image given apart.
# usage: check_image.sh DIR VERSION release|checked [LINKED_IMAGE]
set -euo pipefail
dir=$1 version=$2 flavour=$3
image=$dir/tzserial.sys linked=${4:-$dir/link/tzserial.sys}
here=$(dirname "$0")
objdump=x86_64-w64-mingw32-objdump
fail() { echo "FAIL ($flavour): $*"; exit 1; }

facts=$(python3 "$here/../../tools/package/peimage.py" describe "$image")
fact() { awk -v k="$1" '$1 == k {print $2}' <<<"$facts"; }
headers=$($objdump -p "$image")
grep -qE '^Magic[[:space:]]+020b' <<<"$headers" || fail "not PE32+"
grep -qE '^Subsystem[[:space:]]+00000001' <<<"$headers" || fail "subsystem is not native"

# DllCharacteristics: WDM_DRIVER 0x2000, NX_COMPAT 0x100, DYNAMIC_BASE 0x40.
chars=$(fact dll-characteristics)
for bit in 0x2000 0x100 0x40; do
  (( chars & bit )) || fail "DllCharacteristics $chars lacks $bit"
done
[ "$(fact checksum-stored)" = "$(fact checksum-computed)" ] ||
  fail "checksum $(fact checksum-stored), the image sums to $(fact checksum-computed)"
[ "$(fact coff-symbols)" = 0 ] || fail "the COFF symbol table was not stripped"
(( $(fact length) % 2 == 0 )) || fail "odd file length $(fact length)"
wx=$(awk '$1 == "section" && $5 == "wx" {print $2}' <<<"$facts")
[ -z "$wx" ] || fail "sections both writable and executable: $wx"

# The debug directory names the PDB that lies beside the image.
read -r _ guid age pdbname <<<"$(grep '^codeview' <<<"$facts")" || fail "no CodeView debug entry"
[ "$pdbname" = tzserial.pdb ] || fail "the debug entry names $pdbname"
[ "$(python3 "$here/../../tools/package/peimage.py" pdb "$dir/tzserial.pdb")" = "pdb $guid $age" ] ||
  fail "tzserial.pdb is not the image's (GUID $guid, age $age)"

# The stripped image is the linked one less its symbols: same code.
text() { x86_64-w64-mingw32-objcopy -O binary -j .text "$1" /dev/stdout; }
cmp -s <(text "$image") <(text "$linked") || fail "link/tzserial.sys is not the image's code"
symbols=$(x86_64-w64-mingw32-nm "$linked")

entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")
base=$(awk '/^ImageBase/ {print $2}' <<<"$headers")
driver_entry=$(awk '$3 == "DriverEntry" {print $1}' <<<"$symbols")
[ -n "$driver_entry" ] || fail "no DriverEntry symbol"
[ $((16#$entry + 16#$base)) -eq $((16#$driver_entry)) ] || fail "entry point is not DriverEntry"

# Unwind data: every function the driver's objects define has an exception
# directory entry. Not functions: section symbols, import thunks (a jump
# through __imp_NAME, no frame) and the constructor-list markers.
uncovered=$(python3 - "$base" <(awk '$1 == "function" {print $2, $3}' <<<"$facts") <<<"$symbols" <<'PY'
import sys
base = int(sys.argv[1], 16)
ranges = sorted(tuple(int(x, 16) for x in line.split()) for line in open(sys.argv[2]))
symbols = [line.split() for line in sys.stdin if len(line.split()) == 3]
imported = {name[len("__imp_"):] for _, _, name in symbols if name.startswith("__imp_")}
for address, kind, name in symbols:
    if kind not in "tT" or name.startswith(".") or name in imported or name.lstrip("_") in ("CTOR_LIST__", "DTOR_LIST__"):
        continue
    rva = int(address, 16) - base
    if not any(begin <= rva < end for begin, end in ranges):
        print(name)
PY
)
[ -z "$uncovered" ] || fail "functions without unwind data: $(echo $uncovered)"
unwind_entries=$(grep -c '^function' <<<"$facts")

# Stack protection: the guard and failure routine are the driver's, the
# entry point opens no protected frame, and protected routines exist.
disassembly=$($objdump -d --no-show-raw-insn "$linked")
grep -qE ' [TtDd] __stack_chk_guard$' <<<"$symbols" || fail "no __stack_chk_guard in the image"
grep -qE ' [Tt] __stack_chk_fail$' <<<"$symbols" || fail "no __stack_chk_fail in the image"
protected=$(awk '/^[0-9a-f]+ <.*>:$/ {fn = $2} /call.*<__stack_chk_fail>/ {print fn}' <<<"$disassembly" | sort -u | wc -l)
(( protected > 0 )) || fail "no routine is stack-protected"
entry_code=$(awk '/^[0-9a-f]+ <DriverEntry>:$/ {on = 1; next} /^[0-9a-f]+ <.*>:$/ {on = 0} on' <<<"$disassembly")
[ -n "$entry_code" ] || fail "no DriverEntry in the disassembly"
grep -q '__stack_chk' <<<"$entry_code" && fail "DriverEntry opens a protected frame before the guard is set"

# The version resource, read back from the image.
rc=$(x86_64-w64-mingw32-windres -i "$image" -O rc)
IFS=. read -r major minor patch <<<"$version"
expect_rc() { grep -qF -- "$1" <<<"$rc" || fail "version resource lacks: $1"; }
expect_rc "FILEVERSION $major, $minor, $patch, 0"
expect_rc "PRODUCTVERSION $major, $minor, $patch, 0"
expect_rc "FILETYPE 0x3"
expect_rc "FILESUBTYPE 0xa"
for value in "FileVersion\", \"$version.0" "ProductVersion\", \"$version.0" "OriginalFilename\", \"tzserial.sys" \
             "CompanyName\", \"" "FileDescription\", \"" "LegalCopyright\", \""; do
  expect_rc "VALUE \"$value"
done
if [ "$flavour" = checked ]; then expect_rc "FILEFLAGS 0x1"; elif grep -q "FILEFLAGS 0x1" <<<"$rc"; then
  fail "the release image is flagged as a debug build"
fi

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
echo "ok ($flavour): $(fact length) bytes, checksum $(fact checksum-stored), DllCharacteristics $chars," \
  "$unwind_entries unwind entries, $protected protected routines, version $version, PDB $guid," \
  "imports: $(echo $dlls), exports: $(echo $exports)"
