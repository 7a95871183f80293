"""The checks of tools/verify-release.py, in the order it makes them. Each tells the verdict what
it found, which the verdict says as it goes and names again at the end."""
import dataclasses
import os
import re
import shutil

from . import authenticode, certificates, cli, dpkg, layout, published, rebuild, revocation
from .certificates import name as name_of

# Each chain as its verdict, its revocation and its leaf's revocation name it.
CHAINS = (("the signature's chain", "the signer's chain", "the signer's certificate"),
          ("the timestamp's chain", "the timestamp's chain",
           "the time-stamp authority's certificate"))


class Stop(Exception):
    """Nothing after this finding can be checked."""


class Verdict:
    """What the checks said, and found: a finding that disproves shows that the files are not what
    this tree and their signer made; the others leave it open."""

    def __init__(self, unchecked, quiet=False):
        self.findings, self.disproved, self.unchecked = [], False, unchecked
        self.quiet = quiet

    def line(self, text):
        if not self.quiet:
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

    def end(self):
        self.quiet = False
        if not self.findings:
            self.say(f"the release came from this tree: every file is the same, byte for byte"
                     f"{self.unchecked}")
            return 0
        self.say(f"the release {'did not come' if self.disproved else 'is not shown to come'} "
                 f"from this tree: {'; '.join(self.findings)}{self.unchecked}")
        return 1


@dataclasses.dataclass
class Release:
    """A published release, as read: its record and name, a copy of each of its files in the
    scratch folder, and what its zip holds."""
    record: object
    name: str
    paths: dict
    members: list


def _record(path, v):
    """The .buildinfo's fields, judged before any library reads them."""
    data = _read(path, "buildinfo", v)
    text = data.decode("utf-8", "replace")
    if cli.hidden(text.replace("\n", "")):
        v.stop(f"{path.name} holds a control character, which a release's does not", True)
    record = published.buildinfo(data)
    if not record:
        v.stop(f"{path.name} is not a release's: it is far larger, or not text", True)
    if published.depends(record) is None:
        v.stop(f"{path.name}'s Installed-Build-Depends holds an entry that is not a package and "
               "its version, as a release's does", True)
    return record


def _read(path, ending, v):
    """A published file's bytes, no more of them than a release's file holds."""
    try:
        data = published.read(path, ending)
    except published.Unreadable as why:
        v.stop(f"{path.name} cannot be read: {why}")
    if data is None:
        v.stop(f"{path.name} is far larger than a release's: it is not one", True)
    return data


def read_release(folder, v, scratch):
    """The release's record, name, files and zip members. No name read from them chooses a path:
    the .buildinfo must be named after the program and version it gives."""
    records = sorted(folder.glob("*.buildinfo"))
    if len(records) != 1:
        v.stop(f"'{folder}' must hold the .buildinfo of one release")
    record = _record(records[0], v)
    program, version = record.get("Source", ""), record.get("Version", "")
    name = layout.name(program, version)
    if (not layout.WORD.fullmatch(program) or not layout.WORD.fullmatch(version)
            or records[0].name != f"{name}.buildinfo"):
        v.stop(f"{records[0].name} does not name the release it is of: its Source and Version "
               "do not make its name", True)
    signed = bool(record.get("Signer")) or os.path.lexists(folder / f"{name}.signature")
    paths = dict(zip(layout.ENDINGS, layout.files(folder, name, signed)))
    lacks = [path.name for path in paths.values() if not os.path.lexists(path)]
    if lacks:
        v.stop(f"'{folder}' lacks {', '.join(lacks)}")
    copies = scratch / "published"
    copies.mkdir()
    for ending, path in paths.items():
        paths[ending] = copies / path.name
        paths[ending].write_bytes(_read(path, ending, v))
    if signed and not (shutil.which("osslsigncode") and shutil.which("openssl")):
        v.stop("the release is signed, and checking its signature needs osslsigncode and "
               "openssl, which tools/setup.sh sign installs")
    return Release(record, name, paths, layout.members(program, version))


def _sums(release, v):
    """The .sha256 against the zip: one line, of the zip."""
    name, zip_name = release.name, f"{release.name}.zip"
    sums = published.listed_sums(
        release.paths["zip.sha256"].read_bytes().decode("utf-8", "replace"))
    others = [clip(listed, 200) for listed, _ in sums if listed != zip_name]
    if others:
        v.found(f"{name}.zip.sha256 names other files than the zip: {published.few(others)}",
                True)
    mine = [digest for listed, digest in sums if listed == zip_name]
    if mine and all(d == published.sum_of(release.paths["zip"]) for d in mine):
        v.say(f"{zip_name} matches its .sha256")
    else:
        v.found(f"{zip_name} does not match its .sha256: it did not arrive whole", True)


def read_zip(release, unpacked, v):
    """What the zip holds, as its listing has it, judged before anything is unpacked."""
    name, members = release.name, release.members
    _sums(release, v)
    try:
        ruled_out, missing, extra = published.judge(release.paths["zip"], members)
        for finding in ruled_out:
            v.found(f"{name}.zip {finding}", True)
        if ruled_out:
            raise Stop
        published.unpack(release.paths["zip"], members, unpacked)
    except published.DAMAGED:
        v.stop(f"{name}.zip is damaged and cannot be unpacked", True)
    if extra:
        v.found(f"{name}.zip holds {published.few([clip(e, 200) for e in extra])}, which a "
                "release does not", True)
    if missing:
        v.found(f"{name}.zip lacks {' '.join(missing)}", True)
    if not extra and not missing:
        v.say(f"{name}.zip holds exactly a release's files: "
              + " ".join(member.split("/")[1] for member in members))


def _held(release, exe, v):
    """The signature that the exe holds, where the release is signed."""
    held = exe.is_file() and authenticode.attached(exe.read_bytes())
    try:
        signature = held and authenticode.Signature(held[0])
    except ValueError:
        signature = None
    if not signature:
        v.found(f"the exe in {release.name}.zip carries no signature, though the release is "
                "signed", True)
    return signature


def read_signature(release, exe, v):
    """The signature in the exe that a user unpacks and runs, what of it and of the exe its
    signers signed, and whether its signer's chain can be judged."""
    name = release.name
    signature = "signature" in release.paths and _held(release, exe, v)
    if not signature:
        return None, False
    if signature.signer is None:
        v.found("openssl verifies the exe's signature with none of the certificates it holds",
                True)
    if signature.could_be_signer > 1:
        v.found(f"the signature holds {signature.could_be_signer} certificates that could be "
                "taken for its signer", True)
    if signature.stamps_signature is False:
        v.found("the signature's timestamp is of other bytes than its signer's signature", True)
    if signature.uncovered:
        v.found(f"the signature carries {', '.join(signature.uncovered)}, which its signer did "
                "not sign", True)
    data = exe.read_bytes()
    fits, outside = signature.fits(data), authenticode.outside_signature(data, signature.der)
    if fits and not outside:
        v.say(f"the exe in {name}.zip is unchanged since it was signed")
    elif not fits:
        v.found(f"the exe in {name}.zip was changed after it was signed: its bytes are not "
                "those that its signature signs", True)
    if outside:
        v.found(f"the exe in {name}.zip holds {', '.join(outside)}, which no signature "
                "covers", True)
    if release.paths["signature"].read_bytes() == certificates.armour.armor("PKCS7",
                                                                           signature.der):
        v.say(f"the exe in {name}.zip carries the published signature")
    else:
        v.found(f"the published {name}.signature is not the signature in the exe in {name}.zip",
                True)
    return signature, fits and not outside and signature.signer is not None


def chains(signature):
    """The signer's chain, and the timestamp's where there is one, as far as openssl verified
    them."""
    if not signature:
        return []
    return [signature.chain] + ([signature.stamper_chain] if signature.stamper else [])


def _timestamp_line(signature, v):
    if signature.timestamped:
        v.say(f"timestamped {signature.stamped:%b %e %H:%M:%S %Y} GMT, as the timestamp of "
              f"{name_of(signature.stamper.subject)} says")
    else:
        v.say("not timestamped: the signature is valid only while the signer's certificate is")


def judge_chains(given, signature, exe, v):
    """The chains that lead to their roots, each as far as its root, or None: the timestamp's and
    the signer's, as osslsigncode and openssl judge them, with what the certificates say of why
    not."""
    _timestamp_line(signature, v)
    stamped = signature.timestamped
    leads = [None, None]
    for which, root in enumerate((given.root, given.tsa_root)):
        if not root or which and not stamped:
            continue
        path = chains(signature)[which]
        why = certificates.why_not_to(path, certificates.load(root))
        verified = (certificates.timestamp_verified(signature, root) if which
                    else certificates.signature_verified(exe, root, given.tsa_root))
        leads[which] = verified and certificates.up_to(path, certificates.load(root))
        if leads[which]:
            v.say(f"{CHAINS[which][0]} leads to the root in {root}")
        elif which or why or not certificates.expired(path):
            v.found(f"{CHAINS[which][0]} does not lead to the root in {root}"
                    + (f" ({why})" if why else ""))
        elif stamped and not given.tsa_root:
            v.found("a certificate of the signer's chain has expired: give --tsa-root, so that "
                    "the chain is checked at the timestamp's time")
        else:
            v.found("a certificate of the signer's chain has expired, and no timestamp keeps "
                    "the signature valid")
    if given.tsa_root and not stamped:
        v.found(f"the signature has no timestamp to check against {given.tsa_root}")
    elif stamped and not given.tsa_root:
        v.say("(the timestamp's chain is not checked without --tsa-root)")
        v.unchecked = "; the timestamp's chain was not checked" + v.unchecked
    _beyond_roots(given, signature, leads, v)
    return leads


def _beyond_roots(given, signature, leads, v):
    """The certificates of a chain past where it reaches its root, which must be the root's own:
    their signatures were not checked, so that anyone's bytes could stand in them."""
    for which, root in enumerate((given.root, given.tsa_root)):
        if not leads[which]:
            continue
        roots = {certificates.der(c) for c in certificates.load(root)}
        past = [c for c in chains(signature)[which][len(leads[which]):]
                if certificates.der(c) not in roots]
        if past:
            v.found(f"the signature carries {len(past)} certificate{'s' * (len(past) > 1)} of "
                    f"{CHAINS[which][1]} past the root in {root}, whose signatures are not "
                    "checked")


def _lists(given, chain_name, path, v, fetcher):
    """The lists to check PATH against, and where they came from; None where there are none."""
    if given.crl:
        return ([crl for _, parsed in given.crl for crl in parsed],
                ", ".join(str(file) for file, _ in given.crl))
    urls = revocation.addresses(path)
    if not urls:
        v.say(f"no certificate of {chain_name} names a revocation list, so none is checked")
        return None
    try:
        return [crl for url in urls for crl in fetcher.fetch(url)], ", ".join(urls)
    except revocation.Unavailable as why:
        v.found(f"revocation could not be checked: {why}; give --crl FILE, or --no-revocation")
        return None


def check_revocation(given, which, path, v, fetcher):
    """Revocation, of a chain that openssl verified to its root: against the lists given, or else
    those that its certificates name, fetched."""
    _, chain_name, leaf_name = CHAINS[which]
    found = _lists(given, chain_name, path, v, fetcher)
    if found is None:
        return
    lists, sources = found
    outcome = revocation.check((given.root, given.tsa_root)[which], path, lists)
    if outcome is None:
        v.say(f"no certificate of {chain_name} is revoked (lists from {sources})")
        return
    certificate, when = outcome
    if certificate is None:
        v.found(f"revocation could not be checked: openssl refused {chain_name} with these lists")
    elif when is None:
        v.found(f"revocation could not be checked: no list covers "
                f"{name_of(certificate.subject)}; give --crl FILE, or --no-revocation")
    elif certificate == path[0]:
        v.found(f"{leaf_name} was revoked {when}")
    else:
        v.found(f"the certificate of {name_of(certificate.subject)} in {chain_name} was revoked "
                f"{when}")


def check_tree(top, record, name, v):
    """This tree's commit against the release's, and the toolchain here against its own."""
    here, theirs = rebuild.commit(top), record.get("Source-Commit")
    if here is None:
        v.stop("this tree names no commit: run this in a clone, or an unpacked git archive, of "
               "the release's commit")
    if theirs is None:
        v.say(f"the .buildinfo names no commit; this tree is {here}")
    elif not re.fullmatch(r"[0-9a-f]{40}", theirs):
        v.stop(f"{name}.buildinfo's Source-Commit is not a commit's id: {clip(theirs)}", True)
    elif theirs != here:
        v.stop(f"this tree is commit {here}, but the release was built from commit {theirs}: "
               "check that one out and run this again")
    else:
        v.say(f"this tree is the release's commit, {here}")
    if rebuild.uncommitted(top):
        v.say("(the tree has uncommitted changes; the rebuild is of its commit)")
    wanted = published.depends(record)
    installed = dpkg.installed(list(wanted))
    differs = False
    for package, version in wanted.items():
        mine = " ".join(installed.get(package, []))
        if mine != version:
            v.say(f"the release was built with {package} {version}, and here it is "
                  f"{mine or 'not installed'}")
            differs = True
    if not differs:
        v.say("the toolchain is the release's")
    return differs


def compare(given, release, rebuilt_folder, v, scratch):
    """Each published file against the rebuilt one, and where two differ."""
    differ, members, unpacked = [], release.members, scratch / "unpacked"
    for ending, path in release.paths.items():
        rebuilt = rebuilt_folder / path.name
        if rebuilt.is_file() and rebuilt.read_bytes() == path.read_bytes():
            v.line(f"same: {path.name}")
            continue
        if not rebuilt.is_file():
            v.line(f"DIFFERS: {path.name}, which the rebuild did not make")
            differ.append(path.name)
            continue
        entry = path.name
        if ending == "zip":
            # Which of the files in it, as a report may not come.
            published.unpack(rebuilt, members, scratch / "rebuilt")
            changed = [member.split("/")[1] for member in members
                       if not (unpacked / member).is_file() or (unpacked / member).read_bytes()
                       != (scratch / "rebuilt" / member).read_bytes()]
            entry += f" (its {' '.join(changed)})" if changed else ""
        differ.append(entry)
        v.line(f"DIFFERS: {path.name}")
        # Where they differ, down to the bytes: a sum alone says nothing of why.
        report = rebuild.report(path, rebuilt, given.report_seconds, scratch)
        if report is None:
            v.say("(diffoscope is not here to show where they differ: tools/setup.sh compare "
                  "installs it)")
        elif report is False:
            v.say(f"diffoscope's report on {path.name} was cut off after "
                  f"{given.report_seconds} s; the files differ all the same")
        for line in report or []:
            v.line(clip(line, 200))
    return differ


def clip(text, limit=80):
    return text if len(text) <= limit else text[:limit] + "..."
