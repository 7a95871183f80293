#!/bin/sh
# Runs one row of the case table against the program and checks the exit
# status and both streams, byte for byte.
#
# usage: run_case.sh VERSION PLATFORM ROW COMMAND...
#   VERSION   the version the program was built as
#   PLATFORM  posix, or windows where text streams may end lines in "\r\n"
#   ROW       one row of cases.txt
#   COMMAND   the program, after the emulator that runs it if there is one
set -eu

version=$1 platform=$2 row=$3
shift 3

read -r host status stream text arguments <<EOF
$row
EOF

if [ "$host" = posix ] && [ "$platform" != posix ]; then
  echo "skipped: this case needs a POSIX build"
  exit 77
fi

expected_text() {
  case $1 in
  version) printf 'veltrin-backend %s\n' "$version" ;;
  help) printf '%s\n' \
    'Usage: veltrin-backend [OPTIONS]' \
    '' \
    'Options:' \
    '  --socket <path>  Unix socket path to listen on' \
    '  --version, -v    Print version and exit' \
    '  --help, -h       Show this help' ;;
  refusal) echo '[veltrin-backend] Unix domain socket daemon not supported on Windows' ;;
  no-space) echo '[veltrin-backend] write error: No space left on device' ;;
  bad-descriptor) echo '[veltrin-backend] write error: Bad file descriptor' ;;
  -) ;;
  *) echo "unknown text '$1'" >&2 && exit 2 ;;
  esac
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/cwd"
: >"$work/cwd/-v"
: >"$work/empty"
expected_text "$text" >"$work/text"
case $stream in
stdout) expected_stdout=$work/text expected_stderr=$work/empty ;;
stderr) expected_stdout=$work/empty expected_stderr=$work/text ;;
-) expected_stdout=$work/empty expected_stderr=$work/empty ;;
*) echo "unknown stream '$stream'" >&2 && exit 2 ;;
esac

# The streams go to files, not pipes: helper processes that an emulator
# leaves behind would otherwise hold the test open.
actual_status=0
(cd "$work/cwd" && eval "\"\$@\" $arguments") \
  <"$work/empty" >"$work/stdout" 2>"$work/stderr" || actual_status=$?

# True if file $1 holds exactly the bytes of file $2, or on Windows the same
# text with "\r\n" line ends.
same() {
  cmp -s "$1" "$2" && return 0
  [ "$platform" = windows ] || return 1
  awk '{ printf "%s\r\n", $0 }' "$2" >"$2.crlf"
  cmp -s "$1" "$2.crlf"
}

failed=0
if [ "$actual_status" != "$status" ]; then
  echo "exit status: expected $status, got $actual_status"
  failed=1
fi
check_stream() {  # name, file of the expected bytes
  same "$work/$1" "$2" && return 0
  echo "$1: expected"
  od -c "$2"
  echo "$1: got"
  od -c "$work/$1" | head -n 20
  failed=1
}
check_stream stdout "$expected_stdout"
check_stream stderr "$expected_stderr"
exit $failed
