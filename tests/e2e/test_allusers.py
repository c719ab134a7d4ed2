"""Every user's default (-all) under Wine: Wine's own user and the profiles a
test adds to its list, the report, the exit codes, the machine's record, the
hives left loaded, two runs at once, the sign-in run, and what is refused.
Wine drops what is written into a hive it unloads: the profiles loaded keep
their old value here."""

import getpass
import os
import shutil
import subprocess
import threading
import time

from harness import (BUILD, FIXTURES, PREFIX, PROGRAM_NAME, Case, WineTestCase, file_bytes,
                     install_source, read_registry, win_path, wine, wine_env)

LIST = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\"
RECORD = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorquin"
USERS = os.path.join(PREFIX, "drive_c", "users")
OLD = "C:\\old.ds"
HIVE = os.path.join(FIXTURES, "hive.exe")
MANDATORY = ("passed over|||mandatory profile: Windows restores it at every sign-in",
             "passed over||mandatory profile: Windows restores it at every sign-in|")
# Profiles a test adds: shape (D NTUSER.DAT, N an NTUSER.DAT that is no hive,
# M NTUSER.MAN, R roaming, T State temporary, S State mandatory, G no folder, L
# logged on: its hive loaded under its SID, H its hive file held by another
# program), and the line's end after -all -s and after -all -g; None for no
# user's.
PROFILES = {
    "S-1-5-21-9-1001": ("D", "loaded|C:\\old.ds|{src}|", "loaded|C:\\old.ds|no such source|"),
    "S-1-5-21-9-1001.bak": ("D", None, None),
    "S-1-12-1-9-1002": ("DR", "loaded|C:\\old.ds|{src}|roaming profile: its server copy may "
                        "replace this at the next logon", "loaded|C:\\old.ds|no such source|"),
    "S-1-5-21-9-1003": ("DM",) + MANDATORY,
    "S-1-5-21-9-1004": ("", "passed over|||no NTUSER.DAT in the profile folder",
                        "passed over||no NTUSER.DAT in the profile folder|"),
    "S-1-5-21-9-1005": ("DT", "passed over|||temporary profile: Windows deletes it at sign-out; "
                        "the user's own profile is S-1-5-21-9-1005.bak",
                        "passed over||temporary profile: Windows deletes it at sign-out; the "
                        "user's own profile is S-1-5-21-9-1005.bak|"),
    "S-1-5-21-9-1005.bak": ("D", "loaded|C:\\old.ds|{src}|the user's own profile, for which a "
                            "temporary one stands in: written offline",
                            "loaded|C:\\old.ds|the user's own profile, for which a temporary one "
                            "stands in: read offline|"),
    "S-1-5-21-9-1006": ("DS",) + MANDATORY,
    "S-1-5-21-9-1007": ("G", "passed over|||the profile folder does not exist",
                        "passed over||the profile folder does not exist|"),
    "S-1-5-21-9-1008": ("N", "passed over|||NTUSER.DAT is no registry hive: {e1017}",
                        "passed over||NTUSER.DAT is no registry hive: {e1017}|"),
    # Logged on, with its hive file in its folder: written where it is loaded.
    "S-1-5-21-9-1009": ("DL", "logged on|C:\\old.ds|{src}|", "logged on|{src}||Flatbed Pro"),
    "S-1-5-21-9-1010": ("DH", "skipped|||the hive could not be loaded: {e32}",
                        "skipped||the hive could not be loaded: {e32}|"),
    "S-1-5-18": ("D", None, None),
    "Default": ("D", "loaded|C:\\old.ds|{src}|", "loaded|C:\\old.ds|no such source|"),
    # Wine's own user, whose folder is named after the Unix user.
    "S-1-5-21-0-0-0-1000": ("", "logged on||{src}|", "logged on|{src}||Flatbed Pro"),
}
ERRORS = {"e1017": "Not registry file. (error 1017)",  # Wine's words
          "e32": "Sharing violation. (error 32)"}
NO_DEFAULT = ("", "passed over|||no NTUSER.DAT in the profile folder",
              "passed over||no NTUSER.DAT in the profile folder|")
ADDED = [key for key in PROFILES if key != "S-1-5-21-0-0-0-1000"]
SCENARIOS = [  # profiles added, exit code
    (["S-1-5-21-9-1001", "Default"], 0),
    # Passed over for good, all of them: no reason to try again.
    ([key for key in ADDED if key != "S-1-5-21-9-1010"], 0),
    (ADDED, 2),
]


def reg_import(lines):
    path = os.path.join(PREFIX, "drive_c", "profiles.reg")
    with open(path, "w", newline="\r\n") as f:
        f.write("REGEDIT4\n\n" + "\n".join(lines) + "\n")
    wine(["reg", "import", "C:\\profiles.reg", "/reg:64"])


def hold(path):
    """Another program holds the file, until the returned process is ended."""
    held = subprocess.Popen(["wine", HIVE, "hold", win_path(path)], env=wine_env(),
                            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    while not os.path.exists(path + ".held"):
        time.sleep(0.05)
    return held


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
            shape = PROFILES[key][0]
            if "G" not in shape:
                os.makedirs(folder)
            hives += [win_path(os.path.join(folder, "NTUSER.DAT"))] if "D" in shape else []
            for letter, name, text in (("M", "NTUSER.MAN", b""), ("N", "NTUSER.DAT", b"regf")):
                if letter in shape:
                    with open(os.path.join(folder, name), "wb") as f:
                        f.write(text)
            if key != "Default":  # %SystemDrive%\users\e2e-KEY, to be expanded
                path = "%SystemDrive%\\users\\e2e-" + key + "\0"
                lines += ["[%s%s]" % (LIST, key), '"ProfileImagePath"=hex(2):'
                          + ",".join("%02x" % ord(c) for c in path)]
                lines += ['"CentralProfile"="\\\\\\\\server\\\\profiles"'] if "R" in shape else []
                lines += ['"State"=dword:%08x' % {"T": 0x800, "S": 1}[c] for c in shape if c in "TS"]
        reg_import(lines)
        wine([HIVE, "save", self.key, "Scanner", OLD] + hives)
        for key in keys:
            dat = os.path.join(USERS, "e2e-" + key, "NTUSER.DAT")
            if "L" in PROFILES[key][0]:
                wine([HIVE, "load", key, win_path(dat)])
                self.addCleanup(wine, [HIVE, "unload", key])
            if "H" in PROFILES[key][0]:
                held = hold(dat)
                self.addCleanup(held.communicate)

    def lines(self, keys, column, src):
        ends = {key: PROFILES[key] for key in keys + ["S-1-5-21-0-0-0-1000"]}
        ends.setdefault("Default", NO_DEFAULT)
        text = ""
        for key in sorted(ends, key=lambda k: (k == "Default", k.upper())):
            folder = {"Default": key, "S-1-5-21-0-0-0-1000": getpass.getuser()}.get(key, "e2e-" + key)
            if ends[key][column]:
                text += "%s|C:\\users\\%s|%s\r\n" % (key, folder,
                                                    ends[key][column].format(src=src, **ERRORS))
        return text.encode()

    def report(self):
        """The report's profile lines, and its others by their first field
        (Active Setup, Record)."""
        lines = file_bytes(self.out).split(b"\r\n")[:-1]
        others = {line.split(b"|")[0]: line for line in lines if not line.startswith(b"S-1-")
                  and not line.startswith(b"Default|")}
        return b"".join(line + b"\r\n" for line in lines if line.split(b"|")[0] not in others), \
            others

    def test_every_profile_is_written_or_named(self):
        src = win_path(self.src)
        record = ("Record|" + RECORD + "\\" + PROGRAM_NAME + "|").encode()
        for keys, code in SCENARIOS:
            with self.subTest(keys=keys):
                self.doCleanups()  # the scenario before
                self.new_key()
                self.add_profiles(keys)
                r = self.case.run("-o %s -all -s flat" % win_path(self.out))
                self.assertEqual((r.code, r.messages), (code, []))
                lines, others = self.report()
                self.assertEqual(lines, self.lines(keys, 1, src))
                self.assertEqual(others[b"Record"], record + (
                    b"recorded||%s|" % src.encode() if code == 0
                    else b"none|||left as it was: not every profile was reached"))
                self.assertEqual(read_registry(self.key, "Scanner"), (1, src.encode() + b"\0"))
                self.assertNotIn(b"Corvane.", wine(["reg", "query", "HKU"]), file_bytes(self.out))
                stored = wine(["reg", "query", RECORD + "\\" + PROGRAM_NAME, "/reg:64"])
                self.assertEqual(src.encode() in stored, code == 0)
                r = self.case.run("-o %s -all -g" % win_path(self.out))
                self.assertEqual(r.code, code)
                self.assertEqual(self.report()[0], self.lines(keys, 2, src))
                # Undone: the value of every user reached, and the record.
                r = self.case.run("-o %s -all -u" % win_path(self.out))
                self.assertEqual((r.code, self.report()[1][b"Record"].startswith(
                    record + b"removed|")), (code, code == 0))
                self.assertEqual(read_registry(self.key, "Scanner"), None)

    def test_a_hive_a_killed_run_left_loaded_is_unloaded(self):
        self.add_profiles(["S-1-5-21-9-1001"])
        hive = win_path(os.path.join(USERS, "e2e-S-1-5-21-9-1001", "NTUSER.DAT"))
        wine([HIVE, "load", "Corvane.99999.0", hive])
        self.assertIn(b"Corvane.99999.0", wine(["reg", "query", "HKU"]))
        self.assertEqual(self.case.run("-o %s -all -g" % win_path(self.out)).code, 0)
        self.assertTrue(file_bytes(self.out).startswith(
            b"HKEY_USERS\\Corvane.99999.0||unloaded||left loaded by a run that ended: unloaded|"))
        self.assertNotIn(b"Corvane.", wine(["reg", "query", "HKU"]))

    def test_two_runs_at_once_leave_each_other_alone(self):
        keys = ["S-1-5-21-8-%d" % n for n in range(300)]
        PROFILES.update({key: PROFILES["S-1-5-21-9-1001"] for key in keys})
        self.add_profiles(keys)
        other = Case(self.id() + "-other")
        shutil.copytree(self.case.user_folder, other.user_folder)
        runs = [(case, threading.Thread(target=lambda c=case: setattr(
            c, "result", c.run("-o %s -all -s flat" % win_path(c.root + ".txt")))))
            for case in (self.case, other)]
        for _, thread in runs:
            thread.start()
        for case, thread in runs:
            thread.join()
            self.assertEqual(case.result.code, 0)
            lines = file_bytes(case.root + ".txt").split(b"\r\n")
            self.assertEqual(len([line for line in lines if b"|loaded|C:\\old.ds|" in line]), 300)
        self.assertNotIn(b"Corvane.", wine(["reg", "query", "HKU"]))

    def test_what_is_refused(self):
        cases = [  # arguments, launcher options, exit code, message
            ("-all -g", {"unprivileged": True}, 1, "-all needs administrator rights"),
            ('-s ""', {}, 1, "The scanner name after -s is empty: nothing was set"),
            ('-all -s "  "', {}, 1, "The scanner name after -s is empty: nothing was set"),
            ('-2 -s ""', {}, 1, "The scanner name after -s is empty: nothing was set"),
            # Wine makes the user who runs it the owner of every folder.
            ("-all -atlogon -s flat", {}, 1, "-atlogon: %s would run as every user who signs "
             "in, but accounts other than the administrators may change it or its folder. Copy "
             "it (with its .ini file) to a folder that only administrators may change, such as "
             "C:\\Program Files\\Corvane, and run it from there" % win_path(self.case.exe)),
        ]
        for args, options, code, message in cases:
            with self.subTest(args=args):
                r = self.case.run(args, **options)
                self.assertEqual((r.code, [m[2] for m in r.messages]), (code, [message]))
                self.assertEqual(read_registry(self.key, "Scanner"), None)

    def test_the_sign_in_run_sets_exactly_the_path_and_shows_no_box(self):
        src = win_path(self.src)
        other = win_path(install_source(os.path.join(self.case.root, "ds"), "other.ds"))
        for args, code, stored, logged in [
                ("-logon " + src, 0, src, "-logon: the default is " + src),
                ("-keep -s other", 0, src, None),
                ("-keep -logon " + other, 0, src, "-logon: kept %s, the user's own choice" % src),
                ("-logon C:\\none.ds", 1, src, "-logon: C:\\none.ds is no %s data source that "
                 "is there: the default was not changed" % {"x86": "32-bit", "x64": "64-bit"}[
                     BUILD.name]),
                ("-u", 0, None, None)]:
            with self.subTest(args=args):
                r = self.case.run(args, message_file=False, timeout=60)
                self.assertEqual(r.code, code)
                self.assertEqual(read_registry(self.key, "Scanner"),
                                 stored and (1, stored.encode() + b"\0"))
                self.assertIn((logged or "").encode(), r.log() or b"")

    def test_drivers_run_without_privileges(self):
        install_source(os.path.dirname(self.src), "tokens.ds", privileges="count")
        r = self.case.run("-o %s -l" % win_path(self.out))
        self.assertEqual(r.code, 0)
        self.assertIn(b"=0 privileges\r\n", file_bytes(self.out))

    def test_no_box_where_no_one_sees_it(self):
        # Without a message file, what a box would say goes to the log.
        for args, code, record in (("-all -g", 0, b"[information] " + PROGRAM_NAME.encode()),
                                   ("-all -s nothing", 1, b"Scanner: nothing - not found")):
            r = self.case.run(args, message_file=False, station=True, timeout=60)
            self.assertEqual(r.code, code)
            self.assertIn(record, r.log())
