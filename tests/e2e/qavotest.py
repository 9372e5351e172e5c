"""Shared helpers for the end-to-end tests: locating the programs and
running them in a sandbox directory."""
import os
import subprocess
import tempfile

BUILD = os.environ.get("QAVO_BIN", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
SOURCE = os.environ.get("QAVO_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
UPDATER = os.path.abspath(os.path.join(BUILD, "qavoupdate"))


def run(args, cwd=None, timeout=60, program=UPDATER, stdin=subprocess.DEVNULL):
    """Runs a program and returns (status, stdout, stderr) as text."""
    proc = subprocess.run([program] + list(args), cwd=cwd, stdin=stdin,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout)
    return (proc.returncode, proc.stdout.decode("latin-1"),
            proc.stderr.decode("latin-1"))


class Sandbox:
    """A temporary directory tree; cwd for runs that must not see other
    configuration files."""

    def __init__(self):
        self._dir = tempfile.TemporaryDirectory(prefix="qavo-e2e-")
        self.root = self._dir.name

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def write(self, relative, text, mode=None):
        full = self.path(relative)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as out:
            out.write(text)
        if mode is not None:
            os.chmod(full, mode)
        return full

    def mkdir(self, relative):
        full = self.path(relative)
        os.makedirs(full, exist_ok=True)
        return full

    def cleanup(self):
        self._dir.cleanup()
