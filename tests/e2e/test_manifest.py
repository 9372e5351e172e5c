"""Signed manifests (made with hashlib and openssl, not the publisher) served by nginx: a good one
raises the rollback serial before any install; a refusal is one line and fetches nothing more."""
import os
import re
import shutil
import tempfile
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from harness import (BUILD, CONF, DATA, INFO, OPENSSL, SIG, SO, STANDARD, STANDARD_DESCRIPTION,
                     T0, UPDATER, Site, SiteTest, access_log, ed25519_signed, keyid, loopback, mode,
                     openssl, pattern, read, server, sha256, write)
from harness import ED25519 as DEMO
SECOND = os.path.join(BUILD, "test-keys", "second-ed25519-%s-key.pem")
TWO_KEYS = os.path.join(BUILD, "tests", "qavoupdate_two_keys")
STRANGER = None  # a key nobody trusts, made for the module: "<folder>/stranger-%s.pem"
SERIAL = 1000
KEPT = b"%d pub/qavo/qavoe.info\n"
MANIFEST = "manifest qavoe.info.sig "
FETCHED = [DATA, CONF, SO]  # the order of a full run


def setUpModule():
    if not OPENSSL:
        raise unittest.SkipTest("the openssl command is not installed")
    global STRANGER
    # Made and cleaned up with the module: a cleanup registered at import would run once the
    # first of several modules in one process ends.
    scratch = tempfile.mkdtemp(prefix="qavo-keys-")
    unittest.addModuleCleanup(shutil.rmtree, scratch, True)
    STRANGER = os.path.join(scratch, "stranger-%s.pem")
    openssl("genpkey", "-algorithm", "ed25519", "-out", STRANGER % "private")
    openssl("pkey", "-in", STRANGER % "private", "-pubout", "-out", STRANGER % "public")


class ManifestTest(SiteTest):
    def setUp(self):
        super().setUp()
        self.nginx = server(self, loopback.Nginx, self.site.path("www"))
        self.configure()

    def configure(self, **settings):
        # One try, one request at a time: the log shows exactly what a run asked for, each once.
        self.site.configure(self.nginx.port, **{"manifest": "required", "tries": 1,
                                                "pipeline": 1, **settings})

    def sign(self, serial, expires=None, key=DEMO, edit=None, tamper=None):
        """The mirror's manifest for what it holds now; `edit` (a pattern and its
        replacement) changes the body before it is signed, `tamper` after."""
        mirror = self.site.mirror_file
        body = "qavo-manifest 1\nserial %d\nexpires %d\ncatalogue %s\n" % (
            serial, time.time() + 86400 if expires is None else expires, sha256(read(mirror(INFO))))
        for name, _, _ in STANDARD:
            data = read(mirror(name))
            body += "file %s %d %s\n" % (sha256(data), len(data), name)
        if edit:
            body = re.sub(*edit, body, count=1, flags=re.M)
        write(mirror(SIG), ed25519_signed(self.site.path("body"), body, key, tamper))

    def tree(self, tree=None):
        # Digests, not bytes: a failing comparison of large files would take minutes to show.
        return {path: sha256(data) for path, data in (tree or self.site.tree()).items()}

    def serial(self):
        path = self.site.path("state", "serials")
        return read(path) if os.path.exists(path) else None

    def run_logged(self, program=UPDATER):
        """A run, the mirror files it asked nginx for, and its "Error:" lines."""
        mark = len(access_log(self.nginx))
        got = self.site.update(program=program)
        lines = access_log(self.nginx, mark + len(got.matching("^(Getting file) ")))[mark:]
        asked = [re.search(r'"GET /pub/qavo/(\S+) ', line).group(1) for line in lines]
        self.sent = sum(int(re.search(r'" \d+ (\d+) ', line).group(1)) for line in lines)
        return got, asked, got.matching("^Error: .*")

    def test_a_good_manifest_installs_and_raises_the_serial(self):
        self.sign(SERIAL)
        first, asked, errors = self.run_logged()
        self.assertUpdated(first)
        self.assertEqual((asked, errors, self.serial(), mode(self.site.path("state"))),
                         ([SIG, INFO] + FETCHED, [], KEPT % SERIAL, 0o700))
        self.configure(statusfile=self.site.path("status.prom"))  # which tells the serial
        again, asked, errors = self.run_logged()
        self.assertIn(b"\nqavoupdate_catalogue_serial %d\n" % SERIAL,
                      read(self.site.path("status.prom")))
        self.assertRun(again, 1, "There are no files to update.")
        self.assertEqual((asked, errors, self.tree(), self.serial()),
                         ([SIG, INFO], [], self.tree(self.site.expected), KEPT % SERIAL))

    def test_refusals_leave_tree_and_serial_and_fetch_nothing_more(self):
        self.sign(SERIAL)  # an older publication installed under SERIAL, then a newer one published
        self.assertUpdated(self.site.update())
        installed, kept = self.tree(), self.serial()
        self.site.source("base/data", b"newer base data\n" * 9, T0 + 50)
        self.site.source("engine/engine.so", pattern(120000, seed=5), T0 + 50)
        self.site.publish(STANDARD_DESCRIPTION)
        now, next_, sig = int(time.time()), SERIAL + 1, self.site.mirror_file(SIG)
        base, mirrored = r"^file \w+ (\d+) base/data$", self.site.mirror_file("base/data")
        data = read(mirrored)
        # A file is fetched after the mirror was asked for its patches (it has none).
        ASKED = [SIG, INFO, "qavoe.info.delta", "base/data"]
        serve = lambda content: (write(mirrored, data), self.sign(next_), write(mirrored, content))
        cases = [  # name, how the mirror's manifest is made, the refusal, files asked for
            ("missing", lambda: os.path.exists(sig) and os.unlink(sig), MANIFEST + "missing",
             [SIG]),
            # Read no further than the limit, far below the 40 MiB served (socket buffers aside).
            ("too large", lambda: write(sig, b"x" * (40 << 20)), "write (File too large)\nError: " +
             MANIFEST + "is larger than its limit of 8388608 bytes", [SIG]),
            ("malformed", lambda: self.sign(next_, edit=(r"^serial .*\n", "")),
             MANIFEST + "malformed (line 2: expected 'serial <decimal>')", [SIG]),
            ("unknown key", lambda: self.sign(next_, key=STRANGER),
             MANIFEST + "signed by an untrusted key " + keyid(STRANGER), [SIG]),
            ("bad signature", lambda: self.sign(next_, tamper=(r"^serial \d+", "serial %d" % (
                next_ + 1))), MANIFEST + "has a bad signature", [SIG]),
            ("expired", lambda: self.sign(next_, expires=now), MANIFEST + "expired at %s UTC" %
             time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(now)), [SIG]),
            ("rollback", lambda: self.sign(SERIAL - 10), MANIFEST + "serial %d is older than the "
             "accepted %d (rollback refused)" % (SERIAL - 10, SERIAL), [SIG]),
            ("catalogue digest", lambda: self.sign(next_, edit=(r"^catalogue \w+", "catalogue " +
                                                                sha256(b"another catalogue"))),
             "catalogue qavoe.info does not match its manifest", [SIG, INFO]),
            ("file not listed", lambda: self.sign(next_, edit=(r"^file .* engine/engine.so\n", "")),
             "catalogue lists engine/engine.so, which its manifest does not", [SIG, INFO]),
            ("file size", lambda: self.sign(next_, edit=(base, "file %s 7 base/data" %
                                                         sha256(b""))),
             "catalogue lists base/data with another size than its manifest", [SIG, INFO]),
            # The served base/data is the published one, so its MD5 matches the catalogue; only
            # the manifest's SHA-256 refuses it, after its download, before engine.so's.
            ("file digest", lambda: self.sign(next_, edit=(base, r"file %s \1 base/data" % sha256(
                b"not the data"))), "file base/data does not match its manifest",
             ASKED),
            # Listed rightly, served shorter or longer with the same first bytes.
            ("shorter", lambda: serve(data[:-1]), "file base/data does not match its manifest",
             ASKED),
            ("longer", lambda: serve(data + b"x"), "write (File too large)",
             ASKED)]
        for name, prepare, refusal, fetched in cases:
            with self.subTest(name):
                prepare()
                got, asked, errors = self.run_logged()
                self.assertEqual((got.status, "\n".join(errors), asked, self.tree(), self.serial(),
                                  self.site.leftovers()), (6, "Error: " + refusal, fetched,
                                  installed, kept if fetched == [SIG] else KEPT % next_, []), got)
                self.assertLess(self.sent, 20 << 20)

    def test_either_trusted_key_of_a_rotation(self):
        if not os.access(TWO_KEYS, os.X_OK):
            self.skipTest("no updater trusting two keys was built")
        untrusted = "Error: " + MANIFEST + "signed by an untrusted key " + keyid(SECOND)
        cases = [  # program, signing key, its refusal
            (TWO_KEYS, DEMO, []), (TWO_KEYS, SECOND, []), (UPDATER, SECOND, [untrusted]),
            (UPDATER, DEMO, [])]
        accepted = None
        for serial, (program, key, refusal) in enumerate(cases, SERIAL):
            with self.subTest(program=os.path.basename(program), key=os.path.basename(key)):
                self.site.uninstall()
                self.sign(serial, key=key)
                got, _, errors = self.run_logged(program)
                accepted = accepted if refusal else serial
                self.assertEqual((got.status, errors, self.tree(), self.serial()), (
                    6 if refusal else 0, refusal, {} if refusal else self.tree(self.site.expected),
                    KEPT % accepted), got)

    def test_manifest_and_statepath_settings(self):
        unmade = self.site.path("qup.conf", "state")  # under a regular file
        stuck = self.site.path("stuck")  # the serial can be read there, not written
        too_long = self.site.path("s" * 300)  # a name no file system takes
        os.makedirs(os.path.join(stuck, "serials.new"), mode=0o700)
        self.sign(SERIAL)
        cases = [  # settings, status, the line that tells, files asked for
            ({"manifest": "bogus"}, 2, "Unknown manifest mode 'bogus'. Please use required or off",
             []),
            ({"statepath": unmade}, 4, "State path '%s': '%s' can't be opened (Not a directory)" % (
                unmade, os.path.dirname(unmade)), []),
            ({"statepath": too_long}, 4, "State path '%s' can't be created (File name too long)" %
             too_long, []),
            # Found before the catalogue is fetched, so before anything is installed.
            ({"statepath": stuck}, 6, "Error: Can't remove %s/serials.new (Is a directory)" % stuck,
             [SIG]),
            # As before manifests: no .sig asked for, none needed.
            ({"manifest": "off"}, 0, "\t- 3 files downloaded,", [INFO] + FETCHED)]
        for settings, status, line, fetched in cases:
            with self.subTest(**settings):
                self.site.uninstall()
                self.configure(**settings)
                got, asked, _ = self.run_logged()
                self.assertEqual((got.status, got.ending(line), asked, self.tree()), (
                    status, 1, fetched, self.tree(self.site.expected) if status == 0 else {}), got)

    def test_runs_sharing_a_state_directory_take_turns(self):
        self.sign(SERIAL)
        other = Site(self.site.mirror, self)  # its own temporary directory and tree
        os.symlink("qavo", self.site.path("www", "pub", "qavo2"))  # and its own catalogue name
        conf = other.configure(self.nginx.port, manifest="required", tries=1,
                               statepath=self.site.path("state"))
        write(conf, read(conf).replace(b"pub/qavo/", b"pub/qavo2/"))
        for _ in range(10):
            for site in (self.site, other):
                site.uninstall()
            if self.serial() is not None:
                os.unlink(self.site.path("state", "serials"))
            with ThreadPoolExecutor(2) as pool:
                runs = list(pool.map(Site.update, (self.site, other)))
            self.assertEqual(([run.status for run in runs], sorted(self.serial().splitlines())),
                             ([0, 0], [b"1000 pub/qavo/qavoe.info", b"1000 pub/qavo2/qavoe.info"]),
                             "\n".join(map(str, runs)))


if __name__ == "__main__":
    unittest.main()
