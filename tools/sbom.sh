#!/bin/sh
# Writes the release's bill of materials, CycloneDX 1.6 in JSON, for
# vulnerability scanners and software inventories: the program, with the
# SHA-256 of the exe as shipped, and one component for each Debian package
# that the link took files from, with the archives and members it took as
# evidence. It is made from the same list as the notices
# (tools/linked-files.sh), so that the two cannot disagree. Nothing in it
# is of the build's own moment or machine: its timestamp is the release's
# moment, and its serial number is derived from its content. Its fields:
# docs/release.md.
#
# usage: tools/sbom.sh OUTPUT NAME VERSION DESCRIPTION LICENCE EPOCH EXE
#                      LINKED-FILES
set -eu
. "$(dirname "$0")/common.sh"

output=$1 name=$2 version=$3 description=$4 licence=$5 epoch=$6 exe=$7
linked=$8
export LC_ALL=C
# shellcheck disable=SC1091 # the build machine's own
. /etc/os-release
vendor=$(sed -n 's/^Vendor: //p' /etc/dpkg/origins/default)
vendor_url=$(sed -n 's/^Vendor-URL: //p' /etc/dpkg/origins/default)

# A purl's parts are percent-encoded, all but letters, digits, ".-_~" and ":".
purl_encode() {  # text
  printf '%s\n' "$1" | awk 'BEGIN { for (i = 1; i < 256; i++) code[sprintf("%c", i)] = i }
    { for (i = 1; i <= length($0); i++) {
        c = substr($0, i, 1)
        if (c ~ /[A-Za-z0-9._~:-]/) printf "%s", c; else printf "%%%02X", code[c]
    } }'
}
purl() {  # package, version, architecture
  printf 'pkg:deb/%s/%s@%s?arch=%s&distro=%s-%s' "$ID" "$(purl_encode "$1")" \
    "$(purl_encode "$2")" "$(purl_encode "$3")" "$ID" "$VERSION_ID"
}
upstream_version() {  # Debian version: less its epoch and revision
  printf '%s' "$1" | sed 's/^[0-9]*://; s/-[^-]*$//'
}
# A Debian licence short name as an SPDX identifier, where one is the same
# licence; else nothing.
spdx() {  # short name
  case $1 in
  GPL-[0-9] | GPL-[0-9].[0-9] | LGPL-[0-9] | LGPL-[0-9].[0-9] | AGPL-[0-9])
    printf '%s-only' "$(printf '%s' "$1" | sed 's/-\([0-9]\)$/-\1.0/')" ;;
  GPL-[0-9]+ | GPL-[0-9].[0-9]+ | LGPL-[0-9]+ | LGPL-[0-9].[0-9]+ | AGPL-[0-9]+)
    printf '%s-or-later' "$(printf '%s' "${1%+}" | sed 's/-\([0-9]\)$/-\1.0/')" ;;
  Apache-2.0 | Artistic-2.0 | ISC | MPL-2.0 | Zlib | ZPL-2.1 | CC0-1.0) printf '%s' "$1" ;;
  BSD-[234]-clause) printf 'BSD-%s-Clause' "$(printf '%s' "$1" | cut -d - -f 2)" ;;
  Expat | expat | MIT) printf MIT ;;
  esac
}
# The licences of a package, one JSON object a line, from its copyright
# file where that is machine-readable: each short name as SPDX has it, or
# as a LicenseRef- with the file that holds its text. A file that is not
# machine-readable is named as a whole, rather than read by guess.
licences() {  # copyright file
  if ! head -n 1 "$1" | grep -q '^Format: .*copyright-format'; then
    printf '{"license": {"name": %s, "url": %s}}\n' \
      "$(json_string "LicenseRef-$(basename "$(dirname "$1")" | tr -c 'A-Za-z0-9.\n-' -)-copyright")" \
      "$(json_string "file://$1")"
    return
  fi
  sed -n 's/^License: *//p' "$1" | sed 's/ and /\n/g; s/ or /\n/g; s/, */\n/g' |
    sed 's/ *$//' | sort -u | while read -r short; do
    id=$(spdx "$short")
    if [ -n "$id" ]; then
      printf '{"license": {"id": %s}}\n' "$(json_string "$id")"
    else
      printf '{"license": {"name": %s, "url": %s}}\n' \
        "$(json_string "LicenseRef-$(printf '%s' "$short" | tr -c 'A-Za-z0-9.-' -)")" \
        "$(json_string "file://$1")"
    fi
  done | sort -u
}
joined() {  # indent: the lines of standard input as JSON array items
  sed "s/^/$1/; \$!s/\$/,/"
}

exe_sum=$(sha256sum <"$exe" | cut -d ' ' -f 1)
program_ref=$name@$version
cut -d ' ' -f 1-4 "$linked" | sort -u >"$output.packages"
{
  cat <<EOF
{
  "bomFormat": "CycloneDX",
  "specVersion": "1.6",
  "serialNumber": "@serial@",
  "version": 1,
  "metadata": {
    "timestamp": "$(date -u -d "@$epoch" +%Y-%m-%dT%H:%M:%SZ)",
    "lifecycles": [
      {
        "phase": "build"
      }
    ],
    "component": {
      "type": "application",
      "bom-ref": $(json_string "$program_ref"),
      "name": $(json_string "$name"),
      "version": $(json_string "$version"),
      "description": $(json_string "$description"),
      "hashes": [
        {
          "alg": "SHA-256",
          "content": "$exe_sum"
        }
      ],
      "licenses": [
        {
          "license": {
            "name": $(json_string "$licence")
          }
        }
      ]
    }
  },
  "components": [
EOF
  first=yes
  while read -r package package_version architecture copyright; do
    [ -n "$first" ] || echo "    },"
    first=''
    dpkg-query -W -f '${binary:Summary}\n${Homepage}\n${Maintainer}\n${Built-Using}\n' \
      "$package" >"$output.fields"
    { read -r summary; read -r homepage; read -r maintainer; read -r built_using; } \
      <"$output.fields"
    upstream_name=$(sed -n '/^$/q; s/^Upstream-Name: *//p' "$copyright")
    upstream=$package_version
    # A package built from another's source says so, with that source's
    # version: GCC's, for the cross compilers.
    case $built_using in
    ?*' (= '*')')
      upstream_name=${upstream_name:-${built_using%% *}}
      upstream=${built_using#* (= }
      upstream=${upstream%%)*}
      ;;
    esac
    ref=$(purl "$package" "$package_version" "$architecture")
    cat <<EOF
    {
      "type": "library",
      "bom-ref": $(json_string "$ref"),
      "supplier": {
        "name": $(json_string "$vendor"),
        "url": [
          $(json_string "$vendor_url")
        ],
        "contact": [
          {
            "name": $(json_string "${maintainer% <*}"),
            "email": $(json_string "$(printf '%s' "$maintainer" | sed -n 's/.*<\(.*\)>.*/\1/p')")
          }
        ]
      },
      "name": $(json_string "$package"),
      "version": $(json_string "$package_version"),
      "description": $(json_string "$summary"),
      "licenses": [
$(licences "$copyright" | joined '        ')
      ],
      "purl": $(json_string "$ref"),
EOF
    if [ -n "$homepage" ]; then
      cat <<EOF
      "externalReferences": [
        {
          "type": "website",
          "url": $(json_string "$homepage")
        }
      ],
EOF
    fi
    if [ -n "$upstream_name" ]; then
      cat <<EOF
      "pedigree": {
        "ancestors": [
          {
            "type": "library",
            "name": $(json_string "$upstream_name"),
            "version": $(json_string "$(upstream_version "$upstream")")
          }
        ]
      },
EOF
    fi
    cat <<EOF
      "evidence": {
        "occurrences": [
$(awk -v p="$package" '$1 == p {
        location = $5 ($6 == "-" ? "" : "(" $6 ")")
        gsub(/[\\"]/, "\\\\&", location)
        printf "{\"location\": \"%s\"}\n", location
      }' "$linked" | joined '          ')
        ]
      }
EOF
  done <"$output.packages"
  [ -n "$first" ] || echo "    }"
  cat <<EOF
  ],
  "dependencies": [
    {
      "ref": $(json_string "$program_ref"),
      "dependsOn": [
$(while read -r package package_version architecture copyright; do
    json_string "$(purl "$package" "$package_version" "$architecture")"
    echo
  done <"$output.packages" | joined '        ')
      ]
    }
  ]
}
EOF
} >"$output.body"

# A name-based UUID (version 5, in the URL namespace) of everything else the
# document says, so that the same content always has the same serial.
name_sum=$({
  printf '\153\247\270\021\235\255\021\321\200\264\000\300\117\324\060\310'
  printf 'urn:sha256:%s' "$(sha256sum <"$output.body" | cut -d ' ' -f 1)"
} | sha1sum | cut -d ' ' -f 1)
serial=$(printf '%s' "$name_sum" | awk '{
  variant = index("0123456789abcdef", substr($0, 17, 1)) - 1
  printf "%s-%s-5%s-%x%s-%s", substr($0, 1, 8), substr($0, 9, 4),
    substr($0, 14, 3), variant % 4 + 8, substr($0, 18, 3), substr($0, 21, 12)
}')
sed "s/@serial@/urn:uuid:$serial/" "$output.body" >"$output.part"
rm "$output.body" "$output.packages" "$output.fields"
mv "$output.part" "$output"
