#!/usr/bin/python3 -B
"""Writes the manifests by which winget and scoop install the Windows release in build/windows,
signed or not, as a portable package, under build/windows/manifests/ (winget's three files in its
community repository's layout), and prints their paths. The publisher is the signer's organization
(or else its common name) unless --publisher names it. The same release and options give the same
bytes; a bad input is refused with one line, and nothing is written. Publishing: docs/release.md."""
import argparse
import dataclasses
import json
import pathlib
import re
import shutil
import tempfile
import time
import zipfile

import yaml
from cryptography.x509.oid import NameOID

from release import authenticode, cli, layout, published
from release.cli import Refusal

SCHEMA = "https://aka.ms/winget-manifest.{}.1.12.0.schema.json"


@dataclasses.dataclass
class Release:
    """What both manifests say of the release."""
    program: str
    version: str
    publisher: str
    identifier: str  # winget's: the publisher's name without blanks and dots, a dot, the program
    description: str
    licence: str
    url: str
    homepage: str
    zip_sum: str
    exe: str  # its path in the zip
    date: str  # the day of its source date epoch, as YYYY-MM-DD


def arguments():
    parser = argparse.ArgumentParser(prog="tools/manifests.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--url", required=True, metavar="ZIP-URL", help="the https address "
                        "where the zip will be published, which ends in its name")
    parser.add_argument("--homepage", required=True, metavar="URL", help="the project's home page")
    parser.add_argument("--publisher", metavar="NAME", help="the publisher's name, for an "
                        "unsigned release, or in place of the signer's")
    return parser.parse_args()


def check_addresses(options, name):
    if not re.fullmatch(rf"https://[^/]+/(.*/)?{re.escape(name)}\.zip", options.url):
        raise Refusal(f"--url must be an https:// address that ends in /{name}.zip, "
                      f"not '{options.url}'")
    if not re.match(r"https?://.", options.homepage):
        raise Refusal("--homepage must be an http:// or https:// address, "
                      f"not '{options.homepage}'")
    if re.search(r'[\s"\\<>]|[^\x21-\x7e]', options.url + options.homepage):
        raise Refusal("an address holds a blank, or a character that addresses escape: "
                      f"'{options.url}' '{options.homepage}'")


def publisher_of(options, signature):
    """The name that the owner gave, or else the signer's organization or common name."""
    name = options.publisher
    if not name and signature.is_file():
        try:
            signer = authenticode.from_pem(signature.read_bytes()).signer
        except ValueError:
            raise Refusal(f"{signature.name} is not a signature, a PEM PKCS#7 as tools/sign.py "
                          "writes it") from None
        if signer is None:
            raise Refusal(f"openssl verifies {signature.name} with none of the certificates it "
                          "holds")
        names = (signer.subject.get_attributes_for_oid(NameOID.ORGANIZATION_NAME)
                 or signer.subject.get_attributes_for_oid(NameOID.COMMON_NAME))
        name = names[0].value if names else None
    if not name:
        raise Refusal("the release is not signed: give the publisher's name with --publisher")
    if cli.hidden(name):
        raise Refusal(f"the publisher's name '{name}' holds a control or format character, "
                      "which a manifest does not")
    return name


def package_identifier(publisher, program):
    """The identifier by winget's rule for each of its parts."""
    publisher_id = re.sub(r"[ .]", "", publisher)
    if not re.fullmatch(r'[^\\/:*?"<>|\s\x00-\x1f]{1,32}', publisher_id):
        raise Refusal(f"the publisher '{publisher}' makes the package identifier "
                      f"'{publisher_id}.{program}', which winget refuses: without its blanks "
                      "and dots, a publisher's name has 1 to 32 characters, none of \\/:*?\"<>|")
    return f"{publisher_id}.{program}"


def winget(release):
    """winget's three files, by their paths in its community repository's layout."""
    publisher_id = release.identifier.partition(".")[0]  # the publisher's part has no dot
    folder = pathlib.Path("winget/manifests", publisher_id[0].lower(), publisher_id,
                          release.program, release.version)
    common = {"PackageIdentifier": release.identifier, "PackageVersion": release.version}
    end = {"ManifestVersion": "1.12.0"}
    by_suffix = {
        "": {**common, "DefaultLocale": "en-US", "ManifestType": "version", **end},
        ".installer": {**common, "InstallerType": "zip", "NestedInstallerType": "portable",
                       "NestedInstallerFiles": [{"RelativeFilePath": release.exe.replace("/", "\\"),
                                                 "PortableCommandAlias": release.program}],
                       "ReleaseDate": release.date,
                       "Installers": [{"Architecture": "x64", "InstallerUrl": release.url,
                                       "InstallerSha256": release.zip_sum.upper()}],
                       "ManifestType": "installer", **end},
        ".locale.en-US": {**common, "PackageLocale": "en-US", "Publisher": release.publisher,
                          "PackageName": release.program, "PackageUrl": release.homepage,
                          "License": release.licence, "ShortDescription": release.description,
                          "ManifestType": "defaultLocale", **end}}
    name = layout.name(release.program, release.version)
    return {folder / f"{release.identifier}{suffix}.yaml":
            f"# Made by tools/manifests.py from {name}.zip.\n"
            f"# yaml-language-server: $schema={SCHEMA.format(fields['ManifestType'].lower())}\n\n"
            + yaml.safe_dump(fields, sort_keys=False, allow_unicode=True, width=1000)
            for suffix, fields in by_suffix.items()}


def scoop(release):
    """scoop's one file, by its path."""
    folder, exe = release.exe.rsplit("/", 1)
    manifest = {"version": release.version, "description": release.description,
                "homepage": release.homepage, "license": release.licence,
                "architecture": {"64bit": {"url": release.url, "hash": release.zip_sum,
                                           "extract_dir": folder}},
                "bin": exe}
    # scoop finds new versions where the address is a GitHub release's, and then fetches each from
    # the same address with the version changed.
    github = re.match(r"(https://github\.com/[^/]+/[^/]+)/releases/download/", release.url)
    if github:
        manifest["checkver"] = {"github": github[1]}
        package = manifest["architecture"]["64bit"]
        manifest["autoupdate"] = {
            "architecture": {"64bit": {key: package[key].replace(release.version, "$version")
                                       for key in ("url", "extract_dir")}},
            "hash": {"url": "$url.sha256"}}
    return {pathlib.Path("scoop", f"{release.program}.json"):
            json.dumps(manifest, indent=4, ensure_ascii=False) + "\n"}


def write(files, folder):
    """Puts FILES in FOLDER/manifests in place of what it held, and returns their paths. They are
    written in a scratch folder first, so that a failure leaves the old manifests as they were."""
    manifests = folder / "manifests"
    with tempfile.TemporaryDirectory(dir=folder) as scratch:
        written = pathlib.Path(scratch, "manifests")
        for path, text in files.items():
            (written / path).parent.mkdir(parents=True, exist_ok=True)
            (written / path).write_text(text, encoding="utf-8")
        shutil.rmtree(manifests, ignore_errors=True)
        written.rename(manifests)  # the scratch folder, now empty, goes when the block ends
    return sorted(manifests / path for path in files)


def main():
    options = arguments()
    build = layout.last_build()
    if not build or not build.file("zip").is_file() or not build.file("buildinfo").is_file():
        raise Refusal("no release in build/windows: run cmake --workflow --preset windows first")
    # What the owner gives is checked before anything is written.
    check_addresses(options, build.name)
    publisher = publisher_of(options, build.file("signature"))
    identifier = package_identifier(publisher, build.program)
    with zipfile.ZipFile(build.file("zip")) as archive:
        exes = [name for name in archive.namelist() if name.endswith(".exe")]
    if len(exes) != 1:
        raise Refusal(f"{build.name}.zip must hold one exe")
    record = published.buildinfo(build.file("buildinfo").read_bytes())
    date = time.strftime("%Y-%m-%d", time.gmtime(int(record["Source-Date-Epoch"])))
    release = Release(build.program, build.version, publisher, identifier,
                      build.facts["CMAKE_PROJECT_DESCRIPTION"], build.facts["PROJECT_LICENSE"],
                      options.url, options.homepage, published.sum_of(build.file("zip")),
                      exes[0], date)
    for path in write({**winget(release), **scoop(release)}, build.folder):
        print(f"manifests: {path}")


if __name__ == "__main__":
    cli.run("manifests", main)
