"""Updates over HTTP: from nginx directly, through squid (HTTP and FTP
mirrors), and from the fault server for what real servers never do."""
import glob
import os
import re
import time
import unittest

from harness import (CONF, DATA, INFO, INFOFILE, SO, STANDARD_DESCRIPTION, T0, Site,
                     SiteCache, SiteTest, Squid, access_log, loopback, read, server, write)

TOO_LARGE = "Error: write (File too large)"
BAD_MD5 = r"^Verifying md5sum for file: .*: FAILED$"
REPLY = "HTTP ERROR: server reply is (%d)"


def dialog(out):  # the requests (G) and replies (R) that -S showed, in order
    return "".join(m[5] for m in re.findall("^->>- GET|^-<<- HTTP", out, re.M)).replace("H", "R")


class LoginProxy(Squid):
    """squid that lets only the user qavo (password s@cret:1) through."""

    def configure(self):
        hashed = os.popen("openssl passwd -apr1 's@cret:1'").read().strip()
        loopback.write_text(self.path("passwd"), "qavo:%s\n" % hashed, mode=0o644)
        self.access = "auth_param basic program /usr/lib/squid/basic_ncsa_auth %s\nacl login " \
            "proxy_auth REQUIRED\nhttp_access allow loopback login\n" % self.path("passwd")
        return super().configure()


class ServersTest(SiteTest):
    def test_a_damaged_kept_catalogue_is_fetched_afresh(self):
        os.utime(self.site.mirror_file(INFO), (T0, T0))
        nginx = server(self, loopback.Nginx, self.site.path("www"))
        self.first_then_nothing(nginx.port)
        [kept] = glob.glob(self.site.path("state", "kept-*"))
        whole = read(kept)
        write(kept, whole[:-1] + bytes([whole[-1] ^ 1]))
        got = self.site.update("-v")
        self.assertRun(got, 1, "There are no files to update.")
        self.assertEqual((got.matching(r"^\d\d:\d\d:\d\d (The kept copy .*)"), got.matching(
            "^Error"), [line.split('" ')[1][:3] for line in access_log(nginx, 7)[-2:]]), ([
                "The kept copy of http://127.0.0.1:%d/pub/qavo/qavoe.info failed its checks: "
                "fetching it afresh" % nginx.port], [], ["304", "200"]), got)
        self.assertEqual(read(kept), whole)  # kept anew, with both validators
        self.assertRegex(whole, rb"\nlast-modified Tue, 09 Nov 2004 11:33:20 GMT\netag \"")

    def test_a_site_cache_serves_many_updaters_and_ftp_mirrors(self):
        nginx, squid = server(self, loopback.Nginx, self.site.path("www")), server(self, SiteCache)
        proxy = "http://127.0.0.1:%d" % squid.port
        sites = [self.site, Site(self.site.mirror, self), Site(self.site.mirror, self)]

        def update_all(files):
            for site in sites:
                site.configure(nginx.port, proxy=proxy)
                got = site.update()
                self.assertRun(got, 0, "\t- %d files downloaded," % files,
                               "Connecting to 127.0.0.1:%d" % squid.port)
                self.assertEqual(site.tree(), self.site.expected)
                self.assertNotIn("Connecting to 127.0.0.1:%d" % nginx.port, got.lines)
            return [sum(" 200 " in line for line in access_log(nginx) if "/%s " % name in line)
                    for name in (SO, CONF, DATA)]
        self.assertEqual(update_all(3), [1, 1, 1])  # each file left the origin once
        # A changed file copied with its old date, a second after the cache took the old one.
        time.sleep(1.1)
        self.site.expected["conf/engine.conf"] = b"engine.conf: level=4\n"
        self.site.source(CONF, self.site.expected["conf/engine.conf"], mtime=T0 - 1000)
        self.site.publish(STANDARD_DESCRIPTION)
        self.assertEqual(update_all(1), [1, 2, 1])

        vsftpd = server(self, loopback.Vsftpd, self.site.path("www"))
        self.first_then_nothing(vsftpd.port, protocol="ftp", proxy=proxy)
        time.sleep(0.5)  # squid writes its log after the reply
        # Targets are absolute; an ftp:// one keeps the login, which the proxy uses.
        log = "\n".join(access_log(squid))
        self.assertIn(" GET http://127.0.0.1:%d/%s " % (nginx.port, INFOFILE), log)
        self.assertRegex(log, r" GET ftp://ftp:[^@ /]+@127\.0\.0\.1:%d/%s " % (
            vsftpd.port, re.escape(INFOFILE)))

    def test_proxy_login(self):
        nginx, squid = server(self, loopback.Nginx, self.site.path("www")), server(self, LoginProxy)
        good, unknown = "qavo:s%40cret%3a1", "Unknown proxy-auth method '%s'. Please use none " \
            "or basic"
        cases = [  # (login in the proxy URL, proxy-auth, arguments, status, lines that must appear)
            (good, "basic", [], 0, ["Proxy-Authorization: Basic ****\r"]),
            ("qavo:n0pe", "basic", [], 6, [REPLY % 407]), (good, "none", [], 6, [REPLY % 407]),
            (good, "digest", [], 2, ["Fatal Error:Line 12:" + unknown % "digest"]),
            (good, "none", ["-a", "basic"], 0, ["Proxy-Authorization: Basic ****\r"]),
            (good, "basic", ["--proxy-auth=none"], 6, [REPLY % 407]),
            (":x", "basic", [], 2, ["Fatal Error:Line 12:proxy-auth basic needs a user in the "
                                    "proxy URL"])]
        for login, auth, args, status, lines in cases:
            with self.subTest(login=login, auth=auth, args=args):
                got = self.site.rerun(nginx.port, "-S", *args, proxy="http://%s@127.0.0.1:%d" % (
                    login, squid.port), **{"proxy-auth": auth})
                self.assertRun(got, status, *lines)
                leaked = [s for s in ("s@cret", "cWF2bzpzQGNyZXQ6MQ", "n0pe") if s in got.out]
                self.assertEqual((leaked, self.site.tree()),
                                 ([], self.site.expected if status == 0 else {}))

    def test_redirections_followed_and_refused(self):
        www, refused = self.site.path("www"), "Error: redirect to %s refused: "
        other, here = server(self, loopback.Nginx, www), "http://127.0.0.1:%d/"
        n = ["/pub/", "/r5/", "/r4/", "/r3/", "/r2/", "/r1/", "/m/"]
        hops = ["location %s { rewrite ^%s(.*)$ %s$1 redirect; }\n" % h for h in zip(n, n, n[1:])]
        chain = lambda first: "".join(hops[first:]).replace(n[first], "/pub/")  # 6 - first hops
        to = "location /pub/ { return %d %s$request_uri; }\n"
        cases = [  # (directives, status, replies to each file, connections here, lines to appear)
            (chain(1), 0, ["302"] * 5 + ["200"], 1, []),
            (chain(0), 6, ["302"] * 6, 1, [refused % (here + "m/qavo/qavoe.info") + "more than 5 "
                                           "redirects"]),
            ("location ~ \\.moved$ { rewrite ^(.*)\\.moved$ $1 break; }\nlocation ~ ^/pub/.*/(["
             "^/]+)$ { return 301 ./x/../$1.moved?q=1; }\n", 0, ["301", "200"], 1, []),
            (to % (303, "http://127.0.0.1:%d" % other.port), 0, ["303", "200"], 4,
             ["Connecting to 127.0.0.1:%d" % other.port]),
            # Made from the Host header, which must carry the port.
            ("location /pub/ { rewrite ^/pub/(.*)$ $scheme://$http_host/m/$1 permanent; }\n", 0,
             ["301", "200"], 1, [])]
        for directives, status, replies, connections, lines in cases:
            with self.subTest(directives=directives):
                extra = "absolute_redirect off;\nlocation /m/ { alias %s/pub/; }\n" % www
                kind = type("Redirecting", (loopback.Nginx,), {"server_extra": extra + directives})
                nginx, done = server(self, kind, www), status == 0
                # The confined network side connects to configured ports only.
                elsewhere = {"sandbox": "off"} if str(other.port) in directives else {}
                got = self.site.rerun(nginx.port, "-S", **elsewhere)  # which shows every reply
                self.assertRun(got, status, *[s.replace(here, here % nginx.port) for s in lines])
                log = "".join(access_log(nginx))  # the query went with the file's request
                self.assertEqual((got.matching(r"^-<<- HTTP/1.1 (\d+) "), self.site.leftovers(),
                                  got.lines.count("Connecting to 127.0.0.1:%d" % nginx.port),
                                  self.site.tree(), "GET /pub/qavo/qavoe.info.moved?q=1 " in log),
                                 (replies * (4 if done else 1), [], connections,
                                  self.site.expected if done else {}, "?q=1" in directives), got)


class FaultTest(SiteTest):
    def update(self, *faults, pads=(), args=("-v",), **settings):
        """One run from an empty installation, by a fresh server with these faults."""
        self.serve_http()
        for fault in faults:
            self.http.fault(*fault)
        self.http.padding = dict(pads)
        started = time.monotonic()
        got = self.site.rerun(self.http.port, *args, **{"tries": 3, "timeout": 5, **settings})
        self.assertLess(time.monotonic() - started, 60)
        return got

    def ranges(self, name):
        return [dict(headers).get("Range") for _, headers in self.http.of(name)]

    def test_recovered_faults(self):
        cases = [  # (faults, Range headers of engine.so, lines that must appear)
            ([(SO, "cut", 50000, 1)], [None, "bytes=50000-"], ["Retrying(1:3)"]),
            ([("*", "chunked", 1000)], [None], []),
            ([(SO, "no_length"), ("*", "close")], [None], []),
            # Told of the close, the client asks nothing more there, even before the end arrives.
            ([("*", "close", 0.5)], [None], []),
            # The whole file sent to a resume is refused unwritten; the next try resumes.
            ([(SO, "cut", 50000, 1), (SO, "ignore_range", None, 1)],
             [None, "bytes=50000-", "bytes=50000-"], [TOO_LARGE]),
            # A full copy whose reply broke off is fetched afresh, without a Range.
            ([(SO, "cut", 50000, 1), (SO, "chunked_cut", 7000, 1)],
             [None, "bytes=50000-", None], ["Retrying(2:3)"]),
            # A redirection is followed (here to a missing file), its body never stored; the
            # request sent ahead of it is asked again.
            ([(CONF, "status", 302, 1)], [None, None], [REPLY % 404]),
            ([(INFO, "raw", b"garbage-without-a-space\r\n\r\n", 1)], [None], []),
            # A chunk longer than its size line says breaks the framing: fetched again.
            ([(INFO, "raw", b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
               b"3\r\nabcdef\r\n0\r\n\r\n", 1)], [None], ["Retrying(1:3)"])]
        for faults, ranges, expected in cases:
            with self.subTest(faults=faults):
                got = self.update(*faults)
                self.assertUpdated(got)
                # No validators from this server: nothing is kept for the next run to ask about.
                self.assertEqual((self.ranges(SO), [got.ending(t) for t in expected], got.matching(
                    BAD_MD5), glob.glob(self.site.path("state", "kept-*"))),
                    (ranges, [1] * len(expected), [], []), got)
                for (_, headers), wanted in zip(self.http.of(SO), ranges):  # Range in its place
                    self.assertEqual([h[0] for h in headers], ["Accept", "Cache-Control", "Host"]
                                     + ["Range"] * (wanted is not None) + ["User-Agent"])
                if "close" in str(faults):  # each file on a connection of its own, at once
                    self.assertEqual((len(got.matching("^Connecting to")), self.http.connections,
                                      got.matching("Retrying")), (4, len(self.http.requests), []))

    def test_faults_in_the_middle_of_a_pipeline(self):
        # engine.conf's request goes between base/data's and engine.so's; whatever becomes of it,
        # engine.so is asked again after it, whole, and costs no attempt.
        cases = [  # fault, Range headers of engine.conf, lines that tell
            ((CONF, "close"), [None], []), ((CONF, "drop"), [None], []),
            ((CONF, "status", 404, 1), [None, None], [REPLY % 404, "Retrying(1:3)"]),
            ((CONF, "cut", 10, 1), [None, "bytes=10-"], ["Retrying(1:3)"]),
            ((CONF, "stall_after", 10, 1), [None, "bytes=10-"], [" Timeout", "Retrying(1:3)"]),
            ((CONF, "stall", None, 1), [None, None], [" Timeout", "Retrying(1:3)"])]
        for fault, ranges, lines in cases:
            with self.subTest(fault=fault):
                got = self.update(fault, timeout=1)
                self.assertUpdated(got)
                last = [r for r, _ in self.http.requests if CONF in r or SO in r][-1]
                self.assertEqual((self.ranges(CONF), set(self.ranges(SO)), SO in last,
                                  [got.ending(t) for t in lines], len(got.matching("Retrying"))),
                                 (ranges, {None}, True, [1] * len(lines),
                                  sum("Retrying" in t for t in lines)), got)

    def test_a_copy_refused_drops_every_file_run_ahead_after_it(self):
        # engine.conf and engine.so went with base/data's request; while the updater finds
        # base/data's copy wrong, the network side reads their replies ahead. The next mirror
        # gets all three, and the console shows each file as one request at a time would.
        nginx = server(self, loopback.Nginx, self.site.path("www"))
        got = self.update((DATA, "corrupt"), host='"127.0.0.1, 127.0.0.1:%d"' % nginx.port)
        self.assertUpdated(got)
        self.assertEqual((len(got.matching(BAD_MD5)), got.matching(r"^Getting file (\S+)"),
                          len(got.matching(r"^\S+ Moving to host")),
                          [len(self.http.of(name)) for name in (DATA, CONF, SO)]),
                         (1, [INFO, DATA, CONF, SO], 1, [1, 1, 1]), got)

    def test_a_run_broken_off_in_the_middle_of_a_pipeline_leaves_the_next_to_finish(self):
        got = self.update((CONF, "stall", None, 1), alarm=2)  # the watchdog ends it there
        self.assertEqual((got.status, self.site.tree().get("data/engine.so")), (-6, None), got)
        # The next run has the usual watchdog: its flush of the copies waits for whatever else
        # the file system holds, seconds when other tests write beside it.
        self.site.configure(self.http.port, tries=3, timeout=5)
        self.assertUpdated(self.site.update(), files=2)  # base/data's copy was whole
        self.assertEqual([self.ranges(n) for n in (CONF, SO)], [[None, None], [None]])

    def test_a_reply_that_is_not_its_files_ends_pipelining(self):
        nginx = server(self, loopback.Nginx, self.site.path("www"))
        hosts = '"127.0.0.1, 127.0.0.1:%d"' % nginx.port  # the fault server, then nginx
        wrong = b"HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n" + b"x" * 500
        for faults, pads in (([], [(DATA, 1)]), ([(DATA, "raw", wrong)], [])):
            with self.subTest(faults=faults, pads=pads):
                got = self.update(*faults, pads=pads, args=("-v", "-S"), host=hosts)
                self.assertUpdated(got)
                # Sent ahead at the first mirror; one at a time for the rest of the run.
                self.assertEqual([dialog(part) for part in got.out.split("Moving to host")],
                                 ["GRGGGR", "GRGRGR"], got)

    def test_retries_at_one_mirror_are_spaced_even_without_limit(self):
        # tries=0 retries without limit: at once, then 1, 2, 3 s apart until the alarm at 5 s.
        got = self.update((DATA, "status", 404), tries=0, alarm=5)
        self.assertEqual((got.status, len(self.http.of(DATA)), got.matching(
            r"^\d\d:\d\d:\d\d (Waiting \d+ seconds before the next attempt|Retrying.*)$")),
            (-6, 4, [text % n for n in (1, 2, 3) for text in (
                "Retrying(%d:0)", "Waiting %d seconds before the next attempt")]), got)

    def test_late_end_of_chunked_body(self):  # read, it leaves the kept connection clean
        got = self.update(("*", "chunked_late", 1000), tries=1)
        self.assertEqual((got.status, self.http.connections, self.site.tree()),
                         (0, 1, self.site.expected), got)

    def test_failed_fetches(self):
        catalogue, again = read(self.site.mirror_file(INFO)), "Retrying(1:2)"
        limit, unsigned = (64 << 20) - len(catalogue), "Verifying signed file '%s': FAILED" % INFO
        counted = b"HTTP/1.1 200 OK\r\nContent-Length: %s\r\n\r\n%s"
        cases = [  # (faults, pads, tries, {text ending lines: count}, requests of a file)
            *[(f, [(CONF, 1)], 2, {TOO_LARGE: 2}, (CONF, 2))
              for f in ([], [(CONF, "no_length")], [(CONF, "chunked", 5)])],
            ([], [(INFO, limit + 1)], 1, {TOO_LARGE: 1}, (INFO, 1)),
            ([(INFO, "no_length")], [(INFO, limit + 1)], 1, {TOO_LARGE: 1}, (INFO, 1)),
            # Exactly at the bound the catalogue is read, and refused by its signature.
            ([], [(INFO, limit)], 1, {TOO_LARGE: 0, unsigned: 1}, (INFO, 1)),
            # Other replies from 300 to 399, a redirection without Location, and a 500 are errors.
            *[([(DATA, "status", n)], [], 2, {REPLY % n: 2}, (DATA, 2)) for n in (300, 500)],
            *[([(INFO, "raw", b"HTTP/1.1 %s\r\nContent-Length: 0\r\n\r\n" % line)], [], 2,
               {REPLY % int(line[:3]): 2}, (INFO, 2)) for line in (b"302 Found", b"306 Unused")],
            # A refused redirection is final, and shown with its odd bytes escaped.
            ([(INFO, "raw", b"HTTP/1.1 302 Found\r\nLocation: ftp://h/\xe9 \r\n\r\n")], [], 2,
             {"Error: redirect to ftp://h/%e9 refused: only http:// and https:// locations are "
              "followed": 1}, (INFO, 1)),
            # A NUL byte ends a chunk-size line as a failure.
            ([(INFO, "raw", b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
               b"3\0\r\nabc\r\n0\r\n\r\n")], [], 2, {again: 1}, (INFO, 2)),
            # Waits for a stalled server end after the time-out of one second.
            ([(SO, "stall_after", 3000)], [], 2, {" Timeout": 2}, (SO, 2)),
            ([(INFO, "stall")], [], 2, {}, (INFO, 2)),
            # The whole catalogue after a length that is not one count of digits is a bad reply,
            # tried again: a sign, a count past 32 bits, two different lengths.
            *[([(INFO, "raw", counted % (length, catalogue))], [], 2, {again: 1}, (INFO, 2))
              for length in (b"-5", b"+5", b"-0", b"99999999999", b"5 5",
                             b"%d\r\nContent-Length: 5" % len(catalogue))]]
        for faults, pads, tries, counts, (name, requests) in cases:
            with self.subTest(faults=faults, pads=pads):
                got = self.update(*faults, tries=tries, timeout=1 if "stall" in str(faults) else 5,
                                  pads=pads)
                self.assertEqual((got.status, {t: got.ending(t) for t in counts},
                                  len(self.http.of(name)), self.site.leftovers()),
                                 (6, counts, requests, []), got.out[-3000:])
                self.assertNotIn(self.site.expected["conf/engine.conf"], self.site.tree().values())
                if faults and faults[0][1] == "stall_after":
                    self.assertEqual(self.ranges(SO), [None, "bytes=3000-"])


if __name__ == "__main__":
    unittest.main()
