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
import random
import re
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
import loopback  # noqa: E402

MIB = 1 << 20
KEYS = os.path.join(SOURCE, "keys")


def edited(data, rng, edits, size):
    """DATA with EDITS edits of SIZE bytes, a third of each kind."""
    data = bytearray(data)
    for n in range(edits):
        at = rng.randrange(len(data) - size)
        if n % 3 == 0:
            data[at:at] = rng.randbytes(size)
        elif n % 3 == 1:
            del data[at:at + size]
        else:
            data[at:at + size] = rng.randbytes(size)
    return bytes(data)


def build(publisher, folder, keep):
    """Seconds of one build, and its summary line of patches ("" when none)."""
    start = time.monotonic()
    done = subprocess.run([publisher, "build", "--key", os.path.join(KEYS, "demo-private-key.pem"),
                           "--signing-key", os.path.join(KEYS, "demo-ed25519-private-key.pem"),
                           "--keep", str(keep), os.path.join(folder, "release", "mirror.desc"),
                           os.path.join(folder, "mirror")],
                          capture_output=True, text=True)
    seconds = time.monotonic() - start
    if done.returncode != 0:
        sys.exit("qavopublish build failed: " + done.stderr)
    return seconds, "".join(re.findall(r"^patches: .*$", done.stdout, re.M))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"),
                        help="build folder (default: build)")
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--size-mib", type=int, default=16, help="of each file")
    parser.add_argument("--edits", type=int, default=20, help="per file and version")
    parser.add_argument("--edit-kib", type=int, default=8)
    parser.add_argument("--keep", type=int, default=7)
    parser.add_argument("--rounds", type=int, default=3,
                        help="the whole sequence is run this often; medians are reported")
    args = parser.parse_args()
    publisher = os.path.join(os.path.abspath(args.build), "tools", "qavopublish")
    names = ["data/part%02d.bin" % i for i in range(args.files)]
    steps = ["v1", "v2", "v3", "v3 again"]
    times = {step: [] for step in steps}
    summaries = {}
    for _ in range(args.rounds):
        with tempfile.TemporaryDirectory(prefix="qavo-delta-bench-") as folder:
            lines = ["module engine"] + ["    file %s ${DATADIR}/%s" % (name, name)
                                         for name in names]
            loopback.write_text(os.path.join(folder, "release", "mirror.desc"),
                                "\n".join(lines) + "\n")
            rng = random.Random(38)
            contents = [rng.randbytes(args.size_mib * MIB) for _ in names]
            for step in steps:
                if step in ("v2", "v3"):
                    contents = [edited(data, rng, args.edits, args.edit_kib * 1024)
                                for data in contents]
                for name, data in zip(names, contents):
                    path = os.path.join(folder, "release", name)
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    with open(path, "wb") as out:
                        out.write(data)
                seconds, summaries[step] = build(publisher, folder, args.keep)
                times[step].append(seconds)
    print("%d files of %d MiB, %d edits of %d KiB per version, %d rounds, %d CPUs" % (
        args.files, args.size_mib, args.edits, args.edit_kib, args.rounds, os.cpu_count()))
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
