#!/bin/sh
# Tells whether a published Windows release came from this tree. Checks the
# zip against its .sha256, that this tree is the commit the release names,
# and which packages of the toolchain differ from those the release was
# built with; says whether and when the signature was timestamped, and
# checks its chains against the roots given. Then rebuilds this tree's
# committed content in a scratch folder, with the release's moment and
# signature, and compares every published file with the rebuilt one, byte
# for byte, showing with diffoscope where two differ. Exits 0 only when all
# of them are the same. The tree and its build folder are left as they were.
# What each line means: docs/release.md.
#
# usage: tools/verify-release.sh [--root FILE] [--tsa-root FILE]
#                                [--report-seconds N] DIR
#   DIR          the release's files as published: the zip, its .sha256, the
#                .buildinfo, and the .signature where the release is signed
#   --root FILE  check too that the signature's chain of certificates leads
#                to the root certificate in FILE (PEM)
#   --tsa-root FILE
#                check too that the timestamp's chain leads to the root
#                certificate of the time-stamp authority in FILE (PEM)
#   --report-seconds N
#                give diffoscope at most N seconds (30) for its report on a
#                file that differs; the verdict does not wait on it
# Run it in a clone or an unpacked git archive of the release's commit.
set -eu

usage() {
  echo "usage: tools/verify-release.sh [--root FILE] [--tsa-root FILE]" \
    "[--report-seconds N] DIR" >&2
  exit 2
}
say() {
  echo "verify-release: $*"
}
fail() {  # why
  echo "verify-release: $*" >&2
  exit 1
}

root='' tsa_root='' report_seconds=30
while [ $# -ge 2 ]; do
  case $1 in
  --root) root=$(realpath "$2") && [ -f "$root" ] || fail "there is no file '$2'" ;;
  --tsa-root)
    tsa_root=$(realpath "$2") && [ -f "$tsa_root" ] || fail "there is no file '$2'"
    ;;
  --report-seconds)
    case $2 in '' | *[!0-9]* | 0*) usage ;; esac
    report_seconds=$2
    ;;
  -*) usage ;;
  *) break ;;
  esac
  shift 2
done
[ $# = 1 ] || usage
[ -d "$1" ] || fail "there is no folder '$1'"
published=$(realpath "$1")
cd "$(dirname "$0")/.."
tree=$(pwd -P)
# A tree that belongs to another user, such as one mounted into a container,
# is one git refuses to read unless told to trust it: this one, for these
# calls only.
git() { command git -c safe.directory="$tree" "$@"; }

set -- "$published"/*.buildinfo
[ $# = 1 ] && [ -f "$1" ] ||
  fail "'$published' must hold the .buildinfo of one release"
release=${1%.buildinfo}
name=${release##*/}
for file in "$release.zip" "$release.zip.sha256"; do
  [ -f "$file" ] || fail "'$published' lacks ${file##*/}"
done
field() {  # .buildinfo, name of a field: its value
  sed -n "s/^$2: //p" "$1"
}
program=$(field "$release.buildinfo" Source)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The zip, as its .sha256 has it.
read -r listed_sum listed_file <"$release.zip.sha256" || true
if [ "$listed_file" != "$name.zip" ] ||
  [ "$listed_sum" != "$(sha256sum <"$release.zip" | cut -d ' ' -f 1)" ]; then
  fail "$name.zip does not match its .sha256: it did not arrive whole"
fi
say "$name.zip matches its .sha256"

# The commit.
if [ -e .git ]; then
  commit=$(git rev-parse HEAD)
  [ -z "$(git status --porcelain --untracked-files=no)" ] ||
    say "(the tree has uncommitted changes; the rebuild is of its commit)"
else
  commit=$(sed -n 's/^set(archived_commit "\([0-9a-f]*\) [0-9]*")$/\1/p' \
    cmake/moment.cmake)
  [ -n "$commit" ] || fail "this tree names no commit: run this in a clone," \
    "or an unpacked git archive, of the release's commit"
fi
release_commit=$(field "$release.buildinfo" Source-Commit)
if [ -z "$release_commit" ]; then
  say "the .buildinfo names no commit; this tree is $commit"
elif [ "$commit" != "$release_commit" ]; then
  fail "this tree is commit $commit, but the release was built from commit\
 $release_commit: check that one out and run this again"
else
  say "this tree is the release's commit, $commit"
fi

# The toolchain.
sed -n '/^Installed-Build-Depends:/,/^[^ ]/s/^ \([^ ]*\) (= \([^)]*\)),\{0,1\}$/\1 \2/p' \
  "$release.buildinfo" >"$scratch/toolchain"
toolchain=same
while read -r package version; do
  here=$(dpkg-query -W -f '${Version}' "$package" 2>/dev/null) || here=
  if [ "$here" != "$version" ]; then
    say "the release was built with $package $version, and here it is" \
      "${here:-not installed}"
    toolchain=other
  fi
done <"$scratch/toolchain"
[ "$toolchain" = other ] || say "the toolchain is the release's"

# The signature, as it is in the exe that a user unpacks and runs. Its
# chains are checked against the roots given and nothing else: never this
# machine's trust.
signature=''
if [ -f "$release.signature" ]; then
  signature=$release.signature
  command -v osslsigncode >/dev/null 2>&1 && command -v openssl >/dev/null 2>&1 ||
    fail "the release is signed, and attaching its signature needs" \
      "osslsigncode and openssl, which tools/setup.sh sign installs"
  cmake -E chdir "$scratch" cmake -E tar xf "$release.zip"
  verified=yes
  osslsigncode verify -CAfile "${root:-/dev/null}" \
    -TSA-CAfile "${tsa_root:-/dev/null}" -in "$scratch/$name/$program.exe" \
    >"$scratch/verify.log" 2>&1 || verified=no
  # As osslsigncode 2.9 and 2.5 each word it.
  stamped=$(sed -n 's/^[[:space:]]*Timestamp time: //p
    s/^The signature is timestamped: //p' "$scratch/verify.log")
  if [ -n "$stamped" ]; then
    authority=$(sed -n '/Timestamp time:\|The signature is timestamped:/,$ {
      s/^[[:space:]]*Issuer *: //p }' "$scratch/verify.log" | head -n 1)
    say "timestamped $stamped, by a time-stamp authority certified by" \
      "$authority"
  else
    say "not timestamped: the signature is valid only while the signer's" \
      "certificate is"
  fi
  # Why osslsigncode refused a chain: the timestamp's comes first, the
  # signer's last. A certificate that has expired is one reason.
  why() {  # sed's address of the reason: 1 or $
    sed -n 's/^[[:space:]]*Error: //p; s/.*Verify error: *//p' \
      "$scratch/verify.log" | sed -n "$1{s/^/ (/; s/$/)/p;}"
  }
  if [ -n "$root" ]; then
    [ $verified = yes ] &&
      grep -qx 'Signature verification: ok' "$scratch/verify.log" ||
      fail "the signature's chain does not lead to the root in $root$(why '$')"
    say "the signature's chain leads to the root in $root"
  fi
  if [ -n "$tsa_root" ]; then
    [ -n "$stamped" ] ||
      fail "the signature has no timestamp to check against $tsa_root"
    # osslsigncode's exit status says nothing of the timestamp's chain.
    grep -qx 'Timestamp Server Signature verification: ok' \
      "$scratch/verify.log" ||
      fail "the timestamp's chain does not lead to the root in $tsa_root$(why 1)"
    say "the timestamp's chain leads to the root in $tsa_root"
  elif [ -n "$stamped" ] && [ -n "$root" ]; then
    say "(the timestamp's chain is not checked without --tsa-root)"
  fi
elif [ -n "$root$tsa_root" ]; then
  fail "the release is not signed, so it has no chain to check against" \
    "${root:-$tsa_root}"
fi

# The rebuild, of what is committed.
copy=$scratch/$program
mkdir "$copy"
if [ -e .git ]; then
  git archive HEAD | tar -x -C "$copy"
else
  tar -c --exclude=./build . | tar -x -C "$copy"
fi
# The release's moment: the commit's time, which the rebuild reads as the
# release did, or the one its builder set.
if [ "$(field "$release.buildinfo" Source-Date-Epoch-From)" = SOURCE_DATE_EPOCH ]
then
  SOURCE_DATE_EPOCH=$(field "$release.buildinfo" Source-Date-Epoch)
  export SOURCE_DATE_EPOCH
else
  unset SOURCE_DATE_EPOCH
fi
say "rebuilding in $copy${signature:+, with the signature}"
if ! (cd "$copy" && VELTRIN_SIGNATURE=$signature \
  cmake --workflow --preset windows) >"$scratch/build.log" 2>&1; then
  tail -n 20 "$scratch/build.log"
  fail "the rebuild failed"
fi

differs=
for file in "$release.zip" "$release.zip.sha256" "$release.buildinfo" \
  ${signature:+"$signature"}; do
  rebuilt=$copy/build/windows/${file##*/}
  if cmp -s "$file" "$rebuilt"; then
    echo "same: ${file##*/}"
    continue
  fi
  differs="$differs ${file##*/}"
  if [ ! -f "$rebuilt" ]; then
    echo "DIFFERS: ${file##*/}, which the rebuild did not make"
    continue
  fi
  echo "DIFFERS: ${file##*/}"
  # Where they differ, down to the bytes: a sum alone says nothing of why.
  # A report is cut short at a few hundred lines, enough to show where, and
  # in time, as diffoscope can hang on a damaged zip.
  if sh tools/setup.sh compare >&2; then
    status=0
    timeout -k 5 "$report_seconds" diffoscope --max-text-report-size 20000 \
      "$file" "$rebuilt" || status=$?
    case $status in
    124 | 137)
      say "diffoscope's report on ${file##*/} was cut off after" \
        "$report_seconds s; the files differ all the same"
      ;;
    esac
  fi
done

if [ -n "$signature" ]; then
  # As the rebuild read it from the signature.
  rebuilt=$copy/build/windows/$name.buildinfo
  say "signed by $(field "$rebuilt" Signer), whose certificate has the" \
    "SHA-256 fingerprint $(field "$rebuilt" Signer-Sha256-Fingerprint)"
fi
[ "$toolchain" = same ] || [ -z "$differs" ] ||
  differs="$differs, and the toolchain, as above"
[ -z "$differs" ] ||
  fail "the release is not what this tree builds; what differs:$differs"
say "the release came from this tree: every file is the same, byte for byte"
