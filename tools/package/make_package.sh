#!/usr/bin/env bash
# Tool: assembles the driver package from the Windows build into
# OUT/tzserial-VERSION/ and test-signs it:
#   tzserial.inf, tzserial.sys, tzserial.cat, tzserial.pdb   the release driver
#   debug/ (the same four)                                    the checked flavour
#   tzserial-test.cer                                         the test certificate
#   submission/tzserial-VERSION.cab                           for the signing portal
# The throwaway test certificate and its key are made once in
# OUT/test-certificate/, which is not part of the package. Images and
# catalogs are signed with osslsigncode (Authenticode, SHA-256; the image's
# checksum rewritten); the catalogs are written by make_catalog.py.
# usage: make_package.sh WINDOWS_BUILD_DIR OUT VERSION
set -euo pipefail
win=$1 out=$2 version=$3
here=$(cd "$(dirname "$0")" && pwd)
pkg=$out/tzserial-$version
certs=$out/test-certificate
hardware_id='USB\VID_7A5E&PID_C0DE'

mkdir -p "$certs"
if [ ! -f "$certs/key.pem" ]; then
  openssl req -x509 -newkey rsa:3072 -sha256 -days 3650 -nodes -subj "/CN=tzserial test signing (not for release)" \
    -addext extendedKeyUsage=codeSigning -addext keyUsage=critical,digitalSignature \
    -keyout "$certs/key.pem" -out "$certs/cert.pem" 2>/dev/null
fi

sign() {
  rm -f "$2"
  osslsigncode sign -certs "$certs/cert.pem" -key "$certs/key.pem" -h sha256 -n "tzserial $version" \
    -in "$1" -out "$2" >/dev/null
}

# flavour SOURCE_DIR TARGET_DIR: the INF, the signed image, its PDB and the signed catalog.
flavour() {
  mkdir -p "$2"
  cp "$win/tzserial.inf" "$1/tzserial.pdb" "$2/"
  sign "$1/tzserial.sys" "$2/tzserial.sys"
  /usr/bin/python3 "$here/make_catalog.py" "$2/tzserial.unsigned.cat" "$hardware_id" "$2/tzserial.sys" "$2/tzserial.inf"
  sign "$2/tzserial.unsigned.cat" "$2/tzserial.cat"
  rm "$2/tzserial.unsigned.cat"
}

rm -rf "$pkg"
flavour "$win" "$pkg"
flavour "$win/debug" "$pkg/debug"
openssl x509 -in "$certs/cert.pem" -outform DER -out "$pkg/tzserial-test.cer"

# The submission CAB: the release driver's INF, unsigned image and PDB in one
# folder, for the portal that signs production packages.
staging=$out/submission-staging
rm -rf "$staging"
mkdir -p "$staging/tzserial" "$pkg/submission"
cp "$win/tzserial.inf" "$win/tzserial.sys" "$win/tzserial.pdb" "$staging/tzserial/"
(cd "$staging" && gcab -c -z "$pkg/submission/tzserial-$version.cab" tzserial/tzserial.inf tzserial/tzserial.sys \
  tzserial/tzserial.pdb)
rm -rf "$staging"
