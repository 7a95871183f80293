#!/usr/bin/python3 -B
"""Signs the last Windows build's exe (Authenticode, SHA-256, dated with its source date epoch),
or imports another tool's signature of it, then makes the signed release from the signature as
any rebuilder does. The passphrase or PIN comes from standard input. Steps: docs/release.md."""
import argparse
import dataclasses
import glob
import os
import pathlib
import subprocess
import sys
import tempfile

from cryptography.hazmat.primitives.serialization import load_pem_private_key, pkcs12

from release import authenticode, certificates, cli, layout, pkcs11, published, rebuild
from release.cli import Refusal
from release.layout import TOP


@dataclasses.dataclass
class Key:
    kind: str  # "file" (PEM), "pkcs12", "token" or "imported"
    path: str  # the key's file or URI, or the signed exe
    certs: str = ""
    module: str = ""  # the token's PKCS#11 module


def arguments():
    parser = argparse.ArgumentParser(
        prog="tools/sign.py", description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        usage="%(prog)s [--timestamp URL] CERTS KEY\n"
              "       %(prog)s [--timestamp URL] [--pkcs11-module MODULE] CERTS pkcs11:URI\n"
              "       %(prog)s [--timestamp URL] PKCS12\n       %(prog)s --import SIGNED-EXE")
    option, either = parser.add_argument, parser.add_mutually_exclusive_group().add_argument
    option("--timestamp", metavar="URL", help="an RFC 3161 time-stamp authority to countersign")
    option("--pkcs11-module", metavar="MODULE", help="the token's module, not p11-kit's proxy")
    either("--import", dest="signed", metavar="SIGNED-EXE", help="the exe that another tool signed")
    # No files leave this very default, which argparse does not count as clashing with --import.
    either("files", nargs="*", default=[], metavar="CERTS KEY | PKCS12", help="the signer's "
           "certificate and intermediates (PEM), and the key: a PEM file or a pkcs11: URI; or all "
           "in one PKCS#12 file")
    options = parser.parse_args()
    files, signed = options.files, options.signed
    uri = bool(files) and files[-1].startswith("pkcs11:")
    if (signed and (options.timestamp or options.pkcs11_module) or options.pkcs11_module and not uri
            or not signed and len(files) not in (1, 2) or len(files) == 1 and uri):
        parser.error("give CERTS and KEY, a PKCS12 file, or --import SIGNED-EXE")
    if signed or len(files) == 1:
        return options, Key("imported" if signed else "pkcs12", signed or files[0])
    return options, Key("token" if uri else "file", files[1], files[0], options.pkcs11_module)


def checked(key):
    """The key, with its token's module; refused where something that it needs is not there."""
    # On osslsigncode's command line, a PIN in the URI would be there for every user to read.
    if key.kind == "token" and "pin-value=" in key.path:
        raise Refusal("the pkcs11: URI holds the PIN (pin-value=): leave it out, and give the "
                      "PIN on standard input")
    for file in (key.certs, "" if key.kind == "token" else key.path):
        if file and not os.path.isfile(file):
            raise Refusal(f"there is no file '{file}'")
    programs = ["openssl"] if key.kind == "imported" else ["osslsigncode", "openssl"]
    cli.require("signing", "sign", *programs)
    if key.kind != "token":
        return key
    module = key.module or next(iter(glob.glob("/usr/lib/*/p11-kit-proxy.so")), "")
    if not module or not glob.glob("/usr/lib/*/engines-3/pkcs11.so"):
        raise Refusal("signing with a key in a token needs OpenSSL's pkcs11 engine and "
                      "p11-kit's proxy module, which tools/setup.sh sign installs")
    # A name without a folder is the dynamic loader's to find.
    return dataclasses.replace(key, module=os.path.abspath(module) if "/" in module else module)


def password_for(key):
    """The passphrase or PIN, refused unless it unlocks the key: a wrong PIN is tried once."""
    data = pathlib.Path(key.path).read_bytes() if key.kind in ("file", "pkcs12") else b""
    try:
        if key.kind == "imported" or key.kind == "file" and load_pem_private_key(data, None):
            return b""
    except TypeError:  # encrypted, as a key in a file should be
        pass
    except ValueError:
        raise Refusal(f"'{key.path}' holds no private key in PEM") from None
    password = cli.secret("PIN" if key.kind == "token" else "passphrase", key.path)
    problem = pkcs11.problem(key.module, key.path, password) if key.kind == "token" else ""
    if problem:
        raise Refusal(problem)
    try:
        if key.kind == "pkcs12":
            pkcs12.load_key_and_certificates(data, password or None)
        elif key.kind == "file":
            load_pem_private_key(data, password)
    except (TypeError, ValueError):
        raise Refusal(f"the passphrase does not open '{key.path}'") from None
    return password


def osslsigncode(*arguments, failure, secret_line=None):
    answer = subprocess.run(["osslsigncode", *arguments], capture_output=True, input=secret_line)
    if answer.returncode != 0:
        for line in (answer.stdout + answer.stderr).decode("utf-8", "replace").splitlines():
            print(f"  {line}", file=sys.stderr)
        raise Refusal(failure)


def unsigned_exe(build):
    return build.folder / "unsigned" / f"{build.program}.exe"


def last_build():
    build = layout.last_build()
    if not build or not build.file("buildinfo").is_file() or not unsigned_exe(build).is_file():
        raise Refusal("no Windows release here: run cmake --workflow --preset windows first")
    commit = published.buildinfo(build.file("buildinfo").read_bytes()).get("Source-Commit")
    if rebuild.commit(TOP) != commit:
        raise Refusal(f"build/windows is a build of commit {commit or '(none)'}, not of this "
                      "tree's: run cmake --workflow --preset windows first")
    if rebuild.uncommitted(TOP):
        print("sign: the tree has uncommitted changes, which a rebuild of its commit will not "
              "have", file=sys.stderr)
    return build


def imported_der(signed, exe):
    """The signature in SIGNED, refused here where the build would refuse it, before anything."""
    held = authenticode.attached(pathlib.Path(signed).read_bytes())
    if not held:
        raise Refusal(f"'{os.path.abspath(signed)}' holds no Authenticode signature")
    try:
        imported = authenticode.Signature(held[0])
    except ValueError:
        imported = None
    if not imported or imported.signer is None:
        raise Refusal(f"'{signed}' holds a signature that openssl verifies with none of the "
                      "certificates it holds")
    if not imported.signs(exe.read_bytes()):
        raise Refusal(f"'{signed}' was signed as other bytes than {exe.relative_to(TOP)} "
                      "(another commit or toolchain): sign that file, as this build made it")
    return held[0]


def signed_der(key, password, timestamp, build, work):
    """The signature's DER: made with the key, and timestamped; or taken from the import."""
    exe, signed = unsigned_exe(build), work / "signed.exe"
    if key.kind == "imported":
        return imported_der(key.path, exe)
    options = {"file": ["-certs", key.certs, "-key", key.path], "pkcs12": ["-pkcs12", key.path],
               "token": ["-pkcs11module", key.module, "-certs", key.certs, "-key", key.path]}
    osslsigncode("sign", *options[key.kind], "-readpass", "/dev/stdin", "-h", "sha256", "-n",
                 build.program, "-time", build.facts["RELEASE_SOURCE_DATE_EPOCH"], "-in", exe,
                 "-out", signed, secret_line=password + b"\n",
                 failure=f"osslsigncode could not sign {exe.relative_to(TOP)} with '{key.path}'")
    # A step of its own, so that a silent authority is told from a key that does not sign.
    if timestamp:
        osslsigncode("add", "-ts", timestamp, "-h", "sha256", "-in", signed,
                     "-out", work / "stamped.exe", failure=f"no timestamp from {timestamp}: "
                     "the time-stamp authority did not answer, or refused")
        signed = work / "stamped.exe"
    return authenticode.attached(signed.read_bytes())[0]


def main():
    options, key = arguments()
    key = checked(key)
    build = last_build()
    password = password_for(key)
    with tempfile.TemporaryDirectory() as work:
        der = signed_der(key, password, options.timestamp, build, pathlib.Path(work))
        signature = pathlib.Path(work, f"{build.name}.signature")
        signature.write_bytes(certificates.armour.armor("PKCS7", der))
        if subprocess.run(["cmake", "--workflow", "--preset", "windows-package"], cwd=TOP,
                          env=dict(os.environ, VELTRIN_SIGNATURE=str(signature)),
                          stdin=subprocess.DEVNULL, stdout=sys.stderr).returncode != 0:
            raise Refusal("the signed build failed")
    print(f"sign: signed by {certificates.described(authenticode.Signature(der).signer)}")
    for path in layout.files(build.folder, build.name, signed=True):
        print(f"sign: {path.relative_to(TOP)}")


if __name__ == "__main__":
    cli.run("sign", main)
