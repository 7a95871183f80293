"""Reading a downloaded release, which nobody trusts yet: each file is measured before it is read,
and the zip's listing is judged before only the release's own files are unpacked, as regular files
of this code's making. The reasons: docs/release.md."""
import collections
import errno
import hashlib
import os
import pathlib
import re
import shutil
import stat
import struct
import zlib
import zipfile

from debian import deb822

from . import layout

# What zipfile raises for a zip that is not one, or damaged.
DAMAGED = (zipfile.BadZipFile, ValueError, EOFError, NotImplementedError,
           RuntimeError, zlib.error, struct.error)


class Unreadable(Exception):
    """A downloaded file that cannot be read: why, in a few words."""


def read(path, ending):
    """The file's bytes, or None where it is larger than any release's: no more is read, and only
    a regular file, never through a link."""
    try:
        handle = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_NOFOLLOW)
    except OSError as why:
        # A link would show a file of the user's own, in the report of how it differs.
        raise Unreadable("it is a link, which is not followed" if why.errno == errno.ELOOP
                         else why.strerror) from None
    try:
        if not stat.S_ISREG(os.fstat(handle).st_mode):
            raise Unreadable("it is not a regular file")
        with open(handle, "rb", closefd=False) as file:
            data = file.read(layout.LIMITS[ending] + 1)
    except OSError as why:
        raise Unreadable(why.strerror) from None
    finally:
        os.close(handle)
    return data if len(data) <= layout.LIMITS[ending] else None


def sum_of(path):
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


def listed_sums(text):
    """Each (name, sum) of a .sha256, as sha256sum -c reads it: after any blanks, a backslash
    where the name's backslashes and line feeds are escaped; then a sum, a blank, and a blank or
    the binary marker * before the name; or SHA256 (NAME) = SUM. Other lines are passed over."""
    found = []
    for line in text.split("\n"):
        line = line.removesuffix("\r").lstrip(" \t")
        escaped, line = line.startswith("\\"), line.removeprefix("\\")
        plain = re.fullmatch(r"([0-9a-fA-F]{64}) [ *](.+)", line)
        tagged = re.fullmatch(r"SHA256 \((.+)\) = ([0-9a-fA-F]{64})", line)
        name, digest = (plain[2], plain[1]) if plain else tagged.groups() if tagged else ("", "")
        if name and escaped:
            name = re.sub(r"\\(.)", lambda m: "\n" if m[1] == "n" else m[1], name)
        if name:
            found.append((name, digest.lower()))
    return found


def buildinfo(data):
    """The record's fields, or None where it is not text."""
    try:
        return deb822.BuildInfo(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        return None


# An entry of Installed-Build-Depends, as tools/release/dpkg.py --versions writes it.
DEPENDS = re.compile(
    r"([a-z0-9][a-z0-9+.-]{0,99})(?::[a-z0-9-]{1,20})? \(= ([A-Za-z0-9.+~:-]{1,100})\)")


def depends(record):
    """{package: version} of the record's Installed-Build-Depends, or None where an entry is of
    another form."""
    found = {}
    for entry in record.get("Installed-Build-Depends", "").split(","):
        entry = entry.strip()
        match = DEPENDS.fullmatch(entry)
        if entry and not match:
            return None
        if match:
            found[match[1]] = match[2]
    return found


def kind(entry):
    """What an entry is: a file, a folder, a link, or another kind."""
    mode = entry.external_attr >> 16
    if entry.create_system == 3 and stat.S_IFMT(mode):
        if stat.S_ISLNK(mode):
            return "link"
        if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
            return "other"
    return "folder" if entry.is_dir() else "file"


def outside(name):
    return (name.startswith("/") or "\\" in name or ".." in name.split("/")
            or re.match(r"[A-Za-z]:", name) is not None)


def few(names, shown=5):
    """A few of NAMES, and how many more there are."""
    more = len(names) - shown
    return " ".join(names[:shown]) + (f" and {more} more" if more > 0 else "")


def _ruled_out(entries):
    """Why each entry that rules the zip out does: {why: names}."""
    found = collections.defaultdict(list)
    for name, count in collections.Counter(e.filename for e in entries).items():
        if count > 1:
            found["holds more than one entry named"].append(name)
    for entry in entries:
        what, name = kind(entry), entry.filename
        if outside(name):
            found["holds paths outside its folder:"].append(name)
        elif what == "link":
            found["holds links, which a release does not:"].append(name)
        elif what == "other":
            found["holds what is not a regular file:"].append(name)
        if entry.compress_type != zipfile.ZIP_DEFLATED and what == "file":
            found["holds files compressed otherwise than by deflate, as a release's are not:"
                  ].append(name)
    if sum(e.file_size for e in entries) > layout.UNPACKED_LIMIT:
        found["unpacks to more than any release does"] = []
    return found


def judge(zip_path, members):
    """What the zip holds against what a release holds: findings that rule the zip out, each with
    a few of the names that it is of (empty for none), the release's files it lacks, and the names
    it holds beside them. Raises one of DAMAGED."""
    with zipfile.ZipFile(zip_path) as archive:
        entries = archive.infolist()
    folder = members[0].split("/")[0] + "/"
    ruled_out = [f"{why} {few(names)}".strip()
                 for why, names in _ruled_out(entries).items()]
    extra = [e.filename for e in entries
             if kind(e) == "file" and e.filename not in members
             or kind(e) == "folder" and not folder.startswith(e.filename)]
    present = {e.filename for e in entries if kind(e) == "file"}
    return ruled_out, [m for m in members if m not in present], extra


def unpack(zip_path, members, into):
    """Writes each of the members that the zip holds under INTO, checking its CRC as it goes.
    Raises one of DAMAGED."""
    with zipfile.ZipFile(zip_path) as archive:
        held = archive.namelist()
        for member in [member for member in members if member in held]:
            target = pathlib.Path(into, *member.split("/"))
            target.parent.mkdir(parents=True, exist_ok=True)
            with archive.open(member) as source, open(target, "xb") as copy:
                shutil.copyfileobj(source, copy)
