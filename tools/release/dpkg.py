"""Every question that the release tools put to dpkg: which packages are installed, at which
versions, which package ships a file, what a package says of itself, and this machine's
architecture. python3
tools/release/dpkg.py --versions [--signed] prints the packages that shape the bytes of the
Windows release, as its .buildinfo records them."""
import argparse
import fnmatch
import os
import subprocess
import sys

from debian.debian_support import Version

# The packages whose versions shape the bytes of the Windows release: the cross toolchain that
# writes the exe; CMake, its libarchive and zlib, which write the zip, and strip-nondeterminism with
# the Perl zip module that rewrites it; base-files, whose licence texts the notices quote; and
# Python with the libraries that write the notices, the bill of materials and the record. A
# pattern covers a package that Debian renamed: libarchive13 is libarchive13t64 in Debian 13.
RELEASE = (
    "binutils-mingw-w64-x86-64", "g++-mingw-w64-x86-64-win32", "gcc-mingw-w64-x86-64-win32",
    "gcc-mingw-w64-base", "mingw-w64-common", "mingw-w64-x86-64-dev",
    "cmake", "cmake-data", "libarchive13*", "zlib1g",
    "strip-nondeterminism", "libfile-stripnondeterminism-perl", "libarchive-zip-perl",
    "base-files", "python3", "python3-debian", "python3-cryptography", "python3-asn1crypto",
    "python3-license-expression",
    # The standard library of the interpreter that the tools run on.
    f"lib{os.path.basename(os.path.realpath('/usr/bin/python3'))}-stdlib")
# A signed release has its signature attached by osslsigncode.
SIGNED = ("osslsigncode",)
# What a package says of itself that the bill of materials names it by.
DESCRIBED = ("Package", "Version", "Architecture", "source:Package", "source:Version", "Homepage",
             "Maintainer", "binary:Summary")


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
    found = {}
    for line in answer.stdout.splitlines():
        packages, _, path = line.partition(": ")
        found[path] = packages.split(",")[0].split(":")[0]
    return found


def described(packages):
    """{package: its DESCRIBED fields} for those of PACKAGES that are installed."""
    return {row["Package"]: row for row in query(DESCRIBED, packages)}


def architecture():
    """The Debian architecture of this machine, such as amd64."""
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
