"""Whether a certificate of a chain is revoked. openssl verify judges it, against the lists given
or fetched from the addresses that the chain's certificates name; the lists, read with
cryptography, name which certificate, when and why."""
import subprocess
import urllib.request

from cryptography import x509
from cryptography.hazmat.primitives import serialization

from . import certificates

LIST_LIMIT = 4 << 20


class Unavailable(Exception):
    """A list that could not be had: why, in a few words."""


def addresses(path):
    """The http addresses of the lists that PATH's certificates name."""
    found = []
    for certificate in path:
        try:
            points = certificate.extensions.get_extension_for_class(
                x509.CRLDistributionPoints).value
        except (x509.ExtensionNotFound, ValueError):
            continue
        for point in points:
            for where in point.full_name or []:
                if (isinstance(where, x509.UniformResourceIdentifier)
                        and where.value.startswith(("http://", "https://"))
                        and where.value not in found):
                    found.append(where.value)
    return found


def parse(data):
    """The lists in DATA, DER or PEM; ValueError where it holds none."""
    try:
        return [x509.load_der_x509_crl(data)]
    except ValueError:
        return [x509.load_der_x509_crl(der) for der in certificates.blocks(data)]


def fetch(url):
    try:
        with urllib.request.urlopen(url, timeout=30) as answer:
            data = answer.read(LIST_LIMIT + 1)
    except (OSError, ValueError) as why:
        raise Unavailable(f"{url} did not answer") from why
    try:
        return parse(data[:LIST_LIMIT])
    except ValueError as why:
        raise Unavailable(f"{url} gave no revocation list") from why


def check(root_file, path, lists, scratch):
    """None where openssl finds no certificate of PATH revoked; else what the lists say of it:
    (certificate, 'on DATE (REASON)') where one is revoked, (certificate, None) where no list
    covers it, or None, '' where the lists do not tell."""
    leaf, untrusted, given = (scratch / "leaf.pem", scratch / "untrusted.pem",
                              scratch / "lists.pem")
    leaf.write_bytes(certificates.pem(path[:1]))
    untrusted.write_bytes(certificates.pem(path[1:]))
    given.write_bytes(b"".join(
        crl.public_bytes(serialization.Encoding.PEM) for crl in lists))
    # openssl refuses an -untrusted file without a certificate.
    others = ["-untrusted", untrusted] if path[1:] else []
    if subprocess.run(
            ["openssl", "verify", "-no_check_time", "-crl_check_all",
             "-CAfile", root_file, *others, "-CRLfile", given, leaf],
            capture_output=True, timeout=120).returncode == 0:
        return None
    roots = certificates.load(root_file)
    for certificate in path + roots:
        covering = [crl for crl in lists if crl.issuer == certificate.issuer]
        if not covering:
            return certificate, None
        for crl in covering:
            entry = crl.get_revoked_certificate_by_serial_number(
                certificate.serial_number)
            if entry is not None:
                return certificate, revoked_on(entry)
    return None, ""


def revoked_on(entry):
    when = certificates.utc(entry, "revocation_date").strftime(
        "%b %e %H:%M:%S %Y GMT")
    try:
        reason = entry.extensions.get_extension_for_class(x509.CRLReason).value
        return f"on {when} ({reason.reason.value})"
    except x509.ExtensionNotFound:
        return f"on {when}"
