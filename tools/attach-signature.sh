#!/bin/sh
# Makes the exe that is tested and shipped from the one the linker wrote:
# with the detached signature that VELTRIN_SIGNATURE names attached to it,
# or unsigned where the variable is unset or empty. The build runs it every
# time, so that setting, changing or unsetting the variable takes effect.
# The signature attaches whether or not this machine trusts its signer; what
# is checked is that it was made for exactly these bytes. When it fails,
# nothing of the release is left behind: no exe, zip, checksum, record or
# bill of materials.
#
# usage: tools/attach-signature.sh UNSIGNED-EXE EXE RELEASE
#   RELEASE  the path of the release's files less their endings, such as
#            build/windows/veltrin-backend-0.2.4-win64; the signature
#            attached is kept beside them, as RELEASE.signature
# A relative VELTRIN_SIGNATURE is taken from the current folder, which the
# build makes the top of the tree. For whom and why: docs/release.md.
set -eu
. "$(dirname "$0")/common.sh"

unsigned=$1 exe=$2 release=$3
signature=${VELTRIN_SIGNATURE-}

fail() {  # why
  rm -f "$exe" "$exe.part" "$release.zip" "$release.zip.sha256" \
    "$release.buildinfo" "$release.cdx.json" "$release.signature.part"
  # The copy of an earlier signature goes too, unless it is the file given.
  [ "$signature" -ef "$release.signature" ] || rm -f "$release.signature"
  echo "VELTRIN_SIGNATURE: $1" >&2
  exit 1
}
# A file that comes out the same keeps its time, so that nothing which
# depends on it is made again.
update() {  # new file, file it replaces
  if cmp -s "$1" "$2"; then rm "$1"; else mv -f "$1" "$2"; fi
}

if [ -z "$signature" ]; then
  cp "$unsigned" "$exe.part"
  update "$exe.part" "$exe"
  rm -f "$release.signature"
  exit 0
fi

[ -f "$signature" ] || fail "there is no file '$signature'; set it to a\
 release's .signature file, or unset it to build unsigned"
have_signing_tools || fail "attaching '$signature' needs $signing_tools"
not_a_signature="'$signature' is not a signature; set it to a release's\
 .signature file, a PEM PKCS#7 as tools/sign.sh writes it"
openssl pkcs7 -in "$signature" -noout 2>/dev/null || fail "$not_a_signature"

# Both tools check the signer's chain against a CA file, and fail where this
# machine does not trust it, whatever the signature's fit; an empty one keeps
# the machine's trust out.
untrusted="-CAfile /dev/null -TSA-CAfile /dev/null"
rm -f "$exe.part"
# shellcheck disable=SC2086 # one word per option
osslsigncode attach-signature $untrusted -sigin "$signature" \
  -in "$unsigned" -out "$exe.part" >/dev/null 2>&1 || true
[ -f "$exe.part" ] || fail "$not_a_signature"
# shellcheck disable=SC2086
fit=$(authenticode_verify $untrusted -in "$exe.part" 2>&1 |
  authenticode_findings - | sed -n 's/^digest //p')
case $fit in
none) fail "$not_a_signature" ;;
other) fail "'$signature' was made for other bytes than this exe (another\
 commit or toolchain); set it to the .signature of the release that this\
 tree and toolchain build, or unset it to build unsigned" ;;
esac

update "$exe.part" "$exe"
cp "$signature" "$release.signature.part"
update "$release.signature.part" "$release.signature"
echo "${exe##*/}: signed, with the signature in '$signature'"
