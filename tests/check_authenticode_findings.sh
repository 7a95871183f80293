#!/bin/sh
# Reads what osslsigncode verify printed, as recorded from Debian 12's 2.5
# and from 2.9 (Debian 13, and bookworm-backports) in tests/osslsigncode/,
# and checks that tools/common.sh finds the same in the words of each. The
# logs are of exes signed with tests/throwaway.sh's certificates, checked
# with authenticode_verify: -CAfile and -TSA-CAfile the roots, another
# root, or /dev/null as the build's signing step gives them.
#
# usage: check_authenticode_findings.sh
set -eu

cd "$(dirname "$0")"
. ../tools/common.sh
stamped="time Dec  9 21:29:46 2026 GMT; authority /CN=veltrin-backend throwaway time-stamp root"
issuer="unable to get local issuer certificate"

# One case a row: the log's name after the version, and what is found in
# it, the lines joined with "; ".
failed=0
while IFS='|' read -r log expected; do
  for version in 2.5 2.9; do
    actual=$(authenticode_findings "osslsigncode/$version-$log.txt" |
      sed ':a; N; s/\n/; /; ta')
    if [ "$actual" = "$expected" ]; then
      echo "ok: $version $log"
    else
      echo "$version $log: $actual" && failed=1
    fi
  done
done <<ROWS
good|digest same; signature ok; timestamp ok; $stamped
changed|digest other; signature failed; timestamp none
unsigned|digest none; signature failed; timestamp none
other-root|digest same; signature failed; timestamp ok; $stamped; reason $issuer
other-tsa-root|digest same; signature ok; timestamp failed; $stamped; tsa-reason $issuer
expired|digest same; signature failed; timestamp none; reason certificate has expired
untrusted|digest same; signature failed; timestamp failed; $stamped
ROWS
exit $failed
