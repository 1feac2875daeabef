"""Windows catalog files: the hashes a catalog's members record, who signed it, and how to make
one. A catalog is PKCS#7 SignedData whose content is a certificate trust list (CTL); each member
of the list carries the hash of one file in an indirect-data attribute: the image hash of a
Windows program or library (the Authenticode hash, which leaves out the checksum and the
signature), the hash of the whole file for anything else. SHA-1 and SHA-256 catalogs both occur.
Whose signature Windows trusts is judged from the certificates the catalog carries and the
table of roots in trusted_roots.txt."""
import hashlib
import os
import struct
import subprocess
from dataclasses import dataclass, field

try:
    from asn1crypto import cms, core, pem, x509
except ImportError:  # every command that reads or makes a catalog stops and says what to install
    cms = None

from . import pe_image
from .errors import USAGE, KytError

CTL_OID = "1.3.6.1.4.1.311.10.1"
CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
CATALOG_MEMBER = "1.3.6.1.4.1.311.12.1.2"
NAME_VALUE = "1.3.6.1.4.1.311.12.2.1"
MEMBER_INFO = "1.3.6.1.4.1.311.12.2.2"
INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
FLAT_DATA = "1.3.6.1.4.1.311.2.1.25"
# The subject interface packages Windows hashes a member with: Windows images, and flat files.
PE_SUBJECT = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
FLAT_SUBJECT = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
DIGESTS = {"sha1": "1.3.14.3.2.26", "sha256": "2.16.840.1.101.3.4.2.1"}
MICROSOFT_HARDWARE = "Microsoft Windows Hardware Compatibility Publisher"
# Unsigned attributes that carry a timestamp: an Authenticode counter-signature, an RFC 3161 token.
TIMESTAMPS = {"1.2.840.113549.1.9.6", "1.3.6.1.4.1.311.3.3.1"}
ROOTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "trusted_roots.txt")
# How Windows takes a catalog's signature: the kinds of trust_of.
MICROSOFT, PUBLIC, TEST, UNTRUSTED = "Microsoft", "public", "test", "untrusted"
MISSING = ("the Python module asn1crypto is missing: pip install asn1crypto (on Debian: apt-get install "
           "python3-asn1crypto)")


@dataclass
class Catalog:
    digests: set = field(default_factory=set)  # every member hash, as bytes
    signer: str = ""  # the signing certificate's common name (or organisation), "" when unsigned
    problem: str = ""  # why it is no signed catalog, "" when it is one
    certificate: object = None  # the signing certificate, None when the catalog does not carry it
    certificates: list = field(default_factory=list)  # every certificate the catalog carries
    timestamped: bool = False  # whether the signature carries a timestamp


def require():
    """Raises KytError (exit code 2) when the module that reads and makes catalogs is missing."""
    if cms is None:
        raise KytError(MISSING, USAGE)


def common_name(name):
    """Returns the common name (or organisation) of an X.509 name."""
    native = name.native
    return native.get("common_name") or native.get("organization_name") or "(no name)"


def load_roots(path=ROOTS):
    """Returns {subject key identifier (hex) or common name: (kind, common name)} of the table
    of roots: one root a line, its kind, its key identifier ("-" for a root that has none, which
    is then known by its name) and its common name; "#" starts a comment."""
    roots = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.split("#", 1)[0].split(None, 2)
            if len(fields) == 3:
                kind, key, name = fields
                roots[name.strip() if key == "-" else key.lower()] = (MICROSOFT if kind == "microsoft" else PUBLIC,
                                                                       name.strip())
    return roots


def load_certificates(path):
    """Returns the X.509 certificates of a PEM or DER file. Raises KytError (exit 2) saying why there
    are none."""
    require()
    try:
        with open(path, "rb") as f:
            data = f.read()
        found = [x509.Certificate.load(body) for _, _, body in pem.unarmor(data, multiple=True)] \
            if pem.detect(data) else [x509.Certificate.load(data)]
        for certificate in found:
            certificate.native  # parses it all, so that a damaged file fails here
    except (OSError, ValueError, TypeError) as error:
        raise KytError(f"the certificate file {path} cannot be read ({error})", USAGE)
    if not found:
        raise KytError(f"the certificate file {path} holds no certificate", USAGE)
    return found


def issued_by(certificate, issuer):
    """Returns whether the certificate names the issuer as its issuer (name and key)."""
    key, issuer_key = certificate.authority_key_identifier, issuer.key_identifier
    return certificate.issuer == issuer.subject and (not key or not issuer_key or key == issuer_key)


def root_of(certificate, roots):
    """Returns (kind, name) of the table's root that is or issued the certificate, or None."""
    own = certificate.key_identifier
    if own and own.hex() in roots:
        return roots[own.hex()]
    if certificate.self_issued:
        return None
    key = certificate.authority_key_identifier
    return roots.get(key.hex()) if key else roots.get(common_name(certificate.issuer))


def trust_of(catalog, roots, declared, today):
    """Returns (kind, detail) of a signed catalog's signature as 64-bit Windows takes it on a
    machine nobody prepared: MICROSOFT or PUBLIC with the root's name when the chain the catalog
    carries leads to a root of the table; TEST with the certificate's name when it leads to one
    of the declared certificates instead; else UNTRUSTED with why."""
    if catalog.certificate is None:
        return UNTRUSTED, "but the catalog does not carry the signing certificate"
    kind, detail = chain_of(catalog, roots, declared)
    expiry = catalog.certificate["tbs_certificate"]["validity"]["not_after"].native.date()
    if kind != UNTRUSTED and expiry < today and not catalog.timestamped:
        return UNTRUSTED, f"whose certificate expired on {expiry.isoformat()}, and the signature has no timestamp"
    return kind, detail


def chain_of(catalog, roots, declared):
    """Returns (kind, detail) of where the signing certificate's chain leads, as trust_of."""
    current, seen = catalog.certificate, set()
    while True:
        found = root_of(current, roots)
        if found:
            return found
        for certificate in declared:
            if certificate.sha256 == current.sha256 or issued_by(current, certificate):
                return TEST, common_name(certificate.subject)
        if current.self_issued:
            return UNTRUSTED, ("whose certificate was issued by the signer itself" if current is catalog.certificate
                               else f"whose chain ends at {common_name(current.subject)}, a root Windows does not "
                                    f"trust")
        seen.add(current.sha256)
        issuer = next((c for c in catalog.certificates if c.sha256 not in seen and issued_by(current, c)), None)
        if issuer is None:
            return UNTRUSTED, (f"whose chain leads to {common_name(current.issuer)}, neither a root Windows trusts "
                               f"nor a certificate the catalog carries")
        current = issuer


def pe_image_ranges(data):
    """Returns the (start, end) byte ranges of a Windows image that its image hash covers (all
    but the checksum, the certificate table's directory entry and the table itself), or None
    when the bytes are no PE image. Signing pads an image to a multiple of 8 bytes before it
    appends the table, so an image without one is hashed as if padded with zero bytes, and
    ranges beyond the data stand for those."""
    try:
        image = pe_image.read_image(data, sections=False)
    except KytError:
        return None
    checksum, entry = image.optional_header + 64, image.directory_table + 8 * pe_image.SECURITY_DIRECTORY
    if entry + 8 > len(data):
        return None
    table, size = struct.unpack_from("<II", data, entry)  # where Windows looks, however many entries are counted
    end = table if size and table + size <= len(data) and table >= entry + 8 else -(-len(data) // 8) * 8
    return [(0, checksum), (checksum + 4, entry), (entry + 8, end)]


def file_digests(data):
    """Returns {the two digests a catalog may record for these bytes}: SHA-1 and SHA-256 of the
    image hash for a Windows image, of the whole file otherwise."""
    ranges = pe_image_ranges(data) or [(0, len(data))]
    found = set()
    for name in DIGESTS:
        digest = hashlib.new(name)
        for start, end in ranges:
            digest.update(data[start:end].ljust(end - start, b"\0"))
        found.add(digest.digest())
    return found


def signer_of(signed):
    """Returns (common name or organisation, certificate) of the certificate that made the
    first signature of SignedData: ("", None) when it carries no signature, a placeholder name
    and None when it does not carry the certificate."""
    if not len(signed["signer_infos"]):
        return "", None
    sid = signed["signer_infos"][0]["sid"]
    for certificate in carried(signed):
        if sid.name == "issuer_and_serial_number" and certificate.issuer == sid.chosen["issuer"] and \
                certificate.serial_number == sid.chosen["serial_number"].native:
            return common_name(certificate.subject), certificate
    return "(a certificate the catalog does not carry)", None


def carried(signed):
    """Returns the X.509 certificates SignedData carries."""
    return [c.chosen for c in signed["certificates"] or [] if isinstance(c.chosen, x509.Certificate)]


def elements(data):
    """Returns [(tag, content octets)] of the DER elements that follow one another in data."""
    found, at = [], 0
    while at + 2 <= len(data):
        tag, length, at = data[at], data[at + 1], at + 2
        if length & 0x80:
            count = length & 0x7F
            length, at = int.from_bytes(data[at:at + count], "big"), at + count
        if at + length > len(data):
            raise ValueError("an element runs past its end")
        found.append((tag, data[at:at + length]))
        at += length
    return found


def tag_digests(tag):
    """Returns the hash a member's tag holds: the hash itself, or its hex digits in UTF-16."""
    try:
        text = tag.decode("utf-16-le")
        return {tag} if len(tag) in (20, 32) else {bytes.fromhex(text)} if len(text) in (40, 64) else set()
    except ValueError:
        return set()


def member_digests(ctl):
    """Returns the hashes that the members of a certificate trust list (its content octets)
    record in their tags and indirect-data attributes. A member that cannot be read adds
    nothing."""
    found = set()
    for tag, subjects in elements(ctl):
        for subject in (content for kind, content in elements(subjects) if kind == 0x30) if tag == 0x30 else []:
            try:
                parts = elements(subject)
                found |= tag_digests(parts[0][1]) if parts[0][0] == 0x04 else set()
                for _, attribute in elements(parts[1][1]) if len(parts) > 1 and parts[1][0] == 0x31 else []:
                    kind, values = elements(attribute)[:2]
                    for _, indirect in elements(values[1]) if kind == (0x06, oid(INDIRECT_DATA)[2:]) else []:
                        found.add(elements(elements(indirect)[1][1])[1][1])
            except (ValueError, IndexError):
                continue
    return found


def read(data):
    """Returns the catalog the bytes hold; its problem says why they are no signed catalog."""
    try:
        info = cms.ContentInfo.load(data)
        signed = info["content"] if info["content_type"].native == "signed_data" else None
        kind = signed["encap_content_info"]["content_type"].dotted if signed else None
    except (ValueError, TypeError, KeyError):
        signed, kind = None, None
    if kind != CTL_OID:
        return Catalog(problem="is not a catalog (no PKCS#7 SignedData holding a certificate trust list)")
    try:
        signer, certificate = signer_of(signed)
        unsigned = signed["signer_infos"][0]["unsigned_attrs"] if signer else None
        timestamped = bool(unsigned and unsigned.native and {a["type"].dotted for a in unsigned} & TIMESTAMPS)
        certificates = carried(signed)
    except (ValueError, TypeError, KeyError):
        return Catalog(problem="is a catalog whose signature cannot be read")
    if not signer:
        return Catalog(problem="carries no signature")
    found = Catalog(signer=signer, certificate=certificate, certificates=certificates, timestamped=timestamped)
    try:
        content = elements(signed["encap_content_info"].contents)[1:]
        content = elements(content[0][1]) if content and content[0][0] == 0xA0 else content
        found.digests = member_digests(content[0][1] if content else b"")
    except (ValueError, IndexError):
        found.problem = "is a catalog whose list of members cannot be read"
    return found


def der(tag, content):
    """Returns one DER element of the tag and its content octets."""
    length = len(content)
    if length < 0x80:
        return bytes([tag, length]) + content
    octets = length.to_bytes((length.bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(octets)]) + octets + content


def sequence(*parts):
    return der(0x30, b"".join(parts))


def set_of(*parts):
    return der(0x31, b"".join(sorted(parts)))


def oid(dotted):
    return core.ObjectIdentifier(dotted).dump()


def member(name, data, digest_name):
    """Returns the trust-list entry of one file: tagged with its hash, which the indirect data
    carries too, and named by a name-value attribute."""
    image = pe_image_ranges(data) is not None
    digest = hashlib.new(digest_name)
    for start, end in pe_image_ranges(data) or [(0, len(data))]:
        digest.update(data[start:end].ljust(end - start, b"\0"))
    value = digest.digest()
    obsolete = der(0x80, "<<<Obsolete>>>".encode("utf-16-be"))
    spc = sequence(oid(PE_IMAGE_DATA), sequence(der(0x03, b"\0"), der(0xA0, der(0xA2, obsolete)))) if image \
        else sequence(oid(FLAT_DATA), der(0xA2, obsolete))
    indirect = sequence(spc, sequence(sequence(oid(DIGESTS[digest_name]), b"\x05\x00"), der(0x04, value)))
    name_value = sequence(der(0x1E, "File".encode("utf-16-be")), core.Integer(0x10010001).dump(),
                          der(0x04, (name + "\0").encode("utf-16-le")))
    info = sequence(der(0x1E, (PE_SUBJECT if image else FLAT_SUBJECT).encode("utf-16-be")), core.Integer(512).dump())
    attributes = set_of(sequence(oid(NAME_VALUE), set_of(name_value)), sequence(oid(MEMBER_INFO), set_of(info)),
                        sequence(oid(INDIRECT_DATA), set_of(indirect)))
    return sequence(der(0x04, value.hex().upper().encode("utf-16-le")), attributes)


def trust_list(members, digest_name, when):
    """Returns the DER certificate trust list of [(file name, bytes)], made at the UTC time `when`."""
    entries = sorted(member(name, data, digest_name) for name, data in members)
    identifier = hashlib.sha256(b"".join(entries)).digest()[:16]
    return sequence(sequence(oid(CATALOG_LIST)), der(0x04, identifier), core.UTCTime(when).dump(),
                    sequence(oid(CATALOG_MEMBER), b"\x05\x00"), sequence(*entries))


def sign(content, certificates, key, digest_name="sha256"):
    """Returns the PKCS#7 SignedData of a trust list, signed by the first of the PEM certificates
    with the PEM key (through openssl); the chain travels with it."""
    chain = [x509.Certificate.load(body) for _, _, body in pem.unarmor(certificates, multiple=True)]
    inner = core.load(content).contents
    digest = der(0x04, hashlib.new(digest_name, inner).digest())
    attributes = set_of(sequence(oid("1.2.840.113549.1.9.3"), set_of(oid(CTL_OID))),
                        sequence(oid("1.2.840.113549.1.9.4"), set_of(digest)))
    signature = subprocess.run(["openssl", "dgst", f"-{digest_name}", "-sign", key], input=attributes,
                               capture_output=True, check=True).stdout
    algorithm = sequence(oid(DIGESTS[digest_name]), b"\x05\x00")
    issuer = sequence(chain[0].issuer.dump(), core.Integer(chain[0].serial_number).dump())
    signer = sequence(core.Integer(1).dump(), issuer, algorithm, b"\xa0" + attributes[1:],
                      sequence(oid("1.2.840.113549.1.1.1"), b"\x05\x00"), der(0x04, signature))
    signed = sequence(core.Integer(1).dump(), set_of(algorithm), sequence(oid(CTL_OID), der(0xA0, content)),
                      der(0xA0, b"".join(c.dump() for c in chain)), set_of(signer))
    return sequence(oid("1.2.840.113549.1.7.2"), der(0xA0, signed))
