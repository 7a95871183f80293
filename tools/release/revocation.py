"""Whether a certificate of a chain is revoked: openssl verify judges it against the lists given,
or fetched from the addresses that the chain names, and the lists say which, when and why. A fetch
is bounded in size, in time and to the host of its address. The reasons: docs/release.md."""
import contextlib
import dataclasses
import signal
import time
import urllib.parse
import urllib.request

from cryptography import x509
from cryptography.hazmat.primitives import serialization

from . import certificates

LIST_LIMIT = 4 << 20
# Seconds for one address, all its redirects and its every byte; and for every address together.
ONE_SECONDS, ALL_SECONDS = 30, 60


class Unavailable(Exception):
    """A list that could not be had: why, in a few words."""


@dataclasses.dataclass
class Outcome:
    """What the lists say of a chain: nothing set where openssl finds none of it revoked."""
    revoked: object = None  # a certificate that a list revokes, WHEN ("on DATE (REASON)")
    when: str = ""
    uncovered: object = None  # a certificate that no list covers
    unclear: bool = False  # openssl refused the chain, and the lists do not say why


def addresses(path):
    """The http and https addresses of the lists that PATH's certificates name."""
    found = []
    for certificate in path:
        try:
            points = certificate.extensions.get_extension_for_class(
                x509.CRLDistributionPoints).value
        except (x509.ExtensionNotFound, ValueError):
            continue
        found += [where.value for point in points for where in point.full_name or []
                  if isinstance(where, x509.UniformResourceIdentifier)
                  and urllib.parse.urlsplit(where.value).scheme in ("http", "https")]
    return list(dict.fromkeys(found))


def parse(data):
    """The lists in DATA, DER or PEM; ValueError where it holds none."""
    try:
        return [x509.load_der_x509_crl(data)]
    except ValueError:
        return [x509.load_der_x509_crl(der) for der in certificates.blocks(data)]


class _SameHost(urllib.request.HTTPRedirectHandler):
    """Follows a redirect only to the same scheme and host: a list's address is the certificate's
    word, and another host's is nobody's."""

    def redirect_request(self, request, *response):
        # urllib passes the response's file, status, message and headers, then the new address.
        new_address = response[-1]
        if urllib.parse.urlsplit(new_address)[:2] != urllib.parse.urlsplit(request.full_url)[:2]:
            raise Unavailable(f"{request.full_url} sent it elsewhere, which is not followed")
        return super().redirect_request(request, *response)


@contextlib.contextmanager
def _within(seconds):
    """Raises TimeoutError in the block once SECONDS have passed, however its reads trickle."""
    def expire(*_):
        raise TimeoutError
    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


class Fetcher:
    """Fetches lists until its time for all of them has run out."""

    def __init__(self, seconds=ALL_SECONDS):
        self.end = time.monotonic() + seconds

    def fetch(self, url):
        left = min(ONE_SECONDS, self.end - time.monotonic())
        if left <= 0:
            raise Unavailable(f"{url} was not fetched: the lists took {ALL_SECONDS} s in all")
        try:
            with _within(left), urllib.request.build_opener(_SameHost).open(
                    url, timeout=left) as answer:
                data = answer.read(LIST_LIMIT + 1)
        except TimeoutError:
            raise Unavailable(f"{url} did not answer within {left:.0f} s") from None
        except (OSError, ValueError) as why:
            raise Unavailable(f"{url} did not answer") from why
        try:
            return parse(data[:LIST_LIMIT])
        except ValueError as why:
            raise Unavailable(f"{url} gave no revocation list") from why


def check(root_file, path, lists):
    """What LISTS say of PATH, a chain that leads to the root in ROOT_FILE."""
    # openssl refuses an -untrusted file without a certificate.
    others = ["-untrusted", "untrusted.pem"] if path[1:] else []
    if certificates.openssl(
            ["verify", "-no_check_time", "-crl_check_all", "-CAfile", "root.pem", *others,
             "-CRLfile", "lists.pem", "leaf.pem"],
            {"leaf.pem": certificates.pem(path[:1]), "untrusted.pem": certificates.pem(path[1:]),
             "root.pem": root_file.read_bytes(),
             "lists.pem": b"".join(crl.public_bytes(serialization.Encoding.PEM)
                                   for crl in lists)}) is not None:
        return Outcome()
    for certificate in path + certificates.load(root_file):
        covering = [crl for crl in lists if crl.issuer == certificate.issuer]
        if not covering:
            return Outcome(uncovered=certificate)
        for crl in covering:
            entry = crl.get_revoked_certificate_by_serial_number(certificate.serial_number)
            if entry is not None:
                return Outcome(revoked=certificate, when=revoked_on(entry))
    return Outcome(unclear=True)


def revoked_on(entry):
    when = certificates.utc(entry, "revocation_date").strftime("%b %e %H:%M:%S %Y GMT")
    try:
        reason = entry.extensions.get_extension_for_class(x509.CRLReason).value
        return f"on {when} ({reason.reason.value})"
    except x509.ExtensionNotFound:
        return f"on {when}"
