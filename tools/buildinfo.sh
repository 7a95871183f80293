#!/bin/sh
# Writes the record of how a release was built, modelled on Debian's
# .buildinfo files: the commit built, the moment its files carry and where
# that came from, who signed the exe, the Debian release and the versions of
# the packages that shape its bytes, and the sums of what it ships. A
# rebuilder who installs those versions gets the same bytes. The record holds
# nothing of the builder: no date, path or user. Its fields: docs/release.md.
#
# usage: tools/buildinfo.sh OUTPUT NAME VERSION EPOCH EPOCH-ORIGIN COMMIT FILE...
#   EPOCH-ORIGIN  SOURCE_DATE_EPOCH, commit or fallback
#   COMMIT        the commit built, or - for a tree that names none
#   FILE          each file shipped, the package first; where the exe is
#                 signed, the detached signature attached to it (*.signature)
set -eu
. "$(dirname "$0")/common.sh"

output=$1 name=$2 version=$3 epoch=$4 origin=$5 commit=$6
shift 6
export LC_ALL=C

signature=
for file; do
  case $file in *.signature) signature=$file ;; esac
done
if [ -n "$signature" ]; then
  packages=$(sh "$(dirname "$0")/setup.sh" --versions sign)
  signer=$(signer_certificate "$signature")
  subject=$(printf '%s\n' "$signer" | certificate_subject)
  fingerprint=$(printf '%s\n' "$signer" | certificate_fingerprint)
else
  packages=$(sh "$(dirname "$0")/setup.sh" --versions)
fi
# shellcheck disable=SC1091 # the build machine's own
. /etc/os-release

{
  echo "Format: 1.0"
  echo "Source: $name"
  echo "Version: $version"
  [ "$commit" = - ] || echo "Source-Commit: $commit"
  echo "Checksums-Sha256:"
  for file; do
    printf ' %s %s %s\n' "$(sha256sum <"$file" | cut -d ' ' -f 1)" \
      "$(wc -c <"$file")" "${file##*/}"
  done
  echo "Build-Origin: Debian"
  echo "Build-Release: $NAME $(cat /etc/debian_version) ($VERSION_CODENAME)"
  echo "Build-Architecture: $(dpkg --print-architecture)"
  echo "Source-Date-Epoch: $epoch"
  echo "Source-Date-Epoch-From: $origin"
  if [ -n "$signature" ]; then
    echo "Signer: $subject"
    echo "Signer-Sha256-Fingerprint: $fingerprint"
  fi
  echo "Installed-Build-Depends:"
  printf '%s\n' "$packages" | sed 's/^/ /; $!s/$/,/'
} >"$output.part"
mv "$output.part" "$output"
