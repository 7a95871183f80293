"""What a Windows release is: its name, its files, what its zip holds, and how large each may
be. layout.py PROGRAM VERSION [FOLDER] prints the name, or a signed release's files in FOLDER;
--built, those of the last Windows build; --cache VARIABLE, its value in that build's cache."""
import dataclasses
import pathlib
import re
import sys

TOP = pathlib.Path(__file__).resolve().parent.parent.parent
BUILD = TOP / "build/windows"
# Each file's ending after the release's name; the signature only where the release is signed.
ENDINGS = ("zip", "zip.sha256", "buildinfo", "cdx.json", "signature")
UNSIGNED = ENDINGS[:-1]
# Far larger than a real release's files (a zip that unpacks to about 1 MB, others of a few kB):
# a file past its limit is not read, and a zip that would unpack to more is not unpacked.
LIMITS = {"zip": 8 << 20, "zip.sha256": 1 << 10, "buildinfo": 64 << 10,
          "cdx.json": 1 << 20, "signature": 64 << 10}
UNPACKED_LIMIT = 8 << 20
# A program's name or version, as a file name may hold it.
WORD = re.compile(r"[A-Za-z0-9][A-Za-z0-9.+~_-]*")


def name(program, version):
    return f"{program}-{version}-win64"


def members(program, version):
    """The zip's files, in a folder of the release's name."""
    folder = name(program, version)
    return [f"{folder}/README.md", f"{folder}/THIRD-PARTY-NOTICES.txt",
            f"{folder}/{program}.exe"]


def files(folder, release, signed):
    return [pathlib.Path(folder, f"{release}.{ending}")
            for ending in (ENDINGS if signed else UNSIGNED)]


def cache(folder=BUILD):
    """What CMake's cache of a build holds, by variable; empty where there is no build."""
    path = pathlib.Path(folder, "CMakeCache.txt")
    text = path.read_text(encoding="utf-8") if path.is_file() else ""
    return dict(re.findall(r"^([A-Za-z_0-9]+):[A-Z]+=(.*)$", text, re.MULTILINE))


@dataclasses.dataclass
class Build:
    """The release that a Windows build made, as its CMake cache names it."""
    facts: dict
    program: str
    version: str
    folder: pathlib.Path

    @property
    def name(self):
        return name(self.program, self.version)

    def file(self, ending):
        return self.folder / f"{self.name}.{ending}"


def last_build(folder=BUILD):
    """The last Windows build's release, or None where nothing was built there."""
    facts = cache(folder)
    if "CMAKE_PROJECT_VERSION" not in facts:
        return None
    return Build(facts, facts["CMAKE_PROJECT_NAME"], facts["CMAKE_PROJECT_VERSION"],
                 pathlib.Path(folder))


if __name__ == "__main__":
    if sys.argv[1:2] == ["--cache"] and len(sys.argv) == 3:
        print(cache().get(sys.argv[2], ""))
    elif sys.argv[1:] == ["--built"]:
        built = last_build()
        for line in files(built.folder, built.name, True) if built else []:
            print(line)
        sys.exit(0 if built else 1)
    else:
        release = name(*sys.argv[1:3])
        for line in [release] if len(sys.argv) < 4 else files(sys.argv[3], release, True):
            print(line)
