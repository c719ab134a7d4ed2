"""The benchmark behind scripts/bench: times Corvane's listings under Wine.

For each build (Corvane.exe; Corvane64.exe when it has been built) it runs, in
rounds, each command once per round in alternating order, so that a figure
compared with another was taken under the same load of the machine:

  listing     Corvane.exe -o out.txt -l over 50 test data sources in the
              Windows folder's TWAIN folder (twain_32 or twain_64), against
              the TWAIN Working Group's Source Manager 2.4.3 listing the same
              files (Corvane.exe -2 -l with dsm_path naming it; where
              ../shared/peer-dsm holds it) and against the bare loader
              (fixtures/bareloader.exe) doing only the unavoidable work on
              them; the ratios are taken per round. Targets: 0.8 of the
              Source Manager or less, and 1.25 of the bare loader as a guard
              (the data sources are loaded in a worker process, a second
              start of the program, where the bare loader starts one)
  start-up    the same over an empty folder, against the bare loader there
              (target 1.5 or less; the worker started at once is closed unused)
  spread      the listing of the same 50 sources spread over 10 vendors'
              folders (each asked in workers of its own), against the same
              in one folder (target 1.5 or less), the bare loader and the
              Source Manager 2.4.3 on the same files
  slow        the same over 12 test data sources that each take 300 ms to
              load (as real drivers do), against the bare loader and the
              Source Manager on the same files (target 0.45 of the bare
              loader or less: slow sources are asked side by side in several
              workers); a fifth of the rounds, at least 5
  deep        the listing with ds_depth=4 over a tree of empty folders 4
              levels deep (6 in each, 1554 in all) that holds one test data
              source at the bottom, against the Source Manager 2.4.3, which
              searches every level, listing the same tree (target 1.0 or less)
  manager     Corvane.exe -o out.txt -2 -l through the test Source Manager
              answering 50 sources
  profiles    Corvane.exe -o out.txt -all -s over 200 user profiles added to
              the prefix's profile list, each with a hive file that is loaded,
              written and unloaded (no target: the figure per profile); each
              run must leave no hive loaded and log one line per profile; a
              fifth of the rounds, at least 5

Every figure is the median of the rounds with the minimum and the maximum.
It also gives each executable's size (target 300 KiB or less) and the peak
memory of a listing (largest resident set of the Wine process, which holds
Wine's own libraries too), with the bare loader's beside it.

Usage: python3 scripts/bench.py [--rounds N]   (run through scripts/bench)
"""

import argparse
import getpass
import os
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
STATE = os.path.join(ROOT, "build", "bench")
PREFIX = os.path.join(STATE, "prefix")
SOURCES = 50
SIZE_TARGET_KIB = 300
PEER_TARGET = 0.8
RATIO_TARGET = 1.25
EMPTY_TARGET = 1.5
SLOW_SOURCES = 12
SLOW_MS = 300
SLOW_TARGET = 0.45
SPREAD_FOLDERS = 10
SPREAD_TARGET = 1.5
PROFILES = 200
PROFILE_LIST = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList"
DEEP_FOLDERS = 6  # in each folder of the deep tree
DEEP_LEVELS = 4
DEEP_TARGET = 1.0

# name, build folder, test Source Manager file, its folder below drive_c, the
# TWAIN folder the Source Manager 2.4.3 searches, its file in ../shared
BUILDS = [
    ("Corvane.exe", "windows", "TWAIN_32.DLL", "windows", "twain_32", "32"),
    ("Corvane64.exe", "windows64", "TWAINDSM.DLL", os.path.join("windows", "system32"),
     "twain_64", "64"),
]
PEER = os.path.join(ROOT, "..", "shared", "peer-dsm")
PEER_LIMIT = 49  # the most sources the Source Manager 2.4.3 lists (and loads)


def win_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_env(dll_overrides=""):
    env = dict(os.environ)
    env.update(WINEPREFIX=PREFIX, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d" + dll_overrides)
    env.pop("WINEARCH", None)
    return env


def run(argv, env):
    """Runs one Wine command; returns (seconds, exit code)."""
    start = time.perf_counter()
    code = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode
    return time.perf_counter() - start, code


def peak_memory(argv, env):
    """The largest resident set in KiB of a run, measured by GNU time: a child
    of this Python process would start from Python's own resident set."""
    report = os.path.join(STATE, "peak.txt")
    run(["/usr/bin/time", "-f", "%M", "-o", report] + argv, env)
    with open(report) as f:
        return int(f.read().split()[-1])


def prepare_prefix():
    if not os.path.isdir(os.path.join(PREFIX, "drive_c")):
        print("Making the benchmark's Wine prefix in %s ..." % PREFIX, flush=True)
        os.makedirs(STATE, exist_ok=True)
        subprocess.run(["wineboot", "-i"], env=wine_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True,
                       timeout=600)
    # A persistent server, ended at the end, keeps the start of each run alike.
    subprocess.run(["wineserver", "-p"], env=wine_env(), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


class Build:
    """One executable with its program folder, data sources and commands."""

    def __init__(self, exe, folder, manager, manager_dir, twain, peer):
        self.exe = exe
        self.name = exe[:-4]
        self.built = os.path.join(ROOT, "build", folder)
        self.fixtures = os.path.join(self.built, "fixtures")
        self.manager = manager
        self.manager_dir = manager_dir
        self.state = os.path.join(STATE, self.name)
        self.twain = os.path.join(PREFIX, "drive_c", "windows", twain)
        self.peer = os.path.join(PEER, peer, "TWAINDSM.dll")
        if not os.path.exists(self.peer):
            self.peer = None

    def present(self):
        return os.path.exists(os.path.join(self.built, self.exe))

    def prepare(self):
        shutil.rmtree(self.state, ignore_errors=True)
        self.program = os.path.join(self.state, "program")
        self.sources = os.path.join(self.state, "sources")
        self.empty = os.path.join(self.state, "empty")
        self.slow = os.path.join(self.state, "slow")
        self.spread = os.path.join(self.state, "spread")
        self.deep = os.path.join(self.state, "deep")
        self.temp = os.path.join(self.state, "temp")
        for folder in (self.program, self.sources, self.empty, self.slow, self.temp):
            os.makedirs(folder)
        for i in range(1, SPREAD_FOLDERS + 1):
            os.makedirs(os.path.join(self.spread, "vendor%02d" % i))
        shutil.copy(os.path.join(self.built, self.exe), self.program)
        for i in range(1, SOURCES + 1):
            shutil.copy(os.path.join(self.fixtures, "testds.ds"),
                        os.path.join(self.sources, "source%02d.ds" % i))
            shutil.copy(os.path.join(self.fixtures, "testds.ds"),
                        os.path.join(self.spread, "vendor%02d" % ((i - 1) % SPREAD_FOLDERS + 1),
                                     "source%02d.ds" % i))
        folders = [self.deep]
        for _ in range(DEEP_LEVELS):
            folders = [os.path.join(f, "level%d" % i) for f in folders
                       for i in range(1, DEEP_FOLDERS + 1)]
        for folder in folders:
            os.makedirs(folder)
        shutil.copy(os.path.join(self.fixtures, "testds.ds"), os.path.join(folders[0], "deep.ds"))
        for i in range(1, SLOW_SOURCES + 1):
            path = os.path.join(self.slow, "slow%02d.ds" % i)
            shutil.copy(os.path.join(self.fixtures, "testds.ds"), path)
            with open(path + ".txt", "wb") as f:
                f.write(b"sleep=%d\r\n" % SLOW_MS)
        self.scenario = os.path.join(self.state, "scenario.txt")
        with open(self.scenario, "wb") as f:
            f.write(b"".join(b"source=Bench|Family|Source %02d\r\n" % i
                             for i in range(1, SOURCES + 1)))
        shutil.copy(os.path.join(self.fixtures, self.manager),
                    os.path.join(PREFIX, "drive_c", self.manager_dir, self.manager.lower()))
        self.out = os.path.join(self.state, "out.txt")
        self.env = wine_env(";%s=n" % self.manager[:-4].lower())
        self.env.update(TEMP=win_path(self.temp), TMP=win_path(self.temp),
                        CORVANE_MESSAGE_FILE=win_path(os.path.join(self.state, "messages.txt")),
                        TESTDSM_SCENARIO=win_path(self.scenario))
        self.env.pop("TESTDSM_LOG", None)

    def install_settings(self, ds_dir, peer=False, depth=1):
        """Makes ds_dir the user's catalogue folder, searched depth levels down
        (the shipped file, put in place with -!), and with peer the Source
        Manager 2.4.3 that of -2."""
        with open(os.path.join(self.program, self.name + ".ini"), "wb") as f:
            f.write(("[Settings]\r\nds_dir=%s\r\nds_reg_dir=Software\\Halvorquin\\Bench\r\n"
                     "ds_reg_name=Default Source\r\nds_depth=%d\r\n%s" % (
                         win_path(ds_dir), depth,
                         "dsm_path=%s\r\n" % win_path(self.peer) if peer else "")).encode())
        self.check(self.corvane("-!"), None)

    def place(self, folder):
        """Makes the TWAIN folder, where the Source Manager 2.4.3 looks, hold
        exactly the data sources of folder; returns that TWAIN folder."""
        shutil.rmtree(self.twain, ignore_errors=True)
        shutil.copytree(folder, self.twain)
        return self.twain

    def corvane(self, args):
        return ["wine", os.path.join(self.program, self.exe)] + args.split()

    def listing(self, *extra):
        return self.corvane("-o %s %s -l" % (win_path(self.out), " ".join(extra)))

    def bare(self, folder):
        return ["wine", os.path.join(self.fixtures, "bareloader.exe"), win_path(folder),
                win_path(self.out)]

    def check(self, argv, lines):
        """Runs argv once; stops the benchmark when it fails or lists wrongly."""
        if os.path.exists(self.out):
            os.remove(self.out)
        _, code = run(argv, self.env)
        got = None
        if os.path.exists(self.out):
            with open(self.out, "rb") as f:
                got = f.read().count(b"\n")
        if code != 0 or (lines is not None and got != lines):
            sys.exit("bench: %s gave exit code %d and %s lines, expected %s" %
                     (" ".join(argv), code, got, lines))


def figure(values, unit="ms", scale=1000.0, digits=0):
    v = [x * scale for x in values]
    f = "%%.%df" % digits
    return ("median " + f + " %s (min " + f + ", max " + f + ")") % (
        statistics.median(v), unit, min(v), max(v))


def rounds(commands, count, env):
    """Times each command once a round, alternating the order; two warm-up
    rounds are not counted. Returns the times per command."""
    times = [[] for _ in commands]
    for r in range(count + 2):
        order = list(range(len(commands)))
        if r % 2:
            order.reverse()
        for i in order:
            seconds, code = run(commands[i], env)
            if code != 0:
                sys.exit("bench: %s gave exit code %d" % (" ".join(commands[i]), code))
            if r >= 2:
                times[i].append(seconds)
    return times


def ratios(a, b):
    return [x / y for x, y in zip(a, b)]


def against(build, folder, lines, count):
    """Rounds of the listing, the bare loader and (where it is there) the
    Source Manager 2.4.3 over the data sources of folder, placed where that
    Source Manager looks: their times, the last None without it."""
    twain = build.place(folder)
    build.install_settings(twain, peer=build.peer is not None)
    commands = [build.listing(), build.bare(twain)]
    build.check(commands[0], lines)
    build.check(commands[1], lines)
    if build.peer:
        commands.append(build.listing("-2"))
        build.check(commands[2], min(lines, PEER_LIMIT))
    times = rounds(commands, count, build.env)
    return times + [None] * (3 - len(times))


def add_profiles(build, count):
    """count user profiles in the prefix's list, each with a hive file holding
    an old default; returns their registry file, for removing them again."""
    users = os.path.join(PREFIX, "drive_c", "users")
    keys = ["S-1-5-21-77-%d" % n for n in range(count)]
    lines, hives = ["REGEDIT4", ""], []
    for key in keys:
        os.makedirs(os.path.join(users, "bench-" + key), exist_ok=True)
        hives.append("C:\\users\\bench-%s\\NTUSER.DAT" % key)
        lines += ["[%s\\%s]" % (PROFILE_LIST, key),
                  '"ProfileImagePath"="C:\\\\users\\\\bench-%s"' % key, ""]
    undo = os.path.join(PREFIX, "drive_c", "bench-profiles-undo.reg")
    for path, text in ((os.path.join(PREFIX, "drive_c", "bench-profiles.reg"), lines),
                       (undo, ["REGEDIT4", ""] + ["[-%s\\%s]" % (PROFILE_LIST, k) for k in keys])):
        with open(path, "w", newline="\r\n") as f:
            f.write("\n".join(text) + "\n")
    env = wine_env()
    subprocess.run(["wine", "reg", "import", "C:\\bench-profiles.reg", "/reg:64"], env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    for i in range(0, count, 50):  # a command line of its own for each 50
        subprocess.run(["wine", os.path.join(build.fixtures, "hive.exe"), "save",
                        "Software\\Halvorquin\\Bench", "Default Source", "C:\\old.ds"]
                       + hives[i:i + 50], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
    return "C:\\bench-profiles-undo.reg"


def bench_profiles(build, count):
    """-all -s over PROFILES profiles: its times, checked to leave no hive
    loaded and to log a line per profile."""
    undo = add_profiles(build, PROFILES)
    try:
        build.install_settings(build.sources)
        command = build.corvane("-o %s -all -s Source" % win_path(build.out))
        # Wine takes TEMP from its profile, not from the environment.
        log = os.path.join(PREFIX, "drive_c", "users", getpass.getuser(), "Temp",
                           build.name + ".log")
        for _ in range(2):
            if os.path.exists(log):
                os.remove(log)
            build.check(command, None)
            with open(build.out, "rb") as f:
                loaded = f.read().count(b"|loaded|C:\\old.ds|")
            with open(log, "rb") as f:
                logged = f.read().count(b" -all: S-1-5-21-77-")
            users = subprocess.run(["wine", "reg", "query", "HKU"], env=build.env,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
            if loaded != PROFILES or logged != PROFILES or b"Corvane." in users:
                sys.exit("bench: -all reached %d profiles and logged %d of %d; hives left: %s" %
                         (loaded, logged, PROFILES, b"Corvane." in users))
        (times,) = rounds([command], max(5, count // 5), build.env)
        return times
    finally:
        subprocess.run(["wine", "reg", "import", undo, "/reg:64"], env=wine_env(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        users = os.path.join(PREFIX, "drive_c", "users")
        for folder in os.listdir(users):
            if folder.startswith("bench-"):
                shutil.rmtree(os.path.join(users, folder), ignore_errors=True)


def verdict(value, target):
    return "target <= %.2f: %s" % (target, "met" if value <= target else "MISSED")


def bench_build(build, count):
    build.prepare()
    print("\n%s (%d rounds)" % (build.exe, count), flush=True)

    build.install_settings(build.empty)
    build.check(build.listing(), 0)
    build.check(build.bare(build.empty), 0)
    empty, bare_empty = rounds([build.listing(), build.bare(build.empty)], count, build.env)

    listing, bare, peer = against(build, build.sources, SOURCES, count)
    spread, bare_spread, peer_spread = against(build, build.spread, SOURCES, count)
    slow, bare_slow, peer_slow = against(build, build.slow, SLOW_SOURCES, max(5, count // 5))

    deep = peer_deep = None
    if build.peer:
        build.install_settings(build.place(build.deep), peer=True, depth=DEEP_LEVELS)
        for command in (build.listing(), build.listing("-2")):
            build.check(command, 1)
        deep, peer_deep = rounds([build.listing(), build.listing("-2")], count, build.env)

    build.install_settings(build.sources)
    build.check(build.listing("-2"), SOURCES)
    (manager,) = rounds([build.listing("-2")], count, build.env)

    profiles = bench_profiles(build, count)

    build.install_settings(build.place(build.sources))
    peak = [peak_memory(build.listing(), build.env) for _ in range(5)]
    bare_peak = [peak_memory(build.bare(build.twain), build.env) for _ in range(5)]
    size = os.path.getsize(os.path.join(build.built, build.exe)) / 1024.0
    started = statistics.median(ratios(empty, bare_empty)) <= EMPTY_TARGET
    side_by_side = statistics.median(ratios(slow, bare_slow)) <= SLOW_TARGET

    print("  listing of %d sources   %s" % (SOURCES, figure(listing)))
    if peer:
        print("  Source Manager 2.4.3     %s" % figure(peer))
        print("  ratio listing/SM 2.4.3   %s   %s" % (
            figure(ratios(listing, peer), "", 1.0, 3),
            verdict(statistics.median(ratios(listing, peer)), PEER_TARGET)))
    else:
        print("  (no Source Manager 2.4.3 in %s: its figures are left out)" % PEER)
    print("  bare loader, same files  %s" % figure(bare))
    print("  ratio listing/bare       %s   %s" % (
        figure(ratios(listing, bare), "", 1.0, 3),
        verdict(statistics.median(ratios(listing, bare)), RATIO_TARGET)))
    print("  spread over %d folders   %s" % (SPREAD_FOLDERS, figure(spread)))
    spread_ratio = statistics.median(spread) / statistics.median(listing)
    print("  ratio spread/one folder  median %.3f   %s" % (spread_ratio,
                                                        verdict(spread_ratio, SPREAD_TARGET)))
    print("  ratio spread/bare        %s" % figure(ratios(spread, bare_spread), "", 1.0, 3))
    if peer_spread:
        print("  ratio spread/SM 2.4.3    %s" % figure(ratios(spread, peer_spread), "", 1.0, 3))
    print("  empty listing            %s" % figure(empty))
    print("  bare loader, empty       %s" % figure(bare_empty))
    print("  ratio empty/bare         %s   target <= %.2f: %s" % (
        figure(ratios(empty, bare_empty), "", 1.0, 3), EMPTY_TARGET,
        "met" if started else "MISSED"))
    print("  slow sources (%d x %d ms) %s" % (SLOW_SOURCES, SLOW_MS, figure(slow)))
    if peer_slow:
        print("  Source Manager 2.4.3     %s" % figure(peer_slow))
        print("  ratio slow/SM 2.4.3      %s" % figure(ratios(slow, peer_slow), "", 1.0, 3))
    print("  bare loader, same files  %s" % figure(bare_slow))
    print("  ratio slow/bare          %s   target <= %.2f: %s" % (
        figure(ratios(slow, bare_slow), "", 1.0, 3), SLOW_TARGET,
        "met" if side_by_side else "MISSED"))
    if deep:
        print("  deep tree, ds_depth=%d    %s" % (DEEP_LEVELS, figure(deep)))
        print("  Source Manager 2.4.3     %s" % figure(peer_deep))
        print("  ratio deep/SM 2.4.3      %s   %s" % (
            figure(ratios(deep, peer_deep), "", 1.0, 3),
            verdict(statistics.median(ratios(deep, peer_deep)), DEEP_TARGET)))
    print("  -2 listing (test DSM)    %s" % figure(manager))
    print("  -all -s, %d profiles    %s, %.1f ms a profile" % (
        PROFILES, figure(profiles), statistics.median(profiles) * 1000 / PROFILES))
    print("  size                     %.1f KiB   target <= %d KiB: %s" % (
        size, SIZE_TARGET_KIB, "met" if size <= SIZE_TARGET_KIB else "MISSED"))
    print("  peak memory of a listing %s (bare loader %s)" % (
        figure(peak, "MiB", 1 / 1024.0, 1), figure(bare_peak, "MiB", 1 / 1024.0, 1)), flush=True)


def main():
    parser = argparse.ArgumentParser(description="Times Corvane's listings under Wine.")
    parser.add_argument("--rounds", type=int, default=51, help="counted rounds (default 51)")
    count = parser.parse_args().rounds
    builds = [Build(*b) for b in BUILDS]
    missing = [b.exe for b in builds if not b.present()]
    builds = [b for b in builds if b.present()]
    if not builds:
        sys.exit("bench: nothing built; run scripts/build first")
    print("Corvane benchmark, %s UTC, %s, %d cores, load average %.2f" % (
        time.strftime("%Y-%m-%d %H:%M", time.gmtime()),
        subprocess.run(["wine", "--version"], stdout=subprocess.PIPE, text=True).stdout.strip(),
        os.cpu_count(), os.getloadavg()[0]))
    for exe in missing:
        print("(%s is not built: skipped)" % exe)
    prepare_prefix()
    try:
        for build in builds:
            bench_build(build, count)
    finally:
        subprocess.run(["wineserver", "-k"], env=wine_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


if __name__ == "__main__":
    main()
