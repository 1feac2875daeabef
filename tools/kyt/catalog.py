"""kyt catalog: writes a signed catalog for INFs of a driver package and the files their x64 installation
copies, for test signing on Linux, where no driver-kit tool runs.

  kyt catalog --package DIR --inf REL [--inf REL ...] --out FILE.cat --cert PEM --key PEM [--sha1]
              [--time YYYY-MM-DDTHH:MM:SSZ] [--add REL=FILE ...] [--exclude PATTERN ...]
              [--test-certificate PEM ...]

The catalog lists the hash of each INF and of every file its x64 models' install sections copy
(the package is the one the build would carry, with the same --add and --exclude;
the image hash of a Windows program or library, the hash of the whole file otherwise; not the
files Windows supplies, which the INF's own source-file sections do not list), SHA-256
unless --sha1 asks for a SHA-1 catalog as older driver kits made them, and is signed with the
first certificate of the PEM file (the rest of the file, its chain, travels in the catalog) and
the PEM key, through openssl. Its time is now, or --time (the same inputs and time give the same
bytes). `osslsigncode verify -in FILE.cat` checks its signature. It then says, in the package
check's words, how Windows takes the signature: a certificate that issued itself, or whose chain
ends at a root Windows does not trust, is unsigned to Windows until the build is told with
--test-certificate (here too) that the target machines trust it.

What it is for: test signing (a test machine with test signing on, or a certificate the machine
trusts for user-mode packages) and the tests of the package check. What it is not: a release
signature. Windows 10 and later load new kernel drivers only with Microsoft's signature from the
hardware dashboard, or with test signing on. Exits 0 when it wrote the catalog, 1 when an INF
cannot be decoded or a file the catalog must list is missing from the package, 2 when it cannot
run (the Python module asn1crypto missing, a certificate file unreadable).
"""
import argparse
import datetime
import os
import subprocess

from . import catalogs, inf_rules, package
from .errors import USAGE, KytError
from .problems import labelled


def add_parser(commands):
    parser = commands.add_parser("catalog", help="write a test-signed catalog for INFs of a package",
                                 description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    package.add_options(parser, required=True)
    parser.add_argument("--inf", action="append", required=True, metavar="REL", help="an INF's path in the package")
    parser.add_argument("--out", required=True, help="the catalog to write")
    parser.add_argument("--cert", required=True, help="the signing certificate, then its chain (PEM)")
    parser.add_argument("--key", required=True, help="the signing key (PEM)")
    parser.add_argument("--sha1", action="store_true", help="a SHA-1 catalog")
    parser.add_argument("--time", help="the catalog's time, UTC, as YYYY-MM-DDTHH:MM:SSZ (default: now)")
    parser.set_defaults(run=run)


def members(entries, infs):
    """Returns ([(file name, bytes)] for the catalog, [why each missing file is missing]) of the
    INFs (package paths) and the files their x64 installation copies from the package entries,
    names matched ignoring ASCII case as Windows matches them."""
    files = {inf_rules.fold(relative): absolute for relative, absolute in entries}
    found, missing = {}, []
    for relative in infs:
        relative = relative.replace("/", "\\")
        if inf_rules.fold(relative) not in files:
            missing.append(f"{relative}: not in the package")
            continue
        with open(files[inf_rules.fold(relative)], "rb") as f:
            data = f.read()
        found[inf_rules.fold(relative)] = (relative.rpartition("\\")[2], data)
        inf = inf_rules.parse(inf_rules.decode(data))
        held = [inf_rules.fold(name) for name in inf_rules.x64_models(inf)[0] if inf_rules.fold(name) in inf.sections]
        for section, entry, name, path in inf_rules.x64_files(relative, inf, held)[0]:
            absolute = files.get(inf_rules.fold(path)) if path else None
            if absolute:
                with open(absolute, "rb") as f:
                    found[inf_rules.fold(path)] = (name, f.read())
            else:
                missing.append(str(inf_rules.missing_file(relative, section, entry, name, path or name)))
    return list(found.values()), missing


def run(args):
    catalogs.require()
    declared = package.declared_certificates(args)
    try:
        when = datetime.datetime.strptime(args.time, "%Y-%m-%dT%H:%M:%SZ") if args.time else datetime.datetime.utcnow()
    except ValueError:
        raise KytError(f"--time {args.time}: give the time as YYYY-MM-DDTHH:MM:SSZ", USAGE) from None
    entries, _ = package.files_of(args)
    try:
        listed, missing = members(entries, args.inf)
    except ValueError as error:
        raise KytError(f"an INF cannot be decoded: it {error}") from None
    if missing:
        raise KytError("the package does not hold what the catalog must list:\n" + "\n".join(missing))
    digest = "sha1" if args.sha1 else "sha256"
    trust_list = catalogs.trust_list(listed, digest, when.replace(tzinfo=datetime.timezone.utc, microsecond=0))
    try:
        with open(args.cert, "rb") as f:
            certificates = f.read()
        signed = catalogs.sign(trust_list, certificates, args.key, digest)
    except OSError as error:
        raise KytError(f"cannot read {error.filename}: {error.strerror}", USAGE) from None
    except (subprocess.CalledProcessError, ValueError, IndexError) as error:
        raise KytError(f"cannot sign with {args.cert} and {args.key} ({error})") from None
    with open(args.out, "wb") as f:
        f.write(signed)
    print(f"kyt catalog: {args.out}: {len(listed)} members, {digest}")
    catalog = catalogs.read(signed)
    trust = catalogs.trust_of(catalog, catalogs.load_roots(), declared, datetime.date.today())
    for problem in inf_rules.signature_problems(os.path.basename(args.out), catalog, trust):
        print(f"kyt catalog: {labelled(problem)}")
    return 0
