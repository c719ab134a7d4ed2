"""Data sources shaped as vendors ship them: libraries beside the source, which
it imports or loads by bare name, a source that reads the origin it is given,
and sources that leave threads, libraries or a broken loader behind. Every
one of them is listed as the TWAIN Working Group's Source Manager lists it,
and no source is blamed or misnamed for what another one did."""

import json
import os
import shutil
import unittest

from harness import (BUILD, FIXTURES, SourceManager, file_bytes, install_source, loads,
                     win_path)
from test_catalog import REG_NAME, CatalogCase, scan_order

PEER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared",
                    "peer-dsm", {"x86": "32", "x64": "64"}[BUILD.name], "TWAINDSM.dll")
ORIGIN = "answered when given %s's identity" % BUILD.program


def companion(folder, name, product):
    """A vendor's library beside its source, telling this product."""
    os.makedirs(folder, exist_ok=True)
    shutil.copy(os.path.join(FIXTURES, "vhelper.dll"), os.path.join(folder, name))
    with open(os.path.join(folder, name + ".txt"), "wb") as f:
        f.write(b"product=%s\r\n" % product.encode())


def vendor_shapes(ds, prefix=""):
    """The three shapes, each in a vendor's folder below ds (its name after the
    prefix): (path, product) in scan order."""
    alpha, beta, gamma = (os.path.join(ds, prefix + name) for name in ("Alpha", "Beta", "Gamma"))
    install_source(alpha, "alpha.ds", variant="testds_import")
    companion(alpha, "vhelper.dll", "Alpha Flatbed")
    install_source(beta, "beta.ds", load="vbeta.dll", product="Beta Sheetfeed")
    companion(beta, "vbeta.dll", "unused")
    install_source(gamma, "origin.ds", misbehave="read-origin", product="Origin Reader")
    products = {"alpha.ds": "Alpha Flatbed", "beta.ds": "Beta Sheetfeed",
                "origin.ds": "Origin Reader"}
    return [(p, products[os.path.basename(p)]) for p in scan_order(ds)
            if os.path.basename(p) in products]


class VendorShapes(CatalogCase):
    def test_listed_checked_and_set_with_relative_reports(self):
        sources = vendor_shapes(self.ds)
        missing = install_source(os.path.join(self.ds, "Delta"), "delta.ds",
                                 variant="testds_import")
        sources = [s for s in sources if s[0] != missing]
        # Relative -o files, before and after the scan, land where Corvane runs.
        r = self.case.run("-o l.txt -l -o la.txt -la -o lj.json -lj -o c.txt -c",
                          cwd=self.case.root)
        self.assertEqual((r.code, r.messages), (0, []))
        read = lambda name: file_bytes(self.out(name)).decode()
        self.assertEqual(read("l.txt"), "".join("%d=%s\r\n" % (n, p) for n, (_, p) in
                                               enumerate(sources, 1)))
        self.assertEqual(read("la.txt"), "".join(
            "%d|Test Manufacturer|Test Family|%s|%s\r\n" % (n, p, win_path(path))
            for n, (path, p) in enumerate(sources, 1)))
        self.assertEqual([(o["product"], o["file"]) for o in json.loads(read("lj.json"))],
                         [(p, win_path(path)) for path, p in sources])
        numbers = {path: n for n, (path, _) in enumerate(sources, 1)}
        lines = {path: "%s: source %d: %s%s" % (win_path(path), numbers[path], p,
                                                " (%s)" % ORIGIN if p == "Origin Reader" else "")
                 for path, p in sources}
        lines[missing] = "%s: not loaded: needs vhelper.dll, which is not found (error 126)" % (
            win_path(missing))
        self.assertEqual(read("c.txt"),
                         "".join(lines[p] + "\r\n" for p in scan_order(self.ds)) +
                         "default: none\r\n")
        for args, chosen in (("-s origin", "Origin Reader"), ("-s alpha", "Alpha Flatbed"),
                             ("-n %d" % numbers[sources[1][0]], sources[1][1])):
            with self.subTest(args=args):
                r = self.case.run(args)
                self.assertEqual((r.code, r.messages), (0, []))
                self.assertDefault(next(path for path, p in sources if p == chosen))

    @unittest.skipUnless(os.path.exists(PEER), "the TWAIN Working Group's Source Manager is not "
                         "in ../shared/peer-dsm: nothing to hold the catalogue against")
    def test_the_source_manager_lists_nothing_the_catalogue_does_not(self):
        # Where the Source Manager looks (the build's own TWAIN folder, at every
        # depth) and the catalogue too (one folder down).
        args = "-o cat.txt -ll %P% -2 -o peer.txt -ll %P%"
        try:
            vendor_shapes(BUILD.twain_host, "E2E ")
            self.settings(ds_dir=BUILD.twain)
            if BUILD.name == "x86":  # as TWAIN_32.DLL, where 32-bit applications find it
                with SourceManager(self.case, module=PEER) as sm:
                    r = self.case.run(args, cwd=self.case.root, wine_extra=sm.wine_extra)
            else:  # named by dsm_path
                with open(self.case.user_settings, "ab") as f:
                    f.write(b"dsm_path=%s\r\n" % win_path(PEER).encode())
                r = self.case.run(args, cwd=self.case.root)
            self.assertEqual((r.code, r.messages), (0, []))
            listed = [sorted(file_bytes(self.out(n)).decode().split("\r\n"))
                      for n in ("cat.txt", "peer.txt")]
            self.assertEqual(listed[0], listed[1])
            self.assertTrue({"Alpha Flatbed", "Beta Sheetfeed", "Origin Reader"} <= set(listed[0]))
        finally:
            for name in os.listdir(BUILD.twain_host):
                if name.startswith("E2E "):
                    shutil.rmtree(os.path.join(BUILD.twain_host, name))


def same_named_libraries(ds):
    # Two vendors' libraries of one name; the first source keeps its own loaded.
    install_source(ds, "alpha.ds", keep="vhelper.dll", product="Alpha")
    companion(ds, "vhelper.dll", "Alpha Helper")
    install_source(os.path.join(ds, "b"), "beta.ds", variant="testds_import")
    companion(os.path.join(ds, "b"), "vhelper.dll", "Beta Scanner")
    return {"alpha.ds": ("Alpha", " (left vhelper.dll loaded)"), "beta.ds": ("Beta Scanner", "")}


def lock_keeper(ds):
    # Its thread, a moment after its answer, takes the loader's lock for good.
    install_source(ds, "keeper.ds", later="hang.dll", product="Lock Keeper")
    install_source(ds, "hang.dll", misbehave="wait-attach")
    return {"keeper.ds": ("Lock Keeper", " (left keeper.ds loaded and 1 thread running)")}


def loader_breaker(ds):
    # It leaves nothing to see, but the next load in its process faults.
    install_source(ds, "breaker.ds", misbehave="break-loader", product="Breaker")
    return {"breaker.ds": ("Breaker", "")}


class LeftBehind(CatalogCase):
    """Sources that leave their worker changed, first in the scan, with innocent
    ones after them: each listed under its own name, none blamed."""

    def test_no_innocent_source_is_blamed_or_misnamed(self):
        for scenario in (same_named_libraries, lock_keeper, loader_breaker):
            ds = self.out(scenario.__name__)
            listed = scenario(ds)
            for i in range(3):
                install_source(os.path.join(ds, "g"), "good%d.ds" % i, product="Good %d" % i)
                listed["good%d.ds" % i] = ("Good %d" % i, "")
            expected = [(p,) + listed[os.path.basename(p)] for p in scan_order(ds)]
            outputs = []
            for workers in (1, 4):
                with self.subTest(scenario.__name__, workers=workers):
                    self.case.write_settings(
                        "[Settings]\r\nds_dir=%s\r\nds_reg_dir=%s\r\nds_reg_name=%s\r\n"
                        "ds_timeout=5\r\nds_workers=%d\r\n"
                        % (win_path(ds), self.reg_key, REG_NAME, workers))
                    r = self.case.run("-o l.txt -l -o c.txt -c", cwd=self.case.root, timeout=90)
                    self.assertEqual((r.code, r.messages), (0, []))
                    outputs.append([file_bytes(self.out(n)) for n in ("l.txt", "c.txt")])
                    self.assertEqual(outputs[-1][0].decode(), "".join(
                        "%d=%s\r\n" % (n, p) for n, (_, p, _) in enumerate(expected, 1)))
                    self.assertEqual(outputs[-1][1].decode(), "".join(
                        "%s: source %d: %s%s\r\n" % (win_path(path), n, p, note)
                        for n, (path, p, note) in enumerate(expected, 1)) + "default: none\r\n")
            self.assertEqual(outputs[0], outputs[1])


if __name__ == "__main__":
    unittest.main()
