"""Installation and documentation: the install tree, the installed programs with the example
configuration, the scheduling wrapper, the Debian package and its maintainer script, and manuals
that keep up with the programs' options."""
import os
import re
import shutil
import subprocess
import unittest

from harness import BUILD, PUBLISHER, SOURCE, ScratchTest, read, run, write

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


CPACK = shutil.which("cpack")
DPKG_DEB = shutil.which("dpkg-deb")
CONFIG = os.path.join(BUILD, "CPackConfig.cmake")
# Stand-ins for the tools the maintainer script calls: each records its arguments.
RECORDER = '#!/bin/sh\necho "${0##*/} $*" >> "%s"\nexit %d\n'


@unittest.skipUnless(CPACK and DPKG_DEB and os.path.exists(CONFIG),
                     "needs cpack, dpkg-deb and a configured build")
class PackageTest(ScratchTest):
    @classmethod
    def setUpClass(cls):
        cls.folder = os.path.join(BUILD, "package-test")
        shutil.rmtree(cls.folder, ignore_errors=True)
        # This build trusts the demo keys, which cpack refuses (a test of its own); the check is
        # the project's configuration file, left out here.
        made = subprocess.run([CPACK, "-G", "DEB", "--config", CONFIG, "-B", cls.folder,
                               "-D", "CPACK_PROJECT_CONFIG_FILE="],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        debs = [name for name in os.listdir(cls.folder) if name.endswith(".deb")] \
            if os.path.isdir(cls.folder) else []
        if made.returncode != 0 or len(debs) != 1:
            raise AssertionError("cpack made no package:\n" + made.stdout.decode(errors="replace"))
        cls.deb = os.path.join(cls.folder, debs[0])
        cls.control = os.path.join(cls.folder, "control")
        subprocess.run([DPKG_DEB, "-e", cls.deb, cls.control], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_the_package_holds_the_programs_and_their_script_and_depends_on_what_they_load(self):
        listing = subprocess.run([DPKG_DEB, "-c", self.deb], stdout=subprocess.PIPE,
                                 check=True).stdout.decode()
        self.assertEqual([path for path in EXPECTED if " ./%s\n" % path not in listing], [])
        depends = subprocess.run([DPKG_DEB, "-f", self.deb, "Depends"], stdout=subprocess.PIPE,
                                 check=True).stdout.decode()
        # libssl and libzstd are loaded at run time, which no library scan sees.
        self.assertEqual({"libssl3", "libzstd1", "adduser"} - {
            part.split()[0] for part in depends.split(",") if part.strip()}, set())
        script = os.path.join(self.control, "postinst")
        self.assertEqual(read(script), read(os.path.join(SOURCE, "packaging", "postinst")))
        self.assertTrue(os.access(script, os.X_OK))

    def postinst(self, *args, user_exists=False, adduser_status=0):
        """Runs the package's postinst with stand-ins for getent and adduser on its PATH; its
        exit status and the calls it made, in order."""
        tools = self.path("tools")
        calls = self.path("calls")
        os.makedirs(tools, exist_ok=True)
        write(calls, b"")
        write(os.path.join(tools, "getent"), (RECORDER % (calls, 0 if user_exists else 2)).encode(),
              mode=0o755)
        write(os.path.join(tools, "adduser"), (RECORDER % (calls, adduser_status)).encode(),
              mode=0o755)
        status = subprocess.run(["/bin/sh", os.path.join(self.control, "postinst")] + list(args),
                                env={"PATH": tools}, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL).returncode
        return status, read(calls).decode().splitlines()

    def test_the_script_creates_the_system_user_once_and_fails_when_it_cannot(self):
        lookup = "getent passwd _qavoupdate"
        created = "adduser --system --group --no-create-home --quiet _qavoupdate"
        self.assertEqual(self.postinst("configure", ""), (0, [lookup, created]))
        # An upgrade finds the user and leaves it alone.
        self.assertEqual(self.postinst("configure", "0.9.9", user_exists=True), (0, [lookup]))
        # Other calls of the script do nothing.
        for action in ("abort-upgrade", "abort-remove", "triggered"):
            self.assertEqual(self.postinst(action, "0.9.9"), (0, []), action)
        # A user that cannot be made fails the installation, which dpkg then reports.
        status, calls = self.postinst("configure", "", adduser_status=1)
        self.assertNotEqual(status, 0)
        self.assertEqual(calls, [lookup, created])


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
