#!/bin/sh
# Signs the Windows release, for whoever holds the project's key. Signs the
# exe that the last Windows build linked with Authenticode (SHA-256), dated
# with the release's moment rather than the clock, so that the same key
# signing the same exe gives the same signature; or imports the signature
# that another tool made for that exe. Then writes the detached signature
# and makes the signed release from it exactly as any rebuilder would, with
# VELTRIN_SIGNATURE and the Windows workflow. Afterwards build/windows holds
# the signed exe, the zip with it, the zip's .sha256, the .buildinfo, the
# bill of materials and the .signature. The steps and their reasons: docs/release.md.
#
# usage: tools/sign.sh [--timestamp URL] CERTS KEY
#        tools/sign.sh [--timestamp URL] [--pkcs11-module MODULE] CERTS pkcs11:URI
#        tools/sign.sh [--timestamp URL] PKCS12
#        tools/sign.sh --import SIGNED-EXE
#   CERTS      PEM: the signer's certificate, then its intermediates
#   KEY        the signer's private key, PEM, normally encrypted
#   pkcs11:URI the signer's key in a token or HSM (RFC 7512), such as
#              pkcs11:token=veltrin;object=publisher
#   PKCS12     certificate, intermediates and key in one PKCS#12 file
#   --timestamp URL
#              have an RFC 3161 time-stamp authority countersign, so that
#              the signature stays valid after the certificate expires
#   --pkcs11-module MODULE
#              the token's PKCS#11 module; without it, p11-kit's proxy,
#              which reaches every module the system registers
#   --import SIGNED-EXE
#              take the signature out of build/windows/unsigned's exe as
#              another tool signed it
#   --help, -h print this usage
# The passphrase or PIN is read from standard input: typed at a terminal,
# without echo, or as one line from a pipe; never from the URI. The key is
# read where it is; nothing of it, as given or decrypted, is written
# anywhere. Paths are taken from the current folder. sign.sh does not check
# revocation: tools/verify-release.py does, before the release is published.
set -eu
. "$(dirname "$0")/common.sh"

fail() {  # why
  echo "sign.sh: $*" >&2
  exit 1
}
absolute() {  # path, as given from the current folder
  case $1 in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac
}

case ${1-} in --help | -h) usage 0 ;; esac
timestamp='' module='' import=''
while [ $# -ge 2 ]; do
  case $1 in
  --timestamp) timestamp=$2 ;;
  # A name without a folder is the dynamic loader's to find.
  --pkcs11-module) case $2 in */*) module=$(absolute "$2") ;; *) module=$2 ;; esac ;;
  --import) import=$(absolute "$2") ;;
  -*) usage 2 ;;
  *) break ;;
  esac
  shift 2
done
case $#,${2-} in
0,) [ -n "$import" ] && [ -z "$timestamp$module" ] || usage 2 ;;
1,) [ -z "$import$module" ] && [ "${1#-}" = "$1" ] || usage 2 ;;
2,pkcs11:*) [ -z "$import" ] || usage 2 ;;
2,*) [ -z "$import$module" ] || usage 2 ;;
*) usage 2 ;;
esac
# RFC 7512 lets a URI carry the PIN, which would then be on osslsigncode's
# command line for every user of the machine to read, and in the messages.
case ${2-} in
pkcs11:*pin-value=*)
  fail "the pkcs11: URI holds the PIN (pin-value=): leave it out, and give" \
    "the PIN on standard input"
  ;;
esac
for file in "$@" ${import:+"$import"}; do
  case $file in pkcs11:*) ;; *) [ -f "$file" ] || fail "there is no file '$file'" ;; esac
done
have_signing_tools || fail "signing needs $signing_tools"
# What opens the key: a PKCS#12 file may need a passphrase, a PEM key needs
# one where it is encrypted, and a token needs its PIN. From here on, the
# arguments are osslsigncode's.
key=${2-${1-}} asks=''
case $#,$key in
0,*) ;;
1,*)
  asks=passphrase
  set -- -pkcs12 "$(absolute "$1")"
  ;;
2,pkcs11:*)
  asks=PIN
  if [ -z "$module" ]; then
    module=$(ls /usr/lib/*/p11-kit-proxy.so 2>/dev/null | head -n 1)
  fi
  engines=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')
  [ -n "$module" ] && [ -f "$engines/pkcs11.so" ] ||
    fail "signing with a key in a token needs OpenSSL's pkcs11 engine and" \
      "p11-kit's proxy module, which tools/setup.sh sign installs"
  set -- -pkcs11module "$module" -certs "$(absolute "$1")" -key "$2"
  ;;
*)
  ! grep -q ENCRYPTED "$key" || asks=passphrase
  key_file=$(absolute "$2")
  set -- -certs "$(absolute "$1")" -key "$key_file"
  ;;
esac

cd "$(dirname "$0")/.."
[ -f build/windows/CMakeCache.txt ] || fail "no Windows build here: run cmake --workflow --preset windows first"
name=$(windows_cache CMAKE_PROJECT_NAME)
version=$(windows_cache CMAKE_PROJECT_VERSION)
release=build/windows/$name-$version-win64
unsigned=build/windows/unsigned/$name.exe
[ -f "$release.buildinfo" ] && [ -f "$unsigned" ] ||
  fail "no Windows release here: run cmake --workflow --preset windows first"
moment=$(buildinfo_field "$release.buildinfo" Source-Date-Epoch)
built=$(buildinfo_field "$release.buildinfo" Source-Commit)
commit=$(cmake -P cmake/moment.cmake 2>/dev/null | cut -d ' ' -f 1)
if [ "$commit" != "${built:--}" ]; then
  fail "build/windows is a build of commit ${built:-(none)}, not of this" \
    "tree's: run cmake --workflow --preset windows first"
fi
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  echo "sign.sh: the tree has uncommitted changes, which a rebuild of its" \
    "commit will not have" >&2
fi

secret=''
if [ -n "$asks" ]; then
  if [ -t 0 ]; then
    printf '%s for %s: ' "$asks" "$key" >&2
    trap 'stty echo' EXIT
    exit_on_signals
    stty -echo
    IFS= read -r secret || true
    stty echo
    echo >&2
  else
    IFS= read -r secret || [ -n "$secret" ] ||
      fail "no $asks for '$key' on standard input"
  fi
fi
# openssl would ask again at the terminal after a wrong passphrase.
if [ "${1-}" = -certs ] && [ -n "$asks" ] && ! printf '%s\n' "$secret" |
  openssl pkey -in "$key_file" -passin stdin -noout 2>/dev/null; then
  fail "the passphrase does not open '$key'"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
exit_on_signals
signature=$work/${release##*/}.signature

if [ -n "$import" ]; then
  osslsigncode extract-signature -pem -in "$import" -out "$signature" \
    >"$work/log" 2>&1 || fail "'$import' holds no Authenticode signature"
  # Checked as the build will check it, so that a signature it would refuse
  # leaves the release as it was.
  VELTRIN_SIGNATURE=$signature tools/package.py attach "$unsigned" \
    "$work/attached.exe" "$work/attached" >"$work/log" 2>&1 ||
    fail "'$import' was signed as other bytes than $unsigned (another" \
      "commit or toolchain): sign that file, as this build made it"
else
  if ! printf '%s\n' "$secret" | osslsigncode sign "$@" \
    -readpass /dev/stdin -h sha256 -n "$name" -time "$moment" \
    -in "$unsigned" -out "$work/signed.exe" >"$work/log" 2>&1; then
    # The token's module says what went wrong, among OpenSSL's error queue.
    if [ "$asks" = PIN ]; then
      grep -q 'Unable to load module' "$work/log" &&
        fail "the PKCS#11 module '$module' does not load"
      grep -q 'Login failed' "$work/log" &&
        fail "the token refused the PIN for '$key'"
      grep -q 'private key was not found' "$work/log" &&
        fail "no key at '$key' in the tokens that '$module' reaches"
    fi
    # OpenSSL's error queue says nothing to a reader, and may be all there is.
    grep -v ':error:' "$work/log" >&2 || true
    fail "osslsigncode could not sign $unsigned with '$key'"
  fi
  # A step of its own, so that a silent authority is told from a key that
  # does not sign.
  if [ -n "$timestamp" ]; then
    osslsigncode add -ts "$timestamp" -h sha256 -in "$work/signed.exe" \
      -out "$work/stamped.exe" >"$work/log" 2>&1 ||
      fail "no timestamp from $timestamp: the time-stamp authority did not" \
        "answer, or refused"
    mv "$work/stamped.exe" "$work/signed.exe"
  fi
  osslsigncode extract-signature -pem -in "$work/signed.exe" \
    -out "$signature" >"$work/log" 2>&1 ||
    fail "osslsigncode could not take the signature out of the signed exe"
fi

VELTRIN_SIGNATURE=$signature cmake --workflow --preset windows </dev/null ||
  fail "the signed build failed"
echo "sign.sh: signed by $(buildinfo_field "$release.buildinfo" Signer)," \
  "SHA-256 fingerprint $(buildinfo_field "$release.buildinfo" \
    Signer-Sha256-Fingerprint)"
for file in "$release.zip" "$release.zip.sha256" "$release.buildinfo" \
  "$release.cdx.json" "$release.signature"; do
  echo "sign.sh: $file"
done
