"""The mirror that the two patch benchmarks publish: FILES files of SIZE MiB
of random bytes, each changed in every later version by EDITS edits of
EDIT KiB at random places (insertions, deletions and replacements, a third
of each: 20 of 8 KiB change a 16 MiB file by about 1 %), published by
`qavopublish build` signed with the demo keys in keys/."""
import os
import random
import subprocess
import sys
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
import loopback  # noqa: E402

MIB = 1 << 20
KEYS = os.path.join(SOURCE, "keys")


def add_arguments(parser):
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--size-mib", type=int, default=16, help="of each file")
    parser.add_argument("--edits", type=int, default=20, help="per file and version")
    parser.add_argument("--edit-kib", type=int, default=8)


def describe(args):
    return "%d files of %d MiB, %d edits of %d KiB per version" % (
        args.files, args.size_mib, args.edits, args.edit_kib)


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


class Release:
    """The release folder (FOLDER/release) that `publish` publishes: its
    mirror.desc lists data/partNN.bin, installed as ${DATADIR}/data/partNN.bin;
    `version()` writes the first version, then each next one."""

    def __init__(self, folder, args, seed=38):
        self.folder = folder
        self.args = args
        self.rng = random.Random(seed)
        self.names = ["data/part%02d.bin" % i for i in range(args.files)]
        self.contents = None
        lines = ["module engine"] + ["    file %s ${DATADIR}/%s" % (name, name)
                                     for name in self.names]
        loopback.write_text(os.path.join(folder, "release", "mirror.desc"),
                            "\n".join(lines) + "\n")

    def version(self):
        if self.contents is None:
            self.contents = [self.rng.randbytes(self.args.size_mib * MIB) for _ in self.names]
        else:
            self.contents = [edited(data, self.rng, self.args.edits, self.args.edit_kib * 1024)
                             for data in self.contents]
        for name, data in zip(self.names, self.contents):
            path = os.path.join(self.folder, "release", name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as out:
                out.write(data)

    def publish(self, publisher, mirror, *options):
        """Publishes the release folder into MIRROR (the history beside the
        release files): (seconds, the publisher's standard output)."""
        start = time.monotonic()
        done = subprocess.run([publisher, "build", "--key",
                               os.path.join(KEYS, "demo-private-key.pem"), "--signing-key",
                               os.path.join(KEYS, "demo-ed25519-private-key.pem"), *options,
                               os.path.join(self.folder, "release", "mirror.desc"), mirror],
                              capture_output=True, text=True)
        seconds = time.monotonic() - start
        if done.returncode != 0:
            sys.exit("qavopublish build failed: " + done.stderr)
        return seconds, done.stdout
