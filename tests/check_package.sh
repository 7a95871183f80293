#!/bin/sh
# Checks a Windows release as the build left it in build/windows: the zip
# matches its .sha256; the .buildinfo holds the sum and size of the zip, the
# exe, the notices, the bill of materials and, where the exe is signed, the
# signature; the zip holds exactly the README, the notices and the exe, as
# built; and the bill of materials names the exe by its sum, and exactly
# the packages of the notices, each as installed. Needs Python.
#
# usage: check_package.sh RELEASE
#   RELEASE  the path of the release's files less their endings, such as
#            build/windows/veltrin-backend-0.2.4-win64
set -eu
. "$(dirname "$0")/../tools/common.sh"

release=$1
folder=$(dirname "$release") top=$(basename "$release")
(cd "$folder" && sha256sum -c "$top.zip.sha256")
set -- "$release.zip" "$folder/veltrin-backend.exe" \
  "$folder/THIRD-PARTY-NOTICES.txt" "$release.cdx.json"
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

python3 -c '
import json, sys, urllib.parse
bom = json.load(open(sys.argv[1]))
print("exe", bom["metadata"]["component"]["hashes"][0]["content"])
for component in bom["components"]:
    purl = urllib.parse.urlsplit(component["purl"])
    name, version = [urllib.parse.unquote(part) for part in purl.path.split("/")[-1].split("@")]
    arch = urllib.parse.parse_qs(purl.query)["arch"][0]
    kind = "/".join(purl.path.split("/")[:2])
    print("component", component["name"], component["version"], kind, name, version, arch)
' "$release.cdx.json" >"$work/bom"
exe=$(sha256sum <"$folder/veltrin-backend.exe" | cut -d ' ' -f 1)
grep -qx "exe $exe" "$work/bom" ||
  { echo "$release.cdx.json does not name the exe by its sum, $exe" && exit 1; }
sed -n 's/^component \([^ ]*\) \([^ ]*\) .*/\1 \2/p' "$work/bom" >"$work/components"
awk '/^$/ && seen { exit } /^  [^ ]/ { seen = 1; print $2, $3 }' \
  "$folder/THIRD-PARTY-NOTICES.txt" | sort -u | diff - "$work/components"
while read -r word component version type name purl_version arch; do
  [ "$word" = component ] || continue
  installed=$(dpkg-query -W -f '${Version} ${Architecture}' "$component")
  [ "$type $name $purl_version $arch" = "deb/debian $component $installed" ] || {
    echo "$release.cdx.json: $component's purl is not of $component $installed" && exit 1
  }
done <"$work/bom"
echo "$release.cdx.json names the exe by its sum, and the packages of the notices as installed"
