#!/usr/bin/python3 -B
"""Writes the manifests by which winget and scoop install the Windows release as a portable
package. It reads the release that the last Windows build made in build/windows, signed or not: the
name, version, description and licence as CMake has them, the zip's name and sum and the exe's path
in it, the release's date (its moment, not the clock's) and the publisher, from the signer's
certificate (its organization, or else its common name). It writes winget's three files in its
community repository's layout under build/windows/manifests/winget/, and scoop's one under
build/windows/manifests/scoop/, and prints their paths. The same release and options give the same
bytes. A bad input is refused with one line, and nothing is written. Publishing them:
docs/release.md."""
import argparse
import datetime
import json
import pathlib
import re
import shutil
import tempfile
import zipfile

import yaml
from cryptography.x509.oid import NameOID

from release import authenticode, certificates, cli, layout, published
from release.cli import Refusal

TOP = pathlib.Path(__file__).resolve().parent.parent
BUILD = TOP / "build/windows"
SCHEMA = "https://aka.ms/winget-manifest.{}.1.12.0.schema.json"


def arguments():
    parser = argparse.ArgumentParser(prog="tools/manifests.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--url", required=True, metavar="ZIP-URL", help="the https address "
                        "where the zip will be published, which ends in its name")
    parser.add_argument("--homepage", required=True, metavar="URL", help="the project's home page")
    parser.add_argument("--publisher", metavar="NAME", help="the publisher's name, for an "
                        "unsigned release, or in place of the signer's")
    return parser.parse_args()


def publisher_of(signature):
    """The signer's organization, or else its common name."""
    signer = authenticode.Signature(certificates.blocks(signature.read_bytes())[0]).signer
    if signer is None:
        raise Refusal(f"openssl verifies {signature.name} with none of the certificates it holds")
    for oid in (NameOID.ORGANIZATION_NAME, NameOID.COMMON_NAME):
        names = signer.subject.get_attributes_for_oid(oid)
        if names:
            return names[0].value
    return None


def winget(identifier, version, publisher, program, facts, url, homepage, zip_sum, exe, date):
    common = {"PackageIdentifier": identifier, "PackageVersion": version}
    end = {"ManifestVersion": "1.12.0"}
    return {
        "version": {**common, "DefaultLocale": "en-US", "ManifestType": "version", **end},
        "installer": {**common, "InstallerType": "zip", "NestedInstallerType": "portable",
                      "NestedInstallerFiles": [{"RelativeFilePath": exe.replace("/", "\\"),
                                                "PortableCommandAlias": program}],
                      "ReleaseDate": date,
                      "Installers": [{"Architecture": "x64", "InstallerUrl": url,
                                      "InstallerSha256": zip_sum.upper()}],
                      "ManifestType": "installer", **end},
        "defaultLocale": {**common, "PackageLocale": "en-US", "Publisher": publisher,
                          "PackageName": program, "PackageUrl": homepage,
                          "License": facts["PROJECT_LICENSE"],
                          "ShortDescription": facts["CMAKE_PROJECT_DESCRIPTION"],
                          "ManifestType": "defaultLocale", **end},
    }


def scoop(version, facts, url, homepage, zip_sum, exe):
    folder = exe.rsplit("/", 1)[0]
    manifest = {"version": version, "description": facts["CMAKE_PROJECT_DESCRIPTION"],
                "homepage": homepage, "license": facts["PROJECT_LICENSE"],
                "architecture": {"64bit": {"url": url, "hash": zip_sum, "extract_dir": folder}},
                "bin": exe.rsplit("/", 1)[1]}
    # scoop finds new versions where the address is a GitHub release's, and then fetches each from
    # the same address with the version changed.
    github = re.match(r"(https://github\.com/[^/]+/[^/]+)/releases/download/", url)
    if github:
        templated = lambda text: text.replace(version, "$version")
        manifest["checkver"] = {"github": github[1]}
        manifest["autoupdate"] = {
            "architecture": {"64bit": {"url": templated(url), "extract_dir": templated(folder)}},
            "hash": {"url": "$url.sha256"}}
    return json.dumps(manifest, indent=4, ensure_ascii=False) + "\n"


def main():
    given = arguments()
    missing = Refusal("no release in build/windows: run cmake --workflow --preset windows first")
    if not (BUILD / "CMakeCache.txt").is_file():
        raise missing
    facts = layout.cache(BUILD)
    program, version = facts["CMAKE_PROJECT_NAME"], facts["CMAKE_PROJECT_VERSION"]
    name = layout.name(program, version)
    zip_path, record, signature = (BUILD / f"{name}.{ending}"
                                   for ending in ("zip", "buildinfo", "signature"))
    if not zip_path.is_file() or not record.is_file():
        raise missing
    # What the owner gives is checked before anything is written.
    if not re.fullmatch(rf"https://[^/]+/(.*/)?{re.escape(name)}\.zip", given.url):
        raise Refusal(f"--url must be an https:// address that ends in /{name}.zip, "
                      f"not '{given.url}'")
    if not re.match(r"https?://.", given.homepage):
        raise Refusal(f"--homepage must be an http:// or https:// address, not '{given.homepage}'")
    if re.search(r'[\s"\\<>]|[^\x21-\x7e]', given.url + given.homepage):
        raise Refusal("an address holds a blank, or a character that addresses escape: "
                      f"'{given.url}' '{given.homepage}'")
    publisher = given.publisher or (signature.is_file() and publisher_of(signature))
    if not publisher:
        raise Refusal("the release is not signed: give the publisher's name with --publisher")
    if cli.hidden(publisher):
        raise Refusal(f"the publisher's name '{publisher}' holds a control or format character, "
                      "which a manifest does not")
    # winget's rule for each part of a package identifier.
    publisher_id = re.sub(r"[ .]", "", publisher)
    if not re.fullmatch(r'[^\\/:*?"<>|\s\x00-\x1f]{1,32}', publisher_id):
        raise Refusal(f"the publisher '{publisher}' makes the package identifier "
                      f"'{publisher_id}.{program}', which winget refuses: without its blanks "
                      "and dots, a publisher's name has 1 to 32 characters, none of \\/:*?\"<>|")
    with zipfile.ZipFile(zip_path) as archive:
        exes = [n for n in archive.namelist() if n.endswith(".exe")]
    if len(exes) != 1:
        raise Refusal(f"{name}.zip must hold one exe")
    epoch = int(published.buildinfo(record.read_bytes())["Source-Date-Epoch"])
    date = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).strftime("%Y-%m-%d")
    zip_sum, identifier = published.sum_of(zip_path), f"{publisher_id}.{program}"

    with tempfile.TemporaryDirectory(dir=BUILD) as work:
        work = pathlib.Path(work)
        folder = (work / "winget/manifests" / publisher_id[0].lower() / publisher_id / program
                  / version)
        folder.mkdir(parents=True)
        for kind, fields in winget(identifier, version, publisher, program, facts, given.url,
                                   given.homepage, zip_sum, exes[0], date).items():
            suffix = {"version": "", "installer": ".installer",
                      "defaultLocale": ".locale.en-US"}[kind]
            (folder / f"{identifier}{suffix}.yaml").write_text(
                f"# Made by tools/manifests.py from {name}.zip.\n"
                f"# yaml-language-server: $schema={SCHEMA.format(kind.lower())}\n\n"
                + yaml.safe_dump(fields, sort_keys=False, allow_unicode=True, width=1000),
                encoding="utf-8")
        (work / "scoop").mkdir()
        (work / "scoop" / f"{program}.json").write_text(
            scoop(version, facts, given.url, given.homepage, zip_sum, exes[0]), encoding="utf-8")
        shutil.rmtree(BUILD / "manifests", ignore_errors=True)
        work.rename(BUILD / "manifests")
        work.mkdir()  # for the context to remove
    for path in sorted(p for p in (BUILD / "manifests").rglob("*") if p.is_file()):
        print(f"manifests: {path}")


if __name__ == "__main__":
    cli.run("manifests", main)
