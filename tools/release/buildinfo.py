"""The record of how a release was built, modelled on Debian's .buildinfo files and written with
python3-debian: the commit built, the release's date and where that came from, who signed the
exe, the Debian release and the versions of the packages that shape its bytes, and the sums of
what it ships. It holds nothing of the builder: no date, path or user. Its fields:
docs/release.md."""
import dataclasses
import platform

from debian import deb822

from . import certificates, dpkg, published


@dataclasses.dataclass
class Facts:
    """What the release says of itself, as the build's CMake cache holds it."""
    program: str
    version: str
    description: str
    licence: str
    epoch: str  # the release's date, its source date epoch
    origin: str  # where the epoch came from: SOURCE_DATE_EPOCH, commit or fallback
    commit: str  # the commit built, or - for a tree that names none

    @classmethod
    def from_cache(cls, cache):
        return cls(cache["CMAKE_PROJECT_NAME"], cache["CMAKE_PROJECT_VERSION"],
                   cache["CMAKE_PROJECT_DESCRIPTION"], cache["PROJECT_LICENSE"],
                   cache["RELEASE_SOURCE_DATE_EPOCH"], cache["RELEASE_SOURCE_DATE_ORIGIN"],
                   cache["RELEASE_COMMIT"])


def record(facts, shipped, signer):
    """The .buildinfo's text. SHIPPED are the files whose sums it holds; SIGNER the signer's
    certificate, or None."""
    system = platform.freedesktop_os_release()
    with open("/etc/debian_version", encoding="utf-8") as debian:
        release = f"{system['NAME']} {debian.read().strip()} ({system['VERSION_CODENAME']})"
    fields = deb822.Deb822()
    fields["Format"] = "1.0"
    fields["Source"], fields["Version"] = facts.program, facts.version
    if facts.commit != "-":
        fields["Source-Commit"] = facts.commit
    fields["Checksums-Sha256"] = "".join(
        f"\n {published.sum_of(path)} {path.stat().st_size} {path.name}" for path in shipped)
    fields["Build-Origin"] = "Debian"
    fields["Build-Release"] = release
    fields["Build-Architecture"] = dpkg.architecture()
    fields["Source-Date-Epoch"], fields["Source-Date-Epoch-From"] = facts.epoch, facts.origin
    if signer:
        fields["Signer"] = certificates.name(signer.subject)
        fields["Signer-Sha256-Fingerprint"] = certificates.fingerprint(signer)
    fields["Installed-Build-Depends"] = ",".join(
        f"\n {line}" for line in dpkg.release_versions(signer is not None))
    return fields.dump()

