"""kyt verify: lists a setup's resources and verifies the executable.

  kyt verify SETUP.exe [--package DIR] [--add REL=FILE ...] [--exclude PATTERN ...]
             [--test-certificate PEM ...] [--unsigned]
             [--ca-file PEM] [--tsa-ca-file PEM] [--signer-sha256 HEX] [--rebuild UNSIGNED.exe]

Checks the headers (PE32+ for x86-64, GUI subsystem, high-entropy ASLR, dynamic base, NX), the
signature (none with --unsigned, as the build makes it; a signed setup's signer is listed, its
signature checked with osslsigncode verify against --ca-file, by default the system's
certificates, and with --signer-sha256 its certificate's fingerprint), the imports
(KERNEL32.dll, the security calls that protect the staging area and the three event-log
calls of the run's record from ADVAPI32.dll, the api-ms-win-crt libraries, and from USER32.dll
at most MessageBoxW, which the setup loads only when it shows a box), the resources (only RT_RCDATA, RT_ICON, RT_GROUP_ICON and RT_MANIFEST, each in
language 1033), the application manifest, the icon (four 32-bit RGBA PNG images of 16, 32, 48
and 256 pixels), and that KYT_MANIFEST parses into entries KYT_FILE_000 upwards in index order,
each naming a resource that is present and not empty. With --package (and the same --add
options the build used) every payload resource must equal its file byte for byte, in the
order the package build gives, and the package's INF files, the catalogs they name and its
dpinst.xml pass the build's checks (what the build refuses is a problem here, what it warns of
is listed as a warning; --test-certificate as the build had it). With --rebuild (the unsigned setup of a build of one's own) the
setup must be exactly that setup plus its signature; every other difference is named by its place
(header field, section, resource). Lists every resource, and for each payload file its resource
name, the path it is staged at, its size and its SHA-256. Exits 0 when every check passes, 1
otherwise, 2 when a check cannot run (the Python module asn1crypto missing, a file
unreadable): it then says what is missing, never a verdict it could not check.
"""
import argparse
import hashlib
import struct
import sys

from . import inf_rules, package, pe_image
from .errors import USAGE, KytError
from .problems import NOTE, REFUSAL, WARNING, Problem, escaped, labelled, of_level
from .signature import inspect_signature

from .pe_image import RT_GROUP_ICON, RT_ICON, RT_MANIFEST, RT_RCDATA

TYPE_NAMES = {RT_ICON: "RT_ICON", RT_RCDATA: "RT_RCDATA", RT_GROUP_ICON: "RT_GROUP_ICON", RT_MANIFEST: "RT_MANIFEST"}
# The application manifest every setup carries: 491 bytes that have Windows elevate the program.
APP_MANIFEST_SHA256 = "a533912d6bef525fb577edb6eaa708c4c7de2d015db35a18107d16501d2edd08"
# The defences the setup cannot be without: the DLL search restricted before anything else, the
# default owner, the descriptors given at creation. The native calls for the staging directory
# are found at run time, so ntdll is never imported.
REQUIRED_IMPORTS = {("kernel32.dll", "SetDefaultDllDirectories"), ("advapi32.dll", "SetTokenInformation"),
                    ("advapi32.dll", "ConvertStringSecurityDescriptorToSecurityDescriptorW"),
                    ("kernel32.dll", "GetVolumeInformationByHandleW")}
# ADVAPI32 for exactly the security calls that protect the staging area, and the event-log calls
# that write the run's record (with no registry call: the source is not registered).
ALLOWED_IMPORTS = {
    "kernel32.dll": None,
    "user32.dll": {"MessageBoxW"},
    "advapi32.dll": {"ConvertStringSecurityDescriptorToSecurityDescriptorW", "CreateWellKnownSid",
                     "OpenProcessToken", "SetTokenInformation", "RegisterEventSourceW", "ReportEventW",
                     "DeregisterEventSource"},
}


def parse_manifest(text):
    """Returns the manifest's (name, path) entries as the setup reads them, or None when the
    setup would reject the text."""
    entries = []
    lines = text.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    for line in lines:
        if line.endswith(b"\r"):
            line = line[:-1]
        if not line:
            continue
        if b"|" not in line:
            return None
        name, path = line.split(b"|", 1)
        if not name or not path or b".." in path or b":" in path or path[:1] in (b"\\", b"/"):
            return None
        entries.append((name, path))
    return entries or None


def read_setup(path):
    """Returns the image of the setup at path; raises KytError when it cannot be read (exit 2) or
    is no Windows executable the tool can read (exit 1)."""
    try:
        with open(path, "rb") as f:
            return pe_image.read_image(f.read())
    except OSError as error:
        raise KytError(f"cannot read {path}: {error.strerror}", USAGE) from None
    except KytError as error:
        raise KytError(f"{path} {error}") from None


def resource_line(rtype, name, language, data):
    """Returns the listing's line of one resource: type, name, language and size."""
    return escaped(f"{TYPE_NAMES.get(rtype, rtype):>13} {name!s:<14} lang {language:<5} {len(data):>10} bytes")


def payload_line(name, path, data):
    """Returns the listing's line of one payload file: its resource name, the path it is staged
    at, its size and its SHA-256."""
    return escaped(f"{name.decode('latin-1'):<13} {path.decode('latin-1'):<40} {len(data):>10} bytes  "
                   f"{hashlib.sha256(data).hexdigest()}")


def read_resources(image):
    """Returns {(type, name): [(language, bytes)]} for every resource of the image."""
    found = {}
    for resource in pe_image.read_resources(image):
        found.setdefault((resource.type, resource.name), []).append((resource.language, resource.data))
    return found


class Inspection:
    def __init__(self):
        self.problems = []

    def check(self, ok, problem):
        if not ok:
            self.problems.append(Problem("", 0, problem))
        return ok


def check_headers(image, inspection):
    check = inspection.check
    if not check(image.magic == pe_image.PE32_PLUS, "not PE32+"):
        return
    header = pe_image.header_values(image)
    check(image.machine == pe_image.AMD64, "not built for x86-64")
    check(image.subsystem == 2, "not of the Windows GUI subsystem")
    # Windows 10 and later resolve the api-ms-win-crt names inside the system, never beside the
    # executable.
    for field in ("OperatingSystemVersion", "SubsystemVersion"):
        version = (header[f"Major{field}"], header[f"Minor{field}"])
        check(version == (10, 0), f"{field} is {version[0]}.{version[1]}, not 10.0")
    flags = header["DllCharacteristics"]
    for bit, name in ((0x20, "high-entropy ASLR"), (0x40, "dynamic base"), (0x100, "NX compatibility")):
        check(flags & bit, f"{name} is not set")
    check(header["TimeDateStamp"] == 0, "the header holds a time stamp, so builds differ")


def check_imports(imported_names, inspection):
    """Checks [(library, [names])] of the imports against the allowed and the required ones."""
    imported = set()
    for library, listed in imported_names:
        dll = library.lower()
        names = set(listed)
        imported |= {(dll, name) for name in names}
        if dll.startswith("api-ms-win-crt-"):
            continue
        if not inspection.check(dll in ALLOWED_IMPORTS, f"imports from {library}: {sorted(names)}"):
            continue
        allowed = ALLOWED_IMPORTS[dll]
        inspection.check(allowed is None or names <= allowed, f"imports {sorted(names - (allowed or set()))} from {dll}")
    for dll, name in sorted(REQUIRED_IMPORTS - imported):
        inspection.check(False, f"does not import {name} from {dll}")


def check_icon(resources, inspection):
    check = inspection.check
    group = resources.get((RT_GROUP_ICON, 1))
    if not check(group and len(group) == 1, "no single icon directory RT_GROUP_ICON 1"):
        return
    data = group[0][1]
    reserved, kind, count = struct.unpack_from("<HHH", data)
    check(kind == 1 and count == 4, f"the icon directory has type {kind} and {count} entries, not 1 and 4")
    for i in range(min(count, 4)):
        w, h, colours, _, planes, bpp, size, ident = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        expected = (16, 32, 48, 0)[i]
        check((w, h, colours, planes, bpp, ident) == (expected, expected, 0, 1, 32, i + 1),
              f"icon entry {i + 1} is {w}x{h}, {colours} colours, {planes} planes, {bpp} bpp, image {ident}")
        image = resources.get((RT_ICON, ident), [(0, b"")])[0][1]
        png_ok = image[:8] == b"\x89PNG\r\n\x1a\n" and image[12:16] == b"IHDR"
        if check(png_ok, f"icon image {ident} is not a PNG stream"):
            pw, ph, depth, colour_type = struct.unpack_from(">IIBB", image, 16)
            side = expected or 256
            check((pw, ph, depth, colour_type) == (side, side, 8, 6),
                  f"icon image {ident} is {pw}x{ph}, depth {depth}, colour type {colour_type}, not {side}x{side} RGBA")
    check(sorted(n for t, n in resources if t == RT_ICON) == [1, 2, 3, 4], "the icon images are not RT_ICON 1 to 4")


def check_payload(resources, package_files, inspection):
    check = inspection.check
    manifest = resources.get((RT_RCDATA, "KYT_MANIFEST"))
    if not check(manifest, "no KYT_MANIFEST"):
        return []
    entries = parse_manifest(manifest[0][1])
    if not check(entries, "KYT_MANIFEST is rejected by the setup's rules"):
        return []
    for index, (name, path) in enumerate(entries):
        check(name == f"KYT_FILE_{index:03d}".encode(), f"manifest line {index} names {name!r}, not KYT_FILE_{index:03d}")
        data = resources.get((RT_RCDATA, name.decode("latin-1")))
        check(data and data[0][1], f"{name.decode('latin-1')} ({path.decode('latin-1')}) is missing or empty")
    payload = {n for t, n in resources if t == RT_RCDATA and n != "KYT_MANIFEST"}
    check(payload == {n.decode("latin-1") for n, _ in entries}, "payload resources and manifest names differ")
    if package_files is not None:
        check([p.decode("latin-1") for _, p in entries] == [rel for rel, _ in package_files],
              "the manifest's paths are not the package's files in the build's order")
        for (name, path), (relative, absolute) in zip(entries, package_files):
            with open(absolute, "rb") as f:
                data = resources.get((RT_RCDATA, name.decode("latin-1")), [(0, b"")])[0][1]
                check(f.read() == data, f"{name.decode()} differs from {relative}")
    return entries


def inspect(path, package_files=None, out=sys.stdout, signature=None, declared=()):
    """Returns the Problems of a setup, listing its resources and signer to out; signature holds
    the options of inspect_signature, declared the certificates the package check
    takes as trusted. Raises KytError when the setup cannot be read or the package check cannot
    run."""
    image = read_setup(path)
    inspection = Inspection()
    check = inspection.check
    check_headers(image, inspection)
    inspection.problems += [Problem("", 0, reason) for reason in
                            inspect_signature(path, out=out, **(signature or {}))]
    check_imports(pe_image.imports(image), inspection)
    resources = read_resources(image)
    for (rtype, name), copies in sorted(resources.items(), key=lambda item: (item[0][0], str(item[0][1]))):
        for lang, data in copies:
            print(resource_line(rtype, name, lang, data), file=out)
        check(rtype in TYPE_NAMES, f"unexpected resource type {rtype} ({name})")
        check([lang for lang, _ in copies] == [1033], f"{name} is not in language 1033 alone")
    app = resources.get((RT_MANIFEST, 1))
    check(app and hashlib.sha256(app[0][1]).hexdigest() == APP_MANIFEST_SHA256,
          "the application manifest is not the 491-byte one")
    check_icon(resources, inspection)
    entries = check_payload(resources, package_files, inspection)
    found = inf_rules.check_package(package_files, declared=declared) if package_files is not None else []
    inspection.problems += of_level(found, REFUSAL)
    for name, path in entries:
        data = resources.get((RT_RCDATA, name.decode("latin-1")), [(0, b"")])[0][1]
        print(payload_line(name, path, data), file=out)
    print(f"{len(entries)} manifest entries; {len(inspection.problems)} problems", file=out)
    for problem in inspection.problems:
        print(f"PROBLEM: {problem}", file=out)
    for level in (WARNING, NOTE):
        for problem in of_level(found, level):
            print(labelled(problem), file=out)
    return inspection.problems


def add_parser(commands):
    parser = commands.add_parser("verify", help="verify a setup, against its package folder and against a rebuild",
                                 description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("setup")
    package.add_options(parser)
    parser.add_argument("--unsigned", action="store_true", help="the setup must carry no signature")
    parser.add_argument("--ca-file", help="trusted certificates (PEM) for the signature")
    parser.add_argument("--tsa-ca-file", help="trusted certificates (PEM) for the signature's time stamp")
    parser.add_argument("--signer-sha256", help="the signing certificate's SHA-256 fingerprint")
    parser.add_argument("--rebuild", help="the unsigned setup of a build of one's own")
    parser.set_defaults(run=run)


def run(args):
    files = package.files_of(args)[0] if args.package or args.add else None
    options = {"unsigned": args.unsigned, "ca_file": args.ca_file, "tsa_ca_file": args.tsa_ca_file,
               "signer_sha256": args.signer_sha256, "rebuild": args.rebuild}
    declared = package.declared_certificates(args)
    return 1 if inspect(args.setup, files, signature=options, declared=declared) else 0
