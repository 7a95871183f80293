#!/usr/bin/python3 -B
"""The Windows build's own steps, which cmake/release.cmake runs. For whom and why:
docs/release.md."""
import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile

from release import cli, layout

# Each step imports only the libraries it needs: the build runs the steps on every build, and the
# others take a fifth of a second to load.


def update(path, data):
    """Writes DATA to PATH unless it holds them, so that what depends on it is not made again."""
    if not (path.is_file() and path.read_bytes() == data):
        path.write_bytes(data)


def attach(arguments):
    unsigned, exe, release = arguments.unsigned, arguments.exe, arguments.release
    signature = os.environ.get("VELTRIN_SIGNATURE", "")
    kept = pathlib.Path(f"{release}.signature")
    if not signature:
        update(exe, unsigned.read_bytes())
        kept.unlink(missing_ok=True)
        return 0
    try:
        update(exe, _signed(signature, unsigned))
    except cli.Refusal:
        # Nothing of the release is left behind, but the signature named, where it is the
        # release's own.
        for path in [exe] + layout.files(release.parent, release.name, False):
            path.unlink(missing_ok=True)
        if not (kept.exists() and os.path.exists(signature) and kept.samefile(signature)):
            kept.unlink(missing_ok=True)
        raise
    update(kept, pathlib.Path(signature).read_bytes())
    print(f"{exe.name}: signed, with the signature in '{signature}'")
    return 0


def _signed(signature, unsigned):
    """UNSIGNED's bytes with the signature in the file SIGNATURE attached, refused unless it was
    made for them."""
    from release import authenticode
    if not os.path.isfile(signature):
        raise cli.Refusal(f"there is no file '{signature}'; set it to a release's .signature "
                          "file, or unset it to build unsigned")
    cli.require(f"attaching '{signature}'", "sign", "osslsigncode")
    try:
        read = authenticode.from_pem(pathlib.Path(signature).read_bytes())
        signs = read.signer is not None and read.signs(unsigned.read_bytes())
    except (ValueError, IndexError):
        read = None
    if read is None or read.signer is None:
        raise cli.Refusal(f"'{signature}' is not a signature; set it to a release's .signature "
                          "file, a PEM PKCS#7 as tools/sign.py writes it")
    if not signs:
        raise cli.Refusal(f"'{signature}' was made for other bytes than this exe (another commit "
                          "or toolchain); set it to the .signature of the release that this "
                          "tree and toolchain build, or unset it to build unsigned")
    # osslsigncode checks the signer's chain too, and fails where this machine does not trust it:
    # an empty CA file keeps the machine's trust out, and what it attached is checked below.
    with tempfile.TemporaryDirectory() as scratch:
        part = pathlib.Path(scratch, unsigned.name)
        subprocess.run(["osslsigncode", "attach-signature", "-CAfile", "/dev/null",
                        "-TSA-CAfile", "/dev/null", "-sigin", signature, "-in", unsigned,
                        "-out", part], capture_output=True)
        signed = part.read_bytes() if part.is_file() else b""
    held = authenticode.attached(signed)
    if not held or held[0] != read.der:
        raise cli.Refusal(f"osslsigncode could not attach '{signature}' to {unsigned}")
    return signed


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
    build = layout.last_build(arguments.build)
    release, shipped = arguments.release, arguments.shipped
    exe = shipped / f"{build.program}.exe"
    packages = json.loads((arguments.build / "components.json").read_text())
    bom = pathlib.Path(f"{release}.cdx.json")
    bom.write_text(sbom.dump(sbom.document(build, published.sum_of(exe), packages)))
    signature = pathlib.Path(f"{release}.signature")
    signer = authenticode.from_pem(signature.read_bytes()).signer if signature.is_file() else None
    files = [arguments.zip, exe, shipped / "THIRD-PARTY-NOTICES.txt", bom]
    try:
        record = buildinfo.record(build, files + ([signature] if signer else []), signer)
    except ValueError as why:
        raise cli.Refusal(str(why)) from None
    pathlib.Path(f"{release}.buildinfo").write_text(record)
    return 0


def main():
    parser = argparse.ArgumentParser(prog="tools/package.py", description=__doc__)
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
    step = steps.add_parser("attach", help="make the shipped exe from the linker's, with the "
                            "signature that VELTRIN_SIGNATURE names attached, or unsigned")
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
                      help="the build folder, of the CMake cache and components.json")
    step.set_defaults(run=finish)
    arguments = parser.parse_args()
    return arguments.run(arguments)


if __name__ == "__main__":
    cli.run("VELTRIN_SIGNATURE" if sys.argv[1:2] == ["attach"] else "package", main)
