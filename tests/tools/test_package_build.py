"""The package build: the manifest it writes, its fixed order, and every folder it refuses."""
import os
import subprocess
import sys
import tempfile
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
sys.path.insert(0, TOOLS)
import kyt_package  # noqa: E402


def make_package(root, files):
    """Writes {relative path with '/': bytes} below root."""
    for relative, data in files.items():
        path = os.path.join(root, *relative.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def generate(package, *extra):
    out = tempfile.mkdtemp()
    done = subprocess.run([sys.executable, os.path.join(TOOLS, "kyt_package.py"), "generate", "--package", package,
                           "--out", out, *extra], capture_output=True, text=True)
    return done, out


class PackageBuild(unittest.TestCase):
    def test_the_manifest_lists_files_before_folders_in_a_fixed_order(self):
        with tempfile.TemporaryDirectory() as package:
            make_package(package, {"dpinst.exe": b"MZ", "B.inf": b"b", "a.cat": b"a", "amd64/x.dll": b"x",
                                   "amd64/dpinst.exe": b"MZ", "Zeta/deep/z.bin": b"z", "amd64/sub/q.bin": b"q"})
            done, out = generate(package)
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(os.path.join(out, "manifest.txt"), "rb") as f:
                text = f.read()
            self.assertEqual(text, b"KYT_FILE_000|a.cat\r\nKYT_FILE_001|B.inf\r\nKYT_FILE_002|dpinst.exe\r\n"
                                   b"KYT_FILE_003|amd64\\dpinst.exe\r\nKYT_FILE_004|amd64\\x.dll\r\n"
                                   b"KYT_FILE_005|amd64\\sub\\q.bin\r\nKYT_FILE_006|Zeta\\deep\\z.bin\r\n")
            with open(os.path.join(out, "setup.rc")) as f:
                script = f.read()
            self.assertIn("LANGUAGE 9, 1\n", script)
            self.assertIn("KYT_FILE_006 RCDATA", script)
            again, out2 = generate(package)
            with open(os.path.join(out2, "manifest.txt"), "rb") as f:
                self.assertEqual(f.read(), text, "the same folder gives the same manifest")

    def test_unsafe_or_broken_folders_are_refused_with_the_file_and_the_reason(self):
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
            ({"Same.inf": b"x", "same.inf": b"y"}, "same.inf", "only in case"),
            ({"pipe|x.inf": b"x"}, "pipe|x.inf", '"|"'),
            ({"colon:x.inf": b"x"}, "colon:x.inf", '":"'),
        ]
        for files, name, reason in cases:
            with self.subTest(files=list(files)), tempfile.TemporaryDirectory() as package:
                make_package(package, dict(files, **{"dpinst.exe": b"MZ"}))
                done, _ = generate(package)
                self.assertEqual(done.returncode, 1)
                line = next((l for l in done.stderr.splitlines() if name in l), "")
                self.assertIn(reason, line, done.stderr)

    def test_a_package_without_a_root_installer_is_refused(self):
        with tempfile.TemporaryDirectory() as package:
            make_package(package, {"amd64/dpinst.exe": b"MZ", "a.inf": b"x"})
            done, _ = generate(package)
            self.assertEqual(done.returncode, 1)
            self.assertIn("dpinst.exe: missing at the package's root", done.stderr)

    def test_leading_slashes_huge_files_and_too_many_files_are_refused(self):
        self.assertIn("slash", kyt_package.path_problem("\\abs.inf"))
        self.assertIn("slash", kyt_package.path_problem("/abs.inf"))
        self.assertIsNone(kyt_package.path_problem("amd64\\ok.dll"))
        with tempfile.TemporaryDirectory() as package:
            huge = os.path.join(package, "huge.bin")
            with open(huge, "wb") as f:
                f.truncate(4 * 1024 ** 3)  # sparse: no disk space used
            entries = [("dpinst.exe", huge.replace("huge.bin", "dpinst.exe")), ("huge.bin", huge)]
            with open(entries[0][1], "wb") as f:
                f.write(b"MZ")
            with self.assertRaisesRegex(kyt_package.PackageError, r"huge\.bin: is 4294967296 bytes"):
                kyt_package.validate(entries)
            many = [("dpinst.exe", entries[0][1])] + [(f"f{i}.inf", entries[0][1]) for i in range(1000)]
            with self.assertRaisesRegex(kyt_package.PackageError, "1001 files"):
                kyt_package.validate(many)
            kyt_package.validate(many[:1000])


if __name__ == "__main__":
    unittest.main()
