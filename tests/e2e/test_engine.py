"""End-to-end runs of engine_update (through the engine_driver test program, with
the real console and installation callbacks) on file:// mirrors published with
`qavopublish build`, checked by the console lines, installed files and counters."""
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import unittest

import mirrorlib
from mirrorlib import write
from test_publish import OPENSSL

DRIVER = os.path.join(mirrorlib.BIN, "tests", "engine_driver")

ERROR_CYCLIC = "Cyclic dependencies between modules. Please contact tech support."
ERROR_EXECUTE = "Can't execute last file. Update can't continue"
ERROR_INSTALL = "Can't install last file. Update can't continue"
GETTING = r"^Getting file (.*)$"
INSTALLING = r"^Installing module '(.*)'$"


def missing_module(name):
    return "Can't find any information about '%s'.Update will fail" % name


@unittest.skipUnless(os.path.exists(DRIVER) and os.path.exists(mirrorlib.TOOL),
                     "engine_driver or qavopublish not built")
class EngineTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="qavo-engine-")
        self.addCleanup(shutil.rmtree, self.root)
        self.release, self.mirror, self.tries = self.path("release"), self.path("mirror"), 2
        for name in ("tmp", "bin", "data", "conf", "release"):
            os.mkdir(self.path(name))

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def source(self, name, data, mtime=1100000000, mode=None):
        return write(os.path.join(self.release, name), data, mtime, mode)

    def publish(self, description, *options, key=mirrorlib.DEMO_PRIVATE):
        desc = write(os.path.join(self.release, "mirror.desc"), description)
        result = mirrorlib.build(desc, self.mirror, *options, key=key)
        self.assertEqual(result.returncode, 0, result.stderr)

    def run_engine(self, *modules):
        """Returns (counters, console lines) of one engine_update run."""
        config = write(self.path("qup.conf"), (
            "[global]\ntemppath=%s\nBINDIR=%s\nDATADIR=%s\nCONFDIR=%s\n"
            "tries=%d\nverbose=on\nalarm=0\n") % (
                self.path("tmp"), self.path("bin"), self.path("data"), self.path("conf"),
                self.tries))
        url = "file://" + os.path.join(self.mirror, "qavoe.info")
        proc = subprocess.run([DRIVER, config, url, *modules], cwd=self.root,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        out = proc.stdout.decode("latin-1")
        self.assertEqual(proc.returncode, 0, out + proc.stderr.decode("latin-1"))
        last = out.rstrip("\n").rsplit("\n", 1)[-1]
        counters = {k: int(v) for k, v in re.findall(r"(\w+)=(-?\d+)", last)}
        self.assertEqual(counters.get("error_released"), 1, out)
        return counters, out.split("\n")[:-2]

    def assert_counters(self, counters, lines, **expected):
        self.assertEqual({k: counters[k] for k in expected}, expected, lines)

    def read(self, *parts):
        return pathlib.Path(self.path(*parts)).read_bytes()

    def temp_copy(self, sitepath):
        return self.path("tmp", hashlib.md5(sitepath.encode()).hexdigest())

    def md5_line(self, path, ok):
        return "Verifying md5sum for file: %s: %s" % (path, "OK" if ok else "FAILED")

    def assert_temp_empty(self, *dirs):
        for name in ("tmp",) + dirs:
            self.assertEqual(os.listdir(self.path(name)), [], name)

    def clear(self, *names):
        for name in names:
            if os.path.exists(self.path(name)):
                os.unlink(self.path(name))

    def matching(self, lines, pattern):
        return [m.group(1) if m.groups() else m.group(0)
                for m in map(re.compile(pattern).search, lines) if m]


class InstallTest(EngineTest):
    def setUp(self):
        super().setUp()
        self.source("engine/engine.so", b"engine v1 " * 700, 1100000001)
        self.source("engine/engine.conf", b"conf=1\n", 1100000002)
        self.source("base/data", b"base data\n" * 10, 1100000003)
        self.description = (
            "module engine\n"
            "    require base\n"
            "    file engine/engine.so ${DATADIR}/engine.so\n"
            "    file engine/engine.conf ${CONFDIR}/engine.conf\n"
            "module base\n"
            "    file base/data ${DATADIR}/base/../data\n")
        self.publish(self.description)

    def test_first_install_then_nothing_to_do_then_one_changed_file(self):
        data, conf, so = self.path("data", "data"), self.path("conf", "engine.conf"), \
            self.path("data", "engine.so")
        counters, lines = self.run_engine("engine")
        sizes = sum(len(self.read("release", n))
                    for n in ("base/data", "engine/engine.conf", "engine/engine.so"))
        self.assert_counters(counters, lines, result=0, files_to_update=3, modules_installed=2,
                             files_updated=3, bytes_downloaded=sizes, self_updated=0)
        # The dependency's files first; each module's files by mirror path.
        self.assertEqual(self.matching(lines, r"^File '(.*)' with size \d+ needs update!$"),
                         [data, conf, so])
        self.assertEqual(self.matching(lines, GETTING),
                         ["qavoe.info", "base/data", "engine/engine.conf", "engine/engine.so"])
        check, update = "Checking if file '%s' can be updated", "Updating file '%s'"
        self.assertEqual(self.matching(lines, r"^(Installing module '.*'|Checking .*|Updating .*)$"), [
            "Installing module 'base'", check % data, update % data, "Installing module 'engine'",
            check % conf, check % so, update % conf, update % so])
        self.assertIn("Verifying signed file 'qavoe.info': OK", lines)
        for installed, name in (("data/engine.so", "engine/engine.so"),
                                ("conf/engine.conf", "engine/engine.conf"),
                                ("data/data", "base/data")):
            self.assertEqual(self.read(installed), self.read("release", name))
            self.assertEqual(os.stat(self.path(installed)).st_mtime,
                             os.stat(os.path.join(self.release, name)).st_mtime)
        self.assert_temp_empty()

        counters, lines = self.run_engine("engine")
        self.assert_counters(counters, lines, result=0, files_to_update=0, modules_installed=0,
                             files_updated=0)
        self.assertEqual(self.matching(lines, GETTING), ["qavoe.info"])
        self.assertEqual(sorted(self.matching(lines, r"^Verifying md5sum for file: (.*): OK$")),
                         sorted([data, conf, so]))
        self.assert_temp_empty()

        # Same size: only the digest tells the installed copy is old.
        self.source("engine/engine.so", b"engine v2 " * 700, 1200000000)
        self.publish(self.description)
        counters, lines = self.run_engine("engine")
        self.assert_counters(counters, lines, result=0, files_to_update=1, modules_installed=1,
                             files_updated=1, bytes_downloaded=7000)
        self.assertIn(self.md5_line(so, False), lines)
        self.assertEqual(self.matching(lines, GETTING), ["qavoe.info", "engine/engine.so"])
        self.assertEqual(self.matching(lines, INSTALLING), ["engine"])
        self.assertEqual(self.read("data", "engine.so"), b"engine v2 " * 700)
        self.assertEqual(os.stat(so).st_mtime, 1200000000)
        self.assert_temp_empty()

    def test_copies_left_behind_are_installed_when_complete_else_fetched_whole(self):
        write(self.temp_copy("base/data"), self.read("release", "base/data"))
        counters, lines = self.run_engine("base")
        self.assertIn(self.md5_line(self.temp_copy("base/data"), True), lines)
        self.assertEqual(self.matching(lines, GETTING), ["qavoe.info"])
        # Installed, though nothing "needed update" in this run.
        self.assert_counters(counters, lines, result=0, files_to_update=0, files_updated=1,
                             modules_installed=1)
        self.assertEqual(self.read("data", "data"), self.read("release", "base/data"))
        self.assert_temp_empty()

        # A prefix of the file is not resumed: its digest fails, it is fetched whole.
        whole, copy = self.read("release", "engine/engine.so"), self.temp_copy("engine/engine.so")
        write(copy, whole[:3000])
        counters, lines = self.run_engine("engine")
        self.assertEqual(counters["result"], 0, lines)
        self.assertIn(self.md5_line(copy, False), lines)
        self.assertIn(self.md5_line(copy, True), lines)
        self.assertIn("File '%s' with size 7000 needs update!" % self.path("data", "engine.so"),
                      lines)
        self.assertEqual(self.read("data", "engine.so"), whole)
        self.assert_temp_empty()

    def test_bad_mirror_files_fail_the_run_before_any_installation(self):
        with open(os.path.join(self.mirror, "engine", "engine.so"), "r+b") as f:
            f.seek(100)
            f.write(b"!")
        counters, lines = self.run_engine("engine")
        self.assert_counters(counters, lines, result=-1, files_updated=0, modules_installed=0)
        self.assertIn(self.md5_line(self.temp_copy("engine/engine.so"), False), lines)
        self.assert_temp_empty("data", "conf")

        os.unlink(os.path.join(self.mirror, "base", "data"))
        self.tries = 3
        counters, lines = self.run_engine("engine")
        self.assertEqual(counters["result"], -1, lines)
        self.assertEqual(len(self.matching(lines, r"^Error: stat \((.*)\)$")), 3, lines)
        self.assertEqual(len(self.matching(lines, r"Retrying\((\d+:\d+)\)$")), 2, lines)
        self.assert_temp_empty("data")

    @unittest.skipUnless(OPENSSL, "openssl missing")
    def test_catalogue_signed_with_another_key_is_refused(self):
        keys = self.path("keys")
        os.mkdir(keys)
        self.assertEqual(mirrorlib.tool("keygen", keys).returncode, 0)
        self.publish(self.description, key=os.path.join(keys, "private-key.pem"))
        counters, lines = self.run_engine("engine")
        self.assertEqual(counters["result"], -1, lines)
        self.assertIn("Verifying signed file 'qavoe.info': FAILED", lines)
        self.assertEqual(self.matching(lines, GETTING), ["qavoe.info"])
        self.assert_temp_empty()

    def test_signed_file_is_checked_by_signature_and_fetched_every_run(self):
        data = bytes(range(256)) * 20
        self.source("engine/db", data, 1100000010)
        self.publish("module engine\n    file engine/db ${DATADIR}/db signed\n")
        for run in range(2):
            counters, lines = self.run_engine("engine")
            self.assert_counters(counters, lines, result=0, files_to_update=1)
            self.assertIn("Verifying signed file 'engine/db': OK", lines)
            installed = self.read("data", "db")
            self.assertEqual((installed[:-128], len(installed)), (data, len(data) + 128))
            self.assertEqual(os.stat(self.path("data", "db")).st_mtime, 1100000010)
            self.assert_temp_empty()

        with open(os.path.join(self.mirror, "engine", "db"), "r+b") as f:
            f.seek(len(data) + 5)
            f.write(b"\0\0")
        self.clear("data/db")
        counters, lines = self.run_engine("engine")
        self.assertEqual(counters["result"], -1, lines)
        self.assertIn("Verifying signed file 'engine/db': FAILED", lines)
        self.assertFalse(os.path.exists(self.path("data", "db")))
        self.assert_temp_empty()


class DependencyTest(EngineTest):
    def module(self, name, require="", needs=""):
        self.source("%s/f" % name, ("file of %s\n" % name).encode())
        return "module %s\n%s%s    file %s/f ${DATADIR}/%s\n" % (
            name, "    require %s\n" % require if require else "",
            "    needs %s\n" % needs if needs else "", name, name)

    def test_require_and_needs_order_downloads_and_installation(self):
        # Without "needs lib", tools (and util) would come before lib.
        self.publish(self.module("app", require="tools lib") +
                     self.module("tools", require="util", needs="lib") +
                     self.module("lib", require="util") + self.module("util") +
                     self.module("other"))
        order = ["util", "lib", "tools", "app"]
        counters, lines = self.run_engine()  # an empty selection is valid
        self.assert_counters(counters, lines, result=0, files_to_update=0)
        self.assertEqual(self.matching(lines, GETTING), ["qavoe.info"])
        counters, lines = self.run_engine("app", "app")
        self.assert_counters(counters, lines, result=0, files_to_update=4, modules_installed=4,
                             files_updated=4)
        self.assertEqual(self.matching(lines, r"^Getting file (.*)/f$"), order)
        self.assertEqual(self.matching(lines, INSTALLING), order)
        self.assertEqual(self.matching(lines, r"^Updating file '.*/data/(.*)'$"), order)
        self.assertEqual(sorted(os.listdir(self.path("data"))), sorted(order))
        self.assert_temp_empty()

    def test_broken_dependencies_fail_before_any_fetch(self):
        a = self.module("a")
        cases = [
            # needs: a module that no require brings in, a cycle, a name not in the kit
            (self.module("a", needs="b") + self.module("b"), ["a"], None),
            (self.module("a", require="b") + self.module("b", needs="a"), ["a"], None),
            (self.module("a", needs="ghost"), ["a"], "ok"),
            (self.module("a", require="a"), ["a"], ERROR_CYCLIC),
            (self.module("a", require="b") + self.module("b", require="c") +
             self.module("c", require="a"), ["a"], ERROR_CYCLIC),
            (self.module("a", require="ghost"), ["a"], missing_module("ghost")),
            (a, ["a", "nowhere"], missing_module("nowhere")),
        ]
        for description, selection, message in cases:
            with self.subTest(description=description):
                self.publish(description, "--unchecked-dependencies")
                counters, lines = self.run_engine(*selection)
                self.assert_temp_empty()
                if message == "ok":
                    self.assertEqual(counters["result"], 0, lines)
                    self.assertEqual(os.listdir(self.path("data")), ["a"])
                    self.clear("data/a")
                    continue
                self.assertEqual(counters["result"], -1, lines)
                errors = [l for l in lines if "Can't" in l or "Error" in l or l == message]
                self.assertEqual(errors, [message] if message else [])  # needs: no message
                self.assertEqual(self.matching(lines, GETTING), ["qavoe.info"])
                self.assertEqual(self.matching(lines, r"needs update"), [])
                self.assert_temp_empty("data")


class ProgramTest(EngineTest):
    def script(self, name, status=0):
        """A program that logs its name and whether the library is installed yet."""
        return ("#!/bin/sh\nif [ -e %s ]; then s=present; else s=absent; fi\n"
                "echo \"%s $s\" >> %s\nexit %d\n") % (
                    self.path("data", "lib"), name, self.path("log"), status)

    def publish_programs(self, failing=None, hook=True):
        for name in ("stop", "prep", "notify", "start"):
            self.source("engine/" + name, self.script(name, 3 if name == failing else 0))
        self.source("engine/lib", b"library")
        self.source("tools/run", self.script("tools-run"))
        if hook:
            write(self.path("bin", "hook"), self.script("hook"), mode=0o755)
        self.publish("module engine\n"
                     "    file engine/stop \"\" pre 1\n"
                     "    file engine/prep ${BINDIR}/prep pre 5\n"
                     "    file engine/lib ${DATADIR}/lib\n"
                     "    file engine/notify \"\" post 1\n"
                     "    file engine/start \"\" post 2\n"
                     "    file \"\" %s post 3\n"
                     "module tools\n"
                     "    file tools/run \"\" post 1\n" % self.path("bin", "hook"))

    def log(self):
        return self.read("log").decode().splitlines() if os.path.exists(self.path("log")) else []

    def test_programs_run_in_order_around_the_installation(self):
        self.publish_programs()
        counters, lines = self.run_engine("engine", "tools")
        self.assertEqual(counters["result"], 0, lines)
        self.assertEqual(self.log(), ["prep absent", "stop absent", "notify present",
                                      "start present", "hook present"])
        self.assertEqual(self.matching(lines, r"^Running file (.*)$"), [
            self.temp_copy("engine/prep"), self.temp_copy("engine/stop"),
            self.temp_copy("engine/notify"), self.temp_copy("engine/start"),
            self.path("bin", "hook")])
        # tools has nothing to install: not announced, its program not run.
        self.assertEqual(self.matching(lines, INSTALLING), ["engine"])
        self.assertIn("File '' with size %d needs update!" % len(self.script("tools-run")), lines)
        # A program with an installation path is installed too, the others not.
        self.assertEqual(self.read("bin", "prep"), self.read("release", "engine/prep"))
        self.assertEqual(sorted(os.listdir(self.path("bin"))), ["hook", "prep"])
        self.assertEqual(self.read("data", "lib"), b"library")
        self.assert_temp_empty()

    def test_a_failing_program_stops_the_update_where_it_failed(self):
        started = ["prep absent", "stop absent", "notify present", "start present"]
        for failing, hook, log, installed in (("stop", True, started[:2], False),
                                              ("start", True, started, True),
                                              (None, False, started, True)):
            with self.subTest(failing=failing, hook=hook):
                self.publish_programs(failing, hook)
                counters, lines = self.run_engine("engine")
                self.assertEqual(counters["result"], -1, lines)
                self.assertEqual(self.log(), log)
                self.assertEqual(lines.count(ERROR_EXECUTE), 1, lines)
                if not hook:
                    self.assertIn("Error: stat (No such file or directory)", lines)
                self.assertEqual(os.path.exists(self.path("data", "lib")), installed)
                self.assert_temp_empty()
                self.clear("log", "data/lib", "bin/prep", "bin/hook")

    def test_a_file_that_cannot_be_installed_stops_its_module_before_any_install(self):
        for name, data in (("base/data", b"base"), ("m/one", b"one"), ("m/two", b"two")):
            self.source(name, data)
        self.publish("module m\n    require base\n"
                     "    file m/one ${DATADIR}/one\n"
                     "    file m/two ${DATADIR}/no/such/dir/two\n"
                     "module base\n    file base/data ${DATADIR}/base\n")
        counters, lines = self.run_engine("m")
        self.assertEqual(counters["result"], -1, lines)
        self.assertEqual(lines.count(ERROR_INSTALL), 1, lines)
        # The dependency stays installed; of m nothing was written.
        self.assertEqual(self.read("data", "base"), b"base")
        self.assertEqual(self.matching(lines, r"^Updating file '(.*)'$"), [self.path("data", "base")])
        if os.path.exists(self.path("data", "one")):
            self.assertEqual(self.read("data", "one"), b"")
        self.assert_temp_empty()


class SelfUpdateTest(EngineTest):
    def setUp(self):
        super().setUp()
        self.source("bin/qavoupdate", b"new updater " * 100, 1100000020)
        self.source("engine/lib", b"library")

    def publish_with_updater(self, localpath="${BINDIR}/qavoupdate"):
        self.publish("update qavoupdate %s from bin/qavoupdate\n"
                     "module engine\n    file engine/lib ${DATADIR}/lib\n" % localpath)

    def test_new_updater_replaces_itself_and_looks_at_no_module(self):
        self.publish_with_updater()
        write(self.path("bin", "qavoupdate"), b"old updater", mode=0o755)
        # "ghost" would fail the run if any module were looked at.
        counters, lines = self.run_engine("engine", "ghost")
        self.assert_counters(counters, lines, result=0, self_updated=1)
        self.assertEqual(self.read("bin", "qavoupdate"), b"new updater " * 100)
        self.assertEqual(os.stat(self.path("bin", "qavoupdate")).st_mode & 0o777, 0o755)
        self.assertEqual(self.matching(lines, r"^File '(.*)' with size \d+ needs update!$"),
                         [self.path("bin", "qavoupdate")])
        self.assertEqual(self.matching(lines, GETTING), ["qavoe.info", "qavoupdate"])
        self.assertEqual([l for l in lines if "ghost" in l or self.path("data") in l], [])
        self.assert_temp_empty("data")

        # The restarted run finds the updater current and updates the modules.
        counters, lines = self.run_engine("engine")
        self.assert_counters(counters, lines, result=0, self_updated=0, modules_installed=1)
        self.assertIn(self.md5_line(self.path("bin", "qavoupdate"), True), lines)
        self.assertEqual(self.read("data", "lib"), b"library")

    def test_failed_replacement_is_the_result_of_the_run(self):
        self.publish_with_updater("${BINDIR}/missing/qavoupdate")
        counters, lines = self.run_engine("engine")
        self.assert_counters(counters, lines, result=-1, self_updated=1)
        self.assertIn("Fatal Error: Can't self update file '%s'"
                      % self.path("bin", "missing", "qavoupdate"), lines)
        self.assert_temp_empty("data")


if __name__ == "__main__":
    unittest.main()
