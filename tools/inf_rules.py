"""What the driver package's own files must be for the setup to install on 64-bit Windows: every
INF read as Windows reads it, the catalog and source files it names, and dpinst.xml. Each check
answers with the file, the line where there is one, and the reason; refusals are what breaks the
installation on every x64 machine, warnings what the release engineer should know. Where an INF
construct is beyond these rules the checks say nothing: a false refusal is worse than a missed
warning."""
import datetime
import os
import re
import string
from dataclasses import dataclass, field
from xml.parsers import expat

try:
    from asn1crypto import cms
except ImportError:  # the catalogs are then not read, and the summary says so
    cms = None

SIGNATURES = ("$windows nt$", "$chicago$")
CTL_OID = "1.3.6.1.4.1.311.10.1"  # the certificate trust list that a Windows catalog signs
TEST_SIGNING = "installs only where test signing is on"
DRIVER_VER = re.compile(r"^([0-9]{1,2})/([0-9]{1,2})/([0-9]{4})$")
VERSION = re.compile(r"^[0-9]{1,5}(\.[0-9]{1,5}){3}$")
X64_MODELS = re.compile(r"^ntamd64(\.|$)", re.IGNORECASE)  # the only models decoration x64 reads
ASCII_FOLD = str.maketrans(string.ascii_uppercase, string.ascii_lowercase)


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


def source_file_problems(relative, inf, present):
    """Returns a refusal for every file of [SourceDisksFiles] or [SourceDisksFiles.amd64] whose
    disk places it inside the package where the package holds nothing. A file or disk listed in
    the .amd64 section is taken from there alone; disks that are cabinets or carry flags are left
    alone."""
    disks, files = {}, {}
    for suffix in (".amd64", ""):
        for entry in inf.sections.get("sourcedisksnames" + suffix, []):
            disks.setdefault(fold(entry.key), entry.fields)
        for entry in inf.sections.get("sourcedisksfiles" + suffix, []):
            files.setdefault(fold(entry.key), ("SourceDisksFiles" + suffix, entry))
    problems = []
    for section, entry in sorted(files.values(), key=lambda item: item[1].number):
        disk = disks.get(fold(entry.fields[0])) if entry.key else None
        if disk is None or (len(disk) > 1 and fold(disk[1]).endswith(".cab")) or \
                (len(disk) > 4 and disk[4] not in ("", "0")):
            continue
        subdir = entry.fields[1] if len(entry.fields) > 1 else ""
        target = package_path(inf_folder(relative), disk[3] if len(disk) > 3 else "", subdir, entry.key)
        if target and fold(target) not in present:
            problems.append(f"{relative}, line {entry.number}: [{section}] lists {entry.key} on disk "
                            f"{entry.fields[0]}, at {target}, which the package does not hold")
    return problems


def inf_folder(relative):
    return relative.rpartition("\\")[0]


def catalog_problem(data):
    """Returns why the catalog's bytes would not install the package where Windows checks driver
    signatures, or None."""
    try:
        info = cms.ContentInfo.load(data)
        signed = info["content"] if info["content_type"].native == "signed_data" else None
        content_type = signed["encap_content_info"]["content_type"].dotted if signed else None
        signers = len(signed["signer_infos"]) if signed else 0
    except (ValueError, TypeError, KeyError):
        content_type, signers = None, 0
    if content_type != CTL_OID:
        return f"is not a catalog (no PKCS#7 SignedData holding a certificate trust list); the package {TEST_SIGNING}"
    if not signers:
        return f"carries no signature; the package {TEST_SIGNING}"
    return None


def driver_ver_problem(entry, today):
    """Returns why a DriverVer entry is not mm/dd/yyyy,w.x.y.z with a date up to today, or None."""
    text = ",".join(entry.fields)
    date = DRIVER_VER.match(entry.fields[0])
    if not date or len(entry.fields) != 2 or not VERSION.match(entry.fields[1]) or \
            any(int(part) > 65535 for part in entry.fields[1].split(".")):
        return f"DriverVer {text} is not mm/dd/yyyy,w.x.y.z"
    try:
        day = datetime.date(int(date.group(3)), int(date.group(1)), int(date.group(2)))
    except ValueError:
        return f"DriverVer {text} is not a date"
    return f"DriverVer {text} is a date in the future" if day > today else None


def check_inf(relative, data, present, today):
    """Returns (refusals, warnings, the folded package path of its catalog or None) of one INF;
    present holds the folded paths of every file in the package."""
    try:
        inf = parse(decode(data))
    except ValueError as error:
        return [f"{relative}: cannot be decoded: it {error}"], [], None
    if "version" not in inf.sections:
        return [f"{relative}: has no [Version] section, so Windows does not take it for an INF"], [], None
    refusals, warnings = [], []
    signature = first(inf, "version", "signature")
    if signature is None:
        refusals.append(f"{relative}, line {inf.headers['version']}: [Version] has no Signature")
    elif fold(",".join(signature.fields)) not in SIGNATURES:
        refusals.append(f'{relative}, line {signature.number}: Signature is "{",".join(signature.fields)}", '
                        f'not "$Windows NT$" or "$Chicago$"')
    for64, others = x64_models(inf)
    held = [fold(name) for name in for64 if fold(name) in inf.sections]
    if "manufacturer" in inf.sections and not held:
        refusals.append(f"{relative}, line {inf.headers['manufacturer']}: [Manufacturer] "
                        + (f"names {', '.join(for64)}, which the INF does not hold" if for64 else
                           "names no models section for 64-bit Windows (NTamd64)"
                           + (f", only {', '.join(others)}" if others else "")))
    elif "\\" not in relative and not any(e.key for name in held for e in inf.sections[name]):
        warnings.append(f"{relative}: dpinst.exe takes it from the package's root, but it has no model for "
                        f"64-bit Windows (NTamd64)")
    entry = first(inf, "version", "catalogfile.ntamd64", "catalogfile.nt", "catalogfile")
    name = entry.fields[0] if entry else ""
    path = package_path(inf_folder(relative), name) if name.strip(".") and not re.search(r"[\\/%]", name) else None
    catalog = fold(path) if path else None
    if catalog and catalog not in present:
        refusals.append(f"{relative}, line {entry.number}: {entry.key} names {name}, which is not in the package "
                        f"next to the INF")
        catalog = None
    refusals += source_file_problems(relative, inf, present)
    driver_ver = first(inf, "version", "driverver")
    if driver_ver is None:
        warnings.append(f"{relative}: has no DriverVer in [Version]")
    else:
        problem = driver_ver_problem(driver_ver, today)
        warnings += [f"{relative}, line {driver_ver.number}: {problem}"] if problem else []
    return refusals, warnings, catalog


def check_package(entries, today=None):
    """Returns (refusals, warnings) of the package's files, given as [(relative path with
    backslashes, absolute path)]: every INF, the catalogs they name, a dpinst.xml at the root."""
    today = today or datetime.date.today()
    files = {fold(relative): (relative, absolute) for relative, absolute in entries}
    refusals, warnings, catalogs = [], [], []
    for relative, absolute in entries:
        if fold(relative).endswith(".inf"):
            with open(absolute, "rb") as f:
                refused, warned, catalog = check_inf(relative, f.read(), files, today)
            refusals += refused
            warnings += warned
            catalogs += [catalog] if catalog and catalog not in catalogs else []
    if catalogs and cms is None:
        warnings.append("the catalogs were not read: the Python module asn1crypto is missing (python3-asn1crypto)")
    for relative, absolute in (files[catalog] for catalog in catalogs if cms):
        with open(absolute, "rb") as f:
            problem = catalog_problem(f.read())
        warnings += [f"{relative}: {problem}"] if problem else []
    if "dpinst.xml" in files:
        relative, absolute = files["dpinst.xml"]
        try:
            with open(absolute, "rb") as f:
                expat.ParserCreate().Parse(f.read(), True)
        except expat.ExpatError as error:
            warnings.append(f"{relative}, line {error.lineno}: is not well-formed XML "
                            f"({expat.ErrorString(error.code)})")
    return refusals, warnings
