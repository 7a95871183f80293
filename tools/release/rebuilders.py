#!/usr/bin/python3 -B
"""Checks that at least K of the rebuilders whom you trust rebuilt a release's files and none found
others, by the in-toto statements they signed with their Ed25519 keys. Only keys in your list count,
each once; any other statement counts for nothing. It needs Python and its cryptography package
alone. Exit status: 0 on a pass; 1 when not; 2 for a command line it does not take."""
import argparse
import base64
import contextlib
import hashlib
import itertools
import json
import os
import pathlib
import re
import stat
import sys
import urllib.parse

from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519

PAYLOAD_TYPE = "application/vnd.in-toto+json"
STATEMENT_TYPE = "https://in-toto.io/Statement/v1"
PREDICATE_TYPE = "https://slsa.dev/provenance/v1"
BUILD_TYPE = "urn:veltrin-backend:rebuild:v1"  # its fields: docs/release.md
ENDING = ".intoto.json"
# Far past what a release's files and statements need: beyond them, nothing is read.
FILE_LIMIT, RELEASE_FILE_LIMIT, STATEMENT_LIMIT, SIGNATURE_LIMIT = 1 << 20, 64 << 20, 64, 16
UNKNOWN = "it is not an in-toto statement of a rebuild"
VERDICT = ("its commit", "every file is the one that the rebuilders whom you trust rebuilt")


def strict_base64(text):
    data = base64.b64decode(text, validate=True)
    if base64.b64encode(data).decode() != text:
        raise ValueError("base64 with padding or bits of another form")
    return data


def strict_json(data):
    def unique(pairs):
        if len(dict(pairs)) != len(pairs):
            raise ValueError("JSON that gives a key twice")
        return dict(pairs)
    try:  # json reads no deeper than Python's recursion limit
        return json.loads(data.decode("utf-8"), object_pairs_hook=unique)
    except RecursionError:
        raise ValueError("JSON nested far more deeply than a statement") from None


def bounded(path, limit=FILE_LIMIT):
    """The bytes of a regular file, never through a link; ValueError where it holds over LIMIT."""
    flags = os.O_RDONLY | getattr(os, "O_BINARY", 0) | getattr(os, "O_NOFOLLOW", 0)
    with open(os.open(path, flags | getattr(os, "O_NONBLOCK", 0)), "rb") as file:
        if path.is_symlink() or not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
            raise ValueError("it is not a regular file")
        data = file.read(limit + 1)
    if len(data) > limit:
        raise ValueError("it is far larger than a release's file or statement")
    return data


def fingerprint(key):
    blob = base64.b64decode(key.public_bytes(serialization.Encoding.OpenSSH,
                                             serialization.PublicFormat.OpenSSH).split()[1])
    return "SHA256:" + base64.b64encode(hashlib.sha256(blob).digest()).decode().rstrip("=")


def trusted(path):
    """{raw key: names and fingerprint} of lines NAMES ssh-ed25519 KEY [COMMENT], as OpenSSH's
    allowed signers; refused where a line is of another form, or hides a character."""
    found, number = {}, 0
    try:
        text = bounded(pathlib.Path(path)).decode("utf-8-sig")
        for number, line in enumerate(text.replace("\r\n", "\n").split("\n"), 1):
            words = line.split()
            if not line.replace("\t", " ").isprintable():
                raise ValueError
            if words and not words[0].startswith("#"):
                if words[1:2] != ["ssh-ed25519"] or not re.fullmatch(r"[!-+\--~]+(,[!-+\--~]+)*",
                                                                      words[0]):
                    raise ValueError
                key = serialization.load_ssh_public_key(b"ssh-ed25519 " + base64.b64encode(
                    strict_base64(words[2])))
                raw = key.public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
                found.setdefault(raw, (key, []))[1].extend(words[0].split(","))
    except (OSError, ValueError, IndexError, UnsupportedAlgorithm):
        raise argparse.ArgumentTypeError(f"'{path}' is not a list of lines NAMES ssh-ed25519 KEY: "
                                         + (f"line {number}" if number else "unread")) from None
    if not found:
        raise argparse.ArgumentTypeError(f"'{path}' lists no rebuilder")
    return {raw: f"{', '.join(names)} ({fingerprint(key)})" for raw, (key, names) in found.items()}


def signed_bytes(payload):  # DSSE's pre-authentication encoding: what the signatures sign
    return b"DSSEv1 %d %b %d %b" % (len(PAYLOAD_TYPE), PAYLOAD_TYPE.encode(), len(payload), payload)


def statement(record, files, toolchain, rebuilder):
    """What REBUILDER says it rebuilt: FILES {name: SHA-256} of .buildinfo RECORD, by TOOLCHAIN."""
    commit = record.get("Source-Commit", "")
    return {"_type": STATEMENT_TYPE,
            "subject": [{"name": name, "digest": {"sha256": files[name]}} for name in files],
            "predicateType": PREDICATE_TYPE, "predicate": {"buildDefinition": {
                "buildType": BUILD_TYPE,
                "externalParameters": {"repository": record.get("Source", ""), "commit": commit,
                                       "version": record.get("Version", "")},
                "internalParameters": {"sourceDateEpoch": record.get("Source-Date-Epoch", "")},
                "resolvedDependencies": [
                    {"name": "source", "digest": {"gitCommit": commit}},
                    *[{"name": name, "digest": {"sha256": files[name]}}
                      for name in files if name.endswith(".signature")],
                    {"name": "debian", "annotations": {
                        "release": record.get("Build-Release", ""),
                        "architecture": record.get("Build-Architecture", "")}},
                    *[{"uri": f"pkg:deb/debian/{package}@{urllib.parse.quote(version)}"}
                      for package, version in toolchain.items()]]},
                "runDetails": {"builder": {"id": f"urn:veltrin-backend:rebuilder:{rebuilder}"}}}}


def envelope(signed_statement, key):
    """The statement's DSSE envelope, signed with the Ed25519 KEY: the same bytes each time."""
    payload = json.dumps(signed_statement, indent=1).encode()
    signature = base64.b64encode(key.sign(signed_bytes(payload))).decode()
    return json.dumps({"payloadType": PAYLOAD_TYPE, "payload": base64.b64encode(payload).decode(),
                       "signatures": [{"keyid": fingerprint(key.public_key()), "sig": signature}]},
                      indent=2) + "\n"


def _signers(envelope_data, keys):
    """The raw keys of KEYS that signed the envelope, and its payload."""
    if envelope_data.get("payloadType") != PAYLOAD_TYPE:
        raise ValueError(f"its payloadType is not {PAYLOAD_TYPE}")
    payload, signatures = strict_base64(envelope_data["payload"]), envelope_data["signatures"]
    if not 0 < len(signatures) <= SIGNATURE_LIMIT:
        raise ValueError(f"it does not hold 1 to {SIGNATURE_LIMIT} signatures")
    # Each key is tried on each signature: a keyid is the envelope's word, and chooses nothing.
    values = [strict_base64(signature["sig"]) for signature in signatures]
    signers = set()
    for raw, value in itertools.product(keys, values):
        with contextlib.suppress(InvalidSignature):
            ed25519.Ed25519PublicKey.from_public_bytes(raw).verify(value, signed_bytes(payload))
            signers.add(raw)
    if not signers:
        raise ValueError("no key of the list signed it")
    return signers, payload


def _subject(said, record):
    """{name: SHA-256} of what a statement of the release's kind, commit and version names."""
    build = said["predicate"]["buildDefinition"]
    for field, value, wanted in (("_type", said["_type"], STATEMENT_TYPE),
                                 ("predicateType", said["predicateType"], PREDICATE_TYPE),
                                 ("buildType", build["buildType"], BUILD_TYPE),
                                 ("commit", build["externalParameters"]["commit"],
                                  record.get("Source-Commit")),
                                 ("version", build["externalParameters"]["version"],
                                  record.get("Version"))):
        if value != wanted or not wanted:
            raise ValueError(f"its {field} is {str(value)[:80]}, not "
                             f"{wanted or 'one that the release names'}")
    files = {item["name"]: item["digest"]["sha256"] for item in said["subject"]}
    if len(files) != len(said["subject"]) or not all(
            re.fullmatch("[0-9a-f]{64}", str(digest)) for digest in files.values()):
        raise ValueError("its subject does not name each file once, with its SHA-256")
    return files


def report(options, record, files):
    """The lines that name the release, what counted for nothing and who agreed; the findings."""
    said, lines = {}, [f"release {record.get('Version')}, commit {record.get('Source-Commit')}"]
    stem = next(name for name in files if name.endswith(".buildinfo")).removesuffix("buildinfo")
    # Named exactly: a glob on Windows would take any case.
    paths = sorted(path for path in (options.statements or options.dir).iterdir()
                   if path.name.startswith(stem) and path.name.endswith(ENDING))
    for path in paths[:STATEMENT_LIMIT]:
        try:
            signers, payload = _signers(strict_json(bounded(path)), options.rebuilders)
            found = _subject(strict_json(payload), record)
            differ = {name for name in found if name in files and found[name] != files[name]}
            if not differ and found.keys() != files.keys():
                raise ValueError("it names other files than the release's")
        except (OSError, ValueError, TypeError, KeyError, AttributeError) as why:
            lines.append(f"counted for nothing: {path.name}: "
                         f"{why if isinstance(why, (OSError, ValueError)) else UNKNOWN}")
            continue
        for signer in signers:
            said.setdefault(signer, set()).update(differ)  # {raw key: the files it found otherwise}
    agreed = [options.rebuilders[raw] for raw, differ in said.items() if not differ]
    findings = [f"{options.rebuilders[raw]} rebuilt other bytes: {', '.join(sorted(differ))}"
                for raw, differ in said.items() if differ]
    if len(paths) > STATEMENT_LIMIT:  # one left unread may be one that disagrees
        findings.append(f"{len(paths) - STATEMENT_LIMIT} statements after the first "
                        f"{STATEMENT_LIMIT} were not read")
    if len(agreed) < options.min_rebuilders:
        findings.append(f"{len(agreed)} of the rebuilders whom you trust agree, and "
                        f"--min-rebuilders asks for {options.min_rebuilders}")
    return lines + [f"agrees: {key}" for key in agreed], findings


def _minimum(text):
    if not re.fullmatch(r"[1-9][0-9]{0,2}", text):
        raise argparse.ArgumentTypeError(f"not a count of rebuilders: '{text}'")
    return int(text)


def add_options(parser, required):
    parser.add_argument("--rebuilders", type=trusted, required=required, metavar="FILE",
                        help="whom you trust: one line a rebuilder, NAMES ssh-ed25519 KEY, as "
                        "OpenSSH's allowed signers; your own list, never one from the release")
    parser.add_argument("--min-rebuilders", type=_minimum, default=1, metavar="K", help="how many "
                        "of them must have found the release's files, none finding others (1)")
    parser.add_argument("--statements", type=pathlib.Path, metavar="FOLDER", help="where their "
                        f"statements (*{ENDING}) are, if not in the release's folder")


def _release(folder):
    """The fields of the .buildinfo in FOLDER, and {name: SHA-256} of the files named after it."""
    records = sorted(path for path in folder.iterdir() if path.name.endswith(".buildinfo"))
    if len(records) != 1:
        raise ValueError(f"'{folder}' must hold the .buildinfo of one release")
    # Its commit and version need no more care: the statements give its digest too.
    fields = re.findall(r"^([A-Za-z0-9-]+): *(.*)$", bounded(records[0]).decode(), re.MULTILINE)
    stem = records[0].name.removesuffix("buildinfo")
    return dict(fields), {path.name: hashlib.sha256(bounded(path, RELEASE_FILE_LIMIT)).hexdigest()
                          for path in sorted(folder.iterdir()) if path.name.startswith(stem)
                          and not path.name.endswith(ENDING) and not path.is_dir()}


def main():
    parser = argparse.ArgumentParser(prog="rebuilders.py", description=__doc__)
    add_options(parser, required=True)
    parser.add_argument("dir", type=pathlib.Path, metavar="DIR", help="the release's files as "
                        "downloaded, and nothing else named as they are")
    options = parser.parse_args()
    sys.stdout.reconfigure(errors="backslashreplace")  # for a console that is not UTF-8
    try:
        lines, findings = report(options, *_release(options.dir))
    except (OSError, ValueError) as why:
        lines, findings = [], [f"the check could not go on: {why}"]
    verdict = (f"is not shown to come from {VERDICT[0]}: {'; '.join(findings)}" if findings
               else f"came from {VERDICT[0]}: {VERDICT[1]}")
    for line in lines + [f"the release {verdict}"]:  # each character that is not printable escaped
        print("".join(c if c.isprintable() else ascii(c)[1:-1] for c in f"rebuilders: {line}"))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
