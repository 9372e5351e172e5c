"""Pipelined runs against each real server: every file asked once, requests sent ahead only on a
kept connection, and the console the same as one request at a time."""
import functools
import http.server
import re
import shutil
import unittest

import faults
import test_https
from harness import (CONF, DATA, INFO, SO, STANDARD_DESCRIPTION, Lighttpd, SiteTest, Squid,
                     loopback, pattern, read, server)
from test_http import dialog
from test_https import setUpModule  # noqa: F401  (the test CA)

FILES = 24
# Clock times, rates, the dates of the run and the client's port differ from run to run.
VARYING = re.compile(r"\d\d:\d\d:\d\d| *[\d.]+ +[KMG]?B/s|^.*(?=: Update (started|ended)$)|"
                     r"(?<=^Connection from )\S+")


class ServersTest(SiteTest):
    def python(self, version, www):
        """http.server serving `www` from a thread of ours: its port."""
        handler = type("Quiet", (http.server.SimpleHTTPRequestHandler,), dict(
            protocol_version=version, log_message=lambda *_: None))
        httpd = faults.Threaded(www, functools.partial(handler, directory=www))
        self.addCleanup(httpd.stop)
        return httpd.port

    def test_every_server_answers_requests_sent_ahead(self):
        names = sorted([INFO, SO, CONF, DATA] + ["many/%d" % n for n in range(FILES)])
        for n in range(FILES):  # from an empty file up to half a megabyte
            self.site.expected["data/many-%d" % n] = read(self.site.source(
                "many/%d" % n, pattern(997 * n * n, n)))
        self.site.publish(STANDARD_DESCRIPTION + "".join(
            "    file many/%d ${DATADIR}/many-%d\n" % (n, n) for n in range(FILES)))
        www, proxy = self.site.path("www"), "http://127.0.0.1:%d" % server(self, Squid).port
        nginx = test_https.tls_nginx(self)
        # Closing after 5 replies, nginx leaves requests sent ahead unanswered: sent again.
        five = type("Five", (loopback.Nginx,), {"server_extra": "keepalive_requests 5;\n"})
        rows = [  # server, port, requests 0: one at a time, 1: sent ahead, 2: and some sent twice
            ("nginx", nginx.port, 1, {}), ("lighttpd", server(self, Lighttpd, www).port, 1, {}),
            ("nginx, 5 a connection", server(self, five, www).port, 2, {}),
            ("apache", server(self, loopback.Apache, www).port, 1, {}),
            ("python HTTP/1.1", self.python("HTTP/1.1", www), 1, {}),
            ("python HTTP/1.0", self.python("HTTP/1.0", www), 0, {}),
            ("nginx https", nginx.tls_port, 1, {"protocol": "https"}),
            ("squid", nginx.port, 1, {"proxy": proxy}),
            ("squid CONNECT", nginx.tls_port, 1, {"proxy": proxy, "protocol": "https"})]
        for name, port, ahead, settings in rows:
            with self.subTest(name):
                shown = []
                for pipeline, went in ((None, ahead), (1, 0)):
                    self.site.uninstall()
                    shutil.rmtree(self.site.path("state"), True)  # or the catalogue is not new
                    self.site.configure(port, pipeline=pipeline, cafile=test_https.CA[0],
                                        **settings)
                    got = self.site.update("-v", "-S")
                    self.assertUpdated(got, files=FILES + 3)
                    asked = got.matching(r"^->>- GET \S*/pub/qavo/(\S+)")
                    # Sent ahead: two requests without a reply between them.
                    self.assertEqual((sorted(set(asked)), len(asked) > len(names), "GG" in dialog(
                        got.out)), (names, went == 2, went > 0), got)
                    shown.append([VARYING.sub("#", line) for line in got.lines if not (
                        line[:5] in ("->>- ", "-<<- ") or line.endswith("\r"))])
                self.assertEqual(*shown)

if __name__ == "__main__":
    unittest.main()
