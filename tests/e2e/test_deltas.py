"""Patches against installed files, from mirrors the publisher made in several publications:
fetched instead of whole files from nginx, vsftpd and through squid, straight from a version two
publications behind, and every way a patch or its index can fail followed by the whole file."""
import os
import re
import shutil
import time
import unittest

import faults
from harness import (DATA, ED25519, INFO, OPENSSL, SO, STANDARD_DESCRIPTION, T0, UPDATER, SiteTest,
                     Squid, ed25519_signed, loopback, pattern, read, server, sha256, write)

SIGNING = ED25519 % "private"
INDEX = INFO + ".delta"
PATCHED = "Getting file patches/engine/engine.so/"
REQUEST = re.compile(r"^->>- (?:GET|RETR) (?:\S*/pub/qavo/)?(\S+)")


def rewrite_in_place(path, data):
    """Other bytes at `path`, keeping its modification time (and, given as many, its size)."""
    before = os.stat(path)
    write(path, data)
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))


def edited(data, seed):
    """About 3 % of the data changed: a replacement, an insertion and a deletion."""
    at = 9000 * seed
    return (data[:at] + b"<replaced %d>" % seed * 40 + data[at + 520:at + 40000] +
            b"<inserted>" * 60 + data[at + 40000:at + 50000] + data[at + 51000:])


def setUpModule():
    if not OPENSSL:
        raise unittest.SkipTest("the openssl command is not installed")


class DeltaTest(SiteTest):
    def setUp(self):
        super().setUp()
        self.versions, self.published, self.finished = [], 0, 0  # of engine.so; publications
        self.publish(pattern(120000))

    def publish(self, so, data=None):
        # Each publication in a second of its own: a proxy's cache tells versions apart by their
        # times, which are whole seconds.
        time.sleep(max(0.0, int(self.finished) + 1 - time.time()))
        self.published += 1
        self.site.source(SO, so, T0 + self.published)
        self.site.expected["data/engine.so"] = so
        if data:
            self.site.source(DATA, data, T0 + self.published)
            self.site.expected["data/base.dat"] = data
        self.site.publish(STANDARD_DESCRIPTION, "--signing-key", SIGNING)
        self.finished = time.time()
        self.versions.append(so)

    def install(self, so):
        write(self.site.path("data", "engine.so"), so)

    def patch_of(self, base):
        """The site path and size of the patch of engine.so from `base` to the newest version."""
        found = re.search(r"^patch engine/engine.so %s %s (\d+) \w+ (\S+)\n" % (
            sha256(base), sha256(self.versions[-1])), read(self.site.mirror_file(INDEX)).decode(),
            re.M)
        return found.group(2), int(found.group(1))

    def installed_by_the_updater(self):
        """The path of engine.so, installed by a run from nginx with a manifest (and so
        recorded)."""
        nginx = server(self, loopback.Nginx, self.site.path("www"))
        self.site.configure(nginx.port, manifest="required", statusfile=self.site.path(
            "status.prom"))
        self.site.update()
        return self.site.path("data", "engine.so")

    def sign_index(self, edit=None, tamper=None):
        """The index signed again after `edit` (a pattern and its replacement); `tamper` after."""
        text = read(self.site.mirror_file(INDEX)).decode()
        body = re.sub(*(edit or ("^", "")), text[:text.index("signature ")], count=1, flags=re.M)
        write(self.site.mirror_file(INDEX), ed25519_signed(self.site.path("body"), body, ED25519,
                                                           tamper))

    def update(self, *args):
        got = self.site.update("-S", "-v", *args)
        asked = [m.group(1) for m in map(REQUEST.match, got.lines) if m]
        gauges = dict(re.findall(r"^qavoupdate_(files_patched|bytes_saved) (\d+)$",
                                 read(self.site.path("status.prom")).decode(), re.M))
        return got, asked, {name: int(value) for name, value in gauges.items()}

    def test_servers_serve_patches_to_one_or_two_publications_behind(self):
        ca = loopback.make_ca(self.site.path("tls"))  # nginx serves https too
        nginx = server(self, type("Tls", (loopback.Nginx,), dict(tls=loopback.make_certificate(
            self.site.path("tls"), "nginx", ca))), self.site.path("www"))
        cases = [  # name, port, settings
            ("nginx", nginx.port, {}),
            ("https", nginx.tls_port, {"protocol": "https", "cafile": ca[0]}),
            ("vsftpd", lambda: server(self, loopback.Vsftpd, self.site.path("www")).port,
             {"protocol": "ftp"}),
            ("squid", nginx.port, {"proxy": lambda: "http://127.0.0.1:%d" % server(
                self, Squid).port})]
        for name, port, settings in cases:
            with self.subTest(name):
                settings = {k: v() if callable(v) else v for k, v in settings.items()}
                port = port() if callable(port) else port
                del self.versions[1:]
                self.publish(self.versions[0], b"k" * 150 + os.urandom(150))
                self.site.configure(port, manifest="required", statusfile=self.site.path(
                    "status.prom"), **settings)
                self.site.uninstall()
                got, asked, gauges = self.update()
                # A first installation has nothing to patch: no index is asked for.
                self.assertEqual((got.status, asked, gauges), (0, [
                    INFO + ".sig", INFO, DATA, "engine/engine.conf", SO],
                    dict(files_patched=0, bytes_saved=0)), got)
                for behind in (1, 2):
                    base = self.versions[-1]
                    # base/data changes too, its patch over half its size: none is served.
                    self.publish(edited(base, len(self.versions)), b"k" * 150 + os.urandom(150))
                    self.install(self.versions[-1 - behind])
                    patch, size = self.patch_of(self.versions[-1 - behind])
                    got, asked, gauges = self.update()
                    self.assertEqual((got.status, self.site.tree()), (0, self.site.expected), got)
                    # The index is asked for quietly, as -S shows no request of its own.
                    self.assertEqual(asked, [INFO + ".sig", INFO, DATA, patch], got)
                    self.assertEqual(gauges, dict(files_patched=1,
                                                  bytes_saved=len(self.versions[-1]) - size))
                    self.assertIn("Getting file " + patch, got.lines)
                    self.assertEqual(os.stat(self.site.path("data", "engine.so")).st_mtime,
                                     os.stat(self.site.mirror_file(SO)).st_mtime)  # as if whole
                    self.assertLess(size, 12000)

    def test_a_failing_patch_or_index_leaves_the_whole_file(self):
        http = faults.HttpFaults(self.site.path("www"))
        self.addCleanup(http.stop)
        self.site.configure(http.port, manifest="required", statusfile=self.site.path(
            "status.prom"))
        self.site.update()
        self.assertEqual(http.of(INDEX), [])  # a first installation has nothing to patch
        self.publish(edited(self.versions[0], 1))
        patch, size = self.patch_of(self.versions[0])
        served, other = read(self.site.mirror_file(patch)), edited(self.versions[0], 3)
        flipped = bytes(byte ^ 0x20 for byte in self.versions[0])
        base = r"(?<=^patch engine/engine.so )%s" % sha256(self.versions[0])
        not_used = "Patch %s not used (%%s): getting %s whole" % (patch, SO)
        cases = [  # name, what is done to the mirror, the line said, the patch then comes whole
            ("patched", lambda: None, None, [patch], 1),
            ("missing", lambda: http.fault(patch, "status", 404), not_used % "HTTP reply 404",
             [patch, SO], 0),
            ("gone", lambda: http.fault(patch, "status", 410), not_used % "HTTP reply 410",
             [patch, SO], 0),
            ("cut", lambda: http.fault(patch, "cut", 20, times=1), None,
             [patch, patch + " bytes=20-"], 1),
            ("longer", lambda: http.padding.update({patch: 1}), not_used %
             "write: File too large", [patch, patch, SO], 0),
            ("altered", lambda: write(self.site.mirror_file(patch), served[:-1] + b"?"),
             not_used % "its size or SHA-256 is not the index's", [patch, SO], 0),
            # Changed in place after the patch was chosen for it, before it is decoded against.
            ("changed meanwhile", lambda: http.fault(patch, "before", lambda: rewrite_in_place(
                self.site.path("data", "engine.so"), other)),
             not_used % "the installed file changed or cannot be read", [patch, SO], 0),
            # Listed as the patch from what is installed, made from another version of its size:
            # decoded, the result is not the version listed.
            ("another base", lambda: (self.install(flipped), self.sign_index(edit=(base, sha256(
                flipped)))), not_used % "the result does not match its manifest", [patch, SO], 0),
            ("bad signature", lambda: self.sign_index(tamper=(r"^serial \d", "serial 9")),
             "Error: patch index %s has a bad signature: fetching whole files" % INDEX, [SO], 0),
            ("malformed", lambda: self.sign_index(edit=("^qavo-delta 1", "qavo-delta 2")),
             "Error: patch index %s malformed (line 1" % INDEX, [SO], 0),
            ("another publication", lambda: self.sign_index(edit=(r"^serial (\d+)", lambda m: (
                "serial %d" % (int(m.group(1)) + 1)))), None, [SO], 0)]
        for name, spoil, said, fetched, patched in cases:
            with self.subTest(name):
                self.site.publish(STANDARD_DESCRIPTION, "--signing-key", SIGNING)
                self.install(self.versions[0])
                spoil()
                mark = len(http.requests)
                got, asked, gauges = self.update()
                http.faults.clear()
                http.padding.clear()
                self.assertEqual((got.status, self.site.tree(), gauges["files_patched"],
                                  self.site.leftovers()), (0, self.site.expected, patched, []), got)
                asked = [(r.split()[1].split("/pub/qavo/")[1], dict(h).get("Range")) for r, h in
                         http.requests[mark:]]
                self.assertEqual([name + (" " + ranged if ranged else "") for name, ranged in asked
                                  if name in (INDEX, SO, patch)], [INDEX] + fetched)
                self.assertEqual(len([line for line in got.lines if (said or "\0") in line]),
                                 1 if said else 0, got)
                self.assertEqual([line for line in got.lines if " not used (" in line or
                                  line.startswith("Error")] == [], said is None, got)
        # A patch, named by the versions it joins, may come from a cache; the index may not.
        self.assertEqual([{dict(h)["Cache-Control"][:7] for _, h in http.of(name)}
                          for name in (patch, INDEX)], [{"max-age"}, {"no-cach"}])

    def test_a_file_changed_after_it_was_mapped_ahead_is_not_decoded_against(self):
        """The next installed version a patch starts from is mapped while the copy before it is
        finished; changed in place after that, before its patch comes, it is fetched whole."""
        http = faults.HttpFaults(self.site.path("www"))
        self.addCleanup(http.stop)
        self.publish(edited(self.versions[0], 1), b"base data\n" * 51)  # base.dat's comes first
        patch, _ = self.patch_of(self.versions[0])
        self.install(self.versions[0])
        write(self.site.path("data", "base.dat"), b"base data\n" * 50)
        http.fault(patch, "before", lambda: rewrite_in_place(self.site.path("data", "engine.so"),
                                                             edited(self.versions[0], 3)))
        # One request at a time: the patch is asked for once base.dat's copy is made.
        self.site.configure(http.port, manifest="required", pipeline=1,
                            statusfile=self.site.path("status.prom"))
        got, _, gauges = self.update()
        said = "Patch %s not used (the installed file changed or cannot be read): getting %s whole"
        self.assertEqual((got.status, self.site.tree(), gauges["files_patched"],
                          len(got.matching(re.escape(said % (patch, SO))))),
                         (0, self.site.expected, 1, 1), got)

    def test_a_copy_that_cannot_be_written_stops_its_patch_for_the_write_s_reason(self):
        """Here the file size limit stands for a full disk: the patch's line gives the write's
        error, the whole file then fails the same way, and nothing is installed."""
        engine = self.installed_by_the_updater()
        self.publish(edited(self.versions[0], 1))
        patch, size = self.patch_of(self.versions[0])
        self.assertLess(size, 64 * 1024)
        limited = write(self.site.path("limited"), "#!/bin/sh\ntrap '' XFSZ\nulimit -f 128\n"
                        "exec %s \"$@\"\n" % UPDATER)  # 64 KiB, in blocks of 512 bytes
        os.chmod(limited, 0o755)
        got = self.site.update("-v", program=limited)
        said = "Patch %s not used (write: File too large): getting %s whole" % (patch, SO)
        self.assertEqual((got.status, read(engine), len(got.matching(re.escape(said)))),
                         (6, self.versions[0], 1), got)

    def test_the_check_reads_no_file_recorded_as_older_and_digests_one_recorded_as_current(self):
        installed = self.installed_by_the_updater()
        old = self.versions[0]
        self.publish(old[:10000] + b"<same size>" * 40 + old[10440:])
        patch, _ = self.patch_of(old)
        # Already the new bytes, at the size and time recorded for the old version: the check
        # takes the record's word that it is out of date, and a patch is asked for.
        rewrite_in_place(installed, self.versions[-1])
        got, asked, _ = self.update()
        self.assertEqual((got.status, self.site.tree(), asked[:3]),
                         (0, self.site.expected, [INFO + ".sig", INFO, patch]), got)
        # Recorded as the listed version: digested, and fetched only when other bytes stand
        # there (at the recorded size and time).
        rewrite_in_place(installed, bytes(b ^ 0x55 for b in self.versions[-1][:500]) +
                         self.versions[-1][500:])
        got, asked, gauges = self.update()
        self.assertEqual((got.status, self.site.tree(), asked, gauges["files_patched"]),
                         (0, self.site.expected, [INFO + ".sig", INFO, SO], 0), got)
        got, asked, _ = self.update()
        self.assertEqual((got.status, asked), (1, [INFO + ".sig", INFO]), got)

    def test_a_mirror_without_the_patch_sends_it_to_the_next_or_the_whole_file(self):
        self.publish(edited(self.versions[0], 1))
        patch, _ = self.patch_of(self.versions[0])
        lacking = self.site.path("lacking")
        shutil.copytree(self.site.path("www"), lacking)
        shutil.rmtree(os.path.join(lacking, "pub", "qavo", "patches"))
        mirrors = [server(self, loopback.Vsftpd, root) for root in (lacking, self.site.path("www"))]
        moving = "Moving to host 127.0.0.1:%d (mirror 2 of 2)" % mirrors[1].port
        # A 550 is final at a mirror: the next one is asked at once, or the whole file comes.
        for used, fetched, moved, patched in ((mirrors[:1], [patch, SO], [], 0),
                                              (mirrors, [patch, patch], [moving], 1)):
            for installed, data in self.site.expected.items():
                write(self.site.path(installed), data)
            self.install(self.versions[0])
            self.site.configure(0, protocol="ftp", manifest="required", statusfile=self.site.path(
                "status.prom"), host='"%s"' % ",".join("127.0.0.1:%d" % m.port for m in used))
            got, asked, gauges = self.update()
            self.assertEqual((got.status, self.site.tree(), gauges["files_patched"]),
                             (0, self.site.expected, patched), got)
            self.assertEqual((asked, got.matching(r"^\d\d:\d\d:\d\d (Moving to host .*)")),
                             ([INFO + ".sig", INFO] + fetched, moved), got)

    def test_without_patches_or_with_them_off_every_line_is_as_before(self):
        nginx = server(self, loopback.Nginx, self.site.path("www"))
        self.site.configure(nginx.port, manifest="required", statusfile=self.site.path(
            "status.prom"))
        self.site.update()
        self.publish(edited(self.versions[0], 1), b"base data\n" * 51)  # both patched
        index = read(self.site.mirror_file(INDEX))
        consoles = []
        for deltas, offered in (("off", True), ("on", False), ("on", True)):
            write(self.site.mirror_file(INDEX), index) if offered else os.unlink(
                self.site.mirror_file(INDEX))
            self.install(self.versions[0])
            write(self.site.path("data", "base.dat"), b"base data\n" * 50)
            self.site.configure(nginx.port, manifest="required", deltas=deltas,
                                statusfile=self.site.path("status.prom"))
            got, asked, gauges = self.update()
            self.assertEqual((got.status, self.site.tree()), (0, self.site.expected), got)
            # Clock times, rates, ports and the age a request allows its file vary by run.
            consoles.append(re.sub(r"\d\d:\d\d:\d\d|\d+(\.\d+)? [KM]?B/s|:\d{4,5}\b|max-age=\d+",
                                   "#", got.out))
        self.assertEqual(consoles[0], consoles[1])
        self.assertNotEqual(consoles[1], consoles[2])
        self.assertEqual((PATCHED in consoles[2], consoles[2].count("Getting file patches/")),
                         (True, 2))


if __name__ == "__main__":
    unittest.main()
