#!/bin/sh
# Writes the notices that the licences of the toolchain's statically linked
# libraries ask a binary distribution to carry. The link map names what the
# link took from the toolchain; the Debian packages that ship those files
# give the copyright notices and licence terms, so the notices follow the
# toolchain that built the program, not a copy kept by hand.
#
# usage: tools/third-party-notices.sh PROGRAM LINK-MAP OUTPUT
set -eu

program=$1 map=$2 output=$3
export LC_ALL=C

# The archives the link took members from, and the objects it loaded whole.
# The program's own files are those given by relative paths.
linked=$(awk '
  /^Archive member included/ { archives = 1; next }
  /^(Discarded input sections|Memory Configuration)/ { archives = 0 }
  archives && /^\// { sub(/\(.*/, ""); print }
  $1 == "LOAD" && $2 ~ /^\// && $2 !~ /\.a$/ { print $2 }' "$map" | sort -u)
[ -n "$linked" ] || { echo "$map names no linked library" >&2 && exit 1; }

# One row per linked file: its copyright file, name, package and version.
rows=$output.rows
for file in $linked; do
  owner=$(dpkg-query -S "$(realpath -s "$file")" 2>/dev/null) || {
    echo "no Debian package ships $file, so its licence is unknown" >&2
    exit 1
  }
  package=${owner%%: *}
  package=${package%%[,:]*}
  copyright=$(realpath "/usr/share/doc/$package/copyright")
  printf '%s %s %s %s\n' "$copyright" "${file##*/}" "$package" \
    "$(dpkg-query -W -f '${Version}' "$package")"
done >"$rows"
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
