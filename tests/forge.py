"""Forges a release's zip as a hostile mirror would, entry by entry, for
check_verify_release.sh.

usage: forge.py HOW ZIP OUTSIDE
  HOW      link: a link to OUTSIDE, then a file through it; duplicate: a
           changed exe before the real one; newline: the README and the
           notices as one entry whose name holds a newline; dotdot: a file
           beside the release's folder; bomb: a file of 9 MiB of zeros;
           many: 40,000 more empty files; lzma, bzip2: the README
           compressed so, and damaged; appended: the exe with 8 bytes after
           its certificate table; checksum: the exe with another PE
           checksum
  OUTSIDE  a folder that nothing in the zip may write to"""
import stat
import sys
import warnings
import zipfile

import pefile

warnings.simplefilter("ignore")  # zipfile warns of the duplicate it is told to write

how, path, outside = sys.argv[1:4]
with zipfile.ZipFile(path) as original:
    entries = [(info, original.read(info)) for info in original.infolist()]
folder = entries[0][0].filename.split("/")[0]
readme, notices = f"{folder}/README.md", f"{folder}/THIRD-PARTY-NOTICES.txt"


def entry(name, mode=0o100644):
    info = zipfile.ZipInfo(name, (2026, 1, 1, 0, 0, 0))
    info.create_system, info.external_attr = 3, mode << 16
    return info


added = []
if how == "link":
    added = [(entry(f"{folder}/lnk", stat.S_IFLNK | 0o777), outside.encode()),
             (entry(f"{folder}/lnk/victim.txt"), b"written through the link\n")]
elif how == "duplicate":
    exe = next(data for info, data in entries if info.filename.endswith(".exe"))
    added = [(entry(f"{folder}/veltrin-backend.exe", 0o100755),
              exe.replace(b"Unix domain", b"UNIX domain"))]
elif how == "newline":
    texts = dict((info.filename, data) for info, data in entries)
    entries = [(i, d) for i, d in entries if i.filename not in (readme, notices)]
    added = [(entry(f"{readme}\n{notices}"), texts[readme] + texts[notices])]
elif how == "dotdot":
    added = [(entry(f"{folder}/../escaped"), b"beside the folder\n")]
elif how == "bomb":
    added = [(entry(f"{folder}/zeros"), bytes(9 << 20))]
elif how == "many":
    added = [(entry(f"{folder}/empty-{n}"), b"") for n in range(40000)]
elif how in ("appended", "checksum"):
    info, exe = next((i, d) for i, d in entries if i.filename.endswith(".exe"))
    if how == "appended":
        changed = exe + bytes(8)
    else:
        at = pefile.PE(data=exe, fast_load=True).OPTIONAL_HEADER.get_field_absolute_offset(
            "CheckSum")
        changed = exe[:at] + bytes([exe[at] ^ 1]) + exe[at + 1:]
    entries = [(i, changed if i is info else d) for i, d in entries]
methods = {readme: {"lzma": zipfile.ZIP_LZMA, "bzip2": zipfile.ZIP_BZIP2}.get(how)}
with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as forged:
    for info, data in added + entries:
        forged.writestr(info, data, methods.get(info.filename) or zipfile.ZIP_DEFLATED)
if methods[readme]:
    # A byte of the README's compressed data, which is past its local header.
    with zipfile.ZipFile(path) as forged:
        at = forged.getinfo(readme).header_offset + 30 + len(readme.encode()) + 40
    with open(path, "r+b") as forged:
        forged.seek(at)
        byte = forged.read(1)
        forged.seek(at)
        forged.write(bytes([byte[0] ^ 0xFF]))
