#!/bin/sh
# Runs tools/verify-release.py on genuine and forged copies of published
# releases, and checks what it says of each: its exit status, its verdict,
# the last line, which names every finding, and that it names no false one.
# Each verdict must come however the forgery throws the tools it calls
# (diffoscope hangs on a zip whose end record is damaged), no run may leave
# a scratch folder behind or write outside it, and no byte of a forged file
# may reach the output as a raw escape or carriage return. With --attest, a
# statement is written only where every file is the same, never through a
# link, and the same each time. Needs faketime (tools/setup.sh rebuild),
# and the lists of MATERIAL served, which it stops half-way, to check a
# machine offline.
#
# usage: check_verify_release.sh STAMPED PLAIN REVOKED MATERIAL
#   STAMPED   a published release whose signature is timestamped
#   PLAIN     a published release whose signature is not
#   REVOKED   a published release signed with MATERIAL's revoked certificate
#   MATERIAL  the folder of tests/throwaway.sh that signed them, with lists
#             and rebuilders
set -eu

stamped=$1 plain=$2 revoked=$3 material=$4
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
set -- "$stamped"/*.zip
name=$(basename "$1" .zip)
exe=$name/veltrin-backend.exe
commit=$(git -c safe.directory="$(pwd -P)" rev-parse HEAD)
other=0000000000000000000000000000000000000000
lists=$(cat "$material/tsa.url")

huge() {  # length: one line of that many letters
  head -c "$1" /dev/zero | tr '\0' a
  echo
}

# Each forgery but the first keeps the zip's .sha256 true to it, as a
# forger who can change the one can change the other.
forge() {  # how, release folder, a folder outside it
  zip=$2/$name.zip
  case $1 in
  zip-byte) printf Z | dd of="$zip" bs=1 seek=1000 conv=notrunc 2>/dev/null ;;
  zip-end)  # the last byte, in the end record
    printf Z | dd of="$zip" bs=1 seek=$(($(wc -c <"$zip") - 1)) conv=notrunc 2>/dev/null
    ;;
  zip-cut) head -c 200000 "$zip" >"$zip.cut" && mv "$zip.cut" "$zip" ;;
  zip-link | zip-duplicate | zip-newline | zip-dotdot | zip-bomb | zip-many | zip-lzma | \
    zip-bzip2 | exe-appended | exe-checksum)
    /usr/bin/python3 tests/forge.py "${1#*-}" "$zip" "$3"
    ;;
  exe-changed | exe-unsigned | readme | extra-dll)
    mkdir "$2/unpacked"
    (cd "$2/unpacked" && cmake -E tar xf "$zip")
    case $1 in
    exe-changed) sed -i 's/Unix domain/UNIX domain/' "$2/unpacked/$exe" ;;
    exe-unsigned) cp build/windows/unsigned/veltrin-backend.exe "$2/unpacked/$exe" ;;
    readme) echo "Also at https://example.org/" >>"$2/unpacked/$name/README.md" ;;
    extra-dll) cp "$2/unpacked/$exe" "$2/unpacked/$name/version.dll" ;;
    esac
    (cd "$2/unpacked" && cmake -E tar cf "$zip" --format=zip "$name")
    rm -r "$2/unpacked"
    ;;
  signature-byte)  # a letter of its base64, for another
    awk 'NR == 10 { c = substr($0, 5, 1) == "A" ? "B" : "A"
      $0 = substr($0, 1, 4) c substr($0, 6) } 1' "$2/$name.signature" >"$2/forged"
    mv "$2/forged" "$2/$name.signature"
    ;;
  no-signature) rm "$2/$name.signature" ;;
  signature-text) echo "and a word of the forger's" >>"$2/$name.signature" ;;
  sha256-pagemap) ln -sf /proc/self/pagemap "$2/$name.zip.sha256" ;;
  cdx-link) ln -sf "$3/victim.txt" "$2/$name.cdx.json" ;;  # a file of the user's own
  statement-link) ln -sf "$3/victim.txt" "$2/$name.row.intoto.json" ;;
  record-name) mv "$2/$name.buildinfo" "$2/x$(printf '\233')[2J.buildinfo" ;;  # not UTF-8
  cdx-controls) head -c 1000000 /dev/zero | tr '\0' '\001' >"$2/$name.cdx.json" ;;
  depends-escape)  # an entry that its reader would log as it is
    sed -i "s/^ base-files (=/ base-files$(printf '\033[2K') (=/" "$2/$name.buildinfo"
    ;;
  record-cr)  # a second commit, after a carriage return in another field
    sed -i "s/^Build-Origin: Debian$/Build-Origin: Debian$(printf '\r')Source-Commit: $other/" \
      "$2/$name.buildinfo"
    ;;
  commit) sed -i "s/^Source-Commit: .*/Source-Commit: $other/" "$2/$name.buildinfo" ;;
  commit-escape)  # a line that hides the verdict, on a terminal
    sed -i "s/^Source-Commit: .*/Source-Commit: $(printf '\033[2K\r')$came/" \
      "$2/$name.buildinfo"
    ;;
  commit-huge) huge 50000000 | sed 's/^/Source-Commit: /' >>"$2/$name.buildinfo" ;;
  depends-huge)
    awk 'BEGIN { while (n++ < 300000) printf " package%d (= 1),\n", n }' \
      >>"$2/$name.buildinfo"
    ;;
  epoch-word)
    sed -i 's/^Source-Date-Epoch: .*/Source-Date-Epoch: soon/
      s/^Source-Date-Epoch-From: .*/Source-Date-Epoch-From: SOURCE_DATE_EPOCH/' \
      "$2/$name.buildinfo"
    ;;
  source-path) sed -i 's|^Source: .*|Source: ../../escaped|' "$2/$name.buildinfo" ;;
  esac
  case $1 in
  zip-byte | sha256-pagemap | -) ;;
  sha256-star) (cd "$2" && sha256sum --binary "$name.zip" >"$name.zip.sha256") ;;
  sha256-huge) huge 20000000 >"$2/$name.zip.sha256" ;;
  sha256-second)
    (cd "$2" && sha256sum "$name.zip" >"$name.zip.sha256" &&
      sha256sum "$name.zip" | sed "s/ .*/  other.txt/" >>"$name.zip.sha256")
    ;;
  *) (cd "$2" && sha256sum "$name.zip" >"$name.zip.sha256") ;;
  esac
}

# One case a row: the release, its forgery ("-" for none), the command
# that it runs under ("-" for none), the options, the exit status, the
# verdict after "verify-release: ", a line that must be said before it
# ("-" for none), and what must not be said, as words of lines joined with
# ";" ("-" for nothing), among its own lines; @copy@ stands for the forged
# copy's folder. The throwaway certificates expire in 1000 days. Reports
# are cut short where they are not the point, as they cost seconds.
# The rows run two at a time, as the machine has two cores: each of two
# workers, in a folder of its own, takes the next row that the other has
# not claimed. A row's line starts with "ok: " when it passes.
check() {  # folder, rows on standard input
  folder=$1 row=0
  mkdir "$folder"
  while IFS='|' read -r release forgery under options status verdict said false; do
    row=$((row + 1))
    mkdir "$work/claimed/$row" 2>/dev/null || continue
    copy=$folder/release outside=$folder/outside
    started=$(date +%s)
    rm -rf "$copy" "$folder/tmp" "$outside" && cp -R "$release" "$copy" &&
      mkdir "$folder/tmp" "$outside" && echo untouched >"$outside/victim.txt"
    forge "$forgery" "$copy" "$outside"
    # A verdict that never comes is a failure too, not a wait without end.
    set -- timeout 300 tools/verify-release.py
    # shellcheck disable=SC2086 # one word per argument
    [ "$under" = - ] || set -- $under "$@"
    actual=0
    # shellcheck disable=SC2086 # one word per option
    TMPDIR=$folder/tmp "$@" $options "$copy" </dev/null >"$folder/stdout" 2>"$folder/stderr" ||
      actual=$?
    problems=
    [ "$actual" = "$status" ] || problems="$problems; exit status $actual"
    [ ! -s "$folder/stderr" ] || problems="$problems; stderr: $(cat "$folder/stderr")"
    last=$(tail -n 1 "$folder/stdout")
    verdict=$(printf '%s\n' "$verdict" | sed "s|@copy@|$copy|")
    [ "$last" = "verify-release: $verdict" ] || problems="$problems; verdict: $last"
    [ "$said" = - ] || grep -qxF "verify-release: $said" "$folder/stdout" ||
      problems="$problems; did not say: $said"
    [ "$false" = - ] || printf '%s\n' "$false" | tr ';' '\n' >"$folder/false"
    [ "$false" = - ] || ! grep '^verify-release: ' "$folder/stdout" |
      grep -F -f "$folder/false" >"$folder/said" ||
      problems="$problems; said: $(cat "$folder/said")"
    # A rebuilder's statement is written only where every file is the same.
    statement=$copy/$name.row.intoto.json
    case $options in
    *--attest*) if [ "$status" = 0 ]; then
      [ -f "$statement" ] && [ ! -L "$statement" ] && cp "$statement" "$work/statement.$row" ||
        problems="$problems; no statement"
    elif [ -e "$statement" ]; then
      problems="$problems; a statement, after a finding"
    fi ;;
    esac
    [ -z "$(ls "$folder/tmp")" ] || problems="$problems; left: $(ls "$folder/tmp")"
    [ ! -e "$folder/escaped" ] || problems="$problems; wrote $folder/escaped"
    [ "$(cat "$outside/victim.txt")" = untouched ] ||
      problems="$problems; wrote $outside/victim.txt"
    ! LC_ALL=C grep -q "$(printf '[\033\r\233]')" "$folder/stdout" ||
      problems="$problems; a raw escape or carriage return reached the output"
    [ "$(wc -c <"$folder/stdout")" -lt 1000000 ] ||
      problems="$problems; $(wc -c <"$folder/stdout") bytes of output"
    if [ -n "$problems" ]; then
      echo "FAILED: ${release##*/} $forgery $(u=${under%%:*}; echo "${u##*/}") $options$problems"
    else
      echo "ok: ${release##*/} $forgery $(u=${under%%:*}; echo "${u##*/}") $options ($(($(date +%s) - started)) s)"
    fi
  done
}
check_rows() {  # rows on standard input
  cat >"$work/rows"
  mkdir "$work/claimed"
  check "$work/one" <"$work/rows" >"$work/one.log" &
  worker=$!
  check "$work/two" <"$work/rows" >"$work/two.log"
  wait "$worker"
  cat "$work/one.log" "$work/two.log"
  rm -rf "$work/one" "$work/two" "$work/claimed"
  ! grep -qv '^ok: ' "$work/one.log" "$work/two.log" || failed=1
}
failed=0
# A machine without diffoscope, where apt-get would install it; and one
# where a package is installed for a second architecture too, as beside
# 32-bit wine.
mkdir "$work/no-diffoscope" "$work/multiarch"
cp -s /usr/bin/* "$work/no-diffoscope" 2>/dev/null || true
rm "$work/no-diffoscope/diffoscope" "$work/no-diffoscope/apt-get"
printf '#!/bin/sh\necho "apt-get $*" >&2\nexit 1\n' >"$work/no-diffoscope/apt-get"
cat >"$work/multiarch/dpkg-query" <<'EOF'
#!/bin/sh
out=$(mktemp)
/usr/bin/dpkg-query "$@" >"$out" && status=0 || status=$?
cat "$out"
# base-files for i386 as well as amd64: dpkg answers once for each.
grep -F base-files "$out" || true
rm "$out"
exit $status
EOF
chmod +x "$work/no-diffoscope/apt-get" "$work/multiarch/dpkg-query"
no_diffoscope="env PATH=$work/no-diffoscope"
multiarch="env PATH=$work/multiarch:$PATH"
came="the release came from this tree: every file is the same, byte for byte"
not="the release did not come from this tree"
unshown="the release is not shown to come from this tree"
roots="--root $material/root.pem --tsa-root $material/tsa-root.pem"
served="no certificate of the signer's chain is revoked (lists from ${lists}intermediate.crl, ${lists}root.crl)"
revoked_line="the signer's certificate was revoked on Jan  1 00:00:00 2026 GMT (keyCompromise)"
unjudged="timestamped ;'s chain;revoked"
unstamped="the timestamp's chain was not checked"
attest="--attest $material/clone.key --rebuilder row"
# Releases that a forger rebuilt, as anyone can, around a signature forged
# in what no signature covers, and one whose signature was stripped. They
# share build/windows, so they are built here one at a time, and the build
# is left with the stamped release again. The extra certificate names a
# list at an address that notes whether anything fetched from it.
forged=$work/forged
mkdir "$forged"
/usr/bin/python3 -c 'import socket, sys
listening = socket.socket()
listening.bind(("127.0.0.1", 0))
listening.listen()
print(listening.getsockname()[1], flush=True)
while True:
    listening.accept()[0].close()
    open(sys.argv[1], "a").write("fetched\n")' "$work/fetched" >"$work/noted.port" &
noted=$!
while [ ! -s "$work/noted.port" ]; do sleep 0.1; done
rebuild_with() {  # folder, signature ("" for none)
  VELTRIN_SIGNATURE=$2 cmake --workflow --preset windows-package >"$work/forge.log" 2>&1 ||
    { cat "$work/forge.log" && exit 1; }
  mkdir "$1"
  for file in build/windows/"$name".*; do cp "$file" "$1"; done
}
for how in spoof extra payload parameters duplicate blanks chunks graft root root-key-id \
  past-root algorithm relabelled content-type unverified; do
  url=http://127.0.0.1:$(cat "$work/noted.port")/nobody.crl from=$stamped
  case $how in
  spoof) from=$revoked ;;
  extra | payload | parameters | duplicate) from=$plain ;;
  graft) url=$lists ;;  # a timestamp of other bytes, from the authority
  esac
  /usr/bin/python3 tests/forge_signature.py "$how" "$from/$name.signature" \
    "$work/$how.signature" "$url" "$material/root.pem"
  rebuild_with "$forged/$how" "$work/$how.signature"
done
rebuild_with "$forged/stripped" ""
rm -rf "$work/restored" && rebuild_with "$work/restored" "$stamped/$name.signature"

check_rows <<ROWS
$stamped|-|-|$roots|0|$came|$served|-
$stamped|-|-||0|$came; the signer's chain was not checked; $unstamped|-|-
$stamped|-|-|--root $material/root.pem|0|$came; $unstamped|$served|-
$stamped|exe-changed|-|$roots --report-seconds 1|1|$not: the exe in $name.zip was changed after it was signed: its bytes are not those that its signature signs; the exe in $name.zip holds a PE checksum that is not that of its bytes, which no signature covers; these differ from the rebuilt ones: $name.zip (its veltrin-backend.exe), $name.zip.sha256|-|$unjudged
$stamped|exe-unsigned|-|$roots --report-seconds 1|1|$not: the exe in $name.zip carries no signature, though the release is signed; these differ from the rebuilt ones: $name.zip (its veltrin-backend.exe), $name.zip.sha256|-|$unjudged
$stamped|zip-cut|-|$roots|1|$not: $name.zip is damaged and cannot be unpacked|-|$unjudged;rebuild
$stamped|signature-byte|-|$roots --report-seconds 1|1|$not: the published $name.signature is not the signature in the exe in $name.zip; these differ from the rebuilt ones: $name.signature|-|-
$stamped|readme|-|$roots --report-seconds 1 $attest|1|$not: these differ from the rebuilt ones: $name.zip (its README.md), $name.zip.sha256|-|-
$stamped|readme|$no_diffoscope|$roots|1|$not: these differ from the rebuilt ones: $name.zip (its README.md), $name.zip.sha256|(diffoscope is not here to show where they differ: tools/setup.sh compare installs it)|-
$stamped|-|$multiarch|$roots|0|$came|-|here it is
$stamped|extra-dll|-|$roots --report-seconds 1|1|$not: $name.zip holds $name/version.dll, which a release does not; these differ from the rebuilt ones: $name.zip, $name.zip.sha256|-|-
$stamped|zip-byte|-||1|$not: $name.zip does not match its .sha256: it did not arrive whole; $name.zip is damaged and cannot be unpacked|-|-
$stamped|zip-end|-|--report-seconds 3|1|$not: these differ from the rebuilt ones: $name.zip, $name.zip.sha256; the signer's chain was not checked; $unstamped|-|-
$stamped|commit|-|$roots|1|$unshown: this tree is commit $commit, but the release was built from commit $other: check that one out and run this again|-|rebuild
$stamped|source-path|-|$roots|1|$not: $name.buildinfo does not name the release it is of: its Source and Version do not make its name|-|rebuild
$stamped|no-signature|-|$roots|1|$unshown: '@copy@' lacks $name.signature|-|not signed
$stamped|-|-|--root $material/other-root.pem|1|$unshown: the signature's chain does not lead to the root in $material/other-root.pem (its last certificate was issued by CN=veltrin-backend throwaway root, not by that root); $unstamped|-|revoked
$stamped|-|-|--root $material/root.pem --tsa-root $material/root.pem|1|$unshown: the timestamp's chain does not lead to the root in $material/root.pem (its last certificate was issued by CN=veltrin-backend throwaway time-stamp root, not by that root)|-|-
$stamped|zip-link|-||1|$not: $name.zip holds links, which a release does not: $name/lnk|-|unchanged;rebuild
$stamped|zip-dotdot|-||1|$not: $name.zip holds paths outside its folder: $name/../escaped|-|damaged;rebuild
$stamped|zip-duplicate|-||1|$not: $name.zip holds more than one entry named $exe|-|unchanged;rebuild
$stamped|zip-lzma|-||1|$not: $name.zip holds files compressed otherwise than by deflate, as a release's are not: $name/README.md|-|unchanged;rebuild
$stamped|zip-bzip2|-||1|$not: $name.zip holds files compressed otherwise than by deflate, as a release's are not: $name/README.md|-|unchanged;rebuild
$stamped|zip-many|-|--report-seconds 1|1|$not: $name.zip holds $name/empty-0 $name/empty-1 $name/empty-2 $name/empty-3 $name/empty-4 and 39995 more, which a release does not; these differ from the rebuilt ones: $name.zip, $name.zip.sha256; the signer's chain was not checked; $unstamped|-|empty-5
$stamped|exe-appended|-|$roots --report-seconds 1|1|$not: the exe in $name.zip holds 8 bytes after its certificate table, a PE checksum that is not that of its bytes, which no signature covers; these differ from the rebuilt ones: $name.zip (its veltrin-backend.exe), $name.zip.sha256|-|unchanged since
$stamped|exe-checksum|-|$roots --report-seconds 1|1|$not: the exe in $name.zip holds a PE checksum that is not that of its bytes, which no signature covers; these differ from the rebuilt ones: $name.zip (its veltrin-backend.exe), $name.zip.sha256|-|unchanged since
$stamped|signature-text|-|$roots --report-seconds 1|1|$not: the published $name.signature is not the signature in the exe in $name.zip; these differ from the rebuilt ones: $name.signature|-|carries the published
$stamped|sha256-second|-|--report-seconds 1|1|$not: $name.zip.sha256 names other files than the zip: other.txt; these differ from the rebuilt ones: $name.zip.sha256; the signer's chain was not checked; $unstamped|$name.zip matches its .sha256|did not arrive
$stamped|sha256-pagemap|-||1|$unshown: $name.zip.sha256 cannot be read: it is a link, which is not followed|-|rebuild
$stamped|statement-link|-|$roots $attest|0|$came|-|-
$stamped|-|-|$roots $attest|0|$came|-|-
$stamped|cdx-link|-||1|$unshown: $name.cdx.json cannot be read: it is a link, which is not followed|-|rebuild
$stamped|cdx-controls|-|--no-revocation|1|$not: these differ from the rebuilt ones: $name.cdx.json; the signer's chain was not checked; $unstamped; revocation was not checked|-|-
$stamped|depends-escape|-||1|$not: $name.buildinfo holds a control character, which a release's does not|-|rebuild
$stamped|record-name|-||1|$not: x\udc9b[2J.buildinfo does not name the release it is of: its Source and Version do not make its name|-|rebuild
$stamped|record-cr|-||1|$not: $name.buildinfo holds a control character, which a release's does not|-|rebuild
$forged/spoof|-|-|--root $material/root.pem|1|$not: the signature holds 2 certificates that could be taken for its signer; the signature carries 1 certificate beyond its signer's chain, which its signer did not sign; $revoked_line|-|names a revocation list
$forged/extra|-|-|--root $material/root.pem|1|$not: the signature carries 1 certificate beyond its signer's chain, which its signer did not sign|-|-
$forged/payload|-|-|--root $material/root.pem|1|$not: the signature carries 1 unsigned attribute other than a timestamp, which its signer did not sign|-|-
$forged/parameters|-|-|--root $material/root.pem|1|$not: the signature carries bytes beside what it signs and the certificates of its chains, which its signer did not sign|-|-
$forged/duplicate|-|-|--root $material/root.pem|1|$not: the signature carries 1 certificate beyond its signer's chain, which its signer did not sign|-|-
$forged/blanks|-|-|$roots|1|$not: the signature carries bytes beside what it signs and the certificates of its chains, which its signer did not sign|-|-
$forged/chunks|-|-|$roots|1|$not: the signature carries an encoding other than DER, which its signer did not sign|-|-
$forged/graft|-|-|--root $material/root.pem|1|$not: the signature's timestamp is of other bytes than its signer's signature|-|as the timestamp of
$forged/algorithm|-|-|$roots|1|$not: the signature carries an algorithm that its signer's key does not use, which its signer did not sign|-|-
$forged/relabelled|-|-|$roots|1|$not: the signature carries an algorithm that its signer's key does not use, which its signer did not sign|-|-
$forged/content-type|-|-|--root $material/root.pem|1|$not: the signature carries a timestamp whose content is not named a timestamp's, which its signer did not sign; $unstamped|-|-
$forged/root|-|-|$roots|1|$not: the signature carries 1 certificate beyond its signer's chain, which its signer did not sign|-|-
$forged/root-key-id|-|-||1|$not: the signature carries 1 certificate beyond its signer's chain, which its signer did not sign; the signer's chain was not checked; $unstamped|-|-
$forged/unverified|-|-|--root $material/root.pem|1|$not: the signature carries a timestamp that none of its certificates verifies, which its signer did not sign|-|-
$forged/past-root|-|-|$roots|1|$unshown: the signature carries 1 certificate of the signer's chain past the root in $material/root.pem, whose signatures are not checked|$served|-
$forged/stripped|-|-||0|$came; the release is not signed|-|signed by
$stamped|zip-bomb|-||1|$not: $name.zip unpacks to more than any release does|-|unchanged;rebuild
$stamped|zip-newline|-|--report-seconds 1|1|$not: $name.zip holds $name/README.md\n$name/THIRD-PARTY-NOTICES.txt, which a release does not; $name.zip lacks $name/README.md $name/THIRD-PARTY-NOTICES.txt; these differ from the rebuilt ones: $name.zip (its README.md THIRD-PARTY-NOTICES.txt), $name.zip.sha256; the signer's chain was not checked; $unstamped|-|exactly
$stamped|sha256-star|-|--no-revocation|1|$not: these differ from the rebuilt ones: $name.zip.sha256; the signer's chain was not checked; $unstamped; revocation was not checked|$name.zip matches its .sha256|did not arrive
$stamped|sha256-huge|-||1|$not: $name.zip.sha256 is far larger than a release's: it is not one|-|rebuild
$stamped|commit-escape|-||1|$not: $name.buildinfo holds a control character, which a release's does not|-|rebuild
$stamped|commit-huge|-||1|$not: $name.buildinfo is far larger than a release's: it is not one|-|rebuild
$stamped|depends-huge|-||1|$not: $name.buildinfo is far larger than a release's: it is not one|-|rebuild
$stamped|epoch-word|-||1|$not: $name.buildinfo's Source-Date-Epoch is not a count of seconds: soon; $unstamped|-|rebuild
$plain|-|-|--tsa-root $material/tsa-root.pem|1|$unshown: the signature has no timestamp to check against $material/tsa-root.pem; the signer's chain was not checked|-|-
$plain|-|faketime +2000days|--root $material/root.pem|1|$unshown: a certificate of the signer's chain has expired, and no timestamp keeps the signature valid|-|does not lead
$revoked|-|-|--root $material/root.pem|1|$unshown: $revoked_line|-|does not lead
ROWS

kill "$noted"
set -- "$work"/statement.*
if [ $# = 2 ] && cmp -s "$1" "$2"; then
  echo "ok: the statement, written twice, is the same, byte for byte"
else
  echo "FAILED: the statement, written twice, is not the same" && failed=1
fi
if [ -e "$work/fetched" ]; then
  echo "FAILED: a list was fetched at the address of a certificate that nothing verified"
  failed=1
else
  echo "ok: nothing was fetched at the address of a certificate that nothing verified"
fi

# From here on, nothing answers at the lists' addresses, as on a machine
# offline.
tests/throwaway.sh --stop "$material"
check_rows <<ROWS
$stamped|-|-|$roots|1|$unshown: revocation could not be checked: ${lists}intermediate.crl did not answer; give --crl FILE, or --no-revocation; revocation could not be checked: ${lists}tsa-root.crl did not answer; give --crl FILE, or --no-revocation|-|does not lead
$stamped|-|-|$roots --crl $material/lists.pem|0|$came|-|-
$stamped|-|-|$roots --no-revocation|0|$came; revocation was not checked|-|-
$revoked|-|-|--root $material/root.pem --crl $material/lists.pem|1|$unshown: $revoked_line|-|does not lead
ROWS

# Sent TERM during its rebuild, it ends the rebuild, one that would wait a
# minute, and leaves no scratch folder.
mkdir "$work/tmp" "$work/bin"
printf '#!/bin/sh\ncase $1 in --workflow) echo $$ >"%s"; exec sleep 60 ;; esac\nexec %s "$@"\n' \
  "$work/building" "$(command -v cmake)" >"$work/bin/cmake"
chmod +x "$work/bin/cmake"
PATH=$work/bin:$PATH TMPDIR=$work/tmp tools/verify-release.py --no-revocation \
  "$stamped" >/dev/null 2>&1 &
interrupted=$!
while [ ! -s "$work/building" ] && kill -0 "$interrupted" 2>/dev/null; do
  sleep 0.1
done
kill -TERM "$interrupted"
wait "$interrupted" || true
building=$(cat "$work/building" 2>/dev/null || true)
if [ -z "$building" ]; then
  echo "FAILED: interrupted: it never came to its rebuild" && failed=1
elif kill -0 "$building" 2>/dev/null; then
  kill "$building" && echo "FAILED: interrupted, its rebuild went on" && failed=1
elif [ -n "$(ls "$work/tmp")" ]; then
  echo "FAILED: interrupted, verify-release.py left $(ls "$work/tmp")" && failed=1
else
  echo "ok: interrupted during its rebuild, which it ended"
fi

# The addresses of both chains' lists, to fetch them for a check offline.
tools/verify-release.py --crl-addresses "$stamped" >"$work/addresses" 2>&1 || true
addresses="${lists}intermediate.crl ${lists}root.crl ${lists}tsa-root.crl"
if [ "$(paste -s -d ' ' "$work/addresses")" = "$addresses" ]; then
  echo "ok: --crl-addresses"
else
  echo "FAILED: --crl-addresses: $(cat "$work/addresses")" && failed=1
fi
# With the roots, none of a certificate past them.
# shellcheck disable=SC2086 # one word per option
tools/verify-release.py --crl-addresses $roots "$forged/past-root" >"$work/addresses" 2>&1 || true
if [ "$(paste -s -d ' ' "$work/addresses")" = "$addresses" ]; then
  echo "ok: --crl-addresses, with the roots, of a chain with a certificate past them"
else
  echo "FAILED: --crl-addresses with the roots: $(cat "$work/addresses")" && failed=1
fi

# A release folder whose name starts with a dash: refused with the reason
# as an option, and taken as a folder after --.
mkdir "$work/-dash"
status=0
(cd "$work" && tools=$OLDPWD/tools && "$tools/verify-release.py" -dash) \
  >"$work/stdout" 2>"$work/stderr" || status=$?
if [ "$status" = 2 ] && [ ! -s "$work/stdout" ] && grep -q -e '-dash' "$work/stderr"; then
  echo "ok: -dash"
else
  echo "FAILED: -dash: exit status $status; $(cat "$work/stderr")" && failed=1
fi
status=0
(cd "$work" && "$OLDPWD/tools/verify-release.py" -- -dash) >"$work/stdout" 2>&1 || status=$?
if [ "$status" = 1 ] && [ "$(tail -n 1 "$work/stdout")" = "verify-release: $unshown: '$work/-dash' must hold the .buildinfo of one release" ]; then
  echo "ok: -- -dash"
else
  echo "FAILED: -- -dash: exit status $status; $(tail -n 1 "$work/stdout")" && failed=1
fi
exit $failed
