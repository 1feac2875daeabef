"""The package build: the manifest it writes, its fixed order, every folder it refuses, what it
leaves out, and the outputs it rewrites only when the package changed."""
import os
import struct
import subprocess
import sys
import tempfile
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
sys.path[:0] = [TOOLS, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e")]
import kyt_package  # noqa: E402
import package_rules  # noqa: E402
from throwaway_ca import Authority  # noqa: E402


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


def generate(package, *extra, out=None, python=(sys.executable,)):
    out = out or tempfile.mkdtemp()
    done = subprocess.run([*python, os.path.join(TOOLS, "kyt_package.py"), "generate", "--package", package,
                           "--out", out, *extra], capture_output=True, text=True)
    return done, out


def summary(out, setup):
    done = subprocess.run([sys.executable, os.path.join(TOOLS, "kyt_package.py"), "summary", "--out", out,
                           "--setup", setup], capture_output=True, text=True)
    return done.stdout.splitlines()


def read(path):
    with open(path, "rb") as f:
        return f.read()


class PackageBuild(unittest.TestCase):
    def test_the_manifest_lists_files_before_folders_in_a_fixed_order(self):
        with tempfile.TemporaryDirectory() as package:
            make_package(package, {"dpinst.exe": INSTALLER, "B.txt": INF, "a.cat": b"a", "amd64/x.dll": b"x",
                                   "dpinst.xml": LEGACY, "amd64/dpinst.exe": b"MZ", "Zeta/deep/z.bin": b"z",
                                   "amd64/sub/q.bin": b"q"})
            done, out = generate(package)
            self.assertEqual(done.returncode, 0, done.stderr)
            text = read(os.path.join(out, "manifest.txt"))
            self.assertEqual(text, b"KYT_FILE_000|a.cat\r\nKYT_FILE_001|B.txt\r\nKYT_FILE_002|dpinst.exe\r\n"
                                   b"KYT_FILE_003|dpinst.xml\r\nKYT_FILE_004|amd64\\dpinst.exe\r\n"
                                   b"KYT_FILE_005|amd64\\x.dll\r\nKYT_FILE_006|amd64\\sub\\q.bin\r\n"
                                   b"KYT_FILE_007|Zeta\\deep\\z.bin\r\n")
            script = read(os.path.join(out, "setup.rc")).decode()
            self.assertIn("LANGUAGE 9, 1\n", script)
            self.assertIn("KYT_FILE_007 RCDATA", script)
            again, out2 = generate(package)
            self.assertEqual(read(os.path.join(out2, "manifest.txt")), text, "the same folder gives the same manifest")

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
            done, _ = generate(package)
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
            self.assertEqual(done.returncode, 1)
            self.assertIn("nowhere: the package folder does not exist", done.stderr)
            self.assertNotIn("dpinst.exe", done.stderr)
            make_package(package, {"amd64/dpinst.exe": INSTALLER, "a.inf": b"x"})
            done, _ = generate(package)
            self.assertEqual(done.returncode, 1)
            self.assertIn("dpinst.exe: missing at the package's root", done.stderr)

    def test_version_control_desktop_clutter_and_excluded_files_are_left_out_with_a_line(self):
        with tempfile.TemporaryDirectory() as package:
            make_package(package, {"dpinst.exe": INSTALLER, "a.txt": INF, "dpinst.xml": LEGACY, ".git/config": b"c",
                                   "sub/.svn/x": b"s",
                                   ".DS_Store": b"d", "sub/Thumbs.db": b"t", "sub/._a.inf": b"r", "b.pdb": b"p",
                                   "docs/readme.txt": b"r", "sub/keep.txt": b"k"})
            done, out = generate(package, "--exclude", "*.PDB", "--exclude", "docs/*")
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(read(os.path.join(out, "manifest.txt")).decode().split(),
                             ["KYT_FILE_000|a.txt", "KYT_FILE_001|dpinst.exe", "KYT_FILE_002|dpinst.xml",
                              "KYT_FILE_003|sub\\keep.txt"])
            self.assertEqual(done.stdout.splitlines(), [
                "kyt_package: left out .DS_Store (desktop clutter)", "kyt_package: left out .git\\ (version control)",
                "kyt_package: left out b.pdb (--exclude *.PDB)", "kyt_package: left out docs\\readme.txt (--exclude docs/*)",
                "kyt_package: left out sub\\._a.inf (desktop clutter)", "kyt_package: left out sub\\.svn\\ (version control)",
                "kyt_package: left out sub\\Thumbs.db (desktop clutter)"])

    def test_outputs_change_only_with_the_package_and_a_change_or_refusal_removes_the_setup(self):
        with tempfile.TemporaryDirectory() as package, tempfile.TemporaryDirectory() as out:
            setup = os.path.join(out, "Setup.exe")
            make_package(package, {"dpinst.exe": INSTALLER, "a.txt": INF + b"; a", "dpinst.xml": LEGACY})
            generate(package, "--setup", setup, out=out)
            outputs = [os.path.join(out, name) for name in kyt_package.GENERATED]
            stamps = [os.stat(p).st_mtime_ns for p in outputs]
            digest = read(outputs[2])
            make_package(out, {"Setup.exe": b"built"})
            done, _ = generate(package, "--setup", setup, out=out)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual([os.stat(p).st_mtime_ns for p in outputs], stamps, "an unchanged package rewrote files")
            self.assertTrue(os.path.exists(setup), "an unchanged package removed the setup")

            make_package(package, {"a.txt": INF + b"; b"})
            os.utime(os.path.join(package, "a.txt"), (1, 1))
            generate(package, "--setup", setup, out=out)
            self.assertNotEqual(read(outputs[2]), digest, "a content change with an old date kept the digest")
            self.assertFalse(os.path.exists(setup), "a changed package kept the old setup")

            make_package(out, {"Setup.exe": b"built"})
            os.remove(os.path.join(package, "dpinst.exe"))
            done, _ = generate(package, "--setup", setup, out=out)
            self.assertEqual(done.returncode, 1)
            self.assertEqual(sorted(os.listdir(out)), [], "a refused package left files behind")

    def test_the_summary_names_the_folder_the_counts_and_the_setup(self):
        with tempfile.TemporaryDirectory() as package, tempfile.TemporaryDirectory() as out:
            make_package(package, {"dpinst.exe": INSTALLER, "big.cat": b"c" * 2000, "Thumbs.db": b"t"})
            make_package(out, {"Setup.exe": b"abc"})
            generate(package, out=out)
            self.assertEqual(summary(out, os.path.join(out, "Setup.exe")), [
                f"Package: {os.path.abspath(package)}", "  2 files, 1 left out, 2,512 bytes; largest big.cat (2,000 bytes)",
                f"Setup:   {os.path.join(out, 'Setup.exe')}",
                "  3 bytes, SHA-256 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"])

    def test_the_driver_files_are_refused_by_line_or_warned_of_in_the_summary(self):
        with tempfile.TemporaryDirectory() as package, tempfile.TemporaryDirectory() as out:
            make_package(package, {"dpinst.exe": INSTALLER, "a.inf": INF_HEAD + b"CatalogFile = A.cat\r\n" + MODELS})
            done, _ = generate(package, out=out)
            self.assertEqual(done.returncode, 1)
            self.assertIn("cannot be built into a setup:\na.inf, line 4: CatalogFile names A.cat, which is not in the "
                          "package next to the INF\n", done.stderr)
            self.assertEqual(os.listdir(out), [], "a refused package left files behind")
            make_package(package, {"a.cat": b"placeholder", "dpinst.xml": LEGACY})
            done, _ = generate(package, out=out)
            self.assertIn("\na.cat: is not a catalog (no PKCS#7 SignedData holding a certificate trust list), so "
                          "a.inf is unsigned; 64-bit Windows installs no unsigned driver package (dpinst.xml's "
                          "<legacyMode/> does not change this", done.stderr)
            authority = Authority(out, "signer")
            subprocess.run([sys.executable, os.path.join(TOOLS, "kyt_catalog.py"), "--package", package, "--inf", "a.inf",
                            "--out", os.path.join(package, "a.cat"), "--cert", authority.certificate, "--key",
                            os.path.join(out, "signer.key")], check=True, capture_output=True)
            done, _ = generate(package, out=out)
            self.assertIn("a.cat: is signed by signer, whose certificate was issued by the signer itself", done.stderr)
            done, _ = generate(package, out=out, python=(sys.executable, "-S"))
            self.assertEqual((done.returncode, sorted(os.listdir(out))), (2, ["signer.crt", "signer.key"]))
            self.assertIn("cannot be checked: the Python module asn1crypto is missing", done.stderr)
            done, _ = generate(package, "--test-certificate", authority.certificate, out=out)
            self.assertEqual((done.returncode, done.stdout), (0, ""), done.stderr)
            make_package(out, {"Setup.exe": b"built"})
            self.assertIn("\n  warning: a.cat: signed by signer with the test certificate signer, declared trusted: ",
                          "\n".join(summary(out, os.path.join(out, "Setup.exe"))))

    def test_huge_files_and_too_many_files_are_refused(self):
        with tempfile.TemporaryDirectory() as package:
            huge = os.path.join(package, "huge.bin")
            with open(huge, "wb") as f:
                f.truncate(4 * 1024 ** 3)  # sparse: no disk space used
            installer = os.path.join(package, "dpinst.exe")
            make_package(package, {"dpinst.exe": INSTALLER})
            with self.assertRaisesRegex(package_rules.PackageError, r"huge\.bin: is 4294967296 bytes"):
                package_rules.validate([("dpinst.exe", installer), ("huge.bin", huge)])
            many = [("dpinst.exe", installer)] + [(f"f{i}.inf", installer) for i in range(1000)]
            with self.assertRaisesRegex(package_rules.PackageError, "1001 files"):
                package_rules.validate(many)
            package_rules.validate(many[:1000])
        self.assertIn("slash", package_rules.path_problem("\\abs.inf"))
        self.assertIsNone(package_rules.path_problem("amd64\\ok.dll"))


if __name__ == "__main__":
    unittest.main()
