"""Authenticode signatures of PE programs, read and checked in this process.

Where a program's certificate table lies is found here and nowhere else.  A
signature is parsed as the ASN.1 it is, never searched for byte patterns, and
held to what a release's signature is: one SignerInfo over an
SpcIndirectDataContent that carries the program's own digest; no CRLs; no
certificate beyond the signer's chain; no unauthenticated attribute but one
RFC 3161 time-stamp token, itself held to the same rules.  No process is
started and nothing is fetched: the work is bounded by SIGNATURE_CAP.

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


def issued(certificate, issuer):
    """Whether `issuer` named and signed `certificate`."""
    algorithm = certificate["signature_algorithm"]
    try:
        hash_name = algorithm.hash_algo
    except ValueError:
        return False
    return (certificate.issuer.dump() == issuer.subject.dump()
            and verifies(issuer.public_key, certificate["signature_value"].native,
                         certificate["tbs_certificate"].dump(), algorithm.signature_algo, hash_name))


def valid_at(certificate, moment):
    validity = certificate["tbs_certificate"]["validity"]
    return validity["not_before"].native <= moment <= validity["not_after"].native


def may_issue(issuer, below, moment):
    """Whether `issuer` may have signed a certificate with `below` authorities
    under it, as an authority's rules have it: a CA (basicConstraints), within
    its path length, with keyCertSign where it names its key usage, and valid
    at `moment`."""
    constraints, usage = issuer.basic_constraints_value, issuer.key_usage_value
    if constraints is None or not constraints["ca"].native:
        return False
    limit = constraints["path_len_constraint"].native
    return ((limit is None or below <= limit) and (usage is None or "key_cert_sign" in usage.native)
            and valid_at(issuer, moment))


def store_issuer(certificate, store, below, moment):
    """A certificate of the store that is, or by the same rules issued, `certificate`."""
    return next((c for c in store if fingerprint(c) == fingerprint(certificate)
                 or (may_issue(c, below, moment) and issued(certificate, c))), None)


def chain(leaf, bag, moment, store):
    """The leaf, then its issuers from the bag, each one that may issue and
    that signed the one before; the bag may hold nothing else.  The last,
    unless it is the leaf, must be verified too: a root that signed itself, or
    one the store issued.  A certificate that is only the right name and key
    can say it is a CA, but cannot sign itself."""
    links = [leaf]
    while len(links) <= CERTIFICATE_CAP:
        issuer = next((c for c in bag if fingerprint(c) not in set(map(fingerprint, links))
                       and may_issue(c, len(links) - 1, moment) and issued(links[-1], c)), None)
        if issuer is None:
            break
        links.append(issuer)
    if set(map(fingerprint, bag)) - set(map(fingerprint, links)):
        raise Unsound("a certificate in the signature is not on a verified path from its signer")
    top = links[-1]
    if len(links) > 1 and not (issued(top, top) or store_issuer(top, store, len(links) - 2, moment)):
        raise Unsound("the last certificate on the signer's path is neither a root nor issued by a trusted one")
    return links


def may_sign(certificate, purpose):
    """Whether a certificate may sign for `purpose` (an extended key usage):
    a key usage, if named, with digitalSignature; an extended key usage, if
    named, with `purpose`."""
    usage, extended = certificate.key_usage_value, certificate.extended_key_usage_value
    return ((usage is None or "digital_signature" in usage.native)
            and (extended is None or purpose in extended.native))


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
    bounded bag of certificates; its SignerInfo; its certificates."""
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
    attributes = b"\x31" + signer_info["signed_attrs"].dump()[1:]  # signed as a SET OF
    if not verifies(signer.public_key, signer_info["signature"].native, attributes,
                    signer_info["signature_algorithm"].signature_algo, hash_name):
        raise Unsound("the signature does not verify with its signer's key")
    return data, signer_info, signer, bag


class TimeStamp:
    """An RFC 3161 time-stamp token of a signature: when, by whom, and the
    authority's chain."""

    def __init__(self, token, signature_value, store):
        data, signer_info, self.authority, bag = signed_data(token, "tst_info")
        if present(signer_info["unsigned_attrs"]):
            raise Unsound("the time-stamp carries unauthenticated attributes")
        if self.authority.extended_key_usage_value is None or not may_sign(self.authority, "time_stamping"):
            raise Unsound("the time-stamp's signer is not a time-stamping certificate")
        info = data["encap_content_info"]["content"].parsed
        imprint = info["message_imprint"]
        hash_name = imprint["hash_algorithm"]["algorithm"].native
        if hash_name not in HASHES or imprint["hashed_message"].native != hashlib.new(
                hash_name, signature_value).digest():
            raise Unsound("the time-stamp is of another signature")
        self.time = info["gen_time"].native
        self.chain = chain(self.authority, bag, self.time, store)
        self.store = store

    def trusted_by(self, listed):
        """'listed' when a certificate of the chain is listed, 'store' when the
        chain ends in one of the store's certificates, else None; each link
        valid at the time of the stamp."""
        if not valid_at(self.authority, self.time):
            return None
        if any(fingerprint(c) in listed for c in self.chain):
            return "listed"
        if store_issuer(self.chain[-1], self.store, len(self.chain) - 1, self.time):
            return "store"
        return None


class Signature:
    """A program's signature, parsed and verified against the program: its
    signer's certificate, its digest, and its time-stamp if it has one."""

    def __init__(self, program, der, store, now):
        try:
            content_info = cms.ContentInfo.load(der, strict=True)
            data, signer_info, self.signer, bag = signed_data(content_info, "spc_indirect_data")
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
                self.time_stamp = TimeStamp(token, signer_info["signature"].native, store)
            # The signer's issuers must have been valid when it signed, as far as anything says when that was.
            chain(self.signer, bag, self.time_stamp.time if self.time_stamp else now, store)
        except (ValueError, TypeError, KeyError, AttributeError, OverflowError) as error:
            raise Unsound(f"the signature cannot be read: {type(error).__name__}")
        self.fingerprint = fingerprint(self.signer)

    def code_signing(self):
        """Whether the signer's certificate may sign code, as Windows holds it."""
        return may_sign(self.signer, "code_signing")


def read_store(path):
    """The certificates of a PEM bundle (this machine's authorities)."""
    import ssl
    text = open(path, encoding="ascii", errors="replace").read()
    blocks = text.split("-----END CERTIFICATE-----")
    found = []
    for block in blocks:
        if "-----BEGIN CERTIFICATE-----" in block:
            pem = block[block.index("-----BEGIN CERTIFICATE-----"):] + "-----END CERTIFICATE-----\n"
            found.append(x509.Certificate.load(ssl.PEM_cert_to_DER_cert(pem)))
    return found
