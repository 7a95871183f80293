"""The licences of what the build took from a package, as one SPDX expression. A machine-readable
copyright file gives them paragraph by paragraph: those whose files the build took are claimed,
traced by the tables below to the source folders that the installed files come from. GCC's
copyright file is prose, so a table states what it says of the files the build takes. Whatever
cannot be traced is claimed with the whole package's licences, and said to be."""
import fnmatch
import functools
import io
import re

from debian import copyright as machine_readable

# Where installed files come from, in the source tree that a copyright file describes: a file built
# from a whole folder gets the licences of every paragraph that may cover a file in it; a file
# installed from one of a few folders, those of the paragraph that covers it in each.
SOURCES = (
    ("/usr/x86_64-w64-mingw32/lib/*", "built", ("mingw-w64-crt/",),
     "the runtime's archives and start-up objects are built from mingw-w64-crt"),
    ("/usr/share/mingw-w64/include/*", "installed",
     ("mingw-w64-headers/crt/", "mingw-w64-headers/include/",
      "mingw-w64-headers/ddk/include/", "mingw-w64-headers/direct-x/include/"),
     "the headers of these folders are installed into one"),
)
# What GCC's sources say of the files the build takes from it; the first pattern that matches a
# file gives its licence.
GCC = (
    ("/usr/lib/gcc/*/include/c++/pstl/*", "Apache-2.0 WITH LLVM-exception",
     "the parallel algorithms' headers come from LLVM, and say so"),
    ("/usr/lib/gcc/*", "GPL-3.0-or-later WITH GCC-exception-3.1",
     "libgcc, libgcc_eh, libstdc++, crtbegin.o, crtend.o and GCC's headers "
     "carry the GCC Runtime Library Exception, which lets a program under "
     "any licence link them"),
)
# Debian's short names that name the licence an SPDX identifier names; GNU licences, whose versions
# SPDX spells out, follow the rule in spdx().
SHARED = {
    "apache-2.0": "Apache-2.0", "artistic": "Artistic-1.0-Perl",
    "artistic-2.0": "Artistic-2.0", "afl-2.1": "AFL-2.1", "afl-3.0": "AFL-3.0",
    "bsd-2-clause": "BSD-2-Clause", "bsd-3-clause": "BSD-3-Clause",
    "bsd-4-clause": "BSD-4-Clause", "cc0-1.0": "CC0-1.0", "expat": "MIT",
    "mit": "MIT", "isc": "ISC", "mpl-1.1": "MPL-1.1", "mpl-2.0": "MPL-2.0", "zlib": "Zlib",
    "zpl-2.1": "ZPL-2.1", "python-2.0": "Python-2.0", "unicode-dfs-2016": "Unicode-DFS-2016",
}
GNU = re.compile(r"(A?GPL|LGPL|GFDL)-([0-9]+(?:\.[0-9]+)?)(\+?)")
OPERATOR = re.compile(r"\s+(and|or)\s+")


def reference(name):
    return "LicenseRef-" + re.sub(r"[^A-Za-z0-9.-]+", "-", name).strip("-")


def spdx(short):
    """A Debian short name as SPDX has it, or as a LicenseRef-."""
    gnu = GNU.fullmatch(short)
    if gnu:
        version = gnu[2] if "." in gnu[2] else gnu[2] + ".0"
        return f"{gnu[1]}-{version}-{'or-later' if gnu[3] else 'only'}"
    return SHARED.get(short.lower()) or reference(short)


def expression(field):
    """A Debian License field's names as one SPDX expression: "and" binds closer than "or", but not
    across a comma."""
    parts = re.split(r",\s*(and|or)\s+", field.strip())
    out = []
    for index, part in enumerate(parts):
        if index % 2:
            out.append(part.upper())
            continue
        words = OPERATOR.split(part)
        terms = " ".join(w.upper() if i % 2 else spdx(w) for i, w in enumerate(words))
        out.append(f"({terms})" if " OR " in terms and len(parts) > 1 else terms)
    return " ".join(out)


def joined(expressions):
    """Several expressions that all apply, each once, in their order."""
    unique = list(dict.fromkeys(expressions))
    return " AND ".join(f"({e})" if " OR " in e and len(unique) > 1 else e
                        for e in unique)


def _may_cover(pattern, folder):
    literal = re.split(r"[*?]", pattern)[0]
    return pattern.startswith(folder) or fnmatch.fnmatchcase(folder, literal + "*")


def claimed(copyright_file, files):
    """(expression, the definitions of its LicenseRef- names, untraced files) for FILES, all taken
    from the package whose copyright file this is. A definition is (name, text, file)."""
    with open(copyright_file, encoding="utf-8") as text:
        parsed = _parsed(text.read())
    if parsed is None:
        return _prose(copyright_file, files)
    paragraphs, untraced = [], []
    for file in files:
        row = next((r for r in SOURCES if fnmatch.fnmatchcase(file, r[0])), None)
        if row is None:
            untraced.append(file)
        elif row[1] == "built":
            paragraphs += [p for p in parsed.all_files_paragraphs()
                           if any(_may_cover(f, row[2][0]) for f in p.files)]
        else:
            relative = file[len(row[0]) - 1:]
            paragraphs += [parsed.find_files_paragraph(f + relative) for f in row[2]]
    if untraced:
        paragraphs = list(parsed.all_files_paragraphs())
    order, chosen = list(parsed.all_files_paragraphs()), {id(p) for p in paragraphs if p}
    fields = [p.license.synopsis for p in order if id(p) in chosen]
    texts = {p.license.synopsis.lower(): p.license.text
             for p in list(parsed.all_license_paragraphs()) + order if p.license.text}
    result = joined(expression(f) for f in fields)
    names = sorted(set(re.findall(r"LicenseRef-[A-Za-z0-9.-]+", result)))
    shorts = {reference(word).lower(): word for f in fields for word in re.split(r"[\s,]+", f)}
    return result, [(n, texts.get(shorts.get(n.lower(), "").lower()), copyright_file)
                    for n in names], untraced


@functools.lru_cache
def _parsed(text):
    """A machine-readable copyright file, read once however many packages ship it; None for one
    that is prose."""
    try:
        return machine_readable.Copyright(io.StringIO(text), strict=False)
    except (machine_readable.NotMachineReadableError, ValueError):
        return None


def _prose(copyright_file, files):
    expressions, untraced = [], []
    for file in files:
        row = next((r for r in GCC if fnmatch.fnmatchcase(file, r[0])), None)
        if row is None:
            untraced.append(file)
        else:
            expressions.append(row[1])
    if untraced:
        whole = reference(copyright_file.split("/")[-2] + "-copyright")
        return joined(expressions + [whole]), [(whole, None, copyright_file)], untraced
    return joined(expressions), [], []
