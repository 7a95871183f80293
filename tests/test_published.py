"""The release tools' readers of what others made, which nobody trusts, one
row a case: dependency files as make writes them, a record's toolchain, a
zip's listing, a .sha256's lines, a published file however it reads, a signature's encoding,
revocation lists from a server that stalls or sends the reader elsewhere,
and the streams that every tool writes on."""
import http.server
import io
import os
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
from release import authenticode, cli, components, published, revocation  # noqa: E402

DEPFILES = [
    ("a.obj: /src/main.cpp \\\n /usr/x.h\n", {"/src/main.cpp", "/usr/x.h"}),
    ("a\\ b.obj: /var/tmp/my\\ tree/main.cpp \\\n /usr/x.h\n",
     {"/var/tmp/my tree/main.cpp", "/usr/x.h"}),
    ("a.obj: /p/\\#1.h /p/$$HOME.h\n", {"/p/#1.h", "/p/$HOME.h"}),
    ("a.obj : /one.h\n\n/one.h:\n", {"/one.h"}),
]


@pytest.mark.parametrize("text, paths", DEPFILES)
def test_depfile(text, paths):
    assert components.from_depfile(text) == {(path, None) for path in paths}


DEPENDS = [
    ("\n base-files (= 12.4+deb12u11),\n cmake (= 3.25.1-1)",
     {"base-files": "12.4+deb12u11", "cmake": "3.25.1-1"}),
    ("\n wine64:amd64 (= 8.0~repack-4)", {"wine64": "8.0~repack-4"}),
    ("\n python3 (= 1:3.11.2-1)", {"python3": "1:3.11.2-1"}),
    ("\n cmake", None),
    ("\n cmake (>= 3)", None),
    ("\n cmake (= 3" + " " * 60000, None),
    ("\n a (= 1) | b (= 2)", None),
]


@pytest.mark.parametrize("field, expected", DEPENDS,
                         ids=lambda value: repr(value)[:40] if isinstance(value, str) else None)
def test_depends(field, expected):
    started = time.monotonic()
    assert published.depends({"Installed-Build-Depends": field}) == expected
    assert time.monotonic() - started < 1


def test_few():
    assert published.few([str(n) for n in range(40000)]) == "0 1 2 3 4 and 39995 more"


def make_fifo(path):
    os.mkfifo(path)
    return path


def holding(data):
    return lambda path: path.write_bytes(data) and path


READS = [
    ("regular", holding(b"sum\n"), b"sum\n"),
    ("too large", holding(b"x" * 2000), None),
    ("claims no size", lambda p: "/proc/self/pagemap", None),
    ("a pipe", make_fifo, "it is not a regular file"),
    ("a folder", lambda p: p.mkdir() or p, "it is not a regular file"),
    ("missing", lambda p: p, "No such file or directory"),
    ("a link", lambda p: p.symlink_to(__file__) or p, "it is a link, which is not followed"),
]


@pytest.mark.parametrize("case, make, expected", READS)
def test_read(tmp_path, case, make, expected):
    path = make(tmp_path / "file")
    try:
        assert published.read(path, "zip.sha256") == expected
    except published.Unreadable as why:
        assert str(why) == expected


def nested(depth):
    """DEPTH sequences, each in the one before."""
    encoded = "3000"
    for _ in range(depth - 1):
        encoded = f"30{len(encoded) // 2:02x}" + encoded
    return encoded


ENCODINGS = [
    ("DER", "3006020101040100", True),
    ("a length in more bytes than it needs", "308106020101040100", False),
    ("a long length padded with a zero", "30820006020101040100", False),
    ("an indefinite length", "3080020101040100" "0000", False),
    ("an octet string in pieces", "3008" "2406" "0401aa" "0401bb", False),
    ("a length past the end", "3007020101040100", False),
    ("a stray byte after the end", "300302010100", False),
    ("a tag of many bytes", "3f8101" "00", False),
    ("nested far deeper than a signature", nested(60), False),
    ("nested as deep as a signature", nested(10), True),
]


@pytest.mark.parametrize("case, encoded, der", ENCODINGS)
def test_encoding(case, encoded, der):
    assert authenticode._is_der(bytes.fromhex(encoded)) is der


class Stalling(http.server.BaseHTTPRequestHandler):
    """Sends one byte every 0.2 s, for ever; or a redirect to another host."""

    def do_GET(self):
        if self.path == "/elsewhere":
            self.send_response(302)
            self.send_header("Location", "http://localhost:9/list.crl")
            self.end_headers()
            return
        self.send_response(200)
        self.end_headers()
        try:
            while True:
                self.wfile.write(b"0")
                self.wfile.flush()
                time.sleep(0.2)
        except OSError:
            pass

    def log_message(self, *_):
        pass


@pytest.fixture(scope="module")
def server():
    serving = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Stalling)
    serving.daemon_threads = True
    threading.Thread(target=serving.serve_forever, args=(0.05,), daemon=True).start()
    yield f"http://127.0.0.1:{serving.server_address[1]}"
    serving.shutdown()


FETCHES = [
    ("/list.crl", 1, "did not answer within 1 s"),
    ("/elsewhere", 2, "sent it elsewhere, which is not followed"),
    ("/list.crl", 0, "was not fetched: the lists took"),
]


@pytest.mark.parametrize("where, seconds, why", FETCHES)
def test_fetch(server, where, seconds, why):
    started = time.monotonic()
    with pytest.raises(revocation.Unavailable, match=why):
        revocation.Fetcher(seconds).fetch(server + where)
    # Far less than for ever, with room for a loaded machine.
    assert time.monotonic() - started < seconds + 10


STREAMS = [
    ("plain\tline\n", "plain\tline\n"),
    ("\x1b[2K\rhidden\n", "\\x1b[2K\\rhidden\n"),
    ("\x7f\x9b\u202e\u2028", "\\x7f\\x9b\\u202e\\u2028"),
]


@pytest.mark.parametrize("text, written", STREAMS)
def test_stream(text, written):
    stream, lines = io.StringIO(), io.StringIO()
    print(text, end="", file=cli.Visible(stream))
    cli.Visible(lines).writelines([text])
    assert stream.getvalue() == lines.getvalue() == written
