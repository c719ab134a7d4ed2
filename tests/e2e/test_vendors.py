"""Data sources shaped as vendors ship them (libraries beside the source, which
it imports or loads by bare name; the origin read), listed as the TWAIN Working
Group's Source Manager lists them; and sources that leave a library, a thread
or a broken loader behind, for which no innocent source is blamed or misnamed."""

import json
import os
import pathlib
import re
import shutil
import unittest

from harness import (BUILD, GERMAN, SourceManager, file_bytes, install_program, install_source,
                     loads, win_path)
from test_catalog import REG_NAME, CatalogCase, scan_order

PEER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared",
                    "peer-dsm", {"x86": "32", "x64": "64"}[BUILD.name], "TWAINDSM.dll")
ORIGIN = (" (crashed with exception 0xC0000005 when first asked, answered when asked again with "
          "%s's identity)" % BUILD.program)


def companion(folder, name, product):
    """A vendor's library beside its source, telling this product."""
    return install_source(folder, name, variant="vhelper.dll", product=product)


def shapes(ds, prefix=""):
    """The three shapes, each in a vendor's folder: {file name: (product, note)}."""
    install_source(os.path.join(ds, prefix + "A"), "alpha.ds", variant="testds_import")
    companion(os.path.join(ds, prefix + "A"), "vhelper.dll", "Alpha Flatbed")
    install_source(os.path.join(ds, prefix + "B"), "beta.ds", load="vbeta.dll", product="Beta")
    companion(os.path.join(ds, prefix + "B"), "vbeta.dll", "unused")
    install_source(os.path.join(ds, prefix + "C"), "origin.ds", misbehave="read-origin",
                   product="Origin Reader")
    return {"alpha.ds": ("Alpha Flatbed", ""), "beta.ds": ("Beta", ""),
            "origin.ds": ("Origin Reader", ORIGIN)}


class VendorShapes(CatalogCase):
    def test_listed_checked_and_set_with_relative_reports(self):
        listed = shapes(self.ds)
        missing = install_source(os.path.join(self.ds, "D"), "delta.ds", variant="testds_import")
        order = scan_order(self.ds)
        sources = [(p,) + listed[os.path.basename(p)] for p in order if p != missing]
        # Relative -o files, before and after the scan, land where Corvane runs.
        r = self.case.run("-o l.txt -l -o la.txt -la -o lj.json -lj -o c.txt -c",
                          cwd=self.case.root)
        self.assertEqual((r.code, r.messages), (0, []))
        read = lambda name: file_bytes(self.out(name)).decode()
        self.assertEqual(read("l.txt"), "".join("%d=%s\r\n" % (n, s[1])
                                               for n, s in enumerate(sources, 1)))
        self.assertEqual(read("la.txt"), "".join("%d|Test Manufacturer|Test Family|%s|%s\r\n" % (
            n, s[1], win_path(s[0])) for n, s in enumerate(sources, 1)))
        self.assertEqual([(o["product"], o["file"]) for o in json.loads(read("lj.json"))],
                         [(s[1], win_path(s[0])) for s in sources])
        lines = {s[0]: "source %d: %s%s" % (n, s[1], s[2]) for n, s in enumerate(sources, 1)}
        lines[missing] = "not loaded: needs vhelper.dll, which is not found (error 126)"
        self.assertEqual(read("c.txt"), "".join("%s: %s\r\n" % (win_path(p), lines[p])
                                                for p in order) + "default: none\r\n")
        number = {s[1]: (n, s[0]) for n, s in enumerate(sources, 1)}
        for args, product in (("-s origin", "Origin Reader"), ("-s alpha", "Alpha Flatbed"),
                              ("-n %d" % number["Beta"][0], "Beta")):
            with self.subTest(args=args):
                self.assertEqual(self.case.run(args).code, 0)
                self.assertDefault(number[product][1])

    def test_asked_here_with_the_identity_where_no_worker_starts_after_its_crash(self):
        self.case.program = install_program(self.out("program"))  # the source moves it away
        origin = install_source(self.ds, "origin.ds", misbehave="read-origin", program="hide",
                                product="Origin Reader")
        r = self.case.run("-o c.txt -c", cwd=self.case.root)
        self.assertEqual((r.code, r.messages), (0, []))
        self.assertEqual(file_bytes(self.out("c.txt")).decode().split("\r\n")[1:],
                         ["%s: source 1: Origin Reader%s" % (win_path(origin), ORIGIN),
                          "default: none", ""])

    @unittest.skipUnless(os.path.exists(PEER), "the TWAIN Working Group's Source Manager is not "
                         "in ../shared/peer-dsm: nothing to hold the catalogue against")
    def test_the_source_manager_lists_nothing_the_catalogue_does_not(self):
        # Where it looks (the build's TWAIN folder, at every depth), one folder down.
        args = "-o cat.txt -ll %P% -2 -o peer.txt -ll %P%"
        try:
            shapes(BUILD.twain_host, "E2E ")
            self.settings(ds_dir=BUILD.twain)
            if BUILD.name == "x86":  # as TWAIN_32.DLL, where 32-bit applications find it
                with SourceManager(self.case, module=PEER) as sm:
                    r = self.case.run(args, cwd=self.case.root, wine_extra=sm.wine_extra)
            else:  # named by dsm_path
                with open(self.case.user_settings, "ab") as f:
                    f.write(b"dsm_path=%s\r\n" % win_path(PEER).encode())
                r = self.case.run(args, cwd=self.case.root)
            self.assertEqual((r.code, r.messages), (0, []))
            listed = [sorted(read.split("\r\n")) for read in
                      (file_bytes(self.out(n)).decode() for n in ("cat.txt", "peer.txt"))]
            self.assertEqual(listed[0], listed[1])
            self.assertTrue({"Alpha Flatbed", "Beta", "Origin Reader"} <= set(listed[0]))
        finally:
            for name in os.listdir(BUILD.twain_host):
                if name.startswith("E2E "):
                    shutil.rmtree(os.path.join(BUILD.twain_host, name))


HANG = {"misbehave": "wait-attach"}  # a library whose start-up never ends
ALPHA = {"variant": "vhelper.dll", "product": "Alpha Helper"}
SIGNAL = {"signal": 1, "sleep": 1000}  # slow to start, and tells the one before
SXS = {"variant": "testds_sxs"}  # Common Controls 6 and GDI+ 1.1 by its manifest
THREAD = "left 1 thread running"
CHANGED = "left the worker changed: %s failed after it there and answered alone"
# Each row: a vendor's folder, the culprit first, as {file: behaviour}; and what
# the check notes of a source there, where it notes something, as {file: note}
# or {file: (note, times loaded in one run[, product])}. A product is its file's
# name but where the row names it. Other vendors' folders follow it in every
# row: each source must say what it says when asked alone. Bytes are a file
# that is no module; times None, as the workers fall; product OUT, not listed.
OUT = None
CULPRITS = [
    ("same-named library kept", {"alpha.ds": {"keep": "vhelper.dll"}, "vhelper.dll": ALPHA},
     {"alpha.ds": "left vhelper.dll loaded"}),
    ("loader's lock kept", {"keeper.ds": {"later": "hang.dll"}, "hang.dll": HANG},
     {"keeper.ds": "left keeper.ds loaded and 1 thread running"}),
    # After another: it is asked afresh, and blamed there.
    ("loader taken as it is freed", {"ahead.ds": {}, "taker.ds": {"free-load": "hang.dll"},
                                     "hang.dll": HANG},
     {"taker.ds": ("left the system's loader locked", 2)}),
    ("loader broken", {"breaker.ds": {"misbehave": "break-loader"}}, {}),
    # The DLL directory and PATH lead to another vendor's folder, which holds
    # the library the next source looks for.
    ("search led elsewhere", {"setter.ds": {"dlldir": "b"}, "zpath.ds": {"try": "vhelper.dll"}},
     {}),
    ("DLL folders narrowed", {"narrower.ds": {"dlldir": "narrow"}, "vhelper.dll": ALPHA}, {}),
    ("no origin refused", {"needy.ds": {"misbehave": "need-origin"}},
     {"needy.ds": "answered when given %s's identity" % BUILD.program}),
    ("thread ended by force", {"ender.ds": {"threads": "ended"}}, {}),
    ("system's thread pool used", {"apool.ds": {}, "pooler.ds": {"threads": "pool"}}, {}),
    ("thread of its own after another", {"anown.ds": {}, "owner.ds": {"threads": "own"}},
     {"owner.ds": THREAD}),
    # Its thread starts in a system library: after another, it is asked afresh.
    ("C run-time's thread", {"acrt.ds": {}, "crt.ds": {"threads": "crt"}, "zcrt.ds": {}},
     {"crt.ds": (THREAD, 2)}),
    ("multimedia timer", {"mmtimer.ds": {"threads": "timer"}, "zmm.ds": {}},
     {"mmtimer.ds": THREAD}),
    ("system library kept", {"system.ds": {"keep": "version.dll"}}, {}),
    ("side-by-side libraries kept", {"cc6.ds": dict(SXS, keep="comctl32.dll"),
                                     "gdip.ds": dict(SXS, keep="gdiplus.dll"), "zsxs.ds": {}}, {}),
    ("decimal comma", {"comma.ds": {"locale": "German_Germany.1252"},
                       "zfirmware.ds": {"firmware": 1}}, {"zfirmware.ds": ("", 1, "Firmware 2.5")}),
    ("exceptions unmasked", {"fpu.ds": {"fpu": "unmask"}, "zdivide.ds": {"divide": 1}}, {}),
    # What cannot be put back makes the next source fail: it answers afresh,
    # fails again right after the one before it, and that one is named.
    ("handler left in freed code", {"handler.ds": {"handler": "left"},
                                    "zhandled.ds": {"fault": "handled"}},
     {"handler.ds": (CHANGED % "zhandled.ds", 2), "zhandled.ds": ("", 3)}),
    ("wait left in freed code", {"waitleft.ds": {"wait": "late"}, "zsignal.ds": SIGNAL},
     {"waitleft.ds": (CHANGED % "zsignal.ds", 2), "zsignal.ds": ("", 3)}),
    # It fails on its first load whatever came before, nobody is blamed: asked
    # after the slow one (one worker) or beside it (four, as alone), it says the same.
    ("first load failing", {"asleep.ds": {"sleep": 1000}, "waking.ds": {"crash": "first"}},
     {"asleep.ds": ("", None), "waking.ds": (ORIGIN[2:-1], None)}),
    # What the file explains stands, though a thread of the first spoils the
    # answer of the file without an entry.
    ("failures the file explains", {"early.ds": {"threads": "late"}, "junk.ds": b"not a module",
                                    "noentry.ds": {"variant": "nods", "signal": 1},
                                    "ordinal.ds": {"variant": "testds_ordinal"}},
     {"junk.ds": ("", 0, OUT), "noentry.ds": ("", 1, OUT)}),
    # A thread of the first, outside any module, comes while the second starts
    # (which waits for it): the second's answer is not taken, but asked afresh.
    ("late thread", {"late.ds": {"threads": "late"}, "slow.ds": SIGNAL}, {"slow.ds": ("", 2)}),
    # The loader, taken for good by a thread of the first while the second
    # starts: the second waits past the limit, and is asked afresh.
    ("loader taken later", {"lateload.ds": {"late-load": "hang.dll"}, "hang.dll": HANG,
                            "waiter.ds": SIGNAL}, {"waiter.ds": ("", 2)}),
    # An answer to a worker's first request, sent while the second is asked.
    ("forged answer", {"plain.ds": {}, "zforge.ds": {"forge": 0}},
     {"zforge.ds": ("", 2, "Forged")}),
]
# Other vendors' sources: a library of the same name as the culprit's, one of
# its own loaded by bare name, and none.
INNOCENTS = {"b": {"beta.ds": {"variant": "testds_import"},
                   "vhelper.dll": {"variant": "vhelper.dll", "product": "beta"}},
             "c": {"gamma.ds": {"load": "vgamma.dll"}, "vgamma.dll": {"variant": "vhelper.dll"}},
             "g": {"good.ds": {}}}


def install(folder, files):
    for name, behaviour in files.items():
        if isinstance(behaviour, bytes):
            pathlib.Path(folder, name).write_bytes(behaviour)
        else:
            install_source(folder, name, **behaviour)


class AsIfAlone(CatalogCase):
    def check(self, ds, workers=4):
        """What the check says of each source, by file name: (its number,
        product or failure, note); and the listing."""
        # The limit leaves a busy machine's first load of the windowing and
        # side-by-side libraries room; the rows that wait it out wait it once.
        self.case.write_settings("[Settings]\r\nds_dir=%s\r\nds_reg_dir=%s\r\nds_reg_name=%s\r\n"
                                 "ds_timeout=8\r\nds_workers=%d\r\n"
                                 % (win_path(ds), self.reg_key, REG_NAME, workers))
        # The user's locale writes a decimal comma: only "C" put back keeps a source's.
        r = self.case.run("-o l.txt -l -o c.txt -c", cwd=self.case.root, timeout=90,
                          wine_extra=GERMAN)
        self.assertEqual((r.code, r.messages), (0, []))
        said = {}
        for line in file_bytes(self.out("c.txt")).decode("cp1252").split("\r\n")[:-2]:
            path, text = line.split(": ", 1)
            match = re.match(r"source (\d+): (.*?)(?: \((.*)\))?$", text)
            said[path.split("\\")[-1]] = ((int(match.group(1)),) + match.group(2, 3) if match
                                           else (0, text, None))
        return said, file_bytes(self.out("l.txt")).decode()

    def test_every_source_says_what_it_says_alone(self):
        alone = {}  # by file name: each is used by one row only
        for name, files in [(n, f) for n, f, _ in CULPRITS] + list(INNOCENTS.items()):
            ds = self.out(os.path.join("alone", re.sub(r"\W", "-", name)))
            install(ds, files)
            alone.update({file: said[1:] for file, said in self.check(ds)[0].items()})
        for name, files, noted in CULPRITS:
            ds = self.out(re.sub(r"\W", "-", name))
            install(ds, files)
            for folder, innocents in INNOCENTS.items():
                install(os.path.join(ds, folder), innocents)
            paths = {os.path.basename(p): p for p in scan_order(ds)}
            expected = {}
            for file in paths:
                e = noted.get(file, ())
                e = (e,) if isinstance(e, str) else e
                expected[file] = e + ("", 1, file[:-3])[len(e):]  # note, times, product
            for workers in (1, 4):
                with self.subTest(name, workers=workers):
                    for path in paths.values():
                        if os.path.exists(path + ".loads"):
                            os.remove(path + ".loads")
                    said, listed = self.check(ds, workers)
                    sources = [f for f in paths if expected[f][2] != OUT]
                    self.assertEqual(listed, "".join("%d=%s\r\n" % (n, expected[f][2])
                                                     for n, f in enumerate(sources, 1)))
                    for file in paths:
                        note, times, product = expected[file]
                        number = sources.index(file) + 1 if product != OUT else 0
                        self.assertEqual(said[file], (number,) + alone[file], file)
                        if product != OUT:
                            self.assertEqual(alone[file], (product, note or None), file)
                        if times is not None:
                            self.assertEqual(loads(paths[file]).count("load"), times, file)

if __name__ == "__main__":
    unittest.main()
