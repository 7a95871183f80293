"""How every release tool ends: a failure is one line on standard error and exit status 1, never a
traceback; and no control character reaches a stream, whichever line writes it."""
import getpass
import io
import logging
import shutil
import signal
import sys
import unicodedata
import warnings

# What can move a terminal's cursor, hide text or fake a line; and the bytes of a name that are not
# UTF-8, which Python holds as lone surrogates and writes back as they were.
HIDDEN = ("Cc", "Cf", "Zl", "Zp", "Cs")


class Refusal(Exception):
    """A failure that the user can act on, said in one line."""


def require(purpose, word, *programs):
    """Refuses where a program that PURPOSE needs is not on PATH, naming what installs it."""
    if not all(shutil.which(program) for program in programs):
        raise Refusal(f"{purpose} needs {' and '.join(programs)}, which tools/setup.sh {word} "
                      "installs")


def secret(word, path):
    """A passphrase or PIN, WORD, for PATH: asked on a terminal, else one line of standard input."""
    if sys.stdin.isatty():
        return getpass.getpass(f"{word} for {path}: ", sys.stderr).encode()
    line = sys.stdin.buffer.readline()
    if not line:
        raise Refusal(f"no {word} for '{path}' on standard input")
    return line.rstrip(b"\n")


def hidden(text):
    return visible(text) != text


def visible(text, keep="\t"):
    """The text with each HIDDEN character but those of KEEP written as its escape."""
    return "".join(c if c in keep or unicodedata.category(c) not in HIDDEN
                   else ascii(c)[1:-1] for c in text)


class Visible(io.TextIOBase):
    """A stream that writes what it is given as visible() has it, keeping its line feeds: a line
    that may hold one of its own is made visible() before it is written. Only text passes: it has
    no buffer to write bytes to."""

    def __init__(self, stream):
        super().__init__()
        self.stream = stream

    def write(self, text):
        self.stream.write(visible(text, keep="\t\n"))
        return len(text)

    def flush(self):
        self.stream.flush()

    def fileno(self):
        return self.stream.fileno()

    def isatty(self):
        return self.stream.isatty()


def run(prog, main):
    # A library's warning or log line of a file's oddity is not a line of the tool's, whose streams
    # are exact; what matters of the file, the tool names itself.
    warnings.simplefilter("ignore")
    logging.disable(logging.CRITICAL)
    sys.stdout, sys.stderr = Visible(sys.stdout), Visible(sys.stderr)
    # A signal ends the tool through exit, so that its scratch folders go.
    for number in (signal.SIGHUP, signal.SIGTERM):
        signal.signal(number, lambda n, _: sys.exit(128 + n))
    try:
        sys.exit(main())
    except Refusal as why:
        print(f"{prog}: {visible(str(why))}", file=sys.stderr)
    except OSError as why:
        print(f"{prog}: {visible(str(why.filename or ''))}: {why.strerror}", file=sys.stderr)
    except KeyboardInterrupt:
        sys.exit(130)
    sys.exit(1)
