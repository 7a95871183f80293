#!/bin/sh
# Installs, from Debian's packages, what building veltrin-backend needs and
# the machine lacks; it never prompts. It runs before anything else is
# installed, so it is shell.
#
# usage: tools/setup.sh [--check] [WORD...]
#   no word     CMake, g++ and make; and git, in a clone, for the commit's time
#   lint        clang-format and clang-tidy, for the checks in .ci/run
#   windows     the mingw-w64 cross compiler, wine, strip-nondeterminism and
#               the Python libraries of the release tools and their tests
#   bench       valgrind, GNU time and hyperfine, for bench/run.sh
#   rebuild     faketime, for the rebuild in .ci/run under a shifted clock
#   compare     diffoscope, to show where two builds differ
#   sign        osslsigncode and openssl, and the pkcs11 modules to sign
#               with a key in a token or HSM
#   throwaway   SoftHSM2 and pkcs11-tool, for tests/throwaway.sh
#   --check     install nothing; name what is missing and fail if anything is
#   --help, -h  print this usage
set -eu

usage() {  # exit status: the header from its usage line, on stdout for 0
  sed -n '/^# usage:/,/^set -eu$/{/^set -eu$/d; s/^# \{0,1\}//p}' "$0" |
    if [ "$1" = 0 ]; then cat; else cat >&2; fi
  exit "$1"
}

# The release tools run on Debian's own interpreter, which sees the Python
# packages Debian installs, whatever python3 comes first on PATH.
python=/usr/bin/python3

# Whether a program is there, as a file: a shell function or builtin of its
# name, which command -v names without a path, does not count.
is_program() {  # path or name
  case $(command -v "$1") in */*) ;; *) return 1 ;; esac
}
need() {  # Debian package, a program it installs
  is_program "$2" || missing="$missing $1"
}
need_file() {  # Debian package, a pattern of a file it installs
  # shellcheck disable=SC2086 # the pattern is the shell's to expand
  ls $2 >/dev/null 2>&1 || missing="$missing $1"
}
need_module() {  # Debian package, the Python module it installs
  "$python" -c "import $2" 2>/dev/null || missing="$missing $1"
}

# Sets $missing to the packages whose program or module is not there.
find_missing() {
  missing=
  need cmake cmake
  need g++ g++
  need make make
  [ ! -e "$(dirname "$0")/../.git" ] || need git git
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
      need python3 "$python"
      need_module python3-debian debian.deb822
      need_module python3-cryptography cryptography.x509
      need_module python3-asn1crypto asn1crypto.cms
      need_module python3-pefile pefile
      need_module python3-yaml yaml
      need_module python3-pytest pytest
      need_module python3-license-expression license_expression
      ;;
    bench)
      need valgrind valgrind
      need time /usr/bin/time
      need hyperfine hyperfine
      ;;
    rebuild) need faketime faketime ;;
    compare)
      need diffoscope-minimal diffoscope
      need unzip zipinfo
      ;;
    sign)
      need osslsigncode osslsigncode
      need openssl openssl
      need_file libengine-pkcs11-openssl '/usr/lib/*/engines-3/pkcs11.so'
      need_file p11-kit-modules '/usr/lib/*/p11-kit-proxy.so'
      ;;
    throwaway)
      need softhsm2 softhsm2-util
      need opensc pkcs11-tool
      need python3 "$python"
      ;;
    esac
  done
}

check_only=0
for word; do
  case $word in
  --help | -h) usage 0 ;;
  --check) check_only=1 ;;
  lint | windows | bench | rebuild | compare | sign | throwaway) ;;
  *) usage 2 ;;
  esac
done

find_missing "$@"
[ -z "$missing" ] && exit 0

as_root="sudo -n"
[ "$(id -u)" != 0 ] || as_root=
install_line="${as_root:+sudo }apt-get install -y --no-install-recommends$missing"

refuse() {  # why nothing was installed
  echo "setup.sh: missing Debian packages:$missing" >&2
  [ -z "$1" ] || echo "setup.sh: $1" >&2
  echo "setup.sh: install them with: $install_line" >&2
  exit 1
}
[ "$check_only" = 0 ] || refuse ''
is_program apt-get || refuse 'there is no apt-get here'
if [ -n "$as_root" ]; then
  is_program sudo || refuse 'not root, and there is no sudo'
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
