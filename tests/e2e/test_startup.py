"""Start-up and the command-line driver, seen from outside."""

import os
import re
import time
import unittest

from harness import BUILD, TITLE, WineTestCase, date_header, run_and_close_box, win_path

USAGE = (
    "Usage:\n\n{0} ([OPTS] ACTION)*\n\nACTIONs are:\n-g\tGet current scanner name\n"
    "-l\tList installed scanner(s)\n-ll fmt\tLong List of installed scanner(s), with additional "
    "detail\n\tfmt can contain:\n\t%N% = scanner number\n\t%M% = manufacturer name\n\t%F% = "
    "scanner family name\n\t%P% = scanner product name\n\t%D% = data source file\n-la\tList all "
    "info about installed scanner(s)\n-lj\tList all info about installed scanner(s) as JSON\n-c\t"
    "Check installed scanner(s): why one is missing\n-s name\tSet current scanner by name. name "
    "can be a partial match.\n-n num\tSet current scanner by number (1...)\n-u\tUnset current "
    "scanner (TWAIN then uses the first one)\n-logon file\tSet current scanner to this data "
    "source file, with no box (at sign-in)\n\nOPTS are:\n"
    "-o outfile\tSend output to outfile (use with -l, -ll, -la, -lj, -c or -g)\n-2\tUse DSM "
    "Version 2 (not shipped by default with Windows)\n\tNOTE: -s and -n won't work in -2 unless "
    "you add twaindsm.dll\n-all\tApply -s, -n, -u and -g to every user of the computer, present "
    "and future\n\t(run as administrator; not with -2)\n-keep\tWith -s and -n, keep a scanner "
    "the user chose\n-atlogon\tWith -all, also set it at each user's next sign-in\n\n{0} -help\nShow online help.\n\nThe default (no opts or actions) "
    "is -g.").format(BUILD.program)

VERSION = re.compile(r"Build date:\t[A-Z][a-z]{2} [ 0-9]\d \d{4}\nBuild time:\t\d\d:\d\d:\d\d\n\Z")


class SingleArgumentForms(WineTestCase):
    def test_usage(self):
        r = self.case.run("-?")
        self.assertEqual(r.code, 0)
        self.assertOnlyMessage(r, "information", TITLE, USAGE)
        # The single-argument forms never read or install the settings.
        self.assertIsNone(r.log())

    def test_version_ignores_case(self):
        r = self.case.run("-Ver")
        self.assertEqual(r.code, 0)
        self.assertEqual(len(r.messages), 1)
        kind, caption, text = r.messages[0]
        self.assertEqual((kind, caption), ("information", TITLE))
        self.assertRegex(text, VERSION)

    def test_help_opens_no_box_and_hands_the_page_to_the_shell(self):
        # Wine's shell opens web addresses with xdg-open: a stand-in records it.
        browser = os.path.join(self.case.root, "browser")
        opened = os.path.join(self.case.root, "opened.txt")
        os.makedirs(browser)
        with open(os.path.join(browser, "xdg-open"), "w") as f:
            f.write("#!/bin/sh\nprintf '%%s' \"$1\" > '%s'\n" % opened)
        os.chmod(os.path.join(browser, "xdg-open"), 0o755)
        r = self.case.run("-HELP", wine_extra={"PATH": browser + ":" + os.environ["PATH"]})
        self.assertEqual(r.code, 0)
        self.assertEqual(r.messages, [])
        deadline = time.time() + 30  # the shell does not wait for the browser
        while not os.path.exists(opened) and time.time() < deadline:
            time.sleep(0.2)
        time.sleep(0.2)
        with open(opened, "rb") as f:
            self.assertEqual(f.read(), b"https://www.halvorquin.com/Products/Corvane/1.13/Help/")


class CommandLineErrors(WineTestCase):
    def test_usage_box_naming_the_argument_and_exit_code_1(self):
        # A single-argument form with another argument, an unknown option, a
        # plain word, and each option missing its value.
        unknown, value = "Unknown option: %s", "%s needs a value"
        both = ("-all and -2 cannot be used together: the TWAIN Source Manager sets only the "
                "current user's default")
        for args, line in (("-ver -l", "-ver works only alone on the command line"),
                           ("-x", unknown % "-x"), ("/l", unknown % "/l"),
                           ("--help", unknown % "--help"), ("scanner", unknown % "scanner"),
                           ("-o", value % "-o"), ("-ll", value % "-ll"), ("-n", value % "-n"),
                           ("-2 -S", value % "-S"), ("-all -2", both), ("-2 -all -g", both)):
            with self.subTest(args=args):
                r = self.case.run(args)
                self.assertEqual(r.code, 1)
                self.assertEqual(r.messages[-1], ("information", TITLE, line + "\n\n" + USAGE))


class DebugSwitch(WineTestCase):
    def test_switch_is_taken_out_and_logs_the_command_line(self):
        exe = win_path(self.case.exe)
        cmdline = '"%s" -DBG=2 -ver' % exe
        r = self.case.run(cmdline=cmdline)
        self.assertEqual(r.code, 0)
        self.assertRegex(r.messages[0][2], VERSION)
        log = r.log()
        header = date_header()
        self.assertTrue(log.startswith(header), log)
        self.assertRegex(log[len(header):].decode(),
                         r"\A\d\d:\d\d:\d\d Cmdline: %s\r\n\Z" % re.escape(cmdline))

    def test_blank_after_equals_leaves_level_zero_and_the_number_as_argument(self):
        r = self.case.run("-dbg= 5")
        # "5" stays as an argument of its own, which is no option.
        self.assertEqual(r.code, 1)
        self.assertOnlyMessage(r, "information", TITLE, "Unknown option: 5\n\n" + USAGE)
        self.assertNotIn(b"Cmdline", r.log() or b"")

    def test_negative_level_does_not_log_the_command_line(self):
        r = self.case.run("-dbg=-1 -?")
        self.assertEqual(r.code, 0)
        self.assertIsNone(r.log())

    def test_variable_trace_follows_the_bit_of_value_16(self):
        self.case.write_settings("[Settings]\r\nds_dir=a\r\nds_reg_dir=b\r\nds_reg_name=c\r\n")
        log = os.path.join(self.case.temp, BUILD.log)
        for level, traced in (("32", False), ("17", True), ("-1", True)):
            with self.subTest(level=level):
                if os.path.exists(log):
                    os.remove(log)
                r = self.case.run("-dbg=%s -2" % level)
                self.assertEqual((r.code, r.messages), (0, []))
                sets = re.findall(rb" \(VarSet\) ([^\r\n]*)", r.log() or b"")
                self.assertEqual(sets, [b"ds_dir,a", b"ds_reg_dir,b", b"ds_reg_name,c"]
                                 if traced else [])

    def test_long_command_line_is_logged_whole(self):
        r = self.case.run("-dbg=1 " + "x" * 700)
        self.assertEqual(r.code, 1)
        self.assertIn(" Cmdline: ", r.log().decode())
        self.assertIn(" " + "x" * 700 + "\r\n", r.log().decode())


class Environment(WineTestCase):
    def test_appdata_missing_is_fatal_even_for_usage(self):
        r = self.case.run("-?", appdata=False)
        self.assertFatal(r, "The APPDATA environment variable is missing.")
        self.assertEqual(len(r.messages), 1)


class RealMessageBoxes(WineTestCase):
    """Without the message file the boxes are real windows that hold the run."""

    def test_usage_box_waits_for_the_user(self):
        r, seen = run_and_close_box(self.case, TITLE, "-?", message_file=False)
        self.assertTrue(seen)
        self.assertEqual(r.code, 0)

    def test_a_message_file_that_cannot_be_written_falls_back_to_the_box(self):
        r, seen = run_and_close_box(self.case, TITLE, "-x",
                                    env={"CORVANE_MESSAGE_FILE": "Z:\\no\\such\\dir\\m.txt"})
        self.assertTrue(seen)
        self.assertEqual(r.code, 1)

    def test_fatal_warning_box_then_exit_code_1(self):
        r, seen = run_and_close_box(self.case, TITLE, "-?", appdata=False, message_file=False)
        self.assertTrue(seen)
        self.assertEqual(r.code, 1)


if __name__ == "__main__":
    unittest.main()
