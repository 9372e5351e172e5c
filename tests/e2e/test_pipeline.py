"""Pipelined runs against each real server: every file asked once, requests sent ahead only on a
kept connection, and the console the same as one request at a time."""
import functools
import http.server
import re
import shutil
import threading
import unittest

import test_https
from harness import (CONF, DATA, INFO, SO, STANDARD_DESCRIPTION, Lighttpd, SiteTest, Squid,
                     loopback, pattern, read, server, write)
from test_https import setUpModule  # noqa: F401  (the test CA)

FILES = 24
# Clock times, rates, the dates of the run and the client's port differ from run to run.
VARYING = re.compile(r"\d\d:\d\d:\d\d| *[\d.]+ +[KMG]?B/s|^.*(?=: Update (started|ended)$)|"
                     r"(?<=^Connection from )\S+")


class ServersTest(SiteTest):
    def python(self, version):
        """http.server serving the mirror from a thread of ours: its port."""
        handler = type("Quiet", (http.server.SimpleHTTPRequestHandler,), dict(
            protocol_version=version, log_message=lambda *_: None))
        httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(
            handler, directory=self.site.path("www")))
        threading.Thread(target=httpd.serve_forever, daemon=True).start()
        self.addCleanup(httpd.server_close)
        self.addCleanup(httpd.shutdown)
        return httpd.server_port

    def test_every_server_answers_requests_sent_ahead(self):
        names = sorted([INFO, SO, CONF, DATA] + ["many/%d" % n for n in range(FILES)])
        for n in range(FILES):  # from an empty file up to half a megabyte
            self.site.expected["data/many-%d" % n] = read(self.site.source(
                "many/%d" % n, pattern(997 * n * n, n)))
        self.site.publish(STANDARD_DESCRIPTION + "".join(
            "    file many/%d ${DATADIR}/many-%d\n" % (n, n) for n in range(FILES)))
        www, proxy = self.site.path("www"), "http://127.0.0.1:%d" % server(self, Squid).port
        nginx = server(self, type("TlsNginx", (loopback.Nginx,), {"tls": test_https.CERT["good"]}),
                       www)
        # Closing after 5 replies, nginx leaves requests sent ahead unanswered: sent again.
        five = server(self, type("Five", (loopback.Nginx,), {"server_extra": "keepalive_requests 5;"
                                                                             "\n"}), www)
        rows = [  # server, port, whether requests go ahead, whether some are sent twice, settings
            ("nginx", nginx.port, True, False, {}), ("nginx, 5 a connection", five.port, True, True,
                                                     {}),
            ("apache", server(self, loopback.Apache, www).port, True, False, {}),
            ("lighttpd", server(self, Lighttpd, www).port, True, False, {}),
            ("python HTTP/1.1", self.python("HTTP/1.1"), True, False, {}),
            ("python HTTP/1.0", self.python("HTTP/1.0"), False, False, {}),
            ("squid", nginx.port, True, False, {"proxy": proxy}),
            ("squid CONNECT", nginx.tls_port, True, False, {"proxy": proxy, "protocol": "https"})]
        for name, port, ahead, twice, settings in rows:
            with self.subTest(name):
                shown = []
                for pipeline, went in ((None, ahead), (1, False)):
                    self.site.uninstall()
                    shutil.rmtree(self.site.path("state"), True)  # or the catalogue is not new
                    conf = self.site.configure(port, pipeline=pipeline, **settings)
                    write(conf, read(conf).decode() + '[https]\ncafile="%s"\n' % test_https.CA[0])
                    got = self.site.update("-v", "-S")
                    self.assertUpdated(got, files=FILES + 3)
                    # The file of each request sent, None for each reply's status line.
                    said = got.matching(r"^->>- GET \S*/pub/qavo/(\S+)|^-<<- HTTP/")
                    asked = list(filter(None, said))
                    self.assertEqual((sorted(set(asked)), len(asked) > len(names), any(
                        a and b for a, b in zip(said, said[1:]))), (names, twice and went, went), got)
                    shown.append([VARYING.sub("#", line) for line in got.lines if not (
                        line[:5] in ("->>- ", "-<<- ") or line.endswith("\r"))])
                self.assertEqual(*shown)

if __name__ == "__main__":
    unittest.main()
