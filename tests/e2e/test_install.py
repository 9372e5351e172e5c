"""Installation and documentation: the install tree, the installed programs with the example
configuration, the scheduling wrapper, and manuals that keep up with the programs' options."""
import os
import re
import subprocess
import unittest

from harness import BUILD, PUBLISHER, SOURCE, ScratchTest, run, write

EXPECTED = {  # installed path: executable
    "usr/sbin/qavoupdate": True, "usr/bin/qavopublish": True,
    "usr/share/man/man8/qavoupdate.8": False, "usr/share/man/man5/qup.conf.5": False,
    "usr/share/man/man1/qavopublish.1": False,
    **{"usr/share/doc/qavoupdate/examples/" + name: name == "qavoupdate-run" for name in (
        "qup.conf", "qavoupdate.service", "qavoupdate.timer", "qavoupdate.cron",
        "qavoupdate-run", "MIRROR-OPERATORS.md")}}


def page(name):
    with open(os.path.join(SOURCE, "man", name), encoding="utf-8") as f:
        return f.read().replace("\\-", "-")  # roff's escaped hyphens


class InstallTest(ScratchTest):
    def setUp(self):
        if not os.path.exists(os.path.join(BUILD, "cmake_install.cmake")):
            self.skipTest("no configured build")
        super().setUp()

    def test_install_tree_and_example_configuration(self):
        done = subprocess.run(["cmake", "--install", BUILD, "--prefix", "/usr"], timeout=120,
                              env=dict(os.environ, DESTDIR=self.dir), capture_output=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        found = {r: (os.path.isfile(self.path(r)), os.access(self.path(r), os.X_OK))
                 for r in EXPECTED}
        self.assertEqual(found, {r: (True, executable) for r, executable in EXPECTED.items()})
        self.assertEqual(os.listdir(self.dir), ["usr"])  # nothing in /etc or /var
        updater = self.path("usr/sbin/qavoupdate")
        self.assertIn("Version-0.9.10", run(["-V"], program=updater).out)
        # The example configuration is accepted whole: a broken line would end with 2.
        example = self.path("usr/share/doc/qavoupdate/examples/qup.conf")
        dump = run(["-c", example, "-d"], program=updater, cwd=self.dir)
        self.assertEqual((dump.status, dump.err, "\n temppath=/var/cache/qavoupdate\n" in dump.out),
                         (0, "", True), dump)

    def test_wrapper_makes_a_private_temporary_directory_and_maps_statuses(self):
        stub = write(self.path("stub"), '#!/bin/sh\n[ "$(stat -c %a "$QAVO_TEMP")" '
                     '= 700 ] || exit 99\nexit "$1"\n', mode=0o755)
        env = dict(os.environ, QAVOUPDATE=stub, QAVO_TEMP=self.path("cache", "qavoupdate"),
                   QAVO_LOG=self.path("log"))
        for status, expected in ((0, 0), (1, 0), (3, 0), (6, 6)):
            done = subprocess.run(["sh", os.path.join(SOURCE, "examples", "qavoupdate-run"),
                                   str(status)], env=env, capture_output=True, timeout=30)
            self.assertEqual(done.returncode, expected, done.stderr)


class ManualTest(unittest.TestCase):
    def test_pages_document_every_option_command_and_status(self):
        helptext = run(["--help"], cwd="/").out
        text = page("qavoupdate.8")
        options = set(re.findall(r"--([a-z][a-z-]+)", helptext))
        self.assertGreaterEqual(len(options), 14)
        self.assertEqual([o for o in options if "--" + o not in text], [])
        status = text[text.index(".SH EXIT STATUS"):text.index(".SH FILES")]
        self.assertEqual([s for s in (0, 1, 2, 3, 4, 5, 6, 255) if ".B %d\n" % s not in status], [])
        dump, text = run(["-d"], cwd="/").out, page("qup.conf.5")
        for section in re.findall(r"^\[(\w+)\]$", dump, re.M):
            self.assertIn('.SS "[%s]"' % section, text)
        for option, default in re.findall(r"^# Option '([^']+)'\n.*?# Default value: (\S+)", dump,
                                          re.M | re.S):
            self.assertRegex(text, r"\.BR (.*\W)?%s\W" % re.escape(option))
            self.assertTrue(not ("/" in default or default.isdigit()) or default in text, option)
        helptext = subprocess.run([PUBLISHER, "--help"], capture_output=True, text=True).stdout
        commands = re.findall(r"^  ([a-z]+) ", helptext, re.M)
        self.assertEqual((len(commands), [c for c in commands if ".B qavopublish " + c not in
                                          page("qavopublish.1")]), (6, []))


if __name__ == "__main__":
    unittest.main()
