"""kyt show: prints what a setup carries.

  kyt show SETUP.exe

Lists every resource (type, name, language, size), then, in manifest order, each payload file:
its resource name, the path it is staged at, its size and its SHA-256; and says whether the
setup carries a signature (`kyt verify` checks it). Judges nothing: exits 0 when the setup could
be read, 1 when it is no Windows executable or carries no readable manifest.
"""
import argparse
import hashlib

from . import pe_image
from .errors import USAGE, KytError
from .problems import escaped
from .verify import TYPE_NAMES, parse_manifest


def add_parser(commands):
    parser = commands.add_parser("show", help="print what a setup carries", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("setup")
    parser.set_defaults(run=run)


def run(args):
    try:
        with open(args.setup, "rb") as f:
            image = pe_image.read_image(f.read())
    except OSError as error:
        raise KytError(f"cannot read {args.setup}: {error.strerror}", USAGE) from None
    except KytError as error:
        raise KytError(f"{args.setup} {error}") from None
    resources = pe_image.read_resources(image)
    for r in resources:
        print(escaped(f"{TYPE_NAMES.get(r.type, r.type):>13} {r.name!s:<14} lang {r.language:<5} {len(r.data):>10} bytes"))
    payload = {r.name: r.data for r in resources if r.type == pe_image.RT_RCDATA}
    entries = parse_manifest(payload.get("KYT_MANIFEST", b""))
    if entries is None:
        raise KytError(f"{args.setup} carries no manifest the setup would read")
    for name, path in entries:
        data = payload.get(name.decode("latin-1"), b"")
        print(escaped(f"{name.decode('latin-1'):<13} {path.decode('latin-1'):<40} {len(data):>10} bytes  "
                      f"{hashlib.sha256(data).hexdigest()}"))
    signed = len(image.directories) > pe_image.SECURITY_DIRECTORY and image.directories[pe_image.SECURITY_DIRECTORY][1]
    print(f"{len(entries)} payload files; " + ("signed" if signed else "not signed"))
    return 0
