#!/usr/bin/env python3
"""End-to-end benchmark: a published mirror, served by nginx on loopback,
fetched by qavoupdate and by curl + md5sum (and, as durable as the updater, by
curl + sync of what it wrote + md5sum), then checked again by qavoupdate
(nothing to do) and by `md5sum -c` and `sha256sum -c`; reports the medians and ranges of the
per-round ratios, the updater's peak resident memory (from /usr/bin/time), the
memory of its processes together during a full update (sampled from /proc)
and the system calls per file of a full update (from strace -f -c). By default
two mirrors are measured: 16 files of 16 MiB, and 2,000 files of 4 KiB, where
the cost per file shows; each over http:// and over https:// (the same nginx
with a certificate of a CA made for the run), and what TLS adds to a full
update is set beside what it adds to curl's fetch. Each is measured with
manifest=off and with manifest=required (the mirror publishes a manifest, so
the updater checks SHA-256 and the manifest's signature instead of MD5)."""
import argparse
import array
import glob
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
STRACE = "/usr/bin/strace"
# (files, bytes each) of the mirrors measured by default.
SHAPES = [(16, 16 * MIB), (2000, 4096)]
SCHEMES = ["http", "https"]
MANIFESTS = ["off", "required"]


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
    def __init__(self, builds, folder, files, size):
        self.updaters = [os.path.join(os.path.abspath(b), "qavoupdate") for b in builds]
        self.publisher = os.path.join(os.path.abspath(builds[0]), "tools", "qavopublish")
        self.folder = folder
        self.names = ["data/part%0*d.bin" % (len(str(files - 1)), i) for i in range(files)]
        self.size = size
        self.runs = 0
        self.port = 0
        self.scheme = "http"
        self.manifest = "off"
        self.ca = None  # the CA certificate that https runs trust

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
        # Always with a manifest: manifest=off runs do not ask for it.
        subprocess.run([self.publisher, "build", "--key",
                        os.path.join(SOURCE, "keys", "demo-private-key.pem"), "--signing-key",
                        os.path.join(SOURCE, "keys", "demo-ed25519-private-key.pem"),
                        self.path("release", "mirror.desc"), mirror],
                       check=True, stdout=subprocess.DEVNULL)
        # The digests that `md5sum -c` and `sha256sum -c` check the
        # installed files against.
        self.digests = {"md5": [], "sha256": []}
        for name in self.names:
            digests = {kind: hashlib.new(kind) for kind in self.digests}
            with open(self.path("release", name), "rb") as f:
                for block in iter(lambda: f.read(MIB), b""):
                    for digest in digests.values():
                        digest.update(block)
            for kind, digest in digests.items():
                self.digests[kind].append((digest.hexdigest(), os.path.basename(name)))
        return mirror

    def fresh(self):
        """A new folder for one program's run, with a temporary and an
        install folder and its configuration. Nothing is removed before the
        end of a mirror's rounds: ext4 without a journal passes over every
        inode freed in the last minute when it allocates one, so a program
        run just after a removal of thousands of files pays for them, and
        the order of the runs would decide the ratios (for the same reason,
        runs of this benchmark are best a few minutes apart)."""
        if self.runs == 0:
            # ext4 puts a directory's files in the inode group of the
            # directory, and a new directory in its parent's group; with the
            # parent marked as a top of hierarchy (+T) each run's folder gets
            # a group with room of its own instead of one that earlier runs
            # filled and emptied. Other file systems refuse the flag: ignored.
            os.makedirs(self.path("runs"))
            subprocess.run(["chattr", "+T", self.path("runs")], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        # What earlier runs left to write out is written now, not during the
        # next run: a run that flushes its files would wait for it too.
        os.sync()
        self.runs += 1
        self.current = self.path("runs", str(self.runs))
        for name in ("tmp", "install"):
            os.makedirs(os.path.join(self.current, name))
        install = os.path.join(self.current, "install")
        loopback.write_text(os.path.join(self.current, "qup.conf"), (
            "[global]\ntemppath=%s\nBINDIR=%s\nDATADIR=%s\nCONFDIR=%s\nINSTALL=%s\n"
            "tries=1\ntimeout=30\nalarm=0\nmanifest=%s\nstatepath=%s\n"
            "[hosts]\nprotocol=%s\nhost=127.0.0.1\ninfofile=%s\n[%s]\nport=%d\n%s") % (
                os.path.join(self.current, "tmp"), install, install, install, install,
                self.manifest, os.path.join(self.current, "state"), self.scheme,
                INFOFILE, self.scheme, self.port, 'cafile="%s"\n' % self.ca if self.ca else ""))
        return install

    def command(self, updater):
        """The updater run on the current folder's configuration."""
        return [updater, "-c", os.path.join(self.current, "qup.conf")]

    def update(self, updater, expected):
        with open(self.path("update.log"), "ab") as log:
            seconds, status, rss = timed(self.command(updater), cwd=self.folder, stdout=log)
        if status != expected:
            raise RuntimeError("qavoupdate ended with %d, expected %d (see %s)" %
                               (status, expected, self.path("update.log")))
        return seconds, rss

    def curl_command(self, folder):
        """curl fetching every file of the mirror into folder, one after the other over one
        connection."""
        base = "%s://127.0.0.1:%d/%s/" % (self.scheme, self.port, os.path.dirname(INFOFILE))
        argv = ["curl", "-sSf"] + (["--cacert", self.ca] if self.ca else [])
        for name in self.names:
            argv += ["-o", os.path.join(folder, os.path.basename(name)), base + name]
        return argv

    def curl_and_md5(self):
        folder = self.fresh()
        argv = self.curl_command(folder)
        start = time.monotonic()
        subprocess.run(argv, check=True)
        fetched = time.monotonic()
        # As durable as the updater's files: what curl wrote reaches the disk.
        subprocess.run(["sync", "-f", folder], check=True)
        flushed = time.monotonic()
        subprocess.run(["md5sum"] + [os.path.join(folder, os.path.basename(n))
                                     for n in self.names], check=True, stdout=subprocess.DEVNULL)
        end = time.monotonic()
        return end - start - (flushed - fetched), end - start

    def digest_check(self, folder, kind):
        """`md5sum -c` or `sha256sum -c` of the installed files, named by
        absolute paths as the updater names them."""
        listing = folder + "." + kind
        with open(listing, "w") as out:
            for digest, name in self.digests[kind]:
                out.write("%s  %s\n" % (digest, os.path.join(folder, name)))
        seconds, status, _ = timed([kind + "sum", "-c", "--quiet", listing])
        if status != 0:
            raise RuntimeError("%ssum -c found differing installed files" % kind)
        return seconds

    def system_calls(self, updater):
        """The system calls of one full update, from strace's summary."""
        self.fresh()
        summary = self.path("strace.txt")
        with open(self.path("update.log"), "ab") as log:
            subprocess.run([STRACE, "-f", "-c", "-o", summary] + self.command(updater),
                           cwd=self.folder, stdin=subprocess.DEVNULL, stdout=log,
                           stderr=subprocess.STDOUT, check=True)
        with open(summary) as report:
            totals = [line.split() for line in report if line.rstrip().endswith(" total")]
        return int(totals[-1][3])

    def memory(self, updater):
        """The peak, over one full update, of the memory of the updater's
        processes together (KiB), sampled from /proc: resident, proportional
        and distinct. Resident memory counts the pages two processes share
        (the libraries, this program) once in each; proportional memory
        splits them between all their sharers, here and elsewhere; distinct
        counts each page the processes hold once, which is what they hold
        together (None where the page frames are hidden: not root)."""
        self.fresh()
        with open(self.path("update.log"), "ab") as log:
            child = subprocess.Popen(self.command(updater), cwd=self.folder,
                                     stdin=subprocess.DEVNULL, stdout=log,
                                     stderr=subprocess.STDOUT)
            peak_rss = peak_pss = peak_distinct = 0
            while child.poll() is None:
                rss = pss = 0
                frames = set()
                for pid in [child.pid] + children(child.pid):
                    fields = rollup(pid)
                    rss += fields.get("Rss", 0)
                    pss += fields.get("Pss", 0)
                    frames |= page_frames(pid)
                peak_rss, peak_pss = max(peak_rss, rss), max(peak_pss, pss)
                peak_distinct = max(peak_distinct, 4 * len(frames - {0}))
                time.sleep(0.001)
        return peak_rss, peak_pss, peak_distinct or None

    def run(self, rounds, syscalls, variants):
        """Every round measures each build and the references back to back, so
        a change of load on a shared machine falls on both sides of a ratio.
        The builds and curl take turns at going first, and so do the
        variants (scheme, manifest), served by one nginx: what one run leaves
        to the file system to do (writing back, freed inodes) would otherwise
        always slow the same one down. A result per variant."""
        loopback.stop_on_signals()
        self.publish()
        schemes = sorted({scheme for scheme, _ in variants})
        results = {variant: {"full": [], "nothing": [], "curl": [], "durable": [], "md5": [],
                             "sha256": [], "rss": [], "calls": [], "memory": []}
                   for variant in variants}
        nginx = loopback.Nginx(self.path("www"), self.path("nginx"))
        ca = None
        if "https" in schemes:
            ca = loopback.make_ca(self.path("tls"))[0]
            nginx.tls = loopback.make_certificate(self.path("tls"), "server",
                                                  (ca, self.path("tls", "ca.key")))
        with nginx:
            for turn in range(rounds):
                for variant in variants[turn % len(variants):] + variants[:turn % len(variants)]:
                    self.serve(nginx, variant, ca)
                    self.round(turn, results[variant])
            for variant in variants if syscalls else []:
                self.serve(nginx, variant, ca)
                results[variant]["calls"] = [self.system_calls(u) / len(self.names)
                                             for u in self.updaters]
            for variant in variants:
                self.serve(nginx, variant, ca)
                results[variant]["memory"] = [self.memory(u) for u in self.updaters]
        return results

    def serve(self, nginx, variant, ca):
        self.scheme, self.manifest = variant
        self.ca = ca if self.scheme == "https" else None
        self.port = nginx.tls_port if self.ca else nginx.port

    def round(self, turn, result):
        count = len(self.updaters)
        full, nothing = [None] * count, [None] * count
        checks = {kind: [None] * count for kind in self.digests}
        rss = [None] * 2 * count
        for index in [(turn + i) % (count + 1) for i in range(count + 1)]:
            if index == count:
                plain, durable = self.curl_and_md5()
                result["curl"].append(plain)
                result["durable"].append(durable)
                continue
            installed = self.fresh()
            full[index], rss[2 * index] = self.update(self.updaters[index], 0)
            nothing[index], rss[2 * index + 1] = self.update(self.updaters[index], 1)
            # Right after, on the same files: all read from the same cache.
            for kind, times in checks.items():
                times[index] = self.digest_check(installed, kind)
        result["full"].append(full)
        result["nothing"].append(nothing)
        for kind, times in checks.items():
            result[kind].append(times)
        result["rss"].append(rss)


def spread(values, text="%.2f"):
    """The median with the range: "1.23 (1.10-1.40)"."""
    return (text + " (" + text + "-" + text + ")") % (
        statistics.median(values), min(values), max(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", action="append",
                        help="build folder; given more than once, the builds are measured "
                        "side by side in every round (default: build)")
    parser.add_argument("--shape", action="append", metavar="FILES,BYTES",
                        help="a mirror of FILES files of BYTES bytes each, instead of the "
                        "default two (16,16777216 and 2000,4096); may be given more than once")
    parser.add_argument("--size-mib", type=int,
                        help="one mirror of this size instead of the default two")
    parser.add_argument("--files", type=int, help="the files of that mirror (default 16)")
    parser.add_argument("--scheme", action="append", choices=SCHEMES,
                        help="http or https; may be given twice (default: both)")
    parser.add_argument("--manifest", action="append", choices=MANIFESTS,
                        help="off or required; may be given twice (default: both)")
    parser.add_argument("--rounds", type=int, default=5,
                        help="rounds; the medians of the per-round ratios are reported")
    args = parser.parse_args()
    builds = args.build or [os.path.join(SOURCE, "build")]
    shapes = SHAPES
    if args.shape:
        shapes = [tuple(int(n) for n in shape.split(",")) for shape in args.shape]
    elif args.size_mib is not None or args.files is not None:
        files = args.files or 16
        shapes = [(files, (args.size_mib or 256) * MIB // files)]
    loopback.need_nginx()
    if not os.access(TIME, os.X_OK):
        sys.exit("%s is missing: apt-get install time" % TIME)
    syscalls = os.access(STRACE, os.X_OK)
    if not syscalls:
        print("%s is missing (apt-get install strace): no system call counts" % STRACE)
    for files, size in shapes:
        schemes = sorted(set(args.scheme or SCHEMES))
        manifests = sorted(set(args.manifest or MANIFESTS))
        results = measure(builds, files, size, args.rounds, syscalls,
                          [(scheme, manifest) for scheme in schemes for manifest in manifests])
        for manifest in manifests if len(schemes) == 2 else []:
            print("\nwith manifest=%s:" % manifest)
            tls_cost(builds, results[("http", manifest)], results[("https", manifest)])


def children(pid):
    """The processes pid started, and theirs."""
    found = []
    for name in glob.glob("/proc/%d/task/*/children" % pid):
        try:
            with open(name) as listed:
                found += [int(child) for child in listed.read().split()]
        except OSError:
            pass  # the task ended
    return found + [grandchild for child in found for grandchild in children(child)]


def rollup(pid):
    """The memory totals of a process (KiB by field), or none once it ended."""
    try:
        with open("/proc/%d/smaps_rollup" % pid) as totals:
            return {parts[0][:-1]: int(parts[1]) for parts in map(str.split, totals)
                    if len(parts) == 3 and parts[0].endswith(":")}
    except (OSError, ValueError):
        return {}


def page_frames(pid):
    """The page frames a process has resident (its pagemap's present
    entries); frame 0 for every page where the reader may not see them."""
    frames = set()
    try:
        with open("/proc/%d/maps" % pid) as maps, open("/proc/%d/pagemap" % pid, "rb") as pagemap:
            for line in maps:
                fields = line.split()
                if len(fields) > 5 and fields[5] in ("[vsyscall]", "[vvar]", "[vvar_vclock]"):
                    continue  # no pages of the process's own
                start, end = (int(bound, 16) // 4096 for bound in fields[0].split("-"))
                if end - start > 1 << 18:
                    continue  # over 1 GiB: a reservation (a sanitizer's shadow), left uncounted
                pagemap.seek(start * 8)
                entries = array.array("Q", pagemap.read((end - start) * 8))
                frames.update(entry & ((1 << 55) - 1) for entry in entries if entry >> 63)
    except (OSError, ValueError):
        pass  # the process ended, or a mapping changed under the read
    return frames


def tls_cost(builds, plain, secure):
    """What TLS adds to a full update, per round, beside what it adds to curl."""
    def added(kind, index=None):
        pick = (lambda times: times) if index is None else (lambda times: times[index])
        return [pick(b) - pick(a) for a, b in zip(plain[kind], secure[kind])]
    curl = added("curl")
    print("| | TLS adds to curl + md5sum | %s s | | |" % spread(curl))
    for index, build in enumerate(builds):
        print("| %s | TLS adds to a full update | %s s | %s s (curl) | |" % (
            build, spread(added("full", index)), spread(curl)))


def measure(builds, files, size, rounds, syscalls, variants):
    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory(prefix="qavo-e2e-bench-") as folder:
        bench = Bench(builds, folder, files, size)
        try:
            results = bench.run(rounds, syscalls, variants)
        except (RuntimeError, subprocess.CalledProcessError) as error:
            sys.exit("benchmark failed: %s" % error)
    load_after = os.getloadavg()
    for variant in variants:
        report(builds, files, size, rounds, variant, results[variant], load_before, load_after)
    return results


def report(builds, files, size, rounds, variant, result, load_before, load_after):
    print("\nmirror: %d files of %s, nginx on 127.0.0.1 over %s://, manifest=%s, files in the "
          "page cache; medians of %d rounds (range)" % (files, amount(size), variant[0],
                                                         variant[1], rounds))
    print("machine: %d cores, %s; load average %.1f before, %.1f after" % (
        os.cpu_count(), cpu_model(), load_before[0], load_after[0]))
    print("| build | measurement | qavoupdate | reference | ratio |")
    print("|---|---|---|---|---|")
    for index, build in enumerate(builds):
        name = build
        for kind, reference, title in (
                ("full", "curl", "full update vs curl + md5sum"),
                ("full", "durable", "full update vs curl + sync + md5sum (as durable)"),
                ("nothing", "md5", "nothing to update vs md5sum -c"),
                ("nothing", "sha256", "nothing to update vs sha256sum -c")):
            ours = [times[index] for times in result[kind]]
            theirs = result[reference]
            if reference in ("md5", "sha256"):
                theirs = [times[index] for times in theirs]
            ratios = [a / b for a, b in zip(ours, theirs)]
            print("| %s | %s | %s s | %s s | %s |" % (
                name, title, spread(ours), spread(theirs), spread(ratios)))
        peaks = [rss[2 * index + kind] / 1024 for rss in result["rss"] for kind in (0, 1)]
        print("| %s | peak RSS, both runs | %s MiB | %s of files | max %.1f MiB |" % (
            name, spread(peaks, "%.1f"), amount(files * size), max(peaks)))
        if result["memory"]:
            rss, pss, distinct = result["memory"][index]
            print("| %s | its processes together, full update (sampled) | %.1f MiB resident, "
                  "%.1f MiB proportional, %s distinct | | |" % (
                      name, rss / 1024, pss / 1024,
                      "%.1f MiB" % (distinct / 1024) if distinct else "n/a"))
        if result["calls"]:
            print("| %s | system calls per file, full update | %.1f | | |" % (
                name, result["calls"][index]))


def amount(size):
    """4096 -> "4 KiB", 16 << 20 -> "16 MiB"."""
    for unit, scale in (("GiB", 1 << 30), ("MiB", MIB), ("KiB", 1024)):
        if size >= scale and size % scale == 0:
            return "%d %s" % (size // scale, unit)
    return "%d bytes" % size


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
