#!/usr/bin/env bash
# Tests: the INF rules check passes the package's INF and names every rule
# that tests/windows/bad.inf breaks; the INF offers the USB identity the
# driver accepts.
# usage: check_inf.sh PACKAGE.inf
set -euo pipefail
here=$(dirname "$0")
check="python3 $here/../../tools/package/infcheck.py"
$check "$1"

identity() { sed -n "s/.*$1 = 0x\([0-9A-Fa-f]*\);.*/\1/p" "$here/../../driver/pnp/usb_config.h" | tr a-f A-F; }
hardware_id="USB\\VID_$(identity AdapterVendorId)&PID_$(identity AdapterProductId)"
grep -qiF -- "$hardware_id" "$1" || { echo "FAIL: $1 does not offer $hardware_id"; exit 1; }

if report=$($check "$here/bad.inf"); then
  echo "FAIL: bad.inf passed"
  exit 1
fi
missing=0
while IFS= read -r expected; do
  grep -qF -- "$expected" <<<"$report" || { echo "FAIL: not reported: $expected"; missing=1; }
done <<'RULES'
Signature must be "$Windows NT$"
Version: no Provider
Version: no CatalogFile
ClassGuid missing or not a GUID
DriverVer must be MM/DD/YYYY,W.X.Y.Z
PnpLockdown must be 1
Models is not decorated NTamd64
no [Models.NTamd64] models section
DefaultInstall beside a Manufacturer section
ClassInstall32: a driver package installs no class
co-installers are not allowed
DefaultDestDir is 12, not 13
2 AddService directives, not one
AddService tzserial: flags 0x00000000, not 0x2
StartType is 2, not 3
ErrorControl is 3, not 1
ServiceBinary %12%\tzserial.sys is not under %13%
writes outside the service's Parameters key
HKLM, Software\tzserial, Debug, 0x00010001, 1 writes outside the package's own keys
helper.dll is copied but not listed
tzserial.sys is on disk 2, which SourceDisksNames lacks
%DiskName% is not defined
RULES
[ "$missing" = 0 ] || { echo "$report"; exit 1; }
echo "ok: bad.inf rejected on $(wc -l <<<"$report") counts"
