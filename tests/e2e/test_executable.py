"""The executable is the package: what the build puts into it, checked by the inspection
command (unsigned, as the build makes it), and a run of the shipped-shape package. A second build
that must give the same bytes is part of the release tests."""
import filecmp
import glob
import hashlib
import io
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

import pefile

from rig import Rig, tree, windows_path

from kyt import build, catalogs, pe_image
from kyt import package as kyt_package
from kyt import verify as kyt_verify
from kyt.errors import KytError


def inspect(setup, files, certificate="KYT_SHIPPED_TEST_CERTIFICATE"):
    """Returns the problems and listing of the inspection, declaring the build's test certificate."""
    out = io.StringIO()
    declared = catalogs.load_certificates(os.environ[certificate]) if os.environ[certificate] else []
    problems = kyt_verify.inspect(setup, files, out, signature={"unsigned": True}, declared=declared)
    return [str(problem) for problem in problems], out.getvalue()


class Executable(unittest.TestCase):
    def test_the_product_passes_inspection(self):
        package = os.environ["KYT_PRODUCT_PACKAGE"]
        sample = package == os.path.join(os.environ["KYT_SOURCE_DIR"], "resources", "package")
        files = kyt_package.package_files(package, [f"dpinst.exe={os.environ['KYT_DPINST']}"] if sample else [])
        problems, listing = inspect(os.environ["KYT_PRODUCT"], files, "KYT_PRODUCT_TEST_CERTIFICATE")
        self.assertEqual(problems, [], listing)
        for index, (relative, absolute) in enumerate(files):
            with open(absolute, "rb") as f:
                data = f.read()
            self.assertRegex(listing, rf"KYT_FILE_{index:03d} +{re.escape(relative)} +{len(data)} bytes +"
                                      rf"{hashlib.sha256(data).hexdigest()}\n")

    def test_inspection_requires_the_defences_among_the_imports(self):
        entries = pe_image.imports(pe_image.read_image(read(os.environ["KYT_PRODUCT"])))
        # An independent reader finds the same imports.
        pe = pefile.PE(os.environ["KYT_PRODUCT"])
        self.assertEqual([(d, sorted(n)) for d, n in entries],
                         [(e.dll.decode(), sorted(i.name.decode() for i in e.imports)) for e in pe.DIRECTORY_ENTRY_IMPORT])

        def imports_with(dll, drop=(), add=()):
            changed = [(library, [n for n in names if n not in drop] + (list(add) if library.lower() == dll else []))
                       for library, names in entries]
            inspection = kyt_verify.Inspection()
            kyt_verify.check_imports(changed, inspection)
            return [str(problem) for problem in inspection.problems]

        self.assertEqual(imports_with("kernel32.dll"), [])
        self.assertEqual(imports_with("kernel32.dll", drop=["SetDefaultDllDirectories"]),
                         ["does not import SetDefaultDllDirectories from kernel32.dll"])
        self.assertEqual(imports_with("advapi32.dll", add=["SetSecurityInfo"]),
                         ["imports ['SetSecurityInfo'] from advapi32.dll"])
        self.assertEqual(imports_with("kernel32.dll", drop=["GetVolumeInformationByHandleW"]),
                         ["does not import GetVolumeInformationByHandleW from kernel32.dll"])
        self.assertFalse([d for d, _ in entries if d.lower() == "ntdll.dll"], "ntdll is never imported")

    def test_inspection_finds_a_wrong_payload_and_a_broken_driver_package(self):
        files = kyt_package.package_files(os.environ["KYT_SHIPPED_PACKAGE"], [])
        with tempfile.NamedTemporaryFile(delete=False) as other, tempfile.NamedTemporaryFile(delete=False) as inf:
            other.write(b"not the file that was built in")
            inf.write(b'[Version]\r\nSignature="$Windows 95$"\r\nCatalogFile=gone.cat\r\n')
        files[9], files[81] = (files[9][0], inf.name), (files[81][0], other.name)
        problems, listing = inspect(os.path.join(os.environ["KYT_SETUPS"], "e2e_shipped.exe"), files)
        os.unlink(other.name)
        os.unlink(inf.name)
        self.assertEqual(problems, [
            "KYT_FILE_009 differs from kyt_m000.inf", "KYT_FILE_081 differs from " + files[81][0],
            'kyt_m000.inf, line 2: Signature is "$Windows 95$", not "$Windows NT$" or "$Chicago$"'])
        self.assertIn("\nwarning: kyt_m000.inf: has no DriverVer in [Version]\n", listing)
        self.assertIn("\nnote: dpinst.xml says <legacyMode/>", listing)

    def test_the_shipped_shape_builds_and_delivers_every_file(self):
        package = os.environ["KYT_SHIPPED_PACKAGE"]
        files = kyt_package.package_files(package, [])
        sizes = [os.path.getsize(a) for _, a in files]
        self.assertEqual((len(files), sum(sizes), min(sizes), max(sizes)), (84, 6_471_689, 1_150, 1_533_512))
        self.assertEqual([files[i][0] for i in (6, 7, 80)], ["dpinst.exe", "dpinst.xml", "amd64\\dpinst.exe"])
        self.assertTrue(all(r.startswith("amd64\\") and r.endswith(".dll") for r, _ in files[81:]))
        self.assertEqual(sum(r.endswith(".inf") for r, _ in files[:80]), 39)
        self.assertEqual(sum(r.endswith(".cat") for r, _ in files[:80]), 39)

        setup = os.path.join(os.environ["KYT_SETUPS"], "e2e_shipped.exe")
        problems, listing = inspect(setup, files)
        self.assertEqual(problems, [], listing)
        self.assertIn("84 manifest entries", listing)

        rig = Rig()
        try:
            temp = rig.folder("shipped temp")
            record = rig.folder("shipped record")
            result = rig.run("e2e_shipped", temp, env={"KYT_TEST_RECORD": windows_path(record)})
            self.assertEqual((result.exit_code, result.boxes), (0, []))
            self.assertEqual(tree(temp), {"KYT_DRIVER_SETUP"})
            delivered = os.path.join(glob.glob(os.path.join(record, "*"))[0], "files")
            for relative, absolute in files:
                copy = os.path.join(delivered, *relative.split("\\"))
                self.assertTrue(filecmp.cmp(absolute, copy, shallow=False), relative)
        finally:
            rig.close()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def compiled_section(files, manifest, rva, scratch):
    """Returns the resource section the resource compiler makes of the manifest, the files, the
    icon and the application manifest, relocated to the address rva."""
    resources = os.path.join(os.environ["KYT_SOURCE_DIR"], "resources")
    with open(os.path.join(scratch, "manifest.txt"), "wb") as f:
        f.write(manifest)
    lines = ["LANGUAGE 9, 1", f'KYT_MANIFEST RCDATA "{scratch}/manifest.txt"']
    lines += [f'KYT_FILE_{i:03d} RCDATA "{absolute}"' for i, (_, absolute) in enumerate(files)]
    lines += [f'1 ICON "{resources}/kyt.ico"', f'1 24 "{resources}/app.manifest"']
    with open(os.path.join(scratch, "setup.rc"), "w") as f:
        f.write("\n".join(lines) + "\n")
    subprocess.run([os.environ["KYT_WINDRES"], "-O", "coff", os.path.join(scratch, "setup.rc"),
                    os.path.join(scratch, "setup.o")], check=True)
    obj = read(os.path.join(scratch, "setup.o"))
    count, = struct.unpack_from("<H", obj, 2)
    for header in range(20, 20 + 40 * count, 40):
        name, _, _, size, raw, relocations, _, relocation_count = struct.unpack_from("<8sIIIIIIH", obj, header)
        if name.rstrip(b"\0") == b".rsrc":
            section = bytearray(obj[raw:raw + size])
            for at in range(relocations, relocations + 10 * relocation_count, 10):
                offset, _, kind = struct.unpack_from("<IIH", obj, at)
                assert kind == 3  # an address relative to the image base
                struct.pack_into("<I", section, offset, struct.unpack_from("<I", section, offset)[0] + rva)
            return bytes(section)
    raise AssertionError("the resource compiler made no resource section")


class Writer(unittest.TestCase):
    """The package written into the program: the resource section the resource compiler makes
    of the same files, the program's code and data untouched; programs it cannot write into."""

    def test_the_setup_is_the_program_with_the_resource_compilers_section(self):
        installer = os.environ["KYT_INSTALLER"]
        files = kyt_package.package_files(os.path.join(os.environ["KYT_PACKAGES"], "nested"),
                                          [f"dpinst.exe={installer}", f"amd64\\dpinst.exe={installer}"])
        for setup, program in (("e2e_nested", "KYT_PROGRAM"), ("e2e_nested_packed", "KYT_PACKED_PROGRAM")):
            with self.subTest(setup), tempfile.TemporaryDirectory() as scratch:
                made = pe_image.read_image(read(os.path.join(os.environ["KYT_SETUPS"], setup + ".exe")))
                base = pe_image.read_image(read(os.environ[program]))
                sections = {s.name: s for s in made.sections}
                rsrc = sections[".rsrc"]
                body = made.data[rsrc.raw_pointer:rsrc.raw_pointer + rsrc.virtual_size]
                self.assertEqual(body, compiled_section(files, kyt_package.manifest_text(files), rsrc.virtual_address,
                                                        scratch))
                self.assertEqual(rsrc.raw_pointer % 4096, 0, "the payload does not start on a page of the file")
                for section in base.sections:
                    if section.name != ".rsrc":
                        moved = sections[section.name]
                        self.assertEqual(made.data[moved.raw_pointer:moved.raw_pointer + moved.raw_size],
                                         base.data[section.raw_pointer:section.raw_pointer + section.raw_size])
                self.assertEqual(pe_image.checksum(made.data, made.optional_header + 64),
                                 struct.unpack_from("<I", made.data, made.optional_header + 64)[0])
                self.assertEqual(pefile.PE(data=made.data).generate_checksum(),
                                 struct.unpack_from("<I", made.data, made.optional_header + 64)[0])

    def test_programs_a_package_cannot_be_written_into_are_refused(self):
        program = read(os.environ["KYT_PROGRAM"])
        image = pe_image.read_image(program)
        optional = image.optional_header
        reloc = next(s for s in image.sections if s.name == ".reloc")
        rsrc = next(s for s in image.sections if s.name == ".rsrc")

        def patched(offset, fmt, *values):
            data = bytearray(program)
            struct.pack_into(fmt, data, offset, *values)
            return bytes(data)

        rows = [
            ("the program as built", program, None),
            ("no executable", b"MZ" + bytes(100), "is not a Windows executable"),
            ("32-bit", patched(optional, "<H", 0x10B), "is not a 64-bit Windows executable"),
            ("signed", patched(optional + 112 + 8 * 4, "<II", len(program), 8), "the program is signed"),
            ("a symbol table", patched(image.file_header + 8, "<I", 64), "carries a symbol table"),
            ("data after the sections", program + b"overlay", "data after its last section"),
            ("relocations that must stay", patched(reloc.header + 36, "<I", reloc.characteristics & ~pe_image.MEM_DISCARDABLE),
             "section .reloc after its resources cannot be moved"),
            ("a damaged resource table", patched(rsrc.raw_pointer + 20, "<I", 0x80000000 | 0x7FFFFFF0), "is damaged"),
            ("a setup", read(os.path.join(os.environ["KYT_SETUPS"], "e2e_nested.exe")), "carries a package already"),
        ]
        package = build.package_resources(b"KYT_FILE_000|dpinst.exe\r\n", [("dpinst.exe", b"MZ")])
        for what, data, reason in rows:
            with self.subTest(what):
                if reason is None:
                    setup = pe_image.read_image(build.write_setup(data, package))
                    self.assertEqual([(r.name, r.data) for r in pe_image.read_resources(setup) if r.type == 10],
                                     [("KYT_FILE_000", b"MZ"), ("KYT_MANIFEST", b"KYT_FILE_000|dpinst.exe\r\n")])
                    continue
                with self.assertRaises(KytError) as caught:
                    build.write_setup(data, package)
                self.assertIn(reason, str(caught.exception))


if __name__ == "__main__":
    unittest.main()


class SamplePackage(unittest.TestCase):
    """The bundled sample package and its own installer, under Wine."""

    def setUp(self):
        self.rig = Rig()
        self.inf_folder = os.path.join(self.rig.prefix, "drive_c", "windows", "inf")
        self.sample_inf = os.path.join(os.environ["KYT_SOURCE_DIR"], "resources", "package", "kyt_meter.inf")

    def tearDown(self):
        self.rig.close()

    def staged_copies(self):
        """Returns the INF files of the driver store that are the sample's INF."""
        return [name for name in os.listdir(self.inf_folder) if name.lower().endswith(".inf")
                and filecmp.cmp(os.path.join(self.inf_folder, name), self.sample_inf, shallow=False)]

    @unittest.skipUnless(os.environ["KYT_PRODUCT_PACKAGE"].endswith(os.path.join("resources", "package")),
                         "the product carries another package")
    def test_the_sample_setup_stages_its_driver(self):
        self.assertEqual(self.staged_copies(), [])
        temp = self.rig.folder("sample temp")
        result = self.rig.run(os.environ["KYT_PRODUCT"], temp)
        self.assertEqual((result.exit_code, result.boxes), (0, []))
        self.assertEqual(len(self.staged_copies()), 1)
        self.assertEqual(tree(temp), {"KYT_DRIVER_SETUP"})

    def test_the_installers_exit_code_counts_packages(self):
        package = self.rig.folder("dpinst package")
        temp = self.rig.folder("dpinst temp")
        dpinst = os.path.join(package, "dpinst.exe")
        with open(os.environ["KYT_DPINST"], "rb") as src, open(dpinst, "wb") as dst:
            dst.write(src.read())
        for name in ("kyt_meter.inf", "kyt_meter.cat"):
            shutil.copyfile(os.path.join(os.path.dirname(self.sample_inf), name), os.path.join(package, name))
        # No instrument is plugged in: the package is staged and installed on no device.
        result = self.rig.run(dpinst, temp, cwd=package)
        self.assertEqual(result.exit_code, 0x00000100)
        with open(os.path.join(package, "broken.inf"), "wb") as f:
            f.write(b"this is no INF file at all\r\n")
        result = self.rig.run(dpinst, temp, cwd=package)
        self.assertEqual(result.exit_code, 0x80010100, hex(result.exit_code))
