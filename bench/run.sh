#!/bin/sh
# Measures a build of veltrin-backend against /bin/true, side by side:
# instructions per run (callgrind, exact and repeatable), peak RSS (GNU time)
# and the median wall time (hyperfine, without a shell in between).
#
# usage: bench/run.sh [PROGRAM]    PROGRAM defaults to build/release/veltrin-backend
set -eu

program=${1:-build/release/veltrin-backend}

"$(dirname "$0")/../tools/setup.sh" --check bench
if [ ! -x "$program" ]; then
  echo "no $program: build it first with cmake --workflow --preset release" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null \
    --log-file="$work/callgrind" "$@" >/dev/null 2>&1 || true
  sed -n 's/.*Collected : *//p' "$work/callgrind"
}

peak_rss_kib() {
  /usr/bin/time -f %M -o "$work/time" "$@" >/dev/null 2>&1 || true
  tail -n 1 "$work/time"
}

median_us() {
  hyperfine -N --style none --warmup 100 --runs 2000 \
    --export-csv "$work/hyperfine.csv" "$@" >/dev/null 2>&1
  # One row per command after the header: command,mean,stddev,median,...
  awk -F, 'NR > 1 { printf "%.0f\n", $4 * 1e6 }' "$work/hyperfine.csv"
}

row() {  # label, ours, /bin/true's, target
  awk -v l="$1" -v a="$2" -v b="$3" -v t="$4" \
    'BEGIN { printf "%-28s %14s %11s %7.2f  %s\n", l, a, b, a / b, t }'
}

true_instructions=$(instructions /bin/true)
true_rss=$(peak_rss_kib /bin/true)
median_us "$program --version" /bin/true >"$work/medians"
{
  read -r our_median
  read -r true_median
} <"$work/medians"

printf '%-28s %14s %11s %7s  %s\n' \
  '' "$(basename "$program")" /bin/true ratio target
row 'instructions, --version' "$(instructions "$program" --version)" \
  "$true_instructions" '<= 100000'
row 'instructions, --help' "$(instructions "$program" --help)" \
  "$true_instructions" '<= 100000'
row 'instructions, refusal' "$(instructions "$program")" \
  "$true_instructions" '<= 100000'
row 'peak RSS KiB, --version' "$(peak_rss_kib "$program" --version)" \
  "$true_rss" '<= 1536'
row 'wall median us, --version' "$our_median" "$true_median" 'ratio <= 1'
