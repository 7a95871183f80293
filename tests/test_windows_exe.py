"""What the Windows exe carries besides its behaviour, one property a row: its headers and
checksum, the DLLs it imports, its version resource, the notices of the libraries linked into it,
and its signature, which it holds exactly when the build attached one.

The build tells the test what to check through the environment, as tests/CMakeLists.txt sets it:
EXE_PATH the exe; EXE_VERSION the project's version; EXE_LINK_MAP the linker's map;
EXE_NOTICES the notices shipped beside the exe; EXE_RELEASE the path of the release's files less
their endings, where the build keeps the signature it attached as EXE_RELEASE.signature."""
import dataclasses
import fnmatch
import functools
import os
import re
import sys

import pefile
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
from release import authenticode  # noqa: E402

NAME = "veltrin-backend"
LONG_DIGESTS = ("sha256", "sha384", "sha512")
# DLLs that every Windows has. A user without libstdc++-6.dll and the like would get a
# "DLL not found" dialog and nothing else.
SYSTEM_DLLS = ["KERNEL32.dll", "msvcrt.dll", "api-ms-win-crt-*.dll"]


@dataclasses.dataclass
class Exe:
    path: str
    data: bytes = dataclasses.field(repr=False)
    pe: pefile.PE = dataclasses.field(repr=False)
    version: str
    link_map: str = dataclasses.field(repr=False)
    notices: str = dataclasses.field(repr=False)
    signature: str  # the file of the signature that the build attached, if it did

    @property
    def signed(self):
        return os.path.isfile(self.signature)

    def flag(self, name):
        """One of the DllCharacteristics, as pefile names them."""
        return getattr(self.pe.OPTIONAL_HEADER, f"IMAGE_DLLCHARACTERISTICS_{name}")

    def dlls(self):
        return [entry.dll.decode() for entry in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", [])]

    def strings(self):
        """The version resource's strings, as {name: value}."""
        found = {}
        for info in getattr(self.pe, "FileInfo", [[]])[0]:
            for table in getattr(info, "StringTable", []):
                found.update({k.decode(): v.decode() for k, v in table.entries.items()})
        return found

    def numbers(self, kind):
        """The version resource's fixed FILEVERSION or PRODUCTVERSION, as four numbers."""
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        high, low = getattr(fixed, f"{kind}VersionMS"), getattr(fixed, f"{kind}VersionLS")
        return high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF

    def libraries(self):
        """The archives that the link took members from, as the map lists them."""
        return sorted({os.path.basename(path)
                       for path in re.findall(r"^(/[^(\n]*\.a)\(", self.link_map, re.M)})

    def certificate_table(self):
        entry = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        return entry.VirtualAddress, entry.Size

    def attached(self):
        """The signature attached, and the bytes after it in its table entry."""
        return authenticode.attached(self.data) or (b"", b"")

    @functools.cached_property
    def read_signature(self):
        return authenticode.Signature(self.attached()[0])

    def kept(self):
        """The signature that the build attached, as its .signature file holds it."""
        with open(self.signature, "rb") as file:
            return authenticode.from_pem(file.read())


@pytest.fixture(scope="module")
def exe():
    variables = ["EXE_PATH", "EXE_VERSION", "EXE_LINK_MAP", "EXE_NOTICES", "EXE_RELEASE"]
    unset = [name for name in variables if not os.environ.get(name)]
    if unset:
        pytest.fail(f"set {' '.join(unset)}, as tests/CMakeLists.txt does")
    path, version, link_map, notices, release = (os.environ[name] for name in variables)
    with open(path, "rb") as file:
        data = file.read()
    pe = pefile.PE(data=data, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY[f"IMAGE_DIRECTORY_ENTRY_{d}"]
                                           for d in ("IMPORT", "RESOURCE")])
    with open(link_map, encoding="utf-8") as map_file, open(notices, encoding="utf-8") as text:
        return Exe(path, data, pe, version, map_file.read(), text.read(), f"{release}.signature")


def version_numbers(exe):
    return tuple(int(part) for part in exe.version.split(".")) + (0,)


# Each property: what the exe holds, and what it must hold. A console program, so that a command
# prompt waits for it and shows what it writes; ASLR with 64-bit addresses, and DEP, which the
# linker sets by default and no change of flags may drop; a checksum in the header that covers
# the whole file, a signature included, so that attaching one must write it anew.
PROPERTIES = [
    ("a console program", lambda e: e.pe.OPTIONAL_HEADER.Subsystem,
     lambda e: pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]),
    ("ASLR", lambda e: e.flag("DYNAMIC_BASE"), lambda e: True),
    ("ASLR with 64-bit addresses", lambda e: e.flag("HIGH_ENTROPY_VA"), lambda e: True),
    ("DEP", lambda e: e.flag("NX_COMPAT"), lambda e: True),
    ("the PE checksum", lambda e: e.pe.OPTIONAL_HEADER.CheckSum,
     lambda e: e.pe.generate_checksum()),
    ("KERNEL32.dll imported", lambda e: "KERNEL32.dll" in e.dlls(), lambda e: True),
    ("no DLL imported that Windows does not ship",
     lambda e: [d for d in e.dlls() if not any(fnmatch.fnmatchcase(d, p) for p in SYSTEM_DLLS)],
     lambda e: []),
    ("FILEVERSION", lambda e: e.numbers("File"), version_numbers),
    ("PRODUCTVERSION", lambda e: e.numbers("Product"), version_numbers),
    ("FileVersion", lambda e: e.strings().get("FileVersion"), lambda e: e.version),
    ("ProductVersion", lambda e: e.strings().get("ProductVersion"), lambda e: e.version),
    ("ProductName", lambda e: e.strings().get("ProductName"), lambda e: NAME),
    ("InternalName", lambda e: e.strings().get("InternalName"), lambda e: NAME),
    ("OriginalFilename", lambda e: e.strings().get("OriginalFilename"), lambda e: f"{NAME}.exe"),
    ("a FileDescription", lambda e: bool(e.strings().get("FileDescription")), lambda e: True),
    # Each toolchain library that the link took code from must be named in the notices.
    ("the link map names a library", lambda e: bool(e.libraries()), lambda e: True),
    ("the notices cover every library linked",
     lambda e: [lib for lib in e.libraries() if f"/{lib}(" not in e.notices], lambda e: []),
    ("signed exactly when the build attached a signature",
     lambda e: authenticode.attached(e.data) is not None, lambda e: e.signed),
]


@pytest.mark.parametrize("holds, wanted", [row[1:] for row in PROPERTIES],
                         ids=[row[0] for row in PROPERTIES])
def test_property(exe, holds, wanted):
    assert holds(exe) == wanted(exe)


# An unsigned exe has no certificate table; a signed one, the signature that the build attached,
# padded with zeros to a multiple of 8 bytes, in a table as the build writes it, and made for
# these bytes: the digest it signs is that of the file less the checksum, the certificate table's
# entry and the table itself.
SIGNATURE = [
    ("no certificate table", False, lambda e: e.certificate_table(), lambda e: (0, 0)),
    ("the build's signature attached", True, lambda e: e.attached()[0], lambda e: e.kept().der),
    ("padded with zeros", True, lambda e: e.attached()[1].strip(b"\0"), lambda e: b""),
    ("nothing beside the signature", True,
     lambda e: authenticode.outside_signature(e.data, e.attached()[0]), lambda e: []),
    ("a digest of SHA-256 or longer", True,
     lambda e: e.read_signature.algorithm in LONG_DIGESTS, lambda e: True),
    ("made for these bytes", True, lambda e: e.read_signature.signed_digest,
     lambda e: authenticode.digest(e.data, e.read_signature.algorithm)),
]


@pytest.mark.parametrize("signed, holds, wanted", [row[1:] for row in SIGNATURE],
                         ids=[row[0] for row in SIGNATURE])
def test_signature(exe, signed, holds, wanted):
    if exe.signed != signed:
        pytest.skip("the exe is signed" if exe.signed else "the exe is unsigned")
    assert holds(exe) == wanted(exe)
