"""How every release tool ends: a failure is one line on standard error and exit status 1, never a
traceback, and no byte that came from a file reaches the terminal as a control character."""
import signal
import sys
import unicodedata
import warnings


class Refusal(Exception):
    """A failure that the user can act on, said in one line."""


def visible(text):
    """The text with each control, format or line-separator character written as its escape, so
    that none can move the cursor or fake a line."""
    return "".join(
        c if c == "\t" or unicodedata.category(c) not in ("Cc", "Cf", "Zl", "Zp")
        else ascii(c)[1:-1] for c in text)


def run(prog, main):
    # A library's warning of a file's oddity is not a line of the tool's, whose streams are exact;
    # what matters of the file, the tool names itself.
    warnings.simplefilter("ignore")
    # A signal ends the tool through exit, so that its scratch folders go.
    for number in (signal.SIGHUP, signal.SIGTERM):
        signal.signal(number, lambda n, _: sys.exit(128 + n))
    try:
        sys.exit(main())
    except Refusal as why:
        print(f"{prog}: {visible(str(why))}", file=sys.stderr)
    except OSError as why:
        print(f"{prog}: {visible(str(why.filename or ''))}: {why.strerror}",
              file=sys.stderr)
    except KeyboardInterrupt:
        sys.exit(130)
    sys.exit(1)
