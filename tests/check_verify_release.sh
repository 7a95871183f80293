#!/bin/sh
# Runs tools/verify-release.sh on genuine and forged copies of published
# releases, and checks what it says of each: its exit status, its verdict,
# the last line, which names every finding, and that it names no false one.
# Each verdict must come however the forgery throws the tools it calls
# (diffoscope hangs on a zip whose end record is damaged), and no run may
# leave a scratch folder behind. Needs faketime (tools/setup.sh rebuild),
# and the lists of MATERIAL served, which it stops half-way, to check a
# machine offline.
#
# usage: check_verify_release.sh STAMPED PLAIN REVOKED MATERIAL
#   STAMPED   a published release whose signature is timestamped
#   PLAIN     a published release whose signature is not
#   REVOKED   a published release signed with MATERIAL's revoked certificate
#   MATERIAL  the folder of tests/throwaway.sh that signed them, with lists
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

# Each forgery but the first keeps the zip's .sha256 true to it, as a
# forger who can change the one can change the other.
forge() {  # how, release folder
  zip=$2/$name.zip
  case $1 in
  zip-byte) printf Z | dd of="$zip" bs=1 seek=1000 conv=notrunc 2>/dev/null ;;
  zip-end)  # the last byte, in the end record
    printf Z | dd of="$zip" bs=1 seek=$(($(wc -c <"$zip") - 1)) conv=notrunc 2>/dev/null
    ;;
  zip-cut) head -c 200000 "$zip" >"$zip.cut" && mv "$zip.cut" "$zip" ;;
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
  commit) sed -i "s/^Source-Commit: .*/Source-Commit: $other/" "$2/$name.buildinfo" ;;
  source-path) sed -i 's|^Source: .*|Source: ../../escaped|' "$2/$name.buildinfo" ;;
  esac
  case $1 in zip-byte | -) ;; *) (cd "$2" && sha256sum "$name.zip" >"$name.zip.sha256") ;; esac
}

# One case a row: the release, its forgery ("-" for none), the command
# that it runs under ("-" for none), the options, the exit status, the
# verdict after "verify-release: ", a line that must be said before it
# ("-" for none), and what must not be said, as words of lines joined with
# ";" ("-" for nothing), among its own lines; @copy@ stands for the forged
# copy's folder. The throwaway certificates expire in 1000 days. Reports
# are cut short where they are not the point, as they cost seconds.
# The rows run two at a time, as the machine has two cores, each pair in a
# folder of its own; a row's line starts with "ok: " when it passes.
check() {  # folder, rows on standard input
  folder=$1
  mkdir "$folder"
  while IFS='|' read -r release forgery under options status verdict said false; do
    copy=$folder/release
    rm -rf "$copy" "$folder/tmp" && cp -R "$release" "$copy" && mkdir "$folder/tmp"
    forge "$forgery" "$copy"
    # A verdict that never comes is a failure too, not a wait without end.
    set -- timeout 300 tools/verify-release.sh
    # shellcheck disable=SC2086 # one word per argument
    [ "$under" = - ] || set -- $under "$@"
    actual=0
    # shellcheck disable=SC2086 # one word per option
    TMPDIR=$folder/tmp "$@" $options "$copy" >"$folder/stdout" 2>"$folder/stderr" ||
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
    [ -z "$(ls "$folder/tmp")" ] || problems="$problems; left: $(ls "$folder/tmp")"
    [ ! -e "$folder/escaped" ] || problems="$problems; wrote $folder/escaped"
    if [ -n "$problems" ]; then
      echo "FAILED: ${release##*/} $forgery $(u=${under%%:*}; echo "${u##*/}") $options$problems"
    else
      echo "ok: ${release##*/} $forgery $(u=${under%%:*}; echo "${u##*/}") $options"
    fi
  done
}
check_rows() {  # rows on standard input
  cat >"$work/rows"
  awk 'NR % 2 == 1' "$work/rows" | check "$work/odd" >"$work/odd.log" &
  awk 'NR % 2 == 0' "$work/rows" | check "$work/even" >"$work/even.log"
  wait
  cat "$work/odd.log" "$work/even.log"
  rm -rf "$work/odd" "$work/even"
  ! grep -qv '^ok: ' "$work/odd.log" "$work/even.log" || failed=1
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
# base-files for i386 as well as amd64, as dpkg answers for each.
case "$*" in *' base-files') [ $# = 4 ] && cat "$out" ;; esac
sed -n 's/^\(installed base-files .*\) amd64$/\1 i386/p' "$out"
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
check_rows <<ROWS
$stamped|-|-|$roots|0|$came|$served|-
$stamped|-|-||0|$came; the signer's chain was not checked|-|-
$stamped|exe-changed|-|$roots --report-seconds 1|1|$not: the exe in $name.zip was changed after it was signed: its bytes are not those that its signature signs; these differ from the rebuilt ones: $name.zip (its veltrin-backend.exe), $name.zip.sha256|-|$unjudged
$stamped|exe-unsigned|-|$roots --report-seconds 1|1|$not: the exe in $name.zip carries no signature, though the release is signed; these differ from the rebuilt ones: $name.zip (its veltrin-backend.exe), $name.zip.sha256|-|$unjudged
$stamped|zip-cut|-|$roots|1|$not: $name.zip is damaged and cannot be unpacked|-|$unjudged;rebuild
$stamped|signature-byte|-|$roots --report-seconds 1|1|$not: the published $name.signature is not the signature in the exe in $name.zip; these differ from the rebuilt ones: $name.signature|-|-
$stamped|readme|-|$roots --report-seconds 1|1|$not: these differ from the rebuilt ones: $name.zip (its README.md), $name.zip.sha256|-|-
$stamped|readme|$no_diffoscope|$roots|1|$not: these differ from the rebuilt ones: $name.zip (its README.md), $name.zip.sha256|(diffoscope is not here to show where they differ: tools/setup.sh compare installs it)|-
$stamped|-|$multiarch|$roots|0|$came|-|here it is
$stamped|extra-dll|-|$roots --report-seconds 1|1|$not: $name.zip holds $name/version.dll, which a release does not; these differ from the rebuilt ones: $name.zip, $name.zip.sha256|-|-
$stamped|zip-byte|-||1|$not: $name.zip does not match its .sha256: it did not arrive whole; $name.zip is damaged and cannot be unpacked|-|-
$stamped|zip-end|-|--report-seconds 3|1|$not: these differ from the rebuilt ones: $name.zip, $name.zip.sha256; the signer's chain was not checked|-|-
$stamped|commit|-|$roots|1|$unshown: this tree is commit $commit, but the release was built from commit $other: check that one out and run this again|-|rebuild
$stamped|source-path|-|$roots|1|$not: $name.buildinfo does not name the release it is of: its Source and Version do not make its name|-|rebuild
$stamped|no-signature|-|$roots|1|$unshown: '@copy@' lacks $name.signature|-|not signed
$stamped|-|-|--root $material/other-root.pem|1|$unshown: the signature's chain does not lead to the root in $material/other-root.pem (unable to get local issuer certificate)|-|revoked
$stamped|-|-|--root $material/root.pem --tsa-root $material/root.pem|1|$unshown: the timestamp's chain does not lead to the root in $material/root.pem (unable to get local issuer certificate)|-|-
$plain|-|-|--tsa-root $material/tsa-root.pem|1|$unshown: the signature has no timestamp to check against $material/tsa-root.pem; the signer's chain was not checked|-|-
$plain|-|faketime +2000days|--root $material/root.pem|1|$unshown: a certificate of the signer's chain has expired, and no timestamp keeps the signature valid|-|does not lead
$revoked|-|-|--root $material/root.pem|1|$unshown: $revoked_line|-|does not lead
ROWS

# From here on, nothing answers at the lists' addresses, as on a machine
# offline.
tests/throwaway.sh --stop "$material"
check_rows <<ROWS
$stamped|-|-|$roots|1|$unshown: revocation could not be checked: ${lists}intermediate.crl did not answer; give --crl FILE, or --no-revocation; revocation could not be checked: ${lists}tsa-root.crl did not answer; give --crl FILE, or --no-revocation|-|does not lead
$stamped|-|-|$roots --crl $material/lists.pem|0|$came|-|-
$stamped|-|-|$roots --no-revocation|0|$came; revocation was not checked|-|-
$revoked|-|-|--root $material/root.pem --crl $material/lists.pem|1|$unshown: $revoked_line|-|does not lead
ROWS

# Sent TERM during its rebuild, it leaves no scratch folder. The rebuild is
# one that waits to be ended too.
mkdir "$work/tmp" "$work/bin"
printf '#!/bin/sh\ncase $1 in --workflow) echo $$ >"%s"; exec sleep 60 ;; esac\nexec %s "$@"\n' \
  "$work/building" "$(command -v cmake)" >"$work/bin/cmake"
chmod +x "$work/bin/cmake"
PATH=$work/bin:$PATH TMPDIR=$work/tmp tools/verify-release.sh --no-revocation \
  "$stamped" >/dev/null 2>&1 &
interrupted=$!
while [ ! -s "$work/building" ] && kill -0 "$interrupted" 2>/dev/null; do
  sleep 0.1
done
kill -TERM "$interrupted" "$(cat "$work/building")"
wait "$interrupted" || true
if [ -n "$(ls "$work/tmp")" ]; then
  echo "interrupted, verify-release.sh left $(ls "$work/tmp")" && failed=1
else
  echo "ok: interrupted during its rebuild"
fi
exit $failed
