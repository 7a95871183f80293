#!/usr/bin/python3 -B
"""The Windows build's own steps, which cmake/release.cmake runs:

  notices  reads the link map and the compiler's dependency files once,
           into the list of the components that the build used, by package,
           and writes the notices from it
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

# The components that the build used, as the notices step lists them in the build folder.
COMPONENTS = "components.json"


def update(new, old):
    """A file that comes out the same keeps its time, so that nothing that depends on it is made
    again."""
    if old.is_file() and old.read_bytes() == new.read_bytes():
        new.unlink()
    else:
        new.replace(old)


def attach(arguments):
    unsigned, exe, release = arguments.unsigned, arguments.exe, arguments.release
    signature = os.environ.get("VELTRIN_SIGNATURE", "")
    kept = pathlib.Path(f"{release}.signature")
    part = exe.with_name(exe.name + ".part")
    if not signature:
        shutil.copyfile(unsigned, part)
        update(part, exe)
        kept.unlink(missing_ok=True)
        return 0
    try:
        _attach(signature, unsigned, part)
    except cli.Refusal:
        # Nothing of the release is left behind, but the signature named, where it is the
        # release's own.
        for path in [exe, part] + layout.files(release.parent, release.name, False):
            path.unlink(missing_ok=True)
        if not (kept.exists() and os.path.exists(signature) and kept.samefile(signature)):
            kept.unlink(missing_ok=True)
        raise
    update(part, exe)
    copy = pathlib.Path(f"{release}.signature.part")
    shutil.copyfile(signature, copy)
    update(copy, kept)
    print(f"{exe.name}: signed, with the signature in '{signature}'")
    return 0


def _checked(signature, unsigned):
    """The signature in the file SIGNATURE, refused unless it was made for UNSIGNED's bytes."""
    from release import authenticode
    if not os.path.isfile(signature):
        raise cli.Refusal(f"there is no file '{signature}'; set it to a release's .signature "
                          "file, or unset it to build unsigned")
    cli.require(f"attaching '{signature}'", "sign", "osslsigncode")
    try:
        read = authenticode.from_pem(pathlib.Path(signature).read_bytes())
        if read.signer is None:
            raise ValueError("no certificate it holds verifies it")
        fits = read.fits(unsigned.read_bytes())
    except (ValueError, IndexError):
        raise cli.Refusal(f"'{signature}' is not a signature; set it to a release's .signature "
                          "file, a PEM PKCS#7 as tools/sign.py writes it") from None
    if not fits:
        raise cli.Refusal(f"'{signature}' was made for other bytes than this exe (another commit "
                          "or toolchain); set it to the .signature of the release that this "
                          "tree and toolchain build, or unset it to build unsigned")
    return read


def _attach(signature, unsigned, part):
    """Writes PART, UNSIGNED with the signature in the file SIGNATURE attached."""
    from release import authenticode
    der = _checked(signature, unsigned).der
    # osslsigncode checks the signer's chain too, and fails where this machine does not trust it,
    # whatever the fit: an empty CA file keeps the machine's trust out, and what it attached is
    # checked below.
    part.unlink(missing_ok=True)
    subprocess.run(["osslsigncode", "attach-signature", "-CAfile", "/dev/null",
                    "-TSA-CAfile", "/dev/null", "-sigin", signature, "-in", unsigned,
                    "-out", part], capture_output=True)
    held = part.is_file() and authenticode.attached(part.read_bytes())
    if not held or held[0] != der:
        raise cli.Refusal(f"osslsigncode could not attach '{signature}' to {unsigned}")


def list_components(arguments):
    from release import components, notices
    # A compiler's dependency file lies beside its object; the resource compiler's, which CMake
    # does not ask for, is given by its name.
    depfiles = [o if o.endswith(".d") else f"{o}.d" for o in arguments.objects]
    missing = [d for d in depfiles if not os.path.isfile(d) and not d.endswith(".res.d")]
    if missing:
        raise cli.Refusal(f"there is no dependency file {missing[0]}")
    try:
        found = components.by_package(arguments.map, [d for d in depfiles if os.path.isfile(d)],
                                      [str(p.resolve()) for p in arguments.own])
    except ValueError as why:
        raise cli.Refusal(str(why)) from None
    arguments.components.write_text(json.dumps(found, indent=1, sort_keys=True) + "\n")
    arguments.notices.write_text(notices.notices(f"{arguments.program}.exe", found))
    return 0


def finish(arguments):
    from release import authenticode, buildinfo, published, sbom
    facts = buildinfo.Facts.from_cache(layout.cache(arguments.build))
    release, shipped = arguments.release, arguments.shipped
    exe = shipped / f"{facts.program}.exe"
    packages = json.loads((arguments.build / COMPONENTS).read_text())
    bom = pathlib.Path(f"{release}.cdx.json")
    bom.write_text(sbom.dump(sbom.document(facts, published.sum_of(exe), packages)))
    signature = pathlib.Path(f"{release}.signature")
    signer = authenticode.from_pem(signature.read_bytes()).signer if signature.is_file() else None
    files = [arguments.zip, exe, shipped / "THIRD-PARTY-NOTICES.txt", bom]
    try:
        record = buildinfo.record(facts, files + ([signature] if signer else []), signer)
    except ValueError as why:
        raise cli.Refusal(str(why)) from None
    pathlib.Path(f"{release}.buildinfo").write_text(record)
    return 0


def main():
    parser = argparse.ArgumentParser(prog="tools/package.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    steps = parser.add_subparsers(required=True, metavar="STEP")
    step = steps.add_parser("notices", help="list the components that the build used, and write "
                            "the notices")
    step.add_argument("map", type=pathlib.Path)
    step.add_argument("program")
    step.add_argument("components", type=pathlib.Path)
    step.add_argument("notices", type=pathlib.Path)
    step.add_argument("--objects", nargs="*", default=[])
    step.add_argument("--own", nargs="*", type=pathlib.Path, default=[])
    step.set_defaults(run=list_components)
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
    step.add_argument("build", type=pathlib.Path,
                      help=f"the build folder, of the CMake cache and {COMPONENTS}")
    step.set_defaults(run=finish)
    arguments = parser.parse_args()
    return arguments.run(arguments)


if __name__ == "__main__":
    cli.run("VELTRIN_SIGNATURE" if sys.argv[1:2] == ["attach"] else "package", main)
