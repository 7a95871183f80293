#!/bin/sh
# Installs, from Debian's packages, what building veltrin-backend needs and
# the machine lacks. With everything present it installs nothing; it never
# prompts.
#
# usage: tools/setup.sh [--check] [WORD...]
#   no word   CMake, g++ and make: enough to build and test
#   lint      clang-format and clang-tidy, for the checks in .ci/run
#   windows   the mingw-w64 cross compiler, wine and strip-nondeterminism,
#             for the Windows build and its zip
#   bench     valgrind, GNU time and hyperfine, for bench/run.sh
#   --check   install nothing; name what is missing and fail if anything is
set -eu

usage() {
  echo "usage: tools/setup.sh [--check] [lint] [windows] [bench]" >&2
  exit 2
}

check_only=0
for word; do
  case $word in
  --check) check_only=1 ;;
  lint | windows | bench) ;;
  *) usage ;;
  esac
done

# Sets $missing to the packages whose command is not there.
find_missing() {
  missing=
  need cmake cmake
  need g++ g++
  need make make
  for word; do
    case $word in
    lint)
      need clang-format clang-format
      need clang-tidy clang-tidy
      ;;
    windows)
      need g++-mingw-w64-x86-64-win32 x86_64-w64-mingw32-g++-win32
      need wine64 /usr/lib/wine/wine64
      need strip-nondeterminism strip-nondeterminism
      ;;
    bench)
      need valgrind valgrind
      need time /usr/bin/time
      need hyperfine hyperfine
      ;;
    esac
  done
}
need() {  # Debian package, a command it installs
  command -v "$2" >/dev/null 2>&1 || missing="$missing $1"
}

find_missing "$@"
[ -z "$missing" ] && exit 0

if [ "$(id -u)" = 0 ]; then
  as_root=
else
  as_root="sudo -n"
fi
install_line="${as_root:+sudo }apt-get install -y --no-install-recommends$missing"

refuse() {  # why nothing was installed
  echo "setup.sh: missing Debian packages:$missing" >&2
  [ -n "$1" ] && echo "setup.sh: $1" >&2
  echo "setup.sh: install them with: $install_line" >&2
  exit 1
}
[ "$check_only" = 1 ] && refuse ''
command -v apt-get >/dev/null 2>&1 || refuse 'there is no apt-get here'
if [ -n "$as_root" ]; then
  command -v sudo >/dev/null 2>&1 || refuse 'not root, and there is no sudo'
  sudo -n true 2>/dev/null ||
    refuse 'not root, and sudo would ask for a password'
fi

echo "setup.sh: installing:$missing"
$as_root apt-get update -q
# shellcheck disable=SC2086 # one word per package
$as_root env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends $missing

find_missing "$@"
[ -z "$missing" ] || refuse 'they are still missing after apt-get install'
