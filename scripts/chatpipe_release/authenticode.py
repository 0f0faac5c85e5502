"""Authenticode signatures of PE programs, read and checked in this process.

Where a program's certificate table lies is found here and nowhere else.  A
signature is parsed as the ASN.1 it is, never searched for byte patterns, and
held to what a release's signature is: one SignerInfo over an
SpcIndirectDataContent that carries the program's own digest; no CRLs; no
unauthenticated attribute but one RFC 3161 time-stamp token, itself held to
the same rules.  Each is signed by a certificate in its bag whose key is strong
enough (RSA of 2,048 bits or more, ECDSA on P-256 or P-384, SHA-2) and
verifies the signature; whom to trust is the caller's to say, by that
certificate's fingerprint.  No path of issuers is built and no store of
authorities is read: the other certificates of a bag, at most CERTIFICATE_CAP,
count for nothing.  No process is started and nothing is fetched: the work is
bounded by SIGNATURE_CAP.

Needs Debian's python3-asn1crypto and python3-cryptography.
"""
import hashlib
import struct

from asn1crypto import algos, cms, core, tsp, x509  # noqa: F401  (tsp: cms then reads TSTInfo)
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.hazmat.primitives.serialization import load_der_public_key

from chatpipe_release import pe

SIGNATURE_CAP = 64 << 10  # bytes: a signature with a time-stamp and two chains is under 12 KiB
CERTIFICATE_CAP = 8  # in one certificate bag
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
HASHES = {"sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}
RSA_MINIMUM_BITS = 2048
CURVES = (ec.SECP256R1, ec.SECP384R1)
# The critical extensions a signer's certificate may carry: any other is one
# whose rules this code does not know, and such a certificate is refused.
KNOWN_CRITICAL = {"basic_constraints", "key_usage", "extended_key_usage", "subject_alt_name"}


class Unsound(Exception):
    """The signature is not one that a release carries, or does not verify."""


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


cms.ContentType._map["1.3.6.1.4.1.311.2.1.4"] = "spc_indirect_data"
cms.ContentInfo._oid_specs["spc_indirect_data"] = SpcIndirectDataContent


def certificate_table(program):
    """(offset, size) of a PE program's certificate table: (0, 0) when it has none."""
    try:
        return pe.directory(program, pe.CERTIFICATE_TABLE)
    except (struct.error, ValueError):
        return 0, 0


def signature_of(program):
    """The DER signature a program carries, or None.  The certificate table
    must end the file and hold one WIN_CERTIFICATE, padded to 8 bytes with
    zeros: nothing can hide beside the signature."""
    offset, size = certificate_table(program)
    if size == 0:
        return None
    if offset + size != len(program) or size < 8:
        raise Unsound("the certificate table does not end the program")
    length, revision, kind = struct.unpack_from("<IHH", program, offset)
    if revision != WIN_CERT_REVISION_2_0 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA or length != size:
        raise Unsound("the certificate table holds something other than one Authenticode signature")
    start = offset + 8
    header = program[start + 1] if program[start] == 0x30 and size > 10 else 0x80
    width = header - 0x80 if header > 0x80 else 0
    der_length = 2 + width + (int.from_bytes(program[start + 2:start + 2 + width], "big") if width else header)
    if header == 0x80 or width > 3 or der_length > SIGNATURE_CAP:
        raise Unsound(f"the certificate table holds no signature of at most {SIGNATURE_CAP:,} bytes")
    if not 0 <= size - 8 - der_length < 8 or any(program[start + der_length:]):
        raise Unsound("the certificate table holds more than one signature")
    return bytes(program[start:start + der_length])


def attached(program, der):
    """An unsigned program with the signature `der`, laid out as osslsigncode
    (2.5 and 2.9 alike) lays it out: the program padded with zeros to 8 bytes,
    then one WIN_CERTIFICATE padded likewise, the table's directory entry set,
    and the PE checksum of the result."""
    if certificate_table(program) != (0, 0):
        raise Unsound("the rebuilt program is signed already")
    signed = bytearray(program) + bytes(-len(program) % 8)
    table = struct.pack("<IHH", 8 + len(der) + -len(der) % 8, WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA)
    table += der + bytes(-len(der) % 8)
    struct.pack_into("<II", signed, pe.directory_entry(signed, pe.CERTIFICATE_TABLE), len(signed), len(table))
    signed += table
    struct.pack_into("<I", signed, pe.checksum_offset(signed), pe.checksum(signed))
    return bytes(signed)


def program_digest(program, algorithm):
    """The Authenticode digest: the whole file but its checksum, its
    certificate table entry and the table itself."""
    checksum, entry = pe.checksum_offset(program), pe.directory_entry(program, pe.CERTIFICATE_TABLE)
    table = certificate_table(program)[0] or len(program)
    digest = hashlib.new(algorithm)
    for start, end in ((0, checksum), (checksum + 4, entry), (entry + 8, table)):
        digest.update(program[start:end])
    return digest.digest()


def fingerprint(certificate):
    return hashlib.sha256(certificate.dump()).hexdigest()


def verifies(key_info, signature, data, algorithm, hash_name):
    """Whether `signature` over `data` verifies with the key, by an RSA
    PKCS #1 v1.5 or ECDSA signature with SHA-2."""
    if hash_name not in HASHES:
        return False
    key = load_der_public_key(key_info.dump())
    try:
        if algorithm == "rsassa_pkcs1v15" and isinstance(key, rsa.RSAPublicKey):
            key.verify(signature, data, padding.PKCS1v15(), HASHES[hash_name]())
        elif algorithm == "ecdsa" and isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(signature, data, ec.ECDSA(HASHES[hash_name]()))
        else:
            return False
    except InvalidSignature:
        return False
    return True


def strong(key_info):
    """Why a public key is too weak to trust, or None."""
    key = load_der_public_key(key_info.dump())
    if isinstance(key, rsa.RSAPublicKey):
        return None if key.key_size >= RSA_MINIMUM_BITS else f"an RSA key of {key.key_size} bits"
    if isinstance(key, ec.EllipticCurvePublicKey):
        return None if isinstance(key.curve, CURVES) else f"an ECDSA key on {key.curve.name}"
    return "neither an RSA nor an ECDSA key"


def valid_at(certificate, moment):
    validity = certificate["tbs_certificate"]["validity"]
    return validity["not_before"].native <= moment <= validity["not_after"].native


def may_sign(certificate, purpose):
    """Whether a certificate may sign for `purpose` (an extended key usage):
    a key usage, if named, with digitalSignature; an extended key usage, if
    named, with `purpose`; no critical extension beyond the known ones."""
    usage, extended = certificate.key_usage_value, certificate.extended_key_usage_value
    return ((usage is None or "digital_signature" in usage.native)
            and (extended is None or purpose in extended.native)
            and certificate.critical_extensions <= KNOWN_CRITICAL)


def may_stamp_time(certificate):
    """Whether a certificate may sign time-stamps: RFC 3161 asks for one
    extended key usage, time stamping alone, critical."""
    return (may_sign(certificate, "time_stamping") and "extended_key_usage" in certificate.critical_extensions
            and certificate.extended_key_usage_value.native == ["time_stamping"])


def present(optional):
    """Whether an optional field is there, without parsing what it holds."""
    return not isinstance(optional, core.Void)


def attribute(attributes, name):
    """The one value of the one attribute of that name."""
    found = [a for a in attributes if a["type"].native == name]
    if len(found) != 1 or len(found[0]["values"]) != 1:
        raise Unsound(f"the signature needs exactly one {name.replace('_', ' ')} attribute")
    return found[0]["values"][0]


def signed_data(content_info, content_type):
    """The SignedData of a ContentInfo, with one signer, no CRLs, and a
    bounded bag of certificates; its SignerInfo; its signer's certificate,
    whose key verified it."""
    if content_info["content_type"].native != "signed_data":
        raise Unsound("not signed data")
    data = content_info["content"]
    if data["encap_content_info"]["content_type"].native != content_type:
        raise Unsound(f"signed content that is not {content_type.replace('_', ' ')}")
    if len(data["signer_infos"]) != 1:
        raise Unsound(f"{len(data['signer_infos'])} signers instead of one")
    if present(data["crls"]):
        raise Unsound("the signature carries revocation lists")
    bag = [choice.chosen for choice in data["certificates"] or []]
    if len(bag) > CERTIFICATE_CAP or any(not isinstance(c, x509.Certificate) for c in bag):
        raise Unsound(f"the signature carries other than at most {CERTIFICATE_CAP} certificates")
    signer_info = data["signer_infos"][0]
    hash_name = signer_info["digest_algorithm"]["algorithm"].native
    if hash_name not in HASHES:
        raise Unsound(f"the digest {hash_name} is not one of {', '.join(HASHES)}")
    content = data["encap_content_info"]["content"]
    if attribute(signer_info["signed_attrs"], "content_type").native != content_type:
        raise Unsound("the signed attributes name other content")
    if attribute(signer_info["signed_attrs"], "message_digest").native != hashlib.new(
            hash_name, content.contents).digest():
        raise Unsound("the signed content is not what the signature covers")
    sid = signer_info["sid"].chosen
    if signer_info["sid"].name == "issuer_and_serial_number":
        signers = [c for c in bag if c.issuer.dump() == sid["issuer"].dump()
                   and c.serial_number == sid["serial_number"].native]
    else:
        signers = [c for c in bag if c.key_identifier == sid.native]
    if len(signers) != 1:
        raise Unsound("the signer's certificate is not in the signature once")
    signer = signers[0]
    weak = strong(signer.public_key)
    if weak:
        raise Unsound(f"the signer's key is {weak}: RSA of at least {RSA_MINIMUM_BITS:,} bits, or ECDSA on "
                      "P-256 or P-384, is asked for")
    attributes = b"\x31" + signer_info["signed_attrs"].dump()[1:]  # signed as a SET OF
    if not verifies(signer.public_key, signer_info["signature"].native, attributes,
                    signer_info["signature_algorithm"].signature_algo, hash_name):
        raise Unsound("the signature does not verify with its signer's key")
    return data, signer_info, signer


class TimeStamp:
    """An RFC 3161 time-stamp token of a signature: when, and the certificate
    that signed it (`authority`, with its `fingerprint`)."""

    def __init__(self, token, signature_value):
        data, signer_info, self.authority = signed_data(token, "tst_info")
        if present(signer_info["unsigned_attrs"]):
            raise Unsound("the time-stamp carries unauthenticated attributes")
        if not may_stamp_time(self.authority):
            raise Unsound("the time-stamp's signer is not a time-stamping certificate")
        info = data["encap_content_info"]["content"].parsed
        imprint = info["message_imprint"]
        hash_name = imprint["hash_algorithm"]["algorithm"].native
        if hash_name not in HASHES or imprint["hashed_message"].native != hashlib.new(
                hash_name, signature_value).digest():
            raise Unsound("the time-stamp is of another signature")
        self.time = info["gen_time"].native
        self.fingerprint = fingerprint(self.authority)


class Signature:
    """A program's signature, parsed and verified against the program: its
    signer's certificate, its digest, and its time-stamp if it has one."""

    def __init__(self, program, der):
        try:
            content_info = cms.ContentInfo.load(der, strict=True)
            data, signer_info, self.signer = signed_data(content_info, "spc_indirect_data")
            indirect = data["encap_content_info"]["content"]
            digest = indirect["message_digest"]
            hash_name = digest["digest_algorithm"]["algorithm"].native
            if hash_name not in HASHES or digest["digest"].native != program_digest(program, hash_name):
                raise Unsound("the signature is of another program")
            self.time_stamp = None
            unsigned = signer_info["unsigned_attrs"]
            if present(unsigned):
                if len(unsigned) != 1 or unsigned[0]["type"].native != "microsoft_time_stamp_token":
                    raise Unsound("the signature carries unauthenticated attributes other than one time-stamp")
                token = attribute(unsigned, "microsoft_time_stamp_token")
                self.time_stamp = TimeStamp(token, signer_info["signature"].native)
        except (ValueError, TypeError, KeyError, AttributeError, OverflowError) as error:
            raise Unsound(f"the signature cannot be read: {type(error).__name__}")
        self.fingerprint = fingerprint(self.signer)

    def code_signing(self):
        """Whether the signer's certificate may sign code, as Windows holds it."""
        return may_sign(self.signer, "code_signing")

