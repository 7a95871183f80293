#!/bin/sh
# Runs tools/verify-release.sh on forged copies of published releases and
# checks its verdict: the exit status, the line on standard error, and on
# standard output the line it gives each file it compares. Each must come
# however the forgery throws the tools it calls: diffoscope hangs on a zip
# whose end record is damaged. Needs faketime (tools/setup.sh rebuild).
#
# usage: check_verify_release.sh STAMPED PLAIN MATERIAL
#   STAMPED   a published release whose signature is timestamped
#   PLAIN     a published release whose signature is not
#   MATERIAL  the folder of tests/throwaway.sh that signed both
set -eu

stamped=$1 plain=$2 material=$3
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
set -- "$stamped"/*.zip
name=$(basename "$1" .zip)
commit=$(git -c safe.directory="$(pwd -P)" rev-parse HEAD)
other=0000000000000000000000000000000000000000

forge() {  # how, release folder
  case $1 in
  zip-end)  # the last byte, in the end record, with a .sha256 to match
    size=$(wc -c <"$2/$name.zip")
    printf Z | dd of="$2/$name.zip" bs=1 seek=$((size - 1)) conv=notrunc 2>/dev/null
    (cd "$2" && sha256sum "$name.zip" >"$name.zip.sha256")
    ;;
  zip-byte)
    printf Z | dd of="$2/$name.zip" bs=1 seek=1000 conv=notrunc 2>/dev/null
    ;;
  commit) sed -i "s/^Source-Commit: .*/Source-Commit: $other/" "$2/$name.buildinfo" ;;
  esac
}

# One case a row: the release, its forgery ("-" for none), how far the clock
# is shifted ("-" for not at all), the options, the exit status, the files'
# lines joined with "; " ("-" for none), and the line on standard error
# after "verify-release: ". The throwaway certificates expire in 1000 days.
failed=0
while IFS='|' read -r release forgery clock options status files message; do
  copy=$work/release
  rm -rf "$copy" && cp -R "$release" "$copy"
  forge "$forgery" "$copy"
  # A verdict that never comes is a failure too, not a wait without end.
  set -- timeout 300 tools/verify-release.sh
  [ "$clock" = - ] || set -- faketime "$clock" "$@"
  actual=0
  # shellcheck disable=SC2086 # one word per option
  "$@" $options "$copy" >"$work/stdout" 2>"$work/stderr" || actual=$?
  actual_files=$(grep -E '^(same|DIFFERS): ' "$work/stdout" | sed ':a; N; s/\n/; /; ta')
  actual_message=$(sed -n 's/^verify-release: //p' "$work/stderr")
  problems=
  [ "$actual" = "$status" ] || problems="$problems; exit status $actual"
  [ "${actual_files:--}" = "$files" ] || problems="$problems; files: $actual_files"
  [ "$actual_message" = "$message" ] || problems="$problems; stderr: $actual_message"
  if [ -n "$problems" ]; then
    echo "$forgery $clock $options$problems"
    failed=1
  else
    echo "ok: $forgery $clock $options"
  fi
done <<ROWS
$stamped|zip-end|-|--report-seconds 3|1|DIFFERS: $name.zip; DIFFERS: $name.zip.sha256; same: $name.buildinfo; same: $name.signature|the release is not what this tree builds; what differs: $name.zip $name.zip.sha256
$stamped|zip-byte|-||1|-|$name.zip does not match its .sha256: it did not arrive whole
$stamped|commit|-||1|-|this tree is commit $commit, but the release was built from commit $other: check that one out and run this again
$stamped|-|-|--root $material/other-root.pem|1|-|the signature's chain does not lead to the root in $material/other-root.pem (unable to get local issuer certificate)
$stamped|-|-|--root $material/root.pem --tsa-root $material/root.pem|1|-|the timestamp's chain does not lead to the root in $material/root.pem (unable to get local issuer certificate)
$plain|-|-|--tsa-root $material/tsa-root.pem|1|-|the signature has no timestamp to check against $material/tsa-root.pem
$plain|-|+2000days|--root $material/root.pem|1|-|the signature's chain does not lead to the root in $material/root.pem (certificate has expired)
ROWS
exit $failed
