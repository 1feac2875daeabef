#!/usr/bin/env python3
"""Builds a setup's package from a driver-package folder, and reports what a build packed.

  kyt_package.py generate --package DIR --out DIR [--setup EXE] [--add REL=FILE ...]
                          [--exclude PATTERN ...] [--test-certificate PEM ...] [--unchecked]
                          [--manifest-text FILE | --no-manifest] [--icon ICO] [--app-manifest FILE]
  kyt_package.py summary --out DIR --setup EXE

generate writes OUT/manifest.txt (the KYT_MANIFEST text), OUT/setup.rc (the resource script),
OUT/payload.sha256 (a digest of everything the resource script carries) and OUT/package.json
(what the summary reports), each only when its content changes, so a build that runs it every
time rebuilds the setup exactly when the package changed. When anything changes, or the folder
is refused, the setup executable named by --setup is removed first: a build folder never holds
a setup next to generated files that describe another package. A refused folder leaves none of
the generated files either.

The manifest order is fixed, so the same folder always gives the same manifest: the files of a
folder come first, sorted by name ignoring ASCII case (ties broken by the exact name), then its
sub-folders in the same order, each with its own files first. Payload resources are named
KYT_FILE_000 upwards in manifest line order; every line is "name|relative\\path" with CR LF.

Version-control folders and desktop clutter are left out with a line that says so; --exclude
leaves out more: a pattern without "/" matches a file or folder name at any depth, one with "/"
a path from the package root (ASCII case ignored, shell wildcards). A folder that would make a
broken or unsafe setup is refused with a message naming each file and the reason, and so is
one whose INF files would not install on 64-bit Windows (see inf_rules.py); what deserves a look
but does not stop the build (a DriverVer missing, a wizard nobody can click) is a warning in the
summary, which also names each catalog's signer and the INFs the installer does not read.
--test-certificate declares a certificate that the target machines trust (test machines): a
catalog signed with it, or through it, is accepted with a warning that the setup installs only
where it is trusted. --unchecked lets tests build deliberately broken packages. Exits 0 when it
wrote the files, 1 when the folder is refused, 2 when the check cannot run (a Python module
missing, a file unreadable): it then says what is missing and leaves no setup either.
"""
import argparse
import fnmatch
import hashlib
import json
import os
import sys

from catalogs import load_certificates
from inf_rules import check_package
from package_rules import PackageError, validate
from problems import NOTE, REFUSAL, WARNING, CannotCheck, Problem, escaped, of_level

# Left out of every package: what version control and desktops put into folders.
VERSION_CONTROL = {".git", ".svn", ".hg", ".bzr", "cvs"}
DESKTOP_CLUTTER = {".ds_store", "thumbs.db", "ehthumbs.db", "desktop.ini", "__macosx"}
GENERATED = ("manifest.txt", "setup.rc", "payload.sha256", "package.json")


def manifest_order(relative):
    """Sort key of a relative path: in every folder its files come before its sub-folders, each
    group sorted by name ignoring ASCII case, ties broken by the exact name."""
    parts = relative.split("\\")
    return [(1, p.lower(), p) for p in parts[:-1]] + [(0, parts[-1].lower(), parts[-1])]


def left_out_because(relative, name, excludes):
    """Returns why a file or folder is left out of the package, or None."""
    lower = name.lower()
    if lower in VERSION_CONTROL:
        return "version control"
    if lower in DESKTOP_CLUTTER or lower.startswith("._"):
        return "desktop clutter"
    slashed = relative.replace("\\", "/").lower()
    for pattern in excludes:
        if fnmatch.fnmatchcase(slashed if "/" in pattern else lower, pattern.lower()):
            return f"--exclude {pattern}"
    return None


def collect(folder, excludes=()):
    """Returns ([(relative path with backslashes, absolute path)] of every file below folder,
    [(relative path, why)] of what was left out). Raises PackageError for a folder that does
    not exist, for symbolic links, which would carry content from elsewhere or nothing, and for
    anything that is neither a file nor a folder."""
    if not os.path.isdir(folder):
        raise PackageError([Problem(folder, 0, "the package folder does not exist or is not a folder")])
    found, left_out, refused = [], [], []

    def walk(absolute_folder, relative_folder):
        for item in sorted(os.scandir(absolute_folder), key=lambda e: e.name):
            relative = relative_folder + item.name
            why = left_out_because(relative, item.name, excludes)
            if why:
                left_out.append((relative + ("\\" if item.is_dir(follow_symlinks=False) else ""), why))
            elif item.is_symlink():
                refused.append(Problem(relative, 0, f"is a symbolic link (to {os.readlink(item.path)}); "
                                                    f"put the file or folder itself into the package"))
            elif item.is_dir():
                walk(item.path, relative + "\\")
            elif item.is_file():
                found.append((relative, item.path))
            else:
                refused.append(Problem(relative, 0, "is neither a file nor a folder (a device, pipe or socket)"))

    walk(folder, "")
    if refused:
        raise PackageError(refused)
    return found, left_out


def with_additions(entries, additions):
    """Returns the entries in manifest order with each REL=FILE addition carried at REL (in
    place of a file there)."""
    for addition in additions:
        relative, _, absolute = addition.partition("=")
        entries = [e for e in entries if e[0].lower() != relative.lower()] + [(relative, absolute)]
    return sorted(entries, key=lambda entry: manifest_order(entry[0]))


def package_files(package, additions, excludes=()):
    """Returns the (relative path, absolute path) of every payload file in manifest order: the
    folder's files, with each REL=FILE addition carried at REL (in place of a file there)."""
    return with_additions(collect(package, excludes)[0] if package else [], additions)


def manifest_text(entries):
    return "".join(f"KYT_FILE_{i:03d}|{relative}\r\n" for i, (relative, _) in enumerate(entries)).encode("ascii")


def rc_string(path):
    return '"' + os.path.abspath(path).replace("\\", "\\\\").replace('"', '\\"') + '"'


def resource_script(manifest_path, entries, icon, app_manifest):
    lines = ["// Generated by kyt_package.py; every resource in English (United States), 1033.", "LANGUAGE 9, 1"]
    if manifest_path:
        lines.append(f"KYT_MANIFEST RCDATA {rc_string(manifest_path)}")
    lines += [f"KYT_FILE_{i:03d} RCDATA {rc_string(absolute)}" for i, (_, absolute) in enumerate(entries)]
    if icon:
        lines.append(f"1 ICON {rc_string(icon)}")
    if app_manifest:
        lines.append(f"1 24 {rc_string(app_manifest)}")
    return "\n".join(lines) + "\n"


def file_digest(path, digest):
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)


def payload_digest(script, sources):
    """Returns the SHA-256 (hex) of the resource script and of every file it names, in order."""
    digest = hashlib.sha256(script)
    for path in sources:
        digest.update(b"\0" + path.encode() + b"\0")
        file_digest(path, digest)
    return digest.hexdigest()


def remove(path):
    if path and os.path.lexists(path):
        os.remove(path)


def write_changed(outputs, setup=None):
    """Writes each {path: bytes} whose content differs from the file's. When anything is to
    change the setup is removed first; the digest among the outputs then changes too, so the
    same build links the setup anew."""
    changed = {}
    for path, data in outputs.items():
        try:
            with open(path, "rb") as f:
                same = f.read() == data
        except FileNotFoundError:
            same = False
        if not same:
            changed[path] = data
    if changed:
        remove(setup)
    for path, data in changed.items():
        with open(path, "wb") as f:
            f.write(data)


def generate(args):
    entries, left_out = collect(args.package, args.exclude) if args.package else ([], [])
    for relative, why in left_out:
        print(escaped(f"kyt_package: left out {relative} ({why})"))
    entries = with_additions(entries, args.add)
    found = []
    if not args.unchecked:
        validate(entries)
        found = check_package(entries, declared=[c for path in args.test_certificate for c in load_certificates(path)])
        if of_level(found, REFUSAL):
            raise PackageError(of_level(found, REFUSAL))
    os.makedirs(args.out, exist_ok=True)
    manifest_path = os.path.join(args.out, "manifest.txt")
    if args.manifest_text:
        with open(args.manifest_text, "rb") as f:
            manifest = f.read()
    else:
        manifest = manifest_text(entries)
    script = resource_script(None if args.no_manifest else manifest_path, entries, args.icon, args.app_manifest)
    script = script.encode("utf-8")
    sources = [absolute for _, absolute in entries] + [p for p in (args.icon, args.app_manifest) if p]
    digest = payload_digest(manifest + b"\0" + script, sources)
    sizes = [(os.path.getsize(absolute), relative) for relative, absolute in entries]
    largest = max(sizes, key=lambda s: (s[0], s[1].lower())) if sizes else (0, "")
    info = {"package": os.path.abspath(args.package) if args.package else None, "files": len(entries),
            "bytes": sum(size for size, _ in sizes), "largest": largest[1], "largest_bytes": largest[0],
            "left_out": len(left_out), "warnings": [str(p) for p in of_level(found, WARNING)],
            "notes": [str(p) for p in of_level(found, NOTE)]}
    write_changed({manifest_path: manifest, os.path.join(args.out, "setup.rc"): script,
                   os.path.join(args.out, "payload.sha256"): (digest + "\n").encode()}, args.setup)
    write_changed({os.path.join(args.out, "package.json"): (json.dumps(info, indent=1) + "\n").encode()})


def summary(args):
    """Prints what the last build packed and what it made."""
    with open(os.path.join(args.out, "package.json")) as f:
        info = json.load(f)
    digest = hashlib.sha256()
    file_digest(args.setup, digest)
    left_out = f", {info['left_out']} left out" if info["left_out"] else ""
    print(f"Package: {info['package'] or '(no folder)'}")
    print(f"  {info['files']} files{left_out}, {info['bytes']:,} bytes; "
          f"largest {info['largest']} ({info['largest_bytes']:,} bytes)")
    for note in info.get("notes", []):
        print(f"  {note}")
    for warning in info.get("warnings", []):
        print(f"  warning: {warning}")
    print(f"Setup:   {os.path.abspath(args.setup)}")
    print(f"  {os.path.getsize(args.setup):,} bytes, SHA-256 {digest.hexdigest()}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    gen = commands.add_parser("generate", help="check the folder; write the manifest text and the resource script")
    gen.add_argument("--package", help="the driver-package folder")
    gen.add_argument("--out", required=True)
    gen.add_argument("--setup", help="the setup executable built from OUT; removed when it would disagree with OUT")
    gen.add_argument("--add", action="append", default=[], metavar="REL=FILE", help="carry FILE at REL too")
    gen.add_argument("--exclude", action="append", default=[], metavar="PATTERN", help="leave matching files out")
    gen.add_argument("--manifest-text", help="carry this file as KYT_MANIFEST instead of the generated text")
    gen.add_argument("--no-manifest", action="store_true", help="carry no KYT_MANIFEST at all")
    gen.add_argument("--test-certificate", action="append", default=[], metavar="PEM",
                     help="a certificate the target machines trust: catalogs signed through it are accepted")
    gen.add_argument("--unchecked", action="store_true", help="skip the package checks (test packages only)")
    gen.add_argument("--icon")
    gen.add_argument("--app-manifest")
    report = commands.add_parser("summary", help="print what the last build packed and the setup it made")
    report.add_argument("--out", required=True)
    report.add_argument("--setup", required=True)
    args = parser.parse_args(argv)
    if args.command == "summary":
        summary(args)
        return 0
    try:
        generate(args)
        return 0
    except PackageError as error:
        message, code = f"the driver package {args.package} cannot be built into a setup:\n{error}", 1
    except CannotCheck as error:
        message, code = f"the driver package {args.package} cannot be checked: {error}", 2
    remove(args.setup)
    for name in GENERATED:
        remove(os.path.join(args.out, name))
    print(f"kyt_package: {message}", file=sys.stderr)
    return code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
