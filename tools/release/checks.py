"""The checks of tools/verify-release.py, in the order it makes them: each tells the verdict what it
finds. The findings and their reasons: docs/release.md."""
import dataclasses
import os
import pathlib
import re
from collections.abc import Callable

from . import authenticode, certificates, cli, dpkg, layout, published, rebuild, revocation
from .certificates import name as name_of


class Stop(Exception):
    """Nothing after this finding can be checked."""


class Verdict:
    """What the checks said, and found: a finding that disproves shows that the files are not what
    this tree and their signer made; the others leave it open."""

    def __init__(self, source="this tree", same="every file is the same, byte for byte"):
        self.findings, self.disproved, self.unchecked = [], False, []
        self.source, self.same = source, same

    def line(self, text):
        print(cli.visible(text))

    def say(self, text):
        self.line(f"verify-release: {text}")

    def found(self, text, disproves=False):
        self.say(text)
        self.findings.append(text)
        self.disproved = self.disproved or disproves

    def stop(self, text, disproves=False):
        self.found(text, disproves)
        raise Stop

    def not_checked(self, text):
        """Adds what was not checked: the verdict names the last added first."""
        self.unchecked.insert(0, f"; {text}")

    def end(self):
        unchecked = "".join(self.unchecked)
        if not self.findings:
            self.say(f"the release came from {self.source}: {self.same}{unchecked}")
            return 0
        self.say(f"the release {'did not come' if self.disproved else 'is not shown to come'} "
                 f"from {self.source}: {'; '.join(self.findings)}{unchecked}")
        return 1


@dataclasses.dataclass
class Chain:
    """The signer's chain or the timestamp's, as far as openssl verified each link: its names, the
    root file that it is judged against (or None), how it is verified to that root, the finding of
    an expired certificate where that is one of its own, and how far it led to the root."""
    name: str
    revocation_name: str
    leaf_name: str
    certificates: list
    root: pathlib.Path
    verify: Callable[[], bool]
    expired_finding: str = None
    to_root: list = None


@dataclasses.dataclass
class Signed:
    """The signature in the exe, its chains, and whether they can be judged: it signs the exe and
    nothing beside, with a certificate that it holds."""
    signature: authenticode.Signature
    judged: bool
    signer_chain: Chain
    timestamp_chain: Chain = None

    @property
    def chains(self):
        return [chain for chain in (self.signer_chain, self.timestamp_chain) if chain]


@dataclasses.dataclass
class Release:
    """A downloaded release, as read: its record, name, a copy of each file, what its zip holds,
    the scratch folder of the copies, and the signature in its exe."""
    record: object
    name: str
    paths: dict
    members: list
    scratch: pathlib.Path
    signed: Signed = None


def _record(path, verdict):
    """The .buildinfo's fields, judged before any library reads them."""
    data = _read(path, "buildinfo", verdict)
    if cli.hidden(data.decode("utf-8", "replace").replace("\n", "")):
        verdict.stop(f"{path.name} holds a control character, which a release's does not", True)
    record = published.buildinfo(data)
    if not record:
        verdict.stop(f"{path.name} is not a release's: it is far larger, or not text", True)
    if published.depends(record) is None:
        verdict.stop(f"{path.name}'s Installed-Build-Depends holds an entry that is not a package "
                     "and its version, as a release's does", True)
    return record


def _read(path, ending, verdict):
    """A downloaded file's bytes, no more of them than a release's file holds."""
    try:
        data = published.read(path, ending)
    except published.Unreadable as why:
        verdict.stop(f"{path.name} cannot be read: {why}")
    if data is None:
        verdict.stop(f"{path.name} is far larger than a release's: it is not one", True)
    return data


def read_release(folder, verdict, scratch):
    """The release's record, name, files and zip members. No name read from them chooses a path:
    the .buildinfo must be named after the program and version it gives."""
    records = sorted(folder.glob("*.buildinfo"))
    if len(records) != 1:
        verdict.stop(f"'{folder}' must hold the .buildinfo of one release")
    record = _record(records[0], verdict)
    program, version = record.get("Source", ""), record.get("Version", "")
    name = layout.name(program, version)
    if (not layout.WORD.fullmatch(program) or not layout.WORD.fullmatch(version)
            or records[0].name != f"{name}.buildinfo"):
        verdict.stop(f"{records[0].name} does not name the release it is of: its Source and "
                     "Version do not make its name", True)
    signed = bool(record.get("Signer")) or os.path.lexists(folder / f"{name}.signature")
    paths = dict(zip(layout.ENDINGS, layout.files(folder, name, signed)))
    lacks = [path.name for path in paths.values() if not os.path.lexists(path)]
    if lacks:
        verdict.stop(f"'{folder}' lacks {', '.join(lacks)}")
    (scratch / "published").mkdir()
    copies = {ending: scratch / "published" / path.name for ending, path in paths.items()}
    for ending, path in paths.items():
        copies[ending].write_bytes(_read(path, ending, verdict))
    try:
        if signed:
            cli.require("checking its signature", "sign", "osslsigncode", "openssl")
    except cli.Refusal as why:
        verdict.stop(f"the release is signed, and {why}")
    return Release(record, name, copies, layout.members(program, version), scratch)


def _sums(release, verdict):
    """The .sha256 against the zip: one line, of the zip."""
    zip_name = f"{release.name}.zip"
    sums = published.listed_sums(
        release.paths["zip.sha256"].read_bytes().decode("utf-8", "replace"))
    others = [clip(listed, 200) for listed, _ in sums if listed != zip_name]
    if others:
        verdict.found(f"{zip_name}.sha256 names other files than the zip: "
                      f"{published.few(others)}", True)
    mine = [digest for listed, digest in sums if listed == zip_name]
    if mine and all(digest == published.sum_of(release.paths["zip"]) for digest in mine):
        verdict.say(f"{zip_name} matches its .sha256")
    else:
        verdict.found(f"{zip_name} does not match its .sha256: it did not arrive whole", True)


def read_zip(release, verdict):
    """The exe that the zip holds, once its listing is judged and its release's files unpacked."""
    name, members, unpacked = release.name, release.members, release.scratch / "unpacked"
    _sums(release, verdict)
    try:
        ruled_out, missing, extra = published.judge(release.paths["zip"], members)
        for finding in ruled_out:
            verdict.found(f"{name}.zip {finding}", True)
        if ruled_out:
            raise Stop
        published.unpack(release.paths["zip"], members, unpacked)
    except published.DAMAGED:
        verdict.stop(f"{name}.zip is damaged and cannot be unpacked", True)
    if extra:
        verdict.found(f"{name}.zip holds {published.few([clip(e, 200) for e in extra])}, which a "
                      "release does not", True)
    if missing:
        verdict.found(f"{name}.zip lacks {' '.join(missing)}", True)
    if not extra and not missing:
        verdict.say(f"{name}.zip holds exactly a release's files: "
                    + " ".join(member.split("/")[1] for member in members))
    return unpacked / name / f"{release.record['Source']}.exe"


def _signers(signature, verdict):
    """What the signature's signers signed, and what they did not."""
    if signature.signer is None:
        verdict.found("openssl verifies the exe's signature with none of the certificates it "
                      "holds", True)
    if signature.could_be_signer > 1:
        verdict.found(f"the signature holds {signature.could_be_signer} certificates that could "
                      "be taken for its signer", True)
    if signature.stamps_signature is False:
        verdict.found("the signature's timestamp is of other bytes than its signer's signature",
                      True)
    if signature.uncovered:
        verdict.found(f"the signature carries {', '.join(signature.uncovered)}, which its signer "
                      "did not sign", True)


def read_signature(release, exe, options, verdict):
    """The signature in the exe that a user runs, what its signers signed, and its chains; None
    where there is none."""
    name = release.name
    if "signature" not in release.paths:
        return None
    held = exe.is_file() and authenticode.attached(exe.read_bytes())
    try:
        signature = held and authenticode.Signature(held[0])
    except ValueError:
        signature = None
    if not signature:
        verdict.found(f"the exe in {name}.zip carries no signature, though the release is signed",
                      True)
        return None
    _signers(signature, verdict)
    data = exe.read_bytes()
    matches, outside = signature.signs(data), authenticode.outside_signature(data, signature.der)
    if matches and not outside:
        verdict.say(f"the exe in {name}.zip is unchanged since it was signed")
    elif not matches:
        verdict.found(f"the exe in {name}.zip was changed after it was signed: its bytes are not "
                      "those that its signature signs", True)
    if outside:
        verdict.found(f"the exe in {name}.zip holds {', '.join(outside)}, which no signature "
                      "covers", True)
    if release.paths["signature"].read_bytes() == certificates.armour.armor("PKCS7",
                                                                           signature.der):
        verdict.say(f"the exe in {name}.zip carries the published signature")
    else:
        verdict.found(f"the published {name}.signature is not the signature in the exe in "
                      f"{name}.zip", True)
    return _signed(signature, matches and not outside and signature.signer is not None, options,
                   exe)


def _signed(signature, judged, options, exe):
    """The signature with its chains: the signer's, which osslsigncode verifies, and where openssl
    finds who signed the timestamp, the timestamp's, which openssl ts verifies, judged only where
    the timestamp is of the signature."""
    stamped = signature.timestamped
    signer = Chain("the signature's chain", "the signer's chain", "the signer's certificate",
                   signature.chain, options.root,
                   lambda: certificates.signature_verified(exe, options.root, options.tsa_root),
                   "a certificate of the signer's chain has expired: give --tsa-root, so that the "
                   "chain is checked at the timestamp's time" if stamped and not options.tsa_root
                   else "a certificate of the signer's chain has expired, and no timestamp keeps "
                   "the signature valid")
    stamper = signature.stamper and Chain(
        "the timestamp's chain", "the timestamp's chain", "the time-stamp authority's certificate",
        signature.stamper_chain, options.tsa_root if stamped else None,
        lambda: certificates.timestamp_verified(signature, options.tsa_root))
    return Signed(signature, judged, signer, stamper)


def judge_chains(options, signed, verdict):
    """Judges each chain against its root, and sets how far it leads."""
    signature = signed.signature
    if signature.timestamped:
        verdict.say(f"timestamped {signature.stamped:%b %e %H:%M:%S %Y} GMT, as the timestamp of "
                    f"{name_of(signature.stamper.subject)} says")
    else:
        verdict.say("not timestamped: the signature is valid only while the signer's certificate "
                    "is")
    for chain in signed.chains:
        if chain.root:
            _judge(chain, verdict)
    if options.tsa_root and not signature.timestamped:
        verdict.found(f"the signature has no timestamp to check against {options.tsa_root}")
    elif signature.timestamped and not options.tsa_root:
        verdict.say("(the timestamp's chain is not checked without --tsa-root)")
        verdict.not_checked("the timestamp's chain was not checked")
    _beyond_roots(signed.chains, verdict)


def _judge(chain, verdict):
    roots = certificates.load(chain.root)
    why = certificates.why_not_to(chain.certificates, roots)
    chain.to_root = certificates.up_to(chain.certificates, roots) if chain.verify() else None
    if chain.to_root:
        verdict.say(f"{chain.name} leads to the root in {chain.root}")
    elif chain.expired_finding and not why and certificates.expired(chain.certificates):
        verdict.found(chain.expired_finding)
    else:
        verdict.found(f"{chain.name} does not lead to the root in {chain.root}"
                      + (f" ({why})" if why else ""))


def _beyond_roots(chains, verdict):
    """A chain's certificates past its root must be the root's own: nothing checked their
    signatures, so anyone's bytes could stand in them."""
    for chain in chains:
        if not chain.to_root:
            continue
        roots = {certificates.der(c) for c in certificates.load(chain.root)}
        past = [c for c in chain.certificates[len(chain.to_root):]
                if certificates.der(c) not in roots]
        if past:
            verdict.found(f"the signature carries {len(past)} certificate{'s' * (len(past) > 1)} "
                          f"of {chain.revocation_name} past the root in {chain.root}, whose "
                          "signatures are not checked")


def _lists(options, chain, verdict, fetcher):
    """{where from: its lists} to check CHAIN against; None where there are none."""
    if options.crl:
        return dict(options.crl)
    urls = revocation.addresses(chain.to_root)
    if not urls:
        verdict.say(f"no certificate of {chain.revocation_name} names a revocation list, so none "
                    "is checked")
        return None
    try:
        return {url: fetcher.fetch(url) for url in urls}
    except revocation.Unavailable as why:
        verdict.found(f"revocation could not be checked: {why}; give --crl FILE, or "
                      "--no-revocation")
        return None


def check_revocation(options, chains, verdict):
    """Revocation, of each chain that openssl verified to its root."""
    fetcher = revocation.Fetcher()
    for chain in [chain for chain in chains if chain.to_root]:
        lists = _lists(options, chain, verdict, fetcher)
        if lists is None:
            continue
        outcome = revocation.check(chain.root, chain.to_root,
                                   [crl for found in lists.values() for crl in found])
        if outcome.unclear:
            verdict.found("revocation could not be checked: openssl refused "
                          f"{chain.revocation_name} with these lists")
        elif outcome.uncovered is not None:
            verdict.found(f"revocation could not be checked: no list covers "
                          f"{name_of(outcome.uncovered.subject)}; give --crl FILE, or "
                          "--no-revocation")
        elif outcome.revoked == chain.to_root[0]:
            verdict.found(f"{chain.leaf_name} was revoked {outcome.when}")
        elif outcome.revoked is not None:
            verdict.found(f"the certificate of {name_of(outcome.revoked.subject)} in "
                          f"{chain.revocation_name} was revoked {outcome.when}")
        else:
            verdict.say(f"no certificate of {chain.revocation_name} is revoked (lists from "
                        f"{', '.join(map(str, lists))})")


def check_commit(top, release, verdict):
    """This tree's commit against the release's."""
    here, theirs = rebuild.commit(top), release.record.get("Source-Commit")
    if here is None:
        verdict.stop("this tree names no commit: run this in a clone, or an unpacked git archive, "
                     "of the release's commit")
    if theirs is None:
        verdict.say(f"the .buildinfo names no commit; this tree is {here}")
    elif not re.fullmatch(r"[0-9a-f]{40}", theirs):
        verdict.stop(f"{release.name}.buildinfo's Source-Commit is not a commit's id: "
                     f"{clip(theirs)}", True)
    elif theirs != here:
        verdict.stop(f"this tree is commit {here}, but the release was built from commit "
                     f"{theirs}: check that one out and run this again")
    else:
        verdict.say(f"this tree is the release's commit, {here}")
    if rebuild.uncommitted(top):
        verdict.say("(the tree has uncommitted changes; the rebuild is of its commit)")


def check_toolchain(release, verdict):
    """The toolchain here against the release's: whether it differs."""
    wanted = published.depends(release.record)
    installed = dpkg.installed(list(wanted))
    mine = {package: " ".join(installed.get(package, [])) for package in wanted}
    differs = [package for package in wanted if mine[package] != wanted[package]]
    for package in differs:
        verdict.say(f"the release was built with {package} {wanted[package]}, and here it is "
                    f"{mine[package] or 'not installed'}")
    if not differs:
        verdict.say("the toolchain is the release's")
    return bool(differs)


def compare(options, release, rebuilt_folder, verdict):
    """Each downloaded file against the rebuilt one, and where two differ: those that differ."""
    differ = []
    for ending, path in release.paths.items():
        rebuilt = rebuilt_folder / path.name
        if rebuilt.is_file() and rebuilt.read_bytes() == path.read_bytes():
            verdict.line(f"same: {path.name}")
        elif not rebuilt.is_file():
            verdict.line(f"DIFFERS: {path.name}, which the rebuild did not make")
            differ.append(path.name)
        else:
            differ.append(path.name + (_changed(release, rebuilt) if ending == "zip" else ""))
            verdict.line(f"DIFFERS: {path.name}")
            # Where they differ, down to the bytes: a sum alone says nothing of why.
            seconds = options.report_seconds
            report = rebuild.report(path, rebuilt, seconds, release.scratch)
            if report is None:
                verdict.say("(diffoscope is not here to show where they differ: tools/setup.sh "
                            "compare installs it)")
            elif report is False:
                verdict.say(f"diffoscope's report on {path.name} was cut off after {seconds} s; "
                            "the files differ all the same")
            for line in report or []:
                verdict.line(clip(line, 200))
    return differ


def _changed(release, rebuilt_zip):
    """Which of the zip's files differ from the rebuilt zip's, as a report may not come."""
    unpacked, rebuilt = release.scratch / "unpacked", release.scratch / "rebuilt"
    published.unpack(rebuilt_zip, release.members, rebuilt)
    changed = [member.split("/")[1] for member in release.members
               if not (unpacked / member).is_file()
               or (unpacked / member).read_bytes() != (rebuilt / member).read_bytes()]
    return f" (its {' '.join(changed)})" if changed else ""


def clip(text, limit=80):
    return text if len(text) <= limit else text[:limit] + "..."
