#!/bin/sh
# Runs tools/sign.py in each way it must refuse, and checks that it exits 1
# with a last line of its own on standard error that names the cause (after
# osslsigncode's own, where it failed), or 2 with argparse's, writes nothing
# on standard output, and leaves the release in build/windows as it was.
# Needs a Windows release there, and SOFTHSM2_CONF set to the token of
# MATERIAL.
#
# usage: check_sign.sh MATERIAL
#   MATERIAL  a folder that tests/throwaway.sh made, with its token
set -eu

material=$1
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unsigned=build/windows/unsigned/veltrin-backend.exe
release() {  # the sums of what the release is made of
  sha256sum build/windows/veltrin-backend.exe build/windows/*.zip* \
    build/windows/*.buildinfo build/windows/*.cdx.json
}
release >"$work/before"
cp "$unsigned" "$work/other.exe"
printf X | dd of="$work/other.exe" bs=1 seek=1024 conv=notrunc 2>/dev/null
osslsigncode sign -certs "$material/chain.pem" -key "$material/publisher.key" \
  -readpass "$material/passphrase" -in "$work/other.exe" \
  -out "$work/other-signed.exe" >/dev/null
uri=$(cat "$material/token.uri")
softhsm=/usr/lib/softhsm/libsofthsm2.so

# An osslsigncode that fails as a crashing module makes it fail: with
# nothing but OpenSSL's error queue to say.
mkdir "$work/crashing"
printf '#!/bin/sh\necho "40E7:error:41000074:PKCS#11 module:crashed" >&2\nexit 1\n' \
  >"$work/crashing/osslsigncode"
chmod +x "$work/crashing/osslsigncode"

# One case a row: the exit status, what standard input gives (the file of
# MATERIAL that holds it, or else the line itself), the folder it runs in,
# the command line after env, and the last line on standard error after
# "sign: ", or after argparse's "tools/sign.py: error: " for status 2.
sign=$PWD/tools/sign.py
failed=0
while IFS='|' read -r status given folder arguments message; do
  if [ -f "$material/$given" ]; then input=$material/$given; else
    echo "$given" >"$work/input" && input=$work/input
  fi
  actual=0
  # shellcheck disable=SC2086 # one word per argument
  (cd "$folder" && env $arguments) <"$input" >"$work/stdout" 2>"$work/stderr" ||
    actual=$?
  # A tree with uncommitted changes is told so first, and CI's has none.
  grep -v 'uncommitted changes' "$work/stderr" | tail -n 1 >"$work/said" || true
  problems=
  [ "$actual" = "$status" ] || problems="$problems; exit status $actual"
  [ ! -s "$work/stdout" ] || problems="$problems; stdout: $(cat "$work/stdout")"
  prefix=sign:
  [ "$status" = 1 ] || prefix="tools/sign.py: error:"
  echo "$prefix $message" | cmp -s - "$work/said" ||
    problems="$problems; stderr: $(cat "$work/said")"
  release | cmp -s - "$work/before" || problems="$problems; the release changed"
  if [ -n "$problems" ]; then
    echo "$arguments$problems"
    failed=1
  else
    echo "ok: $arguments"
  fi
done <<ROWS
1|wrong|.|$sign $material/chain.pem $material/publisher.key|the passphrase does not open '$material/publisher.key'
1|wrong|.|$sign $material/publisher.p12|the passphrase does not open '$material/publisher.p12'
1|wrong|.|$sign $material/token-chain.pem $uri|the token refused the PIN for '$uri'
1|pin|.|$sign --pkcs11-module $softhsm $material/token-chain.pem $uri-of-none|no key at '$uri-of-none' in the tokens that '$softhsm' reaches
1|pin|.|$sign --pkcs11-module $material/pin $material/token-chain.pem $uri|the PKCS#11 module '$material/pin' does not load
1|pin|.|$sign $material/token-chain.pem $uri;pin-value=1234|the pkcs11: URI holds the PIN (pin-value=): leave it out, and give the PIN on standard input
1|passphrase|.|$sign --timestamp http://127.0.0.1:9/ $material/chain.pem $material/publisher.key|no timestamp from http://127.0.0.1:9/: the time-stamp authority did not answer, or refused
1|passphrase|$material|$sign --timestamp http://127.0.0.1:9/ chain.pem publisher.key|no timestamp from http://127.0.0.1:9/: the time-stamp authority did not answer, or refused
1|passphrase|.|PATH=$work/crashing:$PATH $sign $material/chain.pem $material/publisher.key|osslsigncode could not sign $unsigned with '$material/publisher.key'
1|-|.|$sign --import $unsigned|'$PWD/$unsigned' holds no Authenticode signature
1|-|.|$sign --import $work/other-signed.exe|'$work/other-signed.exe' was signed as other bytes than $unsigned (another commit or toolchain): sign that file, as this build made it
2|-|.|$sign --import $unsigned $material/chain.pem $material/publisher.key|argument CERTS KEY | PKCS12: not allowed with argument --import
ROWS

exit $failed
