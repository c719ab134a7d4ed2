"""Runs the real Corvane.exe or Corvane64.exe under Wine for the end-to-end tests.

The test run makes one 64-bit Wine prefix for itself (`harness.py setup`, a
CTest fixture), installs both builds in one program folder, and ends its
wineserver at the end (`harness.py cleanup`). Each case gets a folder of its
own holding its AppData, TEMP and message file, and starts the program through
the project's launcher, which sets the environment and hands the child an exact
command line (Wine would otherwise re-quote arguments and take AppData and TEMP
from its own profile).

Every suite runs once per build: CORVANE_E2E_BUILD ("x86", the default, or
"x64") picks the build under test, `BUILD`; `OTHER` is the other one. What the
builds differ in is a `Build`'s attributes, so a suite written against `BUILD`
tests both; `only_for("x64")` marks a test that makes sense for one build only.
"""

import os
import re
import shutil
import subprocess
import sys
import threading
import time
import unittest

STATE = os.path.abspath(os.environ.get("CORVANE_E2E_STATE") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "native", "e2e"))
PREFIX = os.path.join(STATE, "prefix")
PROGRAM = os.path.join(STATE, "program")
CASES = os.path.join(STATE, "cases")
WINDOWS_C = os.path.join(PREFIX, "drive_c", "windows")
# Wine's ANSI code page follows the Unix locale (setup() makes the Japanese one).
CP932 = {"LOCPATH": STATE, "LC_ALL": "ja_JP.UTF-8"}
GERMAN = {"LOCPATH": STATE, "LC_ALL": "de_DE.UTF-8"}  # its numbers have a decimal comma
CP1252 = {"LC_ALL": "C.UTF-8"}


class Build:
    """One build of the program as a test sees it."""

    def __init__(self, name, preset, program, twain, registry, manager, manager_file):
        self.name = name
        folder = os.environ.get("CORVANE_%s_DIR" % preset.upper()) or os.path.join(
            os.path.dirname(__file__), "..", "..", "build", preset)
        self.windows_dir = os.path.abspath(folder)  # the build folder of its preset
        self.fixtures = os.path.join(self.windows_dir, "fixtures")
        self.program = program  # the program name: captions, log, settings
        self.exe = program + ".exe"
        self.settings = program + ".ini"
        self.log = program + ".log"
        self.title = program + " Ver 1.13"
        self.twain = "C:\\Windows\\" + twain  # its data sources' folder
        self.twain_host = os.path.join(WINDOWS_C, twain)
        # The registry key of the default source that its shipped settings name.
        self.registry = "Software\\Microsoft\\Windows NT\\CurrentVersion\\" + registry
        self.manager = manager  # the host path of its Source Manager in the prefix
        self.manager_file = manager_file  # the test Source Manager's name in fixtures
        self.dll_override = manager_file.split(".")[0].lower() + "=n"

    def __repr__(self):
        return self.name


BUILDS = {
    "x86": Build("x86", "windows", "Corvane", "twain_32", "TWAIN",
                 os.path.join(WINDOWS_C, "twain_32.dll"), "TWAIN_32.DLL"),
    "x64": Build("x64", "windows64", "Corvane64", "twain_64", "TWAIN64",
                 os.path.join(WINDOWS_C, "system32", "TWAINDSM.DLL"), "TWAINDSM.DLL"),
}
BUILD = BUILDS[os.environ.get("CORVANE_E2E_BUILD") or "x86"]
OTHER = BUILDS["x64" if BUILD.name == "x86" else "x86"]
WINDOWS_DIR = BUILD.windows_dir
FIXTURES = BUILD.fixtures
PROGRAM_NAME = BUILD.program


def only_for(name):
    """Skips a test, or a class of them, for the other build."""
    return unittest.skipUnless(BUILD.name == name, "%s build only" % name)


def wine_env(extra=None, display=True):
    env = dict(os.environ)
    env["WINEPREFIX"] = PREFIX
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winedbg.exe=d"
    env.pop("WINEARCH", None)
    if not display:
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
    if extra:
        env.update(extra)
    return env


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def win_path(path):
    """The Windows name of a Unix path, through Wine's Z: drive."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def setup():
    """Makes a fresh prefix for this test run and a program folder."""
    shutil.rmtree(STATE, ignore_errors=True)
    os.makedirs(STATE)
    with open(os.path.join(STATE, "wineboot.log"), "wb") as log:
        subprocess.run(["wineboot", "-i"], env=wine_env(), stdin=subprocess.DEVNULL,
                       stdout=log, stderr=log, check=True, timeout=300)
        # A persistent server keeps later runs fast until cleanup ends it: with
        # none, a run that comes after a pause starts Wine's services afresh,
        # seconds on a busy machine. The server wineboot started is not one;
        # asked to persist while it still runs, it does not, so it is waited out.
        for args in (["-w"], ["-p"]):
            subprocess.run(["wineserver"] + args, env=wine_env(), stdin=subprocess.DEVNULL,
                           stdout=log, stderr=log, timeout=60)
    for build in BUILDS.values():
        if os.path.exists(os.path.join(build.windows_dir, build.exe)):
            install_program(PROGRAM, build=build)
    for locale in (CP932, GERMAN):
        subprocess.run(["localedef", "-i", locale["LC_ALL"][:5], "-f", "UTF-8",
                        os.path.join(STATE, locale["LC_ALL"])], check=True, timeout=120)


def cleanup():
    if os.path.isdir(PREFIX):
        subprocess.run(["wineserver", "-k"], env=wine_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


def ensure_prefix():
    if not os.path.isdir(os.path.join(PREFIX, "drive_c")):
        setup()


def install_program(folder, with_settings=True, build=BUILD):
    os.makedirs(folder, exist_ok=True)
    shutil.copy(os.path.join(build.windows_dir, build.exe), folder)
    if with_settings:
        shutil.copy(os.path.join(build.windows_dir, build.settings), folder)
    return folder


class Result:
    def __init__(self, code, messages, stdout, stderr, case, build):
        self.code = code
        self.messages = messages
        self.stdout = stdout
        self.stderr = stderr
        self.case = case
        self.build = build

    def log(self):
        """The debug log's bytes, or None when the run wrote none."""
        path = os.path.join(self.case.temp, self.build.log)
        return file_bytes(path) if os.path.exists(path) else None

    def __repr__(self):
        return "Result(code=%r, messages=%r)" % (self.code, self.messages)


RECORD = re.compile(rb"\[(information|warning)\] ([^\r\n]*)\r\n(.*?)\r\n\[end\]\r\n", re.S)


def parse_messages(data):
    """The message records as (kind, caption, text) with line ends as LF."""
    records = []
    pos = 0
    for m in RECORD.finditer(data):
        if m.start() != pos:
            raise AssertionError("stray bytes in message file: %r" % data[pos:m.start()])
        pos = m.end()
        text = m.group(3).replace(b"\r\n", b"\n").decode("latin-1")
        records.append((m.group(1).decode(), m.group(2).decode("latin-1"), text))
    if pos != len(data):
        raise AssertionError("stray bytes in message file: %r" % data[pos:])
    return records


class Case:
    """One test's own folders: AppData, TEMP and the message file."""

    def __init__(self, name, build=BUILD):
        ensure_prefix()
        self.build = build
        self.root = os.path.join(CASES, build.name, re.sub(r"[^A-Za-z0-9_.-]", "_", name))
        shutil.rmtree(self.root, ignore_errors=True)
        self.appdata = os.path.join(self.root, "appdata")
        self.temp = os.path.join(self.root, "temp")
        self.messages = os.path.join(self.root, "messages.txt")
        os.makedirs(self.appdata)
        os.makedirs(self.temp)
        self.program = PROGRAM

    @property
    def user_folder(self):
        return os.path.join(self.appdata, "Halvorquin", self.build.program)

    @property
    def user_settings(self):
        return os.path.join(self.user_folder, self.build.settings)

    @property
    def exe(self):
        return os.path.join(self.program, self.build.exe)

    def write_settings(self, text):
        os.makedirs(self.user_folder, exist_ok=True)
        with open(self.user_settings, "wb") as f:
            f.write(text.encode("latin-1") if isinstance(text, str) else text)

    def run(self, args="", cmdline=None, env=None, unset=(), appdata=True, temp=True,
            message_file=True, display=True, wine_extra=None, cwd=None, timeout=120,
            build=None, preexec=None, occupy=False, pipes=False, station=False,
            no_job=False, end_when=None, unprivileged=False):
        """Runs the case's build (or `build`) with the argument text `args` after
        the quoted program path, or with the exact command line `cmdline`;
        `preexec` runs in the child before Wine starts (to set resource limits, say);
        `occupy` puts an empty file where its first temporary report would go;
        `pipes` gives it pipes as standard handles, named in `env` values as
        {stdin}, {stdout} and {stderr}, with {pid} for its parent's id;
        `station` runs it in a window station that no user sees; `no_job` makes its
        AssignProcessToJobObject fail; `end_when` (a path, or a list) has it ended,
        with exit code 99, once every such file holds something; `unprivileged`
        starts it without the backup and restore privileges."""
        build = build or self.build
        exe = win_path(os.path.join(self.program, build.exe))
        if cmdline is None:
            cmdline = '"%s"%s' % (exe, (" " + args) if args else "")
        lines = ["pipes"] if pipes else []
        if appdata:
            lines.append("set AppData=" + win_path(self.appdata))
        else:
            lines.append("unset AppData")
        if temp is True:
            lines.append("set TEMP=" + win_path(self.temp))
        elif temp is None:
            lines.append("unset TEMP")
        else:
            lines.append("set TEMP=" + temp)
        if message_file:
            if os.path.exists(self.messages):
                os.remove(self.messages)
            lines.append("set CORVANE_MESSAGE_FILE=" + win_path(self.messages))
        else:
            lines.append("unset CORVANE_MESSAGE_FILE")
        for name in unset:
            lines.append("unset " + name)
        for name, value in (env or {}).items():
            lines.append("set %s=%s" % (name, value))
        lines.append("app " + exe)
        lines.append("cmdline " + cmdline)
        if cwd:
            lines.append("cwd " + win_path(cwd))
        if occupy:
            lines.append("occupy")
        if station:
            lines.append("station")
        if no_job:
            lines.append("nojob")
        if unprivileged:
            lines.append("unprivileged")
        for path in [end_when] if isinstance(end_when, str) else end_when or []:
            lines.append("end-when " + win_path(path))
        job = os.path.join(self.root, "job.txt")
        text = "\r\n".join(lines) + "\r\n"
        wide = max(map(ord, text)) > 255  # a name in another script: wide calls
        with open(job, "wb") as f:
            f.write(("utf8\r\n" + text).encode() if wide else text.encode("latin-1"))
        out_path = os.path.join(self.root, "stdout.txt")
        err_path = os.path.join(self.root, "stderr.txt")
        # Output goes to files: Wine's helper processes may keep pipes open. Under
        # load Wine now and then fails a process start (error 1359) before the
        # program runs at all: such a launch is made again.
        for attempt in range(3):
            with open(out_path, "wb") as out, open(err_path, "wb") as err:
                proc = subprocess.run(
                    ["wine", os.path.join(FIXTURES, "launcher.exe"), win_path(job)],
                    env=wine_env(wine_extra, display), stdin=subprocess.DEVNULL,
                    stdout=out, stderr=err, timeout=timeout, preexec_fn=preexec)
            stdout = file_bytes(out_path)
            stderr = file_bytes(err_path)
            if proc.returncode != 250 or b"error 1359" not in stderr:
                break
        messages = []
        if message_file and os.path.exists(self.messages):
            messages = parse_messages(file_bytes(self.messages))
        return Result(proc.returncode, messages, stdout, stderr, self, build)


def run_and_close_box(case, title, args="", **kw):
    """Runs the program while watching the display for a real window with this
    title; presses Enter in it once it is up. Returns the result and whether the
    box appeared (the run itself must then have waited for it)."""
    outcome = {}
    runner = threading.Thread(target=lambda: outcome.update(result=case.run(args, **kw)))
    runner.start()
    seen = False
    deadline = time.time() + 30
    while runner.is_alive() and time.time() < deadline:
        found = subprocess.run(["xdotool", "search", "--name", "^%s$" % re.escape(title)],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.split()
        if found:
            seen = True
            time.sleep(0.3)
            subprocess.run(["xdotool", "key", "--window", found[0], "Return"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            break
        time.sleep(0.2)
    runner.join(60)
    return outcome.get("result"), seen


def wine(args, extra=None, timeout=120):
    """Runs a Wine command in the test prefix and returns its standard output."""
    out = subprocess.run(["wine"] + args, env=wine_env(extra), stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)
    return out.stdout


def read_registry(key, value):
    """A current-user registry value as (type, bytes), or None when missing."""
    out = os.path.join(STATE, "regread-%d.txt" % os.getpid())
    with open(out, "wb") as f:
        subprocess.run(["wine", os.path.join(FIXTURES, "regread.exe"), key, value],
                       env=wine_env(), stdin=subprocess.DEVNULL, stdout=f,
                       stderr=subprocess.DEVNULL, timeout=120)
    line = file_bytes(out).decode().strip()
    m = re.match(r"type=(\d+) size=(\d+) data=([0-9A-F]*)$", line)
    if not m:
        return None
    return int(m.group(1)), bytes.fromhex(m.group(3))


def install_source(folder, name, variant="testds", build=BUILD, **behaviour):
    """Copies a test data source of the build (or another fixture, the variant
    named with its extension) into folder as `name`; keyword arguments
    (manufacturer, family, product, info, result, fill) go to its behaviour file."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    shutil.copy(os.path.join(build.fixtures, variant + ("" if "." in variant else ".ds")), path)
    if behaviour:
        with open(path + ".txt", "wb") as f:
            for key, value in behaviour.items():
                f.write(("%s=%s\r\n" % (key, value)).encode("latin-1"))
    return path


def left_running(case, within=0):
    """The program's processes still running (a build's suites run one at a time),
    once none is left or `within` seconds have passed."""
    deadline = time.monotonic() + within
    while True:
        ps = subprocess.run(["ps", "-eo", "args"], stdout=subprocess.PIPE).stdout.decode()
        running = [line for line in ps.splitlines() if line.startswith(win_path(case.exe))]
        if not running or time.monotonic() >= deadline:
            return running
        time.sleep(0.2)


def loads(path):
    """What a test data source recorded: its loads and calls, in order."""
    try:
        with open(path + ".loads", "rb") as f:
            return f.read().decode().split()
    except FileNotFoundError:
        return []


class SourceManager:
    """Puts a module in place of the build's Source Manager (C:\\windows\\TWAIN_32.DLL
    or C:\\windows\\system32\\TWAINDSM.DLL), or removes it, for one test and puts
    back what was there (Wine's own TWAIN_32.DLL, or nothing). Runs with the
    module need `env` and `wine_extra` from here so Wine loads the native file."""

    def __init__(self, case, module=None, absent=False):
        self.case = case
        self.path = case.build.manager
        self.module = module or case.build.manager_file
        self.absent = absent
        self.scenario = os.path.join(case.root, "scenario.txt")
        self.calls_path = os.path.join(case.root, "dsm-calls.txt")
        self.wine_extra = {"WINEDLLOVERRIDES": "mscoree,mshtml=;winedbg.exe=d;"
                           + case.build.dll_override}

    def __enter__(self):
        self.saved = self.path + ".saved"
        if os.path.exists(self.path):
            if not os.path.exists(self.saved):
                shutil.copy(self.path, self.saved)
            os.remove(self.path)
        if not self.absent:
            shutil.copy(os.path.join(self.case.build.fixtures, self.module), self.path)
        return self

    def __exit__(self, *exc):
        if os.path.exists(self.path):
            os.remove(self.path)
        if os.path.exists(self.saved):
            shutil.copy(self.saved, self.path)

    def write_scenario(self, sources=(), default=None, opendsm=None, set=None, status=None):
        """sources: product names, or (manufacturer, family, product) triples."""
        lines = []
        for s in sources:
            lines.append("source=" + ("|".join(s) if isinstance(s, tuple) else "||" + s))
        for key, value in (("default", default), ("opendsm", opendsm), ("set", set),
                           ("status", status)):
            if value is not None:
                lines.append("%s=%d" % (key, value))
        with open(self.scenario, "wb") as f:
            f.write(("\r\n".join(lines) + "\r\n").encode("latin-1"))

    @property
    def env(self):
        return {"TESTDSM_SCENARIO": win_path(self.scenario),
                "TESTDSM_LOG": win_path(self.calls_path)}

    def calls(self):
        """The logged calls as dicts: DG, DAT, MSG, RC and the optional fields."""
        try:
            with open(self.calls_path, "rb") as f:
                data = f.read().decode("latin-1")
        except FileNotFoundError:
            return []
        out = []
        for line in data.split("\r\n"):
            if not line:
                continue
            m = CALL.match(line)
            if not m:
                raise AssertionError("unparsed call line: %r" % line)
            call = {k: v for k, v in m.groupdict().items() if v is not None}
            for key in ("DG", "DAT", "MSG", "RC", "ID"):
                if key in call:
                    call[key] = int(call[key], 0)
            if "BYTES" in call:
                call["BYTES"] = bytes.fromhex(call["BYTES"])
            out.append(call)
        return out


CALL = re.compile(r"DG=(?P<DG>\d+) DAT=(?P<DAT>0x[0-9A-F]{4}) MSG=(?P<MSG>0x[0-9A-F]{4}) "
                  r"RC=(?P<RC>\d+)(?: ID=(?P<ID>\d+) PRODUCT=(?P<PRODUCT>.*?) "
                  r"BYTES=(?P<BYTES>[0-9A-F]{312}))?(?: HWND=(?P<HWND>\S+))? ORIGIN=(?P<ORIGIN>.*)$")


def dump_rows(data):
    """The rows the debug log's hex dump shows for these bytes: 16 per row, the
    hex column padded to 48 characters, then the bytes as text."""
    rows = []
    for start in range(0, len(data), 16):
        chunk = data[start:start + 16]
        hex_column = "".join("%02X " % b for b in chunk).ljust(48)
        text = "".join(chr(b & 0x7F) if 32 <= (b & 0x7F) <= 126 else "." for b in chunk)
        rows.append(hex_column + text)
    return rows


def date_header():
    """The three lines that precede a run's first line in the debug log, today."""
    return ("*\r\n* %s\r\n*\r\n" % time.strftime("%a %d %b %Y")).encode()


TITLE = BUILD.title


class WineTestCase(unittest.TestCase):
    """Base of the end-to-end suites: a fresh Case per test."""

    def setUp(self):
        self.case = Case(self.id())

    def assertOnlyMessage(self, result, kind, caption, text):
        self.assertEqual(result.messages, [(kind, caption, text)])

    def assertFatal(self, result, text):
        self.assertEqual(result.code, 1, result)
        self.assertEqual(result.messages[-1], ("warning", TITLE, text))


if __name__ == "__main__":
    {"setup": setup, "cleanup": cleanup}[sys.argv[1]]()
