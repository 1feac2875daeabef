"""kyt: makes a driver-package setup from a folder.

  kyt COMMAND [OPTIONS]      (kyt COMMAND --help tells more)

Exit codes: 0 done; 1 refused or failed (the message says why); 2 wrong use, or something the
command needs is missing (the message says what to install).
"""
import argparse
import sys

from . import build
from .errors import KytError

COMMANDS = [build]


def parser():
    top = argparse.ArgumentParser(prog="kyt", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
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
    except KeyboardInterrupt:
        print(f"kyt {args.command}: interrupted", file=sys.stderr)
        return 1
