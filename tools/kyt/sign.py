"""kyt sign, kyt detach-signature, kyt attach-signature: signs a setup for a release
(Authenticode, SHA-256, with osslsigncode), writes or attaches its detached signature.

  kyt sign SETUP.exe (--pkcs12 FILE | --key KEY --certs CHAIN) [--pass-file FILE]
           [--timestamp URL ...] [--description TEXT] [--url URL]
           [--package DIR --add REL=FILE ... --exclude PATTERN ... --test-certificate PEM ...]
           [--out SIGNED.exe] [--signature SIGNATURE]
  kyt detach-signature SIGNED.exe --signature SIGNATURE
  kyt attach-signature SETUP.exe SIGNATURE --out SIGNED.exe [--ca-file PEM]
           [--package DIR --add REL=FILE ... --exclude PATTERN ... --test-certificate PEM ...]

sign refuses a setup that fails `kyt verify` (with the package options as the build had them,
also byte for byte against the package) or is signed already, and writes the signed
setup to --out, its signature alone (DER-encoded PKCS#7) to --signature, or both; a time-stamp
server (RFC 3161) is asked when --timestamp is given. The setup itself is never written to:
an output that is the setup is refused, and every output appears complete or not at all.
detach writes the signature of a signed setup; attach puts a signature onto an unsigned setup
(osslsigncode checks that it signs exactly these bytes, against --ca-file or the system's
certificates); it takes the signature as DER, as PEM, or as osslsigncode 2.5 extracts it. The
description is what Windows shows as the program's name in the elevation prompt. Needs
osslsigncode 2.5 or later. Exits 0 on success, 1 otherwise, 2 when osslsigncode is missing or the
package check cannot run.
"""
import argparse
import io
import os
import re
import subprocess
import tempfile

from . import package, signature, verify
from .errors import USAGE, KytError


# The oldest osslsigncode these commands are known to work with (Debian 12's).
OLDEST_OSSLSIGNCODE = (2, 5)


def require_osslsigncode():
    """Raises KytError (exit 2) when osslsigncode is missing or older than the oldest that serves."""
    needed = "osslsigncode {}.{} or later".format(*OLDEST_OSSLSIGNCODE)
    try:
        done = subprocess.run(["osslsigncode", "--version"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    except FileNotFoundError:
        raise KytError(f"needs {needed}, and none is installed (on Debian: apt-get install osslsigncode)",
                       USAGE) from None
    found = re.search(r"osslsigncode (\d+)\.(\d+)", done.stdout.decode("utf-8", "replace"))
    version = tuple(int(part) for part in found.groups()) if found else None
    if version and version < OLDEST_OSSLSIGNCODE:
        raise KytError(f"needs {needed}; the installed one is {version[0]}.{version[1]}", USAGE)


def refuse_unfit(args):
    """Raises KytError unless the setup passes the inspection and carries no signature."""
    setup = args.setup
    files = package.files_of(args)[0] if args.package or args.add else None
    listing = io.StringIO()
    problems = verify.inspect(setup, files, listing, signature={"unsigned": True},
                              declared=package.declared_certificates(args))
    if problems:
        raise KytError(f"{setup} fails the inspection:\n" + "\n".join(f"  {p}" for p in problems))


def refuse_overwrite(setup, outputs):
    """Raises KytError when an output path is the setup itself."""
    for output in outputs:
        if output and (os.path.realpath(output) == os.path.realpath(setup)
                       or os.path.exists(output) and os.path.samefile(output, setup)):
            raise KytError(f"{output} is the setup itself, which is never written to")


def osslsigncode(arguments):
    """Runs osslsigncode; raises KytError with its output when it fails."""
    done = subprocess.run(["osslsigncode", *arguments], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        raise KytError("osslsigncode " + arguments[0] + " failed:\n" + done.stdout.decode("utf-8", "replace").strip())


def scratch_beside(path):
    """Returns the path of a new empty file in the folder of path, for writing it in one step."""
    handle, scratch = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(path)) or ".", prefix=".kyt-sign-")
    os.close(handle)
    os.unlink(scratch)  # osslsigncode writes the file itself
    return scratch


def publish(scratch, output):
    """Moves a finished scratch file to its output path."""
    os.replace(scratch, output)


def write_signature(signed, output):
    """Writes the DER-encoded signature of a signed file to output in one step."""
    der, out = signature.extract_signature(signed)
    if not der:
        raise KytError("osslsigncode extract-signature failed:\n" + out.strip())
    scratch = scratch_beside(output)
    try:
        with open(scratch, "wb") as f:
            f.write(der)
        publish(scratch, output)
    finally:
        if os.path.exists(scratch):
            os.unlink(scratch)
    print(f"signature: {output} ({len(der)} bytes)")


def confirm_only_signature_added(signed, setup):
    """Raises KytError unless the signed file is the setup plus its signature."""
    with open(signed, "rb") as s, open(setup, "rb") as u:
        differences = signature.compare_with_rebuild(s.read(), u.read())
    if differences:
        raise KytError("the signed file is not the setup plus its signature:\n"
                      + "\n".join("  " + d for d in differences))


def sign(args):
    require_osslsigncode()
    if not args.out and not args.signature:
        raise KytError("give --out, --signature or both")
    if not args.pkcs12 and not (args.key and args.certs):
        raise KytError("give --pkcs12, or --key and --certs")
    refuse_overwrite(args.setup, [args.out, args.signature])
    refuse_unfit(args)
    credentials = ["-pkcs12", args.pkcs12] if args.pkcs12 else ["-certs", args.certs, "-key", args.key]
    credentials += ["-readpass", args.pass_file] if args.pass_file else []
    options = ["-h", "sha256", "-n", args.description] + (["-i", args.url] if args.url else [])
    for server in args.timestamp:
        options += ["-ts", server]
    signed = scratch_beside(args.out or args.signature)
    try:
        osslsigncode(["sign", *credentials, *options, "-in", args.setup, "-out", signed])
        confirm_only_signature_added(signed, args.setup)
        if args.signature:
            write_signature(signed, args.signature)
        if args.out:
            publish(signed, args.out)
            print(f"signed setup: {args.out} ({os.path.getsize(args.out)} bytes, "
                  f"SHA-256 {signature.sha256_of(args.out)})")
    finally:
        if os.path.exists(signed):
            os.unlink(signed)
    print(f"unsigned setup: {args.setup} (SHA-256 {signature.sha256_of(args.setup)}), unchanged")


def detach(args):
    require_osslsigncode()
    refuse_overwrite(args.setup, [args.signature])
    write_signature(args.setup, args.signature)


def attach(args):
    require_osslsigncode()
    refuse_overwrite(args.setup, [args.out, args.signature_in])
    refuse_unfit(args)
    try:
        with open(args.signature_in, "rb") as f:
            der = signature.der_of_signature(f.read())
    except OSError as error:
        raise KytError(f"cannot read the signature: {error}") from None
    if not der:
        raise KytError(f"{args.signature_in} holds no readable signature")
    signed = scratch_beside(args.out)
    try:
        with tempfile.TemporaryDirectory() as scratch:
            pem = os.path.join(scratch, "signature.pem")
            with open(pem, "wb") as f:
                f.write(signature.pem_of_signature(der))
            trusted = ["-CAfile", args.ca_file] if args.ca_file else []
            osslsigncode(["attach-signature", "-sigin", pem, *trusted, "-in", args.setup, "-out", signed])
        confirm_only_signature_added(signed, args.setup)
        publish(signed, args.out)
    finally:
        if os.path.exists(signed):
            os.unlink(signed)
    print(f"signed setup: {args.out} ({os.path.getsize(args.out)} bytes, SHA-256 {signature.sha256_of(args.out)})")


def add_parser(commands):
    signing = commands.add_parser("sign", help="sign a setup for a release", description=__doc__,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    signing.add_argument("setup")
    signing.add_argument("--pkcs12", help="the key and certificate chain as a PKCS#12 file")
    signing.add_argument("--key", help="the private key (PEM or DER)")
    signing.add_argument("--certs", help="the signing certificate and its chain (PEM)")
    signing.add_argument("--pass-file", help="a file whose first line is the key's password")
    signing.add_argument("--timestamp", action="append", default=[], metavar="URL",
                         help="an RFC 3161 time-stamp server")
    signing.add_argument("--description", default="KYT Driver Setup", help="the program name the signature states")
    signing.add_argument("--url", help="the web address the signature states")
    signing.add_argument("--out", help="the signed setup")
    signing.add_argument("--signature", help="the signature alone")
    package.add_options(signing)
    signing.set_defaults(run=sign)
    detaching = commands.add_parser("detach-signature", help="write the signature of a signed setup",
                                    description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    detaching.add_argument("setup")
    detaching.add_argument("--signature", required=True)
    detaching.set_defaults(run=detach)
    attaching = commands.add_parser("attach-signature", help="attach a signature to an unsigned setup",
                                    description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    attaching.add_argument("setup")
    attaching.add_argument("signature_in", metavar="signature")
    attaching.add_argument("--out", required=True)
    attaching.add_argument("--ca-file", help="trusted certificates (PEM) for checking the signature")
    package.add_options(attaching)
    attaching.set_defaults(run=attach)
