"""A vendor's project builds a setup of its own with kyt_add_setup(): every build carries exactly
the package folder's current content, whatever the files' dates, rebuilds nothing when nothing
changed, and a refused folder leaves no setup behind."""
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from kyt import catalogs, pe_image
from kyt import package as kyt_package
from kyt import verify as kyt_verify
from throwaway_ca import Authority

VENDOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "vendor")
OLD = 946_684_800  # 2000-01-01, older than any build


class VendorBuild:
    """A vendor project's build folder, its package folder, and the setup they make."""

    def __init__(self, scratch, takes):
        self.package = os.path.join(scratch, "package")
        self.build = os.path.join(scratch, "build")
        self.setup = os.path.join(self.build, "VendorSetup.exe")
        with open(os.environ["KYT_INSTALLER"], "rb") as f:
            self.write("dpinst.exe", f.read())
        self.write("kyt_a.inf", b'[Version]\r\nSignature="$Windows NT$"\r\nCatalogFile=kyt_a.cat\r\n[Manufacturer]\r\n'
                                b'K=M,NTamd64\r\n[M.NTamd64]\r\nD=I,USB\\VID_5A4B&PID_4D01\r\n')
        self.write("dpinst.xml", b"<dpinst><quietInstall/></dpinst>")
        self.write("amd64/kyt_b.cat", b"b" * 100)
        self.certificate = Authority(scratch, "vendor test signer").certificate
        subprocess.run([sys.executable, "-m", "kyt", "catalog", "--inf",
                        "kyt_a.inf", "--package", self.package, "--out", os.path.join(self.package, "kyt_a.cat"), "--cert",
                        self.certificate, "--key", os.path.join(scratch, "vendor test signer.key")], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run([os.environ["KYT_CMAKE"], "-S", VENDOR, "-B", self.build, "-G", "Ninja",
                        "-DCMAKE_TOOLCHAIN_FILE=" + os.environ["KYT_TOOLCHAIN"],
                        "-DKYT_SOURCE_DIR=" + os.environ["KYT_SOURCE_DIR"], "-DVENDOR_PACKAGE=" + self.package,
                        "-DVENDOR_TAKES=" + takes, "-DVENDOR_TEST_CERTIFICATE=" + self.certificate],
                       check=True, stdout=subprocess.DEVNULL)

    def write(self, relative, data, mtime=None):
        path = os.path.join(self.package, *relative.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        if mtime:
            os.utime(path, (mtime, mtime))

    def make(self):
        """Returns (exit code, output) of one build."""
        done = subprocess.run([os.environ["KYT_CMAKE"], "--build", self.build], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, env=dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2"))
        return done.returncode, done.stdout

    def problems(self):
        """Returns the differences between the setup and the package folder as it is now."""
        return kyt_verify.inspect(self.setup, kyt_package.package_files(self.package, [], ["*.bak"]), io.StringIO(),
                                  declared=catalogs.load_certificates(self.certificate))

    def manifest(self):
        with open(self.setup, "rb") as f:
            resources = pe_image.read_resources(pe_image.read_image(f.read()))
        return next(r.data for r in resources if r.name == "KYT_MANIFEST").decode().split()


class Incremental(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(os.environ["KYT_SCRATCH"], exist_ok=True)
        cls.scratch = tempfile.mkdtemp(dir=os.environ["KYT_SCRATCH"], prefix="incremental ")
        cls.vendor = VendorBuild(cls.scratch, "add_subdirectory")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def built(self):
        code, out = self.vendor.make()
        self.assertEqual(code, 0, out)
        self.assertEqual(self.vendor.problems(), [], out)
        return out

    def test_every_change_to_the_folder_reaches_the_setup_and_no_change_rebuilds_nothing(self):
        vendor = self.vendor
        vendor.write(".git/config", b"[core]")
        vendor.write("amd64/Thumbs.db", b"t")
        vendor.write("notes.bak", b"n")
        out = self.built()
        self.assertIn(f"Package: {vendor.package}", out)
        self.assertIn("5 files, 3 left out,", out)
        self.assertIn("largest dpinst.exe", out)
        self.assertIn("  warning: kyt_a.inf: has no DriverVer in [Version]\n", out)
        self.assertIn(f"Setup:   {vendor.setup}", out)
        for line in ["left out .git\\ (version control)", "left out amd64\\Thumbs.db (desktop clutter)",
                     "left out notes.bak (--exclude *.bak)"]:
            self.assertIn(line, out)

        stamp = os.stat(vendor.setup).st_mtime_ns
        out = self.built()
        self.assertNotIn("Linking", out)
        self.assertIn(f"Setup:   {vendor.setup}", out, "a build without changes printed no summary")
        self.assertEqual(os.stat(vendor.setup).st_mtime_ns, stamp, "an unchanged folder rebuilt the setup")

        changes = [
            ("a file added with an old date", lambda: vendor.write("amd64/kyt_c.dll", b"c", OLD), "amd64\\kyt_c.dll"),
            ("a file removed", lambda: os.remove(os.path.join(vendor.package, "amd64", "kyt_c.dll")), None),
            ("a file replaced by an older one", lambda: vendor.write("amd64/kyt_b.cat", b"B" * 100, OLD), None),
            ("a folder renamed", lambda: os.rename(os.path.join(vendor.package, "amd64"),
                                                   os.path.join(vendor.package, "x64")), "x64\\kyt_b.cat"),
        ]
        for what, change, carried in changes:
            with self.subTest(what):
                before = vendor.manifest()
                change()
                self.built()
                if carried:
                    self.assertIn(carried, "".join(vendor.manifest()))
                if what == "a file removed":
                    self.assertNotIn("kyt_c.dll", "".join(vendor.manifest()))
                    self.assertEqual(len(vendor.manifest()), len(before) - 1)

    def test_a_refused_folder_leaves_no_setup(self):
        self.built()
        link = os.path.join(self.vendor.package, "linked.inf")
        os.symlink("/etc/hostname", link)
        try:
            code, out = self.vendor.make()
            self.assertNotEqual(code, 0)
            self.assertIn("linked.inf: is a symbolic link", out)
            self.assertFalse(os.path.exists(self.vendor.setup), "the last good setup is still there")
        finally:
            os.remove(link)
        self.built()


class PackageFolder(unittest.TestCase):
    def test_the_package_folder_is_named_afresh_at_each_configure(self):
        os.makedirs(os.environ["KYT_SCRATCH"], exist_ok=True)
        with tempfile.TemporaryDirectory(dir=os.environ["KYT_SCRATCH"], prefix="package folder ") as scratch:
            package = os.path.join(scratch, "custom")
            build = os.path.join(scratch, "build")
            sample = os.path.join(os.environ["KYT_SOURCE_DIR"], "resources", "package")
            configure = [os.environ["KYT_CMAKE"], "-S", os.environ["KYT_SOURCE_DIR"], "-B", build, "-G", "Ninja",
                         "-DCMAKE_TOOLCHAIN_FILE=" + os.environ["KYT_TOOLCHAIN"], "-DKYT_TESTS=OFF"]
            for given, expected in [(package, package), (None, sample), ("custom", package)]:
                extra = ["-DKYT_PACKAGE_DIR=" + given] if given else []
                done = subprocess.run(configure + extra, stdout=subprocess.PIPE, text=True, check=True, cwd=scratch)
                self.assertIn(f"-- Package folder: {expected}\n", done.stdout)


class FetchContent(unittest.TestCase):
    def test_a_project_that_fetches_the_repository_builds_its_setup(self):
        os.makedirs(os.environ["KYT_SCRATCH"], exist_ok=True)
        with tempfile.TemporaryDirectory(dir=os.environ["KYT_SCRATCH"], prefix="fetchcontent ") as scratch:
            vendor = VendorBuild(scratch, "FetchContent")
            code, out = vendor.make()
            self.assertEqual(code, 0, out)
            self.assertEqual(vendor.problems(), [], out)
            self.assertEqual(vendor.manifest(), ["KYT_FILE_000|dpinst.exe", "KYT_FILE_001|dpinst.xml",
                                                 "KYT_FILE_002|kyt_a.cat", "KYT_FILE_003|kyt_a.inf",
                                                 "KYT_FILE_004|amd64\\kyt_b.cat"])


if __name__ == "__main__":
    unittest.main()
