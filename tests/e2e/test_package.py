"""The Debian package made from this build: what it installs, what it depends on, and its
maintainer script, which creates the system user that the network side runs as."""
import os
import shutil
import subprocess
import unittest

from harness import BUILD, SOURCE, ScratchTest, read, write

CPACK = shutil.which("cpack")
DPKG_DEB = shutil.which("dpkg-deb")
# Stand-ins for the tools the maintainer script calls: each records its arguments.
RECORDER = '#!/bin/sh\necho "${0##*/} $*" >> "%s"\nexit %d\n'


@unittest.skipUnless(CPACK and DPKG_DEB, "needs cpack and dpkg-deb")
class PackageTest(ScratchTest):
    @classmethod
    def setUpClass(cls):
        cls.folder = os.path.join(BUILD, "package-test")
        shutil.rmtree(cls.folder, ignore_errors=True)
        # This build trusts the demo keys, which cpack refuses (a test of its own); the check is
        # the project's configuration file, left out here.
        made = subprocess.run([CPACK, "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                               "-B", cls.folder, "-D", "CPACK_PROJECT_CONFIG_FILE="],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        debs = [name for name in os.listdir(cls.folder) if name.endswith(".deb")]
        if made.returncode != 0 or len(debs) != 1:
            raise AssertionError("cpack made no package:\n" + made.stdout.decode(errors="replace"))
        cls.deb = os.path.join(cls.folder, debs[0])
        cls.control = os.path.join(cls.folder, "control")
        subprocess.run([DPKG_DEB, "-e", cls.deb, cls.control], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_the_package_holds_the_programs_and_depends_on_what_they_load_and_its_script_runs(self):
        listing = subprocess.run([DPKG_DEB, "-c", self.deb], stdout=subprocess.PIPE,
                                 check=True).stdout.decode()
        for installed in ("./usr/sbin/qavoupdate", "./usr/bin/qavopublish",
                          "./usr/share/man/man8/qavoupdate.8"):
            self.assertIn(" " + installed + "\n", listing)
        depends = subprocess.run([DPKG_DEB, "-f", self.deb, "Depends"], stdout=subprocess.PIPE,
                                 check=True).stdout.decode()
        # libssl and libzstd are loaded at run time, which no library scan sees.
        self.assertEqual({"libssl3", "libzstd1", "adduser"} - {
            part.split()[0] for part in depends.split(",") if part.strip()}, set())
        script = os.path.join(self.control, "postinst")
        self.assertEqual(read(script), read(os.path.join(SOURCE, "packaging", "postinst")))
        self.assertTrue(os.access(script, os.X_OK))

    def postinst(self, *args, user_exists=False, adduser_status=0):
        """Runs the package's postinst with stand-ins for getent and adduser on its PATH; its
        exit status and the calls it made, in order."""
        tools = self.path("tools")
        calls = self.path("calls")
        os.makedirs(tools, exist_ok=True)
        write(calls, b"")
        write(os.path.join(tools, "getent"), (RECORDER % (calls, 0 if user_exists else 2)).encode(),
              mode=0o755)
        write(os.path.join(tools, "adduser"), (RECORDER % (calls, adduser_status)).encode(),
              mode=0o755)
        status = subprocess.run(["/bin/sh", os.path.join(self.control, "postinst")] + list(args),
                                env={"PATH": tools}, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL).returncode
        return status, read(calls).decode().splitlines()

    def test_the_script_creates_the_system_user_once_and_fails_when_it_cannot(self):
        lookup = "getent passwd _qavoupdate"
        created = "adduser --system --group --no-create-home --quiet _qavoupdate"
        self.assertEqual(self.postinst("configure", ""), (0, [lookup, created]))
        # An upgrade finds the user and leaves it alone.
        self.assertEqual(self.postinst("configure", "0.9.9", user_exists=True), (0, [lookup]))
        # Other calls of the script do nothing.
        for action in ("abort-upgrade", "abort-remove", "triggered"):
            self.assertEqual(self.postinst(action, "0.9.9"), (0, []), action)
        # A user that cannot be made fails the installation, which dpkg then reports.
        status, calls = self.postinst("configure", "", adduser_status=1)
        self.assertNotEqual(status, 0)
        self.assertEqual(calls, [lookup, created])


if __name__ == "__main__":
    unittest.main()
