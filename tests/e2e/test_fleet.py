"""What a fleet relies on: a status file whatever a run's end, a random wait spreading the runs,
a site cache before them, mirrors standing in for each other, polls moving next to nothing."""
import email.utils
import os
import re
import shutil
import socket
import subprocess
import time
import unittest

from harness import (CONF, DATA, ED25519, INFO, SIG, SO, STANDARD_DESCRIPTION, T0, UPDATER, Run,
                     Site, SiteCache, SiteTest, access_log, loopback, read, refused_port, server,
                     write)

TOO_OLD = ("\nUpdate process is too old. It seems to be a bug/infinite loop somewhere.\n"
           "Please send the core file to support@qavo.example\n")
METRICS = ("last_run_timestamp_seconds", "last_run_exit_status", "last_success_timestamp_seconds",
           "files_updated", "bytes_downloaded", "files_patched", "bytes_saved", "catalogue_serial")
WAITING = r"^Waiting (\d+\.\d+) seconds before the update \(randomdelay=%d\)$"


class FleetTest(SiteTest):
    def setUp(self):
        super().setUp()
        self.serve_http()
        self.status = self.site.path("qavoupdate.prom")

    def metrics(self):
        """The file's gauges by short name; each has its help and type lines."""
        text = read(self.status).decode()
        values = dict(re.findall(r"^qavoupdate_(\w+) (\d+)$", text, re.M))
        for name in values:
            self.assertRegex(text, r"# HELP qavoupdate_%s \S.*\n# TYPE qavoupdate_%s gauge\n"
                                   r"qavoupdate_%s " % (name, name, name))
        if shutil.which("promtool"):
            check = subprocess.run(["promtool", "check", "metrics"], input=text.encode(),
                                   capture_output=True)
            self.assertEqual(check.returncode, 0, check)
        return {name: int(value) for name, value in values.items()}

    def test_every_end_of_a_run_replaces_the_status_file(self):
        # Accepts, never answers: the watchdog ends the run.
        silent = socket.create_server(("127.0.0.1", 0), backlog=4)
        self.addCleanup(silent.close)
        size = sum(len(data) for data in self.site.expected.values())
        cases = [  # options, port, alarm, exit status, files updated, bytes, success carried over
            ((), self.http.port, 60, 0, 3, size, False),
            (("-q",), self.http.port, 60, 1, 3, size, False),  # quiet: counted, not printed
            ((), self.http.port, 60, 1, 0, 0, False), ((), 1, 60, 6, 0, 0, True),
            ((), silent.getsockname()[1], 1, 134, 0, 0, True)]
        success = None
        for options, port, alarm, status, files, downloaded, carried in cases:
            with self.subTest(options=options, status=status):
                before = int(time.time())
                if files:
                    self.site.uninstall()
                self.site.configure(port, statusfile=self.status, alarm=alarm, timeout=30, tries=1)
                got = self.site.update(*options)
                ended = got.status  # killed by a signal: minus its number
                self.assertEqual((ended if ended >= 0 else 128 - ended, got.matching(
                    "^Can't write status file"), got.out.endswith(TOO_OLD)),
                    (status, [], status == 134), got)
                got = self.metrics()
                success = success if carried else got["last_run_timestamp_seconds"]
                self.assertEqual((sorted(got), os.path.exists(self.status + ".tmp")),
                                 (sorted(METRICS), False))
                self.assertGreaterEqual(got.pop("last_run_timestamp_seconds"), before)
                self.assertEqual(got, dict(last_run_exit_status=status, files_updated=files,
                                           bytes_downloaded=downloaded, catalogue_serial=0,
                                           files_patched=0, bytes_saved=0,
                                           last_success_timestamp_seconds=success))

    def test_a_server_asking_for_patience_gets_it_or_the_file_fails_at_once(self):
        def soon():  # an HTTP date 3 s ahead of the run about to start
            return email.utils.formatdate(time.time() + 3, usegmt=True).encode()
        cases = [  # status line, Retry-After, the alarm (0: none), seconds waited at least,
            # status, the line that tells
            (b"429 Too Many Requests", lambda: b"2", 0, 2, 0,
             " Waiting 2 seconds, as the server asked (Retry-After)"),
            (b"503 Service Unavailable", soon, 60, 1, 0,
             "seconds, as the server asked (Retry-After)"),
            (b"429 Too Many Requests", lambda: b"3600", 60, 0, 6, "Error: server asked to wait "
             "3600 seconds (Retry-After); the longest wait is 300 seconds")]
        for reason, after, alarm, least, status, line in cases:
            with self.subTest(reason=reason):
                self.site.configure(self.http.port, alarm=alarm)
                self.site.uninstall()
                self.http.requests.clear()
                self.http.fault(DATA, "raw", b"HTTP/1.1 %s\r\nRetry-After: %s\r\n"
                                b"Content-Length: 0\r\n\r\n" % (reason, after()), times=1)
                start = time.monotonic()
                run = self.site.update()
                took = time.monotonic() - start
                self.assertEqual((run.status, run.ending(line), least <= took < least + 8,
                                  len(self.http.of(DATA))),
                                 (status, 1, True, 2 if status == 0 else 1), (took, run))

    def test_random_delay_waits_below_its_bound_and_says_so(self):
        self.site.configure(self.http.port, randomdelay=2)
        start = time.monotonic()
        run = self.site.update("-v")
        said = float(run.matching(WAITING % 2)[0])
        self.assertRun(run, 0)
        self.assertTrue(0 <= said < 2 and time.monotonic() - start >= said, run)

    def test_a_fleet_behind_a_site_cache_spreads_out_its_start(self):
        nginx, squid = server(self, loopback.Nginx, self.site.path("www")), server(self, SiteCache)
        fleet, started = [Site(self.site.mirror, self) for _ in range(50)], []
        for site in fleet:  # all started before any is waited on
            site.configure(nginx.port, proxy="http://127.0.0.1:%d" % squid.port, randomdelay=5,
                           timeout=30, alarm=120)
            started.append(subprocess.Popen([UPDATER, "-c", site.path("qup.conf"), "-v"],
                                            cwd=site.root, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT))
        waits = []
        for site, process in zip(fleet, started):
            out = process.communicate(timeout=150)[0].decode("latin-1")
            run = Run(process.returncode, out)
            self.assertRun(run, 0, "\t- 3 files downloaded,")
            self.assertEqual(site.tree(), self.site.expected, run)
            waits += map(float, run.matching(WAITING % 5))
        # Below the bound, and spread over much of it (50 draws: a range under 2.5 s is ~1e-13).
        self.assertTrue(len(waits) == 50 and max(waits) < 5 and max(waits) - min(waits) > 2.5,
                        waits)


SIGNING = ED25519 % "private"


class Busy(loopback.Nginx):
    """nginx that answers 503 for one file, asking for an hour's patience."""
    server_extra = "    location = /pub/qavo/base/data {\n" \
        "      add_header Retry-After 3600 always;\n      return 503;\n    }\n"


class Metered(loopback.Nginx):
    """nginx that also logs what each request moved: its own length and the reply's."""
    http_extra = "  log_format moved '$request_length $bytes_sent $status $request';\n"

    def configure(self):
        self.server_extra = "    access_log %s;\n    access_log %s moved;\n" % (
            self.path("access.log"), self.path("moved.log"))
        return super().configure()


def served(origin, n=0):
    """(mirror name, status) of every request in the server's log, in order."""
    return re.findall(r'"GET /pub/qavo/(\S+) HTTP/1.1" (\d+) ', "\n".join(access_log(origin, n)))


class MirrorsTest(SiteTest):
    def test_each_file_comes_from_the_next_mirror_when_the_first_fails_it(self):
        self.site.publish(STANDARD_DESCRIPTION, "--signing-key", SIGNING)
        spoilt = self.site.path("spoilt")  # the same publication with one file changed
        shutil.copytree(self.site.path("www"), spoilt)
        write(os.path.join(spoilt, "pub/qavo", DATA), b"BASE DATA\n" * 50)
        second = server(self, loopback.Nginx, self.site.path("www"))
        everything = [(name, "200") for name in (SIG, INFO, DATA, CONF, SO)]
        cases = [  # the first mirror (None: nothing listens), what it serves, the second's share
            (None, [], everything),
            (server(self, Busy, self.site.path("www")), everything[:2] + [(DATA, "503")],
             everything[2:]),
            (server(self, loopback.Nginx, spoilt), everything[:3], everything[2:])]
        for first, its_share, second_share in cases:
            with self.subTest(first=first and first.root):
                port, before = first.port if first else refused_port(self), len(served(second))
                run = self.site.rerun(0, "-v", host='"127.0.0.1:%d, 127.0.0.1:%d"' % (
                    port, second.port), manifest="required", tries=2, pipeline=1)  # exact logs
                self.assertUpdated(run)
                self.assertEqual(run.matching(r"^\d\d:\d\d:\d\d (Moving to host .*)"),
                                 ["Moving to host 127.0.0.1:%d (mirror 2 of 2)" % second.port])
                self.assertEqual((served(first, len(its_share)) if first else [],
                                  served(second, before + len(second_share))[before:]),
                                 (its_share, second_share))

    def test_a_poll_with_nothing_new_asks_whether_the_catalogue_changed(self):
        many = "".join("    file many/%d ${DATADIR}/many-%d\n" % (n, n) for n in range(2000))
        for n in range(2000):
            self.site.source("many/%d" % n, b"%d\n" % n)
        self.site.publish(STANDARD_DESCRIPTION + many, "--signing-key", SIGNING)  # in base
        for name in (INFO, SIG):  # long published: the server's dates tell every change
            os.utime(self.site.mirror_file(name), (T0, T0))
        nginx = server(self, Metered, self.site.path("www"))
        self.site.configure(nginx.port, manifest="required")
        self.assertRun(self.site.update(), 0, "\t- 2003 files downloaded,")
        again = self.site.update()
        self.assertRun(again, 1, "Getting file qavoe.info.sig", "Getting file qavoe.info")
        self.assertEqual(again.matching(r"^( +\d+K )"), [])  # no meter: nothing came
        moved = [line.split() for line in access_log(nginx, 2003 + 4, "moved.log")]
        self.assertEqual([row[2] for row in moved[-2:]], ["304", "304"])
        self.assertLessEqual(sum(int(row[0]) + int(row[1]) for row in moved[-2:]), 2048)
        self.assertGreater(os.path.getsize(self.site.mirror_file(INFO)), 20 * 2048)


if __name__ == "__main__":
    unittest.main()
