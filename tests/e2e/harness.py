"""Machinery of the end-to-end tests: the built programs, a sandbox with a published mirror
and an installation tree, runs of qavoupdate, and the real servers."""
import hashlib
import os
import re
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

import faults

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.abspath(os.environ.get("QAVO_BIN", os.path.join(HERE, "..", "..", "build")))
SOURCE = os.path.abspath(os.environ.get("QAVO_SOURCE", os.path.join(HERE, "..", "..")))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
import loopback  # noqa: E402  (the demo's servers serve the tests too)

UPDATER = os.path.join(BUILD, "qavoupdate")
PUBLISHER = os.path.join(BUILD, "tools", "qavopublish")
DRIVER = os.path.join(BUILD, "tests", "engine_driver")
KEY = os.path.join(SOURCE, "keys", "demo-private-key.pem")
PUBLIC = os.path.join(SOURCE, "keys", "demo-public-key.pem")
ED25519 = os.path.join(SOURCE, "keys", "demo-ed25519-%s-key.pem")  # % "private" or "public"
OPENSSL = shutil.which("openssl")
SQUID, LIGHTTPD = "/usr/sbin/squid", "/usr/sbin/lighttpd"
INFOFILE, INFO, SIG = "pub/qavo/qavoe.info", "qavoe.info", "qavoe.info.sig"
T0 = 1100000000  # the listed time of the standard mirror's files
ROOT = os.geteuid() == 0


def pattern(size, seed=0):
    """Bytes without a short period: a misplaced block changes the digest."""
    return b"".join(b"%07d:%d block of the release\n" % (line, seed)
                    for line in range(size // 20 + 1))[:size]


# The standard mirror: engine requires base. (site path, installed path, bytes)
STANDARD = [
    ("engine/engine.so", "data/engine.so", pattern(120000)),
    ("engine/engine.conf", "conf/engine.conf", b"engine.conf: level=3\n"),
    ("base/data", "data/base.dat", b"base data\n" * 50)]
STANDARD_DESCRIPTION = (
    "module engine\n    require base\n    file engine/engine.so ${DATADIR}/engine.so\n"
    "    file engine/engine.conf ${CONFDIR}/engine.conf\n"
    "module base\n    file base/data ${DATADIR}/base.dat\n")
SO, CONF, DATA = (site for site, _, _ in STANDARD)


def publisher(*args, **kwargs):
    return subprocess.run([PUBLISHER, *args], capture_output=True, timeout=120, **kwargs)


def openssl(*args):
    return subprocess.run([OPENSSL, *args], capture_output=True, check=True).stdout


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def keyid(key):
    """The first 16 hex of the SHA-256 of the raw key: the last 32 bytes of its DER form."""
    der = openssl("pkey", "-pubin", "-in", key % "public", "-outform", "DER")
    return sha256(der[-32:])[:16]


def ed25519_signed(scratch, body, key, tamper=None):
    """`body` and its signature line by `key` (a path with %s for "private" and "public");
    `tamper` (a pattern and its replacement) changes the body once it is signed."""
    signature = openssl("pkeyutl", "-sign", "-rawin", "-inkey", key % "private", "-in",
                        write(scratch, body))
    body = re.sub(*(tamper or ("^", "")), body, count=1, flags=re.M)
    return body + "signature ed25519 %s %s\n" % (keyid(key), signature.hex())


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def write(path, data, mtime=None, mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data if isinstance(data, bytes) else data.encode("latin-1"))
    if mode is not None:
        os.chmod(path, mode)
    if mtime is not None:
        os.utime(path, (mtime, mtime))
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Run:
    def __init__(self, status, out, err=""):
        self.status, self.out, self.err = status, out, err
        self.lines = out.split("\n")

    def ending(self, text):
        return sum(line.endswith(text) for line in self.lines)

    def matching(self, regex):
        """The first group (or the whole match) of every line that matches."""
        found = [re.search(regex, line) for line in self.lines]
        return [m.group(1) if m.groups() else m.group(0) for m in found if m]

    def __str__(self):
        return "status %s\n%s%s" % (self.status, self.out[-6000:], self.err[-2000:])


def run(args, program=UPDATER, cwd=None, timeout=240, merge=False):
    proc = subprocess.run([program, *args], cwd=cwd, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT if merge else subprocess.PIPE, timeout=timeout)
    return Run(proc.returncode, proc.stdout.decode("latin-1"),
               (proc.stderr or b"").decode("latin-1"))


class Site:
    """Release sources, the mirror published from them, the installation tree, temporary files."""

    def __init__(self, mirror=None, test=None):
        """Given a mirror, it installs from it and publishes nothing; given a test, ends with it."""
        self.root = tempfile.mkdtemp(prefix="qavo-e2e-")
        if test:
            test.addCleanup(shutil.rmtree, self.root, True)
        os.chmod(self.root, 0o755)
        for name in ("tmp", "bin", "data", "conf", "release"):
            os.mkdir(self.path(name), 0o700 if name == "tmp" else 0o777)
        self.expected = {installed: data for _, installed, data in STANDARD}
        self.mirror = mirror or self.path("www", os.path.dirname(INFOFILE))
        if mirror is None:
            os.makedirs(os.path.dirname(self.mirror))
            for site, _, data in STANDARD:
                self.source(site, data)
            self.publish(STANDARD_DESCRIPTION)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def source(self, name, data, mtime=T0, mode=None):
        return write(self.path("release", name), data, mtime, mode)

    def publish(self, description, *options, key=KEY):
        desc = write(self.path("release", "mirror.desc"), description)
        done = publisher("build", "--key", key, *options, desc, self.mirror)
        if done.returncode != 0:
            raise AssertionError("qavopublish build failed: %s" % done.stderr.decode())

    def mirror_file(self, site):
        return os.path.join(self.mirror, site)

    def copy_name(self, site):
        """The temporary copy of a mirror file: named by the MD5 of its name."""
        return self.path("tmp", hashlib.md5(site.encode()).hexdigest())

    def configure(self, port, protocol="http", modules="", passive=None, host="127.0.0.1",
                  pipeline=None, cafile=None, **settings):
        """qup.conf for host:port: settings to [global], passive to the protocol, pipeline to
        [http], cafile to [https], modules as is."""
        options = dict(tries=3, timeout=5, alarm=60, temppath=self.path("tmp"),
                       BINDIR=self.path("bin"), DATADIR=self.path("data"),
                       CONFDIR=self.path("conf"), INSTALL=self.path("data"),
                       **{"use-proxy": "on" if settings.get("proxy") else "off"})
        options.update(settings)
        options.setdefault("statepath", self.path("state"))
        text = "".join("%s=%s\n" % item for item in options.items())
        text += "[hosts]\nhost=%s\ninfofile=%s\nprotocol=%s\n[%s]\nport=%s\n" % (
            host, INFOFILE, protocol, protocol, port)
        text += "passive=%s\n" % passive if passive is not None else ""
        if pipeline is not None:
            text += ("" if protocol == "http" else "[http]\n") + "pipeline=%s\n" % pipeline
        text += '[https]\ncafile="%s"\n' % cafile if cafile is not None else ""
        text += "[modules]\n%s\n" % modules if modules else ""
        return write(self.path("qup.conf"), "[global]\n" + text)

    def update(self, *args, program=UPDATER):
        return run(["-c", self.path("qup.conf"), *args], program=program, cwd=self.root, merge=True)

    def rerun(self, port, *args, program=UPDATER, **settings):
        """A run from an empty installation, configured anew."""
        self.uninstall()
        self.configure(port, **settings)
        return self.update(*args, program=program)

    def drive(self, tries=2):
        """One engine run over file:// through the test driver."""
        conf = self.configure(0, tries=tries, verbose="on", alarm=0)
        url = "file://" + self.mirror_file("qavoe.info")
        return run([conf, url], program=DRIVER, cwd=self.root, merge=True)

    def tree(self):
        """Every installed file, by its path below the sandbox."""
        return {os.path.relpath(full, self.root): read(full) for top in ("bin", "data", "conf")
                for folder, _, names in os.walk(self.path(top))
                for full in (os.path.join(folder, name) for name in names)}

    def uninstall(self):
        for installed in self.tree():
            os.unlink(self.path(installed))

    def leftovers(self):
        return sorted(set(os.listdir(self.path("tmp"))) - {"update.start"})


class Digested:
    """Bytes too long for a failure's diff, shown and compared by size and SHA-256."""

    def __init__(self, data):
        self.size, self.sha256 = len(data), sha256(data)

    def __eq__(self, other):
        return isinstance(other, Digested) and (self.size, self.sha256) == (other.size, other.sha256)

    def __repr__(self):
        return "<%d bytes, SHA-256 %s...>" % (self.size, self.sha256[:16])


def shortened(value):
    """VALUE with every long bytes in it (in tuples, lists and dicts) digested."""
    if isinstance(value, (bytes, bytearray)) and len(value) > 256:
        return Digested(value)
    if type(value) in (tuple, list):
        return type(value)(shortened(item) for item in value)
    if type(value) is dict:
        return {key: shortened(item) for key, item in value.items()}
    return value


class ShortDiffs(unittest.TestCase):
    def assertEqual(self, first, second, msg=None):
        # difflib takes minutes over the repr of whole files: a failure shows long contents by
        # their digests, unless that would hide the difference.
        if first != second:
            short = shortened(first), shortened(second)
            if short[0] != short[1]:
                first, second = short
        super().assertEqual(first, second, msg)


class ScratchTest(ShortDiffs):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qavo-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)


class SiteTest(ShortDiffs):
    def setUp(self):
        self.site = Site(test=self)

    def serve_http(self):
        self.http = faults.HttpFaults(self.site.path("www"))
        self.addCleanup(self.http.stop)
        self.site.configure(self.http.port)

    def assertRun(self, run, status, *lines):
        self.assertEqual(run.status, status, run)
        for line in lines:
            self.assertIn(line, run.lines, run)

    def first_then_nothing(self, *args, **settings):
        first = self.site.rerun(*args, **settings)
        self.assertUpdated(first)
        self.assertRun(self.site.update(), 1, "There are no files to update.")
        return first

    def assertUpdated(self, run, files=3):
        """Status 0, every file installed with its listed time, no temporary file left."""
        self.assertRun(run, 0, "\t- %d files downloaded," % files)
        self.assertEqual((self.site.tree(), self.site.leftovers()), (self.site.expected, []), run)
        self.assertEqual(os.stat(self.site.path("data", "engine.so")).st_mtime,
                         os.stat(self.site.mirror_file("engine/engine.so")).st_mtime)


class Lighttpd(loopback.Server):
    """lighttpd serving `root` on loopback, logging every request line."""

    name = "lighttpd"

    def configure(self):
        loopback.write_text(self.path("lighttpd.conf"), (
            'server.document-root = "%s"\nserver.bind = "127.0.0.1"\nserver.port = %d\n'
            'server.errorlog = "%s"\nserver.modules = ("mod_accesslog")\n'
            'accesslog.filename = "%s"\nserver.stat-cache-engine = "disable"\n') % (
                self.root, self.port, self.path("error.log"), self.path("access.log")))
        return [LIGHTTPD, "-D", "-f", self.path("lighttpd.conf")]


class Squid(loopback.Server):
    """squid as a forward proxy without a disk cache; `extra` lines may make it a cache."""

    name, extra, access = "squid", "", "http_access allow loopback\n"

    def configure(self):
        ipv6 = ":" in self.address
        loopback.write_text(self.path("squid.conf"), (
            "http_port %s:%d\nacl loopback src %s\n%shttp_access deny all\npid_filename %s\n"
            "access_log stdio:%s\ncache_log %s\ncache_store_log none\nnetdb_filename none\n"
            "coredump_dir %s\nlogfile_rotate 0\nshutdown_lifetime 0 seconds\n"
            "max_filedescriptors 1024\nftp_passive on\n%s%s") % (
                "[::1]" if ipv6 else "127.0.0.1", self.port, "::1" if ipv6 else "127.0.0.1/32",
                self.access, self.path("squid.pid"), self.path("access.log"),
                self.path("cache.log"), self.folder,
                "cache_effective_user proxy\n" if ROOT else "", self.extra))
        if ROOT:
            shutil.chown(self.folder, "proxy", "proxy")
        return [SQUID, "-N", "-f", self.path("squid.conf")]


class SiteCache(Squid):
    """squid as the operators' guide configures a site cache."""

    extra = re.search(r"```\n(# A site cache for qavoupdate.*?)```", read(os.path.join(
        SOURCE, "examples", "MIRROR-OPERATORS.md")).decode(), re.S).group(1)


def access_log(server, lines=0, name="access.log"):
    """The server's log once it holds `lines` lines: nginx writes each just after its reply."""
    for _ in range(100):
        got = read(server.path(name)).decode("latin-1").splitlines()
        if len(got) >= lines:
            break
        time.sleep(0.01)
    return got


def refused_port(test, address="127.0.0.1", port=0):
    """A port where nothing listens while the test runs: bound, never listening."""
    guard = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET)
    test.addCleanup(guard.close)
    guard.bind((address, port))
    return guard.getsockname()[1]


def server(test, kind, *args):
    """A loopback server for the test's duration; the test is skipped without the program."""
    program = next((p for k, p in {loopback.Nginx: loopback.NGINX, loopback.Vsftpd: loopback.VSFTPD,
                                   loopback.Apache: loopback.APACHE, Lighttpd: LIGHTTPD}.items()
                    if issubclass(kind, k)), SQUID)
    if not os.access(program, os.X_OK) or (kind is loopback.Vsftpd and not ROOT):
        test.skipTest("%s is not installed (or needs root)" % program)
    folder = tempfile.mkdtemp(prefix="qavo-%s-" % kind.name)
    os.chmod(folder, 0o755)
    started = kind(args[0] if args else folder, folder).start()
    test.addCleanup(shutil.rmtree, folder, True)
    test.addCleanup(started.stop)
    return started
