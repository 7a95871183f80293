"""What the build took from the toolchain: each archive member and object that the link map names,
and each header that the compiler's dependency files name, with the Debian package that ships it.
The one list from which the notices and the bill of materials are both written."""
import os
import re
import subprocess


def from_map(text):
    """(file, member) for what the link took; member None for an object loaded whole."""
    taken, archives = set(), False
    for line in text.splitlines():
        if line.startswith("Archive member included"):
            archives = True
        elif line.startswith(("Discarded input sections", "Memory Configuration")):
            archives = False
        elif archives and line.startswith("/"):
            file, member = re.match(r"(.*)\((.*)\)$", line.split()[0]).groups()
            taken.add((os.path.normpath(file), member))
        elif line.startswith("LOAD /") and not line.endswith(".a"):
            taken.add((os.path.normpath(line.split(None, 1)[1]), None))
    return taken


def from_depfile(text):
    """The files that a compiler's dependency file names, read as make reads it: a line goes on
    after a backslash, and in a path a blank or a '#' comes as '\\ ' or '\\#', a '$' as '$$'."""
    rule = text.replace("\\\n", " ").split("\n", 1)[0]
    words = re.findall(r"(?:\\[ #]|\$\$|[^\s])+", rule)
    # The first word is the target, and its colon ends it or stands alone after it.
    paths = [re.sub(r"\\([ #])|\$(\$)", lambda m: m[1] or m[2], word) for word in words]
    paths[0] = paths[0].removesuffix(":")
    return {(os.path.normpath(path), None) for path in paths[1:] if path != ":"}


def owners(paths):
    """{path: package} from dpkg, for each of PATHS that a package ships."""
    answer = subprocess.run(["dpkg-query", "-S", *paths], capture_output=True, text=True)
    found = {}
    for line in answer.stdout.splitlines():
        packages, _, path = line.partition(": ")
        found[path] = packages.split(",")[0].split(":")[0]
    return found


def packages(names):
    """{name: fields} of installed packages, as dpkg gives them."""
    fields = ("Package", "Version", "Architecture", "source:Package",
              "source:Version", "Homepage", "Maintainer", "binary:Summary")
    answer = subprocess.run(
        ["dpkg-query", "-W", "-f", "\t".join(f"${{{f}}}" for f in fields) + "\n", *names],
        capture_output=True, text=True, check=True)
    found = {}
    for line in answer.stdout.splitlines():
        values = dict(zip(fields, line.split("\t")))
        found[values["Package"]] = values
    return found


def taken(link_map, depfiles, own):
    """{package: its fields, its copyright file and the files taken} for the files that the link
    map and dependency files name outside OWN, the folders of the program's own sources and
    build."""
    with open(link_map, encoding="utf-8") as text:
        files = from_map(text.read())
    for depfile in depfiles:
        with open(depfile, encoding="utf-8") as text:
            files |= from_depfile(text.read())
    files = {(f, m) for f, m in files
             if not any(f == o or f.startswith(o + os.sep) for o in own)}
    shipping = owners(sorted({f for f, _ in files}))
    unowned = sorted(f for f, _ in files if f not in shipping)
    if unowned:
        raise ValueError(f"no Debian package ships {unowned[0]}, so its licence is unknown")
    found = packages(sorted(set(shipping.values())))
    for package, fields in found.items():
        fields["copyright"] = os.path.realpath(f"/usr/share/doc/{package}/copyright")
        fields["files"] = sorted([f, m or ""] for f, m in files if shipping[f] == package)
    return found
