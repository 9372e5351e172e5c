"""A temporary directory shared with other users, as /tmp is: the updater
runs as root, and the user nobody plants links and files of their own under
the names the updater will use (the lock file and the copies, named after
the MD5 of each mirror name) in the sticky, world-writable directory. No
planted name may be followed, reused, installed or run."""
import hashlib
import os
import pwd
import subprocess
import unittest

import mirrorlib
import test_http
from httpfault import FaultServer
from mirrorlib import write


def nobody():
    try:
        return pwd.getpwnam("nobody").pw_uid
    except KeyError:
        return None


NOBODY = nobody()
LOOP = "Too many levels of symbolic links"
# Records the owner of the file it runs from: only root's copy may run.
PROGRAM = b'#!/bin/sh\nstat -c %%u "$0" >> %s\n'


@unittest.skipUnless(os.geteuid() == 0 and NOBODY is not None, "needs root and the user nobody")
class SharedTempTest(test_http.HttpUpdateTest):
    def setUp(self):
        super().setUp()
        os.chmod(self.root, 0o755)  # nobody must reach the shared directory
        os.chmod(self.path("tmp"), 0o1777)
        self.marker = self.path("ran-as")
        self.program = PROGRAM % self.marker.encode()
        write(self.path("release", "tools", "report"), self.program, 1100000000)
        # The base class's mirror, with a post-install program in the engine module.
        desc = self.path("release", "mirror.desc")
        with open(desc) as f:
            text = f.read()
        conf = "    file engine/engine.conf ${CONFDIR}/engine.conf\n"
        write(desc, text.replace(conf, conf + '    file tools/report "" post 1\n'))
        result = mirrorlib.build(desc, self.mirror)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.server = FaultServer(self.path("www")).start()
        self.addCleanup(self.server.stop)
        os.mkdir(self.path("victims"))
        self.victims = {}

    def copy_name(self, sitepath):
        return self.path("tmp", hashlib.md5(sitepath.encode()).hexdigest())

    def all_copy_names(self):
        """The catalogue, its decompressed copy, and every listed file."""
        info = self.copy_name("qavoe.info")
        return [info, self.copy_name(info)] + [self.copy_name(name) for name in (
            "engine/engine.so", "engine/engine.conf", "base/data", "tools/report")]

    def as_nobody(self, *command, data=None):
        result = subprocess.run(command, input=data, user=NOBODY, group=NOBODY,
                                capture_output=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)

    def victim(self, name):
        path = write(self.path("victims", name), "victim %s\n" % name, mode=0o644)
        self.victims[path] = "victim %s\n" % name
        return path

    def assert_victims_intact(self):
        for path, text in self.victims.items():
            with open(path) as f:
                self.assertEqual(f.read(), text, path)
            self.assertEqual(os.stat(path).st_mode & 0o7777, 0o644, path)

    def assert_clean_update(self, lines, status):
        self.assertEqual(status, 0, "\n".join(lines))
        self.assertIn("\t- 4 files downloaded,", lines)
        self.assert_installed(lines)
        for installed in ("data/engine.so", "conf/engine.conf", "data/base.dat"):
            info = os.stat(self.path(installed))
            self.assertEqual((info.st_uid, info.st_mode & 0o022, info.st_nlink), (0, 0, 1),
                             installed)
        with open(self.marker) as f:
            self.assertEqual(f.read(), "0\n")

    def plant_link(self, owner, target, name):
        """A link made by nobody, or by root: the kernel may refuse to follow
        the former on its own, never the latter, so root's links show that
        the updater itself does not follow them."""
        if owner == "nobody":
            self.as_nobody("ln", "-sfn", target, name)
        else:
            if os.path.lexists(name):
                os.unlink(name)
            os.symlink(target, name)

    def test_links_under_copy_names_are_never_followed(self):
        for owner in ("nobody", "root"):
            with self.subTest(owner=owner):
                names = self.all_copy_names()
                for number, name in enumerate(names):
                    self.plant_link(owner, self.victim(str(number)), name)
                # A dangling link would have its target created.
                self.plant_link(owner, self.path("victims", "created"), names[2])
                status, lines = self.update(self.server.port, None, 3, 5, "-v")
                self.assert_clean_update(lines, status)
                self.assert_victims_intact()
                self.assertFalse(os.path.exists(self.path("victims", "created")))
                for installed in ("data/engine.so", "conf/engine.conf", "data/base.dat"):
                    os.unlink(self.path(installed))
                os.unlink(self.marker)

    def test_files_of_another_user_are_never_reused_installed_or_run(self):
        contents = dict(self.files, **{"tools/report": self.program})
        for name, data in contents.items():
            self.as_nobody("sh", "-c", 'cat > "$0" && chmod 755 "$0"', self.copy_name(name),
                           data=data)
        # Root's own copy is no better once others may write to it.
        os.unlink(self.copy_name("base/data"))
        write(self.copy_name("base/data"), self.files["base/data"], mode=0o666)
        status, lines = self.update(self.server.port, None, 3, 5, "-v")
        self.assert_clean_update(lines, status)
        # Even with the listed digest, nothing planted counted as a complete copy.
        self.assertEqual([line for line in lines if line.startswith("Getting file")],
                         ["Getting file " + name for name in (
                             "qavoe.info", "base/data", "engine/engine.conf", "engine/engine.so",
                             "tools/report")])

    def test_link_as_lock_file_ends_the_run_before_anything_is_written(self):
        lock = self.path("tmp", "update.start")
        for owner in ("nobody", "root"):
            for target in (self.victim("lock"), self.path("victims", "created")):
                with self.subTest(owner=owner, target=target):
                    self.plant_link(owner, target, lock)
                    status, lines = self.update(self.server.port)
                    self.assertEqual(status, 255, "\n".join(lines))
                    # The kernel may refuse another user's link before we do.
                    reasons = [LOOP] + (["Permission denied"] if owner == "nobody" else [])
                    self.assertIn(lines, [["Can't open %s (%s)" % (lock, reason), ""]
                                          for reason in reasons])
                    self.assert_victims_intact()
                    self.assertFalse(os.path.exists(self.path("victims", "created")))
                    self.assertEqual(self.server.requests, [])

    def test_directory_that_others_can_clear_holds_no_copies(self):
        os.chmod(self.path("tmp"), 0o777)
        status, lines = self.update(self.server.port)
        self.assertEqual(status, 6, "\n".join(lines))
        self.assertIn("Error: temppath (Operation not permitted)", lines)
        self.assertEqual(os.listdir(self.path("tmp")), ["update.start"])
        self.assertEqual(self.server.requests, [])


if __name__ == "__main__":
    unittest.main()
