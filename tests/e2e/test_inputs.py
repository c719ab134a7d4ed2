"""Inputs as editors and scripts hand them over, seen in detail: each setting
stored from settings lines with Ctrl-Z bytes, long lines or bare line feeds;
settings files with many keys; long command lines. (Their outcomes as a user
sees them are rows of the hostile-input table.)"""

import os
import unittest

from harness import BUILD, WineTestCase, file_bytes, install_source, win_path

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


if __name__ == "__main__":
    unittest.main()
