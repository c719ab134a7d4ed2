"""Hostile input, one row per case: data-source files, settings files, folders,
environments and command lines that a careless or a hostile user can give.

Each row is run with Wine's debugger enabled, so a crash would hold the run
in a crash box until the time bound ends it. The runner checks the exit code,
the last message, a time bound (generous: it only catches hangs) and that
nothing the user had was changed: the settings file, a file the user keeps,
the default source in the registry (after -n and -s), no temporary report
left behind, and a file in the way of one kept.
"""

import os
import random
import re
import resource
import shutil
import signal
import time
import unittest

from harness import (BUILD, FIXTURES, TITLE, Case, WineTestCase, dump_rows, file_bytes,
                     install_program, install_source, left_running, loads, read_registry,
                     run_and_close_box, win_path, wine)

# The harness default without "winedbg.exe=d": a crash would start the debugger.
DEBUGGER = {"WINEDLLOVERRIDES": "mscoree,mshtml="}
KEPT = b"the user's own file\r\n"
TWO = b"1=Flatbed Pro\r\n2=Sheetfeed 2\r\n"
ACCESS_VIOLATION = "0xC0000005"


class Scene:
    """One row's world: two sources, settings naming them, a registry key of its
    own, an output path and a file the user keeps."""

    def __init__(self, case, name):
        self.case = case
        self.ds = os.path.join(case.root, "ds")
        self.out = os.path.join(case.root, "out.txt")
        self.keep = os.path.join(case.root, "keep.txt")
        self.reg_key = "Software\\CorvaneE2E\\hostile\\%s\\%d" % (name, time.time_ns())
        self.run = {}
        self.may_change = set()  # "settings", when the row installs them
        install_source(self.ds, "flatbed.ds", product="Flatbed Pro")
        install_source(os.path.join(self.ds, "vendor"), "sheet.ds", product="Sheetfeed 2")
        with open(self.keep, "wb") as f:
            f.write(KEPT)
        self.settings()

    def settings_text(self, ds_dir=None, extra="", before=""):
        return ("[Settings]\r\n%sds_dir=%s\r\nds_reg_dir=%s\r\nds_reg_name=Default Source\r\n%s"
                % (before, ds_dir if ds_dir is not None else win_path(self.ds), self.reg_key,
                   extra))

    def settings(self, data=None, **kw):
        data = self.settings_text(**kw) if data is None else data
        self.case.write_settings(data.encode("latin-1") if isinstance(data, str) else data)

    def program(self, shipped, folder="program"):
        """A program folder of this row's own, shipping these settings bytes."""
        folder = install_program(os.path.join(self.case.root, folder), with_settings=False)
        with open(os.path.join(folder, BUILD.settings), "wb") as f:
            f.write(shipped.encode("latin-1") if isinstance(shipped, str) else shipped)
        self.case.program = folder
        shutil.rmtree(os.path.join(self.case.appdata, "Halvorquin"))
        self.may_change.add("settings")

    def path(self, *parts):
        return os.path.join(self.case.root, *parts)

    def w(self, *parts):
        return win_path(self.path(*parts))


# Setups: each takes the scene and changes what the row needs.

def crash(where):
    def setup(s):
        s.crasher = install_source(s.ds, "crash.ds", crash=where)
    return setup


def full_disk():
    """Files of the run can grow to 64 KB and no further."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))


def reinstall_on_full_disk(s):
    s.program("[Settings]\r\nds_dir=%s\r\nds_reg_dir=x\r\nds_reg_name=y\r\n\r\n%s"
              % (win_path(s.ds), "; padding\r\n" * 20000))
    s.may_change.discard("settings")
    s.settings()
    s.run["preexec"] = full_disk


def shipped_ctrl_z(s):
    s.shipped = s.settings_text(before="note=ctrl\x1az\r\n")
    s.program(s.shipped)


def user_ctrl_z(s):
    s.settings(before="note=ctrl\x1az\r\n")


def product_ctrl_z(s):
    install_source(s.ds, "flatbed.ds", product="Flat\x1abed Pro")


def line_of(length):
    return lambda s: s.settings(before="note=" + "x" * (length - 5) + "\r\n")


def long_ds_dir(s):
    # A folder whose Windows path has 250 characters: "\\a.ds" still fits the
    # 259 characters Windows loads modules from, "\\vendor\\sheet.ds" does not.
    short = win_path(os.path.join(s.case.root, "d"))
    folder = os.path.join(s.case.root, "d" + "x" * (250 - len(short)))
    install_source(folder, "a.ds", product="A")
    install_source(os.path.join(folder, "vendor"), "sheet.ds")
    s.settings(ds_dir=win_path(folder))


def long_comment(s):
    # Its second 254 characters would read as a setting of their own.
    s.settings(extra="note=%sds_dir=Z:\\nowhere\r\n" % ("y" * 249))


def utf8_mark(s):
    s.settings(b"\xef\xbb\xbf" + s.settings_text().encode())


def utf16(s):
    s.settings(s.settings_text().encode("utf-16"))


def many_keys(s):
    s.settings(extra="".join("key%03d=value\r\n" % i for i in range(120)))


def fifty_sources(s):
    shutil.rmtree(s.ds)
    for i in range(50):
        install_source(s.ds, "s%02d.ds" % i)
    s.template = "%D%" * 10600


def forward_slashes(s):
    s.program(s.settings_text())
    s.run["env"] = {"AppData": win_path(s.case.appdata).replace("\\", "/")}


def empty_appdata(s):
    s.work = s.path("work")
    os.makedirs(s.work)
    s.run.update(env={"AppData": ""}, cwd=s.work)


JAPANESE = "\u65e5\u672c\u8a9e"  # code page 1252 lacks them; Wine keeps the UTF-8 name


def japanese_folders(s):
    # Program, AppData and TEMP all there, the settings not yet installed.
    s.program(s.settings_text(extra="ds_timeout=2\r\n"), JAPANESE)
    s.run.update(env={"AppData": s.w(JAPANESE)}, temp=s.w(JAPANESE))
    install_source(s.ds, "hang.ds", misbehave="wait-entry")


def relative_below_japanese(s):
    # A relative ds_dir, taken from a working folder with such a name.
    os.makedirs(s.path(JAPANESE))
    shutil.move(s.ds, s.path(JAPANESE, "ds"))
    s.settings(ds_dir="ds")
    s.run.update(cwd=s.path(JAPANESE))


def cleared_identity(s):
    # The first candidate fills every byte and is refused; the next one, in the
    # same slot, writes only its strings.
    shutil.rmtree(s.ds)
    install_source(s.ds, "full.ds", fill="all", result=1)
    install_source(os.path.join(s.ds, "sub"), "part.ds", fill="strings", product="Part")


def junk(name, data):
    def setup(s):
        with open(os.path.join(s.ds, name), "wb") as f:
            f.write(data(s))
    return setup


def cut_module(s):
    return file_bytes(os.path.join(FIXTURES, "testds.ds"))[:4096]


def high_bits(s):
    install_source(s.ds, "high.ds", product="High", result=65536)
    install_source(s.ds, "refused.ds", product="Refused", result=65537)


def fill_all(s):
    shutil.rmtree(s.ds)
    s.full = install_source(s.ds, "all.ds", fill="all", manufacturer="M", family="F",
                            product="P", info="I")


def two_hundred(s):
    shutil.rmtree(s.ds)
    s.answering = []
    for i in range(200):
        if i % 4 == 0:
            s.answering.append("s%03d" % i)
            install_source(s.ds, "s%03d.ds" % i)
        else:
            install_source(os.path.join(s.ds, "sub%d" % (i % 3)), "n%03d.ds" % i, result=1)


def ds_dir(value):
    return lambda s: s.settings(ds_dir=value(s))


def ds_file(s):
    return win_path(os.path.join(s.ds, "flatbed.ds"))


def temp(value):
    def setup(s):
        s.run["temp"] = value(s)
    return setup


def no_appdata(s):
    s.run["appdata"] = False


def read_only_appdata(s):
    s.run["env"] = {"AppData": "Z:\\proc"}


def output_folder(s):
    os.makedirs(s.path("folder"))


def leftover_channel(value):
    """The scan's worker's variable left in the environment, naming a pipe."""
    return lambda s: s.run.update(pipes=True, env={"CORVANE_WORKER_CHANNEL": value})


def missing_key(s):
    s.settings("[Settings]\r\nds_dir=%s\r\nds_reg_dir=%s\r\n" % (win_path(s.ds), s.reg_key))


def ten_megabytes(s):
    s.settings(extra=("; " + "p" * 97 + "\r\n") * 104858)


# Checks: extra expectations beyond code, message and the untouched files.

def output(expected):
    def check(t, s, r):
        t.assertEqual(file_bytes(s.out), expected(s) if callable(expected) else expected)
    return check


def untraced(t, s, r):
    t.assertNotIn(b"Cmdline", r.log() or b"")
    output(TWO)(t, s, r)


def one_line_each(t, s, r):
    t.assertEqual(file_bytes(s.out), b"1=X  \x01default: none\r\n2=Sheetfeed 2\r\n")
    # Wine's own drivers of the other kind come between the sources and the default.
    lines = file_bytes(s.path("check.txt")).decode().split("\r\n")
    t.assertEqual(lines[:2] + lines[-2:], [
        "%s: source 1: X\\r\\n\\x01default: none" % s.w("ds", "flatbed.ds"),
        "%s: source 2: Sheetfeed 2" % s.w("ds", "vendor", "sheet.ds"), "default: none", ""])


def no_output(t, s, r):
    t.assertFalse(os.path.exists(s.out))


def no_copy_left(t, s, r):
    t.assertEqual(os.listdir(s.case.user_folder), [BUILD.settings])


def installed_whole(t, s, r):
    t.assertEqual(file_bytes(s.case.user_settings),
                  s.shipped.encode("latin-1"))
    output(TWO)(t, s, r)


def template_output(t, s, r):
    lines = file_bytes(s.out).split(b"\r\n")
    t.assertEqual(lines.pop(), b"")
    expected = [win_path(os.path.join(s.ds, n)).encode() * 10600 for n in os.listdir(s.ds)
                if n.endswith(".ds")]
    t.assertTrue(sorted(lines) == sorted(expected))  # not assertEqual: 50 MB of diff


def settings_at_forward_path(t, s, r):
    t.assertTrue(os.path.isfile(s.case.user_settings))
    output(TWO)(t, s, r)


def nothing_in_working_folder(t, s, r):
    t.assertEqual(os.listdir(s.work), [])


def zeros_except_strings(t, s, r):
    field = lambda text: text.encode().ljust(34, b"\0")
    expected = bytes(54) + field("Test Manufacturer") + field("Test Family") + field("Part")
    lines = re.findall(r"^\d\d:\d\d:\d\d (.*?)\r$", r.log().decode("latin-1"), re.M)
    at = lines.index("TW_IDENTITY : ")
    t.assertEqual(lines[at + 1:at + 11], dump_rows(expected))


def crashed_at(where):
    # Tried twice, each time in a worker of its own; the run goes on.
    def check(t, s, r):
        t.assertEqual(loads(s.crasher), ["load", "call" if where == "entry" else "free"] * 2)
        t.assertNotIn(b"Unhandled", r.stderr)
        output(TWO)(t, s, r)
    return check


def sorted_products(expected):
    def check(t, s, r):
        t.assertEqual(sorted(file_bytes(s.out).decode().split("\r\n")[:-1]), sorted(expected(s)))
    return check


def full_fields(t, s, r):
    fields = [(c * 34) for c in "MFP"]
    t.assertEqual(file_bytes(s.out),
                  ("1|%s|%s|%s|%s\r\n" % (*fields, win_path(s.full))).encode())


def plain_template(t, s, r):
    t.assertEqual(file_bytes(s.out), (s.template + "\r\n").encode() * 2)


def long_lines(t, s, r):
    paths = (s.w("ds", "flatbed.ds"), s.w("ds", "vendor", "sheet.ds"))
    t.assertTrue(file_bytes(s.out) == b"".join(p.encode() * s.refs + b"\r\n" for p in paths))


def template_100k(s):
    s.refs = 102400 // len(s.w("ds", "flatbed.ds")) + 1
    s.template = "%D%" * s.refs


def command_line_32000(s):
    exe = win_path(s.case.exe)
    head = '"%s" -o %s -ll ' % (exe, s.w("out.txt"))
    s.template = "x" * (32000 - len(head))
    s.run["cmdline"] = head + s.template


def cannot_create(folder):
    return lambda s: re.compile("^%s\\d+\\.stdout\\.txt$" % re.escape(
        "Can't create file: %s\\" % folder(s)))


class Row:
    def __init__(self, name, args, code, message=None, setup=None, check=None, bound=60):
        self.name, self.args, self.code = name, args, code
        self.message, self.setup, self.check, self.bound = message, setup, check, bound


R = Row
LIST = "-o {out} -l"
ROWS = [
    # The faults hostile input found, mended.
    R("data source crashing in its entry", LIST, 0, None, crash("entry"), crashed_at("entry")),
    R("data source crashing as it loads", LIST, 0, None, crash("attach"), crashed_at("attach")),
    R("reinstall on a full disk", "-!", 1, lambda s: "Can't write %s" % win_path(
        s.case.user_settings), reinstall_on_full_disk, no_copy_left),
    R("first copy of a shipped file holding Ctrl-Z", LIST, 0, None, shipped_ctrl_z,
      installed_whole),
    R("settings holding Ctrl-Z", LIST, 0, None, user_ctrl_z, output(TWO)),
    R("report box holding Ctrl-Z", "-l", 0,
      ("information", BUILD.program, "1=Flat\x1abed Pro\n2=Sheetfeed 2\n"), product_ctrl_z),
    R("settings line of 254 characters", LIST, 0, None, line_of(254), output(TWO)),
    R("settings line of 508 characters", LIST, 0, None, line_of(508), output(TWO)),
    R("ds_dir of 250 characters", LIST, 0, None, long_ds_dir, output(b"1=A\r\n")),
    R("long line holding another key", LIST, 0, None, long_comment, output(TWO)),
    R("settings with a UTF-8 byte-order mark", LIST, 0, None, utf8_mark, output(TWO)),
    R("settings in UTF-16", LIST, 1, lambda s: "%s is saved as UTF-16 (Unicode): save it as "
      "ANSI or UTF-8" % win_path(s.case.user_settings), utf16, no_output),
    R("settings with 120 more keys", "-o {out} -ll %N%|%P%", 0, None, many_keys,
      output(b"1|Flatbed Pro\r\n2|Sheetfeed 2\r\n")),
    # Seconds at most; a template copied whole at every reference took 42.
    R("template of 31,800 characters over 50 sources", "-o {out} -ll {template}", 0, None,
      fifty_sources, template_output, bound=30),
    R("more than 29 arguments", "-o {out}" + " -l" * 28, 1,
      "Too many arguments (30): at most 29 are taken", None, no_output),
    R("AppData with forward slashes", LIST, 0, None, forward_slashes, settings_at_forward_path),
    R("AppData empty", LIST, 1, "The APPDATA environment variable is missing.", empty_appdata,
      nothing_in_working_folder),
    R("number beyond the int range", "-n 4294967297", 1,
      "Scanner number 4294967297 - not found"),
    R("negative number beyond the int range", "-n -2147483649", 1,
      "Scanner number -2147483649 - not found"),
    R("debug level beyond the int range", "-dbg=99999999999 " + LIST, 0, None, None, untraced),
    R("identity filled in part", "-dbg=1 " + LIST, 0, None, cleared_identity,
      zeros_except_strings),
    R("product name holding CR LF", "-o {out} -l -o {root}\\check.txt -c", 0, None,
      lambda s: install_source(s.ds, "flatbed.ds", product="X\\r\\n\x01default: none"),
      one_line_each),
    R("worker's variable naming a piped standard handle", LIST, 0, None,
      leftover_channel("{stdout}"), output(TWO)),
    R("worker's variable naming the parent and its pipe", LIST, 0, None,
      leftover_channel("{stdin}:{pid}:0123456789ABCDEF0123456789ABCDEF"), output(TWO)),
    R("temporary report's name taken", "-l", 0,
      ("information", BUILD.program, "1=Flatbed Pro\n2=Sheetfeed 2\n"),
      lambda s: s.run.update(occupy=True)),
    # What holds today and must keep holding.
    R("*.ds holding text", LIST, 0, None, junk("text.ds", lambda s: b"not a module\r\n" * 9),
      output(TWO)),
    R("*.ds of random bytes", LIST, 0, None,
      junk("random.ds", lambda s: random.Random(8).randbytes(65536)), output(TWO)),
    R("*.ds empty", LIST, 0, None, junk("empty.ds", lambda s: b""), output(TWO)),
    R("*.ds a cut-off module", LIST, 0, None, junk("cut.ds", cut_module), output(TWO)),
    R("entry results with high bits set", "-o {out} -ll %P%", 0, None, high_bits,
      sorted_products(lambda s: ["Flatbed Pro", "Sheetfeed 2", "High"])),
    R("source filling all 156 bytes", "-o {out} -la", 0, None, fill_all, full_fields),
    R("200 *.ds with 50 answering", "-o {out} -ll %P%", 0, None, two_hundred,
      sorted_products(lambda s: s.answering)),
    R("ds_dir missing", LIST, 0, None, ds_dir(lambda s: s.w("missing")), output(b"")),
    R("ds_dir a file", LIST, 0, None, ds_dir(ds_file), output(b"")),
    R("ds_dir a drive root", LIST, 0, None, ds_dir(lambda s: "C:\\")),
    R("TEMP missing", "-l", 1, cannot_create(lambda s: s.w("none")),
      temp(lambda s: s.w("none"))),
    R("TEMP read-only", "-l", 1, cannot_create(lambda s: "Z:\\proc"), temp(lambda s: "Z:\\proc")),
    R("TEMP unset", LIST, 0, None, temp(lambda s: None), output(TWO)),
    R("AppData read-only", LIST, 1, "Can't create Z:\\proc\\Halvorquin\\%s\\%s"
      % (BUILD.program, BUILD.settings), read_only_appdata, no_output),
    R("program, AppData and TEMP in a folder code page 1252 cannot write", "-l", 0,
      ("information", BUILD.program, "1=Flatbed Pro\n2=Sheetfeed 2\n"), japanese_folders,
      lambda t, s, r: t.assertIn(b"hang.ds: did not answer within 2 s",
                                 file_bytes(os.path.join(s.path(JAPANESE), BUILD.log)))),
    R("relative ds_dir in a working folder code page 1252 cannot write", LIST, 0, None,
      relative_below_japanese, output(TWO)),
    R("AppData a missing folder code page 1252 cannot write", LIST, 1, lambda s: (
      "The folder %s\\??? (AppData) cannot be written in code page 1252 and has no short (8.3) "
      "name: set AppData to a folder whose name code page 1252 can write, or enable short names "
      "on its drive" % s.w("none")),
      lambda s: s.run.update(env={"AppData": s.w("none", JAPANESE)}), no_output),
    R("AppData unset", LIST, 1, "The APPDATA environment variable is missing.", no_appdata,
      no_output),
    R("-o a folder", "-o {root}\\folder -l", 1, "Can't create file: {root}\\folder",
      output_folder),
    R("-o empty", '-o "" -l', 1, "Can't create file: "),
    R("-o in a missing folder", "-o {root}\\missing\\out.txt -l", 1,
      "Can't create file: {root}\\missing\\out.txt"),
    R("-o file kept when the run fails first", "-o {keep} -l", 1,
      "file: {settings} section: Settings - setting 'ds_reg_name' missing", missing_key),
    R("command line of 32,000 characters", "", 0, None, command_line_32000, plain_template),
    R("template of 100 KB per line", "-o {out} -ll {template}", 0, None, template_100k,
      long_lines),
    R("settings file of 10 MB", LIST, 0, None, ten_megabytes, output(TWO)),
]


class Hostile(WineTestCase):
    def test_rows(self):
        for row in ROWS:
            with self.subTest(row.name):
                self.run_row(row)

    def run_row(self, row):
        slug = re.sub(r"\W+", "_", row.name)
        case = Case("%s.%s" % (self.id(), slug))
        s = Scene(case, slug)
        if row.setup:
            row.setup(s)
        before = self.user_state(s)
        kw = dict(s.run)
        values = {"out": win_path(s.out), "keep": win_path(s.keep), "root": s.w(),
                  "settings": win_path(case.user_settings),
                  "template": getattr(s, "template", "")}
        args = row.args.format(**values)
        started = time.monotonic()
        r = case.run(args, wine_extra=DEBUGGER, timeout=row.bound + 10, **kw)
        elapsed = time.monotonic() - started

        self.assertLess(elapsed, row.bound)
        self.assertEqual(r.code, row.code, r)
        expected = row.message(s) if callable(row.message) else row.message
        if expected is None:
            self.assertEqual(r.messages, [])
        elif isinstance(expected, tuple):
            self.assertEqual(r.messages, [expected])
        else:
            self.assertEqual(len(r.messages), 1, r)
            kind, caption, text = r.messages[0]
            self.assertEqual((kind, caption), ("warning", TITLE))
            if isinstance(expected, re.Pattern):
                self.assertRegex(text, expected)
            else:
                self.assertEqual(text, expected.format(**values))
        if row.check:
            row.check(self, s, r)
        self.assertEqual(self.user_state(s), before)
        self.assertEqual([file_bytes(os.path.join(case.temp, n)) for n in os.listdir(case.temp)
                          if n.endswith("stdout.txt")], [b""] if kw.get("occupy") else [])
        if re.search(r"(^| )-[ns] ", args):
            self.assertIsNone(read_registry(s.reg_key, "Default Source"))

    def user_state(self, s):
        settings = s.case.user_settings
        kept = None if "settings" in s.may_change or not os.path.exists(settings) else settings
        return (file_bytes(kept) if kept else None, file_bytes(s.keep))

    def test_crash_shows_no_box_and_never_the_debugger(self):
        s = Scene(self.case, "box")
        crash("entry")(s)
        r, seen = run_and_close_box(self.case, TITLE, "-o %s -l" % win_path(s.out),
                                    message_file=False, wine_extra=DEBUGGER)
        self.assertFalse(seen)
        self.assertEqual(r.code, 0)
        self.assertEqual(file_bytes(s.out), TWO)


CRASHED = "crashed (exception %s)" % ACCESS_VIOLATION
ENDED = "ended the process (exit code 0)"
LATE = "did not answer within 2 s"
DAMAGED = "sent a damaged answer"
CLOSED = "closed the worker's channel"
THREAD = "left 1 thread running"
# Drivers misbehaving as real ones do, one beside the good two: what the check
# and the log say of it (None: it answered and is listed; THREAD: listed, and
# its worker retired), and how many workers it was tried in (a crash or a
# process end is asked once more, with the origin). A hung one is tried once,
# also when it comes after another source in its worker.
DRIVERS = [
    ({"crash": "entry"}, CRASHED, 2),
    ({"crash": "attach"}, CRASHED, 2),
    ({"misbehave": "own-filter"}, CRASHED, 2),
    ({"misbehave": "wait-attach"}, LATE, 1),
    ({"misbehave": "wait-entry"}, LATE, 1),
    ({"misbehave": "exit-attach"}, ENDED, 2),
    ({"misbehave": "exit-entry"}, ENDED, 2),
    ({"misbehave": "handled-attach"},
     "not loaded: DLL initialization failed. (error 1114); its start-up code refused to load", 1),
    ({"misbehave": "thread"}, THREAD, 1),
    ({"misbehave": "overrun"}, None, 1),
    # What a source writes into the worker's channel, or closes of it, never
    # passes for an answer; a well-formed answer a worker never gives neither.
    ({"misbehave": "write-pipes"}, DAMAGED, 1),
    ({"misbehave": "close-handles"}, CLOSED, 1),
    ({"forge": "4"}, DAMAGED, 1),
    ({"forge": "99"}, DAMAGED, 1),
]


class MisbehavingDrivers(WineTestCase):
    def test_the_others_are_listed_and_the_culprit_named(self):
        rows = [(row, "bad.ds") for row in DRIVERS] + [
            (row, "zbad.ds") for row in DRIVERS if row[1] == LATE]  # after flatbed.ds
        for (behaviour, words, tries), name in rows:
            with self.subTest(name=name, **behaviour):
                case = Case("%s.%s.%s" % (self.id(), name, "_".join(behaviour.values())))
                s = Scene(case, "drivers")
                s.settings(extra="ds_timeout=2\r\n")
                bad = install_source(s.ds, name, product="Bad", **behaviour)
                wine(["reg", "add", "HKCU\\" + s.reg_key, "/v", "Default Source", "/d",
                      win_path(bad), "/f"])
                check = s.path("check.txt")
                started = time.monotonic()
                r = case.run("-o %s -ll %%P%% -o %s -c" % (win_path(s.out), win_path(check)),
                             wine_extra=DEBUGGER, timeout=70)
                self.assertLess(time.monotonic() - started, 60)
                self.assertEqual((r.code, r.messages), (0, []))
                listed = file_bytes(s.out).decode()
                lines = file_bytes(check).decode().split("\r\n")
                logged = re.findall(r"^\d\d:\d\d:\d\d (.*?)\r$", (r.log() or b"").decode(), re.M)
                left_out = words in (CRASHED, ENDED, LATE, DAMAGED, CLOSED)
                noted = left_out or words == THREAD
                self.assertEqual(logged, ["%s: %s" % (win_path(bad), words)] if noted else [])
                line = "%s: %s" % (win_path(bad), words)
                if words in (None, THREAD):
                    # Listed; a thread it leaves takes down only its own worker.
                    names = listed.split("\r\n")
                    self.assertEqual(sorted(names), ["", "Bad", "Flatbed Pro", "Sheetfeed 2"])
                    line = "%s: source %d: Bad%s" % (win_path(bad), names.index("Bad") + 1,
                                                     " (%s)" % words if words else "")
                else:
                    self.assertEqual(listed, "Flatbed Pro\r\nSheetfeed 2\r\n")
                self.assertIn(line, lines)
                if left_out:
                    self.assertEqual(lines[-2], "default: %s - left out of the listing: %s"
                                     % (win_path(bad), words))
                self.assertEqual(loads(bad).count("load"), tries)
                self.assertEqual(left_running(case), [])

    def test_no_worker_outlives_the_program_ended_while_sources_hang(self):
        for joined in (True, False):
            with self.subTest(joined=joined):
                case = Case("%s.%s" % (self.id(), joined))
                s = Scene(case, "ended")
                # Two vendors' folders, two workers, both hung at once: none is
                # being started when it ends (one whose start the end cuts short
                # never runs a line of its own).
                s.settings(extra="ds_workers=2\r\n")
                hung = [install_source(os.path.join(s.ds, v), v + ".ds", misbehave="wait-entry")
                        for v in ("a", "b")]
                r = case.run("-dbg=1 -o %s -l" % win_path(s.out), no_job=not joined,
                             end_when=[h + ".loads" for h in hung])
                self.assertEqual((r.code, [loads(h)[:1] for h in hung]), (99, [["load"]] * 2))
                self.assertEqual(left_running(case, within=10), [])
                could_not = re.findall(rb"worker \d could not join %s's job: it ends itself when "
                                       rb"%s ends" % ((BUILD.program.encode(),) * 2), r.log())
                self.assertEqual(len(could_not) > 0, not joined)


if __name__ == "__main__":
    unittest.main()
