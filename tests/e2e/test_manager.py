"""The Source Manager mode (-2) and -g, seen from outside: against the
project's test Source Manager, whose call log shows what the program sent, and
against Wine's own TWAIN_32.DLL."""

import os
import re
import shutil
import time
import unittest

from harness import (BUILD, PROGRAM_NAME, TITLE, WINDOWS_C, SourceManager, WineTestCase,
                     dump_rows, file_bytes, install_source, loads, only_for, win_path)

MSG_GETDEFAULT = 0x0003
MSG_GETFIRST = 0x0004
MSG_GETNEXT = 0x0005
MSG_SET = 0x0006
MSG_OPENDSM = 0x0301

OWN = "C:\\windows\\%s%s" % ("system32\\" if BUILD.name == "x64" else "", BUILD.manager_file)
CANT_OPEN = "Can't open TWAIN Source Manager %s: %s"
NOT_FOUND = "File not found. (error 2)"
REFUSED = "The TWAIN Source Manager refused to make %s the default (result %d)"
NO_SOURCES = "No TWAIN Sources available"
NO_DEFAULT = "No default TWAIN source available"


def report(text):
    return ("information", PROGRAM_NAME, text)


def log_lines(log):
    """The debug log's messages without their time stamps."""
    return re.findall(r"^\d\d:\d\d:\d\d (.*?)\r$", (log or b"").decode("latin-1"), re.M)


class ManagerTestCase(WineTestCase):
    def run_dsm(self, sm, args="", wine_extra=None, **kwargs):
        """Runs against the test Source Manager with a fresh call log."""
        if os.path.exists(sm.calls_path):
            os.remove(sm.calls_path)
        extra = dict(sm.wine_extra, **(wine_extra or {}))
        return self.case.run(args, env=sm.env, wine_extra=extra, **kwargs)

    def out_path(self, name="out.txt"):
        return os.path.join(self.case.root, name)

    def temp_reports(self):
        return [n for n in os.listdir(self.case.temp) if n.endswith("stdout.txt")]

    def messages_of(self, calls):
        return [c["MSG"] for c in calls]

    def assertSetPassesBack(self, calls, source_id):
        """One MSG_SET, carrying exactly the record the manager returned for the source."""
        sets = [c for c in calls if c["MSG"] == MSG_SET]
        self.assertEqual(len(sets), 1, calls)
        self.assertEqual(sets[0]["ID"], source_id)
        returned = [c["BYTES"] for c in calls if c["MSG"] in (MSG_GETFIRST, MSG_GETNEXT)
                    and c["RC"] == 0 and c["ID"] == source_id]
        self.assertEqual(sets[0]["BYTES"], returned[-1])


class OpeningTheManager(ManagerTestCase):
    def test_manager_missing_or_without_entry_or_refusing(self):
        out = self.out_path()
        with open(out, "wb") as f:
            f.write(b"old\r\n")
        with SourceManager(self.case, absent=True) as sm:
            r = self.run_dsm(sm, "-o %s -g" % win_path(out))
            self.assertFatal(r, CANT_OPEN % (OWN, NOT_FOUND))
            self.assertEqual(len(r.messages), 1)
        self.assertEqual(file_bytes(out), b"old\r\n")

        with SourceManager(self.case, module="nods.ds") as sm:
            # The module records its load beside itself, named as it was loaded.
            record = os.path.join(os.path.dirname(sm.path), BUILD.manager_file)
            try:
                r = self.run_dsm(sm, "-2 -l")
                self.assertFatal(r, CANT_OPEN % (OWN, "it has no DSM_Entry: it is not a TWAIN "
                                                 "Source Manager"))
                self.assertEqual(len(r.messages), 1)
                # It did load, and was freed at once: only the entry point was missing.
                self.assertEqual(loads(record), ["load", "free"])
            finally:
                if os.path.exists(record + ".loads"):
                    os.remove(record + ".loads")

        with SourceManager(self.case) as sm:
            sm.write_scenario(sources=["Flatbed Pro"], default=1, opendsm=1, status=9)
            r = self.run_dsm(sm, "-2 -n 1", wine_extra={"WINEDEBUG": "+debugstr"})
            self.assertFatal(r, CANT_OPEN % (OWN, "it refused to open (result 1, condition 9)"))
            self.assertEqual(len(r.messages), 1)
            calls = sm.calls()
            # The refusal's condition code is asked for (MSG_GET) for the message.
            self.assertEqual([(c["MSG"], c["RC"]) for c in calls], [(MSG_OPENDSM, 1), (0x0001, 0)])
            # Loaded, but not open: only the trace of state 2.
            self.assertEqual(re.findall(rb"TWLK:[^\"\\\r\n]*", r.stderr), [b"TWLK:State 2"])

    def test_a_crashing_manager_ends_the_run_with_its_name(self):
        out = self.out_path()
        # Crashing before the report is made leaves the old one; nothing is
        # listed after the crash.
        for msg, args, left in ((MSG_OPENDSM, "-o %s -g", (b"old\r\n",)),
                                (MSG_GETNEXT, "-2 -o %s -l", (b"", b"1=Flatbed Pro\r\n"))):
            with self.subTest(msg=msg), SourceManager(self.case) as sm:
                with open(out, "wb") as f:
                    f.write(b"old\r\n")
                sm.write_scenario(sources=["Flatbed Pro", "Sheetfeed 2"], default=1)
                with open(sm.scenario, "ab") as f:
                    f.write(b"crash=%d\r\n" % msg)
                # With Wine's debugger enabled: no crash box may hold the run.
                r = self.run_dsm(sm, args % win_path(out), wine_extra={
                    "WINEDLLOVERRIDES": "mscoree,mshtml=;" + BUILD.dll_override})
                folder = os.path.relpath(os.path.dirname(sm.path), WINDOWS_C)
                name = "C:\\windows\\%s%s" % ("" if folder == "." else folder + "\\",
                                              BUILD.manager_file)
                self.assertFatal(r, "%s crashed (exception 0xC0000005)" % name)
                self.assertEqual(len(r.messages), 1)
                self.assertIn(file_bytes(out), left)

    def test_a_manager_that_never_ends_ends_the_run_with_its_name(self):
        self.case.write_settings("[Settings]\r\nds_dir=x\r\nds_reg_dir=y\r\nds_reg_name=z\r\n"
                                 "ds_timeout=2\r\n")
        file = BUILD.manager_file
        again = "%s returned source 1 again in MSG_GETNEXT" % file
        unload, two = file + " did not unload within 2 s", b"1=Flatbed Pro\r\n2=Sheetfeed 2\r\n"
        thousand = two + b"".join(b"%d=Source %d\r\n" % (n, n) for n in range(3, 1001))
        # Scenario (misbehave=: nods.ds in its place), arguments, the warning and
        # what the report holds by then; unless it is complete, the exit code is 1.
        for scenario, args, warning, left in [
                ("wait=5", "-2 -o {out} -l", file + " did not answer MSG_GETNEXT within 2 s",
                 b"1=Flatbed Pro\r\n"),
                ("wait=769", "-o {out} -g", file + " did not answer MSG_OPENDSM within 2 s", None),
                ("exit=5", "-2 -o {out} -l", "{path} ended the process", b"1=Flatbed Pro\r\n"),
                ("endless=new", "-2 -n 2000",
                 file + " returned more than 1000 sources in MSG_GETNEXT", None),
                ("endless=repeat", "-2 -o {out} -l", again, b"1=Flatbed Pro\r\n2=Sheetfeed 2\r\n"),
                ("endless=repeat", "-2 -o {out} -lj", again, None),
                ("endless=repeat", "-2 -o {out} -c", again, None),
                ("endless=repeat", "-2 -s none", again, None),
                ("endless=repeat", "-2 -n 9", again, None),
                ("made=1001", "-2 -o {out} -l", file + " returned more than 1000 sources in "
                 "MSG_GETNEXT", thousand), ("made=1000", "-2 -o {out} -l", None, thousand),
                ("wait=-1", "-2 -o {out} -l", unload, two),
                ("wait=-1", "-o {out} -g", unload, b"Flatbed Pro\r\n"),
                ("crash=-1", "-o {out} -g", "{path} crashed (exception 0xC0000005)",
                 b"Flatbed Pro\r\n"), ("misbehave=wait-detach", "-2 -l", unload, None),
                ("misbehave=exit-detach", "-2 -l", "{path} ended the process", None)]:
            nods = scenario.startswith("misbehave=")
            with self.subTest(scenario=scenario, args=args), \
                    SourceManager(self.case, module="nods.ds" if nods else None) as sm:
                sm.write_scenario(sources=["Flatbed Pro", "Sheetfeed 2"], default=1)
                record = os.path.join(os.path.dirname(sm.path), file)  # nods.ds's files
                for name in (record + ".txt", record + ".loads"):
                    self.addCleanup(lambda n=name: os.path.exists(n) and os.remove(n))
                with open(record + ".txt" if nods else sm.scenario, "wb" if nods else "ab") as f:
                    f.write(scenario.encode() + b"\r\n")
                out = self.out_path()
                if os.path.exists(out):
                    os.remove(out)
                path = "C:\\windows\\" + os.path.relpath(sm.path, WINDOWS_C).replace("/", "\\")
                started = time.monotonic()
                r = self.run_dsm(sm, args.format(out=win_path(out)), timeout=70)
                self.assertLess(time.monotonic() - started, 60)
                warning = warning and warning.format(path=path.replace("twain_32.dll", file))
                code = 0 if scenario.endswith("-1") or not warning else 1
                self.assertEqual((r.code, r.messages), (code, [("warning", TITLE, warning)]
                                                        if warning else []))
                if left is not None:
                    self.assertEqual(file_bytes(out), left)
                if warning and "ended" in warning or unload == warning:  # no box: the log has it
                    self.assertEqual(log_lines(r.log())[-1], warning)

    def test_proxy_window_is_the_parent_and_its_failure_is_not_fatal(self):
        with SourceManager(self.case) as sm:
            sm.write_scenario(sources=["Flatbed Pro"], default=1)
            # Run with the display first: a Wine desktop started without one
            # would deny windows to every later run of this server.
            r = self.run_dsm(sm, "-g")
            self.assertEqual(r.messages, [report("Flatbed Pro\n")])
            hwnd = sm.calls()[0]
            self.assertEqual(hwnd["MSG"], MSG_OPENDSM)
            self.assertNotIn(hwnd["HWND"], ("NULL", "0x00000000"))

            r = self.run_dsm(sm, "-g", display=False)
            self.assertEqual(r.code, 0)
            self.assertEqual(r.messages, [
                ("warning", "TWAIN Error", "TWLINK: Unable to create proxy window"),
                report("Flatbed Pro\n")])
            # The address of the window field is still passed, holding no window.
            self.assertEqual(sm.calls()[0]["HWND"], "0x00000000")

    def test_state_trace_on_the_debugger_channel(self):
        with SourceManager(self.case) as sm:
            sm.write_scenario(sources=["Flatbed Pro", "Sheetfeed 2"], default=1)
            # The second action finds the manager open and traces nothing.
            r = self.run_dsm(sm, "-g -2 -l", wine_extra={"WINEDEBUG": "+debugstr"})
            self.assertEqual(r.code, 0)
            self.assertEqual(re.findall(rb"TWLK:[^\"\\\r\n]*", r.stderr),
                             [b"TWLK:State 2", b"TWLK:State 3"])


class DefaultSource(ManagerTestCase):
    def test_get_in_both_modes_opens_once(self):
        with SourceManager(self.case) as sm:
            sm.write_scenario(sources=["Flatbed Pro", "Sheetfeed 2"], default=2)
            r = self.run_dsm(sm, "-g -2 -g")
            self.assertEqual(r.code, 0)
            self.assertEqual(r.messages, [report("Sheetfeed 2\n")] * 2)
            self.assertEqual(self.messages_of(sm.calls()),
                             [MSG_OPENDSM, MSG_GETDEFAULT, MSG_GETDEFAULT])
            self.assertEqual(self.temp_reports(), [])

            r = self.run_dsm(sm, "")
            self.assertEqual(r.code, 0)
            self.assertEqual(r.messages, [report("Sheetfeed 2\n")])

            out = self.out_path()
            r = self.run_dsm(sm, "-2 -o %s -g" % win_path(out))
            self.assertEqual((r.code, r.messages), (0, []))
            self.assertEqual(file_bytes(out), b"Sheetfeed 2\r\n")

    def test_no_default_writes_nothing(self):
        out = self.out_path()
        with open(out, "wb") as f:
            f.write(b"keep me\r\n")
        with SourceManager(self.case) as sm:
            sm.write_scenario(sources=["Flatbed Pro"])
            r = self.run_dsm(sm, "-g")
            self.assertFatal(r, NO_DEFAULT)
            self.assertEqual(len(r.messages), 1)
            self.assertEqual(self.temp_reports(), [])
            r = self.run_dsm(sm, "-o %s -g" % win_path(out))
            self.assertFatal(r, NO_DEFAULT)
        self.assertEqual(file_bytes(out), b"keep me\r\n")


class Listing(ManagerTestCase):
    def test_templates_and_report_file(self):
        with SourceManager(self.case) as sm:
            sm.write_scenario(sources=[("Acme", "Flat Family", "Flatbed Pro"),
                                       ("Sheetco", "", "Sheetfeed 2")])
            r = self.run_dsm(sm, '-2 -l -la -ll "%P%:%N%:%F%"')
            self.assertEqual(r.code, 0)
            self.assertEqual(r.messages, [
                report("1=Flatbed Pro\n2=Sheetfeed 2\n"),
                report("1|Acme|Flat Family|Flatbed Pro|\n2|Sheetco||Sheetfeed 2|\n"),
                report("Flatbed Pro:1:Flat Family\nSheetfeed 2:2:\n")])
            self.assertEqual(self.temp_reports(), [])

            out = self.out_path()
            r = self.run_dsm(sm, "-2 -o %s -l" % win_path(out))
            self.assertEqual((r.code, r.messages), (0, []))
            self.assertEqual(file_bytes(out), b"1=Flatbed Pro\r\n2=Sheetfeed 2\r\n")

    def test_no_sources_gives_no_report(self):
        out = self.out_path()
        with SourceManager(self.case) as sm:
            sm.write_scenario(sources=[])
            r = self.run_dsm(sm, "-2 -l")
            self.assertFatal(r, NO_SOURCES)
            self.assertEqual(len(r.messages), 1)
            self.assertEqual(self.temp_reports(), [])
            r = self.run_dsm(sm, "-2 -o %s -la" % win_path(out))
            self.assertFatal(r, NO_SOURCES)
            self.assertEqual(len(r.messages), 1)
        self.assertFalse(os.path.exists(out))

    def test_catalogue_first_then_manager(self):
        folder = os.path.join(self.case.root, "sources")
        install_source(folder, "cat.ds", product="Catalogue Scanner")
        self.case.write_settings(
            "[Settings]\r\nds_dir=%s\r\nds_reg_dir=Software\\Halvorquin\\Test\r\n"
            "ds_reg_name=Default Source\r\n" % win_path(folder))
        with SourceManager(self.case) as sm:
            sm.write_scenario(sources=["Flatbed Pro", "Sheetfeed 2"])
            r = self.run_dsm(sm, "-l -2 -l")
            self.assertEqual(r.code, 0)
            self.assertEqual(r.messages, [report("1=Catalogue Scanner\n"),
                                          report("1=Flatbed Pro\n2=Sheetfeed 2\n")])


class SelectByName(ManagerTestCase):
    SOURCES = ["Sheetfeed 2", "Flatbed Pro", "Flatbed Pro Duplex"]

    def test_partial_names_pass_back_the_returned_record(self):
        with SourceManager(self.case) as sm:
            sm.write_scenario(sources=self.SOURCES, default=1)
            # 'flat' matches two: the first enumerated wins.
            for name, source_id in (("flat", 2), ("FLAT", 2), ('"atbed p"', 2), ("duplex", 3)):
                with self.subTest(name=name):
                    r = self.run_dsm(sm, "-2 -s %s" % name)
                    self.assertEqual((r.code, r.messages), (0, []))
                    self.assertSetPassesBack(sm.calls(), source_id)

            # The manager now reports the new default.
            r = self.run_dsm(sm, "-2 -s duplex -g")
            self.assertEqual(r.messages, [report("Flatbed Pro Duplex\n")])

    def test_not_found_and_refused(self):
        with SourceManager(self.case) as sm:
            # Manufacturer and family are not searched.
            sm.write_scenario(sources=[("Flatco", "Flat Family", "Sheetfeed 2")], default=1)
            r = self.run_dsm(sm, "-2 -s Flat")
            self.assertFatal(r, "Scanner: Flat - not found")
            self.assertNotIn(MSG_SET, self.messages_of(sm.calls()))

            sm.write_scenario(sources=["Sheetfeed 2", "Flatbed Pro"], default=1, set=1)
            r = self.run_dsm(sm, "-2 -s flat")
            self.assertFatal(r, REFUSED % ("flat", 1))
            self.assertEqual(len(r.messages), 1)
            self.assertSetPassesBack(sm.calls(), 2)


class SelectByNumber(ManagerTestCase):
    def test_numbers(self):
        with SourceManager(self.case) as sm:
            sm.write_scenario(sources=["Flatbed Pro", "Sheetfeed 2"], default=1)
            r = self.run_dsm(sm, "-2 -n 1")
            self.assertEqual((r.code, r.messages), (0, []))
            self.assertEqual(self.messages_of(sm.calls()),
                             [MSG_OPENDSM, MSG_GETFIRST, MSG_SET])
            self.assertSetPassesBack(sm.calls(), 1)

            r = self.run_dsm(sm, "-2 -n 2 -g")
            self.assertEqual((r.code, r.messages), (0, [report("Sheetfeed 2\n")]))
            self.assertEqual(self.messages_of(sm.calls()),
                             [MSG_OPENDSM, MSG_GETFIRST, MSG_GETNEXT, MSG_SET, MSG_GETDEFAULT])
            self.assertSetPassesBack(sm.calls(), 2)

            r = self.run_dsm(sm, "-2 -n 2x")
            self.assertEqual((r.code, r.messages), (0, []))
            self.assertSetPassesBack(sm.calls(), 2)

    def test_numbers_not_found(self):
        with SourceManager(self.case) as sm:
            sm.write_scenario(sources=["Flatbed Pro", "Sheetfeed 2"], default=1)
            for text, shown in (("0", 0), ("abc", "abc"), ("-1", -1), ("3", 3),
                                ("4294967297", "4294967297"), ("-2147483649x", "-2147483649")):
                with self.subTest(number=text):
                    r = self.run_dsm(sm, "-2 -n %s" % text)
                    self.assertFatal(r, "Scanner number %s - not found" % shown)
                    self.assertEqual(len(r.messages), 1)
                    calls = sm.calls()
                    self.assertNotIn(MSG_SET, self.messages_of(calls))
                    # The whole enumeration was walked, to its end.
                    self.assertEqual(calls[-1]["MSG"], MSG_GETNEXT)
                    self.assertNotEqual(calls[-1]["RC"], 0)

    def test_refused_set_reports_the_managers_code(self):
        with SourceManager(self.case) as sm:
            for code in (1, 4):
                with self.subTest(code=code):
                    sm.write_scenario(sources=["Flatbed Pro", "Sheetfeed 2"], default=1,
                                      set=code)
                    r = self.run_dsm(sm, "-2 -n 2")
                    self.assertFatal(r, REFUSED % ("source 2", code))
                    self.assertEqual(len(r.messages), 1)

    def test_debug_level_dumps_the_chosen_identity(self):
        with SourceManager(self.case) as sm:
            sm.write_scenario(sources=["Flatbed Pro", "Sheetfeed 2"], default=1)
            r = self.run_dsm(sm, "-2 -n 2")
            self.assertEqual(r.code, 0)
            self.assertNotIn("TW_IDENTITY : ", log_lines(r.log()))
            os.remove(os.path.join(self.case.temp, BUILD.log))

            # Any level but 0, a negative one too.
            for level in ("1", "-1"):
                with self.subTest(level=level):
                    log = os.path.join(self.case.temp, BUILD.log)
                    if os.path.exists(log):
                        os.remove(log)
                    r = self.run_dsm(sm, "-dbg=%s -2 -n 2" % level)
                    self.assertEqual(r.code, 0)
                    sent = [c for c in sm.calls() if c["MSG"] == MSG_SET][0]["BYTES"]
                    lines = [l for l in log_lines(r.log()) if not l.startswith("(VarSet) ")]
                    at = lines.index("TW_IDENTITY : ")
                    rows = dump_rows(sent)
                    self.assertEqual(len(rows), 10)
                    self.assertEqual(lines[at + 1:], rows)


class ChosenSourceManager(ManagerTestCase):
    """The setting dsm_path names the Source Manager file instead of the build's own."""

    def test_exactly_the_named_file_or_none(self):
        shutil.copy(os.path.join(BUILD.fixtures, BUILD.manager_file),
                    os.path.join(self.case.root, "dsm.dll"))
        missing = win_path(os.path.join(self.case.root, "missing.dll"))
        bare = win_path(os.path.join(self.case.root, BUILD.manager_file))
        # (the build's own in place, dsm_path, the file a run without it names)
        for own, value, tried in (
                (False, win_path(os.path.join(self.case.root, "dsm.dll")), None),
                (False, "dsm.dll", None),  # from the working folder
                (True, "", None),
                (True, missing, missing),
                (True, BUILD.manager_file, bare)):  # never along the DLL search path
            with self.subTest(value=value), SourceManager(self.case, absent=not own) as sm:
                self.case.write_settings("[Settings]\r\nds_dir=x\r\nds_reg_dir=y\r\n"
                                         "ds_reg_name=z\r\ndsm_path=%s\r\n" % value)
                sm.write_scenario(sources=["Flatbed Pro", "Sheetfeed 2"], default=1)
                r = self.run_dsm(sm, "-g -2 -l -n 2 -g", cwd=self.case.root)
                if tried is None:
                    self.assertEqual((r.code, r.messages), (0, [
                        report("Flatbed Pro\n"), report("1=Flatbed Pro\n2=Sheetfeed 2\n"),
                        report("Sheetfeed 2\n")]))
                else:
                    self.assertFatal(r, CANT_OPEN % (tried, NOT_FOUND))
                    self.assertEqual(sm.calls(), [])


@only_for("x86")  # Wine has no 64-bit TWAINDSM.DLL
class WineSourceManager(WineTestCase):
    """Wine's own TWAIN_32.DLL: whatever it enumerates, and it refuses MSG_SET."""

    def test_get_and_list_agree_with_the_data_source_files(self):
        # The catalogue reads the same data-source files without the manager.
        self.case.write_settings(
            "[Settings]\r\nds_dir=C:\\windows\\twain_32\r\n"
            "ds_reg_dir=Software\\Halvorquin\\Test\r\nds_reg_name=Default Source\r\n")
        r = self.case.run("-la -2 -la -l -g")
        self.assertEqual(r.code, 0, r)
        self.assertEqual(len(r.messages), 4, r)
        self.assertTrue(all(m[:2] == ("information", PROGRAM_NAME) for m in r.messages))
        catalogue, full, short, default = (m[2] for m in r.messages)

        full_lines = full.splitlines()
        self.assertTrue(full_lines)
        fields = [line.split("|") for line in full_lines]
        for number, f in enumerate(fields, 1):
            self.assertEqual(len(f), 5, full)
            self.assertEqual((f[0], f[4]), (str(number), ""))
        products = [f[3] for f in fields]
        self.assertIn("GPhoto2 Camera", products)
        self.assertEqual(sorted(tuple(f[1:4]) for f in fields),
                         sorted(tuple(line.split("|")[1:4]) for line in catalogue.splitlines()))

        self.assertEqual(short, "".join("%d=%s\n" % (n, p) for n, p in enumerate(products, 1)))
        self.assertIn(default[:-1], products)
        self.assertEqual(default[-1], "\n")

    def test_set_is_refused(self):
        r = self.case.run("-2 -n 1")
        self.assertFatal(r, REFUSED % ("source 1", 1))
        r = self.case.run("-2 -s gPhoto")
        self.assertFatal(r, REFUSED % ("gPhoto", 1))


if __name__ == "__main__":
    unittest.main()
