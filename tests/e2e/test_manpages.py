"""The manual pages: each formats without a single warning, and they keep up
with the programs: every long option of `qavoupdate --help` is in
qavoupdate(8), every option of the built-in table in qup.conf(5), every
command of `qavopublish --help` in qavopublish(1)."""
import os
import re
import shutil
import subprocess
import unittest

from qavotest import BUILD, SOURCE, UPDATER

PAGES = ["qavoupdate.8", "qup.conf.5", "qavopublish.1"]
PUBLISHER = os.path.join(BUILD, "tools", "qavopublish")


def page(name):
    with open(os.path.join(SOURCE, "man", name), encoding="utf-8") as f:
        # roff escapes the hyphens of options as \-; compare plain text.
        return f.read().replace("\\-", "-")


class ManualFormatTest(unittest.TestCase):
    @unittest.skipUnless(shutil.which("man"), "man-db not installed")
    def test_man_reports_no_warning(self):
        for name in PAGES:
            with self.subTest(page=name):
                result = subprocess.run(
                    ["man", "--warnings", "-E", "UTF-8", "-l", os.path.join(SOURCE, "man", name)],
                    capture_output=True, text=True, timeout=60,
                    env=dict(os.environ, MANWIDTH="80"))
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stderr, "")
                # Piped output is overstruck for bold and underline.
                self.assertIn("NAME", re.sub(".\b", "", result.stdout))

    @unittest.skipUnless(shutil.which("groff"), "groff not installed")
    def test_groff_strict_mode_is_silent(self):
        for name in PAGES:
            with self.subTest(page=name):
                result = subprocess.run(["groff", "-ww", "-z", "-man",
                                         os.path.join(SOURCE, "man", name)],
                                        capture_output=True, text=True, timeout=60)
                self.assertEqual((result.returncode, result.stderr), (0, ""))


@unittest.skipUnless(os.path.exists(UPDATER) and os.path.exists(PUBLISHER), "programs not built")
class ManualCoverageTest(unittest.TestCase):
    def test_every_updater_option_and_exit_status_is_documented(self):
        helptext = subprocess.run([UPDATER, "--help"], capture_output=True, text=True,
                                  timeout=30, cwd="/").stdout
        options = set(re.findall(r"--([a-z][a-z-]+)", helptext))
        self.assertGreaterEqual(len(options), 14, helptext)
        text = page("qavoupdate.8")
        for option in options:
            self.assertIn("--" + option, text)
        for short in set(re.findall(r"\t-([A-Za-z]),", helptext)):
            self.assertIn(".BR -%s" % short, text.replace(".BI -", ".BR -"))
        section = text[text.index(".SH EXIT STATUS"):text.index(".SH FILES")]
        for status in (0, 1, 2, 3, 4, 5, 6, 255):
            self.assertIn(".B %d\n" % status, section)

    def test_every_configuration_option_is_documented(self):
        dump = subprocess.run([UPDATER, "-d"], capture_output=True, text=True, timeout=30,
                              cwd="/").stdout
        text = page("qup.conf.5")
        sections = re.findall(r"^\[(\w+)\]$", dump, re.M)
        self.assertEqual(sorted(sections), ["ftp", "global", "hosts", "http", "modules"])
        for section in sections:
            self.assertIn('.SS "[%s]"' % section, text)
        options = re.findall(r"^# Option '([^']+)'$", dump, re.M)
        self.assertGreater(len(options), 30)
        for option in options:
            self.assertRegex(text, r"\.BR (.*\W)?%s\W" % re.escape(option))
        # The defaults shown are the program's own.
        for option, default in re.findall(r"^# Option '([^']+)'\n.*?# Default value: (\S+)",
                                          dump, re.M | re.S):
            if "/" in default or default.isdigit():
                self.assertIn(default, text, option)

    def test_every_publisher_command_is_documented(self):
        result = subprocess.run([PUBLISHER, "--help"], capture_output=True, text=True, timeout=30)
        commands = re.findall(r"^  ([a-z]+) ", result.stdout + result.stderr, re.M)
        self.assertEqual(len(commands), 6)
        text = page("qavopublish.1")
        for command in commands:
            self.assertIn(".B qavopublish " + command, text)
        self.assertIn("--unchecked-dependencies", text)


if __name__ == "__main__":
    unittest.main()
