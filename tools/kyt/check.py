"""kyt check: checks a driver-package folder as `kyt build` checks it, without building.

  kyt check --package DIR [--add REL=FILE ...] [--exclude PATTERN ...] [--test-certificate PEM ...]

Lists what is left out, then every verdict: what would make a broken or unsafe setup or would
not install on 64-bit Windows (refused), what the release engineer should look at (warnings),
and what the summary tells (notes: each catalog's signer, the INFs the installer does not
read). Exits 0 when the folder would build, 1 when it is refused, 2 when the check cannot run
(a Python module missing, a file unreadable).
"""
import argparse

from . import inf_rules, package, package_rules
from .problems import NOTE, REFUSAL, WARNING, escaped, labelled, of_level, refusal


def add_parser(commands):
    parser = commands.add_parser("check", help="check a driver-package folder without building",
                                 description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    package.add_options(parser, required=True)
    parser.set_defaults(run=run)


def problems_of(entries, declared):
    """Returns every Problem of the package's files: the payload's rules first, then the driver
    files' checks (which run only on a payload that passes)."""
    problems = package_rules.payload_problems(entries)
    return problems or inf_rules.check_package(entries, declared=declared)


def verdicts(entries, declared):
    """Returns the warnings and notes of a package that would build; raises KytError naming
    each refusal."""
    found = problems_of(entries, declared)
    if of_level(found, REFUSAL):
        raise refusal(of_level(found, REFUSAL))
    return found


def run(args):
    entries, left_out = package.files_of(args)
    for relative, why in left_out:
        print(escaped(f"left out {relative} ({why})"))
    found = problems_of(entries, package.declared_certificates(args))
    for level in (REFUSAL, WARNING, NOTE):
        for problem in of_level(found, level):
            print(labelled(problem))
    refused = len(of_level(found, REFUSAL))
    print(f"{len(entries)} files: " + (f"{refused} refusals; no setup can be built" if refused else "would build"))
    return 1 if refused else 0
