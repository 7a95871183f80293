#!/bin/sh
# Runs each tool that a user runs with --help, -h and an option it does not
# take, and checks where its usage goes and its exit status: standard
# output and 0 when asked for, standard error and 2 when refused; and that
# the usage names every option that the tool's command line takes.
#
# usage: check_usage.sh
set -eu

cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One case a row: the exit status, the stream that carries the usage, the
# tool and its arguments.
failed=0
while read -r status stream tool arguments; do
  actual=0
  # shellcheck disable=SC2086 # one word per argument
  "tools/$tool" $arguments >"$work/stdout" 2>"$work/stderr" </dev/null || actual=$?
  problems=
  [ "$actual" = "$status" ] || problems="$problems; exit status $actual"
  other=stdout
  [ "$stream" = stderr ] || other=stderr
  head -n 1 "$work/$stream" | grep -q "^usage: tools/$tool " ||
    problems="$problems; no usage on $stream"
  [ ! -s "$work/$other" ] || problems="$problems; $other: $(head -n 1 "$work/$other")"
  # The options that the tool's command line takes, as its case patterns
  # name them.
  for option in $(sed -n 's/^ *\(--[a-z0-9| -]*\)).*/\1/p' "tools/$tool" |
    tr '|' '\n' | tr -d ' ' | grep '^--'); do
    grep -q -- "$option" "$work/$stream" || problems="$problems; no $option"
  done
  if [ -n "$problems" ]; then
    echo "$tool $arguments$problems" && failed=1
  else
    echo "ok: $tool $arguments"
  fi
done <<ROWS
0 stdout setup.sh          --help
0 stdout setup.sh          -h
2 stderr setup.sh          --unknown
0 stdout sign.sh           --help
0 stdout sign.sh           -h
2 stderr sign.sh           --unknown x
0 stdout verify-release.sh --help
0 stdout verify-release.sh -h
2 stderr verify-release.sh --unknown
0 stdout manifests.sh      --help
0 stdout manifests.sh      -h
2 stderr manifests.sh      --unknown x
ROWS
exit $failed
