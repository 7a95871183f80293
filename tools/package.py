#!/usr/bin/python3 -B
"""The Windows build's own steps, which cmake/release.cmake runs:

  notices  reads the link map and the compiler's dependency files once,
           into the list of what the build took from which package, and
           writes the notices from it
  attach   makes the exe that is tested and shipped from the one the
           linker wrote: with the detached signature that
           VELTRIN_SIGNATURE names attached, or unsigned where it is unset
           or empty; run on every build, so that a change of it takes hold
  finish   writes the bill of materials and the .buildinfo beside the zip

A signature attaches whether or not this machine trusts its signer; what is checked is that it was
made for exactly these bytes. When that fails, nothing of the release is left behind. For whom and
why: docs/release.md."""
import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys

from release import cli, layout

# Each step imports only the libraries it reads and writes with: the build runs them on every
# build.


def update(new, old):
    """A file that comes out the same keeps its time, so that nothing that depends on it is made
    again."""
    if old.is_file() and old.read_bytes() == new.read_bytes():
        new.unlink()
    else:
        new.replace(old)


def attach(given):
    from release import authenticode, certificates
    unsigned, exe, release = given.unsigned, given.exe, str(given.release)
    signature = os.environ.get("VELTRIN_SIGNATURE", "")
    kept = pathlib.Path(f"{release}.signature")
    part = exe.with_name(exe.name + ".part")

    def fail(why):
        for path in [exe, part] + layout.files(given.release.parent, given.release.name, False):
            path.unlink(missing_ok=True)
        if not (kept.exists() and os.path.exists(signature) and kept.samefile(signature)):
            kept.unlink(missing_ok=True)
        raise cli.Refusal(why)

    if not signature:
        shutil.copyfile(unsigned, part)
        update(part, exe)
        kept.unlink(missing_ok=True)
        return 0
    if not os.path.isfile(signature):
        fail(f"there is no file '{signature}'; set it to a release's .signature "
             "file, or unset it to build unsigned")
    if not shutil.which("osslsigncode"):
        fail(f"attaching '{signature}' needs osslsigncode, which tools/setup.sh sign installs")
    try:
        der = certificates.blocks(pathlib.Path(signature).read_bytes())[0]
        read = authenticode.Signature(der)
        if read.signer is None:
            raise ValueError("no certificate it holds verifies it")
        fits = read.signs(unsigned.read_bytes())
    except (ValueError, IndexError):
        fail(f"'{signature}' is not a signature; set it to a release's .signature "
             "file, a PEM PKCS#7 as tools/sign.py writes it")
    if not fits:
        fail(f"'{signature}' was made for other bytes than this exe (another commit "
             "or toolchain); set it to the .signature of the release that this tree "
             "and toolchain build, or unset it to build unsigned")
    # osslsigncode checks the signer's chain too, and fails where this machine does not trust it,
    # whatever the fit: an empty CA file keeps the machine's trust out, and what it attached is
    # checked below.
    part.unlink(missing_ok=True)
    subprocess.run(["osslsigncode", "attach-signature", "-CAfile", "/dev/null",
                    "-TSA-CAfile", "/dev/null", "-sigin", signature, "-in", unsigned,
                    "-out", part], capture_output=True)
    held = part.is_file() and authenticode.attached(part.read_bytes())
    if not held or held[0] != der:
        fail(f"osslsigncode could not attach '{signature}' to {unsigned}")
    update(part, exe)
    copy = pathlib.Path(f"{release}.signature.part")
    shutil.copyfile(signature, copy)
    update(copy, kept)
    print(f"{exe.name}: signed, with the signature in '{signature}'")
    return 0


def list_taken(given):
    from release import notices, taken
    # A compiler's dependency file lies beside its object; the resource compiler's, which CMake
    # does not ask for, is given by its name.
    depfiles = [o if o.endswith(".d") else f"{o}.d" for o in given.objects]
    missing = [d for d in depfiles if not os.path.isfile(d) and not d.endswith(".res.d")]
    if missing:
        raise cli.Refusal(f"there is no dependency file {missing[0]}")
    try:
        found = taken.taken(given.map, [d for d in depfiles if os.path.isfile(d)],
                            [str(p.resolve()) for p in given.own])
    except ValueError as why:
        raise cli.Refusal(str(why)) from None
    given.taken.write_text(json.dumps(found, indent=1, sort_keys=True) + "\n")
    given.notices.write_text(notices.notices(f"{given.program}.exe", found))
    return 0


def finish(given):
    from release import authenticode, buildinfo, certificates, published, sbom
    release = given.release
    signature = pathlib.Path(f"{release}.signature")
    exe = given.shipped / f"{given.name}.exe"
    packages = json.loads(given.taken.read_text())
    bom = pathlib.Path(f"{release}.cdx.json")
    bom.write_text(sbom.dump(sbom.document(
        given.name, given.version, given.description, given.licence, given.epoch,
        published.sum_of(exe), packages)))
    signer = None
    if signature.is_file():
        der = certificates.blocks(signature.read_bytes())[0]
        certificate = authenticode.Signature(der).signer
        signer = certificates.name(certificate.subject), certificates.fingerprint(certificate)
    shipped = [given.zip, exe, given.shipped / "THIRD-PARTY-NOTICES.txt", bom]
    pathlib.Path(f"{release}.buildinfo").write_text(buildinfo.record(
        given.name, given.version, given.commit, given.epoch, given.origin,
        shipped + ([signature] if signer else []), signer))
    return 0



def main():
    parser = argparse.ArgumentParser(prog="tools/package.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    steps = parser.add_subparsers(required=True, metavar="STEP")
    step = steps.add_parser("notices", help="list what the build took, and write the notices")
    step.add_argument("map", type=pathlib.Path)
    step.add_argument("program")
    step.add_argument("taken", type=pathlib.Path)
    step.add_argument("notices", type=pathlib.Path)
    step.add_argument("--objects", nargs="*", default=[])
    step.add_argument("--own", nargs="*", type=pathlib.Path, default=[])
    step.set_defaults(run=list_taken)
    step = steps.add_parser("attach", help="make the shipped exe, signed or not")
    step.add_argument("unsigned", type=pathlib.Path)
    step.add_argument("exe", type=pathlib.Path)
    step.add_argument("release", type=pathlib.Path,
                      help="the path of the release's files less their endings")
    step.set_defaults(run=attach)
    step = steps.add_parser("finish", help="write the bill of materials and the .buildinfo")
    step.add_argument("release", type=pathlib.Path)
    step.add_argument("zip", type=pathlib.Path, help="the zip, before cpack copies it out")
    step.add_argument("shipped", type=pathlib.Path, help="the folder of what the zip holds")
    step.add_argument("taken", type=pathlib.Path)
    for option in ("name", "version", "description", "licence", "epoch", "origin", "commit"):
        step.add_argument(f"--{option}", required=True)
    step.set_defaults(run=finish)
    given = parser.parse_args()
    return given.run(given)


if __name__ == "__main__":
    cli.run("VELTRIN_SIGNATURE" if sys.argv[1:2] == ["attach"] else "package", main)
