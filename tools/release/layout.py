"""What a Windows release is: its name, its files, what its zip holds, and how large each may
be. Every tool, the build and the tests take these from here: python3 tools/release/layout.py
PROGRAM VERSION prints the name, and with a FOLDER after them, the paths of a signed release's
files in it."""
import pathlib
import re
import sys

# Each file's ending after the release's name; the signature only where the release is signed.
ENDINGS = ("zip", "zip.sha256", "buildinfo", "cdx.json", "signature")
UNSIGNED = ENDINGS[:-1]
# Far larger than a real release's files, whose zip unpacks to about 1 MB and whose other files are
# of a few kB: a file past its limit is not read, and a zip that would unpack to more is not
# unpacked, as no release is so large.
LIMITS = {"zip": 8 << 20, "zip.sha256": 1 << 10, "buildinfo": 64 << 10,
          "cdx.json": 1 << 20, "signature": 64 << 10}
UNPACKED_LIMIT = 8 << 20
# A program's name or version, as a file name may hold it.
WORD = re.compile(r"[A-Za-z0-9][A-Za-z0-9.+~_-]*")


def name(program, version):
    return f"{program}-{version}-win64"


def members(program, version):
    """The zip's files, in a folder of the release's name: the exe beside its README and the
    notices that must travel with it."""
    folder = name(program, version)
    return [f"{folder}/README.md", f"{folder}/THIRD-PARTY-NOTICES.txt",
            f"{folder}/{program}.exe"]


def files(folder, release, signed):
    return [pathlib.Path(folder, f"{release}.{ending}")
            for ending in (ENDINGS if signed else UNSIGNED)]


def build(folder="build/windows"):
    """What CMake's cache of a Windows build holds, by variable."""
    cache = pathlib.Path(folder, "CMakeCache.txt")
    found = {}
    for line in cache.read_text(encoding="utf-8").splitlines():
        match = re.match(r"([A-Za-z_0-9]+):[A-Z]+=(.*)", line)
        if match:
            found[match[1]] = match[2]
    return found


if __name__ == "__main__":
    release = name(*sys.argv[1:3])
    for line in [release] if len(sys.argv) < 4 else files(sys.argv[3], release, True):
        print(line)
