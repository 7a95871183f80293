#!/bin/sh
# Signs the Windows release, for whoever holds the project's key. Signs the
# exe that the last Windows build linked with Authenticode (SHA-256), dated
# with the release's moment rather than the clock, so that the same key
# signing the same exe gives the same signature. Then writes the detached
# signature and makes the signed release from it exactly as any rebuilder
# would, with VELTRIN_SIGNATURE and the Windows workflow. Afterwards
# build/windows holds the signed exe, the zip with it, the zip's .sha256,
# the .buildinfo and the .signature.
#
# usage: tools/sign.sh [--timestamp URL] CERTS KEY
#        tools/sign.sh [--timestamp URL] PKCS12
#   CERTS      PEM: the signer's certificate, then its intermediates
#   KEY        the signer's private key, PEM, normally encrypted
#   PKCS12     certificate, intermediates and key in one PKCS#12 file
#   --timestamp URL
#              have an RFC 3161 time-stamp authority countersign, so that
#              the signature stays valid after the certificate expires
# The passphrase is read from standard input: typed at a terminal, without
# echo, or as one line from a pipe. The key is read where it is; nothing of
# it, as given or decrypted, is written anywhere.
set -eu

usage() {
  echo "usage: tools/sign.sh [--timestamp URL] CERTS KEY" >&2
  echo "       tools/sign.sh [--timestamp URL] PKCS12" >&2
  exit 2
}
fail() {  # why
  echo "sign.sh: $*" >&2
  exit 1
}
absolute() {  # path, as given from the current folder
  case $1 in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac
}

timestamp=
if [ "${1-}" = --timestamp ]; then
  [ $# -ge 2 ] || usage
  timestamp=$2
  shift 2
fi
[ $# = 1 ] || [ $# = 2 ] || usage
for file; do
  [ -f "$file" ] || fail "there is no file '$file'"
done
# From here on, the arguments are osslsigncode's.
if [ $# = 1 ]; then
  key=$1 pkcs12=1
  set -- -pkcs12 "$(absolute "$1")"
else
  key=$2 pkcs12=0
  set -- -certs "$(absolute "$1")" -key "$(absolute "$2")"
fi
command -v osslsigncode >/dev/null 2>&1 && command -v openssl >/dev/null 2>&1 ||
  fail "signing needs osslsigncode and openssl, which tools/setup.sh sign installs"

cd "$(dirname "$0")/.."
cache=build/windows/CMakeCache.txt
[ -f "$cache" ] || fail "no Windows build here: run cmake --workflow --preset windows first"
name=$(sed -n 's/^CMAKE_PROJECT_NAME:STATIC=//p' "$cache")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache")
release=build/windows/$name-$version-win64
unsigned=build/windows/unsigned/$name.exe
[ -f "$release.buildinfo" ] && [ -f "$unsigned" ] ||
  fail "no Windows release here: run cmake --workflow --preset windows first"
moment=$(sed -n 's/^Source-Date-Epoch: //p' "$release.buildinfo")
built=$(sed -n 's/^Source-Commit: //p' "$release.buildinfo")
# A tree that belongs to another user is one git refuses to read unless told
# to trust it: this one, for these calls only.
git() { command git -c safe.directory="$(pwd -P)" "$@"; }
if [ -e .git ] && [ "$(git rev-parse HEAD)" != "$built" ]; then
  fail "build/windows is a build of commit ${built:-(none)}, not of this" \
    "tree's: run cmake --workflow --preset windows first"
fi
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  echo "sign.sh: the tree has uncommitted changes, which a rebuild of its" \
    "commit will not have" >&2
fi

# An unencrypted PEM key needs no passphrase; any other may.
passphrase=
if [ $pkcs12 = 1 ] || grep -q ENCRYPTED "$key"; then
  if [ -t 0 ]; then
    printf 'passphrase for %s: ' "$key" >&2
    trap 'stty echo' EXIT
    trap 'exit 1' INT TERM
    stty -echo
    IFS= read -r passphrase || true
    stty echo
    echo >&2
  else
    IFS= read -r passphrase || [ -n "$passphrase" ] ||
      fail "no passphrase for '$key' on standard input"
  fi
  # openssl would ask again at the terminal after a wrong passphrase.
  if [ $pkcs12 = 0 ] && ! printf '%s\n' "$passphrase" |
    openssl pkey -in "$key" -passin stdin -noout 2>/dev/null; then
    fail "the passphrase does not open '$key'"
  fi
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
signature=$work/${release##*/}.signature
if ! printf '%s\n' "$passphrase" | osslsigncode sign "$@" \
  -readpass /dev/stdin -h sha256 -n "$name" -time "$moment" \
  ${timestamp:+-ts "$timestamp"} -in "$unsigned" -out "$work/signed.exe" \
  >"$work/log" 2>&1 ||
  ! osslsigncode extract-signature -pem -in "$work/signed.exe" \
    -out "$signature" >>"$work/log" 2>&1; then
  # What osslsigncode says, less the dump of OpenSSL's error queue.
  grep -v ':error:' "$work/log" >&2
  fail "osslsigncode could not sign $unsigned${timestamp:+, with a timestamp from $timestamp}"
fi

VELTRIN_SIGNATURE=$signature cmake --workflow --preset windows </dev/null ||
  fail "the signed build failed"
echo "sign.sh: signed by $(sed -n 's/^Signer: //p' "$release.buildinfo")," \
  "SHA-256 fingerprint $(sed -n 's/^Signer-Sha256-Fingerprint: //p' \
    "$release.buildinfo")"
for file in "$release.zip" "$release.zip.sha256" "$release.buildinfo" \
  "$release.signature"; do
  echo "sign.sh: $file"
done
