#!/bin/sh
# Checks a Windows release as the build left it in build/windows: the zip
# matches its .sha256; the .buildinfo holds the sum and size of the zip, the
# exe, the notices and, where the exe is signed, the signature; and the zip
# holds exactly the README, the notices and the exe, as built.
#
# usage: check_package.sh RELEASE
#   RELEASE  the path of the release's files less their endings, such as
#            build/windows/veltrin-backend-0.2.4-win64
set -eu
. "$(dirname "$0")/../tools/common.sh"

release=$1
folder=$(dirname "$release") top=$(basename "$release")
(cd "$folder" && sha256sum -c "$top.zip.sha256")
set -- "$release.zip" "$folder/veltrin-backend.exe" "$folder/THIRD-PARTY-NOTICES.txt"
[ ! -f "$release.signature" ] || set -- "$@" "$release.signature"
for shipped; do
  sum=$(sha256sum <"$shipped" | cut -d ' ' -f 1)
  [ "$(buildinfo_checksum "$release.buildinfo" "${shipped##*/}")" = \
    "$sum $(wc -c <"$shipped")" ] ||
    { echo "$release.buildinfo lacks the sum of $shipped, $sum" && exit 1; }
done
echo "$release.buildinfo holds the sums of what is shipped"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -E tar tf "$release.zip" | sort >"$work/list"
release_members "$top" veltrin-backend | sort | diff - "$work/list"
cmake -E chdir "$work" cmake -E tar xf "$(realpath "$release.zip")"
cmp "$(dirname "$0")/../README.md" "$work/$top/README.md"
cmp "$folder/THIRD-PARTY-NOTICES.txt" "$work/$top/THIRD-PARTY-NOTICES.txt"
cmp "$folder/veltrin-backend.exe" "$work/$top/veltrin-backend.exe"
echo "$release.zip holds the README, the notices and the exe, as built"

