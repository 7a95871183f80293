"""Forges a release's detached signature as anyone can, in the parts that
no signature covers, for check_verify_release.sh. The signature still
verifies, and the build attaches it.

usage: forge_signature.py HOW SIGNATURE FORGED [URL]
  HOW  spoof: a certificate of the forger's own first, with the signer's
       name and serial number, and an issuer whose name differs from the
       real one's only by a soft hyphen; extra: one more certificate, of a
       root that nobody trusts, naming a revocation list at URL; payload:
       20,000 bytes of the forger's in an unsigned attribute; parameters:
       as many as parameters of a second digest algorithm; duplicate: the
       signer's certificate twice"""
import datetime
import sys

from asn1crypto import algos, cms, core, pem
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
with open(target, "wb") as file:
    file.write(pem.armor("PKCS7", signature.dump()))
