"""Whole runs with the test installer: the installer's start, what it found, the exit code the
caller gets, and the disk afterwards."""
import filecmp
import glob
import os
import unittest

from rig import RigTestCase, tree, windows_path


class SetupRuns(RigTestCase):
    def run_nested(self, temp, exit_code=0, args=(), setup="e2e_nested"):
        record = self.rig.folder("record " + os.path.basename(temp))
        result = self.rig.run(setup, temp, env={"KYT_TEST_EXIT_CODE": str(exit_code),
                                                       "KYT_TEST_RECORD": windows_path(record)}, args=args)
        self.assertEqual(result.boxes, [], "no box on a run that reached the installer")
        self.assertEqual(tree(temp), {"KYT_DRIVER_SETUP"}, "only the empty base folder stays")
        records = glob.glob(os.path.join(record, "*", "record.txt"))
        self.assertEqual(len(records), 1)
        return result, os.path.dirname(records[0])

    def test_the_installers_exit_code_is_mapped_for_the_caller(self):
        # With the event-log record of each: information, warning or error, and its event ID.
        for installer, expected, record in ((0, 0, (4, 1000)), (0x40000000, 3010, (2, 1001)), (0x80000000, 1, (1, 1002)),
                                            (0xC0000000, 1, (1, 1002)), (0x12345, 0, (4, 1000))):
            with self.subTest(installer=hex(installer)):
                temp = self.rig.folder(f"codes {installer:x}")
                result, _ = self.run_nested(temp, installer)
                self.assertEqual(result.exit_code, expected)
                strings = self.assert_record(result, *record).strings
                self.assertTrue(strings[2].startswith(f"Installer exit code 0x{installer:08X}: "), strings)

    def test_the_installer_runs_in_the_staging_directory_with_every_file(self):
        # The last setup carries the package in a program linked with the tightest file alignment.
        for name, setup in (("plain", "e2e_nested"), ("with blanks", "e2e_nested"), ("张三 的 临时", "e2e_nested"),
                            ("packed", "e2e_nested_packed")):
            with self.subTest(temp=name, setup=setup):
                temp = self.rig.folder(name)
                result, record = self.run_nested(temp, setup=setup)
                self.assertEqual(result.exit_code, 0)
                self.assertEqual(len(result.installer_starts), 1)
                start = result.installer_starts[0]
                staging = start.current_directory
                self.assertTrue(staging.startswith(windows_path(temp) + "\\KYT_DRIVER_SETUP\\"), staging)
                self.assertRegex(staging.rsplit("\\", 1)[1], r"^[1-9]\d*-[1-9]\d*-\d{1,2}$|^\d+-\d+-0$")
                self.assertEqual(start.application, staging + "\\dpinst.exe")
                self.assertEqual(start.command_line, '"' + staging + '\\dpinst.exe"')
                self.assertEqual((start.inherit_handles, start.creation_flags, start.environment), (0, 0, "00000000"))
                with open(os.path.join(record, "record.txt"), encoding="utf-8") as f:
                    lines = f.read().splitlines()
                self.assertIn('commandline="' + staging + '\\dpinst.exe"', lines)
                self.assertIn("directory=" + staging, lines)
                package = os.path.join(self.rig.packages, "nested")
                for relative in tree(package):
                    source = os.path.join(package, relative)
                    if os.path.isfile(source):
                        self.assertTrue(filecmp.cmp(source, os.path.join(record, "files", relative), shallow=False),
                                        relative)
                self.assertTrue(filecmp.cmp(os.path.join(record, "files", "dpinst.exe"),
                                            os.path.join(record, "files", "amd64", "dpinst.exe"), shallow=False))

    def test_arguments_change_nothing(self):
        temp = self.rig.folder("arguments")
        result, record = self.run_nested(temp, 0x40000000, args=("/q", "--package", "C:\\elsewhere"))
        self.assertEqual(result.exit_code, 3010)
        staging = result.installer_starts[0].current_directory
        self.assertEqual(result.installer_starts[0].command_line, '"' + staging + '\\dpinst.exe"')

    def test_a_file_that_another_program_holds_for_a_moment_still_goes(self):
        # The installer leaves a second program (a copy of itself, so its image is in use too)
        # holding one staged file open without sharing its deletion: briefly, as a scanner
        # does, and for longer than the cleanup waits.
        for hold_ms, everything_goes in ((700, True), (6000, False)):
            with self.subTest(hold_ms=hold_ms):
                temp = self.rig.folder(f"held {hold_ms}")
                result = self.rig.run("e2e_nested", temp, env={"KYT_TEST_HOLD_FILE": "kyt_meter.inf",
                                                               "KYT_TEST_HOLD_MS": str(hold_ms)})
                self.assertEqual((result.exit_code, result.boxes), (0, []))
                left = tree(temp)
                cleanup = self.assert_record(result, 4, 1000).strings[4]
                if everything_goes:
                    self.assertEqual(left, {"KYT_DRIVER_SETUP"})
                    self.assertEqual(cleanup, "Cleanup left nothing behind.")
                else:
                    # Only the files still in use stay, with the folders above them.
                    self.assertEqual({p.split("/", 1)[0] for p in left}, {"KYT_DRIVER_SETUP"})
                    self.assertEqual(sorted(p.rsplit("/", 1)[-1] for p in left if p.count("/") == 2),
                                     ["dpinst.exe", "kyt_meter.inf"], left)
                    # The record counts what stayed below the base folder and names the first file.
                    self.assertRegex(cleanup, rf"^Cleanup left {len(left) - 1} paths behind; the first: .*\\"
                                              r"(dpinst\.exe|kyt_meter\.inf)$")


if __name__ == "__main__":
    unittest.main()
