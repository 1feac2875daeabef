"""kyt build: writes a driver-package folder into the setup program, giving the setup.

  kyt build --package DIR --out SETUP.exe [--add REL=FILE ...] [--exclude PATTERN ...]
            [--test-certificate PEM ...] [--program PROGRAM.exe] [--quiet]
            [--unchecked] [--manifest-text FILE | --no-manifest]

The folder is checked first (as `kyt check` checks it); a refused folder names each file and
the reason and leaves no setup at --out (an older one there is removed), and so does a check
that cannot run (exit code 2). The program is the setup program that comes
with the tool, or the one --program names (the C++ build makes kyt_setup_program.exe). The setup
is the program with a resource section
that holds the program's own resources (its icon and application manifest) and the package: the
manifest KYT_MANIFEST and the payload files KYT_FILE_000 upwards, in manifest order, each an
RT_RCDATA resource in English (United States), 1033. The same program and folder always give the
same bytes, and the setup file is rewritten only when they differ from the file's, so a build
that runs this every time rebuilds nothing when nothing changed. Unless --quiet, a summary
follows: the folder, its files and bytes, what the check notes and warns of, and the setup's
path, size and SHA-256, and the program's. --unchecked, --manifest-text and --no-manifest make deliberately broken
setups for tests.
"""
import argparse
import hashlib
import os

from . import check, package, pe_image
from .errors import USAGE, KytError
from .pe_image import ENGLISH_US, RT_RCDATA, Resource
from .problems import NOTE, WARNING, escaped, labelled, of_level


# The setup program that a wheel of the tool carries.
BUNDLED_PROGRAM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "program", "kyt_setup_program.exe")


def add_parser(commands):
    parser = commands.add_parser("build", help="write a driver-package folder into the setup program",
                                 description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    package.add_options(parser)
    parser.add_argument("--out", required=True, help="the setup to write")
    parser.add_argument("--program", help="the setup program, built without a package (default: the one that "
                                          "comes with the tool)")
    parser.add_argument("--unchecked", action="store_true", help="skip the package checks (test packages only)")
    manifest = parser.add_mutually_exclusive_group()
    manifest.add_argument("--manifest-text", help="carry this file as KYT_MANIFEST instead of the generated text")
    manifest.add_argument("--no-manifest", action="store_true", help="carry no KYT_MANIFEST at all")
    parser.add_argument("--quiet", action="store_true", help="print no summary")
    parser.set_defaults(run=run)


def read(path, what):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as error:
        raise KytError(f"cannot read {what} {path}: {error.strerror}") from None


def package_resources(manifest, files):
    """Returns the package's resources: the manifest (unless None) and each (relative path,
    bytes) of the payload, named in manifest order."""
    found = [Resource(RT_RCDATA, "KYT_MANIFEST", ENGLISH_US, manifest)] if manifest is not None else []
    return found + [Resource(RT_RCDATA, f"KYT_FILE_{i:03d}", ENGLISH_US, data) for i, (_, data) in enumerate(files)]


def write_setup(program, resources):
    """Returns the bytes of the setup: the program with its own resources and the package's."""
    image = pe_image.read_image(program)
    own = pe_image.read_resources(image)
    if any(resource.type == RT_RCDATA for resource in own):
        raise KytError("the program carries a package already; give the setup program that was built without one")
    return pe_image.with_resources(image, own + resources)


def write_if_changed(path, data):
    """Writes the file in one step unless it already holds exactly these bytes; returns whether
    it wrote. Raises KytError when it cannot."""
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return False
    except FileNotFoundError:
        pass
    except OSError as error:
        raise KytError(f"cannot read {path}: {error.strerror}") from None
    partial = path + ".partial"
    try:
        with open(partial, "wb") as f:
            f.write(data)
        os.replace(partial, path)
    except OSError as error:
        if os.path.exists(partial):
            os.remove(partial)
        raise KytError(f"cannot write {path}: {error.strerror}") from None
    return True


def remove(path):
    if os.path.lexists(path):
        os.remove(path)


def program_path(given):
    """Returns the setup program to write into: the given one, else the one the tool carries."""
    if given:
        return given
    if os.path.isfile(BUNDLED_PROGRAM):
        return BUNDLED_PROGRAM
    raise KytError("this copy of kyt carries no setup program: install the wheel that the C++ build makes, or give "
                   "--program (the build's kyt_setup_program.exe)", USAGE)


def run(args):
    program_file = program_path(args.program)
    if os.path.exists(args.out) and os.path.samefile(args.out, program_file):
        raise KytError(f"--out {args.out} is the setup program itself, which is never written to", USAGE)
    try:
        entries, left_out = package.files_of(args)
        for relative, why in left_out:
            print(escaped(f"kyt build: left out {relative} ({why})"))
        found = [] if args.unchecked else check.verdicts(entries, package.declared_certificates(args))
    except KytError:
        remove(args.out)
        raise
    files = [(relative, read(absolute, "the package file")) for relative, absolute in entries]
    if args.no_manifest:
        manifest = None
    elif args.manifest_text:
        manifest = read(args.manifest_text, "the manifest text")
    else:
        manifest = package.manifest_text(entries)
    program = read(program_file, "the setup program")
    try:
        setup = write_setup(program, package_resources(manifest, files))
    except KytError as error:
        remove(args.out)
        raise KytError(f"{program_file}: {error}") from None
    write_if_changed(args.out, setup)
    if not args.quiet:
        print_summary(args.package, files, len(left_out), found, args.out, setup)
        print(f"Program: {os.path.abspath(program_file)}")
        print(f"  {len(program):,} bytes, SHA-256 {hashlib.sha256(program).hexdigest()}")
    return 0


def print_summary(folder, files, left_out, found, path, setup):
    """Prints what the setup carries and what it is."""
    sizes = [(len(data), relative) for relative, data in files]
    largest = max(sizes, key=lambda s: (s[0], s[1].lower())) if sizes else (0, "")
    left = f", {left_out} left out" if left_out else ""
    print(escaped(f"Package: {os.path.abspath(folder) if folder else '(no folder)'}"))
    print(escaped(f"  {len(files)} files{left}, {sum(size for size, _ in sizes):,} bytes; "
                  f"largest {largest[1]} ({largest[0]:,} bytes)"))
    for level in (WARNING, NOTE):
        for problem in of_level(found, level):
            print(f"  {labelled(problem)}")
    print(f"Setup:   {os.path.abspath(path)}")
    print(f"  {len(setup):,} bytes, SHA-256 {hashlib.sha256(setup).hexdigest()}")

