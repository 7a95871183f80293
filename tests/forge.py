"""Forges a release's zip as a hostile mirror would, entry by entry, for
check_verify_release.sh.

usage: forge.py HOW ZIP OUTSIDE
  HOW      link: a link to OUTSIDE, then a file through it; duplicate: a
           changed exe before the real one; newline: the README and the
           notices as one entry whose name holds a newline; dotdot: a file
           beside the release's folder; bomb: a file of 9 MiB of zeros
  OUTSIDE  a folder that nothing in the zip may write to"""
import stat
import sys
import warnings
import zipfile

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
with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as forged:
    for info, data in added + entries:
        forged.writestr(info, data, zipfile.ZIP_DEFLATED)
