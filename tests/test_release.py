"""A Windows release as the build left it, at RELEASE (the path of its files
less their endings): the zip matches its .sha256 and holds exactly the
README, the notices and the exe as built; the .buildinfo holds the sum of
each file shipped; and the bill of materials names the exe by its sum, and
exactly the packages of the notices, each as installed, with purls that
scanners match to Debian's security data and the licences of what the exe
holds. One row a component."""
import hashlib
import json
import os
import pathlib
import re
import subprocess
import sys
import urllib.parse
import zipfile

import license_expression
import pytest

TOP = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(TOP / "tools"))
from release import dpkg, layout, published  # noqa: E402

RELEASE = pathlib.Path(os.environ["RELEASE"])
BUILD = RELEASE.parent
BOM = json.loads(pathlib.Path(f"{RELEASE}.cdx.json").read_text())
NOTICES = (BUILD / "THIRD-PARTY-NOTICES.txt").read_text()
SPDX = license_expression.get_spdx_licensing()


def test_zip_and_record():
    subprocess.run(["sha256sum", "-c", f"{RELEASE.name}.zip.sha256"], cwd=BUILD, check=True)
    record = published.buildinfo(pathlib.Path(f"{RELEASE}.buildinfo").read_bytes())
    sums = {line["name"]: (line["sha256"], int(line["size"])) for line in record["Checksums-Sha256"]}
    signature = pathlib.Path(f"{RELEASE}.signature")
    for path in [pathlib.Path(f"{RELEASE}.zip"), BUILD / "veltrin-backend.exe",
                 BUILD / "THIRD-PARTY-NOTICES.txt", pathlib.Path(f"{RELEASE}.cdx.json")] + (
                     [signature] if signature.is_file() else []):
        assert sums.pop(path.name) == (published.sum_of(path), path.stat().st_size)
    assert not sums
    program, version = record["Source"], record["Version"]
    with zipfile.ZipFile(f"{RELEASE}.zip") as archive:
        assert sorted(archive.namelist()) == sorted(layout.members(program, version))
        for member, built in zip(layout.members(program, version),
                                 (TOP / "README.md", BUILD / "THIRD-PARTY-NOTICES.txt",
                                  BUILD / "veltrin-backend.exe")):
            assert archive.read(member) == built.read_bytes()
    exe_sum = hashlib.sha256((BUILD / "veltrin-backend.exe").read_bytes()).hexdigest()
    assert BOM["metadata"]["component"]["hashes"] == [{"alg": "SHA-256", "content": exe_sum}]


def test_same_packages_as_the_notices():
    listed = set(re.findall(r"^  (\S+) (\S+) /", NOTICES, re.MULTILINE))
    assert listed == {(c["name"], c["version"]) for c in BOM["components"]}
    assert "mingw-w64-common" in {c["name"] for c in BOM["components"]}


@pytest.mark.parametrize("component", BOM["components"], ids=lambda c: c["name"])
def test_component(component):
    [installed] = dpkg.query(("Version", "Architecture", "source:Package", "source:Version"),
                             [component["name"]])
    fields = list(installed.values())
    purl = urllib.parse.urlsplit(component["purl"])
    name, version = map(urllib.parse.unquote, purl.path.split("/")[-1].split("@"))
    qualifiers = dict(urllib.parse.parse_qsl(purl.query))
    assert purl.path.split("/")[:2] == ["deb", "debian"]
    assert (name, version) == (component["name"], fields[0])
    assert qualifiers["arch"] == fields[1]
    upstream = fields[2] + ("" if fields[3] == fields[0] else f"@{fields[3]}")
    assert qualifiers.get("upstream") == (None if upstream == component["name"] else upstream)
    [entry] = component["licenses"]
    expression = entry["expression"]
    info = SPDX.validate(expression)
    assert all(s.startswith("LicenseRef-") for s in info.invalid_symbols)
    assert all(e.startswith("Unknown license key") for e in info.errors)
    defined = {e["license"]["name"]: e["license"] for e in component["evidence"].get("licenses", [])}
    assert set(re.findall(r"LicenseRef-[A-Za-z0-9.-]+", expression)) == set(defined)
    assert all("text" in d or "url" in d for d in defined.values())
    if component["name"].startswith("mingw-w64"):
        assert "GPL" not in expression
    if component["name"].startswith(("gcc-", "g++-")):
        assert expression.startswith("GPL-3.0-or-later WITH GCC-exception-3.1")
    if component["name"].startswith("gcc-"):
        assert expression == "GPL-3.0-or-later WITH GCC-exception-3.1"
