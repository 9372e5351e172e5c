"""Installation: `cmake --install` into a DESTDIR puts the programs, manuals
and examples where the packaging expects them, the installed programs run,
the example configuration is accepted, and `cpack -G DEB` makes a package
with the same files."""
import os
import shutil
import subprocess
import tempfile
import unittest

from qavotest import BUILD, SOURCE

PREFIX = "/usr"
EXPECTED = {
    "usr/sbin/qavoupdate": True,
    "usr/bin/qavopublish": True,
    "usr/share/man/man8/qavoupdate.8": False,
    "usr/share/man/man5/qup.conf.5": False,
    "usr/share/man/man1/qavopublish.1": False,
    "usr/share/doc/qavoupdate/examples/qup.conf": False,
    "usr/share/doc/qavoupdate/examples/qavoupdate.service": False,
    "usr/share/doc/qavoupdate/examples/qavoupdate.timer": False,
    "usr/share/doc/qavoupdate/examples/qavoupdate.cron": False,
    "usr/share/doc/qavoupdate/examples/qavoupdate-run": True,
    "usr/share/doc/qavoupdate/examples/MIRROR-OPERATORS.md": False,
}


def have_install_rules():
    return os.path.exists(os.path.join(BUILD, "cmake_install.cmake"))


@unittest.skipUnless(have_install_rules() and shutil.which("cmake"), "no configured build")
class InstallTest(unittest.TestCase):
    def setUp(self):
        self.dest = tempfile.mkdtemp(prefix="qavo-install-")

    def tearDown(self):
        shutil.rmtree(self.dest, ignore_errors=True)

    def install(self):
        env = dict(os.environ, DESTDIR=self.dest)
        result = subprocess.run(["cmake", "--install", BUILD, "--prefix", PREFIX],
                                env=env, capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_files_land_under_destdir_with_modes(self):
        self.install()
        for relative, executable in EXPECTED.items():
            path = os.path.join(self.dest, relative)
            self.assertTrue(os.path.isfile(path), relative)
            self.assertEqual(os.access(path, os.X_OK), executable, relative)
        # Nothing is written outside the prefix (no /etc, no /var).
        self.assertEqual(sorted(os.listdir(self.dest)), ["usr"])
        with open(os.path.join(SOURCE, "man", "qavoupdate.8"), "rb") as a, \
                open(os.path.join(self.dest, "usr/share/man/man8/qavoupdate.8"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_installed_programs_run_and_accept_the_example(self):
        self.install()
        updater = os.path.join(self.dest, "usr/sbin/qavoupdate")
        version = subprocess.run([updater, "-V"], capture_output=True, text=True, timeout=30)
        self.assertEqual(version.returncode, 0)
        self.assertIn("Version-0.9.10", version.stdout)
        publisher = subprocess.run([os.path.join(self.dest, "usr/bin/qavopublish"), "--help"],
                                   capture_output=True, text=True, timeout=30)
        self.assertIn("build --key", publisher.stdout + publisher.stderr)
        # A configuration with an error is refused with status 2, so a dump
        # that succeeds shows that every line of the example was understood;
        # its changed values come out as active assignments.
        example = os.path.join(self.dest, "usr/share/doc/qavoupdate/examples/qup.conf")
        dump = subprocess.run([updater, "-c", example, "-d"], cwd=self.dest,
                              capture_output=True, text=True, timeout=30)
        self.assertEqual(dump.returncode, 0, dump.stdout + dump.stderr)
        self.assertEqual(dump.stderr, "")
        self.assertIn("\n temppath=/var/cache/qavoupdate\n", dump.stdout)
        self.assertIn("\n protocol=http\n", dump.stdout)

    def test_wrapper_makes_a_private_temporary_directory_and_maps_statuses(self):
        wrapper = os.path.join(SOURCE, "examples", "qavoupdate-run")
        stub = os.path.join(self.dest, "stub")
        with open(stub, "w") as f:
            f.write('#!/bin/sh\n[ "$(stat -c %a "$QAVO_TEMP")" = 700 ] || exit 99\nexit "$1"\n')
        os.chmod(stub, 0o755)
        temp = os.path.join(self.dest, "cache", "qavoupdate")
        env = dict(os.environ, QAVOUPDATE=stub, QAVO_TEMP=temp,
                   QAVO_LOG=os.path.join(self.dest, "log"))
        for status, expected in ((0, 0), (1, 0), (3, 0), (6, 6)):
            with self.subTest(status=status):
                result = subprocess.run(["sh", wrapper, str(status)], env=env,
                                        capture_output=True, text=True, timeout=30)
                self.assertEqual(result.returncode, expected, result.stderr)
                self.assertEqual(os.stat(temp).st_mode & 0o7777, 0o700)

    @unittest.skipUnless(shutil.which("cpack") and shutil.which("dpkg-deb"), "no cpack/dpkg-deb")
    def test_debian_package(self):
        out = os.path.join(self.dest, "package")
        result = subprocess.run(["cpack", "-G", "DEB", "-B", out, "--config",
                                 os.path.join(BUILD, "CPackConfig.cmake")],
                                cwd=BUILD, capture_output=True, text=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        debs = [name for name in os.listdir(out) if name.endswith(".deb")]
        self.assertEqual(len(debs), 1, os.listdir(out))
        deb = os.path.join(out, debs[0])
        fields = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Version", "Maintainer",
                                 "Section", "Depends"],
                                capture_output=True, text=True, timeout=60).stdout
        self.assertIn("Package: qavoupdate", fields)
        self.assertIn("Version: 0.9.10", fields)
        self.assertRegex(fields, r"Maintainer: .*@qavo\.example")
        self.assertIn("Section: admin", fields)
        self.assertIn("libc6", fields)
        listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True,
                                 timeout=60).stdout
        for relative in EXPECTED:
            self.assertIn("./" + relative, listing)


if __name__ == "__main__":
    unittest.main()
