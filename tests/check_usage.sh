#!/bin/sh
# Runs each command that a document tells a user to run with --help, -h and
# an option it does not take, and checks where its usage goes and its exit
# status: standard output and 0 when asked for, standard error and 2 when
# refused; and that the usage names every option that its command line
# takes, as its shell case patterns or its argparse options name them.
#
# usage: check_usage.sh
set -eu

cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One case a row: the exit status, the stream that carries the usage, the
# command and its arguments.
failed=0
while read -r status stream tool arguments; do
  actual=0
  # shellcheck disable=SC2086 # one word per argument
  "$tool" $arguments >"$work/stdout" 2>"$work/stderr" </dev/null || actual=$?
  problems=
  [ "$actual" = "$status" ] || problems="$problems; exit status $actual"
  other=stdout
  [ "$stream" = stderr ] || other=stderr
  # A tool that a user may copy anywhere names itself by its file's name.
  head -n 1 "$work/$stream" | grep -q -e "^usage: $tool " -e "^usage: ${tool##*/} " ||
    problems="$problems; no usage on $stream"
  [ ! -s "$work/$other" ] || problems="$problems; $other: $(head -n 1 "$work/$other")"
  for option in $({
    sed -n 's/^ *\(--[a-z0-9| -]*\)).*/\1/p' "$tool" | tr '|' '\n' | tr -d ' '
    grep -o 'add_argument("--[a-z0-9-]*"' "$tool" | sed 's/.*("//; s/"$//'
  } | grep '^--'); do
    grep -q -- "$option" "$work/$stream" || problems="$problems; no $option"
  done
  if [ -n "$problems" ]; then
    echo "$tool $arguments$problems" && failed=1
  else
    echo "ok: $tool $arguments"
  fi
done <<ROWS
0 stdout tools/setup.sh          --help
0 stdout tools/setup.sh          -h
2 stderr tools/setup.sh          --unknown
0 stdout tools/sign.py           --help
0 stdout tools/sign.py           -h
2 stderr tools/sign.py           --unknown x
0 stdout tools/verify-release.py --help
0 stdout tools/verify-release.py -h
2 stderr tools/verify-release.py --unknown
0 stdout tools/manifests.py      --help
0 stdout tools/manifests.py      -h
2 stderr tools/manifests.py      --unknown x
0 stdout tools/release/rebuilders.py --help
2 stderr tools/release/rebuilders.py --unknown
0 stdout tests/throwaway.sh      --help
0 stdout tests/throwaway.sh      -h
2 stderr tests/throwaway.sh      --unknown
ROWS
exit $failed
