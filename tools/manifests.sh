#!/bin/sh
# Writes, from the Windows release in build/windows, signed or not, the
# manifests by which winget and scoop install it as a portable package:
# winget's three files in its community repository's layout under
# build/windows/manifests/winget/, and scoop's one under
# build/windows/manifests/scoop/. What the tree or the release knows comes
# from there: the name, version, description and licence as CMake has them,
# the zip's name and sum and the exe's path in it, the release's date (its
# moment, not the clock's) and the publisher, from the signer's certificate
# (its organization, or else its common name). The same release and options
# give the same bytes. A bad input is refused with one line, and nothing is
# written. Publishing them: docs/release.md.
#
# usage: tools/manifests.sh --url ZIP-URL --homepage URL [--publisher NAME]
#   --url ZIP-URL     the https address where the zip will be published,
#                     which ends in the zip's name
#   --homepage URL    the project's home page
#   --publisher NAME  the publisher's name, for an unsigned release, or in
#                     place of the signer's
#   --help, -h        print this usage
set -eu
. "$(dirname "$0")/common.sh"

fail() {  # why
  echo "manifests.sh: $*" >&2
  exit 1
}

case ${1-} in --help | -h) usage 0 ;; esac
url='' homepage='' publisher=''
while [ $# -ge 2 ]; do
  case $1 in
  --url) url=$2 ;;
  --homepage) homepage=$2 ;;
  --publisher) publisher=$2 ;;
  *) usage 2 ;;
  esac
  shift 2
done
[ $# = 0 ] && [ -n "$url" ] && [ -n "$homepage" ] || usage 2

cd "$(dirname "$0")/.."
[ -f build/windows/CMakeCache.txt ] || fail "no release in build/windows: run cmake --workflow --preset windows first"
program=$(windows_cache CMAKE_PROJECT_NAME)
version=$(windows_cache CMAKE_PROJECT_VERSION)
description=$(windows_cache CMAKE_PROJECT_DESCRIPTION)
licence=$(windows_cache PROJECT_LICENSE)
name=$program-$version-win64
release=build/windows/$name
[ -f "$release.zip" ] && [ -f "$release.buildinfo" ] ||
  fail "no release in build/windows: run cmake --workflow --preset windows first"

# What the owner gives is checked before anything is written. Addresses
# hold nothing that YAML or JSON would need escaped.
case $url in
https://*/"$name.zip") ;;
*) fail "--url must be an https:// address that ends in /$name.zip, not '$url'" ;;
esac
case $homepage in
http://?* | https://?*) ;;
*) fail "--homepage must be an http:// or https:// address, not '$homepage'" ;;
esac
case $url$homepage in
*[[:space:][:cntrl:]\"\\\<\>]*)
  fail "an address holds a blank, or a character that addresses escape:" \
    "'$url' '$homepage'"
  ;;
esac
if [ -z "$publisher" ] && [ -f "$release.signature" ]; then
  certificate=$(signer_certificate "$release.signature")
  for field in O CN; do
    [ -n "$publisher" ] || publisher=$(printf '%s\n' "$certificate" |
      openssl x509 -noout -subject -nameopt multiline,-esc_msb,utf8,sname |
      sed -n "s/^ *$field *= //p" | head -n 1)
  done
fi
[ -n "$publisher" ] ||
  fail "the release is not signed: give the publisher's name with --publisher"
# winget's rule for each part of a package identifier.
publisher_id=$(printf '%s' "$publisher" | tr -d ' .')
case $publisher_id in
'' | *[\\/:*?\"\<\>\|]* | *[[:space:][:cntrl:]]*) valid=no ;;
*) valid=yes ;;
esac
[ "$valid" = yes ] && [ ${#publisher_id} -le 32 ] ||
  fail "the publisher '$publisher' makes the package identifier" \
    "'$publisher_id.$program', which winget refuses: without its blanks and" \
    "dots, a publisher's name has 1 to 32 characters, none of \\/:*?\"<>|"
identifier=$publisher_id.$program

sum=$(sha256sum <"$release.zip" | cut -d ' ' -f 1)
exe=$(cmake -E tar tf "$release.zip" | grep '\.exe$')
[ "$(printf '%s\n' "$exe" | wc -l)" = 1 ] || fail "$name.zip must hold one exe"
date=$(date -u -d "@$(buildinfo_field "$release.buildinfo" Source-Date-Epoch)" +%F)

yaml() {  # a YAML string, single-quoted, so that no reader takes it for more
  printf "'%s'" "$(printf '%s' "$1" | sed "s/'/''/g")"
}
work=$(mktemp -d build/windows/manifests.XXXXXX)
trap 'rm -rf "$work"' EXIT
exit_on_signals

winget=$work/winget/manifests/$(printf '%.1s' "$publisher_id" | tr 'A-Z' 'a-z')
winget=$winget/$publisher_id/$program/$version
mkdir -p "$winget" "$work/scoop"
# Lines are written with printf: dash's echo would take the backslash of
# a Windows path for an escape.
line() {
  printf '%s\n' "$*"
}
header() {  # the schema's name
  line "# Made by tools/manifests.sh from $name.zip."
  line "# yaml-language-server: \$schema=https://aka.ms/winget-manifest.$1.1.12.0.schema.json"
  echo
  line "PackageIdentifier: $(yaml "$identifier")"
  line "PackageVersion: $(yaml "$version")"
}
footer() {  # manifest type
  line "ManifestType: $1"
  line "ManifestVersion: 1.12.0"
}
{
  header version
  line "DefaultLocale: en-US"
  footer version
} >"$winget/$identifier.yaml"
{
  header installer
  line "InstallerType: zip"
  line "NestedInstallerType: portable"
  line "NestedInstallerFiles:"
  line "- RelativeFilePath: $(yaml "$(printf '%s' "$exe" | tr / '\\')")"
  line "  PortableCommandAlias: $(yaml "$program")"
  line "ReleaseDate: $(yaml "$date")"
  line "Installers:"
  line "- Architecture: x64"
  line "  InstallerUrl: $(yaml "$url")"
  line "  InstallerSha256: $(printf '%s' "$sum" | tr 'a-f' 'A-F')"
  footer installer
} >"$winget/$identifier.installer.yaml"
{
  header defaultlocale
  line "PackageLocale: en-US"
  line "Publisher: $(yaml "$publisher")"
  line "PackageName: $(yaml "$program")"
  line "PackageUrl: $(yaml "$homepage")"
  line "License: $(yaml "$licence")"
  line "ShortDescription: $(yaml "$description")"
  footer defaultLocale
} >"$winget/$identifier.locale.en-US.yaml"

# scoop finds new versions where the address is a GitHub release's, and
# then fetches each from the same address with the version changed.
extract_dir=${exe%/*}
templated() {  # text: with the version as scoop's $version
  printf '%s' "$1" | sed "s/$(printf '%s' "$version" | sed 's/\./\\./g')/\$version/g"
}
github=$(printf '%s\n' "$url" |
  sed -n 's|^\(https://github\.com/[^/]*/[^/]*\)/releases/download/.*|\1|p')
{
  line "{"
  line "    \"version\": $(json_string "$version"),"
  line "    \"description\": $(json_string "$description"),"
  line "    \"homepage\": $(json_string "$homepage"),"
  line "    \"license\": $(json_string "$licence"),"
  line "    \"architecture\": {"
  line "        \"64bit\": {"
  line "            \"url\": $(json_string "$url"),"
  line "            \"hash\": $(json_string "$sum"),"
  line "            \"extract_dir\": $(json_string "$extract_dir")"
  line "        }"
  line "    },"
  if [ -z "$github" ]; then
    line "    \"bin\": $(json_string "${exe##*/}")"
  else
    line "    \"bin\": $(json_string "${exe##*/}"),"
    line "    \"checkver\": {"
    line "        \"github\": $(json_string "$github")"
    line "    },"
    line "    \"autoupdate\": {"
    line "        \"architecture\": {"
    line "            \"64bit\": {"
    line "                \"url\": $(json_string "$(templated "$url")"),"
    line "                \"extract_dir\": $(json_string "$(templated "$extract_dir")")"
    line "            }"
    line "        },"
    line "        \"hash\": {"
    line "            \"url\": \"\$url.sha256\""
    line "        }"
    line "    }"
  fi
  line "}"
} >"$work/scoop/$program.json"

rm -rf build/windows/manifests
mv "$work" build/windows/manifests
find build/windows/manifests -type f | sort | sed 's/^/manifests.sh: /'
