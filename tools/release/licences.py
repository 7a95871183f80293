"""The licences of what the build used from a package, as one SPDX expression: those of the
copyright file's paragraphs that cover the files used, traced by the tables below, or the whole
package's where a file cannot be traced. How: docs/release.md."""
import fnmatch
import functools
import re

import license_expression
from debian import copyright as machine_readable

# The runtime's archives and start-up objects are each built from the whole of mingw-w64-crt, so
# each gets the licences of every paragraph that may cover a file in it.
RUNTIME, RUNTIME_SOURCE = "/usr/x86_64-w64-mingw32/lib/", "mingw-w64-crt/"
# The headers of these folders are installed into one: each is copied from one of them, and gets
# the licences of the paragraph that covers it in each.
HEADERS = "/usr/share/mingw-w64/include/"
HEADER_SOURCES = ("mingw-w64-headers/crt/", "mingw-w64-headers/include/",
                  "mingw-w64-headers/ddk/include/", "mingw-w64-headers/direct-x/include/")
# GCC's copyright file is prose: what GCC's sources say of the files the build uses from it. The
# first pattern that matches a file gives its licence.
GCC = {
    "/usr/lib/gcc/*/include/c++/pstl/*": "Apache-2.0 WITH LLVM-exception",
    "/usr/lib/gcc/*": "GPL-3.0-or-later WITH GCC-exception-3.1",
}
# Expressions are read as written: SPDX's own table would take some LicenseRef- names for aliases
# of licences that Debian's names do not say.
PLAIN = license_expression.Licensing()
# Debian's short names as SPDX spells them: those they share but for their case, and Debian's own.
KNOWN = {key.lower(): key for key in license_expression.get_spdx_licensing().known_symbols
         if not key.startswith("LicenseRef-")} | {"expat": "MIT", "artistic": "Artistic-1.0-Perl"}
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
    return KNOWN.get(short.lower()) or reference(short)


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


def _traced(parsed, file):
    """The Files paragraphs that cover where FILE comes from; None where no table traces it."""
    if file.startswith(RUNTIME):
        return [p for p in parsed.all_files_paragraphs() if any(
            f.startswith(RUNTIME_SOURCE) or RUNTIME_SOURCE.startswith(re.split(r"[*?]", f)[0])
            for f in p.files)]
    if file.startswith(HEADERS):
        return [parsed.find_files_paragraph(folder + file.removeprefix(HEADERS))
                for folder in HEADER_SOURCES]
    return None


def claimed(copyright_file, files):
    """(expression, the definitions of its LicenseRef- names, untraced files) for FILES, all used
    from the package whose copyright file this is. A definition is (name, text, file)."""
    parsed = _parsed(copyright_file)
    if parsed is None:
        return _prose(copyright_file, files)
    traced = {file: _traced(parsed, file) for file in files}
    untraced = [file for file in files if traced[file] is None]
    chosen = {id(p) for paragraphs in traced.values() for p in paragraphs or []}
    fields = [p.license.synopsis for p in parsed.all_files_paragraphs()
              if untraced or id(p) in chosen]
    texts = {reference(p.license.synopsis).lower(): p.license.text
             for p in [*parsed.all_license_paragraphs(), *parsed.all_files_paragraphs()]
             if p.license.text}
    result = joined(expression(f) for f in fields)
    names = sorted(set(re.findall(r"LicenseRef-[A-Za-z0-9.-]+", result)))
    return result, [(n, texts.get(n.lower()), copyright_file) for n in names], untraced


@functools.lru_cache
def _parsed(path):
    """The copyright file, parsed once however many packages ship it; None where it is prose."""
    try:
        with open(path, encoding="utf-8") as text:
            return machine_readable.Copyright(text, strict=False)
    except (machine_readable.NotMachineReadableError, ValueError):
        return None


def _prose(copyright_file, files):
    found = [next((GCC[p] for p in GCC if fnmatch.fnmatchcase(file, p)), None) for file in files]
    untraced = [file for file, licence in zip(files, found) if licence is None]
    if not untraced:
        return joined(found), [], []
    whole = reference(copyright_file.split("/")[-2] + "-copyright")
    return joined([f for f in found if f] + [whole]), [(whole, None, copyright_file)], untraced
