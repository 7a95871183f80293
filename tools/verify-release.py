#!/usr/bin/python3 -B
"""Tells whether a downloaded Windows release came from this tree: it checks the zip, the exe's
signature, its chains and revocation, the commit and the toolchain, then rebuilds this tree's commit
in a scratch folder and compares every file byte for byte. Nothing of the download is trusted, and
the tree and its build folder are left as they were: run it in a clone or an unpacked git archive
of the release's commit. With --attest, a rebuilder who finds every file the same signs a statement
that says so; with --rebuilders, instead of rebuilding, it counts those whom you trust who did, and
needs no tree at that commit. Every line goes to standard output, and the last is the verdict, which
names every finding. Exit status: 0 when the release came from this tree, or its commit; 1 when it
did not, or cannot be shown to; 2 for a command line it does not take. The findings:
docs/release.md."""
import argparse
import contextlib
import io
import pathlib
import re
import tempfile

from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat.primitives import serialization

from release import authenticode, certificates, cli, published, rebuild, rebuilders, revocation
from release.layout import TOP
from release.checks import (Stop, Verdict, check_commit, check_revocation, check_toolchain, clip,
                            compare, judge_chains, read_release, read_signature, read_zip)

# How the build's log starts the line that says why it refused a signature.
REFUSED = "VELTRIN_SIGNATURE: "
LOG_LINES = 20  # of the end of the rebuild's log, shown where it failed
# A rebuilder's name, as the name of its statement's file holds it.
REBUILDER = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,63}")


def _file(text):
    if not pathlib.Path(text).is_file():
        raise argparse.ArgumentTypeError(f"there is no file '{text}'")
    return pathlib.Path(text).resolve()


def _roots(text):
    try:
        certificates.load(_file(text))
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' holds no certificate in PEM") from None
    return _file(text)


def _lists(text):
    try:
        return _file(text), revocation.parse(pathlib.Path(text).read_bytes())
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' holds no revocation list in PEM") from None


def _seconds(text):
    if not re.fullmatch(r"[1-9][0-9]{0,5}", text):
        raise argparse.ArgumentTypeError(f"not a count of seconds: '{text}'")
    return int(text)


def _private_key(path):
    """The Ed25519 key in the file, in PEM or OpenSSH's form; its passphrase, where it has one,
    from standard input."""
    data = rebuilders.bounded(path, 64 << 10)
    load = (serialization.load_ssh_private_key if b"OPENSSH PRIVATE KEY" in data
            else serialization.load_pem_private_key)
    try:
        key = load(data, None)
    except TypeError:  # encrypted, as a key in a file should be
        key = load(data, cli.secret("passphrase", path))
    if not isinstance(key, rebuilders.ed25519.Ed25519PrivateKey):
        raise ValueError("a key of another kind")
    return key


def _check_options(parser, options):
    if options.rebuilder and not REBUILDER.fullmatch(options.rebuilder):
        parser.error(f"not a rebuilder's name, of letters, digits, ., _ and -: "
                     f"'{options.rebuilder}'")
    if bool(options.attest) != bool(options.rebuilder) or options.attest and options.rebuilders:
        parser.error("--attest KEY goes with --rebuilder NAME, after a rebuild: not with "
                     "--rebuilders, which stands in for one")
    try:
        options.attest = options.attest and _private_key(options.attest)
    except cli.Refusal as why:
        parser.error(str(why))
    except (OSError, ValueError, TypeError, UnsupportedAlgorithm):
        # The libraries' reasons are long, and bcrypt's absence is one: the handbook says so.
        parser.error(f"'{options.attest}' holds no Ed25519 key, in PEM or OpenSSH's form, that "
                     "opens with the passphrase given")


def arguments():
    parser = argparse.ArgumentParser(prog="tools/verify-release.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    option = parser.add_argument
    option("--root", type=_roots, metavar="FILE", help="check that the signature's chain "
           "leads to the root certificate in FILE (PEM), and that none of it is revoked; "
           "without it, the signer is named and not checked")
    option("--tsa-root", type=_roots, metavar="FILE",
           help="the same for the timestamp's chain, and the time-stamp authority's root")
    option("--crl", type=_lists, action="append", default=[], metavar="FILE", help="check both "
           "chains against the revocation lists in FILE (PEM, one or more; give it again for "
           "more files), and fetch none; without it, those that the certificates name are fetched")
    option("--no-revocation", action="store_true", help="check no certificate for revocation")
    option("--crl-addresses", action="store_true", help="print the addresses of the lists that "
           "both chains name, one a line, to fetch them for a check offline, and check nothing")
    option("--report-seconds", type=_seconds, default=30, metavar="N", help="give diffoscope at "
           "most N seconds (30) for its report on a file that differs")
    option("--attest", type=pathlib.Path, metavar="KEY", help="where every file is the same, "
           "write a statement that says so, signed with the Ed25519 key in KEY (PEM or OpenSSH), "
           "beside the release as NAME.REBUILDER.intoto.json")
    option("--rebuilder", metavar="NAME", help="the name of the rebuilder who attests")
    rebuilders.add_options(parser, required=False)
    option("dir", type=pathlib.Path, metavar="DIR", nargs="?", help="the release's files as "
           "downloaded: the zip, its .sha256, the .buildinfo, the bill of materials (.cdx.json) "
           "and, where the release is signed, the .signature")
    options, unknown = parser.parse_known_args()
    if unknown:
        parser.error(f"unrecognized arguments: {' '.join(unknown)} (a folder whose name starts "
                     "with - goes after --)")
    if options.dir is None or not options.dir.is_dir():
        parser.error(f"there is no folder '{options.dir}'" if options.dir else
                     "the following arguments are required: DIR")
    _check_options(parser, options)
    return options


def signed_by(signature, chain, verdict):
    """Who signed, as far as the signer's CHAIN was verified."""
    signer = certificates.described(signature.signer)
    if chain.to_root:
        verdict.say(f"signed by {signer}")
    elif chain.root:
        verdict.say(f"signed, as the signature itself says, by {signer}")
    else:
        verdict.say(f"signed, as the signature itself says and nothing checked, by {signer}: "
                    "give --root, and compare that fingerprint with the one the project publishes")
        verdict.not_checked("the signer's chain was not checked")


def source_date_epoch(release, verdict):
    """The release's source date epoch where its build took it from SOURCE_DATE_EPOCH, or None."""
    if release.record.get("Source-Date-Epoch-From") != "SOURCE_DATE_EPOCH":
        return None
    epoch = release.record.get("Source-Date-Epoch", "")
    if not re.fullmatch(r"[0-9]{1,12}", epoch):
        verdict.stop(f"{release.name}.buildinfo's Source-Date-Epoch is not a count of seconds: "
                     f"{clip(epoch)}", True)
    return epoch


def rebuilt(release, signature, verdict):
    """The rebuild's folder, with the release's source date epoch and the signature that its exe
    holds, or else the downloaded one, as tools/sign.py writes it: the file may hold more."""
    scratch, epoch = release.scratch, source_date_epoch(release, verdict)
    if signature is None and "signature" in release.paths:
        with contextlib.suppress(ValueError):
            signature = authenticode.from_pem(release.paths["signature"].read_bytes())
    attach = signature and scratch / "attached" / f"{release.name}.signature"
    if attach:
        attach.parent.mkdir()
        attach.write_bytes(certificates.armour.armor("PKCS7", signature.der))
    copy = scratch / "tree"
    verdict.say(f"rebuilding in {copy}{', with the signature' if attach else ''}")
    if not rebuild.rebuild(TOP, copy, epoch, attach, scratch / "build.log"):
        log = (scratch / "build.log").read_text("utf-8", "replace").splitlines()
        refused = [line.removeprefix(REFUSED) for line in log if line.startswith(REFUSED)]
        if refused:
            verdict.stop(f"the rebuild refused the signature: {clip(refused[0], 200)}")
        for line in log[-LOG_LINES:]:
            verdict.line(f"  {line}")
        verdict.stop("the rebuild failed, as the end of its log above shows")
    return copy / "build/windows"


def read_signed(options, verdict, scratch):
    """The release, as read, with the signature that its exe holds and its chains judged."""
    release = read_release(options.dir.resolve(), verdict, scratch)
    release.signed = read_signature(release, read_zip(release, verdict), options, verdict)
    if release.signed and release.signed.judged:
        judge_chains(options, release.signed, verdict)
    return release


def check(options, verdict, scratch):
    """The checks, in the order in which the verdict names their findings."""
    release = read_signed(options, verdict, scratch)
    signed, root = release.signed, options.root or options.tsa_root
    if "signature" not in release.paths:
        if root:
            verdict.found(f"the release is not signed, so it has no chain to check against {root}")
        verdict.not_checked("the release is not signed")
    if signed and not options.no_revocation:
        check_revocation(options, signed.chains, verdict)
    if options.rebuilders:
        lines, findings = rebuilders.report(options, release.record, _digests(release))
        for line in lines:
            verdict.say(line)
        for finding in findings:
            verdict.found(finding)
    else:
        check_commit(TOP, release, verdict)
        other_toolchain = check_toolchain(release, verdict)
        differ = compare(options, release, rebuilt(release, signed and signed.signature, verdict),
                         verdict)
        if differ:
            verdict.found(f"these differ from the rebuilt ones: {', '.join(differ)}", True)
        if differ and other_toolchain:
            verdict.found("the toolchain is not the release's, as above")
    if signed and signed.signature.signer:
        signed_by(signed.signature, signed.signer_chain, verdict)
    if options.attest and not verdict.findings:
        attest(options, release, verdict)


def _digests(release):
    return {path.name: published.sum_of(path) for path in release.paths.values()}


def attest(options, release, verdict):
    """Writes, beside the release, the rebuilder's signed statement that it rebuilt its files."""
    said = rebuilders.statement(release.record, _digests(release),
                                published.depends(release.record), options.rebuilder)
    path = options.dir.resolve() / f"{release.name}.{options.rebuilder}{rebuilders.ENDING}"
    # Made anew, so that a link of the download's at its name is not followed.
    path.unlink(missing_ok=True)
    with open(path, "x", encoding="utf-8") as file:
        file.write(rebuilders.envelope(said, options.attest))
    verdict.say(f"wrote {path}, signed with {rebuilders.fingerprint(options.attest.public_key())}")


def print_addresses(options, verdict, scratch):
    """Prints the addresses of the lists that the chains name, as far as they lead to the roots
    given, or without roots, as far as openssl verified them; a verdict only where it stops."""
    with contextlib.redirect_stdout(io.StringIO()):
        signed = read_signed(options, verdict, scratch).signed
    chains = signed.chains if signed else []
    paths = ([chain.to_root for chain in chains if chain.to_root]
             if options.root or options.tsa_root else [chain.certificates for chain in chains])
    for url in dict.fromkeys(url for path in paths for url in revocation.addresses(path)):
        print(cli.visible(url))
    return 0


def main():
    options = arguments()
    verdict = Verdict(*rebuilders.VERDICT if options.rebuilders else ())
    if options.no_revocation:
        verdict.not_checked("revocation was not checked")
    with tempfile.TemporaryDirectory() as scratch:
        try:
            if options.crl_addresses:
                return print_addresses(options, verdict, pathlib.Path(scratch))
            check(options, verdict, pathlib.Path(scratch))
        except Stop:
            pass
        except Exception as why:  # whatever a download finds to throw, it ends in a verdict
            verdict.found(f"the check could not go on: {type(why).__name__}: {clip(str(why))}")
    return verdict.end()


if __name__ == "__main__":
    cli.run("verify-release", main)
