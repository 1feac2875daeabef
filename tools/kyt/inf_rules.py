"""What the driver package's own files must be for the setup to install on 64-bit Windows, judged
as dpinst.exe and x64 Windows judge them: the INFs the installer reads (those at the package's
root and in the folders and paths dpinst.xml names), their models for x64, the files their x64
installation copies, the signed catalogs that must list the hashes of the INF and of every such
file, and dpinst.xml itself. Each check answers with one Problem (file, line, reason, level):
refusals are what breaks the installation on a 64-bit Windows 10 or 11 machine that nobody
prepared, warnings what the release engineer should know, notes what the summary tells. A
catalog's signature counts as Windows counts it: signed by Microsoft, through a public
certification authority, with a test certificate the release engineer declares trusted, or
untrusted, which is unsigned to Windows. Where an INF construct is beyond these rules the checks
say nothing: a false refusal is worse than a missed warning."""
import datetime
import re
import string
from dataclasses import dataclass, field
from xml.etree import ElementTree

from . import catalogs
from .errors import USAGE, KytError
from .problems import NOTE, REFUSAL, WARNING, Problem

SIGNATURES = ("$windows nt$", "$chicago$")
DRIVER_VER = re.compile(r"^([0-9]{2})([/-])([0-9]{2})\2([0-9]{4})$")
VERSION = re.compile(r"^[0-9]+(\.[0-9]+){0,3}$")
X64_MODELS = re.compile(r"^ntamd64(\.|$)", re.IGNORECASE)  # the only models decoration x64 reads
ASCII_FOLD = str.maketrans(string.ascii_uppercase, string.ascii_lowercase)
UNSIGNED = "64-bit Windows installs no unsigned driver package"
LEGACY = " (dpinst.xml's <legacyMode/> does not change this: it only keeps dpinst.exe from refusing the package itself)"
UNTRUSTED = ("sign it through a public certification authority or Microsoft, or, for test machines, declare the "
             "certificate trusted (--test-certificate)")
LINE_ENDS = "its line ends were changed after signing (keep *.inf byte for byte in git: `*.inf -text`)"


def fold(name):
    """Returns the name as Windows compares file names: ASCII letters in lower case."""
    return name.translate(ASCII_FOLD)


@dataclass
class Entry:
    number: int  # the line the entry starts on, counting from 1
    key: str  # as written, "" for a line without "="
    fields: list  # the values after "=" (the whole line without one), unquoted


@dataclass
class Inf:
    sections: dict = field(default_factory=dict)  # lower-case name: [Entry]
    headers: dict = field(default_factory=dict)  # lower-case name: the line of its first header


def decode(data):
    """Returns the INF's text as Windows reads it: UTF-16LE or UTF-8 after their byte-order mark,
    else ANSI. Raises ValueError saying why the bytes are no text."""
    for mark, codec in ((b"\xff\xfe", "UTF-16LE"), (b"\xef\xbb\xbf", "UTF-8")):
        if data.startswith(mark):
            try:
                return data[len(mark):].decode(codec)
            except UnicodeDecodeError as error:
                raise ValueError(f"is marked {codec} but is not ({error.reason} at byte {error.start + len(mark)})")
    if b"\0" in data:
        raise ValueError("holds NUL bytes but no byte-order mark; save it as UTF-16LE with its mark, or as ANSI")
    return data.decode("latin-1")


def split_outside_quotes(text, separator, limit=-1):
    """Returns the parts of text between separators that stand outside double quotes."""
    parts, start, quoted = [], 0, False
    for i, c in enumerate(text):
        if c == '"':
            quoted = not quoted
        elif c == separator and not quoted and limit != 0:
            parts.append(text[start:i])
            start, limit = i + 1, limit - 1
    return parts + [text[start:]]


def logical_lines(text):
    """Yields (number of the first line, text) of each line with its comment removed and the
    lines it continues with a final backslash joined to it."""
    pending, first = "", None
    for number, line in enumerate(re.split(r"\r\n|\r|\n", text), 1):
        line = split_outside_quotes(line, ";", 1)[0].rstrip()
        first = first or number
        if line.endswith("\\"):
            pending += line[:-1]
            continue
        yield first, pending + line
        pending, first = "", None
    if pending.strip():
        yield first, pending


def unquote(value):
    """Returns a field without its blanks and quotes; two quotes inside quotes stand for one."""
    value = value.strip()
    return "".join(part.replace('""', '"') if i % 2 else part
                   for i, part in enumerate(re.split(r'"((?:[^"]|"")*)"', value)))


def parse(text):
    """Returns the INF's sections with %strkey% tokens replaced from [Strings] (the undecorated
    section first, then the localised ones); an unknown token stays as it is."""
    raw = Inf()
    section = None
    for number, line in logical_lines(text):
        stripped = line.strip()
        if stripped.startswith("[") and "]" in stripped:
            section = fold(stripped[1:stripped.index("]")].strip())
            raw.sections.setdefault(section, [])
            raw.headers.setdefault(section, number)
        elif stripped and section is not None:
            parts = split_outside_quotes(stripped, "=", 1)
            key, value = parts if len(parts) == 2 else ("", stripped)
            raw.sections[section].append(Entry(number, unquote(key), split_outside_quotes(value, ",")))
    strings = {}
    for name in sorted((n for n in raw.sections if n == "strings" or n.startswith("strings.")), key=len):
        for entry in raw.sections[name]:
            if entry.key:
                strings.setdefault(fold(entry.key), unquote(",".join(entry.fields)))

    def substitute(value):
        return re.sub(r"%([^%]*)%", lambda m: "%" if not m.group(1) else strings.get(fold(m.group(1)), m.group(0)),
                      value)

    for name, entries in raw.sections.items():
        if name != "strings" and not name.startswith("strings."):
            for entry in entries:
                entry.key = substitute(entry.key)
                entry.fields = [unquote(substitute(f)) for f in entry.fields]
    return raw


def first(inf, section, *keys):
    """Returns the first entry of the section under the first of the keys it holds, or None."""
    for key in keys:
        for entry in inf.sections.get(section, []):
            if fold(entry.key) == key:
                return entry
    return None


def x64_models(inf):
    """Returns ([names of the models sections [Manufacturer] names for x64], [the other names])."""
    for64, others = [], []
    for entry in inf.sections.get("manufacturer", []):
        base = entry.fields[0]
        decorations = [d for d in entry.fields[1:] if d] if entry.key else []
        others += [base] if not decorations else []
        for decoration in decorations:
            (for64 if X64_MODELS.match(decoration) else others).append(f"{base}.{decoration}")
    return for64, others


def package_path(*parts):
    """Returns the package path that the backslash- or slash-separated parts name, or None when
    it leaves the package or holds a token that could not be replaced."""
    path = []
    for part in re.split(r"[\\/]", "\\".join(parts)):
        if "%" in part:
            return None
        if part == "..":
            if not path:
                return None
            path.pop()
        elif part not in ("", "."):
            path.append(part)
    return "\\".join(path)


def inf_folder(relative):
    return relative.rpartition("\\")[0]


def decorated(inf, name):
    """Returns the lower-case name of the section x64 Windows takes for an install section:
    name.NTamd64, else name.NT, else name itself; None when the INF holds none of them."""
    for suffix in (".ntamd64", ".nt", ""):
        if fold(name + suffix) in inf.sections:
            return fold(name + suffix)
    return None


def x64_copies(inf, held):
    """Yields (install section, section, entry, source file name) for every file the x64
    installation copies: the CopyFiles of each x64 model's install section and of its
    .CoInstallers section, both as file-list sections and as @file entries."""
    seen = set()
    for models in held:
        for model in inf.sections[models]:
            install = decorated(inf, model.fields[0]) if model.key and model.fields[0] else None
            for section in (install, install and install + ".coinstallers"):
                for directive in inf.sections.get(section, []) if section not in seen else []:
                    if fold(directive.key) != "copyfiles":
                        continue
                    for name in filter(None, directive.fields):
                        if name.startswith("@"):
                            yield install, section, directive, name[1:]
                        for entry in inf.sections.get(fold(name), []) if not name.startswith("@") else []:
                            source = entry.fields[1] if len(entry.fields) > 1 and entry.fields[1] else entry.fields[0]
                            if source:
                                yield install, name, entry, source
                seen.add(section)


def listed(inf, name):
    """Returns the INF's own [SourceDisksFiles.amd64] (else [SourceDisksFiles]) entry of a file, or None."""
    for suffix in (".amd64", ""):
        found = next((e for e in inf.sections.get("sourcedisksfiles" + suffix, []) if fold(e.key) == fold(name)), None)
        if found:
            return found
    return None


def system_sources(inf, install):
    """Returns the system INFs that supply the files an install section copies without listing
    them: those its Include= names (an included INF's source-file sections are folded into the
    including INF's), then the LayoutFile of [Version]; [] when there are none."""
    names = [f for e in inf.sections.get(install, []) if fold(e.key) == "include" for f in e.fields if f]
    layout = first(inf, "version", "layoutfile")
    return names + ([f for f in layout.fields if f] if layout else [])


def x64_files(relative, inf, held):
    """Returns ([(section, entry, file name, package path)] of the files the x64 installation
    copies from the package (path None where that is beyond these rules), [(section, entry, file
    name, system INFs)] of those Windows supplies: files the INF's own source-file sections do
    not list, copied by an install section that takes files from a system INF."""
    package, system = [], []
    for install, section, entry, name in x64_copies(inf, held):
        sources = [] if listed(inf, name) else system_sources(inf, install)
        if sources:
            system.append((section, entry, name, sources))
        else:
            package.append((section, entry, name, source_path(relative, inf, name)))
    return package, system


def missing_file(relative, section, entry, name, path):
    """Returns the refusal of a file the x64 installation copies that the package does not hold."""
    return Problem(relative, entry.number, f"[{section}] copies {name} for x64 from {path}, which the package does "
                                           f"not hold")


def source_path(relative, inf, name):
    """Returns where x64 Windows takes a copied file from, as a package path ([SourceDisksFiles.amd64]
    before [SourceDisksFiles], the disk from [SourceDisksNames.amd64] before [SourceDisksNames],
    the INF's folder for a file no section lists), or None where that is beyond these rules:
    cabinets, disks with flags, paths with a directory id or leading out of the package."""
    entry = listed(inf, name)
    if entry is None:
        return package_path(inf_folder(relative), name)
    disk = None
    for suffix in (".amd64", ""):
        disk = disk or next((e.fields for e in inf.sections.get("sourcedisksnames" + suffix, [])
                             if fold(e.key) == fold(entry.fields[0])), None)
    cabinet = len(disk or []) > 1 and fold(disk[1]).endswith(".cab")
    if disk is None or cabinet or (len(disk) > 4 and disk[4] not in ("", "0")):
        return None
    subdir = entry.fields[1] if len(entry.fields) > 1 else ""
    return package_path(inf_folder(relative), disk[3] if len(disk) > 3 else "", subdir, name)


def driver_ver_problem(entry, today):
    """Returns why a DriverVer entry is not mm/dd/yyyy (or mm-dd-yyyy) with up to four version
    parts below 65535, or is 0.0.0.0 or dated after today; None when it is right."""
    text = ",".join(entry.fields)
    date = DRIVER_VER.match(entry.fields[0])
    version = entry.fields[1] if len(entry.fields) > 1 else ""
    if not date or len(entry.fields) > 2 or (version and not VERSION.match(version)) or \
            any(int(part) >= 65535 for part in version.split(".") if version):
        return f"DriverVer {text} is not mm/dd/yyyy,w.x.y.z (each part below 65535)"
    try:
        day = datetime.date(int(date.group(4)), int(date.group(1)), int(date.group(3)))
    except ValueError:
        return f"DriverVer {text} is not a date"
    if version and not any(int(part) for part in version.split(".")):
        return f"DriverVer {text} has the version 0.0.0.0, which is not valid"
    return f"DriverVer {text} is a date in the future" if day > today else None


@dataclass
class Settings:
    """What dpinst.xml at the package's root tells the installer."""
    folders: list = field(default_factory=list)  # folded package paths it searches, "*" for all
    packages: list = field(default_factory=list)  # folded INF paths of its <package path>
    legacy: bool = False
    quiet: bool = False
    problems: list = field(default_factory=list)


def read_settings(files):
    """Returns the settings of dpinst.xml at the root of {folded path: (path, absolute)}."""
    settings = Settings()
    if "dpinst.xml" not in files:
        return settings
    relative, absolute = files["dpinst.xml"]
    try:
        root = ElementTree.parse(absolute).getroot()
    except ElementTree.ParseError as error:
        settings.problems.append(Problem(relative, error.position[0], f"is not well-formed XML "
                                         f"({str(error).split(':')[0]}); the installer reads no settings from it",
                                         WARNING))
        return settings
    for search in root.iter("search"):
        for sub in search.iter("subDirectory"):
            path = "*" if (sub.text or "").strip() == "*" else package_path(sub.text or "")
            settings.folders += [fold(path)] if path else []
    for package in root.iter("package"):
        path = package_path(package.get("path", ""))
        settings.packages += [fold(path)] if path else []
    settings.legacy = root.find("legacyMode") is not None
    settings.quiet = root.find("quietInstall") is not None
    return settings


def read_by_installer(folded, settings):
    """Returns whether dpinst.exe reads the INF at this folded package path."""
    folder = inf_folder(folded)
    return not folder or folded in settings.packages or any(
        path == "*" or folder == path or folder.startswith(path + "\\") for path in settings.folders)


def signature_problems(shown, catalog, trust):
    """Returns what the check says of a readable signed catalog, given its trust_of: a note for
    Microsoft's signature, a warning for a publisher Windows asks about or a declared test
    certificate, a refusal for an untrusted signature."""
    kind, detail = trust
    if kind == catalogs.MICROSOFT:
        return [Problem(shown, 0, f"signed by {catalog.signer}, through Microsoft ({detail})", NOTE)]
    if kind == catalogs.PUBLIC:
        return [Problem(shown, 0, f"signed by {catalog.signer} through the public certification authority {detail}, "
                                  f"not by Microsoft: Windows asks an administrator whether to trust this publisher "
                                  f"(unless the machine lists it among its Trusted Publishers), and a run nobody "
                                  f"watches (as SYSTEM, in session 0) cannot answer, so it fails there", WARNING)]
    if kind == catalogs.TEST:
        return [Problem(shown, 0, f"signed by {catalog.signer} with the test certificate {detail}, declared trusted: "
                                  f"the setup installs only where this test certificate is trusted (in the Trusted "
                                  f"Root Certification Authorities and Trusted Publishers stores, or with test "
                                  f"signing on)", WARNING)]
    return [Problem(shown, 0, f"is signed by {catalog.signer}, {detail}: to Windows the INFs it signs are unsigned, "
                              f"and {UNSIGNED}; {UNTRUSTED}")]


class Judge:
    """Judges the INFs of one package against its files, reading each catalog once."""

    def __init__(self, files, today, roots, declared):
        self.files, self.today, self.roots, self.declared = files, today, roots, declared
        self.catalogs = {}  # folded path: (Catalog, trust_of) or (Catalog, None) when it is no signed catalog
        self.legacy = False  # whether dpinst.xml says <legacyMode/>
        self.supplied = []  # Problems (notes) of the files Windows supplies

    def data(self, folded):
        try:
            with open(self.files[folded][1], "rb") as f:
                return f.read()
        except OSError as error:
            raise KytError(f"{self.files[folded][0]} cannot be read ({error.strerror})", USAGE)

    def catalog(self, folded):
        if folded not in self.catalogs:
            catalog = catalogs.read(self.data(folded))
            trust = None if catalog.problem else catalogs.trust_of(catalog, self.roots, self.declared, self.today)
            self.catalogs[folded] = (catalog, trust)
        return self.catalogs[folded]

    def check_inf(self, relative, data):
        """Returns (problems, whether it has x64 models) of one INF that the installer reads."""
        try:
            inf = parse(decode(data))
        except ValueError as error:
            return [Problem(relative, 0, f"cannot be decoded: it {error}")], False
        if "version" not in inf.sections:
            return [Problem(relative, 0, "has no [Version] section, so Windows does not take it for an INF")], False
        problems = []
        signature = first(inf, "version", "signature")
        if signature is None:
            problems.append(Problem(relative, inf.headers["version"], "[Version] has no Signature"))
        elif fold(",".join(signature.fields)) not in SIGNATURES:
            problems.append(Problem(relative, signature.number, f'Signature is "{",".join(signature.fields)}", '
                                                                f'not "$Windows NT$" or "$Chicago$"'))
        for64, others = x64_models(inf)
        held = [fold(name) for name in for64 if fold(name) in inf.sections]
        models = any(e.key for name in held for e in inf.sections[name])
        if not models:
            line = inf.headers.get("manufacturer", 0)
            problems.append(Problem(relative, line, "has no model for 64-bit Windows (NTamd64)" + (
                f": [Manufacturer] names {', '.join(for64)}, which the INF does not hold" if for64 and not held else
                f", only {', '.join(others)}" if others else ""), WARNING))
        driver_ver = first(inf, "version", "driverver")
        if driver_ver is None:
            problems.append(Problem(relative, 0, "has no DriverVer in [Version]", WARNING))
        else:
            why = driver_ver_problem(driver_ver, self.today)
            problems += [Problem(relative, driver_ver.number, why, WARNING)] if why else []
        if not models:
            return problems, False
        # Legacy mode only keeps dpinst.exe from refusing the package; Windows' own rules stay.
        return problems + [Problem(p.file, p.line, p.reason + LEGACY, p.level) if self.legacy and p.level == REFUSAL
                           else p for p in self.check_copies(relative, inf, held, data)], True

    def check_copies(self, relative, inf, held, data):
        """Returns the problems of the files the x64 installation copies and of the catalog."""
        problems, copied = [], {}
        package, system = x64_files(relative, inf, held)
        for section, entry, name, path in package:
            if path and fold(path) not in self.files:
                problems.append(missing_file(relative, section, entry, name, path))
            elif path:
                copied.setdefault(fold(path), name)
        supplied = {}
        for _, _, name, sources in system:
            supplied.setdefault(fold(name), (name, sources))
        self.supplied += [Problem(relative, 0, f"copies {name} for x64 from Windows (through {', '.join(sources)}), "
                                               f"not from the package", NOTE) for name, sources in supplied.values()]
        entry = first(inf, "version", "catalogfile.ntamd64", "catalogfile.nt", "catalogfile")
        name = entry.fields[0] if entry else ""
        path = package_path(inf_folder(relative), name) if name.strip(".") and not re.search(r"[\\/%]", name) else None
        if entry is None:
            return problems + [Problem(relative, 0, f"names no catalog for x64 (CatalogFile), so it is unsigned; "
                                                    f"{UNSIGNED}")]
        if not path or fold(path) not in self.files:
            return problems + [Problem(relative, entry.number, f"{entry.key} names {name}, which is not in the "
                                                               f"package next to the INF")]
        catalog, trust = self.catalog(fold(path))
        shown = self.files[fold(path)][0]
        if catalog.problem:
            return problems + [Problem(shown, 0, f"{catalog.problem}, so {relative} is unsigned; {UNSIGNED}")]
        if not catalogs.file_digests(data) & catalog.digests:
            crlf = re.sub(rb"\r?\n", b"\r\n", data)
            why = LINE_ENDS if catalogs.file_digests(crlf) & catalog.digests else "the INF was changed after signing"
            problems.append(Problem(relative, 0, f"its hash is not in {shown}: {why}"))
        for folded, name in copied.items():
            if not catalogs.file_digests(self.data(folded)) & catalog.digests:
                problems.append(Problem(self.files[folded][0], 0, f"its hash is not in {shown}, which {relative} "
                                                                  f"names: it was changed after signing"))
        kernel = sorted(name for name in copied.values() if fold(name).endswith(".sys"))
        if kernel and trust[0] in (catalogs.PUBLIC, catalogs.TEST):
            problems.append(Problem(relative, 0, f"copies the kernel driver {', '.join(kernel)} under a catalog "
                                                 f"signed by {catalog.signer}: Windows 10 (1607) and later load new "
                                                 f"kernel drivers only with Microsoft's signature (from the hardware "
                                                 f"dashboard) or with test signing on", WARNING))
        return problems


def check_package(entries, today=None, declared=(), roots=None):
    """Returns the Problems of the package's files, given as [(relative path with backslashes,
    absolute path)]: every INF the installer reads, the files and catalogs they need, dpinst.xml.
    declared: the certificates the release engineer declares trusted by the target machines;
    roots: the table of trusted roots (load_roots). Raises KytError (exit code 2) when a module the check
    needs is missing or a file cannot be read."""
    catalogs.require()
    judge = Judge({fold(relative): (relative, absolute) for relative, absolute in entries},
                  today or datetime.date.today(), catalogs.load_roots() if roots is None else roots, list(declared))
    settings = read_settings(judge.files)
    judge.legacy = settings.legacy
    problems, read, installs = list(settings.problems), 0, 0
    for relative, absolute in entries:
        if not fold(relative).endswith(".inf"):
            continue
        if not read_by_installer(fold(relative), settings):
            problems.append(Problem(relative, 0, "not read by the installer (neither at the package's root nor in a "
                                                 "folder dpinst.xml names), so not judged", NOTE))
            continue
        found, x64 = judge.check_inf(relative, judge.data(fold(relative)))
        problems += found
        read, installs = read + 1, installs + x64
    if read and not installs:
        problems.append(Problem("", 0, "no INF the installer reads has a model for 64-bit Windows (NTamd64): "
                                       "nothing would install"))
    elif not read:
        problems.append(Problem("", 0, "the installer reads no INF (none at the package's root or in a folder "
                                       "that dpinst.xml names with <search><subDirectory>): nothing would install, yet the installer would report success"))
    problems += judge.supplied
    for folded, (catalog, trust) in sorted(judge.catalogs.items()):
        problems += [Problem(p.file, p.line, p.reason + LEGACY, p.level) if settings.legacy and p.level == REFUSAL
                     else p for p in signature_problems(judge.files[folded][0], catalog, trust)] if trust else []
    if installs:
        problems.append(Problem("", 0, "dpinst.xml says <legacyMode/>: dpinst.exe does not refuse unsigned packages "
                                       "itself, but 64-bit Windows still does, so no refusal changes", NOTE)
                        if settings.legacy else None)
        problems.append(Problem("", 0, "dpinst.xml asks for a quiet install (<quietInstall/>)", NOTE) if settings.quiet
                        else Problem("", 0, "the installer shows its wizard (no <quietInstall/> in dpinst.xml): a run "
                                            "nobody watches (as SYSTEM, in session 0) waits for a click nobody can "
                                            "give", WARNING))
    return [problem for problem in problems if problem]
