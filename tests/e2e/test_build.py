"""How the executables are built: the build time comes from the sources (the
last commit's time, in UTC) and the PE header carries no clock, so two builds
of the same sources in two folders at two times are byte for byte the same."""

import os
import shutil
import struct
import subprocess
import time
import unittest

from harness import BUILD, STATE, TITLE, WINDOWS_DIR, WineTestCase, file_bytes
from test_product import read_pe

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PRESET = os.path.basename(WINDOWS_DIR)  # the preset's build folder is build/<preset>
EXE = BUILD.exe
FIXED_EPOCH = 1498119315  # outside a git checkout: Jun 22 2017 08:15:15 UTC
MONTHS = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split()


def git(*args):
    return subprocess.run(["git", "-C", SOURCE] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True)


def source_epoch():
    """The build time the build takes: SOURCE_DATE_EPOCH, else the last commit's."""
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    top = git("rev-parse", "--show-toplevel")
    if top.returncode == 0 and os.path.realpath(top.stdout.strip()) == os.path.realpath(SOURCE):
        return int(git("log", "-1", "--format=%ct").stdout)
    return FIXED_EPOCH


def copy_sources(target):
    """Copies the source tree as it is in the working folder, without .git and build."""
    listed = git("ls-files", "-z", "--cached", "--others", "--exclude-standard")
    if listed.returncode == 0:
        for name in filter(None, listed.stdout.split("\0")):
            path = os.path.join(SOURCE, name)
            if os.path.isfile(path):  # deleted but not yet committed files are gone
                os.makedirs(os.path.dirname(os.path.join(target, name)), exist_ok=True)
                shutil.copy2(path, os.path.join(target, name))
    else:
        shutil.copytree(SOURCE, target, ignore=shutil.ignore_patterns(".git", "build"))


class BuiltProgram(WineTestCase):
    def test_version_message_shows_the_sources_time_in_utc(self):
        t = time.gmtime(source_epoch())
        date = "%s %2d %d" % (MONTHS[t.tm_mon - 1], t.tm_mday, t.tm_year)
        r = self.case.run("-ver")
        self.assertEqual(r.code, 0)
        self.assertOnlyMessage(r, "information", TITLE, "Build date:\t%s\nBuild time:\t%s\n" % (
            date, time.strftime("%H:%M:%S", t)))

    def test_starts_without_the_windowing_shell_and_registry_libraries(self):
        # They cost more than a whole listing's own work, in the program and
        # in the scan's worker; the platform layer loads them when a box, the
        # proxy window, the help page or the registry needs them.
        dlls = read_pe(os.path.join(WINDOWS_DIR, EXE))[4]
        self.assertFalse({"user32.dll", "shell32.dll", "advapi32.dll"} & set(dlls), dlls)

    def test_pe_header_time_stamp_is_zero(self):
        data = file_bytes(os.path.join(WINDOWS_DIR, EXE))
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        self.assertEqual(struct.unpack_from("<I", data, pe + 8)[0], 0)


class Reproducible(unittest.TestCase):
    def test_builds_in_two_folders_at_two_times_are_byte_identical(self):
        root = os.path.join(STATE, "reproducible", PRESET)
        shutil.rmtree(root, ignore_errors=True)
        env = dict(os.environ, SOURCE_DATE_EPOCH=str(source_epoch()))
        built = []
        # Folder names of different lengths, built one after the other.
        for folder in ("a", "a-second-folder"):
            tree = os.path.join(root, folder)
            copy_sources(tree)
            for command in (["cmake", "--preset", PRESET], ["cmake", "--build", "--preset",
                                                          PRESET, "--target", BUILD.program,
                                                          "-j2"]):
                subprocess.run(command, cwd=tree, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, check=True, timeout=600)
            built.append(file_bytes(os.path.join(tree, "build", PRESET, EXE)))
        self.assertTrue(built[0] == built[1], "two builds of the same sources differ")
        self.assertTrue(built[0] == file_bytes(os.path.join(WINDOWS_DIR, EXE)),
                        "%s differs from a build of the same sources elsewhere "
                        "(built from older sources?)" % EXE)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
