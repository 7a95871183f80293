"""The components of the toolchain that the build used, with the Debian package that ships each:
the one list from which the notices and the bill of materials are both written."""
import os
import pathlib
import re

from . import dpkg

# What a package says of itself that the bill of materials names it by.
DESCRIBED = ("Package", "Version", "Architecture", "source:Package", "source:Version", "Homepage",
             "Maintainer", "binary:Summary")


def from_map(text):
    """(file, member) for what the link used; member None for an object loaded whole."""
    used, archives = set(), False
    for line in text.splitlines():
        if line.startswith("Archive member included"):
            archives = True
        elif line.startswith(("Discarded input sections", "Memory Configuration")):
            archives = False
        elif archives and line.startswith("/"):
            file, member = re.match(r"(.*)\((.*)\)$", line.split()[0]).groups()
            used.add((os.path.normpath(file), member))
        elif line.startswith("LOAD /") and not line.endswith(".a"):
            used.add((os.path.normpath(line.split(None, 1)[1]), None))
    return used


def from_depfile(text):
    """The files that a compiler's dependency file names, read as make reads it: a line goes on
    after a backslash, and in a path a blank or a '#' comes as '\\ ' or '\\#', a '$' as '$$'."""
    rule = text.replace("\\\n", " ").split("\n", 1)[0]
    words = re.findall(r"(?:\\[ #]|\$\$|[^\s])+", rule)
    # The first word is the target, and its colon ends it or stands alone after it.
    paths = [re.sub(r"\\([ #])|\$(\$)", lambda m: m[1] or m[2], word) for word in words]
    paths[0] = paths[0].removesuffix(":")
    return {(os.path.normpath(path), None) for path in paths[1:] if path != ":"}


def by_package(link_map, depfiles, own):
    """{package: its fields, its copyright file and the files used} for the files that the link
    map and dependency files name outside the folders OWN."""
    files = from_map(pathlib.Path(link_map).read_text(encoding="utf-8"))
    for depfile in depfiles:
        files |= from_depfile(pathlib.Path(depfile).read_text(encoding="utf-8"))
    files = {(f, m) for f, m in files
             if not any(f == o or f.startswith(o + os.sep) for o in own)}
    shipping = dpkg.owners(sorted({f for f, _ in files}))
    unowned = sorted(f for f, _ in files if f not in shipping)
    if unowned:
        raise ValueError(f"no Debian package ships {unowned[0]}, so its licence is unknown")
    found = {row["Package"]: row for row in dpkg.query(DESCRIBED, sorted(set(shipping.values())))}
    for package, fields in found.items():
        fields["copyright"] = os.path.realpath(f"/usr/share/doc/{package}/copyright")
        fields["files"] = sorted([f, m or ""] for f, m in files if shipping[f] == package)
    return found
