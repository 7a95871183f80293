# Shell functions that the release tools share, so that what they know of
# git, dpkg, osslsigncode and the release's own files is written once.
# Sourced, never run; none of them changes the shell options of its caller.

# A tree that belongs to another user, such as a folder mounted into a
# container, is one git refuses to read unless told to trust it: the
# current folder, the top of the tree, for the caller's own calls only.
git() {
  command git -c safe.directory="$(pwd -P)" "$@"
}

# dash runs no EXIT trap when a signal ends the script, so that scratch
# folders would stay: each signal ends it through exit instead, with the
# status that the signal would have given.
exit_on_signals() {
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

# The value that the Windows build's CMake cache holds for a variable.
windows_cache() {  # variable
  sed -n "s/^$1:[A-Z]*=//p" build/windows/CMakeCache.txt
}

# The value of a field of a .buildinfo, or nothing.
buildinfo_field() {  # .buildinfo, field
  sed -n "s/^$2: //p" "$1"
}
# "PACKAGE VERSION" for each package of its Installed-Build-Depends that
# has a Debian package's name.
buildinfo_depends() {  # .buildinfo
  sed -n '/^Installed-Build-Depends:/,/^[^ ]/s/^ \([a-z0-9][a-z0-9+.-]*\) (= \([^)]*\)),\{0,1\}$/\1 \2/p' "$1"
}
# "SUM SIZE" that its Checksums-Sha256 gives for a file, or nothing.
buildinfo_checksum() {  # .buildinfo, file name
  awk -v name="$2" '/^[^ ]/ { in_sums = $0 == "Checksums-Sha256:" }
    in_sums && $3 == name { print $1, $2 }' "$1"
}

# "PACKAGE VERSION ARCHITECTURE" for each installed package that the dpkg
# patterns match, sorted: a package installed for two architectures is on
# two lines, and one removed but not purged is on none.
installed_packages() {  # pattern...
  dpkg-query -W -f '${db:Status-Status} ${Package} ${Version} ${Architecture}\n' \
    "$@" 2>/dev/null | sed -n 's/^installed //p' | sort -u
}

have_signing_tools() {
  command -v osslsigncode >/dev/null 2>&1 && command -v openssl >/dev/null 2>&1
}
signing_tools='osslsigncode and openssl, which tools/setup.sh sign installs'

# A string as JSON writes it.
json_string() {  # text of one line
  printf '"%s"' "$(printf '%s' "$1" | sed 's/[\\"]/\\&/g; s/\t/\\t/g')"
}

# The release's zip holds these, in a folder of the release's name.
release_members() {  # release's name, program's name
  printf '%s\n' "$1/README.md" "$1/THIRD-PARTY-NOTICES.txt" "$1/$2.exe"
}

# The certificate that a signature names as its signer's, whatever else it
# carries; -nosigs, as an Authenticode signature is over a digest of the
# exe that openssl does not know how to compute.
signer_certificate() {  # PEM PKCS#7
  openssl smime -verify -noverify -nosigs -inform PEM -in "$1" \
    -signer /dev/stdout -out /dev/null 2>/dev/null
}
certificate_subject() {  # PEM certificate on standard input
  openssl x509 -noout -subject -nameopt oneline,-esc_msb | sed 's/^subject=//'
}
certificate_fingerprint() {  # PEM certificate on standard input
  openssl x509 -noout -fingerprint -sha256 | sed 's/^[^=]*=//'
}

# osslsigncode verify, with the chains checked against the files given and
# never this machine's trust, and no revocation list fetched: 2.9 fetches
# the lists that the certificates name unless told not to, and 2.5, which
# has no such option, fetches none.
authenticode_verify() {  # osslsigncode verify's options...
  if osslsigncode verify --help 2>&1 | grep -q -- '-ignore-crl'; then
    set -- -ignore-crl "$@"
  fi
  osslsigncode verify "$@"
}
# What a log of authenticode_verify says, in the words of both 2.5 and 2.9,
# as one "KEY VALUE" line each:
#   digest     same, other or none: whether the bytes are those the
#              signatures sign, or there is no signature
#   signature  ok or failed: the signer's chain
#   timestamp  ok, failed or none: the timestamp's chain, or no timestamp
#   time       when it was timestamped, and authority, who certified the
#              time-stamp authority
#   reason     why the signer's chain was refused, and tsa-reason why the
#              timestamp's was, as OpenSSL says it
authenticode_findings() {  # log, or - for standard input
  awk -F ' *: *' '
    $1 == "Current message digest" { split($2, word, " "); current[++n] = word[1] }
    $1 == "Calculated message digest" { split($2, word, " "); computed[++m] = word[1] }
    $1 ~ /^[[:space:]]*Timestamp time$/ || $1 == "The signature is timestamped" {
      time = $0; sub(/^[^:]*: */, "", time); stamped = 1; next
    }
    stamped && authority == "" && $1 ~ /^[[:space:]]*Issuer$/ {
      authority = $0; sub(/^[^:]*: */, "", authority)
    }
    $0 == "Timestamp Server Signature verification: ok" { timestamp = "ok" }
    $0 == "Timestamp Server Signature verification: failed" { timestamp = "failed" }
    $0 == "Signature verification: ok" { signature = "ok" }
    /Verify error: / {
      why = $0; sub(/.*Verify error: */, "", why)
      if (/PKCS7_verify/) reason = why
      if (/CMS routines/) tsa_reason = why
    }
    END {
      digest = n == 0 ? "none" : n == m ? "same" : "other"
      for (i = 1; i <= n; i++) if (current[i] != computed[i]) digest = "other"
      print "digest", digest
      print "signature", signature == "ok" ? "ok" : "failed"
      print "timestamp", timestamp == "" || !stamped ? "none" : timestamp
      if (stamped) print "time", time
      if (authority != "") print "authority", authority
      if (reason != "") print "reason", reason
      if (tsa_reason != "") print "tsa-reason", tsa_reason
    }' "$1"
}
# The value of one key of authenticode_findings' output.
finding() {  # findings, key
  printf '%s\n' "$1" | sed -n "s/^$2 //p"
}

# The usage in the running tool's header, from its "# usage:" line to the
# end of the header: on standard output with status 0, as --help asks for
# it, or on standard error with status 2, for a command line it refuses.
usage() {  # exit status
  sed -n '/^# usage:/,/^set -eu$/{/^set -eu$/d; s/^# \{0,1\}//p}' "$0" |
    if [ "$1" = 0 ]; then cat; else cat >&2; fi
  exit "$1"
}
