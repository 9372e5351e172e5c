#!/usr/bin/env python3
"""Publisher benchmark: what making patches costs `qavopublish build`. A
mirror of 16 files of 16 MiB is published as v1, then as v2 and v3, each
changing every file by about 1 % (20 edits of 8 KiB: insertions, deletions
and replacements at random places), then v3 once more (every patch taken
from the history). Each build is timed; v1 (no older version yet, the same
copying, digests and signatures) is the base that the cost of the patches is
measured against, per kept version: v2 patches from one, v3 from two. Signed
with the demo keys in keys/; the history sits in a temporary folder."""
import argparse
import os
import re
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import delta_mirror  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(delta_mirror.SOURCE, "build"),
                        help="build folder (default: build)")
    delta_mirror.add_arguments(parser)
    parser.add_argument("--keep", type=int, default=7)
    parser.add_argument("--rounds", type=int, default=3,
                        help="the whole sequence is run this often; medians are reported")
    args = parser.parse_args()
    publisher = os.path.join(os.path.abspath(args.build), "tools", "qavopublish")
    steps = ["v1", "v2", "v3", "v3 again"]
    times = {step: [] for step in steps}
    summaries = {}
    for _ in range(args.rounds):
        with tempfile.TemporaryDirectory(prefix="qavo-delta-bench-") as folder:
            release = delta_mirror.Release(folder, args)
            for step in steps:
                if step != "v3 again":
                    release.version()
                seconds, output = release.publish(publisher, os.path.join(folder, "mirror"),
                                                  "--keep", str(args.keep))
                summaries[step] = "".join(re.findall(r"^patches: .*$", output, re.M))
                times[step].append(seconds)
    print("%s, %d rounds, %d CPUs" % (delta_mirror.describe(args), args.rounds, os.cpu_count()))
    print("| build | wall time (median, range) | per kept version, above v1 | patches |")
    print("|---|---|---|---|")
    base = statistics.median(times["v1"])
    for step, kept in zip(steps, (0, 1, 2, 0)):
        median = statistics.median(times[step])
        per = "%.2f s" % ((median - base) / kept) if kept else ""
        print("| %s | %.2f s (%.2f-%.2f) | %s | %s |" % (
            step, median, min(times[step]), max(times[step]), per, summaries[step] or "none"))


if __name__ == "__main__":
    main()
