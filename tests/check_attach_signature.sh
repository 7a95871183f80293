#!/bin/sh
# Runs the build's signing step, tools/package.py attach, once for each
# kind of VELTRIN_SIGNATURE, and checks its exit status, both streams, and
# what it leaves: the exe signed, unsigned or gone, and nothing stale of the
# release beside it. The signatures are made here, with throwaway
# certificates, at paths with a blank in them.
#
# usage: check_attach_signature.sh PACKAGE-STEP UNSIGNED-EXE
set -eu

package_step=$1 unsigned=$2
command -v osslsigncode >/dev/null && command -v openssl >/dev/null || {
  echo "skipped: this needs osslsigncode and openssl, which tools/setup.sh sign installs"
  exit 77
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
keys="$work/throwaway keys"
sh "$(dirname "$0")/throwaway.sh" "$keys"
sign() {  # exe to sign, signed exe, its detached signature
  osslsigncode sign -certs "$keys/chain.pem" -key "$keys/publisher.key" \
    -readpass "$keys/passphrase" -h sha256 -in "$1" -out "$2" >/dev/null
  osslsigncode extract-signature -pem -in "$2" -out "$3" >/dev/null
}
sign "$unsigned" "$keys/signed.exe" "$keys/fits.signature"
cp "$unsigned" "$keys/other.exe"
printf X | dd of="$keys/other.exe" bs=1 seek=1024 conv=notrunc 2>/dev/null
sign "$keys/other.exe" "$keys/other-signed.exe" "$keys/other.signature"
head -c 2000 /dev/urandom >"$keys/random.signature"
echo text | openssl smime -sign -signer "$keys/publisher.pem" \
  -inkey "$keys/publisher.key" -passin "file:$keys/passphrase" -outform PEM \
  -nodetach >"$keys/mail.signature"

# One case a row: VELTRIN_SIGNATURE ("-" for unset), the exit status, what
# the exe is after it (signed, unsigned or none) and the line on standard
# error after "VELTRIN_SIGNATURE: " ("-" for none). The cases run in turn in
# one build folder, each over what an earlier build would have left there.
not_a_signature="is not a signature; set it to a release's .signature file,\
 a PEM PKCS#7 as tools/sign.py writes it"
failed=0
out="$work/build folder"
mkdir "$out"
release=$out/release
exe=$out/veltrin-backend.exe
same_line() {  # expected line, or nothing for none; file
  if [ -z "$1" ]; then [ ! -s "$2" ]; else echo "$1" | cmp -s - "$2"; fi
}
while IFS='|' read -r signature status after message; do
  for stale in "$exe" "$release.zip" "$release.zip.sha256" \
    "$release.buildinfo" "$release.cdx.json" "$release.signature"; do
    echo stale >"$stale"
  done
  actual=0
  if [ "$signature" = - ]; then
    signature=
    env -u VELTRIN_SIGNATURE "$package_step" attach "$unsigned" "$exe" "$release" \
      >"$work/stdout" 2>"$work/stderr" || actual=$?
  else
    VELTRIN_SIGNATURE=$signature "$package_step" attach "$unsigned" "$exe" "$release" \
      >"$work/stdout" 2>"$work/stderr" || actual=$?
  fi

  problems=
  [ "$actual" = "$status" ] || problems="$problems; exit status $actual"
  expected_stdout=
  case $after in
  unsigned)
    cmp -s "$exe" "$unsigned" || problems="$problems; the exe is not unsigned"
    [ ! -e "$release.signature" ] || problems="$problems; a .signature is left"
    ;;
  signed)
    # Attaching the detached signature must give what signing gave.
    cmp -s "$exe" "$keys/signed.exe" ||
      problems="$problems; the exe is not the signed one"
    cmp -s "$release.signature" "$signature" ||
      problems="$problems; the .signature is not the one attached"
    expected_stdout="veltrin-backend.exe: signed, with the signature in '$signature'"
    ;;
  none)
    for left in "$exe" "$release.zip" "$release.zip.sha256" \
      "$release.buildinfo" "$release.cdx.json" "$release.signature"; do
      [ ! -e "$left" ] || problems="$problems; ${left##*/} is left"
    done
    ;;
  esac
  same_line "$expected_stdout" "$work/stdout" ||
    problems="$problems; stdout: $(cat "$work/stdout")"
  [ "$message" = - ] && message= || message="VELTRIN_SIGNATURE: $message"
  same_line "$message" "$work/stderr" ||
    problems="$problems; stderr: $(cat "$work/stderr")"

  if [ -n "$problems" ]; then
    echo "VELTRIN_SIGNATURE=${signature:-(unset)}$problems"
    failed=1
  else
    echo "ok: VELTRIN_SIGNATURE=${signature:-(unset)}"
  fi
done <<EOF
-|0|unsigned|-
$keys/fits.signature|0|signed|-
$keys/missing.signature|1|none|there is no file '$keys/missing.signature'; set it to a release's .signature file, or unset it to build unsigned
$keys/fits.signature|0|signed|-
$keys/random.signature|1|none|'$keys/random.signature' $not_a_signature
$keys/mail.signature|1|none|'$keys/mail.signature' $not_a_signature
$keys/other.signature|1|none|'$keys/other.signature' was made for other bytes than this exe (another commit or toolchain); set it to the .signature of the release that this tree and toolchain build, or unset it to build unsigned
-|0|unsigned|-
EOF
exit $failed
