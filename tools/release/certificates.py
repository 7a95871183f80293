"""Certificates and their chains, read with cryptography; only osslsigncode and openssl judge them,
by their exit status, and which certificate signed what is openssl's word too. The reasons:
docs/release.md."""
import datetime
import pathlib
import subprocess
import tempfile
import unicodedata

from asn1crypto import pem as armour
from cryptography import x509
from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes, serialization

from . import dpkg


def name(subject):
    """A certificate's name, as every tool here writes it."""
    return ", ".join(attribute.rfc4514_string() for attribute in subject)


def fingerprint(certificate):
    return ":".join(f"{b:02X}" for b in certificate.fingerprint(hashes.SHA256()))


def described(certificate):
    """A certificate as every tool names it: its name, and its SHA-256 fingerprint."""
    return (f"{name(certificate.subject)}, whose certificate has the SHA-256 fingerprint "
            f"{fingerprint(certificate)}")


def der(certificate):
    return certificate.public_bytes(serialization.Encoding.DER)


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


def folded(values):
    """A name's values as the loosest comparison of names would have them: each folded to its
    letters and digits, of any case or form. Two names that any library might take for one fold
    alike."""
    forms = (unicodedata.normalize("NFKC", str(value)).casefold() for value in values)
    return [word for word in ("".join(c for c in form if c.isalnum()) for form in forms) if word]


def similar(one, other):
    return folded(a.value for a in one) == folded(a.value for a in other)


def openssl(arguments, files, wanted=()):
    """Runs openssl in a folder of its own that holds FILES, {file name: bytes}: the bytes of each
    file of WANTED that it wrote, or None where it failed."""
    with tempfile.TemporaryDirectory() as folder:
        for file, data in files.items():
            pathlib.Path(folder, file).write_bytes(data)
        answer = subprocess.run(["openssl", *arguments], cwd=folder, capture_output=True,
                                stdin=subprocess.DEVNULL, timeout=120)
        written = {file: pathlib.Path(folder, file).read_bytes() for file in wanted
                   if pathlib.Path(folder, file).is_file()}
    return written if answer.returncode == 0 else None


def verified_signer(der, content=None):
    """The certificate of those that a PKCS#7 signature holds with whose key openssl verifies it
    (of CONTENT, where given, as Authenticode signs), or None."""
    command = (["cms", "-verify"] if content is None
               else ["smime", "-verify", "-content", "content.bin"])
    written = openssl(
        [*command, "-binary", "-noverify", "-inform", "DER", "-in", "signed.der",
         "-signer", "signer.pem", "-out", "/dev/null"],
        {"signed.der": der, "content.bin": content or b""}, ["signer.pem"])
    return x509.load_pem_x509_certificate(written["signer.pem"]) if written else None


def issued(certificate, issuers):
    """Whether openssl finds that one of ISSUERS issued and signed CERTIFICATE, whatever the
    time."""
    return openssl(["verify", "-partial_chain", "-no_check_time", "-CAfile", "issuers.pem",
                    "certificate.pem"],
                   {"issuers.pem": pem(issuers), "certificate.pem": pem([certificate])}) is not None


def signs_itself(certificate):
    """Whether openssl finds CERTIFICATE's signature made with its own key, as a root's is."""
    try:
        digest = certificate.signature_hash_algorithm.name
        key = certificate.public_key().public_bytes(serialization.Encoding.PEM,
                                                    serialization.PublicFormat.SubjectPublicKeyInfo)
    except (AttributeError, ValueError, UnsupportedAlgorithm):
        return False
    return openssl(["dgst", f"-{digest}", "-verify", "key.pem", "-signature", "signature.bin",
                    "signed.der"], {"key.pem": key, "signature.bin": certificate.signature,
                                    "signed.der": certificate.tbs_certificate_bytes}) is not None


def chain(leaf, others):
    """LEAF, then each of OTHERS in turn that openssl finds signed the one before. A root among
    them, which openssl would trust unread, is taken only where it signed itself."""
    path = [leaf]
    while True:
        issuer = next((c for c in others if c not in path and similar(c.subject, path[-1].issuer)
                       and issued(path[-1], [c])
                       and (not similar(c.subject, c.issuer) or signs_itself(c))), None)
        if issuer is None:
            return path
        path.append(issuer)


def up_to(path, roots):
    """PATH as far as its first certificate that openssl finds one of ROOTS signed, or None where
    none of them signed any."""
    return next((path[:at + 1] for at in range(len(path)) if issued(path[at], roots)), None)


def utc(item, field):
    """A time that cryptography gives, with its zone: 38 gives FIELD without one, 42 FIELD_utc."""
    aware = getattr(item, field + "_utc", None)
    return aware or getattr(item, field).replace(tzinfo=datetime.timezone.utc)


def expired(path):
    """Whether a certificate of PATH has expired."""
    now = datetime.datetime.now(datetime.timezone.utc)
    return any(utc(c, "not_valid_after") < now for c in path)


def why_not_to(path, roots):
    """Why PATH does not lead to one of ROOTS, as far as names tell."""
    top = path[-1]
    if all(top.issuer != root.subject for root in roots):
        return f"its last certificate was issued by {name(top.issuer)}, not by that root"
    return ""


def signature_verified(exe, root, tsa_root):
    """osslsigncode's verdict on the signature and the signer's chain, at the timestamp's time
    where its chain leads to TSA_ROOT. Revocation is checked apart: osslsigncode 2.9 would fetch
    the lists itself unless told -ignore-crl, and 2.5 takes no such option."""
    command = ["osslsigncode", "verify", "-CAfile", str(root or "/dev/null"),
               "-TSA-CAfile", str(tsa_root or "/dev/null"), "-in", str(exe)]
    if dpkg.at_least("osslsigncode", "2.9"):
        command.insert(2, "-ignore-crl")
    return subprocess.run(command, capture_output=True, timeout=120).returncode == 0


def timestamp_verified(signature, tsa_root):
    """openssl's verdict on the timestamp and its chain, at its own time."""
    return openssl(
        ["ts", "-verify", "-token_in", "-in", "token.der", "-data", "stamped.bin",
         "-CAfile", "root.pem", "-untrusted", "chain.pem",
         "-attime", str(int(signature.stamped.timestamp()))],
        {"token.der": signature.token.dump(), "stamped.bin": signature.signature_value,
         "root.pem": tsa_root.read_bytes(), "chain.pem": pem(signature.stamper_chain)}) is not None
