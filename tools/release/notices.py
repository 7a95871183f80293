"""The notices that the licences of the toolchain's files in the exe ask a binary distribution to
carry: each package's copyright file, quoted whole, then the licence texts that those refer to."""
import os
import pathlib
import re

RULE = "=" * 72
LICENCE_TEXT = r"/usr/share/common-licenses/[A-Za-z0-9.+-]*[A-Za-z0-9+]"


def notices(program, packages):
    lines = [f"Third-party notices for {program}", "",
             "The program is built with the files below, from the Debian packages",
             "named beside them: the libraries it is linked with, and the headers it",
             "is compiled with. Each package's copyright notices and licences follow,",
             "as its copyright file states them, then the full texts of the licences",
             "that those files refer to.", ""]
    by_text = {}
    for name in sorted(packages):
        package = packages[name]
        for file, member in package["files"]:
            used = f"{file}({member})" if member else file
            lines.append(f"  {name} {package['Version']} {used}")
        text = pathlib.Path(package["copyright"]).read_text(encoding="utf-8")
        by_text.setdefault(text, []).append(name)
    sections = [(f"{' '.join(names)}: {packages[names[0]]['copyright']}", text)
                for text, names in by_text.items()]
    referred = sorted({os.path.realpath(path) for text in by_text
                       for path in re.findall(LICENCE_TEXT, text) if os.path.isfile(path)})
    sections += [(path, pathlib.Path(path).read_text(encoding="utf-8")) for path in referred]
    for title, text in sections:
        lines += ["", RULE, title, RULE, "", text.rstrip("\n")]
    return "\n".join(lines) + "\n"
