#!/bin/sh
# Lists what the link took from the toolchain, as the link map says it, and
# which Debian package ships each file: the one list from which both the
# notices and the bill of materials are written, so that the two cannot
# disagree. The program's own objects, given by relative paths, are left
# out. One line each, sorted:
#   PACKAGE VERSION ARCHITECTURE COPYRIGHT-FILE FILE MEMBER
# where MEMBER is the archive member the link took, or - for an object
# loaded whole.
#
# usage: tools/linked-files.sh LINK-MAP OUTPUT
set -eu
. "$(dirname "$0")/common.sh"

map=$1 output=$2
export LC_ALL=C

awk '
  /^Archive member included/ { archives = 1; next }
  /^(Discarded input sections|Memory Configuration)/ { archives = 0 }
  archives && /^\// { sub(/\)$/, ""); sub(/\(/, " "); print $1, $2 }
  $1 == "LOAD" && $2 ~ /^\// && $2 !~ /\.a$/ { print $2, "-" }' "$map" |
  sort -u >"$output.linked"
# The map's paths, such as .../12-win32/../../../../x86_64-w64-mingw32/lib,
# as the packages name them.
cut -d ' ' -f 1 "$output.linked" | uniq >"$output.given"
# shellcheck disable=SC2046 # one word per file, none with a blank
realpath -s $(cat "$output.given") | paste -d ' ' "$output.given" - >"$output.real"
awk 'FILENAME == ARGV[1] { real[$1] = $2; next } { print real[$1], $2 }' \
  "$output.real" "$output.linked" | sort -u >"$output.files"
rm "$output.linked" "$output.given" "$output.real"
[ -s "$output.files" ] || { echo "$map names no linked library" >&2 && exit 1; }

# dpkg answers for every file at once, with "PACKAGE[:ARCH][, ...]: FILE".
cut -d ' ' -f 1 "$output.files" | sort -u >"$output.paths"
# shellcheck disable=SC2046 # one word per file, none with a blank
dpkg-query -S $(cat "$output.paths") 2>/dev/null |
  sed -n 's/^\([a-z0-9][a-z0-9+.-]*\)\(:[a-z0-9-]*\)\{0,1\}: \(\/.*\)$/\3 \1/p' |
  sort -u >"$output.owners" || true
unowned=$(awk 'FILENAME == ARGV[1] { owned[$1] = 1; next } !($1 in owned)' \
  "$output.owners" "$output.paths" | head -n 1)
if [ -n "$unowned" ]; then
  echo "no Debian package ships $unowned, so its licence is unknown" >&2
  exit 1
fi
# shellcheck disable=SC2046 # one word per package
installed_packages $(cut -d ' ' -f 2 "$output.owners" | sort -u) >"$output.packages"

awk 'FILENAME == ARGV[1] { owner[$1] = $2; next }
  FILENAME == ARGV[2] { package[$1] = $2 " " $3; next }
  { print owner[$1], package[owner[$1]], $1, $2 }' \
  "$output.owners" "$output.packages" "$output.files" >"$output.rows"
# Each package's copyright file, which may be another package's.
for package in $(cut -d ' ' -f 1 "$output.packages"); do
  echo "$package $(realpath "/usr/share/doc/$package/copyright")"
done >"$output.copyrights"
awk 'FILENAME == ARGV[1] { copyright[$1] = $2; next }
  { print $1, $2, $3, copyright[$1], $4, $5 }' \
  "$output.copyrights" "$output.rows" | sort >"$output.part"
rm "$output.rows" "$output.copyrights"
rm "$output.files" "$output.paths" "$output.owners" "$output.packages"
mv "$output.part" "$output"
