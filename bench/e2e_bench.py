#!/usr/bin/env python3
"""End-to-end benchmark: a published mirror of 256 MiB in several files,
served by nginx on loopback, fetched by qavoupdate and by curl + md5sum, then
checked again by qavoupdate (nothing to do) and by `md5sum -c`; reports the
ratios and the updater's peak resident memory (from /usr/bin/time)."""
import argparse
import hashlib
import os
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
import loopback  # noqa: E402

MIB = 1 << 20
INFOFILE = "pub/qavo/update/engine/i686/qavoe.info"
TIME = "/usr/bin/time"


def timed(argv, cwd=None, stdout=subprocess.DEVNULL):
    """Runs argv; (seconds, exit status, peak RSS in KiB) of the program.
    The peak comes from /usr/bin/time: a child forked from this Python
    process would report Python's own size, which the kernel carries over
    the exec into the child's maximum."""
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.monotonic()
        status = subprocess.run([TIME, "-f", "%M", "-o", report.name] + argv, cwd=cwd,
                                stdin=subprocess.DEVNULL, stdout=stdout,
                                stderr=subprocess.STDOUT).returncode
        seconds = time.monotonic() - start
        lines = report.read().split()
    return seconds, status, int(lines[-1]) if lines else 0


class Bench:
    def __init__(self, build, folder, size_mib, files):
        self.updater = os.path.join(os.path.abspath(build), "qavoupdate")
        self.publisher = os.path.join(os.path.abspath(build), "tools", "qavopublish")
        self.folder = folder
        self.names = ["data/part%02d.bin" % i for i in range(files)]
        self.size = size_mib * MIB // files

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def publish(self):
        lines = ["module engine"]
        for i, name in enumerate(self.names):
            loopback.write_random(self.path("release", name), self.size, 1000 + i, 1764547200)
            lines.append("    file %s ${DATADIR}/%s" % (name, os.path.basename(name)))
        loopback.write_text(self.path("release", "mirror.desc"), "\n".join(lines) + "\n")
        mirror = self.path("www", os.path.dirname(INFOFILE))
        os.makedirs(os.path.dirname(mirror))
        subprocess.run([self.publisher, "build", "--key",
                        os.path.join(SOURCE, "keys", "demo-private-key.pem"),
                        self.path("release", "mirror.desc"), mirror],
                       check=True, stdout=subprocess.DEVNULL)
        # The list that `md5sum -c` checks the installed files against.
        with open(self.path("installed.md5"), "w") as out:
            for name in self.names:
                digest = hashlib.md5()
                with open(self.path("release", name), "rb") as f:
                    for block in iter(lambda: f.read(MIB), b""):
                        digest.update(block)
                out.write("%s  %s\n" % (digest.hexdigest(),
                                        self.path("install", os.path.basename(name))))
        return mirror

    def fresh(self, *names):
        for name in names:
            loopback.clean(self.path(name))
            os.makedirs(self.path(name))

    def update(self, port, expected):
        loopback.write_text(self.path("qup.conf"), (
            "[global]\ntemppath=%s\nBINDIR=%s\nDATADIR=%s\nCONFDIR=%s\nINSTALL=%s\n"
            "tries=1\ntimeout=30\nalarm=0\n[hosts]\nprotocol=http\nhost=127.0.0.1\n"
            "infofile=%s\n[http]\nport=%d\n") % (
                self.path("tmp"), self.path("install"), self.path("install"),
                self.path("install"), self.path("install"), INFOFILE, port))
        with open(self.path("update.log"), "ab") as log:
            seconds, status, rss = timed([self.updater, "-c", self.path("qup.conf")],
                                         cwd=self.folder, stdout=log)
        if status != expected:
            raise RuntimeError("qavoupdate ended with %d, expected %d (see %s)" %
                               (status, expected, self.path("update.log")))
        return seconds, rss

    def curl_and_md5(self, port):
        self.fresh("curl")
        base = "http://127.0.0.1:%d/%s/" % (port, os.path.dirname(INFOFILE))
        argv = ["curl", "-sSf"]
        for name in self.names:
            argv += ["-o", self.path("curl", os.path.basename(name)), base + name]
        start = time.monotonic()
        subprocess.run(argv, check=True)
        subprocess.run(["md5sum"] + [self.path("curl", os.path.basename(n)) for n in self.names],
                       check=True, stdout=subprocess.DEVNULL)
        return time.monotonic() - start

    def md5_check(self):
        seconds, status, _ = timed(["md5sum", "-c", "--quiet", self.path("installed.md5")])
        if status != 0:
            raise RuntimeError("md5sum -c found differing installed files")
        return seconds

    def run(self, rounds):
        loopback.stop_on_signals()
        self.publish()
        full, curl, nothing, check, rss = [], [], [], [], {"full": [], "nothing": []}
        with loopback.Nginx(self.path("www"), self.path("nginx")) as nginx:
            for _ in range(rounds):
                self.fresh("tmp", "install")
                seconds, peak = self.update(nginx.port, 0)
                full.append(seconds)
                rss["full"].append(peak)
                curl.append(self.curl_and_md5(nginx.port))
                seconds, peak = self.update(nginx.port, 1)
                nothing.append(seconds)
                rss["nothing"].append(peak)
                check.append(self.md5_check())
        return full, curl, nothing, check, rss


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"))
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=3,
                        help="measurements of each kind; the medians are reported")
    args = parser.parse_args()
    loopback.need_nginx()
    if not os.access(TIME, os.X_OK):
        sys.exit("%s is missing: apt-get install time" % TIME)
    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory(prefix="qavo-e2e-bench-") as folder:
        bench = Bench(args.build, folder, args.size_mib, args.files)
        try:
            full, curl, nothing, check, rss = bench.run(args.rounds)
        except (RuntimeError, subprocess.CalledProcessError) as error:
            sys.exit("benchmark failed: %s" % error)
    load_after = os.getloadavg()
    med = statistics.median
    print("mirror: %d MiB in %d files, nginx on 127.0.0.1, files in the page cache; "
          "medians of %d rounds" % (args.size_mib, args.files, args.rounds))
    print("machine: %d cores, %s; load average %.1f before, %.1f after" % (
        os.cpu_count(), cpu_model(), load_before[0], load_after[0]))
    print("| measurement | qavoupdate | reference | ratio |")
    print("|---|---|---|---|")
    print("| full update vs curl + md5sum | %.2f s | %.2f s | %.2f |" % (
        med(full), med(curl), med(full) / med(curl)))
    print("| nothing to update vs md5sum -c | %.2f s | %.2f s | %.2f |" % (
        med(nothing), med(check), med(nothing) / med(check)))
    for kind in ("full", "nothing"):
        peak = max(rss[kind]) / 1024
        print("| updater's peak RSS, %s | %.1f MiB | %d MiB of files | %.4f |" % (
            "full update" if kind == "full" else "nothing to update", peak, args.size_mib,
            peak / args.size_mib))


def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown CPU"


if __name__ == "__main__":
    main()
