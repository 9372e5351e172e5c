"""Mirrors reached over IPv6 (nginx and vsftpd on ::1 only), names of both families or of none."""
import re
import shutil
import time
import unittest

from harness import ROOT, UPDATER, SiteTest, Squid, loopback, refused_port, server, write

NGINX6, VSFTPD6 = (type(kind.name + "6", (kind,), {"address": "::1"})
                   for kind in (loopback.Nginx, loopback.Vsftpd))


class Ipv6Test(SiteTest):
    def test_nginx_and_vsftpd_on_ipv6_only(self):
        nginx = server(self, NGINX6, self.site.path("www"))
        first = self.first_then_nothing(nginx.port, "-S", host="::1", verbose="on")
        self.assertRun(first, 0, "Connecting to [::1]:%d" % nginx.port,
                       "Host: [::1]:%d\r" % nginx.port)
        self.assertRegex(first.out, r"\nConnection from \[::1\]:\d+ to \[::1\]:%d was" % nginx.port)
        # A proxy named by a bracketed URL (quoted in the file: brackets open a section).
        squid = server(self, type("Squid6", (Squid,), {"address": "::1"}))
        got = self.site.rerun(nginx.port, host="::1", proxy='"http://[::1]:%d"' % squid.port)
        self.assertUpdated(got)
        self.assertEqual(got.matching("^Connecting to (.*)"), ["[::1]:%d" % squid.port])
        vsftpd = server(self, VSFTPD6, self.site.path("www"))
        for passive, verb, replies in (("off", "EPSV", 4), ("on", "EPRT |2|::1|", 0)):
            with self.subTest(passive=passive):
                got = self.site.rerun(vsftpd.port, "-S", protocol="ftp", passive=passive,
                                      host="::1")
                self.assertUpdated(got)
                self.assertEqual((len(got.matching("^->>- " + re.escape(verb))), got.matching(
                    "^->>- (PASV|PORT)"), len(got.matching(r"^-<<- 229 .*\(\|\|\|\d+\|\)"))),
                    (4, [], replies), got)

    def test_names_of_both_families_and_of_none(self):
        self.site.configure(80, host="mirror.invalid", tries=2)
        started = time.monotonic()
        got = self.site.update()
        self.assertRun(got, 6, "Error: gethostbyname (Unknown host)")
        self.assertEqual((got.matching("^Connecting"), time.monotonic() - started < 10), ([], True))
        if not ROOT or not shutil.which("unshare"):
            self.skipTest("a hosts file of our own needs root and unshare")
        # The updater alone sees our hosts file, in a mount namespace of its own.
        wrapper = write(self.site.path("namespace.sh"), "#!/bin/sh\nexec unshare --mount sh -c "
                        "'mount --bind %s /etc/hosts && exec \"$0\" \"$@\"' %s \"$@\"\n"
                        % (self.site.path("hosts"), UPDATER), mode=0o755)
        # (server, localhost's addresses in order): of a failure only the last address's is told.
        for kind, addresses, status in [(loopback.Nginx, "::1 127.0.0.1", 0),
                                        (NGINX6, "127.0.0.1 ::1", 0), (NGINX6, "127.0.0.1", 6)]:
            with self.subTest(addresses=addresses):
                nginx = self.alone_at_its_port(kind)
                write(self.site.path("hosts"), "".join(a + " localhost\n" for a in addresses.split()))
                got = self.site.rerun(nginx.port, program=wrapper, host="localhost", tries=1)
                self.assertRun(got, status, "Connecting to localhost:%d" % nginx.port)
                self.assertEqual((got.matching("^Error: .*"), self.site.tree() == self.site.expected),
                                 (["Error: connect (Connection refused)"] * (status // 6), not status),
                                 got)

    def alone_at_its_port(self, kind):
        """A server of one family; its port in the other is bound, never listening: refused."""
        for _ in range(20):
            started = server(self, kind, self.site.path("www"))
            try:
                refused_port(self, "127.0.0.1" if kind.address == "::1" else "::1", started.port)
                return started
            except OSError:
                started.stop()
        self.fail("no port free in both families")


if __name__ == "__main__":
    unittest.main()
