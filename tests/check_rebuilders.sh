#!/bin/sh
# Checks a published release by the statements of the two rebuilders that
# attested it, as a user does who trusts them: with no rebuild, in a clone at
# another commit that has never built, on a machine without the Windows
# toolchain or CMake; then with tools/release/rebuilders.py by itself, as on
# Windows. The two statements, made by other users, at other times, in other
# places, say the same but for who made them.
#
# usage: check_rebuilders.sh RELEASE MATERIAL
#   RELEASE   a published release, with the statements of tests/throwaway.sh's
#             rebuilders, archive and clone
#   MATERIAL  the folder of tests/throwaway.sh that signed it and them
set -eu

release=$1 material=$2
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
name=$(basename "$release"/*.buildinfo .buildinfo)
trusted="--rebuilders $material/rebuilders.txt"
checks="--root $material/root.pem --tsa-root $material/tsa-root.pem --crl $material/lists.pem"
came="the release came from its commit: every file is the one that the rebuilders whom you trust rebuilt"

/usr/bin/python3 - "$release/$name" <<'EOF' || failed=1
import base64, json, sys
said = []
for rebuilder in ("archive", "clone"):
    with open(f"{sys.argv[1]}.{rebuilder}.intoto.json", encoding="utf-8") as file:
        said.append(json.loads(base64.b64decode(json.load(file)["payload"])))
    builder = said[-1]["predicate"].pop("runDetails")["builder"]["id"]
    assert builder.endswith(f":rebuilder:{rebuilder}"), builder
print("ok: the two statements say the same but for who made them" if said[0] == said[1] else
      "FAILED: the two statements differ beyond who made them")
sys.exit(said[0] != said[1])
EOF

# A clone at another commit, never built, and a PATH without CMake, the
# Windows toolchain or wine.
git -c safe.directory="$(pwd -P)" bundle create -q "$work/head.bundle" HEAD
git -c advice.detachedHead=false clone -q "$work/head.bundle" "$work/elsewhere"
git -C "$work/elsewhere" -c user.name=ci -c user.email=ci@invalid commit -q --allow-empty \
  -m "another commit"
mkdir "$work/bin"
for program in /usr/bin/*; do
  case ${program##*/} in cmake | ctest | cpack | *mingw32* | wine*) ;;
  *) ln -s "$program" "$work/bin/" ;;
  esac
done

# One case a row: how the release is changed ("-" for none), the options,
# the exit status, the verdict after "verify-release: ", where * stands for
# any text.
while IFS='|' read -r change options status verdict; do
  rm -rf "$work/release" && cp -R "$release" "$work/release"
  case $change in
  readme)  # and the .sha256 with it, as a forger who can change the one can change the other
    mkdir "$work/unpacked"
    (cd "$work/unpacked" && cmake -E tar xf "$work/release/$name.zip" &&
      echo "Also at https://example.org/" >>"$name/README.md" &&
      cmake -E tar cf "$work/release/$name.zip" --format=zip "$name")
    rm -r "$work/unpacked"
    (cd "$work/release" && sha256sum "$name.zip" >"$name.zip.sha256")
    ;;
  esac
  actual=0
  # shellcheck disable=SC2086 # one word per option
  (cd "$work/elsewhere" && PATH=$work/bin tools/verify-release.py $options "$work/release") \
    >"$work/stdout" 2>&1 || actual=$?
  last=$(tail -n 1 "$work/stdout")
  # shellcheck disable=SC2254 # the verdict is a pattern
  case $last in "verify-release: "$verdict) matched=yes ;; *) matched=no ;; esac
  if [ "$actual" = "$status" ] && [ "$matched" = yes ] &&
    ! grep -q '^verify-release: rebuilding' "$work/stdout" && [ ! -e "$work/elsewhere/build" ]; then
    echo "ok: $change $options"
  else
    echo "FAILED: $change $options: exit status $actual; $last" && failed=1
  fi
done <<ROWS
-|$trusted --min-rebuilders 2 $checks|0|$came
-|$trusted --min-rebuilders 3 $checks|1|the release is not shown to come from its commit: 2 of the rebuilders whom you trust agree, and --min-rebuilders asks for 3
readme|$trusted --min-rebuilders 2 $checks|1|the release is not shown to come from its commit: archive (SHA256:*) rebuilt other bytes: $name.zip, $name.zip.sha256; clone (SHA256:*) rebuilt other bytes: $name.zip, $name.zip.sha256; 0 of the rebuilders whom you trust agree, and --min-rebuilders asks for 2
ROWS

# By itself, as on Windows: Python alone, isolated from this tree.
status=0
/usr/bin/python3 -I -B "$work/elsewhere/tools/release/rebuilders.py" --rebuilders \
  "$material/rebuilders.txt" --min-rebuilders 2 "$release" >"$work/stdout" 2>&1 || status=$?
if [ "$status" = 0 ] && [ "$(tail -n 1 "$work/stdout")" = "rebuilders: $came" ]; then
  echo "ok: tools/release/rebuilders.py by itself"
else
  echo "FAILED: tools/release/rebuilders.py by itself: exit status $status; $(cat "$work/stdout")"
  failed=1
fi
exit $failed
