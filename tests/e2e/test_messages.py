"""What a user is told when something is wrong: command line, settings, exit
code, and the message, a box's whole text (ending in a line end) or a line of it."""

import os
import unittest

from harness import (BUILD, PROGRAM_NAME, TITLE, Case, WineTestCase, file_bytes, install_source,
                     win_path)


def junk(folder):  # a *.ds file that is no module
    open(os.path.join(folder, "x.ds"), "wb").close()


def needing(name):
    """Puts a copy of the test source whose imports name two DLLs that are nowhere."""
    def put(folder):
        data = file_bytes(os.path.join(BUILD.fixtures, "testds.ds"))
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data.replace(b"KERNEL32.dll\0", b"libsane1.dll\0", 1).replace(
                b"msvcrt.dll\0", b"nosuch.dll\0", 1))
    return put


NEEDS = "needs libsane1.dll and nosuch.dll, which are not found (error 126)"
ROWS = [
    # (command line, ds_dir, dsm_path, what goes into the case's ds folder, exit code, message)
    ("-l", "{ds}", "", None, 0, "No TWAIN data sources in {ds}\n"),
    ("-l", "{ds}", "", junk, 0, "No TWAIN data sources in {ds}\n"
     "None of the *.ds files there answers: {program} -c tells why\n"),
    ("-l", "{ds}\\x.ds", "", junk, 0, "{ds}\\x.ds is not a folder\n"),
    ("-lj", "{ds}\\missing", "", None, 0, "[]\n"),  # what scripts read stays
    ("-c", "{ds}\\missing\\deeper", "", None, 0,
     "ds_dir {ds}\\missing\\deeper does not exist: Path not found. (error 3)"),
    ("-c", "{ds}\\x.ds", "", junk, 0,
     "ds_dir {ds}\\x.ds is not a folder: Directory name invalid. (error 267)"),
    ("-c", "{ds}", "", needing("needy.ds"), 0, "{ds}\\needy.ds: not loaded: " + NEEDS),
    ("-c", "{ds}", "", lambda d: install_source(d, "refuse.ds", attach="refuse"), 0,
     "{ds}\\refuse.ds: not loaded: DLL initialization failed. (error 1114); its start-up code "
     "refused to load"),
    # Wine's own, whose built-in part Wine lacks here: no DLL to name.
    ("-c", BUILD.twain, "", None, 0, BUILD.twain + "\\sane.ds: not loaded: Module not found. "
     "(error 126); the file is there, but a DLL it needs is missing"),
    ("-g", "{ds}", "{ds}\\needy.dll", needing("needy.dll"), 1,
     "Can't open TWAIN Source Manager {ds}\\needy.dll: " + NEEDS),
]


class Messages(WineTestCase):
    def test_rows(self):
        for number, (args, ds_dir, dsm_path, put, code, message) in enumerate(ROWS):
            with self.subTest(args=args, message=message):
                case = Case("%s.%d" % (self.id(), number))
                ds = os.path.join(case.root, "ds")
                os.makedirs(ds)
                (put or bool)(ds)
                values = {"ds": win_path(ds), "program": BUILD.program}
                case.write_settings(("[Settings]\r\nds_dir=%s\r\nds_reg_dir=x\r\nds_reg_name=x\r\n"
                                     "dsm_path=%s\r\n" % (ds_dir, dsm_path)).format(**values))
                r = case.run(args)
                self.assertEqual(r.code, code, r)
                kind, caption, text = r.messages[-1]
                self.assertEqual((kind, caption), ("warning", TITLE) if code else
                                 ("information", PROGRAM_NAME))
                message = message.format(**values)
                self.assertIn(message, [text] if message.endswith("\n") else text.split("\n"))


if __name__ == "__main__":
    unittest.main()
