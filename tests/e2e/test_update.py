"""Whole updates as an administrator runs them, from a published mirror served by the HTTP fault
server (behaving) or over file:// through the engine's test driver."""
import os
import re
import shutil
import subprocess
import time
import unittest

from harness import (CONF, DATA, INFO, KEY, SO, STANDARD_DESCRIPTION, T0, UPDATER, SiteTest, mode,
                     pattern, publisher, read, write)

CYCLIC = "Cyclic dependencies between modules. Please contact tech support."
EXECUTE = "Can't execute last file. Update can't continue"
MISSING = "Can't find any information about '%s'.Update will fail"
DOTS = " .......... .......... .......... .......... .........."
FETCHED = r"^Getting file (.*)$"


class UpdateTest(SiteTest):
    def setUp(self):
        super().setUp()
        self.serve_http()

    def update(self, *args):
        return self.site.update("-v", *args)


class FirstUpdateTest(UpdateTest):
    def test_first_update_then_nothing_then_one_changed_file(self):
        first = self.update()
        self.assertUpdated(first)
        so, conf, data = map(self.site.path, self.site.expected)  # in the standard mirror's order
        self.assertEqual((first.matching(r"^File '(.*)' with size \d+ needs update!$"),
                          {mode(p) for p in (data, conf, so)}, first.matching(FETCHED)),
                         ([data, conf, so], {0o644}, [INFO, DATA, CONF, SO]))
        check, update = "Checking if file '%s' can be updated", "Updating file '%s'"
        self.assertEqual(first.matching(r"^(Installing module .*|Checking .*|Updating .*)$"), [
            "Installing module 'base'", check % data, update % data,
            "Installing module 'engine'", check % conf, check % so, update % conf, update % so])
        self.assertRun(first, 0, "Verifying signed file 'qavoe.info': OK", "\t- 2 modules updated,",
                       "\t- 3 files updated and", "\t- %d bytes downloaded." % sum(
                           len(d) for d in self.site.expected.values()))
        # The meter of the large file, rates and clocks masked: they vary from run to run.
        at = first.lines.index("Getting file " + SO)
        meter = [re.sub(r"\d\d:\d\d:\d\d", "hh:mm:ss", re.sub(r" *\d+\.\d [ KMGT]B/s", " R", line))
                 for line in first.lines[at + 1:at + 5]]
        self.assertEqual(meter, [
            "    0K " + DOTS + "  42% @ R", "   50K " + DOTS + "  85% @ R",
            "  100K  .......... ......." + " " * 36 + " 100% @ R", "hh:mm:ss ( R) [120000]"])
        self.assertEqual(self.http.connections, 1)  # every request with the same sorted headers
        self.assertEqual(first.lines.count("Connecting to 127.0.0.1:%d" % self.http.port), 1)
        for line, headers in self.http.requests:
            name = line.split("/pub/qavo/")[1].split(" ")[0]
            cache, listed = dict(headers)["Cache-Control"], name != "qavoe.info"
            if listed:  # aged by the listed time, so a cache may serve it
                mtime = os.path.getmtime(self.site.mirror_file(name))  # the listed time
                self.assertAlmostEqual(int(cache[len("max-age="):]), time.time() - mtime, delta=5)
            self.assertEqual(headers, [("Accept", "*.*"), ("Cache-Control", cache if listed else
                                       "no-cache"), ("Host", "127.0.0.1:%d" % self.http.port),
                                       ("User-Agent", "QAVO Update/snapshot-20021125")])

        again = self.update()
        self.assertRun(again, 1, "There are no files to update.")
        self.assertEqual((again.matching(FETCHED), sorted(again.matching(
            r"^Verifying md5sum for file: (.*): OK$"))), (["qavoe.info"], sorted([data, conf, so])))

        # Same size (only the digest differs), dated in the past: listed no earlier than published.
        published, conf_time = int(time.time()), os.stat(conf).st_mtime
        self.site.source(SO, pattern(120000, seed=2), mtime=T0 - 100)
        self.site.publish(STANDARD_DESCRIPTION)
        os.chmod(so, 0o775)  # outlives the update (group-writable: copied, not linked)
        changed = self.update()
        self.assertRun(changed, 0, "\t- 1 files downloaded,",
                       "Verifying md5sum for file: %s: FAILED" % so)
        self.assertEqual((changed.matching(FETCHED), mode(so), read(so), os.stat(so).st_mtime,
                          changed.matching(r"^Installing module '(.*)'$"), self.site.leftovers(),
                          os.stat(self.site.mirror_file(CONF)).st_mtime),
                         ([INFO, SO], 0o775, pattern(120000, seed=2),
                          os.stat(self.site.mirror_file(SO)).st_mtime, ["engine"], [], conf_time))
        self.assertGreaterEqual(os.stat(so).st_mtime, published)

    def test_closed_standard_streams_take_none_of_the_run_s_files(self):
        # A script that closes them must not find console lines in the files the run writes.
        done = subprocess.run(["sh", "-c", 'exec "$0" -v -c "$1" <&- >&- 2>&-', UPDATER,
                               self.site.path("qup.conf")], cwd=self.site.root, timeout=120)
        written = [path for folder, _, names in os.walk(self.site.root) for path in (
            os.path.join(folder, name) for name in names) if b"Getting file" in read(path)]
        self.assertEqual((done.returncode, self.site.tree(), written), (0, self.site.expected, []))

    def test_copies_left_behind_are_installed_when_complete_else_fetched_whole(self):
        write(self.site.copy_name("base/data"), self.site.expected["data/base.dat"])
        write(self.site.copy_name(SO), self.site.expected["data/engine.so"][:3000])
        got = self.update()
        # The complete copy is installed unfetched; the prefix is no resumable copy.
        self.assertUpdated(got, files=2)
        verified = "Verifying md5sum for file: %s: %s"
        self.assertRun(got, 0, verified % (self.site.copy_name("base/data"), "OK"),
                       verified % (self.site.copy_name(SO), "FAILED"))
        self.assertEqual(got.matching(FETCHED), [INFO, CONF, SO])
        self.assertEqual([dict(h).get("Range") for _, h in self.http.of("engine.so")], [None])


class CatalogueTest(UpdateTest):
    def sign(self, text):
        """Publishes a hand-written catalogue, compressed and signed."""
        plain, packed = write(self.site.path("plain.info"), text), self.site.path("packed.info")
        for args in (("compress", plain, packed),
                     ("sign", "--key", KEY, packed, self.site.mirror_file("qavoe.info"))):
            self.assertEqual(publisher(*args).returncode, 0, args)

    def test_catalogue_that_fails_its_checks_ends_the_run(self):
        self.assertEqual(publisher("keygen", self.site.root).returncode, 0)
        listing = '<update> sitepath = "" localpath = "" </update> <kit> %s </kit>'
        cases = [
            (lambda: self.site.publish(STANDARD_DESCRIPTION, key=self.site.path("private-key.pem")),
             "Verifying signed file 'qavoe.info': FAILED"),
            (lambda: self.sign(listing % ""), "Parser Error: Can't parse information file. "
             "Please contact tech support"),
            (lambda: self.sign(listing % "<module> name = base </module>"), MISSING % "engine")]
        for prepare, message in cases:
            with self.subTest(message=message):
                prepare()
                got = self.update()
                self.assertRun(got, 6, message)
                self.assertEqual((got.matching(FETCHED), self.site.tree(), self.site.leftovers()),
                                 (["qavoe.info"], {}, []))

    def test_a_nameless_module_stays_out_of_the_way(self):
        signed = read(self.site.mirror_file("qavoe.info"))
        packed, plain = self.site.path("packed.info"), self.site.path("plain.info")
        self.assertEqual(publisher("decompress", write(packed, signed[:-128]), plain).returncode, 0)
        text = read(plain).decode()
        self.sign(text.replace("<kit>", "<kit>" + " <module> require = engine </module>" * 2))
        self.assertUpdated(self.update())
        self.assertRun(self.update("qavomd"), 6, MISSING % "qavomd")

    def test_signed_file_is_checked_by_its_signature_and_fetched_every_run(self):
        data = bytes(range(256)) * 20
        self.site.source("engine/db", data, T0 + 10)
        self.site.source("engine/none", b"", T0 + 10)  # the signature alone
        self.site.publish("module engine\n    file engine/db ${DATADIR}/db signed\n"
                          "    file engine/none ${DATADIR}/none signed\n")
        db, mirrored = self.site.path("data", "db"), self.site.mirror_file("engine/db")
        for _ in range(2):
            got = self.update()
            self.assertRun(got, 0, "Verifying signed file 'engine/db': OK", "Verifying signed "
                           "file 'engine/none': OK", "\t- 2 files downloaded,")
            self.assertEqual((read(db)[:-128], len(read(db)), os.path.getmtime(db)),
                             (data, len(data) + 128, os.path.getmtime(mirrored)))
        os.unlink(db)
        whole = read(mirrored)  # two bytes of the signature spoilt
        write(mirrored, whole[:len(data) + 5] + b"\0\0" + whole[len(data) + 7:])
        self.assertRun(self.update(), 6, "Verifying signed file 'engine/db': FAILED")
        self.assertEqual((list(self.site.tree()), self.site.leftovers()), (["data/none"], []))


class DependencyTest(UpdateTest):
    def module(self, name, require="", needs=""):
        self.site.source("%s/f" % name, b"file of %s\n" % name.encode())
        return "module %s\n%s%s    file %s/f ${DATADIR}/%s\n" % (
            name, "    require %s\n" % require if require else "",
            "    needs %s\n" % needs if needs else "", name, name)

    def test_require_and_needs_order_fetching_and_installation(self):
        # Without "needs lib", tools (and util) would come before lib.
        self.site.publish(self.module("engine", require="tools lib") +
                          self.module("tools", require="util", needs="lib") +
                          self.module("lib", require="util") + self.module("util") +
                          self.module("other"))
        order = ["util", "lib", "tools", "engine"]
        got = self.update("engine")
        self.assertRun(got, 0, "\t- 4 files downloaded,", "\t- 4 modules updated,")
        self.assertEqual([got.matching(r) for r in (r"^Getting file (.*)/f$", r"^Installing module "
                          r"'(.*)'$", r"^Updating file '.*/data/(.*)'$")], [order] * 3)
        self.assertEqual(sorted(self.site.tree()), sorted("data/" + m for m in order))
        self.site.configure(self.http.port, modules="engine=off")
        self.assertRun(self.update(), 1, "There are no files to update.")

    def test_broken_dependencies_fail_before_any_fetch(self):
        cases = [  # (description, extra selection, the one message or None)
            (self.module("engine", needs="b") + self.module("b"), [], None),
            (self.module("engine", require="b") + self.module("b", needs="engine"), [], None),
            (self.module("engine", require="engine"), [], CYCLIC),
            (self.module("engine", require="b") + self.module("b", require="c") +
             self.module("c", require="engine"), [], CYCLIC),
            (self.module("engine", require="ghost"), [], MISSING % "ghost"),
            (self.module("engine"), ["qavomd"], MISSING % "qavomd"),
            (self.module("engine", needs="ghost"), [], "ok")]
        for description, selection, message in cases:
            with self.subTest(description=description):
                self.site.publish(description, "--unchecked-dependencies")
                got = self.update(*selection)
                self.assertEqual(self.site.leftovers(), [])
                if message == "ok":
                    self.assertEqual((got.status, [*self.site.tree()]), (0, ["data/engine"]), got)
                    os.unlink(self.site.path("data", "engine"))
                    continue
                errors = [line for line in got.lines if "Can't" in line or "Error" in line or
                          line == message]
                self.assertEqual((got.status, errors, got.matching(FETCHED),
                                  got.matching("needs update"), self.site.tree()),
                                 (6, [message] if message else [], [INFO], [], {}), got)


class ProgramTest(UpdateTest):
    def script(self, name, status=0):
        """A program that logs its name and whether the library is installed yet."""
        return ("#!/bin/sh\nif [ -e %s ]; then s=present; else s=absent; fi\necho \"%s $s\" >> %s\n"
                "exit %d\n") % (self.site.path("data", "lib"), name, self.site.path("log"), status)

    def publish_programs(self, failing, hook):
        for name in ("stop", "prep", "notify", "start"):
            self.site.source("engine/" + name, self.script(name, 3 if name == failing else 0))
        self.site.source("engine/lib", b"library")
        self.site.source("md/run", self.script("md-run"))
        if hook:
            write(self.site.path("bin", "hook"), self.script("hook"), mode=0o755)
        self.site.publish(
            "module engine\n    file engine/stop \"\" pre 1\n    file engine/prep ${BINDIR}/prep "
            "pre 5\n    file engine/lib ${DATADIR}/lib\n    file engine/notify \"\" post 1\n"
            "    file engine/start \"\" post 2\n    file \"\" %s post 3\n"
            "module qavomd\n    file md/run \"\" post 1\n" % self.site.path("bin", "hook"))

    def test_programs_run_in_order_around_the_installation_until_one_fails(self):
        started = ["prep absent", "stop absent", "notify present", "start present"]
        for failing, hook, status, log, installed in (
                (None, True, 0, started + ["hook present"], ["bin/hook", "bin/prep", "data/lib"]),
                ("stop", True, 6, started[:2], ["bin/hook"]),
                ("start", True, 6, started, ["bin/hook", "bin/prep", "data/lib"]),
                (None, False, 6, started, ["bin/prep", "data/lib"])):
            with self.subTest(failing=failing, hook=hook):
                self.publish_programs(failing, hook)
                write(self.site.path("log"), b"")
                got = self.update("qavomd")
                # A program with an installation path is installed too, the others not.
                logged = read(self.site.path("log")).decode().splitlines()
                self.assertEqual((got.status, logged, got.lines.count(EXECUTE),
                                  sorted(self.site.tree()), self.site.leftovers()),
                                 (status, log, min(status, 1), installed, []), got)
                self.site.uninstall()
                if status == 0:
                    self.assertEqual(got.matching(r"^Running file (.*)$"), [self.site.copy_name(
                        "engine/" + p) for p in ("prep", "stop", "notify", "start")] +
                        [self.site.path("bin", "hook")])
                    # qavomd has nothing to install: not announced, its program never run.
                    self.assertEqual(got.matching(r"^Installing module '(.*)'$"), ["engine"])
                    self.assertIn("File '' with size %d needs update!" % len(
                        self.script("md-run")), got.lines)
        self.assertIn("Error: stat (No such file or directory)", got.lines)

    def test_a_file_that_cannot_be_installed_stops_its_module_before_any_install(self):
        for name, data in (("base/data", b"base"), ("m/one", b"one"), ("m/two", b"two")):
            self.site.source(name, data)
        for where in ("no/such/dir/two", "x" * 300):  # a missing directory, a name too long
            with self.subTest(where=where[:20]):
                self.site.publish("module engine\n    require base\n    file m/one ${DATADIR}/one"
                                  "\n    file m/two ${DATADIR}/%s\nmodule base\n    file "
                                  "base/data ${DATADIR}/base\n" % where)
                got = self.site.rerun(self.http.port, "-v")
                self.assertRun(got, 6, "Can't install last file. Update can't continue")
                # The dependency stays installed; of engine nothing was written.
                self.assertEqual((got.matching(r"^Updating file '(.*)'$"), self.site.tree(),
                                  self.site.leftovers()), ([self.site.path("data", "base")],
                                                           {"data/base": b"base"}, []), got)


class SelfUpdateTest(UpdateTest):
    def test_new_updater_replaces_itself_then_updates_the_modules(self):
        updater = shutil.copy(UPDATER, self.site.path("bin", "qavoupdate"))
        new = read(UPDATER) + b"\n# release 2\n"
        self.site.source("bin/qavoupdate", new, T0 + 20)
        update_line = "update qavoupdate ${BINDIR}/qavoupdate from bin/qavoupdate\n"
        self.site.publish(update_line + STANDARD_DESCRIPTION)
        got = self.site.update("-v", program=updater)
        self.assertRun(got, 0, "Self update has been completed.", "Now restarting update procedure",
                       "\t- 3 files downloaded,", "Verifying md5sum for file: %s: OK" % updater)
        self.assertEqual((got.matching(FETCHED), self.site.tree(), mode(updater)),
                         ([INFO, "qavoupdate", INFO, DATA, CONF, SO],
                          dict(self.site.expected, **{"bin/qavoupdate": new}), 0o755))
        self.assertRun(self.site.update(program=updater), 1)

        # A replacement that cannot be written is the run's failure.
        self.site.publish(update_line.replace("${BINDIR}", "${BINDIR}/missing") +
                          STANDARD_DESCRIPTION)
        got = self.site.update(program=updater)
        self.assertRun(got, 6, "Fatal Error: Can't self update file '%s'"
                       % self.site.path("bin", "missing", "qavoupdate"))
        self.assertEqual(got.matching(FETCHED), ["qavoe.info", "qavoupdate"])


class FileMirrorTest(SiteTest):
    """file:// mirrors, which only the engine's plugin table serves."""

    def test_local_mirror_copies_and_retries(self):
        got = self.site.drive()
        self.assertIn("result=0 files_to_update=3 modules_installed=2 files_updated=3", got.out)
        self.assertEqual((self.site.tree(), os.path.getmtime(self.site.path("data", "engine.so"))),
                         (self.site.expected, os.path.getmtime(self.site.mirror_file(SO))))
        self.assertIn("result=0 files_to_update=0", self.site.drive().out)
        os.unlink(self.site.path("data", "base.dat"))
        os.unlink(self.site.mirror_file("base/data"))
        got = self.site.drive(tries=3)
        # A failed fetch is never verified.
        self.assertEqual(("result=-1 " in got.out, got.lines.count("Error: stat (No such file or "
                          "directory)"), got.matching(r"\d\d:\d\d:\d\d Retrying\((\d:3)\)$"),
                          got.matching("FAILED"), self.site.leftovers()),
                         (True, 3, ["1:3", "2:3"], [], []), got)


if __name__ == "__main__":
    unittest.main()
