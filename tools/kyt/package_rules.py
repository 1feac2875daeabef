"""What a driver-package folder must be to make a working setup: the checks the package build
runs on every payload file, each answering with a Problem that names the file and the reason."""
import os
import re

from . import pe_image
from .errors import KytError
from .problems import Problem, refusal

MAX_FILES = 1000  # three-digit resource names
MAX_SIZE = 4 * 1024 ** 3  # a resource's size is a 32-bit count
RESERVED = re.compile(r"^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\..*)?$", re.IGNORECASE)

# A staged file's path is <temporary folder>KYT_DRIVER_SETUP\<pid>-<tick>-<attempt>\<relative path>.
# The temporary folder is taken as 64 characters with its trailing backslash: a profile folder
# C:\Users\<name>\AppData\Local\Temp\ with a 20-character user name and 15 characters to spare
# (a profile suffix such as ".DOMAIN.000"). The run's directory name is at its longest with a
# 10-digit process id, a 20-digit tick count and a 2-digit attempt number.
TEMP_FOLDER_LENGTH = 64
STAGING_PREFIX_LENGTH = TEMP_FOLDER_LENGTH + len("KYT_DRIVER_SETUP\\") + (10 + 1 + 20 + 1 + 2) + 1
MAX_FILE_PATH = 259  # MAX_PATH less the terminating NUL
MAX_FOLDER_PATH = 247  # CreateDirectoryW keeps room for an 8.3 file name below a folder


def path_problem(relative):
    """Returns why a relative path cannot be carried, or None."""
    if any(ord(c) < 0x20 or ord(c) > 0x7E for c in relative):
        return "holds a non-ASCII or control character"
    if relative.startswith(("/", "\\")):
        return "starts with a slash"
    if ".." in relative:
        return 'holds ".."'
    if ":" in relative:
        return 'holds ":"'
    if "|" in relative:
        return 'holds "|", the manifest\'s field separator'
    for part in relative.split("\\"):
        if RESERVED.match(part):
            return f'uses the reserved device name "{part}"'
        if part.endswith((".", " ")):
            return f'has a name ending in a dot or blank: "{part}"'
        if any(c in part for c in '<>"/*?'):
            return f'has a character Windows refuses in file names: "{part}"'
    return None


def length_problem(relative, limit):
    """Returns why a path is too long to be staged (limit: the longest full path), or None."""
    staged = STAGING_PREFIX_LENGTH + len(relative)
    if staged <= limit:
        return None
    return (f"is {len(relative)} characters; staged below a temporary folder of {TEMP_FOLDER_LENGTH} characters "
            f"its path would be {staged}, over Windows' limit of {limit}")


def installer_problem(path):
    """Returns why the file at path is not a 64-bit (x86-64) Windows program, or None."""
    with open(path, "rb") as f:
        head = f.read(4096)
    try:
        image = pe_image.read_image(head)
    except KytError as error:
        return str(error)
    if image.machine != pe_image.AMD64 or image.magic != pe_image.PE32_PLUS:
        return f"is not a 64-bit x86-64 Windows program (machine 0x{image.machine:04x}, optional header 0x{image.magic:x})"
    if not image.characteristics & 0x0002 or image.characteristics & 0x2000:
        return "is a DLL or an image that cannot run, not a program"
    if image.subsystem not in (2, 3):
        return f"is not a Windows GUI or console program (subsystem {image.subsystem})"
    return None


def case_clashes(entries):
    """Returns a Problem for every file or folder name that differs only in case from
    another one at the same place, or stands for a file at one place and a folder at another."""
    seen, problems = {}, []
    for relative, _ in entries:
        parts = relative.split("\\")
        for depth in range(1, len(parts) + 1):
            path = "\\".join(parts[:depth])
            kind = "file" if depth == len(parts) else "folder"
            other = seen.setdefault(path.lower(), (path, kind))
            if other != (path, kind):
                problems.append(Problem(path, 0, f'clashes with the {other[1]} "{other[0]}"; Windows does not '
                                                 f"tell names apart by case"))
                break
    return sorted(set(problems), key=str)


def validate(entries):
    """Raises KytError naming every file that would make a broken or unsafe setup."""
    problems = payload_problems(entries)
    if problems:
        raise refusal(problems)


def payload_problems(entries):
    """Returns a Problem for every file that would make a broken or unsafe setup."""
    problems = []
    folders = set()
    for relative, absolute in entries:
        size = os.path.getsize(absolute)
        problem = (path_problem(relative) or length_problem(relative, MAX_FILE_PATH)
                   or ("is empty (a payload file needs at least one byte)" if size == 0 else None)
                   or (f"is {size} bytes, 4 GiB or more" if size >= MAX_SIZE else None))
        if problem is None and relative.lower() == "dpinst.exe":
            problem = installer_problem(absolute)
        if problem:
            problems.append(Problem(relative, 0, problem))
        folders.update("\\".join(relative.split("\\")[:depth]) for depth in range(1, relative.count("\\") + 1))
    for folder in sorted(folders):
        problem = length_problem(folder, MAX_FOLDER_PATH)
        if problem:
            problems.append(Problem(folder + "\\", 0, problem))
    problems += case_clashes(entries)
    if not any(relative.lower() == "dpinst.exe" for relative, _ in entries):
        problems.append(Problem("dpinst.exe", 0, "missing at the package's root; the setup could not start the "
                                                 "installer"))
    if len(entries) > MAX_FILES:
        problems.append(Problem("", 0, f"the package holds {len(entries)} files; at most {MAX_FILES} fit the names "
                                       f"KYT_FILE_000 to KYT_FILE_999"))
    return problems
