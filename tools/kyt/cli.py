"""kyt: makes a driver-package setup for 64-bit Windows from a folder, checks the folder, makes
test catalogs, signs the setup and verifies it.

  kyt COMMAND [OPTIONS]      (kyt COMMAND --help tells more)

Exit codes: 0 done; 1 refused or failed (the message says why); 2 wrong use, or something the
command needs is missing (the message says what to install).
"""
import argparse
import hashlib
import os
import sys
from importlib import metadata

from . import build, catalog, check, show, sign, verify
from .errors import FAILED, USAGE, KytError

COMMANDS = [build, check, catalog, sign, verify, show]


def version():
    """Returns the version line: the tool's version, where it is, and the setup program it carries."""
    try:
        number = metadata.version("kyt-driver-setup")
    except metadata.PackageNotFoundError:
        number = "(not installed)"
    line = f"kyt {number} at {os.path.dirname(os.path.abspath(__file__))} (Python {sys.version.split()[0]})"
    if os.path.isfile(build.BUNDLED_PROGRAM):
        with open(build.BUNDLED_PROGRAM, "rb") as f:
            line += f"\nsetup program: SHA-256 {hashlib.sha256(f.read()).hexdigest()}"
    return line


def parser():
    top = argparse.ArgumentParser(prog="kyt", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action="version", version=version())
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        command.add_parser(commands)
    return top


def main(argv=None):
    """Runs one command; returns its exit code. Every failure the command foresees reaches the
    user here as one message, never as a traceback."""
    # A console that cannot show a character of a file name gets an escape, not a traceback.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    args = parser().parse_args(argv)
    try:
        return args.run(args) or 0
    except KytError as error:
        print(f"kyt {args.command}: {error}", file=sys.stderr)
        return error.code
    except BrokenPipeError:
        # The reader of the output went away (as `kyt show ... | head` does): nothing is left to
        # say to anyone, and the flush at exit must not fail on the closed pipe again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return FAILED
    except OSError as error:  # a file the user named that cannot be read or written
        print(f"kyt {args.command}: {error.filename}: {error.strerror}", file=sys.stderr)
        return USAGE if isinstance(error, FileNotFoundError) else FAILED
    except KeyboardInterrupt:
        print(f"kyt {args.command}: interrupted", file=sys.stderr)
        return 1
