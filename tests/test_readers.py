"""The release tools' readers of Debian's copyright files, one row a case:
each License field as SPDX has it, and the licences claimed for files of
real copyright files as this machine has them."""
import os
import sys

import license_expression
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
from release import licences  # noqa: E402

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
# A copyright file, files taken from its package, the expression claimed,
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
