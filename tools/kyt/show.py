"""kyt show: prints what a setup carries.

  kyt show SETUP.exe

Lists every resource (type, name, language, size), then, in manifest order, each payload file:
its resource name, the path it is staged at, its size and its SHA-256; and says whether the
setup carries a signature (`kyt verify` checks it). Judges nothing: exits 0 when the setup could
be read, 1 when it is no Windows executable or carries no readable manifest.
"""
import argparse

from . import pe_image
from .errors import KytError
from .verify import parse_manifest, payload_line, read_setup, resource_line


def add_parser(commands):
    parser = commands.add_parser("show", help="print what a setup carries", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("setup")
    parser.set_defaults(run=run)


def run(args):
    image = read_setup(args.setup)
    resources = pe_image.read_resources(image)
    for r in resources:
        print(resource_line(r.type, r.name, r.language, r.data))
    payload = {r.name: r.data for r in resources if r.type == pe_image.RT_RCDATA}
    entries = parse_manifest(payload.get("KYT_MANIFEST", b""))
    if entries is None:
        raise KytError(f"{args.setup} carries no manifest the setup would read")
    for name, path in entries:
        print(payload_line(name, path, payload.get(name.decode("latin-1"), b"")))
    signed = len(image.directories) > pe_image.SECURITY_DIRECTORY and image.directories[pe_image.SECURITY_DIRECTORY][1]
    print(f"{len(entries)} payload files; " + ("signed" if signed else "not signed"))
    return 0
