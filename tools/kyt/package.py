"""The driver-package folder: the options that name it (declared here once for every command),
the files it carries, their fixed order and the manifest text.

The manifest order is fixed, so the same folder always gives the same manifest: the files of a
folder come first, sorted by name ignoring ASCII case (ties broken by the exact name), then its
sub-folders in the same order, each with its own files first. Payload resources are named
KYT_FILE_000 upwards in manifest line order; every line is "name|relative\\path" with CR LF.
Paths inside the package are written with backslashes and compared ignoring ASCII case, as
Windows, where the setup runs, compares them, whatever machine the tool runs on.

Version-control folders and desktop clutter are left out with a line that says so; --exclude
leaves out more: a pattern without "/" matches a file or folder name at any depth, one with "/"
a path from the package root (ASCII case ignored, shell wildcards, "\\" taken as "/").
"""
import fnmatch
import os
import stat

from .errors import USAGE, KytError
from .problems import Problem, refusal

# Left out of every package: what version control and desktops put into folders.
VERSION_CONTROL = {".git", ".svn", ".hg", ".bzr", "cvs"}
DESKTOP_CLUTTER = {".ds_store", "thumbs.db", "ehthumbs.db", "desktop.ini", "__macosx"}


def add_options(parser, required=False):
    """Declares the options that name a package: the folder, the files added to it, the patterns
    left out, and the certificates that the target machines trust."""
    group = parser.add_argument_group("the driver package")
    group.add_argument("--package", required=required, metavar="DIR", help="the driver-package folder")
    group.add_argument("--add", action="append", default=[], metavar="REL=FILE",
                       help="carry FILE at REL too, in place of a file there (REL with \\ or /)")
    group.add_argument("--exclude", action="append", default=[], metavar="PATTERN",
                       help="leave out the files and folders the pattern matches")
    group.add_argument("--test-certificate", action="append", default=[], metavar="PEM",
                       help="a certificate the target machines trust: catalogs signed through it are accepted")


def files_of(args):
    """Returns ([(relative path, absolute path)] in manifest order, [(relative path, why)] of
    what was left out) of the package the options name; raises KytError for a refused folder."""
    return gathered(args.package, args.add, args.exclude)


def gathered(folder, additions, excludes=()):
    """Returns the files of the folder (none without one) with the REL=FILE additions, in
    manifest order, and what was left out, as files_of does."""
    entries, left_out = collect(folder, excludes) if folder else ([], [])
    return with_additions(entries, additions), left_out


def declared_certificates(args):
    """Returns the certificates --test-certificate names."""
    from .catalogs import load_certificates
    return [certificate for path in args.test_certificate for certificate in load_certificates(path)]


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
        pattern = pattern.replace("\\", "/")
        if fnmatch.fnmatchcase(slashed if "/" in pattern else lower, pattern.lower()):
            return f"--exclude {pattern}"
    return None


def is_link(item):
    """Returns whether a folder entry leads elsewhere: a symbolic link, or on Windows any reparse
    point (a junction or mount point), which the file system follows like a folder."""
    attributes = getattr(item.stat(follow_symlinks=False), "st_file_attributes", 0)
    return item.is_symlink() or bool(attributes & getattr(stat, "FILE_ATTRIBUTE_REPARSE_POINT", 0x400))


def collect(folder, excludes=()):
    """Returns ([(relative path with backslashes, absolute path)] of every file below folder,
    [(relative path, why)] of what was left out). Raises KytError for a folder that does not
    exist, for links, which would carry content from elsewhere or nothing, and for anything
    that is neither a file nor a folder."""
    if not os.path.isdir(folder):
        raise KytError(f"the package folder {folder} does not exist or is not a folder", USAGE)
    found, left_out, refused = [], [], []

    def walk(absolute_folder, relative_folder):
        for item in sorted(os.scandir(absolute_folder), key=lambda e: e.name):
            relative = relative_folder + item.name
            why = left_out_because(relative, item.name, excludes)
            if why:
                left_out.append((relative + ("\\" if item.is_dir(follow_symlinks=False) else ""), why))
            elif is_link(item):
                target = os.readlink(item.path) if item.is_symlink() else "a junction"
                refused.append(Problem(relative, 0, f"is a symbolic link (to {target}); "
                                                    f"put the file or folder itself into the package"))
            elif item.is_dir():
                walk(item.path, relative + "\\")
            elif item.is_file():
                found.append((relative, item.path))
            else:
                refused.append(Problem(relative, 0, "is neither a file nor a folder (a device, pipe or socket)"))

    walk(folder, "")
    if refused:
        raise refusal(refused)
    return found, left_out


def with_additions(entries, additions):
    """Returns the entries in manifest order with each REL=FILE addition carried at REL (in
    place of a file there). Raises KytError for an addition without "=" or without its file."""
    for addition in additions:
        relative, equals, absolute = addition.partition("=")
        relative = relative.replace("/", "\\").strip("\\")
        if not equals or not relative or not absolute:
            raise KytError(f"--add {addition}: give REL=FILE, the path in the package and the file", USAGE)
        if not os.path.isfile(absolute):
            raise KytError(f"--add {addition}: {absolute} is not a file", USAGE)
        entries = [e for e in entries if e[0].lower() != relative.lower()] + [(relative, absolute)]
    return sorted(entries, key=lambda entry: manifest_order(entry[0]))


def package_files(package, additions, excludes=()):
    """Returns the (relative path, absolute path) of every payload file in manifest order: the
    folder's files, with each REL=FILE addition carried at REL (in place of a file there)."""
    return gathered(package, additions, excludes)[0]


def manifest_text(entries):
    """Returns the KYT_MANIFEST text of the entries."""
    return "".join(f"KYT_FILE_{i:03d}|{relative}\r\n" for i, (relative, _) in enumerate(entries)).encode("ascii")
