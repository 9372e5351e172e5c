"""Updates over HTTPS from nginx with certificates of a test CA, straight and through squid's
CONNECT tunnel; certificates that must not be trusted, and TLS that breaks, fail as they should."""
import re
import shutil
import tempfile
import time
import unittest

from harness import CONF, DATA, INFO, OPENSSL, SO, SiteTest, Squid, access_log, loopback, server
from test_http import LoginProxy

CERTS = None  # the module's test CA and certificates, made by setUpModule
VERIFY = "Error: TLS with %s:%d (certificate verify failed: %s)"


def setUpModule():
    if not OPENSSL:
        raise unittest.SkipTest("the openssl command is not installed")
    global CA, CERT, CERTS
    # Made and cleaned up with the module: a cleanup registered at import would run once the
    # first of several modules in one process ends.
    CERTS = tempfile.mkdtemp(prefix="qavo-tls-")
    unittest.addModuleCleanup(shutil.rmtree, CERTS, True)
    CA = loopback.make_ca(CERTS)
    CERT = {name: loopback.make_certificate(CERTS, name, *args) for name, args in (
        ("good", [CA]), ("self", []), ("wrong", [CA, "DNS:wrong.example"]),
        ("expired", [CA, "IP:127.0.0.1", -1]))}


def tls_nginx(test, cert="good"):
    return server(test, type("Tls", (loopback.Nginx,), dict(tls=CERT[cert])), test.site.path("www"))


class Bouncer(loopback.Nginx):
    """nginx that sends requests for /pub/ over the other scheme to its `to` scheme."""

    @property
    def server_extra(self):
        port = self.tls_port if self.to == "https" else self.port
        return "    location /pub/ { if ($scheme != %s) { return 301 %s://127.0.0.1:%d" \
            "$request_uri; } }\n" % (self.to, self.to, port)


class HttpsTest(SiteTest):
    def configure(self, port, **settings):
        self.site.configure(port, **{"protocol": "https", "cafile": CA[0], **settings})

    def test_trusted_chains_pass_straight_and_through_the_tunnel(self):
        squid, nginx = server(self, Squid), tls_nginx(self)
        for host, settings in (("127.0.0.1", {}), ("localhost", {}),
                               ("127.0.0.1", {"proxy": "http://127.0.0.1:%d" % squid.port})):
            with self.subTest(host=host, **settings):
                first = self.first_then_nothing(nginx.tls_port, "-S", protocol="https", host=host,
                                                cafile=CA[0], **settings)
                # One connection for every file: a session ticket does not spoil the idle test.
                peer = squid.port if settings else nginx.tls_port
                self.assertEqual((first.matching("^Connecting to (.*)"), first.matching(
                    r"^->>- (\S+ \S+)"), "-<<- HTTP/1.1 200 OK\r" in first.lines), (
                    ["%s:%d" % ("127.0.0.1" if settings else host, peer)],
                    ["CONNECT 127.0.0.1:%d" % nginx.tls_port] * bool(settings) +
                    ["GET /pub/qavo/" + name for name in (INFO, DATA, CONF, SO)], True), first)
        time.sleep(0.5)  # squid writes its log after the tunnel closed
        tunnel = r" TCP_TUNNEL/200 \d+ CONNECT 127\.0\.0\.1:%d " % nginx.tls_port
        self.assertEqual(sum(bool(re.search(tunnel, line)) for line in access_log(squid)), 2)

    def test_redirects_across_schemes_and_a_login_for_the_tunnel(self):
        for to, protocol, refused in (("https", "http", []), ("http", "https", [
                "Error: redirect to http://127.0.0.1:%d/pub/qavo/qavoe.info refused: it leaves "
                "https:// for http://"])):
            with self.subTest(to=to):
                nginx = server(self, type("To" + to, (Bouncer,), {"tls": CERT["good"], "to": to}),
                               self.site.path("www"))
                # The confined network side connects to configured ports only.
                self.configure(nginx.port if to == "https" else nginx.tls_port, protocol=protocol,
                               sandbox="off")
                got = self.site.update()
                self.assertEqual((got.status, got.matching("^Error: .*"), self.site.tree()),
                                 (6 if refused else 0, [r % nginx.port for r in refused],
                                  {} if refused else self.site.expected), got)
                self.site.uninstall()
        # The credentials go to the proxy with the CONNECT, never into the tunnel.
        squid, nginx, login = server(self, LoginProxy), tls_nginx(self), "qavo:s%40cret%3a1"
        self.configure(nginx.tls_port, proxy="http://%s@127.0.0.1:%d" % (login, squid.port),
                       **{"proxy-auth": "basic"})
        got = self.site.update("-S")
        self.assertUpdated(got)
        self.assertEqual((got.lines.count("Proxy-Authorization: Basic ****\r"),
                          "s@cret" in got.out), (1, False), got)

    def test_untrusted_certificates_fail_the_file_for_good(self):
        cases = [  # certificate, cafile, host, reason
            ("self", CA[0], "127.0.0.1", "self-signed certificate"),
            ("wrong", CA[0], "127.0.0.1", "IP address mismatch"),
            ("wrong", CA[0], "localhost", "hostname mismatch"),
            ("expired", CA[0], "127.0.0.1", "certificate has expired"),
            # The system's store knows nothing of the test CA.
            ("good", "", "127.0.0.1", "unable to get local issuer certificate")]
        for cert, cafile, host, reason in cases:
            with self.subTest(cert=cert, cafile=cafile, host=host):
                port = tls_nginx(self, cert).tls_port
                self.configure(port, cafile=cafile, host=host)
                got = self.site.update("-v")
                self.assertEqual((got.status, got.matching("^Error: .*"), got.matching("Retrying"),
                                  self.site.tree(), self.site.leftovers()),
                                 (6, [VERIFY % (host, port, reason)], [], {}, []), got)

    def test_broken_tls_and_tunnels(self):
        nginx = tls_nginx(self)
        self.serve_http()  # the proxy
        tunnel = "CONNECT 127.0.0.1:%d HTTP/1.1" % nginx.tls_port
        cases = [  # port, cafile, proxy fault, error line, attempts
            (nginx.tls_port, CERTS + "/none.pem", None,
             "Error: TLS with 127.0.0.1:%d (CA file %s/none.pem: No such file or directory)" % (
                 nginx.tls_port, CERTS), 1),
            # Plain HTTP where TLS was expected, and a tunnel that ends at once.
            (nginx.port, CA[0], None,
             "Error: TLS with 127.0.0.1:%d (wrong version number)" % nginx.port, 2),
            (nginx.tls_port, CA[0], ("*", "raw", b"HTTP/1.1 200 Connection established\r\n\r\n"),
             "Error: TLS with 127.0.0.1:%d (connection closed)" % nginx.tls_port, 2),
            (nginx.tls_port, CA[0], ("*", "status", 302), "HTTP ERROR: server reply is (302)", 2)]
        for port, cafile, fault, line, attempts in cases:
            with self.subTest(port=port, fault=fault):
                self.http.faults[:], self.http.requests[:] = [], []
                if fault:
                    self.http.fault(*fault)
                settings = {"proxy": "http://127.0.0.1:%d" % self.http.port} if fault else {}
                self.configure(port, cafile=cafile, tries=2, **settings)
                got = self.site.update()
                self.assertEqual((got.status, got.ending(line), got.matching(r"Retrying\(.*\)"),
                                  self.site.tree()),
                                 (6, attempts, ["Retrying(1:2)"] * (attempts - 1), {}), got)
                self.assertEqual(self.http.requests, [(tunnel, [("Host", tunnel[8:-9])])] * (
                    attempts if fault else 0))


if __name__ == "__main__":
    unittest.main()
