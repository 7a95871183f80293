#!/usr/bin/python3 -B
"""Writes winget's and scoop's manifests of the release in build/windows, as a portable package,
under build/windows/manifests/, and prints their paths. The publisher is the signer's organization
(or else its common name) unless --publisher names it. Publishing: docs/release.md."""
import argparse
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


def arguments():
    parser = argparse.ArgumentParser(prog="tools/manifests.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--url", required=True, metavar="ZIP-URL", help="the zip's https address")
    parser.add_argument("--homepage", required=True, metavar="URL", help="the project's home page")
    parser.add_argument("--publisher", metavar="NAME", help="in place of the signer's name")
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


def winget(build, options, publisher, exe, zip_sum):
    """winget's three files, by their paths in its community repository's layout."""
    publisher_id = re.sub(r"[ .]", "", publisher)
    identifier = f"{publisher_id}.{build.program}"
    if not re.fullmatch(r'[^\\/:*?"<>|\s\x00-\x1f]{1,32}', publisher_id):
        raise Refusal(f"the publisher '{publisher}' makes the package identifier '{identifier}', "
                      "which winget refuses: without its blanks and dots, a publisher's name has 1 "
                      "to 32 characters, none of \\/:*?\"<>|")
    folder = pathlib.Path("winget/manifests", publisher_id[0].lower(), publisher_id,
                          build.program, build.version)
    common = {"PackageIdentifier": identifier, "PackageVersion": build.version}
    epoch = int(build.facts["RELEASE_SOURCE_DATE_EPOCH"])
    end = {"ManifestVersion": "1.12.0"}
    by_suffix = {
        "": {**common, "DefaultLocale": "en-US", "ManifestType": "version", **end},
        ".installer": {**common, "InstallerType": "zip", "NestedInstallerType": "portable",
                       "NestedInstallerFiles": [{"RelativeFilePath": exe.replace("/", "\\"),
                                                 "PortableCommandAlias": build.program}],
                       "ReleaseDate": time.strftime("%Y-%m-%d", time.gmtime(epoch)),
                       "Installers": [{"Architecture": "x64", "InstallerUrl": options.url,
                                       "InstallerSha256": zip_sum.upper()}],
                       "ManifestType": "installer", **end},
        ".locale.en-US": {**common, "PackageLocale": "en-US", "Publisher": publisher,
                          "PackageName": build.program, "PackageUrl": options.homepage,
                          "License": build.facts["PROJECT_LICENSE"],
                          "ShortDescription": build.facts["CMAKE_PROJECT_DESCRIPTION"],
                          "ManifestType": "defaultLocale", **end}}
    return {folder / f"{identifier}{suffix}.yaml":
            f"# Made by tools/manifests.py from {build.name}.zip.\n"
            f"# yaml-language-server: $schema=https://aka.ms/winget-manifest."
            f"{fields['ManifestType'].lower()}.{fields['ManifestVersion']}.schema.json\n\n"
            + yaml.safe_dump(fields, sort_keys=False, allow_unicode=True, width=1000)
            for suffix, fields in by_suffix.items()}


def scoop(build, options, exe, zip_sum):
    folder, exe_name = exe.rsplit("/", 1)
    package = {"url": options.url, "hash": zip_sum, "extract_dir": folder}
    manifest = {"version": build.version, "description": build.facts["CMAKE_PROJECT_DESCRIPTION"],
                "homepage": options.homepage, "license": build.facts["PROJECT_LICENSE"],
                "architecture": {"64bit": package}, "bin": exe_name}
    # From a GitHub release's address, scoop finds new versions, and fetches each by the version.
    github = re.match(r"(https://github\.com/[^/]+/[^/]+)/releases/download/", options.url)
    if github:
        manifest["checkver"] = {"github": github[1]}
        manifest["autoupdate"] = {
            "architecture": {"64bit": {key: package[key].replace(build.version, "$version")
                                       for key in ("url", "extract_dir")}},
            "hash": {"url": "$url.sha256"}}
    return {pathlib.Path("scoop", f"{build.program}.json"):
            json.dumps(manifest, indent=4, ensure_ascii=False) + "\n"}


def write(files, folder):
    """FOLDER/manifests replaced by FILES, written aside first so that a failure leaves the old."""
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
    check_addresses(options, build.name)
    publisher = publisher_of(options, build.file("signature"))
    with zipfile.ZipFile(build.file("zip")) as archive:
        exes = [name for name in archive.namelist() if name.endswith(".exe")]
    if len(exes) != 1:
        raise Refusal(f"{build.name}.zip must hold one exe")
    zip_sum = published.sum_of(build.file("zip"))
    files = {**winget(build, options, publisher, exes[0], zip_sum),
             **scoop(build, options, exes[0], zip_sum)}
    for path in write(files, build.folder):
        print(f"manifests: {path}")


if __name__ == "__main__":
    cli.run("manifests", main)
