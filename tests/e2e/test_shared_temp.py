"""A temporary directory shared with other users, as /tmp is: links and files that the user nobody
plants under the updater's names are never followed, reused, installed or run."""
import grp
import os
import pwd
import shutil
import subprocess
import unittest

from harness import STANDARD, STANDARD_DESCRIPTION, SiteTest, read, write

NOBODY = next((user.pw_uid for user in pwd.getpwall() if user.pw_name == "nobody"), None)
# Records the owner of the file it runs from: only root's own copy may run.
PROGRAM = '#!/bin/sh\nstat -c %%u "$0" >> %s\n'


@unittest.skipUnless(os.geteuid() == 0 and NOBODY is not None, "needs root and the user nobody")
class SharedTempTest(SiteTest):
    def setUp(self):
        super().setUp()
        self.marker = self.site.path("ran-as")
        self.program = (PROGRAM % self.marker).encode()
        self.site.source("tools/report", self.program)
        self.site.publish(STANDARD_DESCRIPTION + '    file tools/report "" post 1\n')
        os.chmod(self.site.path("tmp"), 0o1777)
        self.serve_http()
        self.victims = {}
        info = self.site.copy_name("qavoe.info")
        self.names = [info, self.site.copy_name(info)] + [
            self.site.copy_name(site) for site, _, _ in STANDARD + [("tools/report", 0, 0)]]

    def as_nobody(self, *command, data=None):
        subprocess.run(command, input=data, user=NOBODY, group=NOBODY, check=True, timeout=30)

    def victim(self, name):
        self.victims[write(self.site.path("victims", name), name, mode=0o644)] = name.encode()
        return self.site.path("victims", name)

    def plant_link(self, owner, target, name):
        """The kernel may refuse to follow a link of nobody's on its own, never
        one of root's: root's links show that the updater itself does not."""
        command = ["ln", "-sfn", target, name]
        self.as_nobody(*command) if owner == "nobody" else subprocess.run(command, check=True)

    def assert_victims_intact(self):
        for path, text in self.victims.items():
            self.assertEqual((read(path), os.stat(path).st_mode & 0o7777), (text, 0o644))
        self.assertFalse(os.path.exists(self.site.path("victims", "created")))

    def assert_clean_update(self, got):
        self.assertUpdated(got, files=4)
        stats = [os.stat(self.site.path(installed)) for installed in self.site.tree()]
        self.assertEqual({(s.st_uid, s.st_mode & 0o022, s.st_nlink) for s in stats}, {(0, 0, 1)})
        self.assertEqual(read(self.marker), b"0\n")
        self.assert_victims_intact()
        self.site.uninstall()
        os.unlink(self.marker)

    def test_planted_names_are_never_followed_reused_installed_or_run(self):
        for owner in ("nobody", "root"):
            with self.subTest(owner=owner):
                for number, name in enumerate(self.names):
                    self.plant_link(owner, self.victim(str(number)), name)
                # A dangling link would have its target created.
                self.plant_link(owner, self.site.path("victims", "created"), self.names[2])
                self.assert_clean_update(self.site.update("-v"))
        # Files of another user, even with the listed digest, and a copy of
        # root's own that others may write, never count as complete copies.
        contents = dict({s: data for s, _, data in STANDARD}, **{"tools/report": self.program})
        for site, data in contents.items():
            self.as_nobody("sh", "-c", 'cat > "$0" && chmod 755 "$0"', self.site.copy_name(site),
                           data=data)
        os.unlink(self.site.copy_name("base/data"))
        write(self.site.copy_name("base/data"), contents["base/data"], mode=0o666)
        got = self.site.update("-v")
        self.assertEqual(got.matching(r"^Getting file (.*)$"), [
            "qavoe.info", "base/data", "tools/report", "engine/engine.conf", "engine/engine.so"])
        self.assert_clean_update(got)

    def test_a_file_of_another_owner_is_replaced_by_a_copy_of_its_own(self):
        # A link would share our temporary copy's inode, and hand it to that owner.
        installed = write(self.site.path("data", "base.dat"), b"old", mode=0o644)
        os.chown(installed, NOBODY, 0)
        self.site.source("tools/report", "#!/bin/sh\nstat -c %%h:%%u %s > %s\n" % (
            installed, self.marker))
        self.site.publish(STANDARD_DESCRIPTION + '    file tools/report "" post 1\n')
        self.assertUpdated(self.site.update(), files=4)
        self.assertEqual(read(self.marker), b"1:%d\n" % NOBODY)

    def test_lock_link_or_open_directory_ends_the_run_untouched(self):
        lock = self.site.path("tmp", "update.start")
        for owner in ("nobody", "root"):
            for target in (self.victim("lock"), self.site.path("victims", "created")):
                with self.subTest(owner=owner, target=target):
                    self.plant_link(owner, target, lock)
                    got = self.site.update()
                    self.assertEqual(got.status, 255, got)
                    # The kernel may refuse another user's link before the updater does.
                    reasons = ["Too many levels of symbolic links"] + (
                        ["Permission denied"] if owner == "nobody" else [])
                    self.assertIn(got.lines, [["Can't open %s (%s)" % (lock, reason), ""]
                                              for reason in reasons])
                    self.assert_victims_intact()
        os.unlink(lock)
        # Only names that nobody but root and the updater's user can remove are safe.
        other = grp.getgrnam("nogroup").gr_gid
        for mode, owner, group, refused in ((0o777, 0, 0, True), (0o770, 0, other, True),
                                            (0o755, NOBODY, 0, True), (0o775, 0, 0, False),
                                            (0o1777, 0, other, False)):
            with self.subTest(mode=oct(mode), owner=owner, group=group):
                os.chown(self.site.path("tmp"), owner, group)
                os.chmod(self.site.path("tmp"), mode)
                got = self.site.update()
                if not refused:
                    self.assert_clean_update(got)
                    continue
                self.assertRun(got, 6, "Error: temppath (Operation not permitted)")
                self.assertEqual((self.site.leftovers(), self.http.requests), ([], []))

    def test_state_directory_behind_a_link_foreign_or_open_is_refused(self):
        state, up, target = (self.site.path("tmp", name) for name in ("state", "up", "target"))
        os.mkdir(target, 0o700)
        cases = [  # the state path, how it is made, what its line says of it
            (state, lambda: self.plant_link("nobody", target, state), " is a symbolic link"),
            (state, lambda: self.plant_link("root", target, state), " is a symbolic link"),
            (up + "/target", lambda: self.plant_link("nobody", self.site.path("tmp"), up),
             ": '%s' is a symbolic link" % up),
            (state, lambda: os.mkdir(state) or os.chown(state, NOBODY, NOBODY),
             " belongs to another user"),
            (state, lambda: os.mkdir(state) or os.chmod(state, 0o1777),
             " may be written by other users")]
        for path, make, told in cases:
            with self.subTest(path=path, told=told):
                for name in (state, up):
                    os.unlink(name) if os.path.islink(name) else shutil.rmtree(name, True)
                make()
                got = self.site.rerun(self.http.port, manifest="required", statepath=path)
                self.assertEqual((got.status, got.lines, os.listdir(target), self.http.requests),
                                 (4, ["State path '%s'%s" % (path, told), ""], [], []), got)


if __name__ == "__main__":
    unittest.main()
