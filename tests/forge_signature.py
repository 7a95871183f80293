"""Forges a release's detached signature as anyone can, in the parts that
no signature covers, for check_verify_release.sh. The signature still
verifies, and the build attaches it.

usage: forge_signature.py HOW SIGNATURE FORGED [URL [ROOT]]
  HOW  spoof: a certificate of the forger's own first, with the signer's
       name and serial number, and an issuer whose name differs from the
       real one's only by a soft hyphen; extra: one more certificate, of a
       root that nobody trusts, naming a revocation list at URL; payload:
       20,000 bytes of the forger's in an unsigned attribute; parameters:
       as many as parameters of a second digest algorithm; duplicate: the
       signer's certificate twice; blanks: 2,000 blanks and tabs in the
       issuer's name that names the signer, which openssl's comparison of
       names skips; chunks: the timestamp's content in 8,001 pieces, which
       BER allows; graft: the timestamp replaced by one of other bytes, from
       the authority at URL; root: a copy of ROOT's certificate whose
       signature is 20,000 bytes of the forger's; root-key-id: the same, which
       names another key as its issuer's, so that openssl does not take it
       for a root that signed itself; past-root: a certificate
       of ROOT's name and key, signed by nobody, that names a list at URL,
       as though its issuer were another root; algorithm: the signer's
       signature algorithm named by an identifier of 200 arcs of the
       forger's; relabelled: the RSA signer's signature named ECDSA's;
       content-type: the timestamp's content named plain data;
       unverified: the authority's signature in the timestamp replaced by
       20,000 bytes of the forger's, and its certificates dropped"""
import hashlib
import urllib.request
import datetime
import sys

from asn1crypto import algos, cms, core, parser, pem, tsp
from asn1crypto import x509 as asn1_x509
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

how, source, target = sys.argv[1:4]
with open(source, "rb") as file:
    signature = cms.ContentInfo.load(pem.unarmor(file.read())[2])
signed = signature["content"]
info = signed["signer_infos"][0]
key = ec.generate_private_key(ec.SECP256R1())


def made(subject, issuer, serial, extensions=()):
    start = datetime.datetime(2026, 1, 1)
    builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer)
               .public_key(key.public_key()).serial_number(serial)
               .not_valid_before(start).not_valid_after(start + datetime.timedelta(days=3650)))
    for extension in extensions:
        builder = builder.add_extension(extension, critical=False)
    der = builder.sign(key, hashes.SHA256()).public_bytes(serialization.Encoding.DER)
    return cms.CertificateChoices({"certificate": asn1_x509.Certificate.load(der)})


held = list(signed["certificates"])
if how == "spoof":
    serial = info["sid"].chosen["serial_number"].native
    real = next(x509.load_der_x509_certificate(c.chosen.dump()) for c in held
                if c.chosen.serial_number == serial)
    issuer = x509.Name([
        x509.NameAttribute(a.oid, a.value[:3] + "\u00ad" + a.value[3:])
        if a.oid == NameOID.COMMON_NAME else a for a in real.issuer])
    signed["certificates"] = [made(real.subject, issuer, serial)] + held
elif how == "extra":
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "nobody's root")])
    points = x509.CRLDistributionPoints([x509.DistributionPoint(
        [x509.UniformResourceIdentifier(sys.argv[4])], None, None, None)])
    signed["certificates"] = held + [made(name, name, 7, [points])]
elif how == "payload":
    smuggled = cms.CMSAttribute({"type": "1.3.6.1.4.1.311.2.6.1",
                                 "values": [core.OctetString(b"MZ" * 10000)]})
    info["unsigned_attrs"] = list(info["unsigned_attrs"] or []) + [smuggled]
elif how == "parameters":
    # As DER, which asn1crypto would make a NULL of.
    smuggled = core.ObjectIdentifier("2.16.840.1.101.3.4.2.3").dump() + core.OctetString(
        b"MZ" * 10000).dump()
    signed["digest_algorithms"] = list(signed["digest_algorithms"]) + [
        algos.DigestAlgorithm.load(core.Sequence(contents=smuggled).dump())]
elif how == "duplicate":
    signed["certificates"] = held + held[:1]
elif how in ("root", "root-key-id", "past-root"):
    with open(sys.argv[5], "rb") as file:
        root = asn1_x509.Certificate.load(pem.unarmor(file.read())[2])
    signed_part = root["tbs_certificate"].copy()
    if how == "root-key-id":
        signed_part["extensions"] = list(signed_part["extensions"]) + [asn1_x509.Extension({
            "extn_id": "authority_key_identifier", "extn_value": {"key_identifier": b"\1" * 20}})]
    if how == "past-root":
        signed_part["issuer"] = asn1_x509.Name.build({"common_name": "nobody's root"})
        signed_part["extensions"] = list(signed_part["extensions"]) + [asn1_x509.Extension({
            "extn_id": "crl_distribution_points", "extn_value": [
                {"distribution_point": {"full_name": [asn1_x509.GeneralName(
                    name="uniform_resource_identifier", value=sys.argv[4])]}}]})]
    forged = asn1_x509.Certificate({
        "tbs_certificate": signed_part, "signature_algorithm": root["signature_algorithm"],
        "signature_value": b"MZ" * 10000})
    signed["certificates"] = held + [cms.CertificateChoices({"certificate": forged})]
elif how == "algorithm":
    info["signature_algorithm"] = algos.SignedDigestAlgorithm({
        "algorithm": "1.2.3." + ".".join(str(byte) for byte in b"MZ" * 100),
        "parameters": core.Null()})
elif how == "relabelled":
    info["signature_algorithm"] = algos.SignedDigestAlgorithm({"algorithm": "sha512_ecdsa"})
elif how in ("content-type", "unverified"):
    attributes = list(info["unsigned_attrs"])
    token = attributes[-1]["values"][0]
    if how == "content-type":
        token["content"]["encap_content_info"]["content_type"] = "data"
    else:
        token["content"]["signer_infos"][0]["signature"] = b"MZ" * 10000
        token["content"]["certificates"] = None
    attributes[-1] = cms.CMSAttribute({"type": attributes[-1]["type"], "values": [token]})
    info["unsigned_attrs"] = attributes
elif how == "blanks":
    sid = info["sid"].chosen
    first, rest = sid["issuer"].native["common_name"].split(" ", 1)
    info["sid"] = cms.SignerIdentifier({"issuer_and_serial_number": {
        "issuer": asn1_x509.Name.build({"common_name": first + " \t" * 1000 + rest}),
        "serial_number": sid["serial_number"].native}})
elif how in ("chunks", "graft"):
    attributes = list(info["unsigned_attrs"])
    token = attributes[-1]["values"][0]
    if how == "chunks":
        encapsulated = token["content"]["encap_content_info"]
        pieces = b"\x24\x80" + b"\x04\x00" * 8000 + core.OctetString(
            encapsulated["content"].parsed.dump()).dump() + b"\x00\x00"
        token["content"]["encap_content_info"] = cms.EncapsulatedContentInfo.load(parser.emit(
            0, 1, 16, encapsulated["content_type"].dump() + parser.emit(2, 1, 0, pieces)))
    else:
        query = tsp.TimeStampReq({"version": 1, "cert_req": True, "message_imprint": {
            "hash_algorithm": {"algorithm": "sha256"},
            "hashed_message": hashlib.sha256(b"other bytes").digest()}})
        with urllib.request.urlopen(urllib.request.Request(sys.argv[4], query.dump(), {
                "Content-Type": "application/timestamp-query"}), timeout=30) as reply:
            token = tsp.TimeStampResp.load(reply.read())["time_stamp_token"]
    attributes[-1] = cms.CMSAttribute({"type": attributes[-1]["type"], "values": [token]})
    info["unsigned_attrs"] = attributes
with open(target, "wb") as file:
    file.write(pem.armor("PKCS7", signature.dump()))
