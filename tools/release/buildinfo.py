"""The record of how a release was built, modelled on Debian's .buildinfo files and written with
python3-debian: the commit built, the moment its files carry and where that came from, who
signed the exe, the Debian release and the versions of the packages that shape its bytes, and
the sums of what it ships. It holds nothing of the builder: no date, path or user. Its fields:
docs/release.md."""
import hashlib
import pathlib
import platform
import subprocess

from debian import deb822


def record(program, version, commit, epoch, origin, shipped, signer):
    """The .buildinfo's text. SHIPPED are the files whose sums it holds; SIGNER (name, fingerprint)
    or None."""
    system = platform.freedesktop_os_release()
    with open("/etc/debian_version", encoding="utf-8") as debian:
        release = f"{system['NAME']} {debian.read().strip()} ({system['VERSION_CODENAME']})"
    words = ["sign"] if signer else []
    setup = pathlib.Path(__file__).resolve().parent.parent / "setup.sh"
    depends = subprocess.run(["sh", str(setup), "--versions", *words],
                             capture_output=True, text=True, check=True).stdout.split("\n")
    fields = deb822.Deb822()
    fields["Format"] = "1.0"
    fields["Source"], fields["Version"] = program, version
    if commit != "-":
        fields["Source-Commit"] = commit
    fields["Checksums-Sha256"] = "".join(
        f"\n {hashlib.sha256(path.read_bytes()).hexdigest()} {path.stat().st_size} {path.name}"
        for path in shipped)
    fields["Build-Origin"] = "Debian"
    fields["Build-Release"] = release
    fields["Build-Architecture"] = subprocess.run(["dpkg", "--print-architecture"], text=True,
                                                  capture_output=True, check=True).stdout.strip()
    fields["Source-Date-Epoch"], fields["Source-Date-Epoch-From"] = epoch, origin
    if signer:
        fields["Signer"], fields["Signer-Sha256-Fingerprint"] = signer
    fields["Installed-Build-Depends"] = ",".join(
        f"\n {line}" for line in depends if line)
    return fields.dump()
