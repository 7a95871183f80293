#!/bin/sh
# Runs tools/setup.sh --check in a clone whose PATH lacks one program, and
# checks that it names that program's package as missing, exits 1 and
# installs nothing: it asks for each program itself, and no shell function
# or builtin of the same name stands in for one. Every other program that
# the words need is there, as a stand-in where the machine lacks it, so that
# what is named depends on the row alone.
#
# usage: check_setup.sh
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree/.git"
cp -R "$top/tools" "$work/tree"

# One case a row: the program that PATH lacks, the words given, and the
# packages named missing.
failed=0
while read -r lacks words packages; do
  rm -rf "$work/bin" && mkdir "$work/bin"
  cp -s /usr/bin/* "$work/bin" 2>/dev/null || true
  for program in cmake g++ make git faketime; do
    [ -e "$work/bin/$program" ] ||
      { printf '#!/bin/sh\n' >"$work/bin/$program" && chmod +x "$work/bin/$program"; }
  done
  rm -f "$work/bin/$lacks"
  status=0
  # shellcheck disable=SC2086 # one word per word
  PATH=$work/bin sh "$work/tree/tools/setup.sh" --check $(echo "$words" | tr -d -) \
    >"$work/stdout" 2>"$work/stderr" || status=$?
  said=$(head -n 1 "$work/stderr")
  if [ "$status" = 1 ] && [ ! -s "$work/stdout" ] &&
    [ "$said" = "setup.sh: missing Debian packages: $packages" ]; then
    echo "ok: without $lacks"
  else
    echo "without $lacks: exit status $status; $said" && failed=1
  fi
done <<ROWS
git      -       git
faketime rebuild faketime
ROWS
exit $failed
