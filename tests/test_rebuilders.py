"""tools/release/rebuilders.py, run by itself as a user on Windows runs it, against statements
that honest and hostile rebuilders made at test time, for an unsigned release made then too: one
row a case, with its exit status, a line that it must print, and text that it must not. The rows
of the rules that a statement must meet run through tools/verify-release.py --rebuilders too."""
import base64
import json
import os
import pathlib
import subprocess
import sys
import zipfile

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519

HERE = pathlib.Path(__file__).resolve().parent
TOOL = HERE.parent / "tools/release/rebuilders.py"
sys.path.insert(0, str(HERE.parent / "tools"))
from release import rebuilders  # noqa: E402

NAME = "veltrin-backend-0.2.4-win64"
COMMIT, OTHER = "a" * 40, "0" * 40
KEYS = {who: ed25519.Ed25519PrivateKey.generate() for who in ("alice", "bob", "carol", "mallory")}
RECORD = {"Source": "veltrin-backend", "Version": "0.2.4", "Source-Commit": COMMIT,
          "Build-Release": "Debian GNU/Linux 12.8 (bookworm)", "Build-Architecture": "amd64",
          "Source-Date-Epoch": "1765000000"}


def fingerprint(who):
    return rebuilders.fingerprint(KEYS[who].public_key())


def line_of(names, who):
    key = KEYS[who].public_key().public_bytes(serialization.Encoding.OpenSSH,
                                              serialization.PublicFormat.OpenSSH).decode()
    return f"{names} {key} a comment\n"


def make_zip(folder, readme="README"):
    """The zip, as a release's holds its files, and its .sha256."""
    with zipfile.ZipFile(folder / f"{NAME}.zip", "w", zipfile.ZIP_DEFLATED) as archive:
        for member, text in (("README.md", readme), ("THIRD-PARTY-NOTICES.txt", "notices"),
                             ("veltrin-backend.exe", "MZ")):
            archive.writestr(f"{NAME}/{member}", text)
    digest = rebuilders.hashlib.sha256((folder / f"{NAME}.zip").read_bytes()).hexdigest()
    (folder / f"{NAME}.zip.sha256").write_text(f"{digest}  {NAME}.zip\n")


def make_release(folder):
    """An unsigned release's files, and {name: SHA-256} of them."""
    make_zip(folder)
    (folder / f"{NAME}.buildinfo").write_text("".join(f"{k}: {v}\n" for k, v in RECORD.items()))
    (folder / f"{NAME}.cdx.json").write_text("{}\n")
    return {path.name: rebuilders.hashlib.sha256(path.read_bytes()).hexdigest()
            for path in sorted(folder.iterdir())}


def said(files, who="alice", **changes):
    """WHO's statement of FILES, with CHANGES: {field path joined with /: value}."""
    statement = rebuilders.statement(RECORD, files, {"g++": "4:12.2.0-3"}, who)
    for path, value in changes.items():
        *inner, last = path.split("/")
        place = statement
        for key in inner:
            place = place[int(key)] if key.isdigit() else place[key]
        place[last] = value
    return statement


def signed(statement, *signers, payload_type=rebuilders.PAYLOAD_TYPE, keyid=None):
    payload = json.dumps(statement).encode()
    pae = b"DSSEv1 %d %b %d %b" % (len(payload_type), payload_type.encode(), len(payload), payload)
    return json.dumps({"payloadType": payload_type, "payload": base64.b64encode(payload).decode(),
                       "signatures": [{"keyid": keyid or fingerprint(who), "sig": base64.b64encode(
                           KEYS[who].sign(pae)).decode()} for who in signers]})


def both(folder, files):
    for who in ("alice", "bob"):
        (folder / f"{NAME}.{who}.intoto.json").write_text(signed(said(files, who), who))


def put(folder, text, name="forged"):
    path = folder / f"{NAME}.{name}.intoto.json"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())


def without(field, parameter):
    """A release whose .buildinfo lacks FIELD, and statements whose PARAMETER is none either."""
    def make(folder, files):
        record = "".join(f"{k}: {v}\n" for k, v in RECORD.items() if k != field)
        (folder / f"{NAME}.buildinfo").write_text(record)
        files = {path.name: rebuilders.hashlib.sha256(path.read_bytes()).hexdigest()
                 for path in sorted(folder.iterdir())}
        for who, value in (("alice", None), ("bob", "")):
            put(folder, signed(said(files, who, **{
                f"predicate/buildDefinition/externalParameters/{parameter}": value}), who), who)
    return make


def hiding_one_who_disagrees(folder, files):
    both(folder, files)
    put(folder, signed(said(files, "carol", **{"subject/2/digest/sha256": "b" * 64}), "carol"),
        "carol")
    for number in range(62):
        put(folder, "", f"bz{number:03}")


def one_good_and(folder, files, text):
    (folder / f"{NAME}.bob.intoto.json").write_text(signed(said(files, "bob"), "bob"))
    put(folder, text)


LISTED = line_of("alice", "alice") + line_of("bob", "bob")
AGREE = f"rebuilders: agrees: alice ({fingerprint('alice')})"
ONE = "1 of the rebuilders whom you trust agree, and --min-rebuilders asks for 2"
NOTHING = f"rebuilders: counted for nothing: {NAME}.forged.intoto.json: "
CAME = "rebuilders: the release came from its commit: every file is the one that the rebuilders"
ROWS = [
    ("two agree", both, LISTED, 2, 0, AGREE, "counted"),
    ("too few", both, LISTED, 3, 1, "rebuilders: the release is not shown to come from its "
     "commit: 2 of the rebuilders whom you trust agree, and --min-rebuilders asks for 3", "-"),
    ("a changed zip", lambda f, s: both(f, s) or make_zip(f, "forged"), LISTED, 1, 1,
     f"rebuilders: the release is not shown to come from its commit: alice "
     f"({fingerprint('alice')}) rebuilt other bytes: {NAME}.zip, {NAME}.zip.sha256; bob", CAME),
    ("another digest", lambda f, s: (f / f"{NAME}.bob.intoto.json").write_text(signed(said(
        s, "bob", **{"subject/2/digest/sha256": "b" * 64}), "bob")), LISTED, 1, 1,
     f"rebuilders: the release is not shown to come from its commit: bob ({fingerprint('bob')}) "
     f"rebuilt other bytes: {NAME}.zip", CAME),
    ("another commit", lambda f, s: one_good_and(f, s, signed(said(s, **{
        "predicate/buildDefinition/externalParameters/commit": OTHER}), "alice")), LISTED, 2, 1,
     NOTHING + f"its commit is {OTHER}, not {COMMIT}", "agrees: alice"),
    ("another release's, moved", lambda f, s: one_good_and(f, s, signed(said(s, **{
        "predicate/buildDefinition/externalParameters/version": "0.2.3"}), "alice")), LISTED, 2,
     1, NOTHING + "its version is 0.2.3, not 0.2.4", "agrees: alice"),
    ("one key listed twice", lambda f, s: put(f, signed(said(s), "alice")) or put(
        f, signed(said(s, "carol"), "alice"), "carol"), line_of("alice", "alice")
     + line_of("carol", "alice"), 2, 1, f"rebuilders: agrees: alice, carol "
     f"({fingerprint('alice')})", "agrees: carol"),
    ("two signatures by one key", lambda f, s: put(f, signed(said(s), "alice", "alice")), LISTED,
     2, 1, AGREE, "agrees: bob"),
    ("an unlisted key", lambda f, s: one_good_and(f, s, signed(said(s, "mallory"), "mallory")),
     LISTED, 2, 1, NOTHING + "no key of the list signed it", "agrees: mallory"),
    ("a keyid naming another", lambda f, s: one_good_and(f, s, signed(
        said(s, "alice"), "mallory", keyid=fingerprint("alice"))), LISTED, 2, 1,
     NOTHING + "no key of the list signed it", "agrees: alice"),
    ("another payloadType", lambda f, s: one_good_and(f, s, signed(
        said(s), "alice", payload_type="application/json")), LISTED, 2, 1,
     NOTHING + "its payloadType is not application/vnd.in-toto+json", "agrees: alice"),
    ("another _type", lambda f, s: one_good_and(f, s, signed(said(s, **{
        "_type": "https://in-toto.io/Statement/v0.1"}), "alice")), LISTED, 2, 1,
     NOTHING + "its _type is https://in-toto.io/Statement/v0.1, not "
     "https://in-toto.io/Statement/v1", "agrees: alice"),
    ("another predicateType", lambda f, s: one_good_and(f, s, signed(said(s, **{
        "predicateType": "https://slsa.dev/provenance/v0.2"}), "alice")), LISTED, 2, 1,
     NOTHING + "its predicateType is https://slsa.dev/provenance/v0.2, not "
     "https://slsa.dev/provenance/v1", "agrees: alice"),
    ("another buildType", lambda f, s: one_good_and(f, s, signed(said(s, **{
        "predicate/buildDefinition/buildType": rebuilders.BUILD_TYPE + "/"}), "alice")), LISTED,
     2, 1, NOTHING + f"its buildType is {rebuilders.BUILD_TYPE}/, not {rebuilders.BUILD_TYPE}",
     "agrees: alice"),
    ("other files", lambda f, s: one_good_and(f, s, signed(said(dict(list(s.items())[:-1])),
                                                           "alice")), LISTED, 2, 1,
     NOTHING + "it names other files than the release's", "agrees: alice"),
    ("base64 with a line feed", lambda f, s: one_good_and(f, s, signed(said(s), "alice").replace(
        '"payload": "eyJ', '"payload": "ey\\nJ')), LISTED, 2, 1, NOTHING, "agrees: alice"),
    ("base64 without padding", lambda f, s: one_good_and(f, s, signed(
        said(s), "alice").replace('=", "signatures"', '", "signatures"')), LISTED, 2, 1,
     NOTHING, "agrees: alice"),
    ("a key given twice", lambda f, s: one_good_and(f, s, signed(said(s), "alice").replace(
        "{", '{"payloadType": "x", ', 1)), LISTED, 2, 1, NOTHING + "JSON that gives a key twice",
     "agrees: alice"),
    ("nested far too deeply", lambda f, s: one_good_and(f, s, "[" * 500000 + "]" * 500000),
     LISTED, 1, 0, NOTHING + "JSON nested far more deeply than a statement", "-"),
    ("too large", lambda f, s: one_good_and(f, s, " " * (2 << 20)), LISTED, 1, 0,
     NOTHING + "it is far larger than a release's file or statement", "-"),
    ("unreadable, beside two that agree", lambda f, s: both(f, s) or put(f, os.urandom(300)),
     LISTED, 2, 0, CAME, "-"),
    ("a pipe", lambda f, s: both(f, s) or os.mkfifo(f / f"{NAME}.forged.intoto.json"), LISTED, 2,
     0, NOTHING + "it is not a regular file", "-"),
    ("too many", lambda f, s: both(f, s) or [put(f, "", f"{n:03}") for n in range(70)], LISTED, 2,
     1, "rebuilders: the release is not shown to come from its commit: 8 statements after the "
     "first 64 were not read", "agrees"),
    ("too many, that would hide one who disagrees", hiding_one_who_disagrees,
     LISTED + line_of("carol", "carol"), 2, 1, "rebuilders: the release is not shown to come "
     "from its commit: 1 statements after the first 64 were not read", CAME),
    ("names the release", both, LISTED, 2, 0, f"rebuilders: release 0.2.4, commit {COMMIT}", "-"),
    ("a list as Notepad writes it", both, "\ufeff" + LISTED.replace("\n", "\r\n"), 2, 0, CAME,
     "-"),
    ("a release that names no commit", without("Source-Commit", "commit"), LISTED, 1, 1,
     f"rebuilders: counted for nothing: {NAME}.alice.intoto.json: its commit is None, not one "
     "that the release names", "agrees"),
    ("a release that names no version", without("Version", "version"), LISTED, 1, 1,
     f"rebuilders: counted for nothing: {NAME}.bob.intoto.json: its version is , not one that "
     "the release names", "agrees"),
    ("control characters", lambda f, s: one_good_and(f, s, signed(said(s, **{
        "predicate/buildDefinition/externalParameters/commit": "\x1b[2J\r"}), "alice")),
     LISTED, 1, 0,
     NOTHING + "its commit is \\x1b[2J\\r, not", "\x1b"),
]


# Each row runs through verify-release as through the tool alone, but where verify-release finds
# a fault of its own first: a .buildinfo without a version does not name its release.
ALONE = {"a release that names no version"}
COMMANDS = {"rebuilders": [sys.executable, "-I", "-B", TOOL],
            "verify-release": [HERE.parent / "tools/verify-release.py"]}
RUNS = [(tool, *row) for row in ROWS for tool in COMMANDS
        if tool == "rebuilders" or row[0] not in ALONE]


@pytest.mark.parametrize("tool, case, make, listed, minimum, status, line, never", RUNS,
                         ids=[f"{run[0]}: {run[1]}" for run in RUNS])
def test_rebuilders(tmp_path, tool, case, make, listed, minimum, status, line, never):
    release = tmp_path / "release"
    release.mkdir()
    make(release, make_release(release))
    (tmp_path / "trusted").write_text(listed)
    answer = subprocess.run(
        [*COMMANDS[tool], "--rebuilders", tmp_path / "trusted", "--min-rebuilders", str(minimum),
         release], capture_output=True, text=True, timeout=60)
    line, never = (text.replace("rebuilders: ", f"{tool}: ") for text in (line, never))
    assert (answer.returncode, answer.stderr) == (status, "")
    assert any(printed.startswith(line) for printed in answer.stdout.splitlines()), answer.stdout
    assert never == "-" or never not in answer.stdout
    assert not any(c in answer.stdout for c in "\x1b\r")


def test_needs_only_cryptography(tmp_path):
    """Run where Python finds its standard library and the cryptography package, and nothing
    else, as on Windows once cryptography is installed."""
    import _cffi_backend
    import cryptography
    only = tmp_path / "only"
    only.mkdir()
    for module in (pathlib.Path(cryptography.__file__).parent, _cffi_backend.__file__):
        (only / pathlib.Path(module).name).symlink_to(module)
    release = tmp_path / "release"
    release.mkdir()
    both(release, make_release(release))
    (tmp_path / "trusted").write_text(LISTED)
    run = (f"import runpy, sys; sys.path.append({str(only)!r}); sys.argv[0] = {str(TOOL)!r}; "
           f"runpy.run_path(sys.argv[0], run_name='__main__')")
    answer = subprocess.run([sys.executable, "-I", "-S", "-B", "-c", run, "--rebuilders",
                             tmp_path / "trusted", "--min-rebuilders", "2", release],
                            capture_output=True, text=True, timeout=60)
    assert (answer.returncode, answer.stderr) == (0, "")
    assert answer.stdout.splitlines()[-1].startswith(CAME)


def test_console_not_utf8(tmp_path):
    """As on Windows, where the console or a file that the output is sent to is not UTF-8."""
    both(tmp_path, make_release(tmp_path))
    put(tmp_path, "", "\u65e5\u672c")
    listed = tmp_path.parent / "trusted"
    listed.write_text(LISTED)
    answer = subprocess.run([sys.executable, "-B", TOOL, "--rebuilders", listed, "--min-rebuilders",
                             "2", tmp_path], capture_output=True, timeout=60,
                            env=dict(os.environ, PYTHONIOENCODING="cp1252"))
    assert (answer.returncode, answer.stderr) == (0, b"")
    assert f"{NAME}.\\u65e5\\u672c.intoto.json".encode() in answer.stdout


def test_same_bytes_each_time(tmp_path):
    files = make_release(tmp_path)
    envelopes = [rebuilders.envelope(said(files), KEYS["alice"]) for _ in range(2)]
    assert envelopes[0] == envelopes[1]
    assert json.loads(base64.b64decode(json.loads(envelopes[0])["payload"]))["subject"][0] == {
        "name": f"{NAME}.buildinfo", "digest": {"sha256": files[f"{NAME}.buildinfo"]}}


def key_file(folder, name, key, password=None):
    encryption = (serialization.BestAvailableEncryption(password) if password
                  else serialization.NoEncryption())
    form = (serialization.PrivateFormat.OpenSSH if name.endswith(".ssh")
            else serialization.PrivateFormat.PKCS8)
    (folder / name).write_bytes(key.private_bytes(serialization.Encoding.PEM, form, encryption))


def rsa_key():
    from cryptography.hazmat.primitives.asymmetric import rsa
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


NO_KEY = "holds no Ed25519 key, in PEM or OpenSSH's form, that opens with the passphrase given"
ATTEST = ["--attest", "@/key.pem", "--rebuilder", "alice"]
REFUSALS = [
    ("a wrong passphrase", ATTEST, b"wrong\n", 2, "'@/key.pem' " + NO_KEY),
    ("no passphrase", ATTEST, b"", 2, "no passphrase for '@/key.pem' on standard input"),
    ("the passphrase, in no release", ATTEST, b"right\n", 1, ""),
    ("an OpenSSH key, in no release", ["--attest", "@/key.ssh", "--rebuilder", "alice"], b"", 1,
     ""),
    ("an RSA key", ["--attest", "@/rsa.pem", "--rebuilder", "alice"], b"", 2,
     "'@/rsa.pem' " + NO_KEY),
    ("not a key", ["--attest", "@/trusted", "--rebuilder", "alice"], b"", 2,
     "'@/trusted' " + NO_KEY),
    ("no name", ["--attest", "@/key.pem"], b"", 2, "--attest KEY goes with --rebuilder NAME"),
    ("a name that is a path", ["--attest", "@/key.pem", "--rebuilder", "../alice"], b"", 2,
     "not a rebuilder's name, of letters, digits, ., _ and -: '../alice'"),
    ("with --rebuilders", ATTEST + ["--rebuilders", "@/trusted"], b"right\n", 2,
     "not with --rebuilders, which stands in for one"),
    ("no rebuilders", ["--rebuilders", "@/trusted", "--min-rebuilders", "0"], b"", 2,
     "not a count of rebuilders: '0'"),
    ("a list that is not text", ["--rebuilders", "@/key.pem.bin"], b"", 2,
     "'@/key.pem.bin' is not a list of lines NAMES ssh-ed25519 KEY: unread"),
    ("a line that hides another", ["--rebuilders", "@/hiding"], b"", 2,
     "'@/hiding' is not a list of lines NAMES ssh-ed25519 KEY: line 2"),
    ("a name that moves the cursor", ["--rebuilders", "@/escape"], b"", 2,
     "'@/escape' is not a list of lines NAMES ssh-ed25519 KEY: line 1"),
    ("a comment that hides a line", ["--rebuilders", "@/erasing"], b"", 2,
     "'@/erasing' is not a list of lines NAMES ssh-ed25519 KEY: line 3"),
    ("a name that looks commented out", ["--rebuilders", "@/wide"], b"", 2,
     "'@/wide' is not a list of lines NAMES ssh-ed25519 KEY: line 1"),
    ("a list of nobody", ["--rebuilders", "@/nobody"], b"", 2, "'@/nobody' lists no rebuilder"),
    ("a line that is not a key", ["--rebuilders", "@/other"], b"", 2,
     "'@/other' is not a list of lines NAMES ssh-ed25519 KEY: line 3"),
]


@pytest.fixture(scope="module")
def material(tmp_path_factory):
    """The keys and lists of the refusals, made once."""
    folder = tmp_path_factory.mktemp("material")
    key_file(folder, "key.pem", KEYS["alice"], b"right")
    key_file(folder, "key.ssh", KEYS["alice"])
    key_file(folder, "rsa.pem", rsa_key())
    (folder / "key.pem.bin").write_bytes(b"\xff" + (folder / "key.pem").read_bytes())
    (folder / "trusted").write_text(LISTED)
    (folder / "other").write_text(LISTED + "carol ssh-rsa AAAAB3NzaC1yc2E=\n")
    # A line break that an editor shows, and a list that reads it as a line feed would trust.
    (folder / "hiding").write_text(line_of("alice", "alice") + line_of(
        "mallory", "mallory").replace(" a comment\n", " a comment\u2028")
        + line_of("bob", "carol"))
    (folder / "nobody").write_text("# nobody yet\n")
    (folder / "escape").write_text(line_of("al\x1b[2Kice", "alice"))
    # On a terminal, the comment's escapes erase the line before it.
    (folder / "erasing").write_text(line_of("alice", "alice") + line_of("alice", "mallory")
                                    + "# rebuilders I trust\x1b[1A\x1b[2K\x1b[1A\n")
    (folder / "wide").write_text(line_of("\uff03mallory", "mallory"))
    (folder / "empty").mkdir()
    return folder


@pytest.mark.parametrize("case, options, given, status, error", REFUSALS,
                         ids=[row[0] for row in REFUSALS])
def test_refused(material, case, options, given, status, error):
    """verify-release's options for rebuilders, refused before anything is checked."""
    answer = subprocess.run(
        [HERE.parent / "tools/verify-release.py",
         *[option.replace("@", str(material)) for option in options], material / "empty"],
        input=given, capture_output=True, timeout=60)
    assert answer.returncode == status
    assert error.replace("@", str(material)) in answer.stderr.decode()
    assert status == 2 or answer.stdout.decode().endswith(
        "must hold the .buildinfo of one release\n")
    assert not list(material.glob("**/*.intoto.json"))
    assert b"\x1b" not in answer.stderr
