#!/usr/bin/env python3
"""Two builds of the updater compared over the end-to-end scenarios: real servers on loopback and
the fault servers, each run in a fresh sandbox, with what varies from run to run masked.

    bench/compare_builds.py --old OLD_BUILD --new NEW_BUILD [--only REGEX] [--dump DIR]

Each build folder holds qavoupdate and tools/qavopublish (the old one publishes every mirror).
Run as root, with nginx, lighttpd, squid and vsftpd installed. Per scenario it prints "same" or
"DIFFERENT" and a unified diff of the records (status, standard output and error, the installed
tree, the temporary folder, what the servers received); the exit status is 0 when all are the
same. Racy scenarios (RACY below) run --repeat times per build with their race masked."""
import argparse
import difflib
import hashlib
import os
import re
import shutil
import socket
import sys
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
import faults  # noqa: E402
import harness  # noqa: E402
from harness import STANDARD_DESCRIPTION, T0, loopback  # noqa: E402

SO, CONF, DATA, INFO = "engine/engine.so", "engine/engine.conf", "base/data", "qavoe.info"
MONTH = r"(?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)"
# What differs between two runs of one build: clocks, dates, rates, ages, process ids.
VARYING = [
    (re.compile(r"^\d{9,}\.\d+\s+\d+ ", re.M), "<time> <ms> "),  # squid's log
    (re.compile(r"\b\d\d:\d\d:\d\d\b"), "hh:mm:ss"),
    (re.compile(r"\b\d\d?[ /-]%s[ /-]\d{4}\b" % MONTH), "<date>"),
    (re.compile(r"\b%s +\d\d?\b" % MONTH), "<date>"),
    (re.compile(r"\b\d{4}-\d\d-\d\d\b"), "<date>"),
    (re.compile(r"\b(?:Mon|Tue|Wed|Thu|Fri|Sat|Sun)\b"), "<day>"),
    (re.compile(r" *\d+(?:\.\d+)? *[KMGT]?B/s"), " <rate>"),
    (re.compile(r"[\d.]+Kbyte/sec"), "<rate>"),  # vsftpd's log
    (re.compile(r"\bAge: \d+"), "Age: <age>"),
    (re.compile(r"\[pid \d+\]"), "[pid]"),
    (re.compile(r"\b127,0,0,1,\d+,\d+"), "127,0,0,1,<port>"),  # PORT and 227 replies
    (re.compile(r"(?m)^(qavoupdate_last_\w+_seconds) \d+$"), r"\1 <time>"),  # the status file
]
SIGNING = os.path.join(SOURCE, "keys", "demo-ed25519-private-key.pem")


class Skipped(Exception):
    pass


class Mirrors:
    """The standard mirror and the one with engine.so changed, each published once, so that every
    run of either build is served the same bytes (the publisher lists a new file by the clock)."""

    def __init__(self):
        self.site = harness.Site()
        self.standard = self.site.path("standard")
        shutil.copytree(self.site.path("www"), self.standard)
        time.sleep(3)  # listed times a request's max-age cannot confuse
        self.site.source(SO, harness.pattern(120000, seed=2), mtime=T0 - 100)
        self.site.publish(STANDARD_DESCRIPTION)
        self.changed = self.site.path("www")
        # The changed mirror again, with a manifest signed by the demo key.
        self.signed = self.site.path("signed")
        shutil.copytree(self.changed, self.signed)
        shutil.copytree(self.changed, self.site.path("www-unsigned"))
        self.site.publish(STANDARD_DESCRIPTION, "--signing-key", SIGNING)
        shutil.rmtree(self.signed)
        os.rename(self.changed, self.signed)
        os.rename(self.site.path("www-unsigned"), self.changed)
        # A CA and a certificate of 127.0.0.1 for the https runs.
        certs = self.site.path("certs")
        self.ca = loopback.make_ca(certs)
        self.certificate = loopback.make_certificate(certs, "nginx", self.ca)
        # The times the mirror lists, by which a request's max-age is explained.
        self.listed = sorted({int(os.path.getmtime(os.path.join(folder, name)))
                              for top in (self.standard, self.changed)
                              for folder, _, names in os.walk(top) for name in names})


class Uncached(harness.Squid):
    """squid keeping no copy: a cache's answer depends on the age of its copy, a clock."""

    extra = "cache deny all\n"


class Run:
    """One scenario run by one build: a fresh sandbox, its servers, and the record kept."""

    def __init__(self, build, mirrors):
        self.updater = os.path.join(build, "qavoupdate")
        self.cleanups, self.servers, self.ports, self.record = [], [], [], []
        self.site, self.mirrors = harness.Site(), mirrors
        self.addCleanup(shutil.rmtree, self.site.root, True)
        # The catalogue unpacks beside its copy, named by the MD5 of that copy's path.
        packed = self.site.copy_name(INFO)
        unpacked = hashlib.md5(packed.encode()).hexdigest()
        self.paths = [(self.site.root, "<sandbox>"), (build, "<build>"),
                      (unpacked, "<md5 of the path of %s>" % os.path.basename(packed))]
        self.window = [time.time(), time.time()]  # when the updater ran, for max-age
        self.publish(mirrors.standard)

    def publish(self, mirror):
        shutil.copytree(mirror, self.site.path("www"), dirs_exist_ok=True)

    # harness.server takes a test case: these two are all it asks of one.
    def addCleanup(self, function, *args):
        self.cleanups.append((function, args))

    def skipTest(self, why):
        raise Skipped(why)

    def close(self):
        for function, args in reversed(self.cleanups):
            try:
                function(*args)
            except Exception as error:  # noqa: BLE001  (the others still get cleaned up)
                print("clean-up failed: %s" % error, file=sys.stderr)

    def serve(self, kind, logs, *root):
        started = harness.server(self, kind, *root)
        self.servers.append((kind.name, started, logs))
        self.ports.append((started.port, kind.name))
        self.paths.append((started.folder, "<%s>" % kind.name))
        if kind is loopback.Vsftpd:  # its log has the readiness probe before any run, in order
            log, deadline = started.path("vsftpd.log"), time.monotonic() + 5
            while time.monotonic() < deadline and not (
                    os.path.exists(log) and b"CONNECT" in harness.read(log)):
                time.sleep(0.05)
        return started

    def www(self):
        return self.site.path("www")

    def mask(self, text):
        for path, name in sorted(self.paths, key=lambda p: -len(p[0])):
            text = text.replace(path, name)
        for pattern, replacement in VARYING:
            text = pattern.sub(replacement, text)
        for port, name in self.ports:
            text = re.sub(r"(?<=:)%d\b" % port, "<port of %s>" % name, text)
        text = re.sub(r"(?<=127\.0\.0\.1:)\d+\b", "<port>", text)
        return re.sub(r"max-age=(\d+)", self.age, text)

    def age(self, match):
        """max-age is now minus a listed time: named by that time when the run's clock allows."""
        age = int(match.group(1))
        for number, listed in enumerate(self.mirrors.listed):
            if self.window[0] - 1 <= listed + age <= self.window[1] + 1:
                return "max-age=<now - listed time %d>" % number
        return "max-age=<unexplained>"

    def section(self, title, text):
        self.record.append("-- %s\n%s" % (title, self.mask(text).rstrip("\n")))

    def update(self, step, *args):
        self.window[0] = time.time()
        got = harness.run(["-c", self.site.path("qup.conf"), *args], program=self.updater,
                          cwd=self.site.root)
        self.window[1] = time.time()
        self.record.append("== %s %s: status %d" % (step, " ".join(args), got.status))
        self.section("stdout", got.out)
        self.section("stderr", got.err)
        self.section("installed", "\n".join(self.tree()))
        self.section("temporary", "\n".join(sorted(os.listdir(self.site.path("tmp")))))

    def tree(self):
        for top in ("bin", "data", "conf"):
            for folder, _, names in sorted(os.walk(self.site.path(top))):
                for name in sorted(names):
                    full = os.path.join(folder, name)
                    info = os.lstat(full)
                    yield "%s %d %o %s" % (os.path.relpath(full, self.site.root), info.st_size,
                                           info.st_mode, hashlib.md5(harness.read(full)).hexdigest())

    def received(self):
        """The servers' logs, read once they have stopped (lighttpd writes on the way out)."""
        for name, server, logs in self.servers:
            server.stop()
            for log in logs:
                text = harness.read(server.path(log)).decode("latin-1")
                self.section("%s %s" % (name, log), text)


def served(setup, flag):
    """First update, nothing to update, one changed file, and (origins only) a missing file."""

    def scenario(run):
        www = run.www()
        if setup in ("nginx", "squid-http"):
            origin = run.serve(loopback.Nginx, ["access.log"], www)
        elif setup == "lighttpd":
            origin = run.serve(harness.Lighttpd, ["access.log"], www)
        else:
            origin = run.serve(loopback.Vsftpd, ["vsftpd.log"], www)
        settings = dict(protocol="ftp") if "ftp" in setup else {}
        if setup.startswith("squid"):
            proxy = run.serve(Uncached, ["access.log"])
            settings["proxy"] = "http://127.0.0.1:%d" % proxy.port
        if setup == "vsftpd-active":
            settings["passive"] = "on"  # the option's sense is inverted: on is PORT
        run.site.configure(origin.port, **settings)
        run.update("first", flag)
        run.update("nothing", flag)
        run.publish(run.mirrors.changed)
        os.chmod(run.site.path("data", "engine.so"), 0o775)
        run.update("changed", flag)
        if "proxy" not in settings:
            os.unlink(run.site.mirror_file(SO))
            os.unlink(run.site.path("data", "engine.so"))
            run.site.configure(origin.port, tries=2, **settings)
            run.update("missing", flag)
        run.received()
    return scenario


def settings_of(kind, flag):
    """Runs of the settings beside the served ones: https with a CA of its own, a manifest
    required, a list of two mirrors whose first refuses every connection, and a status file
    (written by a quiet run too)."""

    def scenario(run):
        tls = type("TlsNginx", (loopback.Nginx,), {"tls": run.mirrors.certificate})
        nginx = run.serve(tls if kind == "https" else loopback.Nginx, ["access.log"], run.www())
        settings, port = {}, nginx.port
        if kind == "https":
            settings, port = dict(protocol="https"), nginx.tls_port
        elif kind == "manifest":
            shutil.rmtree(run.www())
            run.publish(run.mirrors.signed)
            settings = dict(manifest="required")
        elif kind == "mirrors":
            refusing = socket.socket()  # bound, never listening: every connection is refused
            run.addCleanup(refusing.close)
            refusing.bind(("127.0.0.1", 0))
            run.ports.append((refusing.getsockname()[1], "nothing"))
            settings = dict(host='"127.0.0.1:%d, 127.0.0.1:%d"' % (refusing.getsockname()[1],
                                                                  nginx.port), tries=2)
        elif kind == "status":
            settings = dict(statusfile=run.site.path("status.prom"))
        conf = run.site.configure(port, **settings)
        if kind == "https":
            harness.write(conf, harness.read(conf) + b'[https]\ncafile="%s"\n' %
                          run.mirrors.ca[0].encode())
        run.update("first", *(["-q"] if kind == "status" else []), flag)
        if kind == "status":
            run.section("status file", harness.read(run.site.path("status.prom")).decode())
        run.update("nothing", flag)
        if kind == "status":
            run.section("status file", harness.read(run.site.path("status.prom")).decode())
        run.received()
    return scenario


def alarm(tries):
    """Without a limit of tries a stall is retried until the run's alarm aborts it; with waits
    of two seconds (see the stall rows) the alarm falls mid-way through one, far from its end."""
    return dict(alarm=7) if tries == 0 else {}


def http_fault(rules, pads=(), tries=3, timeout=5, flag="-v"):
    def scenario(run):
        http = faults.HttpFaults(run.www())
        run.addCleanup(http.stop)
        run.ports.append((http.port, "the fault server"))
        for rule in rules:
            http.fault(*rule)
        limit = (64 << 20) - os.path.getsize(run.site.mirror_file(INFO))
        http.padding = {name: limit + n if n in (0, 1) and name == INFO else n
                        for name, n in pads}
        run.site.configure(http.port, tries=tries, timeout=timeout, **alarm(tries))
        run.update("run", flag)
        http.stop()
        run.section("fault server: %d connections" % http.connections, "\n".join(
            "%s | %s" % (line, "; ".join("%s: %s" % h for h in headers))
            for line, headers in http.requests))
    return scenario


def ftp_fault(rules, settings, flag="-S"):
    def scenario(run):
        ftp = faults.FtpFaults(run.www(), **rules)
        run.addCleanup(ftp.stop)
        run.ports.append((ftp.port, "the fault server"))
        chosen = dict(dict(tries=3, timeout=2), **settings)
        run.site.configure(ftp.port, "ftp", **dict(alarm(chosen["tries"]), **chosen))
        run.update("run", flag)
        ftp.stop()
        closed = "" if not ftp.stranger else ", stranger closed: %s" % ftp.stranger_closed
        run.section("fault server%s" % closed, "\n".join(ftp.commands))
    return scenario


# The fault rows of tests/e2e/test_http.py: (rules, pads, tries, timeout). A pad of INFO by 0 or 1
# means the catalogue padded to the 64 MiB bound plus that much.
HTTP_ROWS = [
    ([(SO, "cut", 50000, 1)], (), 3, 5),
    ([("*", "chunked", 1000)], (), 3, 5),
    ([(SO, "no_length"), ("*", "close")], (), 3, 5),
    ([("*", "close", 0.5)], (), 3, 5),
    ([(SO, "cut", 50000, 1), (SO, "ignore_range", None, 1)], (), 3, 5),
    ([(SO, "cut", 50000, 1), (SO, "chunked_cut", 7000, 1)], (), 3, 5),
    ([(CONF, "status", 302, 1)], (), 3, 5),
    ([(INFO, "raw", b"garbage-without-a-space\r\n\r\n", 1)], (), 3, 5),
    ([(INFO, "raw", b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
      b"3\r\nabcdef\r\n0\r\n\r\n", 1)], (), 3, 5),
    ([], [(CONF, 1)], 2, 5),
    ([(CONF, "no_length")], [(CONF, 1)], 2, 5),
    ([(CONF, "chunked", 5)], [(CONF, 1)], 2, 5),
    ([], [(INFO, 1)], 1, 5),
    ([(INFO, "no_length")], [(INFO, 1)], 1, 5),
    ([], [(INFO, 0)], 1, 5),
    ([(DATA, "status", 302, 1)], (), 3, 5),
    ([(DATA, "status", 500)], (), 2, 5),
    ([(INFO, "raw", b"HTTP/1.1 306 Unused\r\nContent-Length: 0\r\n\r\n")], (), 2, 5),
    ([(INFO, "raw", b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
      b"3\0\r\nabc\r\n0\r\n\r\n")], (), 2, 5),
] + [(rules, (), tries, 2 if tries == 0 else 1) for rules in ([(SO, "stall_after", 3000)], [(INFO, "stall")])
     for tries in (0, 1, 2)]
# The fault rows of tests/e2e/test_ftp.py: (server faults, settings), then the stalls.
FTP_ROWS = [
    (dict(greeting=["120 Ready in a moment.",
                    "220-Welcome to the mirror\r\n220-Second line\r\n220 Ready."]), {}),
    (dict(cut={SO: 60000}), {}),
    (dict(cut={SO: 70000}, rest_reply="502 Command not implemented."), {}),
    (dict(extra={CONF: 1}), {"tries": 2}),
    (dict(missing={SO}), {"tries": 2}),
    (dict(close_on_retr=2), {}),
    (dict(silent={"RETR": 1}), {"timeout": 1}),
    (dict(silent={"RETR": 1, "QUIT": 1}), {"timeout": 1}),
    (dict(stranger=True), {"passive": "on"}),
    (dict(), {"tries": 0, "timeout": 5}),
] + [(rules, {"tries": tries, "timeout": 2 if tries == 0 else 1})
     for rules in (dict(silent={"CONNECT": 100}), dict(silent={"RETR": 1}))
     for tries in (0, 1, 2)]
# Scenarios whose record differs between runs of one build: (name pattern, why, what of the
# record the race decides, and what it is replaced by). They run --repeat times per build.
RACY = [
    (r"^squid-ftp ", "squid logs a transfer as aborted when the updater hangs up before vsftpd's "
     "226 reached squid (the bytes logged are the same)", r"TCP_MISS_ABORTED/", "TCP_MISS/"),
    (r"^ftp .*'(missing|close_on_retr)'|^vsftpd-passive", "a data connection the server never "
     "accepted is reset when the server ends the session (after a 550 and the goodbye, or with "
     "a 421); when that comes before the updater closes it, its peer prints as (null):0",
     r"to (?:\(null\):0|127\.0\.0\.1:<port>) was closed", "to <data peer> was closed"),
    (r"^http base/data status (302|500)", "after the error reply or redirection of a file whose "
     "reply came first, the requests sent behind it on that connection reach the fault server's "
     "log while the next connection's first request does: the log holds the same requests, in "
     "an order the two connections race for",
     r"(?ms)(^-- fault server: \d+ connections\n)(.*?)(?=^-- |\Z)",
     lambda m: m.group(1) + "".join(sorted(m.group(2).splitlines(True)))),
    (r"chunked_cut", "where the meter breaks its rows of dots after the restart, and the share "
     "it prints at their ends, follow the sizes of the reads, which the segments decide",
     r"(?m)^( *\d+K )[ .,\dK]*?(?: +\d+%( @ <rate>))?(hh:mm:ss Retrying.*)?$",
     lambda m: m.group(1) + "<dots>" + (" <share>" + m.group(2) if m.group(2) else "")
     + (m.group(3) or "")),
]


def race(name):
    return next((r for r in RACY if re.search(r[0], name)), None)


def scenarios():
    found = []
    for setup in ("nginx", "lighttpd", "squid-http", "squid-ftp", "vsftpd-passive",
                  "vsftpd-active"):
        for flag in ("-S", "-v"):
            found.append(("%s %s" % (setup, flag), served(setup, flag)))
    for kind in ("https", "manifest", "mirrors", "status"):
        for flag in ("-S", "-v"):
            found.append(("%s %s" % (kind, flag), settings_of(kind, flag)))
    for flag in ("-S", "-v"):
        for rules, pads, tries, timeout in HTTP_ROWS:
            name = "http %s pads=%s tries=%d timeout=%d %s" % (
                ",".join(" ".join(str(x)[:24] for x in r) for r in rules) or "none",
                list(pads), tries, timeout, flag)
            found.append((name, http_fault(rules, pads, tries, timeout, flag)))
        for rules, settings in FTP_ROWS:
            name = "ftp %s %s %s" % (rules, settings, flag)
            found.append((name, ftp_fault(rules, settings, flag)))
    return found


def record(build, scenario, mirrors):
    run = Run(build, mirrors)
    try:
        scenario(run)
    finally:
        run.close()
    return "\n".join(run.record) + "\n"


def dump(folder, name, old, new):
    os.makedirs(folder, exist_ok=True)
    stem = re.sub(r"[^\w=.-]+", "_", name)[:120]
    for build, records in (("old", old), ("new", new)):
        for number, text in enumerate(records):
            harness.write(os.path.join(folder, "%s.%s%d" % (stem, build, number)), text)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--old", required=True, help="build folder of the old updater")
    parser.add_argument("--new", required=True, help="build folder of the new updater")
    parser.add_argument("--repeat", type=int, default=3, help="runs per build of racy scenarios")
    parser.add_argument("--only", default="", help="run the scenarios whose name matches this")
    parser.add_argument("--list", action="store_true", help="list the scenarios and stop")
    parser.add_argument("--dump", help="write every masked record into this folder")
    options = parser.parse_args()
    chosen = [(n, s) for n, s in scenarios() if re.search(options.only, n)]
    if options.list:
        print("\n".join(name for name, _ in chosen))
        return 0
    builds = [os.path.abspath(options.old), os.path.abspath(options.new)]
    # One publisher for both, so both builds see the same mirror bytes.
    harness.PUBLISHER = os.path.join(builds[0], "tools", "qavopublish")
    loopback.stop_on_signals()
    mirrors = Mirrors()
    try:
        different = compare(chosen, builds, mirrors, options)
    finally:
        shutil.rmtree(mirrors.site.root, True)
    return 1 if different else 0


def compare(chosen, builds, mirrors, options):
    """Runs every chosen scenario with both builds; prints each verdict; the number not same."""
    started, different = time.monotonic(), 0
    for name, scenario in chosen:
        racy, began = race(name), time.monotonic()
        times = options.repeat if racy else 1
        try:
            raw = [[record(b, scenario, mirrors) for _ in range(times)] for b in builds]
        except Skipped as why:
            print("SKIPPED   %s (%s)" % (name, why))
            different += 1
            continue
        except Exception as error:  # noqa: BLE001  (one broken scenario does not end the rest)
            print("FAILED    %s (%s: %s)" % (name, type(error).__name__, error))
            different += 1
            continue
        if options.dump:
            dump(options.dump, name, *raw)
        old, new = ([re.sub(racy[2], racy[3], r) for r in rs] if racy else rs for rs in raw)
        note = "%.0f s" % (time.monotonic() - began)
        if racy:
            note += ", racy: %d/%d distinct runs of old/new before masking the race" % (
                len(set(raw[0])), len(set(raw[1])))
        if set(old) == set(new):
            print("same      %s (%s)" % (name, note), flush=True)
            continue
        different += 1
        print("DIFFERENT %s (%s)" % (name, note))
        mine = next((r for r in old if r not in new), old[0])
        theirs = next((r for r in new if r not in old), new[0])
        sys.stdout.writelines(difflib.unified_diff(
            mine.splitlines(True), theirs.splitlines(True), "old", "new"))
        sys.stdout.flush()
    for pattern, why, _, _ in RACY:
        if any(re.search(pattern, name) for name, _ in chosen):
            print("racy within one build (%s): %s" % (pattern, why))
    print("%d scenarios, %d different, %.0f s" % (len(chosen), different,
                                                   time.monotonic() - started))
    return different


if __name__ == "__main__":
    sys.exit(main())
