"""Data sources shaped as vendors ship them (libraries beside the source, which
it imports or loads by bare name; the origin read), listed as the TWAIN Working
Group's Source Manager lists them; and sources that leave a library, a thread
or a broken loader behind, for which no innocent source is blamed or misnamed."""

import json
import os
import shutil
import unittest

from harness import BUILD, SourceManager, file_bytes, install_source, win_path
from test_catalog import REG_NAME, CatalogCase, scan_order

PEER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared",
                    "peer-dsm", {"x86": "32", "x64": "64"}[BUILD.name], "TWAINDSM.dll")
ORIGIN = " (answered when given %s's identity)" % BUILD.program


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


def same_named_libraries(ds):  # the first keeps its own loaded
    install_source(ds, "alpha.ds", keep="vhelper.dll", product="Alpha")
    companion(ds, "vhelper.dll", "Alpha Helper")
    install_source(os.path.join(ds, "b"), "beta.ds", variant="testds_import")
    companion(os.path.join(ds, "b"), "vhelper.dll", "Beta")
    return {"alpha.ds": ("Alpha", " (left vhelper.dll loaded)"), "beta.ds": ("Beta", "")}


def lock_keeper(ds):  # its thread takes the loader's lock for good after its answer
    install_source(ds, "keeper.ds", later="hang.dll", product="Keeper")
    install_source(ds, "hang.dll", misbehave="wait-attach")
    return {"keeper.ds": ("Keeper", " (left keeper.ds loaded and 1 thread running)")}


def loader_breaker(ds):  # nothing to see, but the next load in its process faults
    install_source(ds, "breaker.ds", misbehave="break-loader", product="Breaker")
    return {"breaker.ds": ("Breaker", "")}


class LeftBehind(CatalogCase):
    def test_no_innocent_source_is_blamed_or_misnamed(self):
        for scenario in (same_named_libraries, lock_keeper, loader_breaker):
            ds = self.out(scenario.__name__)
            listed = scenario(ds)  # first in the scan, innocent ones after it
            for i in range(3):
                install_source(os.path.join(ds, "g"), "good%d.ds" % i, product="Good %d" % i)
                listed["good%d.ds" % i] = ("Good %d" % i, "")
            sources = [(p,) + listed[os.path.basename(p)] for p in scan_order(ds)]
            expected = ["".join("%d=%s\r\n" % (n, s[1]) for n, s in enumerate(sources, 1)),
                        "".join("%s: source %d: %s%s\r\n" % (win_path(s[0]), n, s[1], s[2])
                                for n, s in enumerate(sources, 1)) + "default: none\r\n"]
            for workers in (1, 4):
                with self.subTest(scenario.__name__, workers=workers):
                    self.case.write_settings(
                        "[Settings]\r\nds_dir=%s\r\nds_reg_dir=%s\r\nds_reg_name=%s\r\n"
                        "ds_timeout=5\r\nds_workers=%d\r\n"
                        % (win_path(ds), self.reg_key, REG_NAME, workers))
                    r = self.case.run("-o l.txt -l -o c.txt -c", cwd=self.case.root, timeout=90)
                    self.assertEqual((r.code, r.messages), (0, []))
                    self.assertEqual([file_bytes(self.out(n)).decode() for n in ("l.txt", "c.txt")],
                                     expected)


if __name__ == "__main__":
    unittest.main()
