#!/bin/sh
# Writes the notices that the licences of the toolchain's statically linked
# libraries ask a binary distribution to carry. The list of what the link
# took (tools/linked-files.sh) names the Debian packages that ship those
# files, whose copyright files give the copyright notices and licence
# terms, so the notices follow the toolchain that built the program, not a
# copy kept by hand.
#
# usage: tools/third-party-notices.sh PROGRAM LINKED-FILES OUTPUT
set -eu

program=$1 linked=$2 output=$3
export LC_ALL=C

# One row per linked file: its copyright file, name, package and version.
rows=$output.rows
awk '{ n = split($5, path, "/"); print $4, path[n], $1, $2 }' "$linked" |
  sort -u >"$rows"
copyrights=$(cut -d ' ' -f 1 "$rows" | sort -u)
licences=$(for copyright in $copyrights; do
  grep -o '/usr/share/common-licenses/[A-Za-z0-9.+-]*[A-Za-z0-9+]' "$copyright"
done | sort -u | while read -r licence; do
  [ -f "$licence" ] && realpath "$licence"
done | sort -u)

rule=$(printf '%72s' '' | tr ' ' =)
section() {  # title, file
  printf '\n%s\n%s\n%s\n\n' "$rule" "$1" "$rule"
  cat "$2"
}
{
  cat <<EOF
Third-party notices for $program

The program is linked statically with the files below, which come from the
Debian packages named beside them. Each package's copyright notices and
licences follow, as its copyright file states them, then the full texts of
the licences that those files refer to.

EOF
  sort -k 2,2 "$rows" | awk '{ printf "  %-18s %s %s\n", $2, $3, $4 }'
  for copyright in $copyrights; do
    packages=$(awk -v c="$copyright" '$1 == c { print $3 }' "$rows" |
      sort -u | paste -s -d ' ')
    section "$packages: $copyright" "$copyright"
  done
  for licence in $licences; do
    section "$licence" "$licence"
  done
} >"$output.part"
rm "$rows"
mv "$output.part" "$output"
