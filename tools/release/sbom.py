"""The release's bill of materials, CycloneDX 1.6 in JSON. Nothing in it is of the build's own time
or machine. Its fields: docs/release.md."""
import hashlib
import json
import platform
import re
import time
import urllib.parse
import uuid

from debian import deb822

from . import licences


def purl(package, distro):
    """The package's purl, as docs/release.md describes it."""
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


def document(build, exe_sum, packages):
    """The bill of BUILD, a layout.Build, whose exe has the SHA-256 EXE_SUM and which used the
    files of PACKAGES, as components.by_package gives them."""
    system = platform.freedesktop_os_release()
    with open("/etc/dpkg/origins/default", encoding="utf-8") as origins:
        vendor = deb822.Deb822(origins)
    distro = f"{system['ID']}-{system['VERSION_ID']}"
    components = [component(packages[name], distro, vendor) for name in sorted(packages)]
    program_ref = f"{build.program}@{build.version}"
    epoch = int(build.facts["RELEASE_SOURCE_DATE_EPOCH"])
    bom = {
        "bomFormat": "CycloneDX", "specVersion": "1.6", "serialNumber": "", "version": 1,
        "metadata": {
            "timestamp": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch)),
            "lifecycles": [{"phase": "build"}],
            "component": {
                "type": "application", "bom-ref": program_ref, "name": build.program,
                "version": build.version, "description": build.facts["CMAKE_PROJECT_DESCRIPTION"],
                "hashes": [{"alg": "SHA-256", "content": exe_sum}],
                "licenses": [{"license": {"name": build.facts["PROJECT_LICENSE"]}}],
            },
        },
        "components": components,
        "dependencies": [{"ref": program_ref,
                          "dependsOn": [c["bom-ref"] for c in components]}],
    }
    body = hashlib.sha256(dump(bom).encode()).hexdigest()
    bom["serialNumber"] = f"urn:uuid:{uuid.uuid5(uuid.NAMESPACE_URL, f'urn:sha256:{body}')}"
    return bom


def dump(bom):
    return json.dumps(bom, indent=2, ensure_ascii=False) + "\n"
