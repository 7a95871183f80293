"""Certificates and the chains they make, read with cryptography, and the verdicts on them, which
only osslsigncode and openssl give, by their exit status."""
import datetime
import subprocess

from asn1crypto import pem as armour
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization


def name(subject):
    """A certificate's name, as every tool here writes it."""
    return ", ".join(attribute.rfc4514_string() for attribute in subject)


def fingerprint(certificate):
    return ":".join(f"{b:02X}" for b in certificate.fingerprint(hashes.SHA256()))


def pem(certificates):
    return b"".join(c.public_bytes(serialization.Encoding.PEM) for c in certificates)


def blocks(data):
    """The DER of each block of PEM data; ValueError where it holds none."""
    found = [der for _, _, der in armour.unarmor(data, multiple=True)]
    if not found:
        raise ValueError("no PEM block")
    return found


def load(path):
    """The certificates of a PEM file; ValueError where it holds none."""
    return [x509.load_der_x509_certificate(der) for der in blocks(path.read_bytes())]


def utc(item, field):
    """A time that cryptography gives, as an aware one: 42 and later name it FIELD_utc, and 38
    gives it without a zone."""
    aware = getattr(item, field + "_utc", None)
    return aware or getattr(item, field).replace(tzinfo=datetime.timezone.utc)


def chain(leaf, others):
    """LEAF, then each issuer in turn among OTHERS, as far as they go."""
    path = [leaf]
    while path[-1].issuer != path[-1].subject:
        issuer = next((c for c in others if c.subject == path[-1].issuer
                       and c not in path), None)
        if issuer is None:
            break
        path.append(issuer)
    return path


def expired(path, at=None):
    """The first certificate of PATH that has expired at AT, or now."""
    at = at or datetime.datetime.now(datetime.timezone.utc)
    return next((c for c in path if utc(c, "not_valid_after") < at), None)


def why_not_to(path, roots):
    """Why PATH does not lead to one of ROOTS, as far as names tell."""
    top = path[-1]
    if all(top.issuer != root.subject for root in roots):
        return f"its last certificate was issued by {name(top.issuer)}, not by that root"
    return ""


def _checks_lists_itself():
    """Whether osslsigncode fetches the revocation lists that certificates name, as 2.9 does unless
    told -ignore-crl; 2.5 fetches none."""
    version = subprocess.run(
        ["dpkg-query", "-W", "-f", "${Version}", "osslsigncode"],
        capture_output=True, text=True).stdout
    return subprocess.run(["dpkg", "--compare-versions", version, "ge", "2.9"],
                          capture_output=True).returncode == 0


def signature_verified(exe, root, tsa_root):
    """osslsigncode's verdict on the signature and the signer's chain, at the timestamp's time
    where the timestamp's chain leads to TSA_ROOT. Revocation is checked apart, against the lists
    given or fetched."""
    command = ["osslsigncode", "verify", "-CAfile", str(root or "/dev/null"),
               "-TSA-CAfile", str(tsa_root or "/dev/null"), "-in", str(exe)]
    if _checks_lists_itself():
        command.insert(2, "-ignore-crl")
    return subprocess.run(command, capture_output=True, timeout=120).returncode == 0


def timestamp_verified(signature, tsa_root, scratch):
    """openssl's verdict on the timestamp and its chain, at its own time."""
    token, data, chain_file = (scratch / "token.der", scratch / "stamped.bin",
                               scratch / "tsa-chain.pem")
    token.write_bytes(signature.token.dump())
    data.write_bytes(signature.signature_value)
    chain_file.write_bytes(pem(signature.stamper_chain))
    return subprocess.run(
        ["openssl", "ts", "-verify", "-token_in", "-in", token, "-data", data,
         "-CAfile", tsa_root, "-untrusted", chain_file,
         "-attime", str(int(signature.stamped.timestamp()))],
        capture_output=True, timeout=120).returncode == 0
