#!/bin/sh
# Runs tools/manifests.py on the signed release in build/windows and checks
# what it writes: the publisher's folder, from the signer's certificate;
# the zip's sum in both manifests; that the exe each names is in the zip,
# and that under wine, in a prefix of its own, the exe unpacked where each
# package manager takes it from prints the version line; the same bytes
# from a second run, and from a run in another folder, which names the
# files it wrote as paths that work from there; and each bad input refused
# with one line and exit status 1, with nothing written. Needs wine and
# Python's YAML reader (tools/setup.sh windows).
#
# usage: check_manifests.sh PUBLISHER-ID
#   PUBLISHER-ID  the signer's organization as winget's identifiers have it
set -eu

publisher_id=$1
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
windows_cache() {  # variable: its value in the Windows build's CMake cache
  /usr/bin/python3 tools/release/layout.py --cache "$1"
}
version=$(windows_cache CMAKE_PROJECT_VERSION)
name=$(/usr/bin/python3 tools/release/layout.py veltrin-backend "$version")
zip=$(realpath "build/windows/$name.zip")
manifests=build/windows/manifests
url=https://example.org/releases/$name.zip
failed=0
problem() {
  echo "$*" && failed=1
}

tools/manifests.py --url "$url" --homepage https://example.org/ >/dev/null
cp -R "$manifests" "$work/first"
(cd "$work" && "$OLDPWD/tools/manifests.py" --url "$url" --homepage https://example.org/) \
  >"$work/written"
diff -r "$work/first" "$manifests" && echo "ok: a second run wrote the same bytes" ||
  problem "a second run wrote other bytes"
if [ "$(wc -l <"$work/written")" = 4 ] &&
  (cd "$work" && sed 's/^manifests: //' written | xargs ls >/dev/null); then
  echo "ok: run from another folder, it names the four files it wrote as paths from there"
else
  problem "run from another folder, it said: $(cat "$work/written")"
fi
winget=$manifests/winget/manifests/$(printf '%.1s' "$publisher_id" | tr 'A-Z' 'a-z')
winget=$winget/$publisher_id/veltrin-backend/$version
[ "$(ls "$winget" | wc -l)" = 3 ] && echo "ok: three winget files in $winget" ||
  problem "no three winget files in $winget"

# What each package manager reads: the sum, and where the exe is.
python3 -c '
import json, sys, yaml
with open(sys.argv[1]) as f:
    installer = yaml.safe_load(f)
print("winget", installer["Installers"][0]["InstallerSha256"].lower(),
      installer["NestedInstallerFiles"][0]["RelativeFilePath"].replace("\\", "/"))
with open(sys.argv[2]) as f:
    scoop = json.load(f)
package = scoop["architecture"]["64bit"]
print("scoop", package["hash"], package["extract_dir"] + "/" + scoop["bin"])
' "$winget/$publisher_id.veltrin-backend.installer.yaml" \
  "$manifests/scoop/veltrin-backend.json" >"$work/read"

# Each as its package manager does: unpacked into a folder of its own and
# run from where the manifest says, in a wine prefix that nothing else used.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all \
  WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=d
wine() {
  setarch --addr-no-randomize "$(windows_cache WINE64)" "$@"
}
wine wineboot -i >"$work/wineboot.log" 2>&1
sum=$(sha256sum <"$zip" | cut -d ' ' -f 1)
while read -r manager manifest_sum exe; do
  [ "$manifest_sum" = "$sum" ] || problem "$manager: the sum $manifest_sum, not $sum"
  cmake -E tar tf "$zip" | grep -qxF "$exe" || problem "$manager: no $exe in $zip"
  mkdir "$work/$manager"
  (cd "$work/$manager" && cmake -E tar xf "$zip")
  wine "$work/$manager/$exe" --version >"$work/$manager.out" 2>&1 </dev/null || true
  if [ "$(tr -d '\r' <"$work/$manager.out")" = "veltrin-backend $version" ]; then
    echo "ok: $manager: the sum is the zip's, and $exe says its version"
  else
    problem "$manager: $exe said: $(cat "$work/$manager.out")"
  fi
done <"$work/read"
"$(windows_cache WINESERVER)" -k
"$(windows_cache WINESERVER)" -w

# Where the zip's address is a GitHub release's, scoop's manifest says where
# to find new versions and how to fetch each, with $version in place of the
# version; elsewhere it says neither. One row a case: the address, then
# after each "|" the manifest's checkver and autoupdate, as JSON.
github=https://github.com/OWNER/REPO
templated=veltrin-backend-\$version-win64
while IFS='|' read -r address checkver autoupdate; do
  if tools/manifests.py --url "$address" --homepage https://example.org/ >/dev/null &&
    /usr/bin/python3 -c '
import json, sys
with open(sys.argv[1]) as f:
    manifest = json.load(f)
for key, wanted in zip(("checkver", "autoupdate"), sys.argv[2:]):
    if manifest.get(key) != json.loads(wanted):
        print(f"{key} is {json.dumps(manifest.get(key))}")
' "$manifests/scoop/veltrin-backend.json" "$checkver" "$autoupdate" >"$work/updates" &&
    [ ! -s "$work/updates" ]; then
    echo "ok: scoop's updates from $address"
  else
    problem "scoop's updates from $address: $(cat "$work/updates")"
  fi
done <<ROWS
$github/releases/download/v$version/$name.zip|{"github": "$github"}|{"architecture": {"64bit": {"url": "$github/releases/download/v\$version/$templated.zip", "extract_dir": "$templated"}}, "hash": {"url": "\$url.sha256"}}
$github/archive/$name.zip|null|null
https://example.org/github.com/OWNER/REPO/releases/download/v$version/$name.zip|null|null
$url|null|null
ROWS

# A tree with no release in it, and one whose release has a signature that
# is not one.
mkdir "$work/tree" "$work/damaged"
cp -R tools "$work/tree"
cp -R tools "$work/damaged"
mkdir -p "$work/damaged/build/windows"
cp build/windows/CMakeCache.txt "$zip" "build/windows/$name.buildinfo" \
  "$work/damaged/build/windows"
echo "not a signature" >"$work/damaged/build/windows/$name.signature"

# One refusal a row: the command line, as the shell reads it, then after
# the first "|" the line on standard error after "manifests: ".
find "$manifests" -type f -exec sha256sum {} + | sort >"$work/before"
while IFS= read -r row; do
  arguments=${row%%|*} message=${row#*|}
  actual=0
  eval "$arguments" >"$work/stdout" 2>"$work/stderr" || actual=$?
  problems=
  [ "$actual" = 1 ] || problems="$problems; exit status $actual"
  [ ! -s "$work/stdout" ] || problems="$problems; stdout: $(cat "$work/stdout")"
  echo "manifests: $message" | cmp -s - "$work/stderr" ||
    problems="$problems; stderr: $(cat "$work/stderr")"
  find "$manifests" -type f -exec sha256sum {} + | sort | cmp -s - "$work/before" ||
    problems="$problems; the manifests changed"
  if [ -n "$problems" ]; then problem "$arguments$problems"; else echo "ok: $arguments"; fi
done <<ROWS
$work/tree/tools/manifests.py --url $url --homepage https://example.org/|no release in build/windows: run cmake --workflow --preset windows first
$work/damaged/tools/manifests.py --url $url --homepage https://example.org/|$name.signature is not a signature, a PEM PKCS#7 as tools/sign.py writes it
tools/manifests.py --url http://example.org/$name.zip --homepage https://example.org/|--url must be an https:// address that ends in /$name.zip, not 'http://example.org/$name.zip'
tools/manifests.py --url https://example.org/veltrin-backend.zip --homepage https://example.org/|--url must be an https:// address that ends in /$name.zip, not 'https://example.org/veltrin-backend.zip'
tools/manifests.py --url $url --homepage https://example.org/ --publisher 'Example: Software'|the publisher 'Example: Software' makes the package identifier 'Example:Software.veltrin-backend', which winget refuses: without its blanks and dots, a publisher's name has 1 to 32 characters, none of \\/:*?"<>|
tools/manifests.py --url $url --homepage https://example.org/ --publisher 'The Very Long Name Of A Publishing House Ltd.'|the publisher 'The Very Long Name Of A Publishing House Ltd.' makes the package identifier 'TheVeryLongNameOfAPublishingHouseLtd.veltrin-backend', which winget refuses: without its blanks and dots, a publisher's name has 1 to 32 characters, none of \\/:*?"<>|
tools/manifests.py --url $url --homepage https://example.org/ --publisher "$(printf 'Evil\302\233Co')"|the publisher's name 'Evil\\x9bCo' holds a control or format character, which a manifest does not
tools/manifests.py --url $url --homepage https://example.org/ --publisher "$(printf 'Evil\342\200\256Co\177')"|the publisher's name 'Evil\\u202eCo\\x7f' holds a control or format character, which a manifest does not
ROWS
exit $failed
