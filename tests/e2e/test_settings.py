"""The settings file: installed per user on first use, read on every run."""

import os
import shutil
import unittest

from harness import BUILD, WineTestCase, file_bytes, install_program, win_path

SHIPPED = os.path.join(BUILD.windows_dir, BUILD.settings)


def missing(case, key):
    return "file: %s section: Settings - setting '%s' missing" % (
        win_path(case.user_settings), key)


class Installation(WineTestCase):
    def test_first_run_installs_the_shipped_file_and_logs_it(self):
        r = self.case.run("-o " + win_path(self.case.root + "/out.txt"))
        self.assertEqual((r.code, r.messages), (0, []))
        self.assertEqual(file_bytes(self.case.user_settings), file_bytes(SHIPPED))
        # Written at debug level 0; nothing else is.
        lines = r.log().decode().split("\r\n")
        self.assertEqual(lines[:3], ["*", lines[1], "*"])
        self.assertRegex(lines[3], r"^\d\d:\d\d:\d\d \(Re\)Installing files in %s$"
                         % win_path(self.case.user_folder).replace("\\", "\\\\"))
        self.assertEqual(lines[4:], [""])
        self.assertFalse(os.path.exists(self.case.root + "/out.txt"))

    def test_second_run_reads_the_user_copy_without_installing(self):
        self.case.run("-2")
        self.case.write_settings("[Settings]\nds_dir=x\nds_reg_dir=y\n")
        r = self.case.run("-2")
        self.assertFatal(r, missing(self.case, "ds_reg_name"))
        self.assertEqual(r.log().decode().count("Installing"), 1)

    def test_reinstall_overwrites_an_edited_file_without_reading_it(self):
        self.case.write_settings("garbage without a section\n")
        r = self.case.run("-!")
        self.assertEqual((r.code, r.messages), (0, []))
        self.assertEqual(file_bytes(self.case.user_settings), file_bytes(SHIPPED))

    def test_reinstall_without_the_shipped_file(self):
        self.case.program = install_program(self.case.root + "/program", with_settings=False)
        r = self.case.run("-!")
        shipped = os.path.join(self.case.program, BUILD.settings)
        self.assertFatal(r, "Can't open %s" % win_path(shipped))
        # The folders made before the copy failed stay.
        self.assertTrue(os.path.isdir(self.case.user_folder))


class RequiredSettings(WineTestCase):
    def check(self, text, key):
        self.case.write_settings(text)
        r = self.case.run("-2")
        self.assertFatal(r, missing(self.case, key))

    def test_without_the_section_header_the_first_is_missing(self):
        self.check("ds_dir=a\nds_reg_dir=b\nds_reg_name=c\n", "ds_dir")

    def test_each_key_is_checked_in_order(self):
        self.check("[Settings]\nds_dir=a\nds_reg_dir=b\n", "ds_reg_name")
        self.check("[settings]\nds_reg_name=c\nds_dir=a\n", "ds_reg_dir")

    def test_an_empty_value_counts_as_missing(self):
        self.check("[Settings]\nds_dir =  \nds_reg_dir=b\nds_reg_name=c\n", "ds_dir")

    def test_a_blank_line_ends_the_section(self):
        self.check("[Settings]\nds_dir=a\nds_reg_dir=b\n \t\nds_reg_name=c\n", "ds_reg_name")

    def test_a_header_must_start_its_line(self):
        self.check(" [Settings]\nds_dir=a\nds_reg_dir=b\nds_reg_name=c\n", "ds_dir")


class Values(WineTestCase):
    def test_keys_ignore_case_and_values_keep_tabs_and_equals(self):
        self.case.write_settings(
            "; comment=kept as a setting\n[SETTINGS] ; main\n \tDS_Dir\t = C:\\a=b   \n"
            "ds_reg_dir=\tkey\t\nds_reg_name=\"Default Source\"\nds_dir=C:\\later  \r\n")
        r = self.case.run("-dbg=16 -2")
        self.assertEqual((r.code, r.messages), (0, []))
        traces = [line[9:] for line in r.log().decode().split("\r\n") if "(VarSet)" in line]
        self.assertEqual(traces, [
            "(VarSet) DS_Dir\t,C:\\a=b",
            "(VarSet) ds_reg_dir,key\t",
            "(VarSet) ds_reg_name,\"Default Source\"",
            "(VarSet) ds_dir,C:\\later",
        ])

    def test_mixed_case_key_unix_line_ends_and_no_final_line_feed(self):
        self.case.write_settings("[Settings]\nDS_Dir=a\nds_reg_dir=b\nDS_REG_NAME=c")
        r = self.case.run("-o " + win_path(self.case.root + "/o.txt"))
        self.assertEqual((r.code, r.messages), (0, []))


if __name__ == "__main__":
    unittest.main()
