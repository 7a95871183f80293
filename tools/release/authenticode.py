"""The Authenticode signature of a Windows exe, read with pefile and asn1crypto: the signature's
bytes as the exe holds them, the digest of the exe that it signs against the exe's own, its
certificates, and its RFC 3161 timestamp. Nothing here judges a signature: osslsigncode and openssl
do, and what is read here names what they found."""
import hashlib
import struct

import pefile
from asn1crypto import algos, cms, core, tsp
from cryptography import x509


class SpcIndirectData(core.Sequence):
    """What an Authenticode signature signs: the digest of the exe."""
    _fields = [("data", core.Any), ("message_digest", algos.DigestInfo)]


def _layout(data):
    """Where the checksum, the certificate table's entry and the table lie."""
    pe = pefile.PE(data=data, fast_load=True)
    header = pe.OPTIONAL_HEADER
    entry = header.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    return (header.get_field_absolute_offset("CheckSum"),
            entry.get_file_offset(), entry.VirtualAddress, entry.Size)


def digest(data, algorithm):
    """The exe's Authenticode digest: of every byte but the checksum, the table's entry and the
    table."""
    checksum_at, entry_at, table_at, size = _layout(data)
    end = table_at if size else len(data)
    hashed = hashlib.new(algorithm)
    for start, stop in ((0, checksum_at), (checksum_at + 4, entry_at),
                        (entry_at + 8, end)):
        hashed.update(data[start:stop])
    return hashed.digest()


def attached(data):
    """The signature that the exe carries, DER, and the bytes after it in its table entry; None for
    an exe that carries none, or is no exe."""
    try:
        _, _, table_at, size = _layout(data)
    except (pefile.PEFormatError, AttributeError, IndexError, ValueError, struct.error):
        return None
    if not size or table_at + 8 > len(data):
        return None
    length = int.from_bytes(data[table_at:table_at + 4], "little")
    blob = data[table_at + 8:table_at + length]
    try:
        der_length = len(cms.ContentInfo.load(blob, strict=False).dump())
    except ValueError:
        return None
    return blob[:der_length], blob[der_length:]


def _certificate(der):
    """A certificate with each field that the tools read read now, as cryptography reads them only
    when asked, so that a malformed one fails here."""
    certificate = x509.load_der_x509_certificate(der)
    certificate.subject.rfc4514_string(), certificate.issuer.rfc4514_string()
    (certificate.not_valid_after, certificate.serial_number, list(certificate.extensions))
    return certificate


def _signer(signed):
    """The SignerInfo, and the certificate among SIGNED's that it names."""
    info = signed["signer_infos"][0]
    sid = info["sid"].chosen
    for choice in signed["certificates"]:
        certificate = choice.chosen
        if (certificate.issuer == sid["issuer"]
                and certificate.serial_number == sid["serial_number"].native):
            return info, _certificate(certificate.dump())
    raise ValueError("the signature holds no certificate of its signer")


class Signature:
    """A PKCS#7 Authenticode signature, read whole at once. Raises ValueError for anything else,
    however it is made."""

    def __init__(self, der):
        self.der = der
        try:
            self._read(der)
        except Exception as why:  # the libraries' every kind, for bytes of every kind
            raise ValueError(f"not a signature that can be read: {why}") from None
        if self.algorithm not in hashlib.algorithms_available:
            raise ValueError(f"a digest of {self.algorithm}, which is not known here")

    def _read(self, der):
        signed = cms.ContentInfo.load(der)["content"]
        if (not isinstance(signed, cms.SignedData) or signed["encap_content_info"][
                "content_type"].dotted != "1.3.6.1.4.1.311.2.1.4"):
            raise ValueError("not an Authenticode signature")
        content = signed["encap_content_info"]["content"]
        signs = content.parse(SpcIndirectData)
        self.algorithm = signs["message_digest"]["digest_algorithm"]["algorithm"].native
        self.signed_digest = signs["message_digest"]["digest"].native
        self.certificates = [_certificate(c.chosen.dump()) for c in signed["certificates"]]
        info, self.signer = _signer(signed)
        self.token = self.stamped = self.authority = self.countersigned = None
        for attribute in info["unsigned_attrs"] or []:
            if attribute["type"].dotted == "1.3.6.1.4.1.311.3.3.1":  # an RFC 3161 token
                self.token = attribute["values"][0]
            elif attribute["type"].native == "counter_signature":  # the older kind
                self.countersigned = next(
                    (a["values"][0].native for a in attribute["values"][0]["signed_attrs"]
                     if a["type"].native == "signing_time"), None)
        if self.token is not None:
            token = self.token["content"]
            self.stamped = token["encap_content_info"]["content"].parse(tsp.TSTInfo)[
                "gen_time"].native
            self.stamper = _signer(token)[1]
            self.authority = self.stamper.issuer
            self.stamper_chain = [_certificate(c.chosen.dump()) for c in token["certificates"]]
        # What the timestamp vouches for: the signer's signature.
        self.signature_value = info["signature"].native

    def fits(self, exe_bytes):
        return digest(exe_bytes, self.algorithm) == self.signed_digest
