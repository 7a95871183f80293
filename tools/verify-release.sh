#!/bin/sh
# Tells whether a published Windows release came from this tree, and names
# for what it is each thing that it finds otherwise. It checks, in order:
# the zip against its .sha256; that the zip unpacks and holds exactly a
# release's files; that the exe in it carries the published signature, and
# is unchanged since it was signed; the timestamp, the chains against the
# roots given, and that no certificate of them is revoked; that this tree
# is the release's commit, and which packages of the toolchain differ from
# those the release was built with. Then it rebuilds this tree's committed
# content in a scratch folder, with the release's moment and signature, and
# compares every published file with the rebuilt one, byte for byte,
# showing with diffoscope where two differ. A check that fails does not
# stop those after it that can still tell something, and the last line is
# the verdict, which names every finding. Every line goes to standard
# output. The tree and its build folder are left as they were, and nothing
# is installed. What each line means: docs/release.md.
#
# usage: tools/verify-release.sh [--root FILE] [--tsa-root FILE]
#                                [--crl FILE]... [--no-revocation]
#                                [--report-seconds N] DIR
#   DIR          the release's files as published: the zip, its .sha256, the
#                .buildinfo, the bill of materials (.cdx.json) and, where
#                the release is signed, the .signature
#   --root FILE  check that the signature's chain of certificates leads to
#                the root certificate in FILE (PEM), and that none of them
#                is revoked; without it, the signer is named and not checked
#   --tsa-root FILE
#                the same for the timestamp's chain, and the root of the
#                time-stamp authority in FILE (PEM)
#   --crl FILE   check both chains against the revocation lists in FILE
#                (PEM, one or more; the option may be given again), and
#                fetch none; without it, the lists are fetched from the
#                addresses that the certificates name
#   --no-revocation
#                check no certificate against a revocation list
#   --report-seconds N
#                give diffoscope at most N seconds (30) for its report on a
#                file that differs; the verdict does not wait on it
#   --help, -h   print this usage
# Run it in a clone or an unpacked git archive of the release's commit.
# Exit status: 0 when the release came from this tree; 1 when it did not,
# or cannot be shown to; 2 for a command line it does not take.
set -eu
. "$(dirname "$0")/common.sh"

say() {
  echo "verify-release: $*"
}
refuse() {  # why the command line is not taken
  echo "verify-release: $*" >&2
  exit 2
}
findings='' disproved='' unchecked=''
found() {  # what a check found: said now, and named again in the verdict
  say "$*"
  findings="${findings:+$findings; }$*"
}
# A finding that shows the files are not what this tree and their signer
# made, as against one that leaves it open.
disproves() {  # what a check found
  disproved=yes
  found "$@"
}
verdict() {
  if [ -z "$findings" ]; then
    say "the release came from this tree: every file is the same, byte for" \
      "byte$unchecked"
    exit 0
  elif [ -n "$disproved" ]; then
    say "the release did not come from this tree: $findings$unchecked"
  else
    say "the release is not shown to come from this tree: $findings$unchecked"
  fi
  exit 1
}

case ${1-} in --help | -h) usage 0 ;; esac
root='' tsa_root='' given_lists='' revocation=yes report_seconds=30
while [ $# -ge 1 ]; do
  case $1 in
  --root | --tsa-root | --crl | --report-seconds) [ $# -ge 2 ] || usage 2 ;;
  esac
  case $1 in
  --root)
    [ -f "$2" ] || refuse "there is no file '$2'"
    root=$(realpath "$2")
    ;;
  --tsa-root)
    [ -f "$2" ] || refuse "there is no file '$2'"
    tsa_root=$(realpath "$2")
    ;;
  --crl)
    [ -f "$2" ] || refuse "there is no file '$2'"
    openssl crl -in "$2" -noout 2>/dev/null ||
      refuse "'$2' holds no revocation list in PEM"
    given_lists="$given_lists${given_lists:+
}$(realpath "$2")"
    ;;
  --no-revocation) revocation='' ;;
  --report-seconds)
    case $2 in '' | *[!0-9]* | 0*) usage 2 ;; esac
    report_seconds=$2
    ;;
  -*) usage 2 ;;
  *) break ;;
  esac
  case $1 in --no-revocation) shift ;; *) shift 2 ;; esac
done
[ $# = 1 ] || usage 2
[ -d "$1" ] || refuse "there is no folder '$1'"
published=$(realpath "$1")
cd "$(dirname "$0")/.."
[ -n "$revocation" ] || unchecked="; revocation was not checked"

# The release's files. No name read from them chooses a path: the
# .buildinfo must be named after the program and version it gives.
set -- "$published"/*.buildinfo
if [ $# != 1 ] || [ ! -f "$1" ]; then
  found "'$published' must hold the .buildinfo of one release"
  verdict
fi
buildinfo=$1
program=$(buildinfo_field "$buildinfo" Source)
name=$program-$(buildinfo_field "$buildinfo" Version)-win64
case $name in
[!A-Za-z0-9]* | *[!A-Za-z0-9.+~_-]* | *-win64.*) name='' ;;
esac
if [ -z "$name" ] || [ "${buildinfo##*/}" != "$name.buildinfo" ]; then
  disproves "${buildinfo##*/} does not name the release it is of: its" \
    "Source and Version do not make its name"
  verdict
fi
release=$published/$name
signed=''
[ -z "$(buildinfo_field "$buildinfo" Signer)" ] || signed=yes
[ ! -f "$release.signature" ] || signed=yes
lacks=''
for file in "$release.zip" "$release.zip.sha256" "$release.cdx.json" \
  ${signed:+"$release.signature"}; do
  [ -f "$file" ] || lacks="$lacks${lacks:+, }${file##*/}"
done
if [ -n "$lacks" ]; then
  found "'$published' lacks $lacks"
  verdict
fi
if [ -n "$signed" ] && ! have_signing_tools; then
  found "the release is signed, and checking its signature needs $signing_tools"
  verdict
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
exit_on_signals

# The zip, as its .sha256 has it.
read -r listed_sum listed_file <"$release.zip.sha256" || true
if [ "$listed_file" = "$name.zip" ] &&
  [ "$listed_sum" = "$(sha256sum <"$release.zip" | cut -d ' ' -f 1)" ]; then
  say "$name.zip matches its .sha256"
else
  disproves "$name.zip does not match its .sha256: it did not arrive whole"
fi

# What the zip holds: exactly a release's files, in a folder of its name;
# entries of folders alone hold nothing. Nothing is unpacked that would land
# outside the scratch folder. cmake -E tar reports a damaged zip on standard
# error and may still exit 0.
release_members "$name" "$program" | sort >"$scratch/members"
unpacked=$scratch/unpacked
mkdir "$unpacked"
if ! cmake -E tar tf "$release.zip" >"$scratch/listed" 2>"$scratch/unpack.log" ||
  [ -s "$scratch/unpack.log" ] ||
  grep -q -e '^/' -e '^\.\./' -e '/\.\./' -e '/\.\.$' "$scratch/listed" ||
  ! cmake -E chdir "$unpacked" cmake -E tar xf "$release.zip" \
    >"$scratch/unpack.log" 2>&1 || [ -s "$scratch/unpack.log" ]; then
  disproves "$name.zip is damaged and cannot be unpacked"
  verdict
fi
grep -v '/$' "$scratch/listed" | sort >"$scratch/files"
extra=$(comm -13 "$scratch/members" "$scratch/files" | paste -s -d ' ')
missing=$(comm -23 "$scratch/members" "$scratch/files" | paste -s -d ' ')
[ -z "$extra" ] || disproves "$name.zip holds $extra, which a release does not"
[ -z "$missing" ] || disproves "$name.zip lacks $missing"
[ -n "$extra$missing" ] ||
  say "$name.zip holds exactly a release's files:" \
    "$(sed 's|.*/||' "$scratch/members" | paste -s -d ' ')"

# The signature in the exe that a user unpacks and runs, which the rebuild
# attaches where the exe has one.
signature=''
[ -z "$signed" ] || signature=$release.signature
exe=$unpacked/$name/$program.exe
digest='' signer_chain='' tsa_chain=''
if [ -n "$signed" ] && [ -f "$exe" ]; then
  authenticode_verify -CAfile "${root:-/dev/null}" \
    -TSA-CAfile "${tsa_root:-/dev/null}" -in "$exe" >"$scratch/verify.log" 2>&1 ||
    true
  verification=$(authenticode_findings "$scratch/verify.log")
  digest=$(finding "$verification" digest)
fi
case $digest in
none)
  disproves "the exe in $name.zip carries no signature, though the release" \
    "is signed"
  ;;
same | other)
  if [ "$digest" = same ]; then
    say "the exe in $name.zip is unchanged since it was signed"
  else
    # osslsigncode then checks nothing further.
    disproves "the exe in $name.zip was changed after it was signed: its" \
      "bytes are not those that its signature signs"
  fi
  osslsigncode extract-signature -pem -in "$exe" \
    -out "$scratch/exe.signature" >/dev/null 2>&1
  signature=$scratch/exe.signature
  openssl pkcs7 -in "$signature" -outform DER -out "$scratch/exe.der"
  if openssl pkcs7 -in "$release.signature" -outform DER 2>/dev/null |
    cmp -s - "$scratch/exe.der"; then
    say "the exe in $name.zip carries the published signature"
  else
    disproves "the published $name.signature is not the signature in the" \
      "exe in $name.zip"
  fi
  ;;
esac

# Only an exe that is as it was signed has a timestamp and chains to judge.
if [ "$digest" = same ]; then
  stamped=$(finding "$verification" time)
  if [ -n "$stamped" ]; then
    say "timestamped $stamped, by a time-stamp authority certified by" \
      "$(finding "$verification" authority)"
  else
    say "not timestamped: the signature is valid only while the signer's" \
      "certificate is"
  fi
  if [ -n "$root" ]; then
    why=$(finding "$verification" reason)
    if [ "$(finding "$verification" signature)" = ok ]; then
      say "the signature's chain leads to the root in $root"
      signer_chain=yes
    elif [ "$why" != "certificate has expired" ]; then
      found "the signature's chain does not lead to the root in $root${why:+ ($why)}"
    elif [ -n "$stamped" ] && [ -z "$tsa_root" ]; then
      found "a certificate of the signer's chain has expired: give" \
        "--tsa-root, so that the chain is checked at the timestamp's time"
    else
      found "a certificate of the signer's chain has expired, and no" \
        "timestamp keeps the signature valid"
    fi
  fi
  if [ -n "$tsa_root" ] && [ -z "$stamped" ]; then
    found "the signature has no timestamp to check against $tsa_root"
  elif [ -n "$tsa_root" ]; then
    why=$(finding "$verification" tsa-reason)
    if [ "$(finding "$verification" timestamp)" = ok ]; then
      say "the timestamp's chain leads to the root in $tsa_root"
      tsa_chain=yes
    else
      found "the timestamp's chain does not lead to the root in" \
        "$tsa_root${why:+ ($why)}"
    fi
  elif [ -n "$stamped" ] && [ -n "$root" ]; then
    say "(the timestamp's chain is not checked without --tsa-root)"
  fi
elif [ -z "$signed" ] && [ -n "$root$tsa_root" ]; then
  found "the release is not signed, so it has no chain to check against" \
    "${root:-$tsa_root}"
fi

# Revocation, of each chain that leads to its root: against the lists
# given, or else those that its certificates name, fetched. A list counts
# where a certificate of the chain signed it.
pem_blocks() {  # PEM file, prefix: one file for each block, PREFIX-N.pem
  rm -f "$2"-*.pem
  awk -v prefix="$2" '/^-----BEGIN / { n++ } n { print > (prefix "-" n ".pem") }' "$1"
}
name_of() {  # subject or issuer, PEM certificate or list
  openssl "$1" -in "$2" -noout "-$3" -nameopt oneline,-esc_msb | sed 's/^[a-z]*=//'
}
fetch_lists() {  # chain's certificates (PEM): sets $sources, or $unavailable
  pem_blocks "$1" "$scratch/certificate"
  for certificate in "$scratch"/certificate-*.pem; do
    openssl x509 -in "$certificate" -noout -ext crlDistributionPoints \
      2>/dev/null | sed -n 's/^ *URI://p'
  done | awk '!seen[$0]++' >"$scratch/urls"
  sources=$(paste -s -d ' ' "$scratch/urls" | sed 's/ /, /g')
  unavailable=''
  : >"$lists"
  while IFS= read -r url; do
    rm -f "$scratch/list"
    if ! cmake -D "url=$url" -D "file=$scratch/list" -P tools/fetch.cmake \
      >/dev/null 2>&1; then
      unavailable="$url did not answer"
    elif ! openssl crl -inform DER -in "$scratch/list" >>"$lists" 2>/dev/null &&
      ! openssl crl -in "$scratch/list" >>"$lists" 2>/dev/null; then
      unavailable="$url gave no revocation list"
    fi
    [ -z "$unavailable" ] || return 0
  done <"$scratch/urls"
  [ -s "$scratch/urls" ] || unavailable=none
}
revoked_on() {  # certificate: "on DATE (REASON)", as the lists give them
  serial=$(openssl x509 -in "$1" -noout -serial | sed 's/^serial=//')
  issuer=$(name_of x509 "$1" issuer)
  pem_blocks "$lists" "$scratch/list"
  for list in "$scratch"/list-*.pem; do
    [ "$(name_of crl "$list" issuer)" = "$issuer" ] || continue
    openssl crl -in "$list" -noout -text | awk -v serial="$serial" '
      /Serial Number: / { this = $NF == serial }
      this && /Revocation Date: / { sub(/.*Revocation Date: */, ""); date = $0 }
      this && /CRL Reason Code:/ {
        getline; gsub(/ /, ""); reason = tolower(substr($0, 1, 1)) substr($0, 2)
      }
      END { if (date != "") printf " on %s%s\n", date, reason == "" ? "" : " (" reason ")" }'
  done
}
revocation() {  # the chain's name, its leaf's, root, leaf, chain (PEM)
  lists=$scratch/lists.pem
  if [ -n "$given_lists" ]; then
    printf '%s\n' "$given_lists" | while IFS= read -r file; do cat "$file"; done >"$lists"
    sources=$(printf '%s\n' "$given_lists" | paste -s -d ' ' | sed 's/ /, /g')
  else
    cat "$4" "$5" >"$scratch/chain.pem"
    fetch_lists "$scratch/chain.pem"
    if [ "$unavailable" = none ]; then
      say "no certificate of $1 names a revocation list, so none is checked"
      return
    elif [ -n "$unavailable" ]; then
      found "revocation could not be checked: $unavailable; give --crl FILE," \
        "or --no-revocation"
      return
    fi
  fi
  if openssl verify -no_check_time -crl_check_all -CAfile "$3" \
    -untrusted "$5" -CRLfile "$lists" "$4" >"$scratch/revocation.log" 2>&1; then
    say "no certificate of $1 is revoked (lists from $sources)"
    return
  fi
  # openssl names the certificate it stopped at, then why.
  subject=$(awk '/^error [0-9]+ at / { print previous; exit } { previous = $0 }' \
    "$scratch/revocation.log")
  why=$(sed -n 's/^error [0-9]* at .* lookup: //p' "$scratch/revocation.log" |
    head -n 1)
  case $why in
  "certificate revoked")
    pem_blocks "$5" "$scratch/certificate"
    for certificate in "$4" "$scratch"/certificate-*.pem; do
      [ "$(name_of x509 "$certificate" subject)" = "$subject" ] || continue
      if [ "$certificate" = "$4" ]; then
        found "$2 was revoked$(revoked_on "$certificate")"
      else
        found "the certificate of $subject in $1 was revoked$(revoked_on "$certificate")"
      fi
      return
    done
    found "a certificate of $1 is revoked"
    ;;
  "unable to get certificate CRL")
    found "revocation could not be checked: no list covers $subject; give" \
      "--crl FILE, or --no-revocation"
    ;;
  *) found "revocation could not be checked: $why, for $subject" ;;
  esac
}
# The RFC 3161 token that a signature's timestamp is, which carries the
# time-stamp authority's certificates.
timestamp_token() {  # signature (PEM), token to write (DER)
  openssl pkcs7 -in "$1" -outform DER -out "$scratch/signature.der"
  at=$(openssl asn1parse -inform DER -in "$scratch/signature.der" |
    awk '/:1\.3\.6\.1\.4\.1\.311\.3\.3\.1$/ { getline; getline; sub(/:.*/, ""); print $1 + 0; exit }')
  [ -n "$at" ] && openssl asn1parse -inform DER -in "$scratch/signature.der" \
    -strparse "$at" -noout -out "$2"
}
if [ -n "$revocation" ] && [ -n "$signer_chain" ]; then
  openssl pkcs7 -in "$signature" -print_certs -out "$scratch/signer-chain.pem"
  signer_certificate "$signature" >"$scratch/signer.pem"
  revocation "the signer's chain" "the signer's certificate" "$root" \
    "$scratch/signer.pem" "$scratch/signer-chain.pem"
fi
if [ -n "$revocation" ] && [ -n "$tsa_chain" ]; then
  if timestamp_token "$signature" "$scratch/token.der"; then
    openssl pkcs7 -inform DER -in "$scratch/token.der" -print_certs \
      -out "$scratch/tsa-chain.pem"
    openssl smime -verify -noverify -nosigs -inform DER \
      -in "$scratch/token.der" -signer "$scratch/tsa.pem" -out /dev/null \
      2>/dev/null
    revocation "the timestamp's chain" "the time-stamp authority's certificate" \
      "$tsa_root" "$scratch/tsa.pem" "$scratch/tsa-chain.pem"
  else
    say "(the timestamp is not an RFC 3161 one, whose certificates could be" \
      "checked for revocation)"
  fi
fi

# The commit.
tree_commit=$(env -u SOURCE_DATE_EPOCH cmake -P cmake/moment.cmake 2>/dev/null |
  cut -d ' ' -f 1)
release_commit=$(buildinfo_field "$buildinfo" Source-Commit)
if [ -z "$tree_commit" ] || [ "$tree_commit" = - ]; then
  found "this tree names no commit: run this in a clone, or an unpacked git" \
    "archive, of the release's commit"
  verdict
elif [ -z "$release_commit" ]; then
  say "the .buildinfo names no commit; this tree is $tree_commit"
elif [ "$tree_commit" != "$release_commit" ]; then
  found "this tree is commit $tree_commit, but the release was built from" \
    "commit $release_commit: check that one out and run this again"
  verdict
else
  say "this tree is the release's commit, $tree_commit"
fi
if [ -e .git ] && [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  say "(the tree has uncommitted changes; the rebuild is of its commit)"
fi

# The toolchain.
toolchain=same
buildinfo_depends "$buildinfo" >"$scratch/toolchain"
# shellcheck disable=SC2046 # one word per package
installed_packages $(cut -d ' ' -f 1 "$scratch/toolchain") >"$scratch/installed"
while read -r package version; do
  here=$(awk -v p="$package" '$1 == p { print $2 }' "$scratch/installed" |
    sort -u | paste -s -d ' ')
  if [ "$here" != "$version" ]; then
    say "the release was built with $package $version, and here it is" \
      "${here:-not installed}"
    toolchain=other
  fi
done <"$scratch/toolchain"
[ "$toolchain" = other ] || say "the toolchain is the release's"

# The rebuild, of what is committed, in a folder of its own name, with the
# release's moment: the commit's time, which the rebuild reads as the
# release did, or the one its builder set.
copy=$scratch/tree
mkdir "$copy"
if [ -e .git ]; then
  git archive HEAD | tar -x -C "$copy"
else
  tar -c --exclude=./build . | tar -x -C "$copy"
fi
unset SOURCE_DATE_EPOCH
if [ "$(buildinfo_field "$buildinfo" Source-Date-Epoch-From)" = SOURCE_DATE_EPOCH ]
then
  SOURCE_DATE_EPOCH=$(buildinfo_field "$buildinfo" Source-Date-Epoch)
  export SOURCE_DATE_EPOCH
fi
say "rebuilding in $copy${signature:+, with the signature}"
if ! (cd "$copy" && VELTRIN_SIGNATURE=$signature \
  cmake --workflow --preset windows-package) >"$scratch/build.log" 2>&1; then
  refused=$(sed -n 's/^VELTRIN_SIGNATURE: //p' "$scratch/build.log" | head -n 1)
  if [ -n "$refused" ]; then
    found "the rebuild refused the signature: $refused"
  else
    tail -n 20 "$scratch/build.log" | sed 's/^/  /'
    found "the rebuild failed, as the end of its log above shows"
  fi
  verdict
fi

differ=''
for file in "$release.zip" "$release.zip.sha256" "$release.buildinfo" \
  "$release.cdx.json" ${signed:+"$release.signature"}; do
  rebuilt=$copy/build/windows/${file##*/}
  if cmp -s "$file" "$rebuilt"; then
    echo "same: ${file##*/}"
    continue
  fi
  differ="$differ${differ:+, }${file##*/}"
  if [ "$file" = "$release.zip" ] && [ -f "$rebuilt" ]; then
    # Which of the files in it, as a report may not come.
    mkdir "$scratch/rebuilt"
    cmake -E chdir "$scratch/rebuilt" cmake -E tar xf "$rebuilt"
    changed=$(while read -r member; do
      cmp -s "$unpacked/$member" "$scratch/rebuilt/$member" || echo "${member#*/}"
    done <"$scratch/members" | paste -s -d ' ')
    [ -z "$changed" ] || differ="$differ (its $changed)"
  fi
  if [ ! -f "$rebuilt" ]; then
    echo "DIFFERS: ${file##*/}, which the rebuild did not make"
    continue
  fi
  echo "DIFFERS: ${file##*/}"
  # Where they differ, down to the bytes: a sum alone says nothing of why.
  # A report is cut short at a few hundred lines, enough to show where, and
  # in time, as diffoscope can hang on a damaged zip.
  if ! command -v diffoscope >/dev/null 2>&1; then
    say "(diffoscope is not here to show where they differ:" \
      "tools/setup.sh compare installs it)"
    continue
  fi
  status=0
  timeout -k 5 "$report_seconds" diffoscope --max-text-report-size 20000 \
    "$file" "$rebuilt" 2>&1 || status=$?
  case $status in
  124 | 137)
    say "diffoscope's report on ${file##*/} was cut off after" \
      "$report_seconds s; the files differ all the same"
    ;;
  esac
done
[ -z "$differ" ] || disproves "these differ from the rebuilt ones: $differ"
[ -z "$differ" ] || [ "$toolchain" = same ] ||
  found "the toolchain is not the release's, as above"

# The signer, as the signature in the exe names it.
if [ -n "$signed" ] && [ -f "$scratch/exe.signature" ]; then
  signer_certificate "$scratch/exe.signature" >"$scratch/signer.pem"
  signer="$(certificate_subject <"$scratch/signer.pem"), whose certificate has"
  signer="$signer the SHA-256 fingerprint $(certificate_fingerprint <"$scratch/signer.pem")"
  if [ -n "$signer_chain" ]; then
    say "signed by $signer"
  elif [ -n "$root" ]; then
    say "signed, as the signature itself says, by $signer"
  else
    say "signed, as the signature itself says and nothing checked, by" \
      "$signer: give --root, and compare that fingerprint with the one the" \
      "project publishes"
    unchecked="; the signer's chain was not checked$unchecked"
  fi
fi
verdict
