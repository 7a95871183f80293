#!/usr/bin/python3 -B
"""Tells whether a published Windows release came from this tree, and names for what it is each
thing that it finds otherwise: the zip against its .sha256; that the zip holds exactly a release's
files; that the exe carries the published signature and is unchanged since it was signed; the
timestamp, the chains against the roots given, and revocation; that this tree is the release's
commit, and which packages of the toolchain differ. Then it rebuilds this tree's committed content
in a scratch folder, with the release's moment and signature, and compares every published file
with the rebuilt one, byte for byte, showing where two differ.

Every line goes to standard output, and the last is the verdict, which names every finding. Nothing
of the download is trusted: no file is read past a release's size, nothing is unpacked but the
release's own files, and no control character read from it reaches the terminal. The tree and its
build folder are left as they were. Run it in a clone or an unpacked git archive of the release's
commit. Exit status: 0 when the release came from this tree; 1 when it did not, or cannot be shown
to; 2 for a command line it does not take. The findings: docs/release.md."""
import argparse
import pathlib
import re
import sys
import tempfile

from release import certificates, cli, rebuild, revocation
from release.certificates import name as name_of
from release.checks import (Stop, Verdict, check_revocation, check_tree, chains, clip, compare,
                            judge_chains, read_release, read_signature, read_zip)

TOP = pathlib.Path(__file__).resolve().parent.parent


def arguments():
    parser = argparse.ArgumentParser(prog="tools/verify-release.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)

    def existing(text):
        if not pathlib.Path(text).is_file():
            raise argparse.ArgumentTypeError(f"there is no file '{text}'")
        return pathlib.Path(text).resolve()

    def roots(text):
        try:
            certificates.load(existing(text))
        except ValueError:
            raise argparse.ArgumentTypeError(f"'{text}' holds no certificate in PEM") from None
        return existing(text)

    def lists(text):
        try:
            return existing(text), revocation.parse(pathlib.Path(text).read_bytes())
        except ValueError:
            raise argparse.ArgumentTypeError(f"'{text}' holds no revocation list in PEM") from None

    def seconds(text):
        if not re.fullmatch(r"[1-9][0-9]{0,5}", text):
            raise argparse.ArgumentTypeError(f"not a count of seconds: '{text}'")
        return int(text)

    option = parser.add_argument
    option("--root", type=roots, metavar="FILE", help="check that the signature's chain "
           "leads to the root certificate in FILE (PEM), and that none of it is revoked; "
           "without it, the signer is named and not checked")
    option("--tsa-root", type=roots, metavar="FILE",
           help="the same for the timestamp's chain, and the time-stamp authority's root")
    option("--crl", type=lists, action="append", default=[], metavar="FILE", help="check both "
           "chains against the revocation lists in FILE (PEM, one or more; give it again for "
           "more files), and fetch none; without it, those that the certificates name are fetched")
    option("--no-revocation", action="store_true", help="check no certificate for revocation")
    option("--crl-addresses", action="store_true", help="print the addresses of the lists that "
           "both chains name, one a line, to fetch them for a check offline, and check nothing")
    option("--report-seconds", type=seconds, default=30, metavar="N", help="give diffoscope at "
           "most N seconds (30) for its report on a file that differs")
    option("dir", type=pathlib.Path, metavar="DIR", nargs="?", help="the release's files as "
           "published: the zip, its .sha256, the .buildinfo, the bill of materials (.cdx.json) "
           "and, where the release is signed, the .signature")
    given, unknown = parser.parse_known_args()
    if unknown:
        parser.error(f"unrecognized arguments: {' '.join(unknown)} (a folder whose name starts "
                     "with - goes after --)")
    if given.dir is None or not given.dir.is_dir():
        parser.error(f"there is no folder '{given.dir}'" if given.dir else
                     "the following arguments are required: DIR")
    return given


def signed_by(signature, leads, given, v):
    """Who signed, as far as it was verified."""
    signer = (f"{name_of(signature.signer.subject)}, whose certificate has the SHA-256 "
              f"fingerprint {certificates.fingerprint(signature.signer)}")
    if leads:
        v.say(f"signed by {signer}")
    elif given.root:
        v.say(f"signed, as the signature itself says, by {signer}")
    else:
        v.say(f"signed, as the signature itself says and nothing checked, by {signer}: give "
              "--root, and compare that fingerprint with the one the project publishes")
        v.unchecked = "; the signer's chain was not checked" + v.unchecked


def published_der(release):
    """The DER of the published signature's first block, or None."""
    try:
        return certificates.blocks(release.paths["signature"].read_bytes())[0]
    except (KeyError, ValueError):
        return None


def rebuilt(given, release, signature, v, scratch):
    """The rebuild, with the release's moment and the signature that its exe holds, or else the
    published one, written as tools/sign.py writes it: the published file may hold more."""
    epoch, record = None, release.record
    if record.get("Source-Date-Epoch-From") == "SOURCE_DATE_EPOCH":
        epoch = record.get("Source-Date-Epoch", "")
        if not re.fullmatch(r"[0-9]{1,12}", epoch):
            v.stop(f"{release.name}.buildinfo's Source-Date-Epoch is not a count of seconds: "
                   f"{clip(epoch)}", True)
    der = signature.der if signature else published_der(release)
    attach = der and scratch / "attached" / f"{release.name}.signature"
    if attach:
        attach.parent.mkdir()
        attach.write_bytes(certificates.armour.armor("PKCS7", der))
    copy = scratch / "tree"
    v.say(f"rebuilding in {copy}{', with the signature' if attach else ''}")
    if not rebuild.rebuild(TOP, copy, epoch, attach, scratch / "build.log"):
        log = (scratch / "build.log").read_text("utf-8", "replace").splitlines()
        refused = [line for line in log if line.startswith("VELTRIN_SIGNATURE: ")]
        if refused:
            v.stop(f"the rebuild refused the signature: {clip(refused[0][19:], 200)}")
        for line in log[-20:]:
            v.line(f"  {line}")
        v.stop("the rebuild failed, as the end of its log above shows")
    return copy / "build/windows"


def list_addresses(given, signature, leads):
    """The addresses of the lists that the chains name, as far as they lead to the roots given;
    without roots, as far as openssl verified each link."""
    paths = [path for path in leads if path] if given.root or given.tsa_root else chains(signature)
    return dict.fromkeys(url for path in paths for url in revocation.addresses(path))


def check(given, v, scratch):
    release = read_release(given.dir.resolve(), v, scratch)
    unpacked = scratch / "unpacked"
    read_zip(release, unpacked, v)
    exe = unpacked / release.members[2]
    signature, judged = read_signature(release, exe, v)
    leads = judge_chains(given, signature, exe, v) if judged else [None, None]
    if given.crl_addresses:
        for url in list_addresses(given, signature, leads):
            print(cli.visible(url))
        sys.exit(0)
    if "signature" not in release.paths:
        if given.root or given.tsa_root:
            v.found("the release is not signed, so it has no chain to check against "
                    f"{given.root or given.tsa_root}")
        v.unchecked = "; the release is not signed" + v.unchecked
    fetcher = revocation.Fetcher()
    for which, path in enumerate(leads):
        if path and not given.no_revocation:
            check_revocation(given, which, path, v, fetcher)
    other_toolchain = check_tree(TOP, release.record, release.name, v)
    differ = compare(given, release, rebuilt(given, release, signature, v, scratch), v, scratch)
    if differ:
        v.found(f"these differ from the rebuilt ones: {', '.join(differ)}", True)
    if differ and other_toolchain:
        v.found("the toolchain is not the release's, as above")
    if signature and signature.signer:
        signed_by(signature, leads[0], given, v)


def main():
    given = arguments()
    verdict = Verdict("; revocation was not checked" if given.no_revocation else "",
                      quiet=given.crl_addresses)
    with tempfile.TemporaryDirectory() as scratch:
        try:
            check(given, verdict, pathlib.Path(scratch))
        except Stop:
            pass
        except Exception as why:  # whatever a download finds to throw, it ends in a verdict
            verdict.found(f"the check could not go on: {type(why).__name__}: {clip(str(why))}")
    return verdict.end()


if __name__ == "__main__":
    cli.run("verify-release", main)
