"""The release's bill of materials, CycloneDX 1.6 in JSON, for vulnerability scanners and software
inventories: the program, with the SHA-256 of the exe as shipped, and one component for each Debian
package that the build used files from, with its licences and those files as evidence. Nothing in
it is of the build's own time or machine: its timestamp is the release's date, and its serial
number is derived from its content. Its fields: docs/release.md."""
import datetime
import hashlib
import json
import platform
import re
import urllib.parse
import uuid

from debian import deb822

from . import licences


def purl(package, distro):
    """The package's purl, with the source package that Debian's security data is keyed by, and its
    version where it differs."""
    quote = lambda text: urllib.parse.quote(text, safe=".-_~:")
    qualifiers = {"arch": package["Architecture"], "distro": distro}
    source, source_version = package["source:Package"], package["source:Version"]
    if source != package["Package"] or source_version != package["Version"]:
        qualifiers["upstream"] = source + (
            "" if source_version == package["Version"] else f"@{source_version}")
    return (f"pkg:deb/debian/{quote(package['Package'])}@{quote(package['Version'])}?"
            + "&".join(f"{k}={quote(v)}" for k, v in sorted(qualifiers.items())))


def component(package, distro, vendor):
    files = [file for file, _ in package["files"]]
    expression, definitions, untraced = licences.claimed(package["copyright"], files)
    maintainer = re.fullmatch(r"(.*?)\s*<(.*)>", package["Maintainer"])
    reference = purl(package, distro)
    entry = {
        "type": "library", "bom-ref": reference,
        "supplier": {"name": vendor["Vendor"], "url": [vendor["Vendor-URL"]],
                     "contact": [{"name": maintainer[1], "email": maintainer[2]}]},
        "name": package["Package"], "version": package["Version"],
        "description": package["binary:Summary"],
        "licenses": [{"expression": expression}],
        "purl": reference,
    }
    if package["Homepage"]:
        entry["externalReferences"] = [{"type": "website", "url": package["Homepage"]}]
    entry["properties"] = [{"name": "veltrin-backend:licences", "value": (
        f"the whole package's: the build took {untraced[0]}, which is not traced"
        if untraced else "those of the copyright paragraphs of the files the build took")}]
    defined = [{"license": {"name": name, "text": {"contentType": "text/plain", "content": text}}
                if text else {"name": name, "url": f"file://{file}"}}
               for name, text, file in definitions]
    entry["evidence"] = {"licenses": defined} if defined else {}
    entry["evidence"]["occurrences"] = [
        {"location": f"{file}({member})" if member else file} for file, member in package["files"]]
    return entry


def document(facts, exe_sum, packages):
    """The bill of a release of FACTS, a buildinfo.Facts, whose exe has the SHA-256 EXE_SUM and
    whose build used the files of PACKAGES, as components.by_package gives them."""
    system = platform.freedesktop_os_release()
    with open("/etc/dpkg/origins/default", encoding="utf-8") as origins:
        vendor = deb822.Deb822(origins)
    distro = f"{system['ID']}-{system['VERSION_ID']}"
    components = [component(packages[name], distro, vendor) for name in sorted(packages)]
    program_ref = f"{facts.program}@{facts.version}"
    date = datetime.datetime.fromtimestamp(int(facts.epoch), datetime.timezone.utc)
    bom = {
        "bomFormat": "CycloneDX", "specVersion": "1.6", "serialNumber": "", "version": 1,
        "metadata": {
            "timestamp": date.strftime("%Y-%m-%dT%H:%M:%SZ"),
            "lifecycles": [{"phase": "build"}],
            "component": {
                "type": "application", "bom-ref": program_ref, "name": facts.program,
                "version": facts.version, "description": facts.description,
                "hashes": [{"alg": "SHA-256", "content": exe_sum}],
                "licenses": [{"license": {"name": facts.licence}}],
            },
        },
        "components": components,
        "dependencies": [{"ref": program_ref,
                          "dependsOn": [c["bom-ref"] for c in components]}],
    }
    # A name-based UUID of everything else the document says, so that the same content always has
    # the same serial.
    body = hashlib.sha256(dump(bom).encode()).hexdigest()
    bom["serialNumber"] = f"urn:uuid:{uuid.uuid5(uuid.NAMESPACE_URL, f'urn:sha256:{body}')}"
    return bom


def dump(bom):
    return json.dumps(bom, indent=2, ensure_ascii=False) + "\n"
