#!/usr/bin/python3 -B
"""Signs the Windows release, for whoever holds the project's key: signs the exe that the last
Windows build linked with Authenticode (SHA-256), dated with the release's source date epoch
rather than the clock, so that the same key signing the same exe gives the same signature; or
imports the signature that another tool made for that exe. Then writes the detached signature and
makes the signed release from it exactly as any rebuilder does, with VELTRIN_SIGNATURE and the
windows-package workflow. Afterwards build/windows holds the signed exe and the release's files.

The passphrase or PIN is read from standard input: typed at a terminal, without echo, or as one
line from a pipe; never from the URI. It is checked before anything signs, so that a wrong PIN is
tried once. The key is read where it is, and nothing of it is written anywhere. Paths are those
from the current folder. Revocation is not checked here: tools/verify-release.py checks it, before
the release is published. The steps and their reasons: docs/release.md."""
import argparse
import dataclasses
import getpass
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
    """What signs, as the command line names it, which decides each later step: a PEM key "file"
    beside CERTS, a "pkcs12" file, a "token" that a pkcs11: URI names, or an "imported" exe."""
    kind: str
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
    option("--timestamp", metavar="URL", help="have an RFC 3161 time-stamp authority "
           "countersign, so that the signature stays valid after the certificate expires")
    option("--pkcs11-module", metavar="MODULE", help="the token's PKCS#11 module; without it, "
           "p11-kit's proxy, which reaches every module the system registers")
    either("--import", dest="signed", metavar="SIGNED-EXE", help="take the signature from "
           "build/windows/unsigned's exe as another tool signed it")
    # The default is the very list that argparse compares with, so that no files clash with none.
    either("files", nargs="*", default=[], metavar="CERTS KEY | PKCS12", help="the signer's "
           "certificate then its intermediates (PEM), and the key: a PEM file, normally "
           "encrypted, or a pkcs11: URI (RFC 7512) such as pkcs11:token=veltrin;object=publisher; "
           "or all of them in one PKCS#12 file")
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
    # RFC 7512 lets a URI carry the PIN, which would then be on osslsigncode's command line for
    # every user of the machine to read.
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
    """The passphrase or PIN that unlocks the key, refused before anything signs where it would
    not, so that a wrong PIN is tried once; empty where nothing locks the key."""
    data = pathlib.Path(key.path).read_bytes() if key.kind in ("file", "pkcs12") else b""
    try:
        if key.kind == "imported" or key.kind == "file" and load_pem_private_key(data, None):
            return b""
    except TypeError:  # encrypted, as a key in a file should be
        pass
    except ValueError:
        raise Refusal(f"'{key.path}' holds no private key in PEM") from None
    password = secret(key)
    problem = pkcs11.problem(key.module, key.path, password) if key.kind == "token" else None
    if problem:
        raise Refusal({"module": f"the PKCS#11 module '{key.module}' does not load",
                       "pin": f"the token refused the PIN for '{key.path}'",
                       "key": f"no key at '{key.path}' in the tokens that '{key.module}' reaches"
                       }[problem])
    try:
        if key.kind == "pkcs12":
            pkcs12.load_key_and_certificates(data, password or None)
        elif key.kind == "file":
            load_pem_private_key(data, password)
    except (TypeError, ValueError):
        raise Refusal(f"the passphrase does not open '{key.path}'") from None
    return password


def secret(key):
    """The passphrase or PIN: at a terminal, without echo; else one line of standard input."""
    word = "PIN" if key.kind == "token" else "passphrase"
    if sys.stdin.isatty():
        return getpass.getpass(f"{word} for {key.path}: ", sys.stderr).encode()
    line = sys.stdin.buffer.readline()
    if not line:
        raise Refusal(f"no {word} for '{key.path}' on standard input")
    return line.rstrip(b"\n")


def osslsigncode(*arguments, failure, secret_line=None):
    """Runs osslsigncode; where it fails, its own lines come first, then FAILURE's."""
    answer = subprocess.run(["osslsigncode", *arguments], capture_output=True, input=secret_line)
    if answer.returncode != 0:
        for line in (answer.stdout + answer.stderr).decode("utf-8", "replace").splitlines():
            print(f"  {line}", file=sys.stderr)
        raise Refusal(failure)


@dataclasses.dataclass
class Unsigned:
    """The last Windows build, and the exe that it linked, to be signed as of its epoch."""
    build: layout.Build
    exe: pathlib.Path
    epoch: str


def unsigned_release():
    """The last Windows build's, where it is of this tree's commit."""
    build = layout.last_build()
    exe = build and build.folder / "unsigned" / f"{build.program}.exe"
    if not build or not build.file("buildinfo").is_file() or not exe.is_file():
        raise Refusal("no Windows release here: run cmake --workflow --preset windows first")
    record = published.buildinfo(build.file("buildinfo").read_bytes())
    if rebuild.commit(TOP) != record.get("Source-Commit"):
        raise Refusal(f"build/windows is a build of commit {record.get('Source-Commit', '(none)')}"
                      ", not of this tree's: run cmake --workflow --preset windows first")
    if rebuild.uncommitted(TOP):
        print("sign: the tree has uncommitted changes, which a rebuild of its commit will not "
              "have", file=sys.stderr)
    return Unsigned(build, exe, record["Source-Date-Epoch"])


def imported_der(signed, exe):
    """The signature that another tool attached, checked as the build checks it, so that one it
    would refuse leaves the release as it was."""
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
    if not imported.fits(exe.read_bytes()):
        raise Refusal(f"'{signed}' was signed as other bytes than {exe.relative_to(TOP)} "
                      "(another commit or toolchain): sign that file, as this build made it")
    return held[0]


def signed_der(key, password, timestamp, unsigned, work):
    """The signature's DER: made with the key, and timestamped; or taken from the import."""
    if key.kind == "imported":
        return imported_der(key.path, unsigned.exe)
    options = {"file": ["-certs", key.certs, "-key", key.path], "pkcs12": ["-pkcs12", key.path],
               "token": ["-pkcs11module", key.module, "-certs", key.certs, "-key", key.path]}
    signed, exe = work / "signed.exe", unsigned.exe
    osslsigncode("sign", *options[key.kind], "-readpass", "/dev/stdin", "-h", "sha256",
                 "-n", unsigned.build.program, "-time", unsigned.epoch, "-in", exe,
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
    unsigned = unsigned_release()
    password = password_for(key)
    with tempfile.TemporaryDirectory() as work:
        der = signed_der(key, password, options.timestamp, unsigned, pathlib.Path(work))
        signature = pathlib.Path(work, f"{unsigned.build.name}.signature")
        signature.write_bytes(certificates.armour.armor("PKCS7", der))
        if subprocess.run(["cmake", "--workflow", "--preset", "windows-package"], cwd=TOP,
                          env=dict(os.environ, VELTRIN_SIGNATURE=str(signature)),
                          stdin=subprocess.DEVNULL, stdout=sys.stderr).returncode != 0:
            raise Refusal("the signed build failed")
    print(f"sign: signed by {certificates.described(authenticode.Signature(der).signer)}")
    for path in layout.files(unsigned.build.folder, unsigned.build.name, signed=True):
        print(f"sign: {path.relative_to(TOP)}")


if __name__ == "__main__":
    cli.run("sign", main)
