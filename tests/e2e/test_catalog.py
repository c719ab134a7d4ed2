"""Catalogue mode seen from outside: the scan of data-source files, the listings
and setting the default source in the user's registry."""

import json
import os
import re
import struct
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from harness import (BUILD, OTHER, PROGRAM_NAME, TITLE, Case, WineTestCase, date_header,
                     dump_rows, file_bytes, install_program, install_source, left_running, loads,
                     only_for, read_registry, win_path, wine)

REG_NAME = "Default Source"
# Each source is freed right after its call, not only at the end of the run.
LOADED_AND_ASKED = ["load", "call", "free"]
# Refused without an origin, asked again with the program's identity.
REFUSED = ["load", "call", "call", "free"]


def wine_names(folder, folders=False):
    """The names in folder as Wine's own file search reports them, in its order:
    the *.ds files, or the sub-folders."""
    pattern, switch = ("*", "/d ") if folders else ("*.ds", "")
    out = wine(["cmd", "/c", "for %s%%f in (%s\\%s) do @echo %%~nxf"
                % (switch, win_path(folder), pattern)])
    return out.decode("latin-1").split()


def first_in_folder(order, path):
    """Whether the file is the first its folder's worker asks: a source that does
    not answer after another of its folder is asked again in a fresh worker."""
    return [p for p in order if os.path.dirname(p) == os.path.dirname(path)][0] == path


def scan_order(folder, depth=1):
    """Every *.ds path the catalogue should try, down to depth levels of folders,
    in the order it should try them: each folder's files, then each sub-folder's."""
    paths = [os.path.join(folder, n) for n in wine_names(folder)]
    for sub in wine_names(folder, folders=True) if depth > 0 else []:
        paths += scan_order(os.path.join(folder, sub), depth - 1)
    return paths


def identity_bytes(manufacturer, family, product):
    """The record the test source answers with (see tests/fixtures/testds.cpp)."""
    return struct.pack("<IHHHH34sHHI34s34s34s", 0, 1, 0, 13, 1, b"Test Version", 2, 4, 3,
                       manufacturer.encode(), family.encode(), product.encode())



class CatalogCase(WineTestCase):
    """A case with its own folder of data sources and a registry key of its own."""

    def setUp(self):
        super().setUp()
        self.ds = os.path.join(self.case.root, "ds")
        os.makedirs(self.ds)
        self.reg_key = "Software\\CorvaneE2E\\%s\\%d" % (self._testMethodName, time.time_ns())
        self.settings()
        # A program folder of its own, where the other program's settings name a
        # folder of the case's: -c names the drivers a test puts there.
        self.case.program = install_program(self.out("program"))
        self.other = self.out("other")
        with open(os.path.join(self.case.program, OTHER.settings), "wb") as f:
            f.write(b"[Settings]\r\nds_dir=%s\r\n" % win_path(self.other).encode())

    def settings(self, ds_dir=None, reg_dir=None, reg_name=REG_NAME, extra="",
                 encoding="latin-1"):
        self.case.write_settings(("[Settings]\r\nds_dir=%s\r\nds_reg_dir=%s\r\nds_reg_name=%s\r\n%s" % (
            ds_dir if ds_dir is not None else win_path(self.ds),
            reg_dir if reg_dir is not None else self.reg_key, reg_name, extra)).encode(encoding))

    def two_sources(self):
        """'Flatbed Pro' listed first (top level), 'Sheetfeed 2' second (sub-folder)."""
        flatbed = install_source(self.ds, "flatbed.ds", manufacturer="Acme Imaging",
                                 family="Flatbeds", product="Flatbed Pro")
        sheet = install_source(os.path.join(self.ds, "vendor"), "sheet.ds",
                               manufacturer="Paperworks", family="Feeders", product="Sheetfeed 2")
        return flatbed, sheet

    def out(self, name):
        return os.path.join(self.case.root, name)

    read = staticmethod(file_bytes)

    def numbered_paths(self, paths):
        return "".join("%d=%s\r\n" % (i + 1, win_path(p)) for i, p in enumerate(paths)).encode()

    def default_source(self):
        return read_registry(self.reg_key, REG_NAME)

    def assertDefault(self, path):
        self.assertEqual(self.default_source(), (1, win_path(path).encode() + b"\0"))


class Scan(CatalogCase):
    def test_top_level_files_then_each_sub_folder_one_level_deep(self):
        for name in ("b.ds", "a.ds", "Zed.ds", "_q.ds", "UPPER.DS", "10.ds", "9.ds"):
            install_source(self.ds, name)
        install_source(os.path.join(self.ds, "vendor"), "c.ds")
        install_source(os.path.join(self.ds, "Alpha"), "z.ds")
        # A folder named like a source file is searched, not loaded.
        inner = install_source(os.path.join(self.ds, "x.ds"), "inner.ds")
        deep = install_source(os.path.join(self.ds, "vendor", "deeper"), "deep.ds")
        expected = scan_order(self.ds)
        self.assertEqual(len(expected), 10)
        self.assertIn(inner, expected)
        self.assertIn(os.path.join(self.ds, "UPPER.DS"), expected[:7])

        out = self.out("order.txt")
        r = self.case.run("-o %s -ll %%N%%=%%D%%" % win_path(out))
        self.assertEqual((r.code, r.messages), (0, []))
        self.assertEqual(self.read(out), self.numbered_paths(expected))
        for path in expected:
            self.assertEqual(loads(path), LOADED_AND_ASKED, path)
        self.assertEqual(loads(deep), [])

    def test_rejected_candidates_take_no_number(self):
        install_source(self.ds, "good.ds")
        fail = install_source(self.ds, "fail.ds", result=1)
        install_source(self.ds, "high.ds", result=65536)  # only the low 16 bits count
        nods = install_source(self.ds, "nods.ds", variant="nods")
        install_source(self.ds, "ord.ds", variant="testds_ordinal")
        wia_file = install_source(os.path.join(self.ds, "Vendor"), "wiatwain.ds",
                                  variant="testds_ordinal")
        wia_folder = install_source(os.path.join(self.ds, "wiatwain.ds"), "inner.ds",
                                    variant="testds_ordinal")
        # The test on the path is case-sensitive.
        install_source(os.path.join(self.ds, "Mixed"), "WiaTwain.ds", variant="testds_ordinal")
        # A source with a DS_Entry is asked even when its path says wiatwain.ds.
        install_source(os.path.join(self.ds, "wiatwain.ds"), "named.ds")
        # The other architecture's source cannot be loaded into this process.
        other = install_source(self.ds, "other.ds", build=OTHER)

        rejected = {fail, nods, wia_file, wia_folder, other}
        accepted = [p for p in scan_order(self.ds) if p not in rejected]
        self.assertEqual(len(accepted), 5)
        out = self.out("list.txt")
        r = self.case.run("-o %s -ll %%N%%=%%D%%" % win_path(out))
        self.assertEqual((r.code, r.messages), (0, []))
        self.assertEqual(self.read(out), self.numbered_paths(accepted))
        for path in accepted:
            self.assertEqual(loads(path), LOADED_AND_ASKED, path)
        order = scan_order(self.ds)
        # A refusal after another source is asked again; what the file explains is not.
        self.assertEqual(loads(fail), REFUSED * (1 if first_in_folder(order, fail) else 2))
        for path in (nods, wia_file, wia_folder):
            self.assertEqual(loads(path), ["load", "free"], path)
        self.assertEqual(loads(other), [])

    def test_fifty_sources_at_most_and_the_rest_never_loaded(self):
        # Three past the limit, in the workers' reach were they sent ahead; the
        # same behind hung sources, which might still be accepted while out.
        for hung in (0, 3):
            with self.subTest(hung=hung):
                ds = self.out("ds%d" % hung)
                waiting = [install_source(ds, "h%d.ds" % i, misbehave="wait-entry")
                           for i in range(hung)]
                for i in range(52):
                    install_source(os.path.join(ds, "sub"), "s%02d.ds" % i)
                install_source(os.path.join(ds, "sub2"), "last.ds")
                order = [p for p in scan_order(ds) if p not in waiting]
                self.assertEqual(len(order), 53)
                self.case.write_settings(
                    "[Settings]\r\nds_dir=%s\r\nds_reg_dir=%s\r\nds_reg_name=%s\r\n"
                    "ds_timeout=1\r\n" % (win_path(ds), self.reg_key, REG_NAME))
                out = self.out("list.txt")
                r = self.case.run("-o %s -ll %%N%%=%%D%% -n 51" % win_path(out))
                self.assertFatal(r, "Scanner number 51 - not found")
                self.assertEqual(self.read(out), self.numbered_paths(order[:50]))
                # The scan's worker ends by itself, maybe after the program.
                self.assertEqual(left_running(self.case, within=30), [])
                for path in order[:50]:
                    self.assertEqual(loads(path), LOADED_AND_ASKED, path)
                for path in order[50:]:
                    self.assertEqual(loads(path), [], path)

    def test_slow_and_hung_sources_side_by_side_give_what_one_worker_gives(self):
        hung = []
        for i in range(12):
            folder = os.path.join(self.ds, "sub%d" % (i % 3)) if i % 2 else self.ds
            if i % 3 == 1:
                hung.append(install_source(folder, "hung%02d.ds" % i, misbehave="wait-entry"))
            else:
                install_source(folder, "slow%02d.ds" % i, sleep=300)
        outputs = []
        for workers in (1, 3):
            self.case.write_settings(
                "[Settings]\r\nds_dir=%s\r\nds_reg_dir=%s\r\nds_reg_name=%s\r\nds_timeout=2\r\n"
                "ds_workers=%d\r\n" % (win_path(self.ds), self.reg_key, REG_NAME, workers))
            names = [self.out("%s%d.txt" % (n, workers)) for n in ("list", "check", "json")]
            r = self.case.run("-o %s -ll %%N%%=%%D%% -o %s -c -o %s -lj"
                              % tuple(win_path(n) for n in names), timeout=90)
            self.assertEqual((r.code, r.messages), (0, []))
            outputs.append([self.read(n) for n in names])
        self.assertEqual(outputs[0], outputs[1])
        listed = [p for p in scan_order(self.ds) if p not in hung]
        self.assertEqual(outputs[1][0], self.numbered_paths(listed))
        check = outputs[1][1].decode().split("\r\n")
        for path in hung:
            self.assertIn("%s: did not answer within 2 s" % win_path(path), check)

    def test_scanned_once_per_run_unless_nothing_answered(self):
        fail = install_source(self.ds, "fail.ds", result=1)
        r = self.case.run("-o %s -l -l -n 1" % win_path(self.out("list.txt")))
        self.assertFatal(r, "Scanner number 1 - not found")
        # An empty catalogue is looked for again by every catalogue action.
        self.assertEqual(loads(fail), REFUSED * 3)
        self.assertEqual(self.read(self.out("list.txt")), b"")

        good = install_source(self.ds, "good.ds")
        os.remove(fail + ".loads")
        r = self.case.run("-o %s -l -l -s good" % win_path(self.out("list.txt")))
        self.assertEqual((r.code, r.messages), (0, []))
        self.assertEqual(loads(good), LOADED_AND_ASKED)
        self.assertEqual(loads(fail), REFUSED * (1 if first_in_folder(scan_order(self.ds), fail)
                                                 else 2))

    def test_debug_level_dumps_each_accepted_identity(self):
        # 50 sources; two runs at once (a logon script started twice) keep every
        # line of both whole in the log they share.
        install_source(self.ds, "flatbed.ds", manufacturer="Acme Imaging", family="Flatbeds",
                       product="Flatbed Pro")
        install_source(self.ds, "broken.ds", result=1)
        for i in range(49):
            install_source(os.path.join(self.ds, "vendor" if i % 2 else ""), "s%02d.ds" % i)
        expected = []
        for number, path in enumerate([p for p in scan_order(self.ds) if "broken" not in p], 1):
            name = os.path.basename(path)[:-3]
            rows = dump_rows(identity_bytes(*(("Acme Imaging", "Flatbeds", "Flatbed Pro")
                                              if name == "flatbed" else
                                              ("Test Manufacturer", "Test Family", name))))
            self.assertEqual((len(rows), len(rows[-1])), (10, 36 + 12 + 12))
            expected += ["TWAIN Data Source %d" % number, "TW_IDENTITY : "] + rows
        second = Case(self.id() + ".second")  # another user's run, into the same TEMP
        second.write_settings(file_bytes(self.case.user_settings))

        header = re.escape(date_header())
        for level, runs, dumps in (("1", 1, True), ("-1", 1, True), ("0", 1, False),
                                   ("1", 2, True)):
            with self.subTest(level=level, runs=runs):
                log_path = os.path.join(self.case.temp, BUILD.log)
                if os.path.exists(log_path):
                    os.remove(log_path)
                with ThreadPoolExecutor(runs) as pool:
                    results = list(pool.map(lambda i: [self.case, second][i].run(
                        "-dbg=%s -o %s -l" % (level, win_path(self.out("l%d.txt" % i))),
                        temp=win_path(self.case.temp)), range(runs)))
                self.assertEqual([r.code for r in results], [0] * runs)
                log = results[0].log() or b""
                # Each run's first line comes right after its own date header;
                # every other line is stamped and whole.
                self.assertEqual([len(re.findall(header + tail, log)) for tail in (b"", rb"\d\d:")],
                                 [runs if dumps else 0] * 2)
                lines = re.sub(header, b"", log).decode("latin-1").split("\r\n")
                self.assertEqual(lines.pop(), "")
                stamped = [l[9:] for l in lines if re.match(r"\d\d:\d\d:\d\d ", l)]
                self.assertEqual(len(stamped), len(lines))
                # -1 also has the bit that traces VarSet; the workers' starts are told.
                stamped = [l for l in stamped
                           if not l.startswith(("Cmdline: ", "(VarSet) ", "worker "))]
                # The lines of runs at once may interleave.
                order = sorted if runs > 1 else list
                self.assertEqual(order(stamped), order(expected * runs if dumps else []))


class Listing(CatalogCase):
    def test_listing_templates_into_files(self):
        flatbed, sheet = self.two_sources()
        self.settings(ds_dir=win_path(self.ds) + "\\")
        names = ("l", "la", "LA", "plain", "refs")
        # Wine's file names ignore case: la.txt and LA.txt would be one file.
        files = {n: self.out("%s%d.txt" % (n, i)) for i, n in enumerate(names)}
        r = self.case.run(
            "-o {l} -l -o {la} -la -o {LA} -LA -o {plain} -ll plain -o {refs} -ll "
            "%P%_by_%M%_(%F%)_#%N%".format(**{n: win_path(p) for n, p in files.items()}))
        self.assertEqual((r.code, r.messages), (0, []))
        self.assertEqual(self.read(files["l"]), b"1=Flatbed Pro\r\n2=Sheetfeed 2\r\n")
        # The path as found: no doubled backslash after the folder's own.
        la = ("1|Acme Imaging|Flatbeds|Flatbed Pro|%s\r\n2|Paperworks|Feeders|Sheetfeed 2|%s\r\n"
              % (win_path(flatbed), win_path(sheet))).encode()
        self.assertEqual(self.read(files["la"]), la)
        self.assertEqual(self.read(files["LA"]), la)
        self.assertEqual(self.read(files["plain"]), b"plain\r\nplain\r\n")
        self.assertEqual(self.read(files["refs"]),
                         b"Flatbed Pro_by_Acme Imaging_(Flatbeds)_#1\r\n"
                         b"Sheetfeed 2_by_Paperworks_(Feeders)_#2\r\n")

    def test_listing_without_output_file_is_one_box_and_leaves_no_file(self):
        self.two_sources()
        r = self.case.run("-l")
        self.assertEqual(r.code, 0)
        self.assertOnlyMessage(r, "information", PROGRAM_NAME, "1=Flatbed Pro\n2=Sheetfeed 2\n")
        self.assertEqual([n for n in os.listdir(self.case.temp) if n.endswith("stdout.txt")], [])

    def test_missing_folder_gives_an_empty_report_and_says_so_in_a_box(self):
        missing = win_path(os.path.join(self.case.root, "missing"))
        self.settings(ds_dir=missing)
        out = self.out("empty.txt")
        r = self.case.run("-o %s -la -o - -l" % win_path(out))
        self.assertEqual(r.code, 0)
        self.assertEqual(self.read(out), b"")
        self.assertOnlyMessage(r, "information", PROGRAM_NAME, missing + " does not exist\n")

    def test_strings_without_terminator_are_read_within_their_field(self):
        path = install_source(self.ds, "fill.ds", fill=1, manufacturer="Maker", family="Fam",
                              product="Prod")
        r = self.case.run("-o %s -la" % win_path(self.out("la.txt")))
        self.assertEqual(r.code, 0)
        fields = [(t * 34)[:34] for t in ("Maker", "Fam", "Prod")]
        self.assertEqual(self.read(self.out("la.txt")),
                         ("1|%s|%s|%s|%s\r\n" % (*fields, win_path(path))).encode())


class Selection(CatalogCase):
    def test_by_part_of_the_product_name(self):
        flatbed, sheet = self.two_sources()
        # Each run first sets the other source, so the name must undo it.
        for name in ("flat", "FLAT", '"atbed p"', "e"):
            with self.subTest(name=name):
                r = self.case.run("-n 2 -s %s" % name)
                self.assertEqual((r.code, r.messages), (0, []))
                self.assertDefault(flatbed)
        r = self.case.run("-s feed")
        self.assertEqual((r.code, r.messages), (0, []))
        self.assertDefault(sheet)

    def test_name_found_only_outside_the_product_name(self):
        self.two_sources()
        for name in ("Acme", "Feeders"):
            with self.subTest(name=name):
                r = self.case.run("-s " + name)
                self.assertFatal(r, "Scanner: %s - not found" % name)
                self.assertEqual(len(r.messages), 1)
        self.assertIsNone(self.default_source())

    def test_by_number(self):
        flatbed, sheet = self.two_sources()
        for text, path in (("2", sheet), ("1", flatbed), ("2x", sheet)):
            with self.subTest(text=text):
                r = self.case.run("-n " + text)
                self.assertEqual((r.code, r.messages), (0, []))
                self.assertDefault(path)
        for text, number in (("0", 0), ("abc", "abc"), ("3", 3), ("-1", -1), ("3x", 3)):
            with self.subTest(text=text):
                r = self.case.run("-n " + text)
                self.assertFatal(r, "Scanner number %s - not found" % number)
        self.assertDefault(sheet)

    def test_a_relative_folder_gives_full_paths_everywhere(self):
        flatbed, sheet = self.two_sources()
        crash = install_source(self.ds, "crash.ds", crash="entry")
        order = [win_path(p) for p in scan_order(self.ds) if p != crash]
        self.settings(ds_dir="ds")
        for args, number in (("-s sheet", 2), ("-n 1", 1)):
            with self.subTest(args):
                r = self.case.run("-o d.txt -ll %%D%% -o j.json -lj %s -o c.txt -c" % args,
                                  cwd=self.case.root)
                self.assertEqual((r.code, r.messages), (0, []))
                self.assertEqual(self.read(self.out("d.txt")).decode(), "\r\n".join(order) + "\r\n")
                self.assertEqual([o["file"] for o in json.loads(self.read(self.out("j.json")))],
                                 order)
                self.assertDefault(sheet if number == 2 else flatbed)
                check = self.read(self.out("c.txt")).decode().split("\r\n")
                self.assertEqual([line.split(": ")[0] for line in check[:-2]],
                                 [win_path(p) for p in scan_order(self.ds)])
                self.assertEqual(check[-2], "default: %s = source %d" % (order[number - 1], number))
                self.assertIn("%s: crashed" % win_path(crash), r.log().decode())

    def test_empty_catalogue_finds_nothing(self):
        r = self.case.run("-n 1")
        self.assertFatal(r, "Scanner number 1 - not found")
        r = self.case.run("-s x")
        self.assertFatal(r, "Scanner: x - not found")
        self.assertIsNone(self.default_source())

    def test_value_is_the_path_with_its_terminator_in_new_nested_keys(self):
        path = install_source(self.ds, "flatbed.ds", product="Flatbed Pro")
        self.reg_key += "\\Not\\There\\Yet"
        self.settings()
        self.assertIsNone(self.default_source())
        r = self.case.run("-s flatbed")
        self.assertEqual((r.code, r.messages), (0, []))
        kind, data = self.default_source()
        self.assertEqual(kind, 1)  # REG_SZ
        self.assertEqual(data, win_path(path).encode() + b"\0")
        self.assertEqual(len(data), len(win_path(path)) + 1)

    def test_registry_refusing_the_key(self):
        self.two_sources()
        # Wine refuses a key path beginning with a backslash (as `reg add` does).
        self.settings(reg_dir="\\" + self.reg_key)
        r = self.case.run("-s Flat")
        self.assertFatal(r, "set Flat failed. rc=2")
        r = self.case.run("-n 01")
        self.assertFatal(r, "set -n 1 failed. rc=2")
        self.assertIsNone(self.default_source())


class Driver(CatalogCase):
    def test_output_file_then_back_to_a_box(self):
        self.two_sources()
        out = self.out("out.txt")
        r = self.case.run("-o %s -l -o - -l" % win_path(out))
        self.assertEqual(r.code, 0)
        self.assertEqual(self.read(out), b"1=Flatbed Pro\r\n2=Sheetfeed 2\r\n")
        self.assertOnlyMessage(r, "information", PROGRAM_NAME, "1=Flatbed Pro\n2=Sheetfeed 2\n")

    def test_list_runs_before_the_missing_value_is_found(self):
        self.two_sources()
        r = self.case.run("-l -s")
        self.assertEqual(r.code, 1)
        self.assertEqual(len(r.messages), 2)
        self.assertEqual(r.messages[0],
                         ("information", PROGRAM_NAME, "1=Flatbed Pro\n2=Sheetfeed 2\n"))
        self.assertEqual(r.messages[1][:2], ("information", TITLE))
        self.assertTrue(r.messages[1][2].startswith("-s needs a value\n\nUsage:\n"))

    def test_value_is_taken_whatever_it_looks_like(self):
        self.two_sources()
        r = self.case.run("-s -l")
        self.assertFatal(r, "Scanner: -l - not found")
        self.assertEqual(len(r.messages), 1)

    def test_options_without_action_write_nothing(self):
        self.two_sources()
        out = self.out("out.txt")
        for args in ("-o " + win_path(out), "-2"):
            with self.subTest(args=args):
                r = self.case.run(args)
                self.assertEqual((r.code, r.messages), (0, []))
                self.assertFalse(os.path.exists(out))
                self.assertIsNone(self.default_source())

    def test_empty_output_name_cannot_be_created(self):
        self.two_sources()
        r = self.case.run('-o "" -l')
        self.assertFatal(r, "Can't create file: ")
        self.assertEqual(len(r.messages), 1)


class WineSources(WineTestCase):
    """Wine's own data sources in the build's folder (twain_32 or twain_64), found
    with the shipped settings, and the default each build records for them."""

    def test_shipped_settings_list_wines_gphoto2_source(self):
        r = self.case.run("-la")
        self.assertEqual(r.code, 0, r)
        self.assertEqual(r.messages[0][:2], ("information", PROGRAM_NAME))
        rows = [line.split("|") for line in r.messages[0][2].splitlines()]
        self.assertIn(["GPhoto2 Camera", BUILD.twain + "\\gphoto2.ds"], [f[3:] for f in rows])

    @only_for("x64")  # once for both builds: they write the real keys
    def test_each_build_sets_its_own_default_and_leaves_the_others(self):
        for build, other in ((OTHER, BUILD), (BUILD, OTHER)):
            with self.subTest(build=build):
                before = read_registry(other.registry, REG_NAME)
                r = self.case.run("-s gphoto", build=build)
                self.assertEqual((r.code, r.messages), (0, []))
                self.assertEqual(read_registry(build.registry, REG_NAME),
                                 (1, (build.twain + "\\gphoto2.ds").encode() + b"\0"))
                out = os.path.join(self.case.root, build.name + ".txt")
                r = self.case.run("-o %s -ll %%D%% -n 1" % win_path(out), build=build)
                self.assertEqual(r.code, 0, r)
                first = file_bytes(out).split(b"\r\n")[0]
                self.assertTrue(first.startswith(build.twain.encode() + b"\\"), first)
                self.assertEqual(read_registry(build.registry, REG_NAME), (1, first + b"\0"))
                self.assertEqual(read_registry(other.registry, REG_NAME), before)


if __name__ == "__main__":
    unittest.main()
