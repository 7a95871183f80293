"""The release tools' readers, one row a case, on inputs made at test time: Debian's copyright
files, each License field as SPDX has it and the licences claimed for files of real copyright files
as this machine has them; a zip's listing; a .sha256's lines; a .buildinfo record; the signature
that an exe carries; and the link map that names what the link took."""
import dataclasses
import os
import pathlib
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import zipfile

import license_expression
import pefile
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
from release import authenticode, layout, licences, published, components  # noqa: E402

SPDX = license_expression.get_spdx_licensing()


def valid(expression):
    """SPDX, or SPDX with LicenseRef- names of its own: no other error."""
    info = SPDX.validate(expression)
    unknown = [s for s in info.invalid_symbols if not s.startswith("LicenseRef-")]
    return not unknown and all(e.startswith("Unknown license key") for e in info.errors)

# Fields as real copyright files have them: libarchive-zip-perl's, dbus-bin's,
# mingw-w64's, and the forms that the copyright format's own examples give.
FIELDS = [
    ("Artistic or GPL-1+", "Artistic-1.0-Perl OR GPL-1.0-or-later"),
    ("GPL-2+ or AFL-2.1, and Expat and Tcl-BSDish",
     "(GPL-2.0-or-later OR AFL-2.1) AND MIT AND LicenseRef-Tcl-BSDish"),
    ("AFL-2.1", "AFL-2.1"),
    ("BSD-2-clause-NetBSD and ISC", "LicenseRef-BSD-2-clause-NetBSD AND ISC"),
    ("expat", "MIT"),
    ("LGPL-2.1+", "LGPL-2.1-or-later"),
    ("GPL-2", "GPL-2.0-only"),
    ("GPL-3.0+", "GPL-3.0-or-later"),
    ("public-domain", "LicenseRef-public-domain"),
    ("BSD-3-clause or GPL-2 and MIT", "BSD-3-Clause OR (GPL-2.0-only AND MIT)"),
    ("GPL-2+ with OpenSSL exception", "LicenseRef-GPL-2-with-OpenSSL-exception"),
    # Names that SPDX's table holds as aliases of other licences are not taken for them.
    ("zlib or Apache, and BSD-2-Clause-NetBSD", "(Zlib OR LicenseRef-Apache) AND "
     "LicenseRef-BSD-2-Clause-NetBSD"),
]


@pytest.mark.parametrize("field, expected", FIELDS)
def test_field(field, expected):
    expression = licences.expression(field)
    assert expression == expected
    assert valid(expression)


GCC = "/usr/share/doc/gcc-mingw-w64-base/copyright"
MINGW = "/usr/share/doc/mingw-w64-common/copyright"
LIB = "/usr/lib/gcc/x86_64-w64-mingw32/12-win32"
# A copyright file, files the build used from its package, the expression claimed,
# and whether the files are traced.
CLAIMS = [
    (MINGW, ["/usr/share/mingw-w64/include/stdio.h"], "ZPL-2.1 AND LicenseRef-public-domain", True),
    (MINGW, ["/usr/x86_64-w64-mingw32/lib/libmingwex.a"], None, True),
    (MINGW, ["/usr/share/mingw-w64/include/d3d9.h"], None, True),
    (MINGW, ["/usr/x86_64-w64-mingw32/bin/untraced.dll"], None, False),
    (GCC, [f"{LIB}/libstdc++.a", f"{LIB}/libgcc.a", f"{LIB}/include/c++/iostream"],
     "GPL-3.0-or-later WITH GCC-exception-3.1", True),
    (GCC, [f"{LIB}/include/c++/pstl/pstl_config.h"], "Apache-2.0 WITH LLVM-exception", True),
    (GCC, ["/usr/share/doc/gcc-mingw-w64-base/README"],
     "LicenseRef-gcc-mingw-w64-base-copyright", False),
    ("/usr/share/doc/libarchive-zip-perl/copyright", ["/usr/share/perl5/Archive/Zip.pm"],
     None, False),
]


@pytest.mark.parametrize("copyright_file, files, expected, traced", CLAIMS)
def test_claimed(copyright_file, files, expected, traced):
    if not os.path.isfile(copyright_file):
        pytest.skip(f"{copyright_file} is not on this machine")
    expression, definitions, untraced = licences.claimed(copyright_file, files)
    assert valid(expression)
    assert expected is None or expression == expected
    assert (not untraced) == traced
    # Every name of its own is defined, with its text or its file.
    names = {name for name, _, _ in definitions}
    assert names == {k for k in expression.replace("(", " ").replace(")", " ").split()
                     if k.startswith("LicenseRef-")}
    assert all(text or file for _, text, file in definitions)
    if copyright_file == MINGW and traced:
        # What the build takes from mingw-w64 is under neither GPL nor LGPL;
        # a header of Direct3D, which it does not take, is.
        assert ("GPL" in expression) == files[0].endswith("d3d9.h")


MEMBERS = layout.members("p", "1")
FOLDER = MEMBERS[0].split("/")[0]
EXE = next(m for m in MEMBERS if m.endswith(".exe"))


def entry(name, data=b"x", mode=stat.S_IFREG | 0o644, method=zipfile.ZIP_DEFLATED):
    """An entry as a zip made on a Unix system holds it: its kind and mode in the high bits."""
    info = zipfile.ZipInfo(name, (2026, 1, 1, 0, 0, 0))
    info.create_system, info.external_attr, info.compress_type = 3, mode << 16, method
    return info, data


RELEASE = [entry(m) for m in MEMBERS]
# The entries of each zip, the findings that rule it out, the release's files it lacks, and the
# names it holds beside them.
ZIPS = [
    ("genuine", RELEASE, [], [], []),
    ("stored", [entry(MEMBERS[0], method=zipfile.ZIP_STORED)] + RELEASE[1:],
     ["holds files compressed otherwise than by deflate, as a release's are not: "
      + MEMBERS[0]], [], []),
    ("many", RELEASE + [entry(f"{FOLDER}/e{n}") for n in range(7)],
     [], [], [f"{FOLDER}/e{n}" for n in range(7)]),
    ("outside", RELEASE + [entry(f"{FOLDER}/../x")],
     [f"holds paths outside its folder: {FOLDER}/../x"], [], [f"{FOLDER}/../x"]),
    ("lacking", RELEASE[1:], [], [MEMBERS[0]], []),
    ("with its folder's entry", [entry(FOLDER + "/", b"", stat.S_IFDIR | 0o755)] + RELEASE,
     [], [], []),
    ("an extra file", RELEASE + [entry(f"{FOLDER}/extra")], [], [], [f"{FOLDER}/extra"]),
    ("a folder of its own", RELEASE + [entry(f"{FOLDER}/sub/", b"", stat.S_IFDIR | 0o755)],
     [], [], [f"{FOLDER}/sub/"]),
    ("a link", RELEASE + [entry(f"{FOLDER}/lnk", b"/etc", stat.S_IFLNK | 0o777)],
     [f"holds links, which a release does not: {FOLDER}/lnk"], [], []),
    ("a link in a release file's place",
     RELEASE[1:] + [entry(MEMBERS[0], b"/etc", stat.S_IFLNK | 0o777)],
     [f"holds links, which a release does not: {MEMBERS[0]}"], [MEMBERS[0]], []),
    ("a pipe", RELEASE + [entry(f"{FOLDER}/fifo", b"", stat.S_IFIFO | 0o644)],
     [f"holds what is not a regular file: {FOLDER}/fifo"], [], []),
    ("an absolute path", RELEASE + [entry("/etc/x")],
     ["holds paths outside its folder: /etc/x"], [], ["/etc/x"]),
    ("a backslash", RELEASE + [entry(f"{FOLDER}\\..\\x")],
     [f"holds paths outside its folder: {FOLDER}\\..\\x"], [], [f"{FOLDER}\\..\\x"]),
    ("a drive", RELEASE + [entry("C:x")], ["holds paths outside its folder: C:x"], [], ["C:x"]),
    ("a duplicate name", [entry(EXE, b"changed")] + RELEASE,
     [f"holds more than one entry named {EXE}"], [], []),
    ("too large", [entry(m, bytes(layout.UNPACKED_LIMIT + 1) if m == EXE else b"x")
                   for m in MEMBERS],
     ["unpacks to more than any release does"], [], []),
]


@pytest.mark.filterwarnings("ignore:Duplicate name")
@pytest.mark.parametrize("entries, ruled_out, missing, extra", [row[1:] for row in ZIPS],
                         ids=[row[0] for row in ZIPS])
def test_zip_listing(tmp_path, entries, ruled_out, missing, extra):
    path = tmp_path / "release.zip"
    with zipfile.ZipFile(path, "w") as archive:
        for info, data in entries:
            archive.writestr(info, data)
    assert published.judge(path, MEMBERS) == (ruled_out, missing, extra)


SUM = "0123456789abcdef" * 4
# The lines of a .sha256, as sha256sum writes and reads them, and the (name, sum) read.
SUMS = [
    ("plain", f"{SUM}  p.zip\n", [("p.zip", SUM)]),
    ("binary marker", f"{SUM} *p.zip\n", [("p.zip", SUM)]),
    ("capitals", f"{SUM.upper()}  p.zip\n", [("p.zip", SUM)]),
    ("CRLF", f"{SUM}  p.zip\r\n", [("p.zip", SUM)]),
    ("no line feed", f"{SUM}  p.zip", [("p.zip", SUM)]),
    ("a second line", f"{SUM}  p.zip\n{SUM}  q.zip\n", [("p.zip", SUM), ("q.zip", SUM)]),
    ("another name", f"{SUM}  other.zip\n", [("other.zip", SUM)]),
    ("a blank in the name", f"{SUM}  p 1.zip\n", [("p 1.zip", SUM)]),
    ("a sum too short", f"{SUM[1:]}  p.zip\n", []),
    ("a sum too long", f"{SUM}0  p.zip\n", []),
    ("a sum not hexadecimal", f"{SUM[1:]}g  p.zip\n", []),
    ("one blank and no marker", f"{SUM} p.zip\n", []),
    ("no name", f"{SUM}  \n", []),
    ("tagged", f"SHA256 (p.zip) = {SUM}\n", [("p.zip", SUM)]),
    ("another tag", f"MD5 (p.zip) = {SUM}\n", []),
    ("escaped", f"\\{SUM}  p\\nzip\n", [("p\nzip", SUM)]),
    ("blanks first, escaped, tagged", f"  \\SHA256 (p\\\\zip) = {SUM}\n", [("p\\zip", SUM)]),
    ("a second, escaped line of the zip", f"{SUM}  p.zip\n\\{'0' * 64}  p.zip\n",
     [("p.zip", SUM), ("p.zip", "0" * 64)]),
]


@pytest.mark.parametrize("text, found", [row[1:] for row in SUMS], ids=[row[0] for row in SUMS])
def test_listed_sums(text, found):
    assert published.listed_sums(text) == found


RECORD = ("Format: 1.0\nSource: p\nVersion: 1\nSource-Date-Epoch: 1767225600\n"
          "Installed-Build-Depends:\n base-files (= 12.4+deb12u11),\n cmake (= 3.25.1-1)\n")
# A .buildinfo's bytes, and the versions that its Installed-Build-Depends names: None where the
# record is not text, or an entry is of another form. Each entry's forms are DEPENDS's rows.
RECORDS = [
    ("good", RECORD.encode(), {"base-files": "12.4+deb12u11", "cmake": "3.25.1-1"}),
    ("not UTF-8", RECORD.encode().replace(b"Source: p", b"Source: \xff"), None),
    ("an entry of another form", RECORD.replace("cmake (=", "cmake (>=").encode(), None),
    ("without the field", b"Format: 1.0\nSource: p\n", {}),
]


@pytest.mark.parametrize("data, versions", [row[1:] for row in RECORDS],
                         ids=[row[0] for row in RECORDS])
def test_buildinfo(data, versions):
    record = published.buildinfo(data)
    assert (record and published.depends(record)) == versions


def minimal_exe():
    """A 64-bit console exe of one section that returns at once, with its checksum."""
    coff = struct.pack("<4sHHIIIHH", b"PE\0\0", 0x8664, 1, 0, 0, 0, 240, 0x22)
    optional = struct.pack("<HBBIIIIIQIIHHHHHHIIIIHHQQQQII", 0x20B, 0, 0, 0x200, 0, 0, 0x1000,
                           0x1000, 0x140000000, 0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0, 0x2000,
                           0x200, 0, 3, 0x8160, 1 << 20, 1 << 12, 1 << 20, 1 << 12, 0, 16)
    section = struct.pack("<8sIIIIIIHHI", b".text", 0x200, 0x1000, 0x200, 0x200, 0, 0, 0, 0,
                          0x60000020)
    headers = b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40) + coff + optional + bytes(128)
    headers += section
    pe = pefile.PE(data=headers + bytes(0x200 - len(headers)) + b"\xc3" + bytes(0x1FF))
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return bytes(pe.write())


def with_table(exe, table, size=None):
    """EXE with TABLE appended as its certificate table, whose entry claims SIZE bytes, and its
    checksum made anew."""
    pe = pefile.PE(data=exe + table, fast_load=True)
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
    entry.VirtualAddress, entry.Size = len(exe), len(table) if size is None else size
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return bytes(pe.write())


def entry_of(der, after=b""):
    """A certificate table of one PKCS#7 entry: DER padded to 8 bytes, then AFTER."""
    body = der + bytes(-len(der) % 8) + after
    return struct.pack("<IHH", 8 + len(body), 0x200, 2) + body


@dataclasses.dataclass
class Signed:
    exe: bytes  # the minimal exe, signed
    plain: bytes  # a PKCS#7 signature of plain data, by the same key

    @property
    def der(self):
        return authenticode.attached(self.exe)[0]


@pytest.fixture(scope="module")
def signed():
    """The minimal exe signed by osslsigncode with a throwaway key, in a folder deleted at once."""
    if not (shutil.which("osslsigncode") and shutil.which("openssl")):
        pytest.skip("signing needs osslsigncode and openssl")
    with tempfile.TemporaryDirectory() as folder:
        def run(*words):
            subprocess.run(words, cwd=folder, check=True, capture_output=True)
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=throwaway",
            "-addext", "extendedKeyUsage=codeSigning", "-days", "10", "-keyout", "key.pem",
            "-out", "cert.pem")
        pathlib.Path(folder, "unsigned.exe").write_bytes(minimal_exe())
        run("osslsigncode", "sign", "-certs", "cert.pem", "-key", "key.pem", "-h", "sha256",
            "-in", "unsigned.exe", "-out", "signed.exe")
        run("openssl", "cms", "-sign", "-binary", "-nodetach", "-in", "unsigned.exe", "-signer",
            "cert.pem", "-inkey", "key.pem", "-outform", "DER", "-out", "plain.der")
        return Signed(*(pathlib.Path(folder, f).read_bytes() for f in ("signed.exe", "plain.der")))


def pem(der):
    """DER as the PEM of a .signature."""
    return subprocess.run(["openssl", "pkcs7", "-inform", "DER", "-outform", "PEM"], input=der,
                          check=True, capture_output=True).stdout


# Exes, and what attached() finds in them: the signature and the bytes after it, or None.
ATTACHED = [
    ("unsigned", lambda s: minimal_exe(), None),
    ("not an exe", lambda s: b"MZ" + bytes(300), None),
    ("a table past the end", lambda s: with_table(minimal_exe(), b"", 16), None),
    ("a table of other bytes", lambda s: with_table(minimal_exe(), entry_of(b"MZ" * 8)), None),
    ("signed", lambda s: s.exe, lambda s: (s.der, bytes(-len(s.der) % 8))),
    ("signed, with bytes after the signature in its entry",
     lambda s: with_table(minimal_exe(), entry_of(s.der, b"smuggled")),
     lambda s: (s.der, bytes(-len(s.der) % 8) + b"smuggled")),
]


@pytest.mark.parametrize("make, found", [row[1:] for row in ATTACHED],
                         ids=[row[0] for row in ATTACHED])
def test_attached(signed, make, found):
    assert authenticode.attached(make(signed)) == (found and found(signed))


def one_byte_changed(exe):
    """EXE with a byte of its code changed and its checksum made anew."""
    pe = pefile.PE(data=exe, fast_load=True)
    at = pe.sections[0].PointerToRawData
    pe = pefile.PE(data=exe[:at] + b"\xcc" + exe[at + 1:], fast_load=True)
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return bytes(pe.write())


def forged(how, der):
    """DER changed by tests/forge_signature.py HOW, as anyone can change what nothing signs."""
    with tempfile.TemporaryDirectory() as folder:
        source, target = os.path.join(folder, "in.pem"), os.path.join(folder, "out.pem")
        with open(source, "wb") as file:
            file.write(pem(der))
        subprocess.run([sys.executable, "-B", os.path.join(HERE, "forge_signature.py"), how,
                        source, target], check=True)
        with open(target, "rb") as file:
            return authenticode.from_pem(file.read()).der


# A signature's bytes, and what Signature reads of them against the exe: whether it was made for
# it, and what of it no signature covers; or the error that refuses it.
SIGNATURES = [
    ("as signed", lambda s: s.der, lambda s: s.exe, True, []),
    ("for other bytes", lambda s: s.der, lambda s: one_byte_changed(s.exe), False, []),
    ("a certificate twice", lambda s: forged("duplicate", s.der), lambda s: s.exe, True,
     ["1 certificate beyond its signer's chain"]),
    ("an unsigned attribute", lambda s: forged("payload", s.der), lambda s: s.exe, True,
     ["1 unsigned attribute other than a timestamp"]),
    ("a second digest algorithm", lambda s: forged("parameters", s.der), lambda s: s.exe, True,
     ["bytes beside what it signs and the certificates of its chains"]),
    ("its algorithm named ECDSA's", lambda s: forged("relabelled", s.der), lambda s: s.exe,
     True, ["an algorithm that its signer's key does not use"]),
]


@pytest.mark.parametrize("make, exe, signs, uncovered", [row[1:] for row in SIGNATURES],
                         ids=[row[0] for row in SIGNATURES])
def test_signature(signed, make, exe, signs, uncovered):
    signature = authenticode.Signature(make(signed))
    assert (signature.algorithm, signature.signs(exe(signed))) == ("sha256", signs)
    assert signature.uncovered == uncovered


# Bytes that are no Authenticode signature, and why Signature refuses them.
REFUSED = [
    ("not DER", lambda s: s.der + b"\0", "not a signature that can be read"),
    ("garbage", lambda s: b"MZ" * 100, "not a signature that can be read"),
    ("of plain data", lambda s: s.plain, "not an Authenticode signature"),
]


@pytest.mark.parametrize("make, why", [row[1:] for row in REFUSED],
                         ids=[row[0] for row in REFUSED])
def test_refused(signed, make, why):
    with pytest.raises(ValueError, match=why):
        authenticode.Signature(make(signed))


def checksum_changed(exe):
    at = pefile.PE(data=exe, fast_load=True).OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
    return exe[:at] + bytes([exe[at] ^ 1]) + exe[at + 1:]


# A signed exe, and what of it is outside what the signature covers and the table that attaching
# writes: bytes beside the signature, after the table, or a checksum of other bytes.
OUTSIDE = [
    ("as signed", lambda s: s.exe, []),
    ("bytes after its table", lambda s: s.exe + bytes(8),
     ["8 bytes after its certificate table", "a PE checksum that is not that of its bytes"]),
    ("bytes in its entry", lambda s: with_table(minimal_exe(), entry_of(s.der, b"smuggled")),
     ["bytes beside its signature in its certificate table",
      "8 bytes after its certificate table"]),
    ("another checksum", lambda s: checksum_changed(s.exe),
     ["a PE checksum that is not that of its bytes"]),
]


@pytest.mark.parametrize("make, found", [row[1:] for row in OUTSIDE],
                         ids=[row[0] for row in OUTSIDE])
def test_outside_signature(signed, make, found):
    assert authenticode.outside_signature(make(signed), signed.der) == found


HEADING = "Archive member included to satisfy reference by file (symbol)\n\n"
LIB = "/usr/lib/gcc/x86_64-w64-mingw32/12-win32"
# Link maps as GNU ld writes them, and the (file, member) they name: an archive's member that the
# link took, or an object it loaded whole, with member None.
MAPS = [
    ("archive members, a path normalised",
     HEADING + f"{LIB}/libstdc++.a(bad_alloc.o)\n                              main.o (x)\n"
     f"{LIB}/../../../../x86_64-w64-mingw32/lib/libkernel32.a(k01.o)\n",
     {(f"{LIB}/libstdc++.a", "bad_alloc.o"),
      ("/usr/x86_64-w64-mingw32/lib/libkernel32.a", "k01.o")}),
    ("a member with its reason on its line",
     HEADING + f"{LIB}/libgcc.a(_chkstk.o)  main.o (___chkstk_ms)\n",
     {(f"{LIB}/libgcc.a", "_chkstk.o")}),
    ("the build's own archive",
     HEADING + "CMakeFiles/p.dir/objects.a(main.cpp.obj)\n   (--whole-archive)\n", set()),
    ("discarded sections end the archive list",
     HEADING + f"{LIB}/libgcc.a(a.o)\n\nDiscarded input sections\n\n"
     f" .text  0x0  0x0 {LIB}/libgcc.a(b.o)\n{LIB}/libgcc.a(c.o)\n", {(f"{LIB}/libgcc.a", "a.o")}),
    ("the memory configuration ends it too",
     HEADING + f"{LIB}/libgcc.a(a.o)\nMemory Configuration\n{LIB}/libgcc.a(c.o)\n",
     {(f"{LIB}/libgcc.a", "a.o")}),
    ("a LOAD of an object", f"Linker script and memory map\n\nLOAD {LIB}/crtbegin.o\n",
     {(f"{LIB}/crtbegin.o", None)}),
    ("a LOAD of an archive or of the build's own object",
     f"LOAD {LIB}/libgcc.a\nLOAD CMakeFiles/p.dir/main.cpp.obj\n", set()),
    ("no archive list", f"{LIB}/libgcc.a(a.o)\n", set()),
]


@pytest.mark.parametrize("text, found", [row[1:] for row in MAPS], ids=[row[0] for row in MAPS])
def test_link_map(text, found):
    assert components.from_map(text) == found
