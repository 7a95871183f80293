"""The record of how a release was built, modelled on Debian's .buildinfo files. Its fields:
docs/release.md."""
import platform

from debian import deb822

from . import certificates, dpkg, published


def record(build, shipped, signer):
    """The .buildinfo's text for BUILD, a layout.Build, with the sums of the files SHIPPED, and
    SIGNER the signer's certificate, or None."""
    system = platform.freedesktop_os_release()
    with open("/etc/debian_version", encoding="utf-8") as debian:
        release = f"{system['NAME']} {debian.read().strip()} ({system['VERSION_CODENAME']})"
    fields = deb822.Deb822()
    fields["Format"] = "1.0"
    fields["Source"], fields["Version"] = build.program, build.version
    if build.facts["RELEASE_COMMIT"] != "-":
        fields["Source-Commit"] = build.facts["RELEASE_COMMIT"]
    fields["Checksums-Sha256"] = "".join(
        f"\n {published.sum_of(path)} {path.stat().st_size} {path.name}" for path in shipped)
    fields["Build-Origin"] = "Debian"
    fields["Build-Release"] = release
    fields["Build-Architecture"] = dpkg.architecture()
    fields["Source-Date-Epoch"] = build.facts["RELEASE_SOURCE_DATE_EPOCH"]
    fields["Source-Date-Epoch-From"] = build.facts["RELEASE_SOURCE_DATE_ORIGIN"]
    if signer:
        fields["Signer"] = certificates.name(signer.subject)
        fields["Signer-Sha256-Fingerprint"] = certificates.fingerprint(signer)
    fields["Installed-Build-Depends"] = ",".join(
        f"\n {line}" for line in dpkg.release_versions(signer is not None))
    return fields.dump()
