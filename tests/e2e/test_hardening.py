"""The staging area of an elevated setup, under Wine: what Wine keeps of the protected access
lists (the Unix mode), the arguments of every defence, a temporary folder on a network drive, a
base folder that is a link elsewhere, a base folder from an earlier run, and eight setups at
once."""
import os
import stat
import threading
import time
import unittest

from rig import MESSAGES, RigTestCase, tree, windows_path, word

PROTECTED = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"  # owned by Administrators, nothing inherited
OWNER_ONLY = "O:BA"  # owned by Administrators, the access list inherited
# A hold: list the folder, read attributes, wait on it; share reading and writing but not
# deletion. No right to delete or re-permit it. The temporary folder is held by its path, its
# junctions followed (the path is the user's choice); every other folder relative to a hold.
HOLD_ACCESS, HOLD_SHARE = 0x00100081, 3
TEMP_HOLD = {"access": HOLD_ACCESS, "share": HOLD_SHARE, "attributes": 0, "disposition": 3, "flags": 0x02000000}
# The setup's own native opens: a directory, synchronous, the reparse point itself, backup intent.
NATIVE_OPTIONS = 0x00204021
FILE_OPEN, FILE_CREATE, FILE_OPEN_IF = 1, 2, 3
VOLUME_NAME_NONE = 4


def setup_calls(result):
    """Returns the relayed calls of the setup's own thread (the one that restricts the DLL search),
    of the native opens only the setup's own: the runtime makes many more."""
    thread = next(c.thread for c in result.calls if c.function == "SetDefaultDllDirectories")
    return [c for c in result.calls if c.thread == thread and
            (c.function != "NtCreateFile" or word(c.args[8]) == NATIVE_OPTIONS)]


class Hardening(RigTestCase):
    def test_the_setups_folders_give_others_no_access(self):
        temp = self.rig.folder("modes")
        base = os.path.join(temp, "KYT_DRIVER_SETUP")
        modes = {}
        stop = threading.Event()

        def watch():
            # The installer sleeps, so the staging directory is seen while it is in use.
            while not stop.is_set():
                for entry in os.scandir(base) if os.path.isdir(base) else []:
                    modes[entry.name] = stat.S_IMODE(entry.stat(follow_symlinks=False).st_mode)
                time.sleep(0.05)

        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            result = self.rig.run("e2e_nested", temp, env={"KYT_TEST_SLEEP_MS": "1500"})
        finally:
            stop.set()
            watcher.join()
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(len(modes), 1, modes)
        staging_mode = next(iter(modes.values()))
        base_mode = stat.S_IMODE(os.stat(base).st_mode)
        plain_mode = stat.S_IMODE(os.stat(temp).st_mode)
        # Wine turns the protected access list into a mode without any right for others; a
        # folder made without it (the test's own) has them.
        self.assertEqual(staging_mode & 0o007, 0, oct(staging_mode))
        self.assertEqual(base_mode & 0o007, 0, oct(base_mode))
        self.assertNotEqual(plain_mode & 0o007, 0, oct(plain_mode))

    def test_each_defence_asks_windows_for_exactly_its_arguments(self):
        # Wine enforces few of these (no access lists, owners as the user), so what the setup
        # asks for is read from the relay trace, call by call.
        temp = self.rig.folder("traced")
        calls = setup_calls(self.rig.run("e2e_nested", temp))
        base = windows_path(temp) + "\\KYT_DRIVER_SETUP"
        first, owner = calls[0], calls[1]
        self.assertEqual((first.function, word(first.args[0])), ("SetDefaultDllDirectories", 0x800),
                         "the DLL search is restricted to the system folder before anything else")
        self.assertEqual((owner.function, word(owner.args[1])), ("SetTokenInformation", 4), "TokenOwner")
        self.assertFalse([c for c in calls if c.function in ("SetSecurityInfo", "SetNamedSecurityInfoW",
                                                             "SetKernelObjectSecurity")],
                         "no access list is changed on anything: every one is given at creation")

        descriptor = None
        holds, folders, files, native = [], [], [], []
        for i, call in enumerate(calls):
            if call.function == "ConvertStringSecurityDescriptorToSecurityDescriptorW":
                descriptor = call.args[0]
            elif call.function == "CreateDirectoryW":
                self.assertNotEqual(int(call.args[1], 16), 0, "a descriptor is given: " + call.args[0])
                folders.append((call.args[0], descriptor))
            elif call.function == "CreateFileW" and word(call.args[4]) == 3:
                holds.append(call.args[0])
                self.assertEqual({"access": word(call.args[1]), "share": word(call.args[2]),
                                  "attributes": int(call.args[3], 16), "disposition": word(call.args[4]),
                                  "flags": word(call.args[5])}, TEMP_HOLD, call.args[0])
            elif call.function == "CreateFileW":
                given = int(call.args[3], 16) != 0
                files.append((call.args[0], given and descriptor, word(call.args[1]), word(call.args[2]),
                              word(call.args[4])))
            elif call.function == "NtCreateFile":
                created = word(call.args[7]) in (FILE_CREATE, FILE_OPEN_IF)
                native.append((word(call.args[1]), word(call.args[6]), word(call.args[7]), created and descriptor))
        # Only the temporary folder is opened by its path; the base folder is made or opened
        # relative to it (the protected descriptor applies only when it is made), never by path.
        self.assertEqual(holds, [windows_path(temp) + "\\"])
        self.assertFalse([f for f, _ in folders if f.lower() == base.lower()], "no CreateDirectoryW names the base folder")
        self.assertIn("GetVolumeInformationByHandleW", [c.function for c in calls])
        self.assertIn(VOLUME_NAME_NONE, [word(c.args[3]) & 0xF for c in calls if c.function == "GetFinalPathNameByHandleW"],
                      "the base folder's path within its volume is read, to be compared with its drive path")
        # The staging directory: created relative to the base folder's hold with the protected
        # descriptor and held by that very open; at the end, referred to (attributes only, all
        # sharing) and opened through the reference for deletion alone.
        self.assertEqual(native, [(HOLD_ACCESS, HOLD_SHARE, FILE_OPEN_IF, PROTECTED),
                                  (HOLD_ACCESS, HOLD_SHARE, FILE_CREATE, PROTECTED),
                                  (0x00100080, 7, FILE_OPEN, False),
                                  (0x00110000, 7, FILE_OPEN, False)])
        dispositions = [c for c in calls if c.function == "SetFileInformationByHandle"]
        self.assertEqual([word(c.args[1]) for c in dispositions], [4], "FileDispositionInfo, once")
        staging = next(c for c in calls if c.function == "CreateProcessW").args[7]
        self.assertTrue(staging.startswith(base + "\\"), staging)
        self.assertTrue(folders and all(d == OWNER_ONLY and f.startswith(staging) for f, d in folders), folders)
        # Every payload file: its owner named in the descriptor given, write only, no sharing,
        # created afresh, in the staging directory; and nothing else is created anywhere.
        self.assertEqual(len(files), 6)
        for path, d, access, share, disposition in files:
            self.assertEqual((d, access, share, disposition), (OWNER_ONLY, 0x40000000, 0, 2), path)
            self.assertTrue(path.startswith(staging + "\\"), path)

    def test_a_temporary_folder_on_a_network_drive_or_in_the_object_namespace_is_refused(self):
        # Wine reports a drive whose type is "network" as remote, as Windows does a mapped share;
        # a folder of the object namespace is no folder of a file system, and nothing is made.
        drive_c = os.path.join(self.rig.prefix, "drive_c")
        for label, network, temp_path, left in (("served", True, None, {"KYT_DRIVER_SETUP"}),
                                                 ("objects", False, "\\\\?\\GLOBALROOT\\RPC Control\\", set())):
            with self.subTest(label):
                temp = self.rig.folder(label)
                before = set(os.listdir(drive_c))
                result = self.rig.run("e2e_nested", temp, network_drive=network, temp_path=temp_path)
                self.assertEqual([box.text for box in result.boxes], [MESSAGES["E2"]])
                self.assertEqual(result.exit_code, 1)
                self.assertEqual(result.installer_starts, [])
                self.assertEqual(tree(temp), left, "no staging directory, no payload")
                self.assertEqual(set(os.listdir(drive_c)), before)
                if left:
                    self.assertEqual(os.listdir(os.path.join(temp, "KYT_DRIVER_SETUP")), [])

    def test_a_temporary_path_through_a_link_is_left_at_the_held_base_folder(self):
        # Wine shows a Unix symbolic link as a reparse point; the held base folder's final path
        # runs through no link, and every later step goes by it.
        real = self.rig.folder("real temp")
        linked = os.path.join(self.rig.folder("linked temp parent"), "temp")
        os.symlink(real, linked)
        result = self.rig.run("e2e_nested", linked)
        self.assertEqual((result.exit_code, result.boxes), (0, []))
        start = result.installer_starts[0]
        self.assertTrue(start.current_directory.startswith(windows_path(real) + "\\KYT_DRIVER_SETUP\\"),
                        start.current_directory)
        self.assertTrue(start.application.startswith(start.current_directory), start.application)
        self.assertEqual(tree(real), {"KYT_DRIVER_SETUP"})

    def test_a_base_folder_from_an_earlier_run_is_used_again(self):
        temp = self.rig.folder("again")
        for _ in range(2):
            result = self.rig.run("e2e_nested", temp)
            self.assertEqual((result.exit_code, result.boxes), (0, []))
        self.assertEqual(tree(temp), {"KYT_DRIVER_SETUP"})

    def test_a_base_folder_that_links_elsewhere_is_refused(self):
        temp = self.rig.folder("linked")
        elsewhere = self.rig.folder("elsewhere")
        os.symlink(elsewhere, os.path.join(temp, "KYT_DRIVER_SETUP"))
        result = self.rig.run("e2e_nested", temp)
        self.assertEqual([box.text for box in result.boxes], [MESSAGES["E2"]])
        self.assertEqual(result.exit_code, 1)
        self.assertEqual(result.installer_starts, [])
        self.assertEqual(os.listdir(elsewhere), [], "nothing was written through the link")

    def test_eight_setups_at_once_use_eight_staging_directories(self):
        temp = self.rig.folder("eight")
        record = self.rig.folder("eight record")
        result = self.rig.run("e2e_nested", temp, count=8,
                              env={"KYT_TEST_SLEEP_MS": "1000", "KYT_TEST_RECORD": windows_path(record)})
        self.assertEqual(result.exit_codes, [0] * 8)
        self.assertEqual(result.boxes, [])
        directories = {start.current_directory for start in result.installer_starts}
        self.assertEqual(len(directories), 8, directories)
        self.assertEqual(len(os.listdir(record)), 8, "eight installers ran")
        self.assertEqual(tree(temp), {"KYT_DRIVER_SETUP"})


if __name__ == "__main__":
    unittest.main()
