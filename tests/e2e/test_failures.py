"""The setup's own failures, end to end: one box with the right text, exit code 1, one error
record in the event log before it, and nothing of the run left in the temporary folder."""
import os
import unittest

from rig import CAPTION, MESSAGES, RigTestCase, tree


class SetupFailures(RigTestCase):
    def assert_one_box(self, result, message):
        self.assertEqual(len(result.boxes), 1, result.boxes)
        box = result.boxes[0]
        self.assertEqual(box.text, MESSAGES[message])
        self.assertEqual(box.caption, CAPTION)
        self.assertEqual(box.style, 0x10)
        self.assertEqual(int(box.owner, 16), 0, "the box has no owner window")
        self.assertEqual(result.dismissed, 1, "one box appeared on the display")
        self.assertEqual(result.exit_code, 1)
        record = self.assert_record(result, 1, 1100 + int(message[1:]))
        self.assertEqual(record.strings[1], "Error box shown: " + MESSAGES[message])

    def test_an_invalid_or_missing_manifest_touches_nothing(self):
        for setup in ("e2e_invalid_manifest", "e2e_no_manifest"):
            with self.subTest(setup=setup):
                temp = self.rig.folder(setup + " temp")
                result = self.rig.run(setup, temp)
                self.assert_one_box(result, "E1")
                self.assertEqual(tree(temp), set())
                self.assertEqual(result.installer_starts, [])

    def test_a_file_in_place_of_the_base_folder_gives_the_temporary_directory_message(self):
        temp = self.rig.folder("blocked temp")
        with open(os.path.join(temp, "KYT_DRIVER_SETUP"), "wb") as f:
            f.write(b"in the way")
        result = self.rig.run("e2e_nested", temp)
        self.assert_one_box(result, "E2")
        self.assertEqual(tree(temp), {"KYT_DRIVER_SETUP"})

    def test_a_missing_resource_is_reported_after_the_staging_directory_is_gone(self):
        temp = self.rig.folder("missing temp")
        result = self.rig.run("e2e_missing_first", temp)
        self.assert_one_box(result, "E4")
        self.assertEqual(result.disk_at_boxes, [{"KYT_DRIVER_SETUP"}], "the staging directory went before the box")
        self.assertEqual(tree(temp), {"KYT_DRIVER_SETUP"})

    def test_a_failed_extraction_is_reported_after_the_staging_directory_is_gone(self):
        for setup, message in (("e2e_folder_fails", "E3"), ("e2e_write_fails", "E5")):
            with self.subTest(setup=setup):
                temp = self.rig.folder(setup + " temp")
                result = self.rig.run(setup, temp)
                self.assert_one_box(result, message)
                self.assertEqual(result.disk_at_boxes, [{"KYT_DRIVER_SETUP"}], "the written files went before the box")
                self.assertEqual(result.installer_starts, [])

    def test_a_package_without_a_root_installer_cannot_start_it(self):
        temp = self.rig.folder("no installer temp")
        result = self.rig.run("e2e_no_root_installer", temp)
        self.assert_one_box(result, "E6")
        self.assertEqual(result.disk_at_boxes, [{"KYT_DRIVER_SETUP"}], "the extracted files went before the box")
        self.assertEqual(tree(temp), {"KYT_DRIVER_SETUP"})
        self.assertEqual(len(result.installer_starts), 1, "the start was tried once")

    def test_a_run_that_nobody_can_see_ends_without_a_box_after_the_same_cleanup(self):
        # Wine reports a window station of the launcher's own making as not visible, as Windows
        # does for a service's; session 0 itself is not to be had under Wine.
        temp = self.rig.folder("unseen temp")
        result = self.rig.run("e2e_missing_first", temp, hidden_station=True, timeout=60)
        self.assertEqual(result.exit_code, 1)
        self.assertEqual((result.boxes, result.dismissed), ([], 0), "no box, not even an invisible one")
        self.assertEqual(tree(temp), {"KYT_DRIVER_SETUP"}, "the same cleanup as with a box")
        record = self.assert_record(result, 1, 1104)
        self.assertTrue(record.strings[1].startswith("Error box left out, because nobody could see it"), record.strings)
        self.assertTrue(record.strings[1].endswith(MESSAGES["E4"]), record.strings)


if __name__ == "__main__":
    unittest.main()
