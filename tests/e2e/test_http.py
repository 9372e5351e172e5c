"""End-to-end updates over HTTP: qavoupdate run from the command line against
a mirror published with `qavopublish build`, served by nginx directly, through
squid, and by a fault-injecting server (chunked, cut and open-ended bodies,
ignored Range requests, error statuses, a server that stops answering)."""
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import mirrorlib
import servers
from httpfault import FaultServer
from mirrorlib import write
from qavotest import UPDATER

AGENT = "QAVO Update/snapshot-20021125"
INFOFILE = "pub/qavo/qavoe.info"
TOO_LARGE = "Error: write (File too large)"
BAD_MD5 = re.compile(r"^Verifying md5sum for file: .*: FAILED$")


def engine_data():
    # Large enough for several meter lines and for a cut in the middle;
    # no repeating period, so a misplaced tail changes the digest.
    return b"".join(b"%08d engine block\n" % i for i in range(8000))


@unittest.skipUnless(os.path.exists(UPDATER) and os.path.exists(mirrorlib.TOOL),
                     "qavoupdate or qavopublish not built")
class HttpUpdateTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="qavo-http-")
        for name in ("tmp", "bin", "data", "conf", "release", "www"):
            os.mkdir(self.path(name))
        self.mirror = self.path("www", os.path.dirname(INFOFILE))
        os.makedirs(os.path.dirname(self.mirror))
        release = self.path("release")
        self.files = {"engine/engine.so": engine_data(),
                      "engine/engine.conf": b"conf=1\n",
                      "base/data": b"base data\n" * 50}
        for name, data in self.files.items():
            write(os.path.join(release, name), data, 1100000000)
        desc = write(os.path.join(release, "mirror.desc"), (
            "module engine\n"
            "    require base\n"
            "    file engine/engine.so ${DATADIR}/engine.so\n"
            "    file engine/engine.conf ${CONFDIR}/engine.conf\n"
            "module base\n"
            "    file base/data ${DATADIR}/base.dat\n"))
        result = mirrorlib.build(desc, self.mirror)
        self.assertEqual(result.returncode, 0, result.stderr)

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def update(self, port, proxy=None, tries=3, timeout=5, *args, protocol="http"):
        """Runs qavoupdate with a sandbox configuration; (status, lines)."""
        conf = write(self.path("qup.conf"), (
            "[global]\ntemppath=%s\nBINDIR=%s\nDATADIR=%s\nCONFDIR=%s\nINSTALL=%s\n"
            "tries=%d\ntimeout=%d\nalarm=300\nuse-proxy=%s\n%s"
            "[hosts]\nhost=127.0.0.1\ninfofile=%s\nprotocol=%s\n"
            "[%s]\nport=%d\n") % (
                self.path("tmp"), self.path("bin"), self.path("data"), self.path("conf"),
                self.path("data"), tries, timeout, "on" if proxy else "off",
                "proxy=%s\n" % proxy if proxy else "", INFOFILE, protocol, protocol, port))
        proc = subprocess.run([UPDATER, "-c", conf, *args], cwd=self.root,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=240)
        return proc.returncode, proc.stdout.decode("latin-1").split("\n")

    def installed(self):
        out = {}
        for name, where in (("engine/engine.so", "data/engine.so"),
                            ("engine/engine.conf", "conf/engine.conf"),
                            ("base/data", "data/base.dat")):
            try:
                with open(self.path(where), "rb") as f:
                    out[name] = f.read()
            except OSError:
                out[name] = None
        return out

    def assert_installed(self, lines):
        self.assertEqual(self.installed(), self.files, "\n".join(lines))
        self.assertEqual(os.stat(self.path("data", "engine.so")).st_mtime, 1100000000)
        # Only the lock file stays in the temporary directory.
        self.assertEqual(os.listdir(self.path("tmp")), ["update.start"])

    def assert_first_then_nothing(self, port, proxy=None, **options):
        status, lines = self.update(port, proxy, **options)
        self.assertEqual(status, 0, "\n".join(lines))
        self.assertIn("\t- 3 files downloaded,", lines)
        self.assert_installed(lines)
        status, again = self.update(port, proxy, **options)
        self.assertEqual(status, 1, "\n".join(again))
        self.assertIn("There are no files to update.", again)
        return lines, again


def log_fields(line):
    return dict(re.findall(r'(\w+)="([^"]*)"', line))


@unittest.skipUnless(servers.Nginx.available(), "nginx not installed")
class NginxMirrorTest(HttpUpdateTest):
    def setUp(self):
        super().setUp()
        self.nginx = servers.Nginx(self.path("www")).start()

    def tearDown(self):
        self.nginx.stop()
        super().tearDown()

    def test_first_run_installs_second_finds_nothing_to_do(self):
        lines, _ = self.assert_first_then_nothing(self.nginx.port)
        self.assertIn("Connecting to 127.0.0.1:%d" % self.nginx.port, lines)
        self.assertEqual(sum(1 for line in lines if line.startswith("Connecting to")), 1,
                         "the connection is kept for every file")

        base = "http://127.0.0.1:%d/%s/" % (self.nginx.port, os.path.dirname(INFOFILE))
        log = self.nginx.access_log()
        requested = [re.match(r'"GET (\S+) HTTP/1.1" 200 ', line).group(1) for line in log]
        self.assertEqual(requested, [base + name for name in (
            "qavoe.info", "base/data", "engine/engine.conf", "engine/engine.so",
            "qavoe.info")])
        for line in log:
            fields = log_fields(line)
            self.assertEqual((fields["host"], fields["accept"], fields["agent"], fields["range"]),
                             ("127.0.0.1", "*.*", AGENT, "-"))
            # The front end's user name never reaches an http:// target.
            self.assertNotIn("@", line.split('"')[1])
            if "qavoe.info" in line:
                self.assertEqual(fields["cache"], "no-cache")
            else:
                age = int(re.fullmatch(r"max-age=(\d+)", fields["cache"]).group(1))
                self.assertAlmostEqual(age, time.time() - 1100000000, delta=600)

    def test_server_response_shows_the_dialogue(self):
        status, lines = self.update(self.nginx.port, None, 3, 5, "-S")
        self.assertEqual(status, 0, "\n".join(lines))
        self.assertIn("->>- GET http://127.0.0.1:%d/%s HTTP/1.1\r" % (self.nginx.port, INFOFILE),
                      lines)
        self.assertIn("Accept: *.*\r", lines)
        self.assertIn("-<<- HTTP/1.1 200 OK\r", lines)

    def test_missing_information_file_is_an_http_error(self):
        os.unlink(os.path.join(self.mirror, "qavoe.info"))
        status, lines = self.update(self.nginx.port, tries=2)
        self.assertEqual(status, 6, "\n".join(lines))
        self.assertEqual(lines.count("HTTP ERROR: server reply is (404)"), 2)
        self.assertEqual(len([line for line in lines
                              if re.search(r"\d\d:\d\d:\d\d Retrying\(1:2\)$", line)]), 1)


@unittest.skipUnless(servers.Nginx.available() and servers.Squid.available(),
                     "nginx or squid not installed")
class SquidProxyTest(HttpUpdateTest):
    def setUp(self):
        super().setUp()
        self.nginx = servers.Nginx(self.path("www")).start()
        try:
            self.squid = servers.Squid().start()
        except Exception:
            self.nginx.stop()
            raise

    def tearDown(self):
        self.squid.stop()
        self.nginx.stop()
        super().tearDown()

    def test_http_mirror_through_the_proxy(self):
        proxy = "http://127.0.0.1:%d" % self.squid.port
        lines, _ = self.assert_first_then_nothing(self.nginx.port, proxy)
        self.assertIn("Connecting to 127.0.0.1:%d" % self.squid.port, lines)
        self.assertNotIn("Connecting to 127.0.0.1:%d" % self.nginx.port, lines)
        time.sleep(0.5)  # squid writes its log after the reply
        target = "http://127.0.0.1:%d/%s" % (self.nginx.port, INFOFILE)
        self.assertTrue(any(" GET %s " % target in line for line in self.squid.access_log()),
                        self.squid.access_log())
        # The files themselves came from the mirror behind the proxy.
        served = [line for line in self.nginx.access_log() if "engine.so" in line]
        self.assertEqual(len(served), 1, self.nginx.access_log())
        self.assertEqual(log_fields(served[0])["agent"], AGENT)

    def test_proxy_that_is_not_http_serves_nothing(self):
        status, lines = self.update(self.nginx.port, "socks://127.0.0.1:%d" % self.squid.port)
        self.assertNotEqual(status, 0, "\n".join(lines))
        self.assertFalse(any(line.startswith("Connecting to") for line in lines), lines)
        self.assertEqual(self.nginx.access_log(), [])


VSFTPD = getattr(servers, "Vsftpd", None)


@unittest.skipUnless(VSFTPD is not None and VSFTPD.available() and servers.Squid.available(),
                     "vsftpd or squid not installed")
class SquidFtpTest(HttpUpdateTest):
    def setUp(self):
        super().setUp()
        self.ftp = VSFTPD(self.path("www")).start()
        try:
            self.squid = servers.Squid().start()
        except Exception:
            self.ftp.stop()
            raise

    def tearDown(self):
        self.squid.stop()
        self.ftp.stop()
        super().tearDown()

    def test_ftp_mirror_through_the_proxy(self):
        proxy = "http://127.0.0.1:%d" % self.squid.port
        lines, _ = self.assert_first_then_nothing(self.ftp.port, proxy, protocol="ftp")
        self.assertIn("Connecting to 127.0.0.1:%d" % self.squid.port, lines)
        self.assertNotIn("Connecting to 127.0.0.1:%d" % self.ftp.port, lines)
        time.sleep(0.5)
        # The login stays in an ftp:// target: the proxy uses it.
        target = re.compile(r" GET ftp://ftp:[^@ /]+@127\.0\.0\.1:%d/%s " % (
            self.ftp.port, re.escape(INFOFILE)))
        log = self.squid.access_log()
        self.assertTrue(any(target.search(line) for line in log), log)


class FaultServerTest(HttpUpdateTest):
    def setUp(self):
        super().setUp()
        self.server = FaultServer(self.path("www")).start()

    def tearDown(self):
        self.server.stop()
        super().tearDown()

    def requests_of(self, name):
        return [(line, headers) for line, headers in self.server.requests if line.split(" ")[1]
                .endswith("/" + name)]

    def test_request_headers_in_sorted_order(self):
        self.server.fault("pub/qavo/engine/engine.so", "cut", 50000, times=1)
        status, lines = self.update(self.server.port)
        self.assertEqual(status, 0, "\n".join(lines))
        first, retry = self.requests_of("engine/engine.so")
        self.assertEqual([name for name, _ in first[1]],
                         ["Accept", "Cache-Control", "Host", "User-Agent"])
        self.assertEqual([name for name, _ in retry[1]],
                         ["Accept", "Cache-Control", "Host", "Range", "User-Agent"])
        self.assertEqual(dict(retry[1])["Range"], "bytes=50000-")
        self.assertEqual(first[0], "GET http://127.0.0.1:%d/pub/qavo/engine/engine.so HTTP/1.1"
                         % self.server.port)
        self.assertEqual(first[0], retry[0])
        # The meter's unfinished line may come before the clock.
        self.assertEqual(len([line for line in lines
                              if re.search(r"\d\d:\d\d:\d\d Retrying\(1:3\)$", line)]), 1, lines)
        self.assert_installed(lines)

    def test_chunked_replies(self):
        self.server.fault("*", "chunked", 1000)
        self.assert_first_then_nothing(self.server.port)

    def test_bodies_without_length_and_connections_closed_after_each_reply(self):
        self.server.fault("pub/qavo/engine/engine.so", "no_length")
        self.server.fault("*", "close")
        lines, _ = self.assert_first_then_nothing(self.server.port)
        self.assertEqual(self.server.connections, len(self.server.requests))
        self.assertEqual(sum(1 for line in lines if line.startswith("Connecting to")), 4)
        self.assertFalse([line for line in lines if "Retrying" in line], lines)

    def test_whole_file_sent_to_a_resume_is_refused_as_too_large_and_the_next_try_resumes(self):
        self.server.fault("pub/qavo/engine/engine.so", "cut", 50000, times=1)
        self.server.fault("pub/qavo/engine/engine.so", "ignore_range", times=1)
        status, lines = self.update(self.server.port, None, 3, 5, "-v")
        self.assertEqual(status, 0, "\n".join(lines))
        self.assertEqual(lines.count(TOO_LARGE), 1, lines)
        self.assertFalse(list(filter(BAD_MD5.match, lines)), lines)
        ranges = [dict(headers).get("Range") for line, headers in self.requests_of("engine.so")]
        self.assertEqual(ranges, [None, "bytes=50000-", "bytes=50000-"])
        self.assert_installed(lines)

    def test_more_data_than_listed_is_refused_in_every_framing(self):
        for kind in (None, "no_length", "chunked"):
            with self.subTest(kind=kind):
                self.server.clear()
                self.server.pad("pub/qavo/engine/engine.conf", 1)
                if kind:
                    self.server.fault("pub/qavo/engine/engine.conf", kind)
                status, lines = self.update(self.server.port, None, 2, 5)
                self.assertEqual(status, 6, "\n".join(lines))
                self.assertEqual(sum(line.endswith(TOO_LARGE) for line in lines), 2, lines)
                self.assertEqual(len(self.requests_of("engine.conf")), 2)
                self.assertIsNone(self.installed()["engine/engine.conf"])
                self.server.requests.clear()

    def test_catalogue_beyond_64_mib_is_refused(self):
        size = os.path.getsize(os.path.join(self.mirror, "qavoe.info"))
        for kind in (None, "no_length"):
            with self.subTest(kind=kind):
                self.server.clear()
                self.server.pad(INFOFILE, (64 << 20) - size + 1)
                if kind:
                    self.server.fault(INFOFILE, kind)
                status, lines = self.update(self.server.port, None, 1, 5, "-v")
                tail = "\n".join(lines[-6:])  # the meter's lines would drown the message
                self.assertEqual(status, 6, tail)
                self.assertEqual(sum(line.endswith(TOO_LARGE) for line in lines), 1, tail)
                self.assertFalse([line for line in lines if "Verifying signed" in line], tail)
        # Exactly at the limit the catalogue is read (and then refused by its signature).
        self.server.clear()
        self.server.pad(INFOFILE, (64 << 20) - size)
        status, lines = self.update(self.server.port, None, 1, 5, "-v")
        tail = "\n".join(lines[-6:])
        self.assertFalse([line for line in lines if line.endswith(TOO_LARGE)], tail)
        self.assertIn("Verifying signed file 'qavoe.info': FAILED", lines, tail)

    def test_redirection_body_is_taken_as_the_file(self):
        self.server.fault("pub/qavo/base/data", "status", 302, times=1)
        status, lines = self.update(self.server.port, None, 3, 5, "-v")
        self.assertEqual(status, 6, "\n".join(lines))
        self.assertEqual(len(list(filter(BAD_MD5.match, lines))), 1, lines)
        self.assertNotIn("HTTP ERROR: server reply is (302)", lines)
        # Longer than the file's listed size, the same body is refused unwritten.
        self.server.fault("pub/qavo/engine/engine.conf", "status", 302, times=1)
        status, lines = self.update(self.server.port, None, 3, 5, "-v")
        self.assertEqual(status, 0, "\n".join(lines))
        self.assertEqual(lines.count(TOO_LARGE), 1, lines)
        self.assertFalse(list(filter(BAD_MD5.match, lines)), lines)

    def test_error_status_spends_every_attempt(self):
        self.server.fault("pub/qavo/base/data", "status", 500)
        status, lines = self.update(self.server.port, tries=2)
        self.assertEqual(status, 6, "\n".join(lines))
        self.assertEqual(lines.count("HTTP ERROR: server reply is (500)"), 2)
        self.assertEqual(len(self.requests_of("base/data")), 2)

    def test_broken_status_line_is_retried(self):
        self.server.fault("pub/qavo/qavoe.info", "bad_status", times=1)
        status, lines = self.update(self.server.port)
        self.assertEqual(status, 0, "\n".join(lines))
        self.assertEqual(len(self.requests_of("qavoe.info")), 2)
        self.assert_installed(lines)

    def test_server_that_stops_answering_times_out(self):
        self.server.fault("pub/qavo/engine/engine.so", "stall_after", 3000)
        started = time.monotonic()
        status, lines = self.update(self.server.port, tries=2, timeout=1)
        self.assertEqual(status, 6, "\n".join(lines))
        self.assertLess(time.monotonic() - started, 60)
        self.assertEqual(sum(1 for line in lines if line.endswith(" Timeout")), 2, lines)
        # The second attempt asked for the tail after the 3000 bytes.
        retry = self.requests_of("engine/engine.so")[1]
        self.assertEqual(dict(retry[1]).get("Range"), "bytes=3000-")

    def test_silent_server_fails_the_status_line(self):
        self.server.fault("pub/qavo/qavoe.info", "stall")
        started = time.monotonic()
        status, lines = self.update(self.server.port, tries=2, timeout=1)
        self.assertEqual(status, 6, "\n".join(lines))
        self.assertLess(time.monotonic() - started, 60)
        self.assertEqual(len(self.requests_of("qavoe.info")), 2)


if __name__ == "__main__":
    unittest.main()
