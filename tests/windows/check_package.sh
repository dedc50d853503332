#!/usr/bin/env bash
# Tests: the assembled driver package. It holds exactly the files the README
# lists and no private key; both images and catalogs carry a valid test
# signature, each image is a member of its flavour's catalog (and so is the
# INF), the signed images still pass the image check (the checksum was
# rewritten after signing), and the submission CAB holds the INF, image and PDB.
# usage: check_package.sh PACKAGE_DIR WINDOWS_BUILD_DIR VERSION
set -euo pipefail
pkg=$1 win=$2 version=$3
here=$(dirname "$0")
fail() { echo "FAIL: $*"; exit 1; }

expected="./debug/tzserial.cat ./debug/tzserial.inf ./debug/tzserial.pdb ./debug/tzserial.sys
./submission/tzserial-$version.cab ./tzserial-test.cer ./tzserial.cat ./tzserial.inf ./tzserial.pdb ./tzserial.sys"
found=$(cd "$pkg" && find . -type f | LC_ALL=C sort)
[ "$found" = "$(tr ' ' '\n' <<<"$expected" | LC_ALL=C sort)" ] || fail "package holds: $(echo $found)"

ca=$(mktemp)
trap 'rm -f "$ca"' EXIT
openssl x509 -inform DER -in "$pkg/tzserial-test.cer" -out "$ca"
for flavour in . debug; do
  for file in tzserial.sys tzserial.cat; do
    osslsigncode verify -CAfile "$ca" -in "$pkg/$flavour/$file" >/dev/null 2>&1 ||
      fail "$flavour/$file: no valid signature"
  done
  # Whole outputs first: grep -q would stop reading and break the pipe.
  verified=$(osslsigncode verify -CAfile "$ca" -catalog "$pkg/$flavour/tzserial.cat" -in "$pkg/$flavour/tzserial.sys" 2>&1)
  grep -q "File is signed in catalog" <<<"$verified" || fail "$flavour/tzserial.sys is not in its catalog"
  inf_hash=$(sha1sum "$pkg/$flavour/tzserial.inf" | awk '{print toupper($1)}')
  members=$(/usr/bin/python3 "$here/../../tools/package/make_catalog.py" --list "$pkg/$flavour/tzserial.cat")
  grep -qx "$inf_hash tzserial.inf" <<<"$members" || fail "$flavour/tzserial.inf is not in its catalog"
done
bash "$here/check_image.sh" "$pkg" "$version" release "$win/link/tzserial.sys"
bash "$here/check_image.sh" "$pkg/debug" "$version" checked "$win/debug/link/tzserial.sys"

cab=$(gcab -t "$pkg/submission/tzserial-$version.cab" | tr '\\' / | LC_ALL=C sort | tr '\n' ' ')
[ "$cab" = "tzserial/tzserial.inf tzserial/tzserial.pdb tzserial/tzserial.sys " ] || fail "the CAB holds: $cab"
echo "ok: $pkg, signed and catalogued, CAB: $cab"
