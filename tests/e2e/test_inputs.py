"""Inputs as editors, scripts and full disks hand them over: settings files with
Ctrl-Z bytes, long lines, byte-order marks or many keys; long command lines;
odd AppData values; a copy that cannot be completed."""

import os
import resource
import signal
import unittest

from harness import BUILD, WineTestCase, file_bytes, install_program, install_source, win_path

REQUIRED = "ds_dir=a\r\nds_reg_dir=b\r\nds_reg_name=c\r\n"


def traces(result):
    """The (name, value) pairs the -dbg=16 trace logged, in order."""
    pairs = []
    for line in result.log().decode("latin-1").split("\r\n"):
        if " (VarSet) " in line:
            pairs.append(tuple(line.split(" (VarSet) ", 1)[1].split(",", 1)))
    return pairs


class SettingsText(WineTestCase):
    def test_every_line_is_read_whole_and_every_byte_seen(self):
        long_dir = "C:\\" + "d" * 247
        rows = [
            ("ctrl-z", "note=ctrl\x1az\r\n" + REQUIRED,
             [("note", "ctrl\x1az"), ("ds_dir", "a"), ("ds_reg_dir", "b"), ("ds_reg_name", "c")]),
            ("254 characters", ";" * 254 + "\r\n" + REQUIRED,
             [("ds_dir", "a"), ("ds_reg_dir", "b"), ("ds_reg_name", "c")]),
            ("long value", "ds_dir=%s\r\nds_reg_dir=b\r\nds_reg_name=c\r\n" % long_dir,
             [("ds_dir", long_dir), ("ds_reg_dir", "b"), ("ds_reg_name", "c")]),
            ("long comment", ";" * 260 + "ds_dir=x\r\n" + REQUIRED,
             [(";" * 260 + "ds_dir", "x"), ("ds_dir", "a"), ("ds_reg_dir", "b"),
              ("ds_reg_name", "c")]),
            ("bare line feeds", REQUIRED.replace("\r\n", "\n"),
             [("ds_dir", "a"), ("ds_reg_dir", "b"), ("ds_reg_name", "c")]),
        ]
        for name, body, expected in rows:
            with self.subTest(name):
                self.case.write_settings("[Settings]\r\n" + body)
                log = os.path.join(self.case.temp, BUILD.log)
                if os.path.exists(log):
                    os.remove(log)
                r = self.case.run("-dbg=16 -2")
                self.assertEqual((r.code, r.messages), (0, []))
                self.assertEqual(traces(r), expected)

    def test_utf8_byte_order_mark_is_skipped(self):
        self.case.write_settings(b"\xef\xbb\xbf[Settings]\r\n" + REQUIRED.encode())
        r = self.case.run("-2")
        self.assertEqual((r.code, r.messages), (0, []))

    def test_utf16_file_is_named_and_left_alone(self):
        text = ("[Settings]\r\n" + REQUIRED).encode("utf-16")  # with its byte-order mark
        self.case.write_settings(text)
        r = self.case.run("-2")
        self.assertFatal(r, "%s is saved as UTF-16 (Unicode): save it as ANSI or UTF-8"
                         % win_path(self.case.user_settings))
        self.assertEqual(file_bytes(self.case.user_settings), text)

    def test_shipped_file_with_ctrl_z_is_copied_whole(self):
        self.case.program = install_program(self.case.root + "/program", with_settings=False)
        shipped = b"[Settings]\r\nnote=ctrl\x1az\r\n" + REQUIRED.encode()
        with open(os.path.join(self.case.program, BUILD.settings), "wb") as f:
            f.write(shipped)
        r = self.case.run("-2")
        self.assertEqual((r.code, r.messages), (0, []))
        self.assertEqual(file_bytes(self.case.user_settings), shipped)

    def test_many_keys_leave_the_listing_its_names(self):
        ds = os.path.join(self.case.root, "ds")
        path = install_source(ds, "a.ds", manufacturer="Maker", family="Family",
                              product="Ctrl\x1aZ Pro")
        keys = "".join("key%d=%d\r\n" % (i, i) for i in range(200))
        self.case.write_settings("[Settings]\r\nds_dir=%s\r\nds_reg_dir=b\r\nds_reg_name=c\r\n%s"
                                 % (win_path(ds), keys))
        out = os.path.join(self.case.root, "out.txt")
        r = self.case.run("-o %s -la -o - -l" % win_path(out))
        self.assertEqual(r.code, 0)
        self.assertEqual(file_bytes(out), ("1|Maker|Family|Ctrl\x1aZ Pro|%s\r\n"
                                           % win_path(path)).encode("latin-1"))
        # The box shows what follows a Ctrl-Z as well.
        self.assertEqual(r.messages, [("information", BUILD.program, "1=Ctrl\x1aZ Pro\n")])
        self.assertIn(b"Too many settings in %s: 'key115' and every new key after it ignored"
                      % win_path(self.case.user_settings).encode(), r.log())


class CommandLine(WineTestCase):
    def test_arguments_beyond_29_end_the_run_before_any_action(self):
        out = os.path.join(self.case.root, "out.txt")
        start = "-o %s -l " % win_path(out)
        r = self.case.run(start + "-o - " * 13 + "-dbg=1")
        self.assertFatal(r, "Too many arguments (30): at most 29 are taken")
        self.assertFalse(os.path.exists(out))
        self.assertIsNone(r.log())
        # Exactly 29 still work, the last one an action.
        r = self.case.run("-o - " * 13 + "-o %s -l" % win_path(out))
        self.assertEqual((r.code, r.messages), (0, []))
        self.assertTrue(os.path.exists(out))


class AppData(WineTestCase):
    def test_forward_slashes_make_the_whole_chain(self):
        r = self.case.run("-2", env={"AppData": "Z:" + self.case.appdata})
        self.assertEqual((r.code, r.messages), (0, []))
        self.assertTrue(os.path.isfile(self.case.user_settings))

    def test_empty_counts_as_missing(self):
        r = self.case.run("-2", env={"AppData": ""}, cwd=self.case.root)
        self.assertFatal(r, "The APPDATA environment variable is missing.")
        self.assertFalse(os.path.exists(os.path.join(self.case.root, "Halvorquin")))


def full_disk():
    """Files of the run can grow to 64 KB and no further."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))


class FullDisk(WineTestCase):
    def test_reinstall_that_cannot_be_completed_keeps_the_users_file(self):
        self.case.program = install_program(self.case.root + "/program", with_settings=False)
        with open(os.path.join(self.case.program, BUILD.settings), "wb") as f:
            f.write(b"[Settings]\r\n" + REQUIRED.encode() + b";" * 100000 + b"\r\n")
        mine = b"[Settings]\r\nds_dir=mine\r\n"
        self.case.write_settings(mine)
        r = self.case.run("-!", preexec=full_disk)
        self.assertFatal(r, "Can't write %s" % win_path(self.case.user_settings))
        self.assertEqual(file_bytes(self.case.user_settings), mine)
        self.assertEqual(os.listdir(self.case.user_folder), [BUILD.settings])


if __name__ == "__main__":
    unittest.main()
