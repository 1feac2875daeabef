"""Authenticode signatures of built setups: who signed a setup and whether the signature holds
(checked with osslsigncode), and whether a signed setup is exactly a given unsigned setup plus
its signature.

Signing a PE file changes three places and adds one: the optional header's CheckSum, the
security entry of the data directory (where the signature lies and its size), up to seven zero
bytes that align the end of the file to eight, and the certificate table appended after them.
Every other byte of a signed setup must be the unsigned setup's.

osslsigncode 2.5 and later serve: signatures pass between it and these tools as PEM, which every
version reads and writes alike (its DER output of extract-signature differs between versions).
"""
import base64
import bisect
import hashlib
import os
import re
import struct
import subprocess
import tempfile
from dataclasses import dataclass, field

from . import catalogs, pe_image
from .errors import USAGE, KytError

SECURITY = 4  # the certificate table's entry in the data directory
RESOURCE_TYPES = {3: "RT_ICON", 10: "RT_RCDATA", 14: "RT_GROUP_ICON", 24: "RT_MANIFEST"}
# At most this many places are listed; the rest are counted.
MOST_PLACES = 20


@dataclass
class Signer:
    subject: str = ""
    issuer: str = ""
    serial: str = ""
    sha256: str = ""  # the signing certificate's SHA-256 fingerprint, upper-case hex without colons
    signing_time: str = ""
    timestamp: str = ""


@dataclass
class SignatureCheck:
    signer: Signer = field(default_factory=Signer)
    problems: list = field(default_factory=list)


def signature_range(image):
    """Returns (file offset, size) of the certificate table, or None when the image is unsigned."""
    entry = image.directories[SECURITY] if len(image.directories) > SECURITY else (0, 0)
    return entry if entry[1] else None


def stored_checksum(image):
    """Returns the checksum the optional header holds."""
    return struct.unpack_from("<I", image.data, image.optional_header + 64)[0]


def fingerprint(text):
    """Returns a SHA-256 fingerprint as upper-case hex without separators."""
    return re.sub(r"[^0-9A-Fa-f]", "", text).upper()


def _run(command, stdin=None):
    """Returns (exit code, output) of a command; raises KytError (exit 2) when it is not installed."""
    try:
        done = subprocess.run(command, input=stdin, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT if stdin is None else subprocess.DEVNULL)
    except FileNotFoundError:
        raise KytError(f"{command[0]} is missing: install it (on Debian: apt-get install {command[0]})", USAGE) from None
    return done.returncode, done.stdout.decode("utf-8", "replace")


def _first(pattern, text):
    m = re.search(pattern, text, re.M)
    return m.group(1).strip() if m else ""


def extract_signature(path):
    """Returns (the DER-encoded PKCS#7 signature of a signed file or None, osslsigncode's output)."""
    with tempfile.TemporaryDirectory() as scratch:
        pem = os.path.join(scratch, "signature.pem")
        code, out = _run(["osslsigncode", "extract-signature", "-pem", "-in", path, "-out", pem])
        if code != 0 or not os.path.exists(pem):
            return None, out
        with open(pem, "rb") as f:
            return der_of_signature(f.read()), out


def der_of_signature(data):
    """Returns the DER-encoded PKCS#7 of a detached signature given as DER, as PEM, or as a
    certificate table entry (its 8-byte header, the DER and zero padding, as osslsigncode 2.5's
    extract-signature writes it); None when the PEM form is broken."""
    if data.lstrip().startswith(b"-----BEGIN"):
        body = re.search(rb"-----BEGIN [A-Z0-9 ]+-----(.*?)-----END ", data, re.S)
        try:
            return base64.b64decode(b"".join(body.group(1).split()), validate=True) if body else None
        except ValueError:
            return None
    if len(data) > 12 and int.from_bytes(data[:4], "little") == len(data) and data[4:8] == b"\0\2\2\0":
        try:
            tag, content = catalogs.elements(data[8:])[0]  # the DER, without the padding after it
        except (ValueError, IndexError):
            return None
        return catalogs.der(tag, content)
    return data


def pem_of_signature(der):
    """Returns a DER-encoded PKCS#7 signature in PEM form."""
    text = base64.b64encode(der).decode()
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    return ("-----BEGIN PKCS7-----\n" + "\n".join(lines) + "\n-----END PKCS7-----\n").encode()


def _certificates(der):
    """Returns [(serial as upper-case hex, SHA-256 fingerprint)] of every certificate that a
    DER-encoded PKCS#7 signature carries."""
    pem = _run(["openssl", "pkcs7", "-inform", "DER", "-print_certs"], der)[1]
    found = []
    for block in re.findall(r"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----", pem, re.S):
        out = _run(["openssl", "x509", "-noout", "-serial", "-fingerprint", "-sha256"], block.encode())[1]
        found.append((_first(r"^serial=(\S+)", out).upper(), fingerprint(_first(r"Fingerprint=(\S+)", out))))
    return found


def check_signature(path, ca_file=None, tsa_ca_file=None, signer_sha256=None):
    """Returns the signer of a signed setup and the problems of its signature: osslsigncode
    verify fails (digest, chain to the trusted certificates, time stamp), or the signing
    certificate is not the one whose fingerprint is given."""
    check = SignatureCheck()
    command = ["osslsigncode", "verify"]
    command += ["-CAfile", ca_file] if ca_file else []
    command += ["-TSA-CAfile", tsa_ca_file] if tsa_ca_file else []
    code, out = _run(command + ["-in", path])
    # The first certificate listed is the signer's own.
    signer_block = out.split("Signer's certificate:", 1)[-1]
    check.signer = Signer(subject=_first(r"Subject:\s*(.*)$", signer_block),
                          issuer=_first(r"Issuer\s*:\s*(.*)$", signer_block),
                          serial=_first(r"Serial\s*:\s*(\S+)", signer_block).upper(),
                          signing_time=_first(r"Signing time:\s*(.*)$", out),
                          timestamp=_first(r"(?:Timestamp time|The signature is timestamped):\s*(.*)$", out))
    if code != 0:
        reasons = [line.strip() for line in out.splitlines()
                   if re.search(r"MISMATCH|^Error:|No signature found|Corrupt PE file - |verification: failed",
                                line.strip())]
        check.problems.append("osslsigncode verify fails: " + ("; ".join(reasons) or out.strip()[-300:]))
    # Computed here: osslsigncode words a wrong checksum differently from version to version.
    with open(path, "rb") as f:
        image = pe_image.read_image(f.read())
    if stored_checksum(image) != pe_image.checksum(image.data, image.optional_header + 64):
        check.problems.append("header field OPTIONAL_HEADER.CheckSum is not the file's checksum: "
                              "the file was changed after signing")
    signature, _ = extract_signature(path)
    if signature:
        matches = [sha for serial, sha in _certificates(signature)
                   if serial.lstrip("0") == check.signer.serial.lstrip("0")]
        check.signer.sha256 = matches[0] if len(matches) == 1 else ""
    if signer_sha256 and check.signer.sha256 != fingerprint(signer_sha256):
        check.problems.append(f"the signing certificate's SHA-256 is {check.signer.sha256 or 'unknown'}, "
                              f"not {fingerprint(signer_sha256)}")
    return check


class Places:
    """Names the place of a file offset in a PE image: a header field, a section header field, a
    resource, a section, or what lies after the sections."""

    def __init__(self, image, size):
        regions = [(start, end, f"header field {name}") for start, end, name, _ in pe_image.header_places(image)]
        for r in pe_image.read_resources(image):
            kind = RESOURCE_TYPES.get(r.type, r.type)
            regions.append((r.offset, r.offset + len(r.data), f"resource {kind} {r.name} (language {r.language})"))
        regions.sort()
        self.regions = regions
        self.starts = [r[0] for r in regions]
        self.sections = sorted((s.raw_pointer, s.raw_pointer + s.raw_size, s.name) for s in image.sections if s.raw_size)
        self.headers_end = pe_image.header_values(image)["SizeOfHeaders"]
        self.size = size

    def at(self, offset):
        """Returns (the name of the place of offset, the offset where that place ends)."""
        i = bisect.bisect_right(self.starts, offset) - 1
        next_start = self.starts[i + 1] if i + 1 < len(self.starts) else float("inf")
        if i >= 0 and offset < self.regions[i][1]:
            return self.regions[i][2], self.regions[i][1]
        for start, end, name in self.sections:
            if start <= offset < end:
                return f"section {name}", min(end, next_start)
        if offset < self.headers_end:
            return "headers (outside every field)", min(self.headers_end, next_start)
        return "after the last section", float("inf")


def _differing_runs(a, b, masked):
    """Yields (start, end) of the runs of bytes where a and b differ, over their common length,
    leaving out the masked offsets."""
    chunk = 65536
    common = min(len(a), len(b))
    run_start = None
    for base in range(0, common, chunk):
        if a[base:base + chunk] == b[base:base + chunk] and run_start is None:
            continue
        for offset in range(base, min(base + chunk, common)):
            differs = a[offset] != b[offset] and offset not in masked
            if differs and run_start is None:
                run_start = offset
            elif not differs and run_start is not None:
                yield run_start, offset
                run_start = None
    if run_start is not None:
        yield run_start, common


def compare_with_rebuild(signed, unsigned):
    """Returns the differences between a signed setup and an unsigned setup (both as bytes), each
    named by its place; an empty list when the signed setup is exactly the unsigned one plus its
    signature."""
    differences = []
    try:
        rebuilt = pe_image.read_image(unsigned)
    except KytError as error:
        return [f"the rebuild {error}"]
    if signature_range(rebuilt):
        differences.append("the rebuild carries a signature itself")
    try:
        pe = pe_image.read_image(signed)
    except KytError as error:
        return differences + [f"the signed file {error}"]
    body = signed
    signature = signature_range(pe)
    if not signature:
        differences.append("the signed file carries no signature")
    else:
        start, size = signature
        aligned = (len(unsigned) + 7) // 8 * 8
        if start != aligned:
            differences.append(f"the signature starts at 0x{start:x}, not at 0x{aligned:x} "
                               "right after the rebuild's bytes")
        elif any(signed[len(unsigned):start]):
            differences.append("the padding before the signature is not zero")
        if start + size < len(signed):
            differences.append(f"{len(signed) - start - size} bytes follow the signature")
        elif start + size > len(signed):
            differences.append("the signature runs past the end of the file")
        body = signed[:len(unsigned)] if start == aligned else signed[:start]
    if len(body) != len(unsigned):
        differences.append(f"the signed file holds {len(body)} bytes outside the signature, "
                           f"the rebuild {len(unsigned)}")
    masked = set()
    for offset, width in ((rebuilt.optional_header + 64, 4), (rebuilt.directory_table + 8 * SECURITY, 8)):
        masked.update(range(offset, offset + width))
    runs = list(_differing_runs(body, unsigned, masked))
    if not runs:
        return differences
    places = Places(rebuilt, len(unsigned))
    counts = {}
    for start, stop in runs:
        offset = start
        while offset < stop:
            name, place_end = places.at(offset)
            piece_end = min(stop, place_end)
            first, count = counts.get(name, (offset, 0))
            counts[name] = (first, count + piece_end - offset)
            offset = piece_end
    listed = sorted(counts.items(), key=lambda item: item[1][0])
    for name, (first, count) in listed[:MOST_PLACES]:
        bytes_differ = f"{count} bytes differ" if count != 1 else "1 byte differs"
        differences.append(f"{name}: {bytes_differ} (first at file offset 0x{first:x})")
    if len(listed) > MOST_PLACES:
        differences.append(f"and {len(listed) - MOST_PLACES} more places")
    return differences


def sha256_of(path):
    """Returns the SHA-256 of a file as lower-case hex."""
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def inspect_signature(path, unsigned=False, ca_file=None, tsa_ca_file=None, signer_sha256=None, rebuild=None,
                      out=None):
    """Returns the problems of a setup's signature, printing its signer to out: a signature where
    unsigned is asked for, none where a signer is asked for, a failing osslsigncode verify, another
    signing certificate, and with a rebuild every place where the setup is not that rebuild plus
    its signature."""
    problems = []
    with open(path, "rb") as f:
        data = f.read()
    signed = signature_range(pe_image.read_image(data)) is not None
    if not signed:
        print("signature: none", file=out)
        if signer_sha256:
            problems.append("the executable carries no signature")
    elif unsigned:
        problems.append("the executable carries a signature")
    else:
        check = check_signature(path, ca_file, tsa_ca_file, signer_sha256)
        signer = check.signer
        print(f"signature: {signer.subject} (issuer {signer.issuer}, serial {signer.serial})" if signer.subject
              else "signature: unreadable", file=out)
        print(f"  certificate SHA-256 {signer.sha256 or 'unknown'}; "
              f"signed {signer.signing_time or 'at no stated time'}; time stamp {signer.timestamp or 'none'}", file=out)
        problems += check.problems
    if rebuild:
        with open(rebuild, "rb") as f:
            differences = compare_with_rebuild(data, f.read())
        verdict = "differs from" if differences else "is exactly"
        print(f"the setup {verdict} the rebuild {rebuild} plus its signature", file=out)
        problems += ["not the rebuild plus a signature: " + d for d in differences]
    return problems
