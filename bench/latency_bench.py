#!/usr/bin/env python3
"""Latency benchmark: a full update of many small files at an internet round trip, against curl.
The mirror is published as bench/e2e_bench.py publishes it and served by nginx on loopback
behind bench/latency_proxy.py, which delays every byte by half a round trip in each direction and
every new connection by a round trip; the updater is pointed at the proxy's port as at a plain
http:// mirror. For each shape (files of 4 KiB) and round trip, every round measures, taking turns
at going first: a full update into an empty install tree with each --build, curl fetching the
files one after the other over one connection, and curl --parallel --parallel-max 8. Prints the
medians (ranges) of the rounds as a Markdown table, with each build's median per-round ratio to
curl --parallel. Before the rounds of a shape, curl's sequential fetch (into /dev/null) straight
from nginx is set beside the same through the proxy without delay: what the proxy itself costs."""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_bench import SOURCE, TIME, Bench, amount, cpu_model, loopback, spread  # noqa: E402
from latency_proxy import DelayProxy  # noqa: E402

FILES = [200, 2000]
RTTS_MS = [20, 50]
SIZE = 4096
PARALLEL = 8
SEQUENTIAL, CONCURRENT = "curl sequential", "curl --parallel"


def seconds(argv):
    start = time.monotonic()
    subprocess.run(argv, check=True, stdin=subprocess.DEVNULL)
    return time.monotonic() - start


def curl(bench, parallel):
    """Seconds for curl to fetch the mirror's files into a new folder."""
    argv = bench.curl_command(bench.fresh())
    if parallel:
        argv[1:1] = ["--no-progress-meter", "--parallel", "--parallel-max", str(PARALLEL)]
    return seconds(argv)


def proxy_cost(bench, nginx, proxy, rounds):
    """curl's sequential fetch straight from nginx and through the proxy without delay, in
    turns: ([seconds direct], [seconds through the proxy]). The files go to /dev/null: creating
    them swings with what the file system freed lately, and would hide the proxy's cost."""
    proxy.rtt = 0.0
    times = {nginx.port: [], proxy.port: []}
    for turn in range(rounds):
        for port in (nginx.port, proxy.port)[::1 if turn % 2 == 0 else -1]:
            bench.port = port
            argv = bench.curl_command("")
            argv = [os.devnull if before == "-o" else arg for before, arg in zip([""] + argv, argv)]
            times[port].append(seconds(argv))
    bench.port = proxy.port
    return times[nginx.port], times[proxy.port]


def measure(builds, files, rtts, rounds):
    """{rtt: {build index or curl's name: [seconds per round]}} and the proxy's cost."""
    results = {}
    with tempfile.TemporaryDirectory(prefix="qavo-latency-bench-") as folder:
        bench = Bench([build.partition("@")[0] for build in builds], folder, files, SIZE)
        bench.publish()
        with loopback.Nginx(bench.path("www"), bench.path("nginx")) as nginx, \
                DelayProxy(nginx.port) as proxy:
            cost = proxy_cost(bench, nginx, proxy, rounds)
            order = list(range(len(builds))) + [SEQUENTIAL, CONCURRENT]
            for rtt in rtts:
                print("measuring %d files at %g ms..." % (files, rtt), file=sys.stderr, flush=True)
                proxy.rtt = rtt / 1000
                runs = results[rtt] = {what: [] for what in order}
                for turn in range(rounds):
                    for what in order[turn % len(order):] + order[:turn % len(order)]:
                        if what in (SEQUENTIAL, CONCURRENT):
                            runs[what].append(curl(bench, what == CONCURRENT))
                            continue
                        bench.fresh()
                        depth = builds[what].partition("@")[2]
                        if depth:  # the configuration ends in the [http] section
                            with open(os.path.join(bench.current, "qup.conf"), "a") as conf:
                                conf.write("pipeline=%s\n" % depth)
                        runs[what].append(bench.update(bench.updaters[what], 0)[0])
    return results, cost


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", action="append",
                        help="build folder, with @N to set its [http] pipeline to N; given "
                        "more than once, the builds are measured side by side in every round "
                        "(default: build)")
    parser.add_argument("--shapes", default=",".join(map(str, FILES)), metavar="FILES,...",
                        help="mirrors of this many files of 4 KiB (default: %(default)s)")
    parser.add_argument("--rtts", default=",".join(map(str, RTTS_MS)), metavar="MS,...",
                        help="round trips in milliseconds (default: %(default)s)")
    parser.add_argument("--rounds", type=int, default=5, help="rounds (default: %(default)s)")
    args = parser.parse_args()
    builds = args.build or [os.path.join(SOURCE, "build")]
    shapes = [int(n) for n in args.shapes.split(",")]
    rtts = [float(ms) for ms in args.rtts.split(",")]
    loopback.need_nginx()
    if not os.access(TIME, os.X_OK):
        sys.exit("%s is missing: apt-get install time" % TIME)
    loopback.stop_on_signals()
    load_before = os.getloadavg()
    rows, costs = [], []
    for files in shapes:
        try:
            results, cost = measure(builds, files, rtts, args.rounds)
        except (RuntimeError, subprocess.CalledProcessError) as error:
            sys.exit("benchmark failed: %s" % error)
        costs.append((files, cost))
        rows += [(rtt, files, results[rtt]) for rtt in rtts]
    report(builds, args.rounds, rows, costs, load_before, os.getloadavg())


def report(builds, rounds, rows, costs, load_before, load_after):
    print("\nmirrors of files of %s, nginx on 127.0.0.1 behind the delaying proxy, over http://; "
          "medians of %d rounds (range), in seconds" % (amount(SIZE), rounds))
    print("machine: %d cores, %s; load average %.1f before, %.1f after" % (
        os.cpu_count(), cpu_model(), load_before[0], load_after[0]))
    for files, (direct, proxied) in costs:
        print("proxy without delay, %d files: curl sequential %s s straight from nginx, %s s "
              "through the proxy" % (files, spread(direct, "%.3f"), spread(proxied, "%.3f")))
    print("\n| round trip | files | %s | %s | %s 8 | %s |" % (
        " | ".join(builds), SEQUENTIAL, CONCURRENT,
        " | ".join("%s / %s" % (build, CONCURRENT) for build in builds)))
    print("|---|---|%s---|---|%s" % ("---|" * len(builds), "---|" * len(builds)))
    for rtt, files, runs in rows:
        ratios = [statistics.median(a / b for a, b in zip(runs[index], runs[CONCURRENT]))
                  for index in range(len(builds))]
        print("| %g ms | %d | %s | %s | %s | %s |" % (
            rtt, files, " | ".join(spread(runs[index]) for index in range(len(builds))),
            spread(runs[SEQUENTIAL]), spread(runs[CONCURRENT]),
            " | ".join("%.2f" % ratio for ratio in ratios)))


if __name__ == "__main__":
    main()
