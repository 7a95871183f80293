"""Every question that the release tools put to dpkg. With --versions, it prints the packages that
shape the bytes of the Windows release, as its .buildinfo records them."""
import argparse
import fnmatch
import os
import subprocess
import sys

from debian.debian_support import Version

# The packages whose versions shape the release's bytes, as docs/release.md lists them. A pattern
# covers a package that Debian renamed: libarchive13 is libarchive13t64 in Debian 13.
RELEASE = (
    "binutils-mingw-w64-x86-64", "g++-mingw-w64-x86-64-win32", "gcc-mingw-w64-x86-64-win32",
    "gcc-mingw-w64-base", "mingw-w64-common", "mingw-w64-x86-64-dev",
    "cmake", "cmake-data", "libarchive13*", "zlib1g",
    "strip-nondeterminism", "libfile-stripnondeterminism-perl", "libarchive-zip-perl",
    "base-files", "python3", "python3-debian", "python3-cryptography", "python3-asn1crypto",
    "python3-license-expression",
    # The standard library of the interpreter that the tools run on.
    f"lib{os.path.basename(os.path.realpath('/usr/bin/python3'))}-stdlib")
SIGNED = ("osslsigncode",)  # which attaches a signed release's signature


def query(fields, names):
    """FIELDS of each installed package that NAMES match, one dict a package; one removed but not
    purged is not installed."""
    answer = subprocess.run(
        ["dpkg-query", "-W", "-f", "\t".join(f"${{{f}}}" for f in ("db:Status-Status", *fields))
         + "\n", "--", *names], capture_output=True, text=True)
    rows = [line.split("\t") for line in answer.stdout.splitlines()]
    return [dict(zip(fields, row[1:])) for row in rows if row[0] == "installed"]


def installed(packages):
    """{package: its installed versions, sorted} for those of PACKAGES that are installed."""
    found = {}
    for row in query(("Package", "Version"), packages):
        found.setdefault(row["Package"], set()).add(row["Version"])
    return {package: sorted(versions) for package, versions in found.items()}


def at_least(package, version):
    """Whether PACKAGE is installed at VERSION or later, as Debian orders versions."""
    return any(Version(v) >= Version(version) for v in installed([package]).get(package, []))


def owners(paths):
    """{path: package} for each of PATHS that an installed package ships."""
    answer = subprocess.run(["dpkg-query", "-S", "--", *paths], capture_output=True, text=True)
    found = [line.partition(": ") for line in answer.stdout.splitlines()]
    return {path: packages.split(",")[0].split(":")[0] for packages, _, path in found}


def architecture():
    return subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                          check=True).stdout.strip()


def release_versions(signed):
    """Each package that shapes the release's bytes, as "PACKAGE (= VERSION)", sorted; ValueError
    naming one that is not installed."""
    patterns = RELEASE + (SIGNED if signed else ())
    rows = query(("Package", "Version"), patterns)
    for pattern in patterns:
        if not any(fnmatch.fnmatchcase(row["Package"], pattern) for row in rows):
            raise ValueError(f"{pattern} is not installed")
    return sorted({f"{row['Package']} (= {row['Version']})" for row in rows})


if __name__ == "__main__":
    parser = argparse.ArgumentParser(prog="tools/release/dpkg.py", description=__doc__)
    parser.add_argument("--versions", action="store_true", required=True)
    parser.add_argument("--signed", action="store_true", help="and those of a signed release")
    try:
        print("\n".join(release_versions(parser.parse_args().signed)))
    except ValueError as why:
        sys.exit(f"dpkg.py: {why}")
