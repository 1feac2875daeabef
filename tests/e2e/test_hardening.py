"""The staging area of an elevated setup, under Wine: what Wine keeps of the protected access
lists (the Unix mode), a base folder that is a link elsewhere, a base folder from an earlier
run, and eight setups at once."""
import os
import stat
import threading
import time
import unittest

from rig import MESSAGES, RigTestCase, tree, windows_path


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
