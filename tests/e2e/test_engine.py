"""End-to-end runs of the update engine on file:// mirrors published with
`qavopublish build`: engine_update with the real console and installation
callbacks (through the engine_driver test program), checked by its console
lines, the installed files and their times, the temporary directory and
the run's result and counters."""
import hashlib
import os
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


def missing_module(name):
    return "Can't find any information about '%s'.Update will fail" % name


@unittest.skipUnless(os.path.exists(DRIVER) and os.path.exists(mirrorlib.TOOL),
                     "engine_driver or qavopublish not built")
class EngineTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="qavo-engine-")
        self.release = self.path("release")
        self.mirror = self.path("mirror")
        for name in ("tmp", "bin", "data", "conf", "release"):
            os.mkdir(self.path(name))
        self.tries = 2

    def tearDown(self):
        shutil.rmtree(self.root)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def source(self, name, data, mtime=1100000000, mode=None):
        return write(os.path.join(self.release, name), data, mtime, mode)

    def publish(self, description, *options):
        desc = write(os.path.join(self.release, "mirror.desc"), description)
        result = mirrorlib.build(desc, self.mirror, *options)
        self.assertEqual(result.returncode, 0, result.stderr)

    def run_engine(self, *modules, url=None):
        """Returns (counters, console lines) of one engine_update run."""
        config = write(self.path("qup.conf"), (
            "[global]\ntemppath=%s\nBINDIR=%s\nDATADIR=%s\nCONFDIR=%s\n"
            "tries=%d\nverbose=on\nalarm=0\n") % (
                self.path("tmp"), self.path("bin"), self.path("data"), self.path("conf"),
                self.tries))
        url = url or "file://" + os.path.join(self.mirror, "qavoe.info")
        proc = subprocess.run([DRIVER, config, url, *modules], cwd=self.root,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        out = proc.stdout.decode("latin-1")
        self.assertEqual(proc.returncode, 0, out + proc.stderr.decode("latin-1"))
        last = out.rstrip("\n").rsplit("\n", 1)[-1]
        counters = {k: int(v) for k, v in re.findall(r"(\w+)=(-?\d+)", last)}
        self.assertEqual(counters.get("error_released"), 1, out)
        return counters, out.split("\n")[:-2]

    def read(self, *parts):
        with open(self.path(*parts), "rb") as f:
            return f.read()

    def temp_copy(self, sitepath):
        return self.path("tmp", hashlib.md5(sitepath.encode()).hexdigest())

    def assert_temp_empty(self):
        self.assertEqual(os.listdir(self.path("tmp")), [])

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
        counters, lines = self.run_engine("engine")
        self.assertEqual(counters["result"], 0, lines)
        sizes = [len(self.read("release", n)) for n in
                 ("base/data", "engine/engine.conf", "engine/engine.so")]
        self.assertEqual((counters["files_to_update"], counters["modules_installed"],
                          counters["files_updated"], counters["bytes_downloaded"],
                          counters["self_updated"]), (3, 2, 3, sum(sizes), 0))
        # The dependency's files first; each module's files by mirror path.
        self.assertEqual(self.matching(lines, r"^File '(.*)' with size \d+ needs update!$"), [
            self.path("data", "data"), self.path("conf", "engine.conf"),
            self.path("data", "engine.so")])
        self.assertEqual(self.matching(lines, r"^Getting file (.*)$"),
                         ["qavoe.info", "base/data", "engine/engine.conf", "engine/engine.so"])
        self.assertEqual(self.matching(lines, r"^(Installing module '.*'|Checking .*|Updating .*)$"), [
            "Installing module 'base'",
            "Checking if file '%s' can be updated" % self.path("data", "data"),
            "Updating file '%s'" % self.path("data", "data"),
            "Installing module 'engine'",
            "Checking if file '%s' can be updated" % self.path("conf", "engine.conf"),
            "Checking if file '%s' can be updated" % self.path("data", "engine.so"),
            "Updating file '%s'" % self.path("conf", "engine.conf"),
            "Updating file '%s'" % self.path("data", "engine.so")])
        self.assertIn("Verifying signed file 'qavoe.info': OK", lines)
        for installed, name in (("data/engine.so", "engine/engine.so"),
                                ("conf/engine.conf", "engine/engine.conf"),
                                ("data/data", "base/data")):
            self.assertEqual(self.read(installed), self.read("release", name))
            self.assertEqual(os.stat(self.path(installed)).st_mtime,
                             os.stat(os.path.join(self.release, name)).st_mtime)
        self.assert_temp_empty()

        counters, lines = self.run_engine("engine")
        self.assertEqual((counters["result"], counters["files_to_update"],
                          counters["modules_installed"], counters["files_updated"]), (0, 0, 0, 0))
        self.assertEqual(self.matching(lines, r"^Getting file (.*)$"), ["qavoe.info"])
        self.assertEqual(sorted(self.matching(lines, r"^Verifying md5sum for file: (.*): OK$")),
                         sorted([self.path("data", "data"), self.path("conf", "engine.conf"),
                                 self.path("data", "engine.so")]))
        self.assert_temp_empty()

        # Same size: only the digest tells the installed copy is old.
        self.source("engine/engine.so", b"engine v2 " * 700, 1200000000)
        self.publish(self.description)
        counters, lines = self.run_engine("engine")
        self.assertEqual((counters["result"], counters["files_to_update"],
                          counters["modules_installed"], counters["files_updated"],
                          counters["bytes_downloaded"]), (0, 1, 1, 1, 7000))
        self.assertIn("Verifying md5sum for file: %s: FAILED" % self.path("data", "engine.so"),
                      lines)
        self.assertEqual(self.matching(lines, r"^Getting file (.*)$"),
                         ["qavoe.info", "engine/engine.so"])
        self.assertEqual(self.matching(lines, r"^Installing module '(.*)'$"), ["engine"])
        self.assertEqual(self.read("data", "engine.so"), b"engine v2 " * 700)
        self.assertEqual(os.stat(self.path("data", "engine.so")).st_mtime, 1200000000)
        self.assert_temp_empty()

    def test_a_complete_copy_left_behind_is_installed_without_fetching(self):
        write(self.temp_copy("base/data"), self.read("release", "base/data"))
        counters, lines = self.run_engine("base")
        self.assertEqual(counters["result"], 0, lines)
        self.assertIn("Verifying md5sum for file: %s: OK" % self.temp_copy("base/data"), lines)
        self.assertEqual(self.matching(lines, r"^Getting file (.*)$"), ["qavoe.info"])
        # Installed, though nothing "needed update" in this run.
        self.assertEqual((counters["files_to_update"], counters["files_updated"],
                          counters["modules_installed"]), (0, 1, 1))
        self.assertEqual(self.read("data", "data"), self.read("release", "base/data"))
        self.assert_temp_empty()

    def test_a_partial_copy_left_behind_is_emptied_and_fetched_whole(self):
        whole = self.read("release", "engine/engine.so")
        for partial in (whole[:3000], b"X" * 3000):
            with self.subTest(partial=partial[:4]):
                write(self.temp_copy("engine/engine.so"), partial)
                counters, lines = self.run_engine("engine")
                self.assertEqual(counters["result"], 0, lines)
                self.assertIn("Verifying md5sum for file: %s: FAILED"
                              % self.temp_copy("engine/engine.so"), lines)
                self.assertIn("Verifying md5sum for file: %s: OK"
                              % self.temp_copy("engine/engine.so"), lines)
                self.assertIn("File '%s' with size 7000 needs update!"
                              % self.path("data", "engine.so"), lines)
                self.assertEqual(self.read("data", "engine.so"), whole)
                self.assert_temp_empty()
                os.unlink(self.path("data", "engine.so"))

    def test_digest_mismatch_fails_the_run_before_any_installation(self):
        with open(os.path.join(self.mirror, "engine", "engine.so"), "r+b") as f:
            f.seek(100)
            f.write(b"!")
        counters, lines = self.run_engine("engine")
        self.assertEqual(counters["result"], -1, lines)
        self.assertIn("Verifying md5sum for file: %s: FAILED" % self.temp_copy("engine/engine.so"),
                      lines)
        self.assertEqual(counters["files_updated"] + counters["modules_installed"], 0)
        self.assertEqual(os.listdir(self.path("data")), [])
        self.assertEqual(os.listdir(self.path("conf")), [])
        self.assert_temp_empty()

    def test_missing_mirror_file_is_retried_and_fails(self):
        os.unlink(os.path.join(self.mirror, "base", "data"))
        self.tries = 3
        counters, lines = self.run_engine("engine")
        self.assertEqual(counters["result"], -1, lines)
        self.assertEqual(len(self.matching(lines, r"^Error: stat \((.*)\)$")), 3, lines)
        self.assertEqual(len(self.matching(lines, r"Retrying\((\d+:\d+)\)$")), 2, lines)
        self.assertEqual(os.listdir(self.path("data")), [])
        self.assert_temp_empty()

    def test_catalogue_signed_with_another_key_is_refused(self):
        if not OPENSSL:
            self.skipTest("openssl missing")
        keys = self.path("keys")
        os.mkdir(keys)
        self.assertEqual(mirrorlib.tool("keygen", keys).returncode, 0)
        desc = os.path.join(self.release, "mirror.desc")
        result = mirrorlib.build(desc, self.mirror, key=os.path.join(keys, "private-key.pem"))
        self.assertEqual(result.returncode, 0, result.stderr)
        counters, lines = self.run_engine("engine")
        self.assertEqual(counters["result"], -1, lines)
        self.assertIn("Verifying signed file 'qavoe.info': FAILED", lines)
        self.assertEqual(self.matching(lines, r"^Getting file (.*)$"), ["qavoe.info"])
        self.assert_temp_empty()


class SignedFileTest(EngineTest):
    def test_signed_file_is_checked_by_signature_and_fetched_every_run(self):
        data = bytes(range(256)) * 20
        self.source("engine/db", data, 1100000010)
        self.publish("module engine\n    file engine/db ${DATADIR}/db signed\n")
        for run in range(2):
            counters, lines = self.run_engine("engine")
            self.assertEqual(counters["result"], 0, lines)
            self.assertEqual(counters["files_to_update"], 1, lines)
            self.assertIn("Verifying signed file 'engine/db': OK", lines)
            installed = self.read("data", "db")
            self.assertEqual(installed[:-128], data)
            self.assertEqual(len(installed), len(data) + 128)
            self.assertEqual(os.stat(self.path("data", "db")).st_mtime, 1100000010)
            self.assert_temp_empty()

        with open(os.path.join(self.mirror, "engine", "db"), "r+b") as f:
            f.seek(len(data) + 5)
            f.write(b"\0\0")
        os.unlink(self.path("data", "db"))
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
        self.assertEqual((counters["result"], counters["files_to_update"]), (0, 0), lines)
        self.assertEqual(self.matching(lines, r"^Getting file (.*)$"), ["qavoe.info"])
        counters, lines = self.run_engine("app", "app")
        self.assertEqual(counters["result"], 0, lines)
        self.assertEqual(self.matching(lines, r"^Getting file (.*)/f$"), order)
        self.assertEqual(self.matching(lines, r"^Installing module '(.*)'$"), order)
        self.assertEqual(self.matching(lines, r"^Updating file '.*/data/(.*)'$"), order)
        self.assertEqual(sorted(os.listdir(self.path("data"))), sorted(order))
        self.assertEqual((counters["files_to_update"], counters["modules_installed"],
                          counters["files_updated"]), (4, 4, 4))
        self.assert_temp_empty()

    def test_needs_only_orders_modules_already_in_the_run(self):
        cases = [
            # a module named in needs that no require brings in
            (self.module("a", needs="b") + self.module("b"), -1, []),
            # a cycle through needs
            (self.module("a", require="b") + self.module("b", needs="a"), -1, []),
            # a name that is not in the kit orders nothing
            (self.module("a", needs="ghost"), 0, ["a"]),
        ]
        for description, result, installed in cases:
            with self.subTest(description=description):
                self.publish(description, "--unchecked-dependencies")
                counters, lines = self.run_engine("a")
                self.assertEqual(counters["result"], result, lines)
                self.assertEqual(sorted(os.listdir(self.path("data"))), installed)
                if result < 0:
                    # No message of its own, and nothing fetched.
                    self.assertEqual([l for l in lines if "Can't" in l or "Error" in l], [])
                    self.assertEqual(self.matching(lines, r"^Getting file (.*)$"), ["qavoe.info"])
                self.assert_temp_empty()
                for name in os.listdir(self.path("data")):
                    os.unlink(self.path("data", name))

    def test_require_cycles_and_missing_modules_fail_before_any_fetch(self):
        cases = [
            (self.module("a", require="a"), ["a"], ERROR_CYCLIC),
            (self.module("a", require="b") + self.module("b", require="c") +
             self.module("c", require="a"), ["a"], ERROR_CYCLIC),
            (self.module("a", require="ghost"), ["a"], missing_module("ghost")),
            (self.module("a"), ["a", "nowhere"], missing_module("nowhere")),
        ]
        for description, selection, message in cases:
            with self.subTest(description=description):
                self.publish(description, "--unchecked-dependencies")
                counters, lines = self.run_engine(*selection)
                self.assertEqual(counters["result"], -1, lines)
                self.assertEqual(lines.count(message), 1, lines)
                self.assertEqual(self.matching(lines, r"^Getting file (.*)$"), ["qavoe.info"])
                self.assertEqual(self.matching(lines, r"needs update"), [])
                self.assertEqual(os.listdir(self.path("data")), [])
                self.assert_temp_empty()


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
        if not os.path.exists(self.path("log")):
            return []
        with open(self.path("log")) as f:
            return f.read().splitlines()

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
        self.assertEqual(self.matching(lines, r"^Installing module '(.*)'$"), ["engine"])
        self.assertIn("File '' with size %d needs update!" % len(self.script("tools-run")), lines)
        # A program with an installation path is installed too, the others not.
        self.assertEqual(self.read("bin", "prep"), self.read("release", "engine/prep"))
        self.assertEqual(sorted(os.listdir(self.path("bin"))), ["hook", "prep"])
        self.assertEqual(self.read("data", "lib"), b"library")
        self.assert_temp_empty()

    def test_a_failing_program_stops_the_update_where_it_failed(self):
        cases = [
            ("stop", None, ["prep absent", "stop absent"], False),
            ("start", None, ["prep absent", "stop absent", "notify present", "start present"], True),
            (None, "no hook", ["prep absent", "stop absent", "notify present", "start present"],
             True),
        ]
        for failing, missing_hook, log, installed in cases:
            with self.subTest(failing=failing, missing_hook=missing_hook):
                self.publish_programs(failing, hook=missing_hook is None)
                counters, lines = self.run_engine("engine")
                self.assertEqual(counters["result"], -1, lines)
                self.assertEqual(self.log(), log)
                self.assertEqual(lines.count(ERROR_EXECUTE), 1, lines)
                if missing_hook:
                    self.assertIn("Error: stat (No such file or directory)", lines)
                self.assertEqual(os.path.exists(self.path("data", "lib")), installed)
                self.assert_temp_empty()
                for name in ("log", "data/lib", "bin/prep", "bin/hook"):
                    if os.path.exists(self.path(name)):
                        os.unlink(self.path(name))

    def test_a_file_that_cannot_be_installed_stops_its_module_before_any_install(self):
        self.source("base/data", b"base")
        self.source("m/one", b"one")
        self.source("m/two", b"two")
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
        self.assertEqual((counters["result"], counters["self_updated"]), (0, 1), lines)
        self.assertEqual(self.read("bin", "qavoupdate"), b"new updater " * 100)
        self.assertEqual(os.stat(self.path("bin", "qavoupdate")).st_mode & 0o777, 0o755)
        self.assertEqual(self.matching(lines, r"^File '(.*)' with size \d+ needs update!$"),
                         [self.path("bin", "qavoupdate")])
        self.assertEqual(self.matching(lines, r"^Getting file (.*)$"), ["qavoe.info", "qavoupdate"])
        self.assertEqual([l for l in lines if "ghost" in l or self.path("data") in l], [])
        self.assertEqual(os.listdir(self.path("data")), [])
        self.assert_temp_empty()

        # The restarted run finds the updater current and updates the modules.
        counters, lines = self.run_engine("engine")
        self.assertEqual((counters["result"], counters["self_updated"],
                          counters["modules_installed"]), (0, 0, 1), lines)
        self.assertIn("Verifying md5sum for file: %s: OK" % self.path("bin", "qavoupdate"), lines)
        self.assertEqual(self.read("data", "lib"), b"library")

    def test_failed_replacement_is_the_result_of_the_run(self):
        self.publish_with_updater("${BINDIR}/missing/qavoupdate")
        counters, lines = self.run_engine("engine")
        self.assertEqual((counters["result"], counters["self_updated"]), (-1, 1), lines)
        self.assertIn("Fatal Error: Can't self update file '%s'"
                      % self.path("bin", "missing", "qavoupdate"), lines)
        self.assertEqual(os.listdir(self.path("data")), [])
        self.assert_temp_empty()

if __name__ == "__main__":
    unittest.main()
