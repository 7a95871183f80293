"""The Authenticode signature of a Windows exe, read with pefile and asn1crypto: its bytes, the
digest it signs, its certificates, its timestamp, and what no signature covers. openssl alone says
which certificate signed what. The reasons: docs/release.md."""
import hashlib
import struct

import pefile
from asn1crypto import algos, cms, core, tsp
from asn1crypto import x509 as asn1_x509
from cryptography import x509
from cryptography.hazmat.primitives.asymmetric import ec, rsa

from . import certificates

TOKEN = "1.3.6.1.4.1.311.3.3.1"  # an RFC 3161 timestamp, as Authenticode carries it
# Far more certificates than a chain has: past it, openssl is not asked of each pair of them.
CERTIFICATE_LIMIT = 16
REVISION, CERTIFICATE_TYPE = 0x200, 2  # a WIN_CERTIFICATE of PKCS#7
DIGESTS = {"sha1", "sha256", "sha384", "sha512"}


class SpcIndirectData(core.Sequence):
    """What an Authenticode signature signs: the digest of the exe."""
    _fields = [("data", core.Any), ("message_digest", algos.DigestInfo)]


def _layout(data):
    """Where the checksum, the certificate table's entry and the table lie."""
    header = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER
    entry = header.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    return (header.get_field_absolute_offset("CheckSum"),
            entry.get_file_offset(), entry.VirtualAddress, entry.Size)


def digest(data, algorithm):
    """The exe's Authenticode digest: of every byte but the checksum, the table's entry and the
    table."""
    checksum_at, entry_at, table_at, size = _layout(data)
    end = table_at if size else len(data)
    hashed = hashlib.new(algorithm)
    for start, stop in ((0, checksum_at), (checksum_at + 4, entry_at), (entry_at + 8, end)):
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


def outside_signature(data, der):
    """What of the exe is neither the image that the digest covers nor DER as attaching writes it:
    the certificate table at the end, one entry padded to 8 bytes, and the checksum of the
    whole."""
    checksum_at, _, table_at, size = _layout(data)
    length = 8 + len(der) + (-len(der) % 8)
    table = struct.pack("<IHH", length, REVISION, CERTIFICATE_TYPE) + der
    table += bytes(length - len(table))
    found = []
    if data[table_at:table_at + length] != table or size != length:
        found.append("bytes beside its signature in its certificate table")
    if len(data) > table_at + length:
        found.append(f"{len(data) - table_at - length} bytes after its certificate table")
    if data[checksum_at:checksum_at + 4] != struct.pack(
            "<I", pefile.PE(data=data, fast_load=True).generate_checksum()):
        found.append("a PE checksum that is not that of its bytes")
    return found


def _certificate(choice):
    """A certificate read whole: cryptography reads a field only when asked, and one that the tools
    use must fail here, in a signature that cannot be read, not in a later check."""
    certificate = x509.load_der_x509_certificate(choice.chosen.dump())
    fields = [certificate.subject.rfc4514_string(), certificate.issuer.rfc4514_string(),
              certificate.not_valid_after, certificate.serial_number, *certificate.extensions]
    if None in fields:
        raise ValueError("a certificate with a field that cannot be read")
    return certificate


# Strings, which DER writes in one piece.
WHOLE_STRINGS = {0x03, 0x04, 0x0C, 0x12, 0x13, 0x14, 0x16, 0x17, 0x18, 0x1A, 0x1C, 0x1E}


def _is_der(data, depth=0):
    """Whether DATA is DER, as every signer writes it: definite lengths in the fewest bytes, and
    strings in one piece. BER's other forms leave room for bytes that no signature covers."""
    at = 0
    while at < len(data):
        if at + 2 > len(data) or data[at] & 0x1F == 0x1F:
            return False
        tag, length, at = data[at], data[at + 1], at + 2
        if length & 0x80:
            count = length & 0x7F
            octets = data[at:at + count]
            length, at = int.from_bytes(octets, "big"), at + count
            if not count or len(octets) < count or octets[0] == 0 or length < 0x80:
                return False
        body, at = data[at:at + length], at + length
        if len(body) < length:
            return False
        if tag & 0x20 and (tag & 0xDF in WHOLE_STRINGS or depth > 40
                           or not _is_der(body, depth + 1)):
            return False
    return True


def _identifier(sid, signer):
    """SID as a signer writes it for SIGNER's certificate: its issuer's name as the certificate
    has it, not one that a looser comparison takes for it."""
    certificate = asn1_x509.Certificate.load(certificates.der(signer))
    if sid.name == "subject_key_identifier":
        return cms.SignerIdentifier({sid.name: certificate.key_identifier})
    return cms.SignerIdentifier({sid.name: {"issuer": certificate.issuer,
                                            "serial_number": certificate.serial_number}})


def _could_be_signer(signed, sid):
    """How many certificates SIGNED holds that a library might take for the one that SID names."""
    held = [c.chosen for c in signed["certificates"] or []]
    if sid.name == "subject_key_identifier":
        return len({c.dump() for c in held if c.key_identifier == sid.chosen.native})
    named = sid.chosen
    return len({c.dump() for c in held if c.serial_number == named["serial_number"].native
                and _folded(c.issuer) == _folded(named["issuer"])})


def _folded(name):
    return certificates.folded(a["value"].native for rdn in name.chosen for a in rdn)


def _known_algorithms(info, signer):
    """Whether the SignerInfo INFO names the algorithms that a signer with SIGNER's key writes: an
    identifier of any other, which nothing signs, could be bytes of anyone's."""
    digest = info["digest_algorithm"]["algorithm"].native
    key = signer.public_key()
    fitting = ({"rsassa_pkcs1v15", f"{digest}_rsa"} if isinstance(key, rsa.RSAPublicKey)
               else {f"{digest}_ecdsa"} if isinstance(key, ec.EllipticCurvePublicKey) else set())
    return digest in DIGESTS and info["signature_algorithm"]["algorithm"].native in fitting


def _plain(algorithm):
    """ALGORITHM as a signer writes it, in DER: its identifier, and no parameters but a NULL."""
    body = algorithm["algorithm"].dump()
    if algorithm["parameters"].dump() == core.Null().dump():
        body += core.Null().dump()
    return type(algorithm).load(core.Sequence(contents=body).dump())


def _covered(signed, signer, chain, kept_attributes, version):
    """SIGNED's ContentInfo's DER as SIGNER writes it, with one copy of each certificate of CHAIN
    and KEPT_ATTRIBUTES unsigned: what a signature covers, or that openssl verified."""
    kept_certificates = {certificates.der(c) for c in chain}
    info = signed["signer_infos"][0]
    fields = {field: info[field] for field in ("signed_attrs", "signature")}
    fields["sid"] = _identifier(info["sid"], signer)
    fields["version"] = "v1" if info["sid"].name == "issuer_and_serial_number" else "v3"
    fields["digest_algorithm"] = _plain(info["digest_algorithm"])
    fields["signature_algorithm"] = _plain(info["signature_algorithm"])
    if kept_attributes:
        fields["unsigned_attrs"] = kept_attributes
    content = {"version": version, "digest_algorithms": [_plain(info["digest_algorithm"])],
               "encap_content_info": signed["encap_content_info"]}
    kept = list({c.chosen.dump(): c for c in reversed(signed["certificates"] or [])
                 if c.chosen.dump() in kept_certificates}.values())[::-1]
    if kept:
        content["certificates"] = kept
    content["signer_infos"] = [cms.SignerInfo(fields)]
    return cms.ContentInfo({"content_type": "signed_data",
                            "content": cms.SignedData(content)}).dump(force=False)


def _chain(leaf, held):
    """LEAF's chain among HELD, as openssl verifies it; LEAF alone where HELD are too many."""
    if leaf is None:
        return []
    return certificates.chain(leaf, held) if len(held) <= CERTIFICATE_LIMIT else [leaf]


def _extras(signed, chain):
    """How many certificates SIGNED holds beyond one copy of each of CHAIN's."""
    kept = {certificates.der(c) for c in chain}
    held = [c.chosen.dump() for c in signed["certificates"] or []]
    return len(held) - len(kept & set(held))


def from_pem(data):
    """The signature in a .signature file, as tools/sign.py writes it; ValueError for others."""
    return Signature(certificates.blocks(data)[0])


class Signature:
    """A PKCS#7 Authenticode signature, read whole at once, with openssl's word on which
    certificates signed it and its timestamp; ValueError for anything else."""

    def __init__(self, der):
        self.der = der
        try:
            self._read(der)
        except Exception as why:  # the libraries' every kind, for bytes of every kind
            raise ValueError(f"not a signature that can be read: {why}") from None
        if self.algorithm not in hashlib.algorithms_available:
            raise ValueError(f"a digest of {self.algorithm}, which is not known here")

    def _read(self, der):
        signed = cms.ContentInfo.load(der, strict=True)["content"]
        if (not isinstance(signed, cms.SignedData) or signed["encap_content_info"][
                "content_type"].dotted != "1.3.6.1.4.1.311.2.1.4"):
            raise ValueError("not an Authenticode signature")
        signs = signed["encap_content_info"]["content"].parse(SpcIndirectData)
        self.algorithm = signs["message_digest"]["digest_algorithm"]["algorithm"].native
        self.signed_digest = signs["message_digest"]["digest"].native
        self.certificates = [_certificate(c) for c in signed["certificates"] or []]
        info = signed["signer_infos"][0]
        self.signer = certificates.verified_signer(der, signs.contents)
        self.could_be_signer = _could_be_signer(signed, info["sid"])
        self.chain = _chain(self.signer, self.certificates)
        attributes = list(info["unsigned_attrs"] or [])
        tokens = [a for a in attributes if a["type"].dotted == TOKEN and len(a["values"]) == 1]
        self.token = tokens[0]["values"][0] if tokens else None
        # What the timestamp vouches for: the signer's signature.
        self.signature_value = info["signature"].native
        self.uncovered = []
        if not (_is_der(der) and _is_der(signs.dump())):
            self.uncovered.append("an encoding other than DER")
        if self.signer and not _known_algorithms(info, self.signer):
            self.uncovered.append("an algorithm that its signer's key does not use")
        extra, others = _extras(signed, self.chain), len(attributes) - len(tokens[:1])
        if extra:
            self.uncovered.append(f"{extra} certificate{'s' * (extra > 1)} beyond its signer's "
                                  "chain")
        if others:
            self.uncovered.append(f"{others} unsigned attribute{'s' * (others > 1)} other than "
                                  "a timestamp")
        self.stamped = self.stamper = self.stamps_signature = None
        self.stamper_chain = []
        if self.token is not None:
            self._read_token(self.token)
        if not self.uncovered and self.signer and _covered(
                signed, self.signer, self.chain, tokens[:1], "v1") != der:
            self.uncovered.append("bytes beside what it signs and the certificates of its chains")

    def _read_token(self, token):
        stamp = token["content"]
        stamps = stamp["encap_content_info"]["content"].parse(tsp.TSTInfo)
        self.stamped = stamps["gen_time"].native
        imprint = stamps["message_imprint"]
        self.stamps_signature = hashlib.new(
            imprint["hash_algorithm"]["algorithm"].native,
            self.signature_value).digest() == imprint["hashed_message"].native
        self.stamper = certificates.verified_signer(token.dump())
        if self.stamper is None:
            self.uncovered.append("a timestamp that none of its certificates verifies")
        self.could_be_signer = max(self.could_be_signer,
                                   _could_be_signer(stamp, stamp["signer_infos"][0]["sid"]))
        held = [_certificate(c) for c in stamp["certificates"] or []]
        self.stamper_chain = _chain(self.stamper, held)
        extra = _extras(stamp, self.stamper_chain)
        if extra:
            self.uncovered.append(f"a timestamp with {extra} certificate{'s' * (extra > 1)} beyond "
                                  "the time-stamp authority's chain")
        if stamp["encap_content_info"]["content_type"].native != "tst_info":
            self.uncovered.append("a timestamp whose content is not named a timestamp's")
        if self.stamper and not _known_algorithms(stamp["signer_infos"][0], self.stamper):
            self.uncovered.append("a timestamp with an algorithm that its authority's key does "
                                  "not use")
        if not self.uncovered and self.stamper and _covered(
                stamp, self.stamper, self.stamper_chain, [], "v3") != token.dump():
            self.uncovered.append("a timestamp with bytes beside what its authority signs and "
                                  "the certificates of its chain")

    @property
    def timestamped(self):
        """Whether it holds a timestamp of its own signature that openssl verifies."""
        return bool(self.stamped and self.stamper and self.stamps_signature)

    def signs(self, exe_bytes):
        return digest(exe_bytes, self.algorithm) == self.signed_digest
