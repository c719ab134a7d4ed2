"""Every user's default (-all) under Wine: Wine's own user and the profiles a
test adds to its list, the report, the exit codes, the hives left loaded, and
a window station that no user sees. Wine drops what is written into a hive it
unloads: the profiles loaded keep their old value here."""

import getpass
import os
import shutil
import time

from harness import (BUILD, FIXTURES, PREFIX, PROGRAM_NAME, WineTestCase, file_bytes,
                     install_source, read_registry, win_path, wine)

LIST = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\"
RECORD = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorquin"
USERS = os.path.join(PREFIX, "drive_c", "users")
OLD = "C:\\old.ds"
# Profiles a test adds: shape (D NTUSER.DAT, M NTUSER.MAN, R roaming), and the
# line's end after -all -s and after -all -g; None for no user's.
PROFILES = {
    "S-1-5-21-9-1001": ("D", "loaded|C:\\old.ds|{src}|", "loaded|C:\\old.ds|no such source|"),
    "S-1-12-1-9-1002": ("DR", "loaded|C:\\old.ds|{src}|roaming profile: its server copy may "
                        "replace this at the next logon", "loaded|C:\\old.ds|no such source|"),
    "S-1-5-21-9-1003": ("DM", "skipped|||mandatory profile (NTUSER.MAN): left alone",
                        "skipped||mandatory profile (NTUSER.MAN): left alone|"),
    "S-1-5-21-9-1004": ("", "skipped|||no NTUSER.DAT in the profile folder",
                        "skipped||no NTUSER.DAT in the profile folder|"),
    "S-1-5-18": ("D", None, None),
    "S-1-5-21-9-1001.bak": ("D", None, None),
    "Default": ("D", "loaded|C:\\old.ds|{src}|", "loaded|C:\\old.ds|no such source|"),
    # Wine's own user, whose folder is named after the Unix user.
    "S-1-5-21-0-0-0-1000": ("", "logged on||{src}|", "logged on|{src}||Flatbed Pro"),
}
NO_DEFAULT = ("", "skipped|||no NTUSER.DAT in the profile folder",
              "skipped||no NTUSER.DAT in the profile folder|")
SCENARIOS = [  # profiles added, exit code
    (["S-1-5-21-9-1001", "Default"], 0),
    ([key for key in PROFILES if key not in ("Default", "S-1-5-21-0-0-0-1000")], 2),
]


def reg_import(lines):
    path = os.path.join(PREFIX, "drive_c", "profiles.reg")
    with open(path, "w", newline="\r\n") as f:
        f.write("REGEDIT4\n\n" + "\n".join(lines) + "\n")
    wine(["reg", "import", "C:\\profiles.reg", "/reg:64"])


class AllUsers(WineTestCase):
    def setUp(self):
        super().setUp()
        self.src = install_source(os.path.join(self.case.root, "ds"), "flatbed.ds",
                                  product="Flatbed Pro")
        self.out = os.path.join(self.case.root, "out.txt")
        self.new_key()

    def new_key(self):
        """A registry key of its own for the default, so that each run starts without one."""
        self.key = "Software\\CorvaneE2E\\%d" % time.time_ns()
        self.case.write_settings("[Settings]\r\nds_dir=%s\r\nds_reg_dir=%s\r\nds_reg_name=Scanner"
                                 "\r\n" % (win_path(os.path.dirname(self.src)), self.key))

    def add_profiles(self, keys):
        self.addCleanup(wine, ["reg", "delete", RECORD, "/f", "/reg:64"])
        self.addCleanup(reg_import, ["[-%s%s]" % (LIST, key) for key in keys])
        lines, hives = [], []
        for key in keys:
            folder = os.path.join(USERS, key if key == "Default" else "e2e-" + key)
            self.addCleanup(shutil.rmtree, folder, True)
            os.makedirs(folder)
            shape = PROFILES[key][0]
            hives += [win_path(os.path.join(folder, "NTUSER.DAT"))] if "D" in shape else []
            if "M" in shape:
                open(os.path.join(folder, "NTUSER.MAN"), "wb").close()
            if key != "Default":  # %SystemDrive%\users\e2e-KEY, to be expanded
                path = "%SystemDrive%\\users\\e2e-" + key + "\0"
                lines += ["[%s%s]" % (LIST, key), '"ProfileImagePath"=hex(2):'
                          + ",".join("%02x" % ord(c) for c in path)]
                lines += ['"CentralProfile"="\\\\\\\\server\\\\profiles"'] if "R" in shape else []
        reg_import(lines)
        wine([os.path.join(FIXTURES, "hive.exe"), "save", self.key, "Scanner", OLD] + hives)

    def lines(self, keys, column, src):
        ends = {key: PROFILES[key] for key in keys + ["S-1-5-21-0-0-0-1000"]}
        ends.setdefault("Default", NO_DEFAULT)
        text = ""
        for key in sorted(ends, key=lambda k: (k == "Default", k.upper())):
            folder = {"Default": key, "S-1-5-21-0-0-0-1000": getpass.getuser()}.get(key, "e2e-" + key)
            if ends[key][column]:
                text += "%s|C:\\users\\%s|%s\r\n" % (key, folder, ends[key][column].format(src=src))
        return text.encode()

    def test_every_profile_is_written_or_named(self):
        src = win_path(self.src)
        for keys, code in SCENARIOS:
            with self.subTest(keys=keys):
                self.doCleanups()  # the scenario before
                self.new_key()
                self.add_profiles(keys)
                r = self.case.run("-o %s -all -s flat" % win_path(self.out))
                self.assertEqual((r.code, r.messages), (code, []))
                self.assertEqual(file_bytes(self.out), self.lines(keys, 1, src))
                self.assertEqual(read_registry(self.key, "Scanner"), (1, src.encode() + b"\0"))
                self.assertEqual(b"Corvane." in wine(["reg", "query", "HKU"]), False)
                record = wine(["reg", "query", RECORD + "\\" + PROGRAM_NAME, "/reg:64"])
                self.assertEqual(src.encode() in record, code == 0)
                r = self.case.run("-o %s -all -g" % win_path(self.out))
                self.assertEqual(r.code, code)
                self.assertEqual(file_bytes(self.out), self.lines(keys, 2, src))

    def test_a_hive_a_killed_run_left_loaded_is_unloaded(self):
        self.add_profiles(["S-1-5-21-9-1001"])
        hive = win_path(os.path.join(USERS, "e2e-S-1-5-21-9-1001", "NTUSER.DAT"))
        wine([os.path.join(FIXTURES, "hive.exe"), "load", "Corvane.99999.0", hive])
        self.assertIn(b"Corvane.99999.0", wine(["reg", "query", "HKU"]))
        self.assertEqual(self.case.run("-o %s -all -g" % win_path(self.out)).code, 2)
        self.assertNotIn(b"Corvane.", wine(["reg", "query", "HKU"]))

    def test_no_box_where_no_one_sees_it(self):
        # Without a message file, what a box would say goes to the log.
        for args, code, record in (("-all -g", 2, b"[information] " + PROGRAM_NAME.encode()),
                                   ("-all -s nothing", 1, b"Scanner: nothing - not found")):
            r = self.case.run(args, message_file=False, station=True, timeout=60)
            self.assertEqual(r.code, code)
            self.assertIn(record, r.log())
