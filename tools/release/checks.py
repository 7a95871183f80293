"""The checks of tools/verify-release.py, in the order it makes them. Each tells the verdict what
it found, which the verdict says as it goes and names again at the end."""
import re
import shutil

from . import authenticode, certificates, cli, layout, published, rebuild, revocation
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


def read_release(folder, v):
    """The release's record, name, files and zip members. No name read from them chooses a path:
    the .buildinfo must be named after the program and version it gives."""
    records = sorted(folder.glob("*.buildinfo"))
    if len(records) != 1 or not records[0].is_file():
        v.stop(f"'{folder}' must hold the .buildinfo of one release")
    data = published.read(records[0], "buildinfo")
    record = data and published.buildinfo(data)
    if not record:
        v.stop(f"{records[0].name} is not a release's: it is far larger, or not text", True)
    program, version = record.get("Source", ""), record.get("Version", "")
    name = layout.name(program, version)
    if (not layout.WORD.fullmatch(program) or not layout.WORD.fullmatch(version)
            or records[0].name != f"{name}.buildinfo"):
        v.stop(f"{records[0].name} does not name the release it is of: its Source and Version "
               "do not make its name", True)
    signed = bool(record.get("Signer")) or (folder / f"{name}.signature").is_file()
    paths = dict(zip(layout.ENDINGS, layout.files(folder, name, signed)))
    lacks = [path.name for path in paths.values() if not path.is_file()]
    if lacks:
        v.stop(f"'{folder}' lacks {', '.join(lacks)}")
    for ending, path in paths.items():
        if path.stat().st_size > layout.LIMITS[ending]:
            v.stop(f"{path.name} is far larger than a release's: it is not one", True)
    if signed and not (shutil.which("osslsigncode") and shutil.which("openssl")):
        v.stop("the release is signed, and checking its signature needs osslsigncode and "
               "openssl, which tools/setup.sh sign installs")
    return record, name, paths, layout.members(program, version)


def read_zip(name, paths, members, unpacked, v):
    """What the zip holds, as its listing has it, judged before anything is unpacked."""
    sums = published.listed_sums(paths["zip.sha256"].read_bytes().decode("utf-8", "replace"))
    if sums and all(line == (f"{name}.zip", published.sum_of(paths["zip"])) for line in sums):
        v.say(f"{name}.zip matches its .sha256")
    else:
        v.found(f"{name}.zip does not match its .sha256: it did not arrive whole", True)
    try:
        ruled_out, missing, extra = published.judge(paths["zip"], members)
        for finding in ruled_out:
            v.found(f"{name}.zip {finding}", True)
        if ruled_out:
            raise Stop
        published.unpack(paths["zip"], members, unpacked)
    except published.DAMAGED:
        v.stop(f"{name}.zip is damaged and cannot be unpacked", True)
    if extra:
        v.found(f"{name}.zip holds {' '.join(extra)}, which a release does not", True)
    if missing:
        v.found(f"{name}.zip lacks {' '.join(missing)}", True)
    if not extra and not missing:
        v.say(f"{name}.zip holds exactly a release's files: "
              + " ".join(member.split("/")[1] for member in members))


def read_signature(name, paths, exe, v):
    """The signature in the exe that a user unpacks and runs, and the published one's DER."""
    signature = None
    try:
        published_der = certificates.blocks(paths["signature"].read_bytes())[0]
    except (KeyError, ValueError):
        published_der = None
    if "signature" in paths and exe.is_file():
        held = authenticode.attached(exe.read_bytes())
        try:
            signature = held and authenticode.Signature(held[0])
        except ValueError:
            pass
        if not signature:
            v.found(f"the exe in {name}.zip carries no signature, though the release is signed",
                    True)
    fits = bool(signature) and signature.fits(exe.read_bytes())
    if fits:
        v.say(f"the exe in {name}.zip is unchanged since it was signed")
    elif signature:
        v.found(f"the exe in {name}.zip was changed after it was signed: its bytes are not "
                "those that its signature signs", True)
    if signature and published_der == signature.der:
        v.say(f"the exe in {name}.zip carries the published signature")
    elif signature:
        v.found(f"the published {name}.signature is not the signature in the exe in {name}.zip",
                True)
    return signature, published_der, fits


def chains(signature):
    """The signer's chain, and the timestamp's where there is one."""
    if not signature:
        return []
    found = [certificates.chain(signature.signer, signature.certificates)]
    if signature.token is not None:
        found.append(certificates.chain(signature.stamper, signature.stamper_chain))
    return found


def judge_chains(given, signature, exe, v, scratch):
    """Which chains lead to their roots: the timestamp's and the signer's, as osslsigncode and
    openssl judge them, with what the certificates say of why not."""
    if signature.stamped:
        v.say(f"timestamped {signature.stamped:%b %e %H:%M:%S %Y} GMT, by a time-stamp "
              f"authority certified by {name_of(signature.authority)}")
    elif signature.countersigned:
        v.say(f"timestamped {signature.countersigned:%b %e %H:%M:%S %Y} GMT, by an Authenticode "
              "countersignature, an older kind than RFC 3161, whose chain is not checked here")
    else:
        v.say("not timestamped: the signature is valid only while the signer's certificate is")
    leads = [False, False]
    for which, root in enumerate((given.root, given.tsa_root)):
        if not root or which and not signature.stamped:
            continue
        path = chains(signature)[which]
        why = certificates.why_not_to(path, certificates.load(root))
        if (certificates.timestamp_verified(signature, root, scratch) if which
                else certificates.signature_verified(exe, root, given.tsa_root)):
            v.say(f"{CHAINS[which][0]} leads to the root in {root}")
            leads[which] = True
        elif which or why or not certificates.expired(path):
            v.found(f"{CHAINS[which][0]} does not lead to the root in {root}"
                    + (f" ({why})" if why else ""))
        elif signature.stamped and not given.tsa_root:
            v.found("a certificate of the signer's chain has expired: give --tsa-root, so that "
                    "the chain is checked at the timestamp's time")
        else:
            v.found("a certificate of the signer's chain has expired, and no timestamp keeps "
                    "the signature valid")
    if given.tsa_root and signature.countersigned:
        v.found(f"the signature's timestamp is an Authenticode countersignature, which is not "
                f"checked against {given.tsa_root}")
    elif given.tsa_root and not signature.stamped:
        v.found(f"the signature has no timestamp to check against {given.tsa_root}")
    elif signature.stamped and given.root and not given.tsa_root:
        v.say("(the timestamp's chain is not checked without --tsa-root)")
    return leads


def check_revocation(given, path, root, which, v, scratch):
    """Revocation, of a chain that leads to its root: against the lists given, or else those that
    its certificates name, fetched."""
    _, chain_name, leaf_name = CHAINS[which]
    if given.crl:
        lists = [crl for _, parsed in given.crl for crl in parsed]
        sources = ", ".join(str(file) for file, _ in given.crl)
    else:
        urls = revocation.addresses(path)
        if not urls:
            v.say(f"no certificate of {chain_name} names a revocation list, so none is checked")
            return
        try:
            lists = [crl for url in urls for crl in revocation.fetch(url)]
        except revocation.Unavailable as why:
            v.found(f"revocation could not be checked: {why}; give --crl FILE, or "
                    "--no-revocation")
            return
        sources = ", ".join(urls)
    outcome = revocation.check(root, path, lists, scratch)
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
    wanted = [(first["name"], first["version"][1])
              for first, *_ in filter(None, record.relations["installed-build-depends"])
              if first["version"] and re.fullmatch(r"[a-z0-9][a-z0-9+.-]+", first["name"])]
    installed = rebuild.installed([package for package, _ in wanted])
    differs = False
    for package, version in wanted:
        mine = " ".join(installed.get(package, []))
        if mine != version:
            v.say(f"the release was built with {package} {version}, and here it is "
                  f"{mine or 'not installed'}")
            differs = True
    if not differs:
        v.say("the toolchain is the release's")
    return differs


def compare(given, paths, members, rebuilt_folder, unpacked, v, scratch):
    """Each published file against the rebuilt one, and where two differ."""
    differ = []
    for ending, path in paths.items():
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
            v.line(line)
    return differ


def clip(text, limit=80):
    return text if len(text) <= limit else text[:limit] + "..."
