"""The check report (-c) and the JSON listing (-lj), seen from outside: what a
user learns about every data-source file, and listings that a JSON reader
reads back to the exact strings."""

import json
import os
import re
import shutil
import unittest

from harness import (BUILD, CP932, CP1252, OTHER, PROGRAM_NAME, SourceManager, WineTestCase,
                     file_bytes, install_source, loads, only_for, read_registry, win_path, wine)
from test_catalog import REG_NAME, CatalogCase, scan_order

KEYS = ["number", "manufacturer", "family", "product", "file", "default"]
# Product names a listing template cannot carry but JSON must: quote, backslash,
# the -la separator, a tab and an accented letter of the ANSI code page.
AWKWARD = ('Say "cheese"', "Back\\slash", "Bar|bar", "Tab\there", "Scann\xe9")
# What a build says of a module of the other build.
OTHER_HINT = {"x64": "; a 64-bit data source: use Corvane64.exe",
              "x86": "; a 32-bit data source: use Corvane.exe"}
# The build's own Source Manager file as the program names it.
MANAGER = {"x86": "C:\\windows\\TWAIN_32.DLL", "x64": "C:\\windows\\system32\\TWAINDSM.DLL"}


def pe_header(machine):
    """A file with nothing but a DOS header and a PE header for the machine."""
    data = bytearray(0x100)
    data[0:2] = b"MZ"
    data[0x3C:0x40] = (0x80).to_bytes(4, "little")
    data[0x80:0x86] = b"PE\0\0" + machine.to_bytes(2, "little")
    return bytes(data)


def not_loaded(path, hint, subject=None):
    """The line of a file that does not load: the system's message naming the
    file, its error code, then the hint."""
    return (re.escape(subject or win_path(path)) + r": not loaded: [^%\r\n]*" +
            re.escape(re.split(r"[\\/]", path)[-1]) + r"[^%\r\n]* \(error \d+\)" +
            re.escape(hint))


class Reports:
    def report(self, args, name="report.txt"):
        """Runs with -o before args; the report file's lines, checked for CR LF ends."""
        out = os.path.join(self.case.root, name)
        r = self.run_for_report("-o %s %s" % (win_path(out), args))
        self.assertEqual((r.code, r.messages), (0, []))
        data = file_bytes(out)
        self.assertTrue(data.endswith(b"\r\n"), data)
        self.assertNotIn(b"\n", data.replace(b"\r\n", b""))
        return data[:-2].decode("latin-1").split("\r\n")

    def listing(self, args):
        """The -lj report parsed as JSON, after checking its layout."""
        lines = self.report(args, "listing.json")
        body = "\n".join(line.encode("latin-1").decode("utf-8") for line in lines)
        if len(lines) > 1:
            self.assertEqual((lines[0], lines[-1]), ("[", "]"))
            self.assertTrue(all(line.endswith("},") for line in lines[1:-2]))
        objects = json.loads(body)
        self.assertEqual(len(lines), len(objects) + 2 if objects else 1)
        for obj in objects:
            self.assertEqual(list(obj), KEYS)
        return objects


def ansi(text):  # as a program under code page 932 writes it, one byte a character
    return text.encode("cp932").decode("latin-1")


WIA = ("the system's bridge to WIA scanners: WIA-only scanners are listed through the Source "
       "Manager, Corvane.exe -2 -l (see \"WIA scanners\" in README.txt, chapter 8)")
UNWRITABLE = (": the name cannot be written in code page %d: no TWAIN Source Manager can load "
              "it; rename the file or folder")


class CatalogueCheck(Reports, CatalogCase):
    locale = None

    def run_for_report(self, args):
        return self.case.run(args, wine_extra=self.locale)

    def set_default(self, value):
        wine(["reg", "add", "HKCU\\" + self.reg_key, "/v", REG_NAME, "/d", value, "/f"])

    def test_every_file_with_its_outcome_in_scan_order(self):
        flatbed, sheet = self.two_sources()
        vendor = os.path.join(self.ds, "vendor")
        expected = {
            flatbed: re.escape(win_path(flatbed) + ": source 1: Flatbed Pro"),
            sheet: re.escape(win_path(sheet) + ": source 2: Sheetfeed 2"),
            install_source(self.ds, "nods.ds", variant="nods"):
                re.escape(win_path(os.path.join(self.ds, "nods.ds")) + ": no DS_Entry"),
        }
        refused = install_source(vendor, "refused.ds", result=5)
        expected[refused] = re.escape(win_path(refused) + ": identity refused: result 5")
        for name, data, hint in (("text.ds", b"not a module", "; not a Windows module"),
                                 ("empty.ds", b"", "; not a Windows module"),
                                 ("arm.ds", pe_header(0xAA64),
                                  "; a data source for machine 0xAA64")):
            path = os.path.join(self.ds, name)
            with open(path, "wb") as f:
                f.write(data)
            expected[path] = not_loaded(path, hint)
        apiset = install_source(vendor, "apiset.ds", variant="apiset")
        expected[apiset] = re.escape(win_path(apiset) + ": not loaded: needs api-ms-win-corvane-"
                                     "test-l1-1-0.dll, which is not found (error 126)")
        # A companion that is there but that the loader cannot take.
        bits = {"x86": "32", "x64": "64"}[OTHER.name]
        for folder, why in (("bits", "is built for %s-bit Windows" % bits),
                            ("cut", "is not a valid Windows module")):
            path = install_source(os.path.join(self.ds, folder), "helped.ds",
                                  variant="testds_import")
            helper = install_source(os.path.join(self.ds, folder), "vhelper.dll",
                                    variant="vhelper.dll", build=OTHER if folder == "bits" else BUILD)
            if folder == "cut":
                with open(helper, "r+b") as f:
                    f.truncate(1024)
            expected[path] = re.escape("%s: not loaded: vhelper.dll, beside the source, %s (error "
                                       "126)" % (win_path(path), why))
        other = install_source(vendor, "other.ds", build=OTHER)
        expected[other] = not_loaded(other, OTHER_HINT[OTHER.name])
        wia = install_source(self.ds, "wiatwain.ds", variant="nods")
        expected[wia] = re.escape(win_path(wia) + ": " + WIA)
        # Two to four folders down are named with the depth that searches them;
        # five are not looked at.
        deep = [install_source(os.path.join(vendor, "old"), "deep.ds"),
                install_source(os.path.join(vendor, "old", "x"), "deeper.ds"),
                install_source(os.path.join(vendor, "old", "x", "y"), "deepest.ds")]
        install_source(os.path.join(vendor, "old", "x", "y", "z"), "too deep.ds")
        # The other program's folder: each file, never loaded, with the program
        # that lists it.
        kinds = {"x86": "a 32-bit data source", "x64": "a 64-bit data source"}
        use = "%s: use %s" % (kinds[OTHER.name], OTHER.exe)
        nowhere = ": no program lists it from this folder"
        others = {install_source(self.other, "scan.ds", build=OTHER): use,
                  install_source(os.path.join(self.other, "v", "old"), "deep.ds", build=OTHER):
                      use + " with ds_depth=2",
                  install_source(self.other, "own.ds"): kinds[BUILD.name] + nowhere,
                  install_source(self.other, "nods.ds", variant="nods", build=OTHER):
                      "no DS_Entry" + nowhere,
                  install_source(self.other, "wiatwain.ds", variant="nods", build=OTHER): WIA}

        order = scan_order(self.ds)
        self.assertEqual(sorted(order), sorted(expected))
        patterns = [expected[p] for p in order]
        patterns += [re.escape("%s: not searched: %d folders below %s; set ds_depth=%d to search "
                               "there" % (win_path(p), n, win_path(self.ds), n))
                     for n, p in enumerate(deep, 2)]
        patterns += [re.escape("%s: %s" % (win_path(p), others[p]))
                     for p in scan_order(self.other, 4)]
        patterns.append("default: none")
        lines = self.report("-c")
        self.assertEqual(len(lines), len(patterns), lines)
        for line, pattern in zip(lines, patterns):
            self.assertRegex(line, "^%s$" % pattern)

    def test_the_other_kind_in_the_windows_folder_without_its_settings(self):
        os.remove(os.path.join(self.case.program, OTHER.settings))
        # One that answers nothing: the Source Manager tests list that folder too.
        path = install_source(os.path.join(OTHER.twain_host, "E2E check"), "nods.ds",
                              variant="nods", build=OTHER)
        try:
            self.assertIn("C:\\windows\\%s\\E2E check\\nods.ds: no DS_Entry: no program lists "
                          "it from this folder" % os.path.basename(OTHER.twain_host),
                          self.report("-c"))
        finally:
            shutil.rmtree(os.path.dirname(path))

    def test_folders_the_system_cannot_search_are_named(self):
        # Their search patterns pass the system's 260 characters: ds_dir's own
        # at 255 and 258 characters, a sub-folder's below one of 250.
        too_long = " cannot be searched: File name is too long. (error 206)"
        root = win_path(self.case.root)
        for length, sub in ((255, None), (258, None), (250, "vendor")):
            with self.subTest(length=length):
                folder = os.path.join(self.case.root, "d" * (length - len(root) - 1))
                install_source(folder, "a.ds", product="A")
                if sub:
                    install_source(os.path.join(folder, sub), "b.ds")
                self.settings(ds_dir=win_path(folder))
                lines = self.report("-c")
                self.assertEqual(lines, [
                    win_path(os.path.join(folder, "a.ds")) + ": source 1: A",
                    win_path(os.path.join(folder, sub)) + ":" + too_long, "default: none"]
                    if sub else ["ds_dir " + win_path(folder) + too_long, "default: none"])

    def test_past_the_limit_of_fifty(self):
        for i in range(51):
            install_source(self.ds, "s%02d.ds" % i)
        order = scan_order(self.ds)
        expected = ["%s: source %d: %s" % (win_path(p), n, os.path.basename(p)[:-3])
                    for n, p in enumerate(order[:50], 1)]
        expected += ["%s: not loaded: 50 sources already" % win_path(order[50]), "default: none"]
        self.assertEqual(self.report("-c"), expected)

    def test_deeper_folders_with_and_without_ds_depth(self):
        files = [(0, install_source(self.ds, "top.ds", product="Top")),
                 (2, install_source(os.path.join(self.ds, "acme", "v2"), "two.ds", product="Two")),
                 (3, install_source(os.path.join(self.ds, "acme", "v2", "x"), "three.ds",
                                    product="Three"))]
        for depth, args in (("", "-c"), ("2", "-c"), ("04", "-c"), ("3", "-s three -c")):
            with self.subTest(ds_depth=depth):
                self.settings(extra="ds_depth=%s\r\n" % depth)
                searched = [(level, p) for level, p in files if level <= int(depth or 1)]
                lines = ["%s: source %d: %s" % (win_path(p), n, os.path.basename(p)[:-3].title())
                         for n, (_, p) in enumerate(searched, 1)]
                lines += ["%s: not searched: %d folders below %s; set ds_depth=%d to search there"
                          % (win_path(p), level, win_path(self.ds), level)
                          for level, p in files[len(searched):]]
                default = win_path(files[2][1]) + " = source 3" if "-s" in args else "none"
                self.assertEqual(self.report(args), lines + ["default: " + default])
        self.settings(extra="ds_depth=5\r\n")
        self.assertFatal(self.case.run("-l"), "file: %s section: Settings - setting 'ds_depth' is "
                         "not a whole number from 1 to 4: 5" % win_path(self.case.user_settings))

    def test_stored_default_in_the_check_and_the_json_flags(self):
        flatbed, sheet = self.two_sources()
        removed = os.path.join(self.ds, "removed.ds")
        for value, verdict, flags in (
                (None, None, [False, False]),
                # Letter case is ignored, as a Source Manager does.
                (win_path(sheet).upper(), " = source 2", [False, True]),
                (win_path(removed), " - no such source; a TWAIN Source Manager would use "
                 "source 1 instead", [False, False])):
            with self.subTest(value=value):
                if value is not None:
                    self.set_default(value)
                lines = self.report("-c")
                self.assertEqual(lines[-1], "default: none" if value is None
                                 else "default: " + value + verdict)
                self.assertEqual([s["default"] for s in self.listing("-lj")], flags)
                # Neither action writes the registry.
                self.assertEqual(read_registry(self.reg_key, REG_NAME),
                                 None if value is None else (1, value.encode() + b"\0"))

    def test_empty_catalogue(self):
        self.set_default(win_path(os.path.join(self.ds, "gone.ds")))
        self.assertEqual(self.listing("-lj"), [])
        # Without -o the report is a box; nothing to fall back to, so no source 1.
        r = self.case.run("-c")
        self.assertEqual(r.code, 0)
        self.assertOnlyMessage(r, "information", PROGRAM_NAME, "default: %s - no such source\n"
                               % win_path(os.path.join(self.ds, "gone.ds")))

    def test_names_by_characters_of_the_code_page(self):
        # 1252 has no Japanese; in 932 the second byte of 表 is a backslash's, of ス
        # an X's, and there is no é.
        self.locale = CP1252
        hidden = [install_source(self.ds, "スキャナ.ds"),
                  install_source(os.path.join(self.ds, "スキャナ"), "a.ds")]
        self.assertEqual(self.report("-c"), [win_path(self.ds) + n + UNWRITABLE % 1252
                                             for n in ("\\????.ds", "\\????")] + ["default: none"])
        self.assertEqual([loads(p) for p in hidden], [[], []])

        self.locale, ds = CP932, self.ds + "表"
        first = ansi(win_path(install_source(ds, "a.ds", product=ansi("スキャナ"))))
        xerox = ansi(win_path(install_source(os.path.join(ds, "表"), "x.ds", product="Xerox Pro")))
        install_source(ds, "é.ds")
        report = ["%s: source 1: %s" % (first, ansi("スキャナ")), ansi(win_path(ds)) + "\\?.ds" +
                  UNWRITABLE % 932, xerox + ": source 2: Xerox Pro", "default: %s = source 2" % xerox]
        self.settings(ds_dir=ansi(win_path(ds)))
        self.assertEqual(self.report("-s x -c"), report)
        # Saved by Notepad: UTF-8 without a mark, read in the code page; where
        # the code page cannot write it, the setting and its line are named.
        self.settings(ds_dir=win_path(ds), encoding="utf-8")
        self.assertEqual(self.report("-c"), report)
        self.locale = CP1252
        self.assertFatal(self.case.run("-c", wine_extra=self.locale),
                         "file: %s section: Settings - setting 'ds_dir' on line 2 cannot be "
                         "written in code page 1252: %s?" % (win_path(self.case.user_settings),
                                                            win_path(self.ds)))

    def test_json_reads_back_the_exact_strings(self):
        paths = [install_source(os.path.join(self.ds, "Scann\xe9"), "s%d.ds" % i,
                                manufacturer="Maker %d" % i, family=name, product=name)
                 for i, name in enumerate(AWKWARD)]
        order = scan_order(self.ds)
        products = {p: n for p, n in zip(paths, AWKWARD)}
        self.assertEqual(self.listing("-lj"), [
            {"number": n, "manufacturer": "Maker %d" % AWKWARD.index(products[p]),
             "family": products[p], "product": products[p], "file": win_path(p),
             "default": False} for n, p in enumerate(order, 1)])


class ManagerReports(Reports, WineTestCase):
    sm = None

    def run_for_report(self, args):
        if self.sm is None:
            return self.case.run(args, cwd=self.case.root)
        return self.case.run(args, env=self.sm.env, wine_extra=self.sm.wine_extra,
                             cwd=self.case.root)

    def settings(self, dsm_path=""):
        self.case.write_settings("[Settings]\r\nds_dir=x\r\nds_reg_dir=y\r\nds_reg_name=z\r\n"
                                 "dsm_path=%s\r\n" % dsm_path)

    def chosen_manager(self, module, name):
        """A copy of a fixture in the case's folder, for dsm_path; the test Source
        Manager reads its scenario from the case."""
        shutil.copy(module, os.path.join(self.case.root, name))
        self.sm = SourceManager(self.case)
        return win_path(os.path.join(self.case.root, name))

    def test_check_names_the_file_tried_and_what_became_of_it(self):
        chosen = self.chosen_manager(os.path.join(BUILD.fixtures, BUILD.manager_file),
                                     "chosen.dll")
        nods = self.chosen_manager(os.path.join(BUILD.fixtures, "nods.ds"), "nods.dll")
        other = self.chosen_manager(os.path.join(OTHER.fixtures, OTHER.manager_file),
                                    "other.dll")
        missing = win_path(os.path.join(self.case.root, "missing.dll"))
        sources = [("Acme", "Flat Family", "Flatbed Pro"), ("Sheetco", "", "Sheetfeed 2")]
        opened = ["open", "source 1: Flatbed Pro (Acme, Flat Family)",
                  "source 2: Sheetfeed 2 (Sheetco, )", "default: Sheetfeed 2"]
        # (dsm_path, MSG_OPENDSM's result, the file named, what became of it)
        for dsm_path, opendsm, tried, outcome in (
                (chosen, None, chosen, opened),
                ("chosen.dll", None, chosen, opened),  # from the working folder
                (chosen, 1, chosen, ["open refused: result 1, condition 9"]),
                (nods, None, nods, ["no DSM_Entry"]),
                (missing, None, missing, ["not found"]),
                (other, None, other, None)):
            with self.subTest(dsm_path=dsm_path, opendsm=opendsm):
                self.settings(dsm_path)
                self.sm.write_scenario(sources=sources, default=2, opendsm=opendsm, status=9)
                lines = self.report("-2 -c")
                if outcome is None:
                    self.assertEqual(len(lines), 1)
                    self.assertRegex(lines[0], "^%s$" % not_loaded(
                        other, "", "Source Manager: " + tried))
                else:
                    self.assertEqual(lines, ["Source Manager: %s: %s" % (tried, outcome[0])]
                                     + outcome[1:])

        # The build's own, missing.
        self.settings()
        with SourceManager(self.case, absent=True):
            self.assertEqual(self.report("-2 -c"),
                             ["Source Manager: %s: not found" % MANAGER[BUILD.name]])

    @only_for("x86")  # Wine has no 64-bit TWAINDSM.DLL
    def test_check_of_wines_own_source_manager(self):
        self.settings()
        lines = self.report("-2 -c")
        listed = self.report('-2 -ll "source %N%: %P% (%M%, %F%)"', "listed.txt")
        default = self.report("-g", "default.txt")
        self.assertEqual(lines, ["Source Manager: %s: open" % MANAGER["x86"]] + listed +
                         ["default: " + default[0]])

    def test_listing_and_default_of_the_test_source_manager(self):
        sources = [("Acme \xe9", "Flat Family", name) for name in AWKWARD]
        self.settings(self.chosen_manager(os.path.join(BUILD.fixtures, BUILD.manager_file),
                                          "chosen.dll"))
        for default in (3, None):
            with self.subTest(default=default):
                self.sm.write_scenario(sources=sources, default=default)
                self.assertEqual(self.listing("-2 -lj"), [
                    {"number": n, "manufacturer": m, "family": f, "product": p,
                     "file": None, "default": n == default}
                    for n, (m, f, p) in enumerate(sources, 1)])

    @only_for("x86")
    def test_wine_source_manager_agrees_with_get(self):
        objects = self.listing("-2 -lj")
        self.assertTrue(objects)
        self.assertEqual([o["number"] for o in objects], list(range(1, len(objects) + 1)))
        self.assertTrue(all(o["file"] is None for o in objects))
        default = self.report("-g", "default.txt")
        self.assertEqual([o["product"] for o in objects if o["default"]], default)


if __name__ == "__main__":
    unittest.main()
