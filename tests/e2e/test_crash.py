"""Crash safety: strace kills the updater at each call that changes a file; every
file must stay whole, and at most two plain runs must finish the update."""
import hashlib
import os
import re
import shutil
import subprocess
import unittest

from harness import (CONF, DATA, ED25519, INFO, SO, STANDARD, STANDARD_DESCRIPTION, T0, UPDATER,
                     SiteTest, loopback, pattern, read, run, server)

STRACE = shutil.which("strace")
CALLS = ("rename renameat renameat2 link linkat symlink symlinkat unlink unlinkat mkdir mkdirat "
         "rmdir open openat openat2 creat write pwrite64 writev copy_file_range sendfile ftruncate "
         "truncate fallocate chmod fchmod fchmodat chown fchown fchownat lchown utime utimes "
         "futimesat utimensat fsync fdatasync syncfs")
DESCRIPTION = ("module engine\n    require base\n    file data/engine.so ${DATADIR}/engine.so\n"
               "    file conf/engine.conf ${CONFDIR}/engine.conf\n%s    file bin/notify "
               "${BINDIR}/notify post 1\nmodule base\n    file data/base.dat ${DATADIR}/base.dat\n"
               "    file base.sh \"\" post 1\n")


def kill_points(trace, root):
    """(call, N, arguments) for each call of the first process that changes a file (opens
    that create or truncate, writes but to stdout and stderr), N counted as when=N counts: per
    call and process. Of writes in a row to one descriptor the first and last stand for all."""
    calls = re.findall(r"^(\d+) +(\w+)\((.*)", read(trace).decode("latin-1"), re.M)
    counts, found = {}, []
    for pid, call, args in calls:
        counts[call] = counts.get(call, 0) + (pid == calls[0][0])
        write = "write" in call
        at = args.split(",")[0] + ", ..." if write else args.split(" = ")[0].replace(root, "")
        if pid == calls[0][0] and at not in ("1, ...", "2, ...") and (
                "open" not in call or re.search("O_CREAT|O_TRUNC", args)):
            if write and len(found) > 1 and found[-1][2] == found[-2][2] == at:
                found.pop()
            found.append((call, counts[call], at))
    return found


def summary(files):  # sizes and digests: all a check needs, and short to print
    return {path: "%d bytes %s" % (len(data), hashlib.md5(data).hexdigest()[:8])
            for path, data in files.items()}


@unittest.skipIf(STRACE is None, "strace is missing (apt-get install strace)")
class CrashTest(SiteTest):
    def setUp(self):
        super().setUp()
        self.serve_http()
        # strace counts each process's calls: a network side would be killed
        # at the same counts as the updater, whose writes are what is tested.
        self.site.configure(self.http.port, sandbox="off")
        os.mkdir(self.site.path("log"))

    def strace(self, program, *options):
        # LeakSanitizer cannot run under a tracer. Quiet: the meter's writes vary.
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        return subprocess.run([STRACE, "-f", "-qq", *options, program, "-q", "-c", self.site.path(
            "qup.conf")], cwd=self.site.root, env=env, capture_output=True, timeout=120).returncode

    def logged(self):
        log = self.site.path("log", "lines")
        return set(read(log).decode().splitlines()) if os.path.exists(log) else set()

    def kill_everywhere(self, old, new, copies, program=UPDATER, logged=()):
        """Kills the update from `old` to `new` at each point. The mirror copies are
        complete beforehand: only the catalogue's few calls precede the install's."""
        for name in copies:
            shutil.copy2(self.site.mirror_file(name), self.site.copy_name(name))
        parts, saved = ("bin", "data", "conf", "tmp", "log", "state"), self.site.path("saved")
        os.makedirs(self.site.path("state"), 0o700, exist_ok=True)
        for part in parts:
            shutil.copytree(self.site.path(part), os.path.join(saved, part))
        old, new, version = summary(old), summary(new), vars(run(["--version"]))
        # Whole: old or new; a file new in this release may also be absent, never empty.
        whole = {p: {old.get(p), new[p]} for p in new}
        self.strace(program, "-o", self.site.path("trace"), "-e",
                    "trace=?" + CALLS.replace(" ", ",?"))
        self.assertEqual((summary(self.site.tree()), self.logged() >= set(logged)), (new, True))
        points = kill_points(self.site.path("trace"), self.site.root)
        for path in (p for p in new if old.get(p) != new[p]):  # each change is among the points
            self.assertTrue([at for _, _, at in points if path in at], path)
        for call, n, at in points:
            with self.subTest(call=call, n=n, at=at):
                for part in parts:
                    shutil.rmtree(self.site.path(part))
                    shutil.copytree(os.path.join(saved, part), self.site.path(part))
                # Each process counts its own calls: -9 says the updater itself was killed.
                kill = ("-e", "trace=" + call, "-e", "inject=%s:signal=SIGKILL:when=%d" % (call, n))
                self.assertEqual(self.strace(program, "-o", "/dev/null", *kill), -9)
                tree = summary(self.site.tree())
                self.assertEqual({p: tree.get(p) for p in new if tree.get(p) not in whole[p]}, {},
                                 "neither old nor new")
                if program != UPDATER:
                    self.assertTrue(os.access(program, os.X_OK), "the updater cannot run")
                    self.assertEqual(vars(run(["--version"], program=program)), version)
                for _ in range(2):
                    again = self.site.update("-q", program=program)
                    if summary(self.site.tree()) == new and self.logged() >= set(logged):
                        break
                self.assertEqual(summary(self.site.tree()), new, again)
                self.assertGreaterEqual(self.logged(), set(logged), "post-install programs")
                self.assertEqual([n for n in os.listdir(self.site.path("tmp"))
                                  if n.endswith(".installing")], [], "a module left unfinished")

    def test_a_large_download_is_flushed_while_the_run_goes_on_and_needs_no_other_flush(self):
        trace, so = self.site.path("trace"), self.site.copy_name(SO)
        staged = {site: ".%s.qavo-new" % os.path.basename(installed) for site, installed, _ in STANDARD}
        # The first run installs the two small files too, the second only the large one.
        for seed, installed in ((1, [DATA, CONF, SO]), (2, [SO])):
            self.site.source(SO, pattern(9 << 20, seed=seed))
            self.site.publish(STANDARD_DESCRIPTION)
            self.strace(UPDATER, "-y", "-o", trace, "-e", "trace=sync_file_range,fdatasync,syncfs,rename")
            found = re.findall(r'^(\d+) +(\w+)\((?:\d+<([^>]+)>(?:, (\d+), (\d+))?|"([^"]+)")',
                               read(trace).decode(), re.M)
            calls = [(call, pid == found[0][0], path or os.path.basename(staging), *span)
                     for pid, call, path, *span, staging in found]
            # The copy's writes start as it arrives; complete, it is flushed by a second thread.
            # The small copies are flushed by one flush of the file system before the first of
            # them is installed, and only when there are any.
            written = [("sync_file_range", True, so, str(start), str(size))
                       for start, size in ((0, 4 << 20), (4 << 20, 4 << 20), (8 << 20, 1 << 20))]
            flushed = [("syncfs", True, self.site.copy_name(DATA), "", "")] * (len(installed) > 1)
            self.assertEqual(calls, written + [("fdatasync", False, so, "", "")] + flushed + [
                ("rename", True, staged[site], "", "") for site in installed])

    def test_a_file_replaced_by_a_copy_is_on_disk_before_its_rename(self):
        so, trace = self.site.path("data", "engine.so"), self.site.path("trace")
        self.assertUpdated(self.site.update())
        os.chmod(so, 0o664)  # group-writable: replaced by a copy, never a link
        self.site.source("engine/engine.so", pattern(120000, seed=3))
        self.site.publish(STANDARD_DESCRIPTION)
        os.utime(self.site.mirror_file(INFO), (T0, T0))  # validators old enough to keep it by
        self.site.configure(server(self, loopback.Nginx, self.site.path("www")).port, sandbox="off")
        self.strace(UPDATER, "-y", "-o", trace, "-e", "trace=fsync,rename,renameat,renameat2")
        calls = [(call, re.sub(r"^\d+<", "<", args)) for call, args in re.findall(
            r"^\d+ +(\w+)\((.*)\) = 0$", read(trace).decode(), re.M)]
        renamed = [(n, re.search(r'(<([^>]+)>, )?"([^"]+)"$', args)) for n, (call, args) in
                   enumerate(calls) if call.startswith("rename")]
        folders = [os.path.dirname(os.path.join(m[2] or "", m[3])) for _, m in renamed]
        # The copy is on disk before its rename, and every new name (the kept catalogue's too)
        # after it: its folder is synced.
        staging = ("fsync", "<%s>" % self.site.path("data", ".engine.so.qavo-new"))
        self.assertEqual((folders, calls[renamed[1][0] - 1], renamed[1][1].group(0)), (
            [self.site.path("state"), self.site.path("data")], staging, '"%s"' % so), calls)
        for (n, _), folder in zip(renamed, folders):
            self.assertIn(("fsync", "<%s>" % folder), calls[n:], folder)

    def release(self, n):
        """Programs log "<module> n"; release 2 changes every file, adds data/extra."""
        script = b"#!/bin/sh\necho %s %d >> " + self.site.path("log", "lines").encode() + b"\n"
        files = {"data/engine.so": pattern(20000, n), "conf/engine.conf": b"level=%d\n" % n,
                 "data/base.dat": b"base %d\n" % n, "bin/notify": script % (b"engine", n),
                 "base.sh": script % (b"base", n), **({"data/extra": b"new\n"} if n == 2 else {})}
        for path, data in files.items():
            self.site.source(path, data)
        self.site.publish(DESCRIPTION % ("    file data/extra ${DATADIR}/extra\n" * (n - 1)))
        return {path: data for path, data in files.items() if path != "base.sh"}, list(files)

    def test_killed_anywhere_in_an_install_the_update_still_completes(self):
        old, _ = self.release(1)
        self.assertRun(self.site.update(), 0)
        self.assertEqual((self.site.tree(), self.logged()), (old, {"engine 1", "base 1"}))
        new, copies = self.release(2)
        self.kill_everywhere(old, new, copies, logged=("engine 2", "base 2"))

    def test_killed_anywhere_while_patching_the_update_still_completes(self):
        signing, so = ("--signing-key", ED25519 % "private"), pattern(200000)
        self.site.source("engine/engine.so", so)
        self.site.publish(STANDARD_DESCRIPTION, *signing)
        self.site.configure(self.http.port, manifest="required", sandbox="off")
        self.assertRun(self.site.update(), 0)
        old = self.site.tree()
        # Of the same size: the check's digest of the installed file chooses the patch.
        self.site.source("engine/engine.so", so[:5000] + b"new signatures\n" * 30 + so[5450:])
        self.site.publish(STANDARD_DESCRIPTION, *signing)
        patch = re.search(r" (patches/\S+)\n", read(self.site.mirror_file(INFO + ".delta")).decode())
        self.kill_everywhere(old, dict(old, **{"data/engine.so": read(self.site.mirror_file(
            "engine/engine.so"))}), [])
        # The installed file was the patch's base: the kills fell while it was read and patched.
        self.assertIn(self.site.copy_name(patch.group(1)), read(self.site.path("trace")).decode())

    def test_killed_anywhere_in_a_self_update_the_updater_still_starts(self):
        updater = shutil.copy(UPDATER, self.site.path("bin", "qavoupdate"))
        self.assertRun(self.site.update(program=updater), 0)
        new = dict(self.site.tree(), **{"bin/qavoupdate": read(UPDATER) + b"\n# release 2\n"})
        self.site.source("bin/qavoupdate", new["bin/qavoupdate"])
        self.site.publish("update qavoupdate ${BINDIR}/qavoupdate from bin/qavoupdate\n" +
                          STANDARD_DESCRIPTION)
        self.kill_everywhere(self.site.tree(), new, ["qavoupdate"], program=updater)


if __name__ == "__main__":
    unittest.main()
