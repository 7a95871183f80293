#!/bin/sh
# Installs, from Debian's packages, what building veltrin-backend needs and
# the machine lacks; it never prompts. It runs before anything else is
# installed, so it is shell.
#
# usage: tools/setup.sh [--check] [WORD...]
#   no word     CMake, g++ and make; and git, in a clone, for the commit's time
#   lint        clang-format and clang-tidy, for the checks in .ci/run
#   windows     mingw-w64, wine, strip-nondeterminism and the Python libraries
#   bench       valgrind, GNU time and hyperfine, for bench/run.sh
#   rebuild     faketime, for the rebuild in .ci/run under a shifted clock
#   compare     diffoscope, to show where two builds differ
#   sign        osslsigncode, openssl and pkcs11 modules, to sign with a token
#   throwaway   SoftHSM2 and pkcs11-tool, for tests/throwaway.sh
#   --check     install nothing; name what is missing and fail if anything is
#   --help, -h  print this usage
set -eu

usage() {  # exit status: the header from its usage line, on stdout for 0
  sed -n '/^# usage:/,/^set -eu$/{/^set -eu$/d; s/^# \{0,1\}//p}' "$0" |
    if [ "$1" = 0 ]; then cat; else cat >&2; fi
  exit "$1"
}

# Debian's own interpreter, which sees Debian's Python packages, whatever PATH
# finds first.
python=/usr/bin/python3

# Whether a program is there, as a file: a shell function or builtin of its
# name, which command -v names without a path, does not count.
is_program() {  # path or name
  case $(command -v "$1") in */*) ;; *) return 1 ;; esac
}

# Sets $missing to the packages that the words need whose program, file or
# Python module is not there; "-" is no word, and "clone" a clone's tree.
find_missing() {
  missing=
  clone=
  [ ! -e "$(dirname "$0")/../.git" ] || clone=clone
  while read -r word package kind thing; do
    case " - $clone $* " in *" $word "*) ;; *) continue ;; esac
    # shellcheck disable=SC2086 # a file's pattern is the shell's to expand
    case $kind in
    program) is_program "$thing" ;;
    file) ls $thing >/dev/null 2>&1 ;;
    module) "$python" -c "import $thing" 2>/dev/null ;;
    esac || missing="$missing $package"
  done <<ROWS
-         cmake                      program cmake
-         g++                        program g++
-         make                       program make
clone     git                        program git
lint      clang-format               program clang-format
lint      clang-tidy                 program clang-tidy
windows   g++-mingw-w64-x86-64-win32 program x86_64-w64-mingw32-g++-win32
windows   wine64                     program /usr/lib/wine/wine64
windows   strip-nondeterminism       program strip-nondeterminism
windows   python3                    program $python
windows   python3-debian             module  debian.deb822
windows   python3-cryptography       module  cryptography.x509
windows   python3-asn1crypto         module  asn1crypto.cms
windows   python3-pefile             module  pefile
windows   python3-yaml               module  yaml
windows   python3-pytest             module  pytest
windows   python3-license-expression module  license_expression
bench     valgrind                   program valgrind
bench     time                       program /usr/bin/time
bench     hyperfine                  program hyperfine
rebuild   faketime                   program faketime
compare   diffoscope-minimal         program diffoscope
compare   unzip                      program zipinfo
sign      osslsigncode               program osslsigncode
sign      openssl                    program openssl
sign      libengine-pkcs11-openssl   file    /usr/lib/*/engines-3/pkcs11.so
sign      p11-kit-modules            file    /usr/lib/*/p11-kit-proxy.so
sign      python3-pykcs11            module  PyKCS11
throwaway softhsm2                   program softhsm2-util
throwaway opensc                     program pkcs11-tool
throwaway python3                    program $python
ROWS
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
