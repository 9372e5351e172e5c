#!/usr/bin/env python3
"""Updater benchmark of patches: what `deltas` saves a client whose files
changed by about 1 %. The mirror of bench/delta_mirror.py (16 files of
16 MiB, 20 edits of 8 KiB per version) is published as v1, v2 and v3 with
patches, v2 and v3 each served by its own nginx on loopback, and the
first build given (manifest=required) installs v1 once: the state it
leaves, its record of what it installed included, is every run's. Each
round then measures, for each build, from a copy of that v1 installation
(state included; the copying is not timed, the page cache is not dropped):
  full        the update to v2 with deltas=off (every file whole);
  patched     the update to v2 with deltas=on;
  two behind  the update to v3 with deltas=on (patches from v1 straight to v3);
each for its wall time, the bytes nginx sent (the body bytes of the run's
lines in its access log) and the updater's peak resident memory (from
/usr/bin/time). Every run must end with status 0, leave exactly the
version's files installed, and, with deltas=on, have patched every file
(qavoupdate_files_patched in its status file). The medians and ranges of the
per-round ratios to the full update are reported."""
import argparse
import hashlib
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import delta_mirror  # noqa: E402
from e2e_bench import INFOFILE, TIME, cpu_model, loopback, spread  # noqa: E402

KINDS = ["full", "patched", "two behind"]
# The mirror version and the deltas setting of each measurement.
RUNS = {"full": ("v2", "off"), "patched": ("v2", "on"), "two behind": ("v3", "on")}
# The body bytes of a line of nginx's default (combined) access log format.
BODY_BYTES = re.compile(rb'" \d{3} (\d+) ')


class Bench:
    def __init__(self, builds, folder, args):
        self.updaters = [os.path.join(os.path.abspath(b), "qavoupdate") for b in builds]
        self.publisher = os.path.join(os.path.abspath(builds[0]), "tools", "qavopublish")
        self.folder = folder
        self.args = args
        self.runs = 0
        self.digests = {}  # version: [SHA-256 of each file]
        self.sizes = {}  # version: the bytes of its files
        self.servers = {}  # version: its nginx

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def publish(self):
        """v1 into the served tree, then v2 and v3, each copied aside as the
        root of its own server."""
        self.release = delta_mirror.Release(self.folder, self.args)
        mirror = self.path("www", os.path.dirname(INFOFILE))
        os.makedirs(os.path.dirname(mirror))
        for version in ("v1", "v2", "v3"):
            self.release.version()
            self.release.publish(self.publisher, mirror, "--history", self.path("history"))
            self.digests[version] = [hashlib.sha256(data).hexdigest()
                                     for data in self.release.contents]
            self.sizes[version] = sum(len(data) for data in self.release.contents)
            if version != "v1":
                subprocess.run(["cp", "-a", self.path("www"), self.path(version)], check=True)
            else:
                self.install_v1()

    def install_v1(self):
        """The v1 installation (files and state) that every run starts from."""
        with loopback.Nginx(self.path("www"), self.path("nginx-v1")) as nginx:
            self.configure(self.path("v1-install"), nginx.port, "on")
            self.update(self.updaters[0], self.path("v1-install"), "v1", 0)

    def configure(self, run, port, deltas):
        os.makedirs(os.path.join(run, "tmp"), exist_ok=True)
        install = os.path.join(run, "install")
        # The updater makes no folders.
        for name in self.release.names:
            os.makedirs(os.path.dirname(os.path.join(install, name)), exist_ok=True)
        loopback.write_text(os.path.join(run, "qup.conf"), (
            "[global]\ntemppath=%s\nBINDIR=%s\nDATADIR=%s\nCONFDIR=%s\nINSTALL=%s\n"
            "tries=1\ntimeout=30\nalarm=0\nmanifest=required\ndeltas=%s\nstatepath=%s\n"
            "statusfile=%s\n[hosts]\nprotocol=http\nhost=127.0.0.1\ninfofile=%s\n"
            "[http]\nport=%d\n") % (
                os.path.join(run, "tmp"), install, install, install, install, deltas,
                os.path.join(run, "state"), os.path.join(run, "status.prom"), INFOFILE, port))

    def update(self, updater, run, version, patched):
        """Runs the updater in RUN and checks what it did: (seconds, peak
        RSS in KiB)."""
        with tempfile.NamedTemporaryFile("r") as report, \
                open(self.path("update.log"), "ab") as log:
            start = time.monotonic()
            status = subprocess.run([TIME, "-f", "%M", "-o", report.name, updater, "-c",
                                     os.path.join(run, "qup.conf")], cwd=run,
                                    stdin=subprocess.DEVNULL, stdout=log,
                                    stderr=subprocess.STDOUT).returncode
            seconds = time.monotonic() - start
            rss = int(report.read().split()[-1])
        if status != 0:
            with open(self.path("update.log"), "rb") as log:
                tail = log.read()[-2000:].decode(errors="replace")
            raise RuntimeError("qavoupdate in %s ended with %d; its output ends with:\n%s" %
                               (run, status, tail))
        for name, digest in zip(self.release.names, self.digests[version]):
            with open(os.path.join(run, "install", name), "rb") as installed:
                if hashlib.file_digest(installed, "sha256").hexdigest() != digest:
                    raise RuntimeError("%s in %s is not %s's" % (name, run, version))
        with open(os.path.join(run, "status.prom")) as status_file:
            count = re.search(r"^qavoupdate_files_patched (\d+)$", status_file.read(), re.M)
        if count is None or int(count.group(1)) != patched:
            raise RuntimeError("%s patched %s files, not %d" % (
                run, count.group(1) if count else "no", patched))
        return seconds, rss

    def measure(self, updater, kind):
        """One run from the v1 installation: (seconds, bytes sent, peak RSS in KiB)."""
        version, deltas = RUNS[kind]
        self.runs += 1
        run = self.path("runs", str(self.runs))
        # Not timed: a copy of the v1 installation, written out before the
        # run so that the run's flush does not wait for it.
        subprocess.run(["cp", "-a", self.path("v1-install"), run], check=True)
        os.remove(os.path.join(run, "status.prom"))
        nginx = self.servers[version]
        self.configure(run, nginx.port, deltas)
        os.sync()
        log = nginx.path("access.log")
        before = os.path.getsize(log)
        seconds, rss = self.update(updater, run, version,
                                   len(self.release.names) if deltas == "on" else 0)
        with open(log, "rb") as lines:
            lines.seek(before)
            sent = sum(int(m.group(1)) for m in BODY_BYTES.finditer(lines.read()))
        # nginx logs a request once it has sent the reply: a full update's
        # lines must all be there.
        if deltas == "off" and sent < self.sizes[version]:
            raise RuntimeError("nginx logged %d bytes for %s, less than its files" % (sent, run))
        shutil.rmtree(run)
        return seconds, sent, rss

    def run(self, rounds):
        """Every round measures each build, taking turns at going first, and
        within a build the three kinds, also taking turns."""
        loopback.stop_on_signals()
        self.publish()
        results = [{kind: [] for kind in KINDS} for _ in self.updaters]
        count = len(self.updaters)
        with loopback.Nginx(self.path("v2"), self.path("nginx-v2")) as v2, \
                loopback.Nginx(self.path("v3"), self.path("nginx-v3")) as v3:
            self.servers = {"v2": v2, "v3": v3}
            os.makedirs(self.path("runs"))
            for turn in range(rounds):
                for index in [(turn + i) % count for i in range(count)]:
                    for kind in KINDS[turn % 3:] + KINDS[:turn % 3]:
                        results[index][kind].append(self.measure(self.updaters[index], kind))
        return results


def report(builds, args, results, load):
    print("\nmirror: %s; nginx on 127.0.0.1 over http://, manifest=required; files in the page "
          "cache (none dropped), under %s; medians of %d rounds (range)" % (
              delta_mirror.describe(args), args.within or tempfile.gettempdir(), args.rounds))
    print("machine: %d cores, %s; load average %.1f before, %.1f after" % (
        os.cpu_count(), cpu_model(), load[0][0], load[1][0]))
    print("| build | run | wall time | bytes sent | vs full: bytes | vs full: wall | peak RSS |")
    print("|---|---|---|---|---|---|---|")
    for build, result in zip(builds, results):
        full = result["full"]
        for kind in KINDS:
            runs = result[kind]
            ratio = "" if kind == "full" else "%s %% | %s" % (
                spread([100 * r[1] / f[1] for r, f in zip(runs, full)]),
                spread([r[0] / f[0] for r, f in zip(runs, full)]))
            print("| %s | %s | %s s | %s MiB | %s | %s MiB |" % (
                build, kind, spread([r[0] for r in runs]),
                spread([r[1] / delta_mirror.MIB for r in runs], "%.2f"),
                ratio or " | ", spread([r[2] / 1024 for r in runs], "%.1f")))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", action="append",
                        help="build folder; given more than once, the builds are measured "
                        "side by side in every round (default: build)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--within", metavar="DIR",
                        help="folder for the mirror, the servers and the runs (default: the "
                        "system's temporary folder); a tmpfs such as /dev/shm keeps the "
                        "disk's own pace out of the figures")
    delta_mirror.add_arguments(parser)
    args = parser.parse_args()
    builds = args.build or [os.path.join(delta_mirror.SOURCE, "build")]
    loopback.need_nginx()
    if not os.access(TIME, os.X_OK):
        sys.exit("%s is missing: apt-get install time" % TIME)
    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory(prefix="qavo-delta-update-bench-",
                                     dir=args.within) as folder:
        try:
            results = Bench(builds, folder, args).run(args.rounds)
        except (RuntimeError, subprocess.CalledProcessError) as error:
            sys.exit("benchmark failed: %s" % error)
    report(builds, args, results, (load_before, os.getloadavg()))


if __name__ == "__main__":
    main()
