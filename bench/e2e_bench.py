#!/usr/bin/env python3
"""End-to-end benchmark: a published mirror of 256 MiB in 16 files, served by
nginx on loopback, fetched by qavoupdate and by curl + md5sum, then checked
again by qavoupdate (nothing to do) and by `md5sum -c`; reports the medians
and ranges of the per-round ratios and the updater's peak resident memory
(from /usr/bin/time)."""
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
    def __init__(self, builds, folder, size_mib, files):
        self.updaters = [os.path.join(os.path.abspath(b), "qavoupdate") for b in builds]
        self.publisher = os.path.join(os.path.abspath(builds[0]), "tools", "qavopublish")
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

    def update(self, updater, port, expected):
        loopback.write_text(self.path("qup.conf"), (
            "[global]\ntemppath=%s\nBINDIR=%s\nDATADIR=%s\nCONFDIR=%s\nINSTALL=%s\n"
            "tries=1\ntimeout=30\nalarm=0\n[hosts]\nprotocol=http\nhost=127.0.0.1\n"
            "infofile=%s\n[http]\nport=%d\n") % (
                self.path("tmp"), self.path("install"), self.path("install"),
                self.path("install"), self.path("install"), INFOFILE, port))
        with open(self.path("update.log"), "ab") as log:
            seconds, status, rss = timed([updater, "-c", self.path("qup.conf")],
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
        """Every round measures each build and the references back to back, so
        a change of load on a shared machine falls on both sides of a ratio."""
        loopback.stop_on_signals()
        self.publish()
        result = {"full": [], "nothing": [], "curl": [], "check": [], "rss": []}
        with loopback.Nginx(self.path("www"), self.path("nginx")) as nginx:
            for _ in range(rounds):
                full, nothing, rss = [], [], []
                for updater in self.updaters:
                    self.fresh("tmp", "install")
                    seconds, peak = self.update(updater, nginx.port, 0)
                    full.append(seconds)
                    rss.append(peak)
                    seconds, peak = self.update(updater, nginx.port, 1)
                    nothing.append(seconds)
                    rss.append(peak)
                result["full"].append(full)
                result["nothing"].append(nothing)
                result["rss"].append(rss)
                result["curl"].append(self.curl_and_md5(nginx.port))
                result["check"].append(self.md5_check())
        return result


def spread(values, text="%.2f"):
    """The median with the range: "1.23 (1.10-1.40)"."""
    return (text + " (" + text + "-" + text + ")") % (
        statistics.median(values), min(values), max(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", action="append",
                        help="build folder; given more than once, the builds are measured "
                        "side by side in every round (default: build)")
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--rounds", type=int, default=5,
                        help="rounds; the medians of the per-round ratios are reported")
    args = parser.parse_args()
    builds = args.build or [os.path.join(SOURCE, "build")]
    loopback.need_nginx()
    if not os.access(TIME, os.X_OK):
        sys.exit("%s is missing: apt-get install time" % TIME)
    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory(prefix="qavo-e2e-bench-") as folder:
        bench = Bench(builds, folder, args.size_mib, args.files)
        try:
            result = bench.run(args.rounds)
        except (RuntimeError, subprocess.CalledProcessError) as error:
            sys.exit("benchmark failed: %s" % error)
    load_after = os.getloadavg()
    print("mirror: %d MiB in %d files, nginx on 127.0.0.1, files in the page cache; "
          "medians of %d rounds (range)" % (args.size_mib, args.files, args.rounds))
    print("machine: %d cores, %s; load average %.1f before, %.1f after" % (
        os.cpu_count(), cpu_model(), load_before[0], load_after[0]))
    print("| build | measurement | qavoupdate | reference | ratio |")
    print("|---|---|---|---|---|")
    for index, build in enumerate(builds):
        name = build
        for kind, reference, title in (("full", "curl", "full update vs curl + md5sum"),
                                       ("nothing", "check", "nothing to update vs md5sum -c")):
            ours = [times[index] for times in result[kind]]
            theirs = result[reference]
            ratios = [a / b for a, b in zip(ours, theirs)]
            print("| %s | %s | %s s | %s s | %s |" % (
                name, title, spread(ours), spread(theirs), spread(ratios)))
        peaks = [rss[2 * index + kind] / 1024 for rss in result["rss"] for kind in (0, 1)]
        print("| %s | peak RSS, both runs | %s MiB | %d MiB of files | max %.1f MiB |" % (
            name, spread(peaks, "%.1f"), args.size_mib, max(peaks)))


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
