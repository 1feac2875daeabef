"""A 64-bit Windows executable's headers and resources: reading them, and writing a new resource
section into the executable.

The resource section is laid out as the resource compiler lays it out, so a setup made here is
byte for byte the setup a resource script linked into the same program gives: first the
directory tables, depth first (each table with all its entries, then the tables below them in
entry order), then the names (a 16-bit length and UTF-16 code units, the whole padded to 8
bytes), then one data entry per resource, then the resources' bytes, each padded to 8 bytes. In
every table the named entries come first, sorted by their UTF-16 code units, then the numbered
ones in ascending order; the tables carry no time stamp and no version.
"""
import struct
from dataclasses import dataclass, field

from .errors import KytError

RT_ICON, RT_RCDATA, RT_GROUP_ICON, RT_MANIFEST = 3, 10, 14, 24
ENGLISH_US = 1033
PAGE = 4096
RESOURCE_DIRECTORY, SECURITY_DIRECTORY, RELOCATION_DIRECTORY = 2, 4, 5
MEM_DISCARDABLE = 0x02000000
PE32_PLUS = 0x20B
AMD64 = 0x8664


@dataclass
class Section:
    name: str
    virtual_address: int
    virtual_size: int
    raw_size: int
    raw_pointer: int
    characteristics: int
    header: int  # the file offset of its section header


@dataclass
class Image:
    data: bytes
    machine: int
    characteristics: int
    magic: int  # PE32 (0x10B) or PE32+ (0x20B)
    subsystem: int
    file_header: int  # the file offset of the COFF file header
    optional_header: int
    directory_table: int  # the file offset of the data directory
    section_alignment: int
    file_alignment: int
    sections: list  # in header order
    directories: list  # [(virtual address, size)]

    def section_at(self, rva):
        """Returns the section whose memory holds the address, or None."""
        for section in self.sections:
            if section.virtual_address <= rva < section.virtual_address + max(section.virtual_size, section.raw_size):
                return section
        return None

    def read(self, rva, size):
        """Returns the bytes the file holds at an address; raises KytError where it holds none."""
        section = self.section_at(rva)
        offset = rva - section.virtual_address if section else -1
        if section is None or offset + size > section.raw_size or section.raw_pointer + offset + size > len(self.data):
            raise KytError(f"the executable has no bytes at address {rva:#x} (size {size})")
        return self.data[section.raw_pointer + offset:section.raw_pointer + offset + size]


@dataclass(frozen=True)
class Resource:
    type: object  # a number, or an upper-case name
    name: object
    language: int
    data: bytes
    codepage: int = 0
    offset: int = field(default=-1, compare=False)  # where the data lies in the file it was read from


# The header fields in file order, by the names Windows' headers give them, with their formats.
DOS_FIELDS = [("e_magic", "H"), ("e_cblp", "H"), ("e_cp", "H"), ("e_crlc", "H"), ("e_cparhdr", "H"),
              ("e_minalloc", "H"), ("e_maxalloc", "H"), ("e_ss", "H"), ("e_sp", "H"), ("e_csum", "H"), ("e_ip", "H"),
              ("e_cs", "H"), ("e_lfarlc", "H"), ("e_ovno", "H"), ("e_res", "8s"), ("e_oemid", "H"),
              ("e_oeminfo", "H"), ("e_res2", "20s"), ("e_lfanew", "I")]
FILE_FIELDS = [("Machine", "H"), ("NumberOfSections", "H"), ("TimeDateStamp", "I"), ("PointerToSymbolTable", "I"),
               ("NumberOfSymbols", "I"), ("SizeOfOptionalHeader", "H"), ("Characteristics", "H")]
OPTIONAL_FIELDS = [("Magic", "H"), ("MajorLinkerVersion", "B"), ("MinorLinkerVersion", "B"), ("SizeOfCode", "I"),
                   ("SizeOfInitializedData", "I"), ("SizeOfUninitializedData", "I"), ("AddressOfEntryPoint", "I"),
                   ("BaseOfCode", "I"), ("ImageBase", "Q"), ("SectionAlignment", "I"), ("FileAlignment", "I"),
                   ("MajorOperatingSystemVersion", "H"), ("MinorOperatingSystemVersion", "H"),
                   ("MajorImageVersion", "H"), ("MinorImageVersion", "H"), ("MajorSubsystemVersion", "H"),
                   ("MinorSubsystemVersion", "H"), ("Reserved1", "I"), ("SizeOfImage", "I"), ("SizeOfHeaders", "I"),
                   ("CheckSum", "I"), ("Subsystem", "H"), ("DllCharacteristics", "H"), ("SizeOfStackReserve", "Q"),
                   ("SizeOfStackCommit", "Q"), ("SizeOfHeapReserve", "Q"), ("SizeOfHeapCommit", "Q"),
                   ("LoaderFlags", "I"), ("NumberOfRvaAndSizes", "I")]
DIRECTORY_NAMES = ["EXPORT", "IMPORT", "RESOURCE", "EXCEPTION", "SECURITY", "BASERELOC", "DEBUG", "COPYRIGHT",
                   "GLOBALPTR", "TLS", "LOAD_CONFIG", "BOUND_IMPORT", "IAT", "DELAY_IMPORT", "COM_DESCRIPTOR", "RESERVED"]
SECTION_FIELDS = [("Name", "8s"), ("Misc_VirtualSize", "I"), ("VirtualAddress", "I"), ("SizeOfRawData", "I"),
                  ("PointerToRawData", "I"), ("PointerToRelocations", "I"), ("PointerToLinenumbers", "I"),
                  ("NumberOfRelocations", "H"), ("NumberOfLinenumbers", "H"), ("Characteristics", "I")]


def align(value, alignment):
    return -(-value // alignment) * alignment


def field_places(fields, at, prefix):
    """Returns [(start, end, name, format)] of a header's fields at the file offset at."""
    places = []
    for name, fmt in fields:
        size = struct.calcsize("<" + fmt)
        places.append((at, at + size, f"{prefix}.{name}", fmt))
        at += size
    return places


def header_places(image):
    """Returns [(start, end, name, format)] of every header field of a PE32+ image: the DOS, file
    and optional headers, the data directory and the section headers."""
    pe = image.file_header - 4
    places = field_places(DOS_FIELDS, 0, "DOS_HEADER") + [(pe, pe + 4, "NT_HEADERS.Signature", "I")]
    places += field_places(FILE_FIELDS, image.file_header, "FILE_HEADER")
    places += field_places(OPTIONAL_FIELDS, image.optional_header, "OPTIONAL_HEADER")
    for i, name in enumerate(DIRECTORY_NAMES[:len(image.directories)]):
        places += field_places([("VirtualAddress", "I"), ("Size", "I")], image.directory_table + 8 * i,
                               f"DATA_DIRECTORY.{name}")
    for section in image.sections:
        places += field_places(SECTION_FIELDS, section.header, f"section header {section.name}")
    return places


def header_values(image):
    """Returns {name: value} of the fields of the file and optional headers of a PE32+ image."""
    return {name.split(".", 1)[1]: struct.unpack_from("<" + fmt, image.data, start)[0]
            for start, _, name, fmt in header_places(image)
            if name.startswith(("FILE_HEADER.", "OPTIONAL_HEADER."))}


def imports(image):
    """Returns [(library name, [imported names, "#ordinal" for those imported by number])] of a
    PE32+ image; raises KytError for an import table that points outside the image."""
    rva, size = image.directories[1] if len(image.directories) > 1 else (0, 0)
    found = []
    for at in range(rva, rva + size - 19 if rva else rva, 20):
        lookup, _, _, name, thunks = struct.unpack("<IIIII", image.read(at, 20))
        if not name:
            break
        names, table = [], lookup or thunks
        while True:
            thunk, = struct.unpack("<Q", image.read(table + 8 * len(names), 8))
            if not thunk:
                break
            names.append(f"#{thunk & 0xFFFF}" if thunk >> 63 else c_string(image, (thunk & 0x7FFFFFFF) + 2))
        found.append((c_string(image, name), names))
    return found


def c_string(image, rva):
    """Returns the NUL-terminated ASCII string at an address."""
    section = image.section_at(rva)
    if section is None:
        raise KytError(f"the executable has no name at address {rva:#x}")
    start = section.raw_pointer + rva - section.virtual_address
    end = image.data.find(b"\0", start)
    return image.data[start:end if end >= 0 else len(image.data)].decode("latin-1")


def read_image(data, sections=True):
    """Returns the headers of a Windows image (PE32 or PE32+, any machine), without its section
    table unless sections; raises KytError for anything else, or for headers cut short. Only
    the headers need to be in data."""
    def field(fmt, offset):
        if offset + struct.calcsize(fmt) > len(data):
            raise KytError("is not a Windows executable (its headers are cut short)")
        return struct.unpack_from(fmt, data, offset)

    if data[:2] != b"MZ":
        raise KytError("is not a Windows executable (no MZ header)")
    pe, = field("<I", 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise KytError("is not a Windows executable (no PE header)")
    machine, count, _, _, _, optional_size, characteristics = field("<HHIIIHH", pe + 4)
    optional = pe + 24
    magic, = field("<H", optional)
    if magic not in (0x10B, PE32_PLUS):
        raise KytError(f"is not a Windows executable (optional header 0x{magic:x})")
    table = optional + (112 if magic == PE32_PLUS else 96)
    section_alignment, file_alignment = field("<II", optional + 32)
    subsystem, = field("<H", optional + 68)
    directory_count, = field("<I", table - 4)
    directories = [field("<II", table + 8 * i) for i in range(min(directory_count, 16))]
    found = []
    for i in range(count if sections else 0):
        header = optional + optional_size + 40 * i
        name, virtual_size, virtual_address, raw_size, raw_pointer = field("<8sIIII", header)
        flags, = field("<I", header + 36)
        found.append(Section(name.rstrip(b"\0").decode("latin-1"), virtual_address, virtual_size,
                             raw_size, raw_pointer, flags, header))
    return Image(data, machine, characteristics, magic, subsystem, pe + 4, optional, table, section_alignment,
                 file_alignment, found, directories)


def read_resources(image):
    """Returns every resource of the image in the order its tables list them; raises KytError
    for a resource section that points outside itself or loops."""
    rva, size = image.directories[RESOURCE_DIRECTORY] if len(image.directories) > RESOURCE_DIRECTORY else (0, 0)
    if not rva:
        return []
    section = image.section_at(rva)
    if section is None:
        raise KytError("the executable's resource directory lies outside its sections")
    table = image.read(rva, min(section.virtual_address + section.raw_size - rva, max(size, 16)))

    def unpack(fmt, offset):
        if offset + struct.calcsize(fmt) > len(table):
            raise KytError("the executable's resource section is damaged (an entry points outside it)")
        return struct.unpack_from(fmt, table, offset)

    def key(field):
        if not field & 0x80000000:
            return field
        length, = unpack("<H", field & 0x7FFFFFFF)
        return unpack(f"<{2 * length}s", (field & 0x7FFFFFFF) + 2)[0].decode("utf-16-le", "replace")

    found = []

    def walk(offset, path):
        named, numbered = unpack("<HH", offset + 12)
        for i in range(named + numbered):
            name, target = unpack("<II", offset + 16 + 8 * i)
            if bool(target & 0x80000000) != (len(path) < 2):
                raise KytError("the executable's resource section is damaged (its tables are not three deep)")
            if len(path) < 2:
                walk(target & 0x7FFFFFFF, path + [key(name)])
            else:
                data_rva, data_size, codepage, _ = unpack("<IIII", target)
                section = image.section_at(data_rva)
                offset = section.raw_pointer + data_rva - section.virtual_address if section else -1
                found.append(Resource(path[0], path[1], key(name), image.read(data_rva, data_size), codepage, offset))

    walk(0, [])
    return found


def ordered(keys):
    """Returns the keys of one table in the order Windows searches them: names first, by UTF-16
    code units, then numbers ascending."""
    return sorted(keys, key=lambda k: (0, k.encode("utf-16-be"), 0) if isinstance(k, str) else (1, b"", k))


def resource_section(resources, rva):
    """Returns the bytes of a resource section at the address rva that holds the resources."""
    tree = {}
    for resource in resources:
        languages = tree.setdefault(resource.type, {}).setdefault(resource.name, {})
        if resource.language in languages:
            raise KytError(f"two resources {resource.type}/{resource.name}/{resource.language}")
        languages[resource.language] = resource
    tables = 16 + 8 * len(tree) + sum(16 + 8 * len(names) + 16 * len(names) + 8 * sum(map(len, names.values()))
                                      for names in tree.values())
    names_end = tables + align(sum(2 + len(k.encode("utf-16-le")) for k in all_keys(tree) if isinstance(k, str)), 8)
    data_start = names_end + 16 * len(resources)
    directory, names, entries, payload = bytearray(), bytearray(), bytearray(), []
    payload_size = 0

    def emit(node):
        nonlocal payload_size
        keys = ordered(node)
        named = sum(isinstance(k, str) for k in keys)
        directory.extend(struct.pack("<IIHHHH", 0, 0, 0, 0, named, len(keys) - named))
        slots = len(directory)
        directory.extend(bytes(8 * len(keys)))
        for i, k in enumerate(keys):
            if isinstance(k, str):
                encoded = k.encode("utf-16-le")
                label = 0x80000000 | (tables + len(names))
                names.extend(struct.pack("<H", len(encoded) // 2) + encoded)
            else:
                label = k
            child = node[k]
            if isinstance(child, dict):
                struct.pack_into("<II", directory, slots + 8 * i, label, 0x80000000 | len(directory))
                emit(child)
            else:
                struct.pack_into("<II", directory, slots + 8 * i, label, names_end + len(entries))
                entries.extend(struct.pack("<IIII", rva + data_start + payload_size, len(child.data), child.codepage, 0))
                payload.append(child.data)
                payload.append(bytes(align(len(child.data), 8) - len(child.data)))
                payload_size += align(len(child.data), 8)

    emit(tree)
    names.extend(bytes(names_end - tables - len(names)))
    return b"".join([directory, names, entries] + payload)


def all_keys(tree):
    """Returns the keys of every table of a resource tree: a name once for each entry it labels."""
    return [k for k in tree] + [n for names in tree.values() for n in names] + \
           [lang for names in tree.values() for languages in names.values() for lang in languages]


def checksum(data, field):
    """Returns the image checksum of data as Windows computes it: the 16-bit words summed with
    their carries folded back in (the 4-byte checksum field read as zero), plus the file's
    length. Eight bytes are added at a time: 2**16 is 1 modulo 0xFFFF, so wider words give the
    same folded sum."""
    padded = memoryview(bytes(data) + bytes(-len(data) % 8) if len(data) % 8 else data)
    total = sum(padded.cast("Q")) - struct.unpack_from("<I", data, field)[0]
    folded = total % 0xFFFF or (0xFFFF if total else 0)
    return folded + len(data)


def with_resources(image, resources):
    """Returns the executable with a resource section that holds exactly the resources, in place
    of the one it has. The section starts on a page boundary of the file, so the loader can map
    the payload instead of reading it in; the discardable sections after it (the relocations)
    move up behind it. Raises KytError for an executable whose sections cannot be rewritten so:
    one that is signed, carries a symbol table or data after its sections, or has a section
    after its resources that something points into."""
    data = image.data
    if image.machine != AMD64 or image.magic != PE32_PLUS:
        raise KytError("is not a 64-bit Windows executable for x86-64")
    rva = image.directories[RESOURCE_DIRECTORY][0] if len(image.directories) > RESOURCE_DIRECTORY else 0
    home = next((s for s in image.sections if rva and s.virtual_address == rva), None)
    if home is None:
        raise KytError("the program has no resource section of its own (it must carry its icon and application manifest)")
    if len(image.directories) > SECURITY_DIRECTORY and image.directories[SECURITY_DIRECTORY][1]:
        raise KytError("the program is signed; write the package into the unsigned program and sign the setup after")
    if struct.unpack_from("<I", data, image.file_header + 8)[0]:
        raise KytError("the program carries a symbol table; link it stripped")
    file_end = max((s.raw_pointer + s.raw_size for s in image.sections if s.raw_size), default=0)
    if len(data) > file_end:
        raise KytError("the program has data after its last section")
    later = sorted((s for s in image.sections if s.virtual_address > home.virtual_address),
                   key=lambda s: s.virtual_address)
    for section in later:
        pointed = [i for i, (at, size) in enumerate(image.directories)
                   if size and i != RELOCATION_DIRECTORY and image.section_at(at) is section]
        if not section.characteristics & MEM_DISCARDABLE or pointed or section.raw_pointer < home.raw_pointer:
            raise KytError(f"the program's section {section.name} after its resources cannot be moved")
    if any(s.raw_size and s.raw_pointer > home.raw_pointer and s not in later for s in image.sections):
        raise KytError("the program's sections are not in address order in the file")

    body = resource_section(resources, home.virtual_address)
    start = align(home.raw_pointer, max(PAGE, image.file_alignment))
    out = bytearray(data[:home.raw_pointer])
    out += bytes(start - home.raw_pointer)
    out += body
    out += bytes(align(len(out), image.file_alignment) - len(out))
    headers = bytearray(data[:max(s.header + 40 for s in image.sections)])
    put = struct.pack_into
    put("<IIII", headers, home.header + 8, len(body), home.virtual_address, align(len(body), image.file_alignment), start)
    directories = list(image.directories)
    directories[RESOURCE_DIRECTORY] = (home.virtual_address, len(body))
    next_address = align(home.virtual_address + len(body), image.section_alignment)
    end = next_address
    for section in later:
        moved = next_address - section.virtual_address
        put("<III", headers, section.header + 12, next_address, section.raw_size, len(out))
        out += data[section.raw_pointer:section.raw_pointer + section.raw_size]
        for i, (at, size) in enumerate(image.directories):
            if size and image.section_at(at) is section:
                directories[i] = (at + moved, size)
        end = align(next_address + section.virtual_size, image.section_alignment)
        next_address = end
    optional = image.optional_header
    initialized, = struct.unpack_from("<I", data, optional + 8)
    put("<I", headers, optional + 8, initialized - home.raw_size + align(len(body), image.file_alignment))
    put("<I", headers, optional + 56, end)
    for i, entry in enumerate(directories):
        put("<II", headers, image.directory_table + 8 * i, *entry)
    out[:len(headers)] = headers
    put("<I", out, optional + 64, checksum(out, optional + 64))
    return out
