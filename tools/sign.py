#!/usr/bin/python3 -B
"""Signs the Windows release, for whoever holds the project's key: signs the exe that the last
Windows build linked with Authenticode (SHA-256), dated with the release's moment rather than the
clock, so that the same key signing the same exe gives the same signature; or imports the signature
that another tool made for that exe. Then writes the detached signature and makes the signed
release from it exactly as any rebuilder does, with VELTRIN_SIGNATURE and the windows-package
workflow. Afterwards build/windows holds the signed exe and the release's files.

The passphrase or PIN is read from standard input: typed at a terminal, without echo, or as one
line from a pipe; never from the URI. It is checked before anything signs, so that a wrong PIN is
tried once. The key is read where it is, and nothing of it is written anywhere. Paths are taken
from the current folder. Revocation is not checked here: tools/verify-release.py checks it, before
the release is published. The steps and their reasons: docs/release.md."""
import argparse
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

TOP = pathlib.Path(__file__).resolve().parent.parent
BUILD = TOP / "build/windows"


def arguments():
    parser = argparse.ArgumentParser(
        prog="tools/sign.py", description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        usage="%(prog)s [--timestamp URL] CERTS KEY\n"
              "       %(prog)s [--timestamp URL] [--pkcs11-module MODULE] CERTS pkcs11:URI\n"
              "       %(prog)s [--timestamp URL] PKCS12\n       %(prog)s --import SIGNED-EXE")
    option = parser.add_argument
    option("--timestamp", metavar="URL", help="have an RFC 3161 time-stamp authority "
           "countersign, so that the signature stays valid after the certificate expires")
    option("--pkcs11-module", metavar="MODULE", help="the token's PKCS#11 module; without it, "
           "p11-kit's proxy, which reaches every module the system registers")
    option("--import", dest="signed", metavar="SIGNED-EXE", help="take the signature from "
           "build/windows/unsigned's exe as another tool signed it")
    option("files", nargs="*", metavar="CERTS KEY | PKCS12", help="the signer's certificate "
           "then its intermediates (PEM), and the key: a PEM file, normally encrypted, or a "
           "pkcs11: URI (RFC 7512) such as pkcs11:token=veltrin;object=publisher; or all of "
           "them in one PKCS#12 file")
    given = parser.parse_args()
    count, key = len(given.files), (given.files or [""])[-1]
    if (given.signed and (count or given.timestamp or given.pkcs11_module)
            or not given.signed and count not in (1, 2)
            or given.pkcs11_module and not key.startswith("pkcs11:")
            or count == 1 and key.startswith("pkcs11:")):
        parser.error("give CERTS and KEY, a PKCS12 file, or --import SIGNED-EXE")
    # RFC 7512 lets a URI carry the PIN, which would then be on osslsigncode's command line for
    # every user of the machine to read.
    if key.startswith("pkcs11:") and "pin-value=" in key:
        raise Refusal("the pkcs11: URI holds the PIN (pin-value=): leave it out, and give the "
                      "PIN on standard input")
    for file in given.files + ([given.signed] if given.signed else []):
        if not file.startswith("pkcs11:") and not os.path.isfile(file):
            raise Refusal(f"there is no file '{file}'")
    return given


def key_options(given):
    """osslsigncode's options for the key, what opens it, and the key as given."""
    files = [f if f.startswith("pkcs11:") else os.path.abspath(f) for f in given.files]
    if len(files) == 1:
        return ["-pkcs12", files[0]], "passphrase", given.files[0]
    certs, key = files
    if key.startswith("pkcs11:"):
        module = given.pkcs11_module or next(iter(glob.glob("/usr/lib/*/p11-kit-proxy.so")), "")
        if not module or not glob.glob("/usr/lib/*/engines-3/pkcs11.so"):
            raise Refusal("signing with a key in a token needs OpenSSL's pkcs11 engine and "
                          "p11-kit's proxy module, which tools/setup.sh sign installs")
        # A name without a folder is the dynamic loader's to find.
        module = os.path.abspath(module) if "/" in module else module
        return ["-pkcs11module", module, "-certs", certs, "-key", key], "PIN", key
    try:
        load_pem_private_key(pathlib.Path(key).read_bytes(), None)
        asks = None
    except TypeError:  # encrypted, as a key in a file should be
        asks = "passphrase"
    except ValueError:
        raise Refusal(f"'{given.files[1]}' holds no private key in PEM") from None
    return ["-certs", certs, "-key", key], asks, given.files[1]


def secret(asks, key):
    """The passphrase or PIN: at a terminal, without echo; else one line of standard input."""
    if sys.stdin.isatty():
        return getpass.getpass(f"{asks} for {key}: ", sys.stderr).encode()
    line = sys.stdin.buffer.readline()
    if not line:
        raise Refusal(f"no {asks} for '{key}' on standard input")
    return line.rstrip(b"\n")


def opens(options, asks, key, typed):
    """Refuses a secret that would not open the key, before anything signs with it."""
    if options[0] == "-pkcs11module":
        module = options[1]
        problem = pkcs11.problem(module, key, typed)
        if problem:
            raise Refusal({"module": f"the PKCS#11 module '{module}' does not load",
                           "pin": f"the token refused the PIN for '{key}'",
                           "key": f"no key at '{key}' in the tokens that '{module}' reaches"
                           }[problem])
        return
    try:
        data = pathlib.Path(options[1] if options[0] == "-pkcs12" else options[-1]).read_bytes()
        if options[0] == "-pkcs12":
            pkcs12.load_key_and_certificates(data, typed or None)
        else:
            load_pem_private_key(data, typed)
    except (TypeError, ValueError):
        raise Refusal(f"the {asks} does not open '{key}'") from None


def osslsigncode(*arguments, failure, secret_line=None):
    """Runs osslsigncode; where it fails, its own lines come first, then FAILURE's."""
    answer = subprocess.run(["osslsigncode", *arguments], capture_output=True, input=secret_line)
    if answer.returncode != 0:
        for line in (answer.stdout + answer.stderr).decode("utf-8", "replace").splitlines():
            print(f"  {line}", file=sys.stderr)
        raise Refusal(failure)


def imported_der(given, unsigned):
    """The signature that another tool attached, checked as the build checks it, so that one it
    would refuse leaves the release as it was."""
    held = authenticode.attached(pathlib.Path(given.signed).read_bytes())
    if not held:
        raise Refusal(f"'{os.path.abspath(given.signed)}' holds no Authenticode signature")
    try:
        imported = authenticode.Signature(held[0])
    except ValueError:
        imported = None
    if not imported or imported.signer is None:
        raise Refusal(f"'{given.signed}' holds a signature that openssl verifies with none of "
                      "the certificates it holds")
    if not imported.signs(unsigned.read_bytes()):
        raise Refusal(f"'{given.signed}' was signed as other bytes than "
                      f"{unsigned.relative_to(TOP)} (another commit or toolchain): sign "
                      "that file, as this build made it")
    return held[0]


def signed_der(given, options, typed, program, record, unsigned, work):
    """The signature's DER: made with the key, and timestamped; or taken from the import."""
    if given.signed:
        return imported_der(given, unsigned)
    signed, key = work / "signed.exe", (given.files or [""])[-1]
    osslsigncode("sign", *options, "-readpass", "/dev/stdin", "-h", "sha256", "-n", program,
                 "-time", record["Source-Date-Epoch"], "-in", unsigned, "-out", signed,
                 secret_line=typed + b"\n",
                 failure=f"osslsigncode could not sign {unsigned.relative_to(TOP)} with '{key}'")
    # A step of its own, so that a silent authority is told from a key that does not sign.
    if given.timestamp:
        osslsigncode("add", "-ts", given.timestamp, "-h", "sha256", "-in", signed,
                     "-out", work / "stamped.exe", failure=f"no timestamp from "
                     f"{given.timestamp}: the time-stamp authority did not answer, or refused")
        signed = work / "stamped.exe"
    return authenticode.attached(signed.read_bytes())[0]


def main():
    given = arguments()
    options, asks, key = key_options(given) if given.files else ([], None, None)
    if not (BUILD / "CMakeCache.txt").is_file():
        raise Refusal("no Windows build here: run cmake --workflow --preset windows first")
    facts = layout.cache(BUILD)
    program, version = facts["CMAKE_PROJECT_NAME"], facts["CMAKE_PROJECT_VERSION"]
    release = layout.name(program, version)
    unsigned, record_file = BUILD / "unsigned" / f"{program}.exe", BUILD / f"{release}.buildinfo"
    if not record_file.is_file() or not unsigned.is_file():
        raise Refusal("no Windows release here: run cmake --workflow --preset windows first")
    record = published.buildinfo(record_file.read_bytes())
    if rebuild.commit(TOP) != record.get("Source-Commit"):
        raise Refusal(f"build/windows is a build of commit {record.get('Source-Commit', '(none)')}"
                      ", not of this tree's: run cmake --workflow --preset windows first")
    if rebuild.uncommitted(TOP):
        print("sign: the tree has uncommitted changes, which a rebuild of its commit will not "
              "have", file=sys.stderr)
    typed = secret(asks, key) if asks else b""
    if asks:
        opens(options, asks, key, typed)
    with tempfile.TemporaryDirectory() as work:
        der = signed_der(given, options, typed, program, record, unsigned, pathlib.Path(work))
        signature = pathlib.Path(work, f"{release}.signature")
        signature.write_bytes(certificates.armour.armor("PKCS7", der))
        if subprocess.run(["cmake", "--workflow", "--preset", "windows-package"], cwd=TOP,
                          env=dict(os.environ, VELTRIN_SIGNATURE=str(signature)),
                          stdin=subprocess.DEVNULL, stdout=sys.stderr).returncode != 0:
            raise Refusal("the signed build failed")
    signer = authenticode.Signature(der).signer
    print(f"sign: signed by {certificates.name(signer.subject)}, SHA-256 fingerprint "
          f"{certificates.fingerprint(signer)}")
    for path in layout.files(BUILD, release, signed=True):
        print(f"sign: {path.relative_to(TOP)}")


if __name__ == "__main__":
    cli.run("sign", main)
