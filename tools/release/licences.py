"""The licences of what the build used from a package, as one SPDX expression. A machine-readable
copyright file gives them paragraph by paragraph: those whose files the build used are claimed,
traced by the tables below to the source folders that the installed files come from. GCC's
copyright file is prose, so a table states what it says of the files the build takes. Whatever
cannot be traced is claimed with the whole package's licences, and said to be."""
import dataclasses
import fnmatch
import functools
import io
import re

import license_expression
from debian import copyright as machine_readable


@dataclasses.dataclass(frozen=True)
class Source:
    """Where installed files come from, in the source tree that a copyright file describes."""
    installed: str  # a pattern of the installed files
    folders: tuple  # the source folders they come from
    # True: each file is built from the whole of the one folder, so it gets the licences of every
    # paragraph that may cover a file in it. False: each file is copied from one of the folders,
    # and gets the licences of the paragraph that covers it in each.
    built_from_whole_folder: bool


SOURCES = (
    # The runtime's archives and start-up objects are built from mingw-w64-crt.
    Source("/usr/x86_64-w64-mingw32/lib/*", ("mingw-w64-crt/",), True),
    # The headers of these folders are installed into one.
    Source("/usr/share/mingw-w64/include/*",
           ("mingw-w64-headers/crt/", "mingw-w64-headers/include/",
            "mingw-w64-headers/ddk/include/", "mingw-w64-headers/direct-x/include/"), False),
)
# What GCC's sources say of the files the build uses from it; the first pattern that matches a
# file gives its licence. The parallel algorithms' headers come from LLVM, and say so; libgcc,
# libgcc_eh, libstdc++, crtbegin.o, crtend.o and GCC's headers carry the GCC Runtime Library
# Exception, which lets a program under any licence link them.
GCC = {
    "/usr/lib/gcc/*/include/c++/pstl/*": "Apache-2.0 WITH LLVM-exception",
    "/usr/lib/gcc/*": "GPL-3.0-or-later WITH GCC-exception-3.1",
}
# Expressions are read as written: SPDX's own table would take some LicenseRef- names for aliases
# of licences that Debian's names do not say.
PLAIN = license_expression.Licensing()
# Debian's short names that are SPDX identifiers but for their case, as SPDX spells them.
KNOWN = {key.lower(): key for key in license_expression.get_spdx_licensing().known_symbols
         if not key.startswith("LicenseRef-")}
# Debian's own names for licences that SPDX names otherwise.
DEBIAN = {"expat": "MIT", "artistic": "Artistic-1.0-Perl"}
# GNU licences, whose versions SPDX spells out: GPL-2+ is GPL-2.0-or-later, GPL-3 GPL-3.0-only.
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
    return DEBIAN.get(short.lower()) or KNOWN.get(short.lower()) or reference(short)


def expression(field):
    """A Debian License field's names as one SPDX expression: "and" binds closer than "or", but not
    across a comma."""
    parts = re.split(r",\s*(and|or)\s+", field.strip())
    terms = [PLAIN.parse(" ".join(w if i % 2 else spdx(w) for i, w in
                                  enumerate(OPERATOR.split(part))))
             for part in parts[::2]]
    combined = terms[0]
    for operator, term in zip(parts[1::2], terms[1:]):
        combined = (PLAIN.AND if operator == "and" else PLAIN.OR)(combined, term)
    return _rendered(combined)


def joined(expressions):
    """Several expressions that all apply, each once, in their order."""
    return _rendered(license_expression.combine_expressions(list(expressions), licensing=PLAIN))


def _rendered(combined):
    """The expression written out, with an AND of ANDs as one AND, and an OR of ORs as one OR."""
    if isinstance(combined, (PLAIN.AND, PLAIN.OR)):
        combined = combined.flatten()
    return combined.render()


def _may_cover(pattern, folder):
    literal = re.split(r"[*?]", pattern)[0]
    return pattern.startswith(folder) or fnmatch.fnmatchcase(folder, literal + "*")


def _paragraphs(parsed, files):
    """The Files paragraphs that cover FILES, and the files that no row of SOURCES traces."""
    paragraphs, untraced = [], []
    for file in files:
        source = next((s for s in SOURCES if fnmatch.fnmatchcase(file, s.installed)), None)
        if source is None:
            untraced.append(file)
        elif source.built_from_whole_folder:
            paragraphs += [p for p in parsed.all_files_paragraphs()
                           if any(_may_cover(f, source.folders[0]) for f in p.files)]
        else:
            relative = file[len(source.installed) - 1:]
            paragraphs += [parsed.find_files_paragraph(f + relative) for f in source.folders]
    return paragraphs, untraced


def claimed(copyright_file, files):
    """(expression, the definitions of its LicenseRef- names, untraced files) for FILES, all used
    from the package whose copyright file this is. A definition is (name, text, file)."""
    with open(copyright_file, encoding="utf-8") as text:
        parsed = _parsed(text.read())
    if parsed is None:
        return _prose(copyright_file, files)
    paragraphs, untraced = _paragraphs(parsed, files)
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
        pattern = next((p for p in GCC if fnmatch.fnmatchcase(file, p)), None)
        if pattern is None:
            untraced.append(file)
        else:
            expressions.append(GCC[pattern])
    if untraced:
        whole = reference(copyright_file.split("/")[-2] + "-copyright")
        return joined(expressions + [whole]), [(whole, None, copyright_file)], untraced
    return joined(expressions), [], []
