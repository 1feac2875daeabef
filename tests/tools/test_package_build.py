"""The package build (kyt build, written into a small program of the test's own): the manifest it
writes, its fixed order, every folder it refuses, what it leaves out, and a setup it rewrites
only when the package changed."""
import hashlib
import os
import struct
import subprocess
import sys
import tempfile
import unittest

from kyt import package_rules
from kyt import pe_image as pe
from kyt.errors import KytError
from throwaway_ca import Authority


def pe_image(machine=0x8664, magic=0x20B, characteristics=0x0022, subsystem=2):
    """Returns the headers of a Windows image: MZ stub, PE signature, file and optional header."""
    head = bytearray(512)
    head[0:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, 0x80)
    head[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<H", head, 0x84, machine)
    struct.pack_into("<HH", head, 0x80 + 22, characteristics, magic)
    struct.pack_into("<H", head, 0x80 + 24 + 68, subsystem)
    return bytes(head)


INSTALLER = pe_image()
INF_HEAD = b'[Version]\r\nSignature="$Windows NT$"\r\nDriverVer=01/02/2026,1.0.0.0\r\n'
MODELS = b"[Manufacturer]\r\nKYT=Models,NTamd64\r\n[Models.NTamd64]\r\nMeter=Install,USB\\VID_5A4B&PID_4D01\r\n"
INF = INF_HEAD + MODELS
LEGACY = b"<dpinst><legacyMode/><quietInstall/></dpinst>"  # which softens no refusal of the check


def make_package(root, files):
    """Writes {relative path with '/': bytes} below root."""
    for relative, data in files.items():
        path = os.path.join(root, *relative.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def program_image():
    """Returns a small program to write packages into: headers, a .text section, a resource
    section holding an application manifest, and relocations after it, aligned to 512 bytes in
    the file and 4096 in memory."""
    rsrc = pe.resource_section([pe.Resource(pe.RT_MANIFEST, 1, pe.ENGLISH_US, b"<assembly/>\n")], 0x2000)
    data = bytearray(0x400)
    data[0:2], data[0x80:0x84] = b"MZ", b"PE\0\0"
    struct.pack_into("<I", data, 0x3C, 0x80)
    struct.pack_into("<HHIIIHH", data, 0x84, pe.AMD64, 3, 0, 0, 0, 0xF0, 0x22)
    struct.pack_into("<HBBIIII", data, 0x98, pe.PE32_PLUS, 2, 0, 0x200, 0x400, 0, 0x1000)
    struct.pack_into("<QIIHHHHHHIIIIHHQQQQII", data, 0x98 + 24, 0x140000000, 0x1000, 0x200, 6, 0, 0, 0, 10, 0, 0,
                     0x4000, 0x400, 0, 2, 0x8160, 1 << 20, 0x1000, 1 << 20, 0x1000, 0, 16)
    struct.pack_into("<II", data, 0x98 + 112 + 8 * 2, 0x2000, len(rsrc))
    struct.pack_into("<II", data, 0x98 + 112 + 8 * 5, 0x3000, 12)
    for i, (name, address, size, raw, flags) in enumerate([(b".text", 0x1000, 16, 0x400, 0x60000020),
                                                            (b".rsrc", 0x2000, len(rsrc), 0x600, 0x40000040),
                                                            (b".reloc", 0x3000, 12, 0x800, 0x42000040)]):
        struct.pack_into("<8sIIII12xI", data, 0x188 + 40 * i, name, size, address, 0x200, raw, flags)
    data += b"\xc3".ljust(0x200, b"\0") + rsrc.ljust(0x200, b"\0") + struct.pack("<II4x", 0x1000, 12).ljust(0x200, b"\0")
    return bytes(data)


PROGRAM = os.path.join(tempfile.mkdtemp(), "program.exe")
with open(PROGRAM, "wb") as program_file:
    program_file.write(program_image())


def kyt(*arguments, python=(sys.executable,)):
    return subprocess.run([*python, "-m", "kyt", *arguments], capture_output=True, text=True)


def generate(package, *extra, out=None, python=(sys.executable,)):
    """Builds out/Setup.exe from the package; returns the finished process and out."""
    out = out or tempfile.mkdtemp()
    done = kyt("build", "--program", PROGRAM, "--package", package, "--out", os.path.join(out, "Setup.exe"), *extra,
               python=python)
    return done, out


def manifest(out):
    """Returns the KYT_MANIFEST of out/Setup.exe."""
    resources = pe.read_resources(pe.read_image(read(os.path.join(out, "Setup.exe"))))
    return next(r.data for r in resources if r.name == "KYT_MANIFEST")


def read(path):
    with open(path, "rb") as f:
        return f.read()


class PackageBuild(unittest.TestCase):
    def test_the_manifest_lists_files_before_folders_in_a_fixed_order(self):
        with tempfile.TemporaryDirectory() as package:
            make_package(package, {"dpinst.exe": INSTALLER, "B.txt": INF, "a.cat": b"a", "amd64/x.dll": b"x",
                                   "dpinst.xml": LEGACY, "amd64/dpinst.exe": b"MZ", "Zeta/deep/z.bin": b"z",
                                   "amd64/sub/q.bin": b"q"})
            done, out = generate(package, "--unchecked")  # no INF the installer reads: the walk alone
            self.assertEqual(done.returncode, 0, done.stderr)
            text = manifest(out)
            self.assertEqual(text, b"KYT_FILE_000|a.cat\r\nKYT_FILE_001|B.txt\r\nKYT_FILE_002|dpinst.exe\r\n"
                                   b"KYT_FILE_003|dpinst.xml\r\nKYT_FILE_004|amd64\\dpinst.exe\r\n"
                                   b"KYT_FILE_005|amd64\\x.dll\r\nKYT_FILE_006|amd64\\sub\\q.bin\r\n"
                                   b"KYT_FILE_007|Zeta\\deep\\z.bin\r\n")
            shown = kyt("show", os.path.join(out, "Setup.exe")).stdout.splitlines()
            self.assertEqual([line.split()[:2] for line in shown if line.startswith("KYT_FILE_")],
                             [line.split("|") for line in text.decode().split()])
            again, out2 = generate(package, "--unchecked")
            self.assertEqual(read(os.path.join(out2, "Setup.exe")), read(os.path.join(out, "Setup.exe")),
                             "the same folder gives the same setup")

    def test_unsafe_or_broken_folders_are_refused_with_the_file_and_the_reason(self):
        long_name = "n" * (package_rules.MAX_FILE_PATH - package_rules.STAGING_PREFIX_LENGTH)
        long_folder = "f" * (package_rules.MAX_FOLDER_PATH - package_rules.STAGING_PREFIX_LENGTH)
        cases = [
            ({"empty.inf": b""}, "empty.inf", "empty"),
            ({"caf\u00e9.inf": b"x"}, "caf", "non-ASCII"),
            ({"tab\there.inf": b"x"}, "tab", "control character"),
            ({"a..b.inf": b"x"}, "a..b.inf", '".."'),
            ({"CON": b"x"}, "CON", "reserved device name"),
            ({"sub/nul.txt": b"x"}, "nul.txt", "reserved device name"),
            ({"lpt9.inf": b"x"}, "lpt9.inf", "reserved device name"),
            ({"COM1/x.inf": b"x"}, "COM1", "reserved device name"),
            ({"trailing./x.inf": b"x"}, "trailing.", "ending in a dot or blank"),
            ({"blank /x.inf": b"x"}, "blank ", "ending in a dot or blank"),
            ({"pipe|x.inf": b"x"}, "pipe|x.inf", '"|"'),
            ({"colon:x.inf": b"x"}, "colon:x.inf", '":"'),
            ({"Same.inf": b"x", "same.inf": b"y"}, "same.inf", 'clashes with the file "Same.inf"'),
            ({"drivers": b"x", "Drivers/a.inf": b"y"}, "Drivers", 'clashes with the file "drivers"'),
            ({"Amd64/a.dll": b"x", "amd64/b.dll": b"y"}, "amd64", 'clashes with the folder "Amd64"'),
            ({long_name + "x": b"x"}, long_name, "over Windows' limit of 259"),
            ({long_folder + "x/a.inf": b"x"}, long_folder, "over Windows' limit of 247"),
            ({"dpinst.exe": b"MZ not a program"}, "dpinst.exe", "not a Windows executable"),
            ({"dpinst.exe": pe_image(machine=0x14C, magic=0x10B)}, "dpinst.exe", "not a 64-bit x86-64"),
            ({"dpinst.exe": pe_image(machine=0xAA64)}, "dpinst.exe", "not a 64-bit x86-64"),
            ({"dpinst.exe": pe_image(characteristics=0x2022)}, "dpinst.exe", "is a DLL"),
            ({"dpinst.exe": pe_image(subsystem=10)}, "dpinst.exe", "subsystem 10"),
        ]
        for files, name, reason in cases:
            with self.subTest(files=list(files)), tempfile.TemporaryDirectory() as package:
                make_package(package, dict({"dpinst.exe": INSTALLER}, **files))
                done, _ = generate(package)
                self.assertEqual(done.returncode, 1)
                line = next((l for l in done.stderr.splitlines() if name in l), "")
                self.assertIn(reason, line, done.stderr)

    def test_the_longest_paths_that_fit_are_carried(self):
        with tempfile.TemporaryDirectory() as package:
            folder = "f" * (package_rules.MAX_FOLDER_PATH - package_rules.STAGING_PREFIX_LENGTH)
            name = "n" * (package_rules.MAX_FILE_PATH - package_rules.STAGING_PREFIX_LENGTH - len(folder) - 1)
            make_package(package, {"dpinst.exe": INSTALLER, f"{folder}/{name}": b"x"})
            done, _ = generate(package, "--unchecked")  # no INF: the paths alone are judged
            self.assertEqual(done.returncode, 0, done.stderr)

    def test_symbolic_links_and_special_files_anywhere_are_refused_by_name(self):
        with tempfile.TemporaryDirectory() as package, tempfile.TemporaryDirectory() as elsewhere:
            make_package(package, {"dpinst.exe": INSTALLER, "amd64/a.dll": b"a"})
            make_package(elsewhere, {"x.inf": b"x"})
            os.symlink(os.path.join(elsewhere, "x.inf"), os.path.join(package, "amd64", "linked.inf"))
            os.symlink(elsewhere, os.path.join(package, "linked folder"))
            os.mkfifo(os.path.join(package, "pipe"))
            done, _ = generate(package)
            self.assertEqual(done.returncode, 1)
            self.assertIn("amd64\\linked.inf: is a symbolic link", done.stderr)
            self.assertIn("linked folder: is a symbolic link", done.stderr)
            self.assertIn("pipe: is neither a file nor a folder", done.stderr)

    def test_a_missing_folder_or_root_installer_is_refused(self):
        with tempfile.TemporaryDirectory() as package:
            done, _ = generate(os.path.join(package, "nowhere"))
            self.assertEqual(done.returncode, 2)
            self.assertIn("nowhere does not exist or is not a folder", done.stderr)
            self.assertNotIn("dpinst.exe", done.stderr)
            make_package(package, {"amd64/dpinst.exe": INSTALLER, "a.inf": b"x"})
            done, _ = generate(package)
            self.assertEqual(done.returncode, 1)
            self.assertIn("dpinst.exe: missing at the package's root", done.stderr)
            done = kyt("check", "--package", package)
            self.assertEqual(done.returncode, 1)
            self.assertIn("refused: dpinst.exe: missing at the package's root", done.stdout)

    def test_version_control_desktop_clutter_and_excluded_files_are_left_out_with_a_line(self):
        with tempfile.TemporaryDirectory() as package:
            make_package(package, {"dpinst.exe": INSTALLER, "a.txt": INF, "dpinst.xml": LEGACY, ".git/config": b"c",
                                   "sub/.svn/x": b"s",
                                   ".DS_Store": b"d", "sub/Thumbs.db": b"t", "sub/._a.inf": b"r", "b.pdb": b"p",
                                   "docs/readme.txt": b"r", "sub/keep.txt": b"k"})
            done, out = generate(package, "--exclude", "*.PDB", "--exclude", "docs/*", "--unchecked")
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(manifest(out).decode().split(),
                             ["KYT_FILE_000|a.txt", "KYT_FILE_001|dpinst.exe", "KYT_FILE_002|dpinst.xml",
                              "KYT_FILE_003|sub\\keep.txt"])
            self.assertEqual(done.stdout.splitlines()[:7], [
                "kyt build: left out .DS_Store (desktop clutter)", "kyt build: left out .git\\ (version control)",
                "kyt build: left out b.pdb (--exclude *.PDB)", "kyt build: left out docs\\readme.txt (--exclude docs/*)",
                "kyt build: left out sub\\._a.inf (desktop clutter)", "kyt build: left out sub\\.svn\\ (version control)",
                "kyt build: left out sub\\Thumbs.db (desktop clutter)"])

    def test_the_setup_changes_only_with_the_package_and_a_refusal_removes_it(self):
        with tempfile.TemporaryDirectory() as package, tempfile.TemporaryDirectory() as out:
            setup = os.path.join(out, "Setup.exe")
            make_package(package, {"dpinst.exe": INSTALLER, "big.cat": b"c" * 2000, "Thumbs.db": b"t",
                                   "dpinst.xml": LEGACY})
            done, _ = generate(package, "--unchecked", out=out)
            self.assertEqual(done.stdout.splitlines()[1:5], [
                f"Package: {os.path.abspath(package)}", "  3 files, 1 left out, 2,557 bytes; largest big.cat (2,000 bytes)",
                f"Setup:   {setup}", f"  {os.path.getsize(setup):,} bytes, SHA-256 {hashlib.sha256(read(setup)).hexdigest()}"])
            stamp = os.stat(setup).st_mtime_ns
            generate(package, "--unchecked", out=out)
            self.assertEqual(os.stat(setup).st_mtime_ns, stamp, "an unchanged package rewrote the setup")
            make_package(package, {"big.cat": b"C" * 2000})
            os.utime(os.path.join(package, "big.cat"), (1, 1))
            generate(package, "--unchecked", out=out)
            self.assertIn(b"C" * 2000, read(setup), "a content change with an old date kept the old setup")
            os.remove(os.path.join(package, "dpinst.exe"))
            done, _ = generate(package, out=out)
            self.assertEqual((done.returncode, os.listdir(out)), (1, []), "a refused package left the setup behind")

    def test_the_driver_files_are_refused_by_line_or_warned_of_in_the_summary(self):
        with tempfile.TemporaryDirectory() as package, tempfile.TemporaryDirectory() as out:
            make_package(package, {"dpinst.exe": INSTALLER, "a.inf": INF_HEAD + b"CatalogFile = A.cat\r\n" + MODELS})
            done, _ = generate(package, out=out)
            self.assertEqual(done.returncode, 1)
            self.assertIn("cannot be built into a setup:\n  a.inf, line 4: CatalogFile names A.cat, which is not in the "
                          "package next to the INF\n", done.stderr)
            self.assertEqual(os.listdir(out), [], "a refused package left a setup behind")
            make_package(package, {"a.cat": b"placeholder", "dpinst.xml": LEGACY})
            done, _ = generate(package, out=out)
            self.assertIn("\n  a.cat: is not a catalog (no PKCS#7 SignedData holding a certificate trust list), so "
                          "a.inf is unsigned; 64-bit Windows installs no unsigned driver package (dpinst.xml's "
                          "<legacyMode/> does not change this", done.stderr)
            authority = Authority(out, "signer")
            self.assertEqual(kyt("catalog", "--package", package, "--inf", "a.inf", "--out", os.path.join(package, "a.cat"),
                                 "--cert", authority.certificate, "--key", os.path.join(out, "signer.key")).returncode, 0)
            done, _ = generate(package, out=out)
            self.assertIn("a.cat: is signed by signer, whose certificate was issued by the signer itself", done.stderr)
            done, _ = generate(package, out=out, python=(sys.executable, "-S"))
            self.assertEqual((done.returncode, sorted(os.listdir(out))), (2, ["signer.crt", "signer.key"]))
            self.assertIn("kyt build: the Python module asn1crypto is missing: pip install asn1crypto", done.stderr)
            done, _ = generate(package, "--test-certificate", authority.certificate, out=out)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertIn("\n  warning: a.cat: signed by signer with the test certificate signer, declared trusted: ",
                          done.stdout)

    def test_huge_files_and_too_many_files_are_refused(self):
        with tempfile.TemporaryDirectory() as package:
            huge = os.path.join(package, "huge.bin")
            with open(huge, "wb") as f:
                f.truncate(4 * 1024 ** 3)  # sparse: no disk space used
            installer = os.path.join(package, "dpinst.exe")
            make_package(package, {"dpinst.exe": INSTALLER})
            with self.assertRaisesRegex(KytError, r"huge\.bin: is 4294967296 bytes"):
                package_rules.validate([("dpinst.exe", installer), ("huge.bin", huge)])
            many = [("dpinst.exe", installer)] + [(f"f{i}.inf", installer) for i in range(1000)]
            with self.assertRaisesRegex(KytError, "1001 files"):
                package_rules.validate(many)
            package_rules.validate(many[:1000])
        self.assertIn("slash", package_rules.path_problem("\\abs.inf"))
        self.assertIsNone(package_rules.path_problem("amd64\\ok.dll"))


if __name__ == "__main__":
    unittest.main()
