"""End-to-end runs of qavoupdate over FTP: against vsftpd serving a mirror
published with `qavopublish build`, in passive and active mode, and against
a fault-injecting server for what a well-behaved server never does."""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import mirrorlib
import servers
from ftpfault import FaultyFtpServer
from mirrorlib import write
from qavotest import UPDATER

BIG = bytes((i * 7 + i // 251) % 256 for i in range(120000))
SMALL = b"engine.conf: level=3\n"


def bad_reply():
    return "FTP ERROR: Bad reply from server"


def error_code(code):
    return "FTP ERROR: ftp server retuns an error code(%d)" % code


@unittest.skipUnless(os.path.exists(UPDATER) and os.path.exists(mirrorlib.TOOL),
                     "qavoupdate or qavopublish not built")
class FtpTest(unittest.TestCase):
    """A sandbox with a published mirror and a qup.conf pointing at a server
    on 127.0.0.1."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="qavo-ftp-")
        self.mirror = self.path("mirror")
        for name in ("tmp", "bin", "data", "conf", "install", "release"):
            os.mkdir(self.path(name))
        release = self.path("release")
        write(os.path.join(release, "engine", "engine.so"), BIG, 1100000001)
        write(os.path.join(release, "engine", "engine.conf"), SMALL, 1100000002)
        desc = write(os.path.join(release, "mirror.desc"),
                     "module engine\n"
                     "    file engine/engine.conf ${CONFDIR}/engine.conf\n"
                     "    file engine/engine.so ${DATADIR}/engine.so\n")
        result = mirrorlib.build(desc, self.mirror)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.server = None

    def tearDown(self):
        if self.server is not None:
            self.server.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def configure(self, port, tries=3, timeout=2, passive="off", infofile="qavoe.info"):
        write(self.path("qup.conf"), (
            "[global]\ntemppath=%s\nBINDIR=%s\nDATADIR=%s\nCONFDIR=%s\nINSTALL=%s\n"
            "tries=%d\ntimeout=%d\nalarm=300\n"
            "[hosts]\nhost=127.0.0.1\ninfofile=%s\nprotocol=ftp\n"
            "[ftp]\nport=%d\npassive=%s\n") % (
                self.path("tmp"), self.path("bin"), self.path("data"), self.path("conf"),
                self.path("install"), tries, timeout, infofile, port, passive))

    def update(self, *args, timeout=120):
        """(status, output lines, seconds) of one qavoupdate run."""
        start = time.monotonic()
        proc = subprocess.run([UPDATER, "-c", self.path("qup.conf"), *args], cwd=self.root,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=timeout)
        out = proc.stdout.decode("latin-1")
        self.assertNotIn("Sanitizer", out)  # sanitizer builds report here too
        return proc.returncode, out.split("\n"), time.monotonic() - start

    def read(self, *parts):
        with open(self.path(*parts), "rb") as f:
            return f.read()

    def assert_installed(self, lines):
        self.assertEqual(self.read("data", "engine.so"), BIG, "\n".join(lines))
        self.assertEqual(self.read("conf", "engine.conf"), SMALL)
        self.assertEqual(os.stat(self.path("data", "engine.so")).st_mtime, 1100000001)
        # Only the lock file stays; the temporary copies went with the run.
        self.assertEqual(os.listdir(self.path("tmp")), ["update.start"])

    def sent(self, lines):
        return [line[5:].rstrip("\r") for line in lines if line.startswith("->>- ")]

    def received(self, lines):
        return [line[5:].rstrip("\r") for line in lines if line.startswith("-<<- ")]


@unittest.skipUnless(servers.Vsftpd.available(), "vsftpd not installed")
class VsftpdTest(FtpTest):
    def start_vsftpd(self, root=None):
        self.server = servers.Vsftpd(root or self.mirror).start()
        return self.server

    def test_passive_first_run_installs_second_has_nothing_to_do(self):
        self.configure(self.start_vsftpd().port)
        status, lines, _ = self.update("-S")
        self.assertEqual(status, 0, "\n".join(lines))
        self.assert_installed(lines)
        # One login for the run, one data connection per file.
        self.assertEqual(self.sent(lines), [
            "USER ftp", "TYPE I", "CWD .", "PASV", "RETR qavoe.info",
            "PASV", "RETR engine/engine.conf", "PASV", "RETR engine/engine.so", "QUIT"])
        received = self.received(lines)
        self.assertTrue(received[0].startswith("220"), received)
        self.assertIn("230 Login successful.", received)
        self.assertTrue(any(r.startswith("227 Entering Passive Mode (127,0,0,1,")
                            for r in received), received)
        self.assertEqual(sum(r.startswith("226") for r in received), 3)
        self.assertEqual(lines.count("Connecting to 127.0.0.1:%d" % self.server.port), 1)
        self.assertIn("\t- 2 files downloaded,", lines)
        self.assertIn("\t- %d bytes downloaded." % (len(BIG) + len(SMALL)), lines)

        status, lines, _ = self.update("-S")
        self.assertEqual(status, 1, "\n".join(lines))
        self.assertIn("There are no files to update.", lines)
        self.assertEqual(self.sent(lines), ["USER ftp", "TYPE I", "CWD .", "PASV",
                                            "RETR qavoe.info", "QUIT"])

    def test_active_mode_listens_on_the_control_connections_address(self):
        self.configure(self.start_vsftpd().port, passive="on")
        status, lines, _ = self.update("-S")
        self.assertEqual(status, 0, "\n".join(lines))
        self.assert_installed(lines)
        ports = [s for s in self.sent(lines) if s.startswith("PORT ")]
        self.assertEqual(len(ports), 3, lines)
        self.assertNotIn("PASV", self.sent(lines))
        for port in ports:
            numbers = [int(n) for n in port[5:].split(",")]
            self.assertEqual(numbers[:4], [127, 0, 0, 1])
            self.assertGreater(numbers[4] * 256 + numbers[5], 0)
        self.assertEqual(sum(r.startswith("200 PORT") for r in self.received(lines)), 3)

    def test_command_line_selects_active_mode_and_quiet_console_hides_dialogue(self):
        self.configure(self.start_vsftpd().port)
        status, lines, _ = self.update("--ftp-passive=on")
        self.assertEqual(status, 0, "\n".join(lines))
        self.assertEqual(self.sent(lines), [])
        self.assertTrue(any("PORT 127,0,0,1," in line for line in self.server.log()))
        self.assert_installed(lines)

    def test_catalogue_in_a_subdirectory_changes_there_first(self):
        top = self.path("ftproot")
        os.makedirs(os.path.join(top, "pub"))
        shutil.move(self.mirror, os.path.join(top, "pub", "qavo"))
        self.configure(self.start_vsftpd(top).port, infofile="pub/qavo/qavoe.info")
        status, lines, _ = self.update("-S")
        self.assertEqual(status, 0, "\n".join(lines))
        self.assertIn("CWD pub/qavo", self.sent(lines))
        self.assert_installed(lines)

    def test_file_missing_on_the_server_fails_after_its_tries(self):
        os.unlink(os.path.join(self.mirror, "engine", "engine.so"))
        self.configure(self.start_vsftpd().port, tries=2)
        status, lines, _ = self.update("-S")
        self.assertNotEqual(status, 0)
        self.assertGreaterEqual(lines.count(error_code(550)), 2, "\n".join(lines))
        # After a 550 the client says goodbye and logs in again.
        self.assertEqual(self.sent(lines).count("USER ftp"), 2)
        self.assertEqual(self.sent(lines).count("QUIT"), 2)
        self.assertFalse(os.path.exists(self.path("data", "engine.so")))


class FaultTest(FtpTest):
    def serve(self, **faults):
        self.server = FaultyFtpServer(self.mirror, **faults).start()
        return self.server

    def test_delayed_and_multi_line_greeting_then_password(self):
        self.configure(self.serve(greeting=[
            "120 Ready in a moment.\r\n",
            "220-Welcome to the mirror\r\n220-Second line\r\n220 Ready.\r\n"]).port)
        status, lines, _ = self.update("-S")
        self.assertEqual(status, 0, "\n".join(lines))
        self.assert_installed(lines)
        # The continuation lines arrive in the same event as the first one.
        self.assertIn("-<<- 120 Ready in a moment.\r\n-<<- 220-Welcome to the mirror\r\n"
                      "220-Second line\r\n220 Ready.\r\n->>- USER ftp\r\n", "\n".join(lines))
        self.assertEqual(self.server.sent("PASS"),
                         ["PASS qavoupdate-0.9.10-20021125@mails.qavo.example"])
        self.assertEqual(len(self.server.sent("USER")), 1)

    def test_cut_transfer_resumes_with_rest(self):
        self.configure(self.serve(cut={"engine/engine.so": 60000}).port)
        status, lines, _ = self.update("-S")
        self.assertEqual(status, 0, "\n".join(lines))
        self.assert_installed(lines)
        self.assertEqual(self.server.sent("REST"), ["REST 60000"])
        self.assertIn(bad_reply(), lines)  # the 426 that ended the cut transfer
        self.assertTrue(any(line.endswith(" Retrying(1:3)") for line in lines), lines)
        # The meter of the second attempt goes on from the 60000 bytes on disk.
        after = lines[lines.index(next(l for l in lines if l.endswith(" Retrying(1:3)"))):]
        meter = [line for line in after if line.endswith("B/s")]
        self.assertTrue(meter[0].startswith("   50K  ,,,,,,,,.. "), meter)
        self.assertEqual(len(self.server.sent("USER")), 1)

    def test_refused_rest_fetches_the_whole_file_again(self):
        self.configure(self.serve(cut={"engine/engine.so": 70000},
                                  rest_reply="502 Command not implemented.\r\n").port)
        status, lines, _ = self.update("-S")
        self.assertEqual(status, 0, "\n".join(lines))
        self.assert_installed(lines)
        self.assertEqual(self.server.sent("REST"), ["REST 70000"])
        self.assertIn(error_code(502), lines)
        retrs = self.server.sent("RETR")
        self.assertEqual(retrs.count("RETR engine/engine.so"), 2)
        # The meter starts over from byte 0 with the file.
        after = lines[lines.index(error_code(502)):]
        self.assertEqual(after[1], "Getting file engine/engine.so")
        meter = [line for line in after if line.endswith("B/s")]
        self.assertTrue(meter[0].startswith("    0K  .......... "), meter)
        self.assertIn("  42% @", meter[0])

    def test_more_data_than_listed_is_refused_and_never_installed(self):
        self.configure(self.serve(extra={"engine/engine.conf": 1}).port, tries=2)
        status, lines, _ = self.update()
        self.assertEqual(status, 6, "\n".join(lines))
        # The first report follows the meter's opening on the same line.
        self.assertEqual(sum(line.endswith("Error: write (File too large)") for line in lines), 2,
                         "\n".join(lines))
        self.assertEqual(self.server.sent("RETR").count("RETR engine/engine.conf"), 2)
        # The second attempt resumes at the listed size and is refused again.
        self.assertEqual(self.server.sent("REST"), ["REST %d" % len(SMALL)])
        self.assertFalse(os.path.exists(self.path("conf", "engine.conf")))
        self.assertFalse([line for line in lines if line.startswith("Verifying md5sum")], lines)

    def test_missing_file_logs_in_again_for_the_next_attempt(self):
        self.configure(self.serve(missing={"engine/engine.so"}).port, tries=2)
        status, lines, _ = self.update()
        self.assertNotEqual(status, 0)
        self.assertEqual(lines.count(error_code(550)), 2, "\n".join(lines))
        self.assertEqual(self.server.sent("RETR").count("RETR engine/engine.so"), 2)
        # Catalogue and engine.conf share the first login; each 550 ends one.
        self.assertEqual(len(self.server.sent("USER")), 2)
        self.assertEqual(len(self.server.sent("QUIT")), 2)

    def test_421_mid_run_closes_and_next_attempt_logs_in(self):
        self.configure(self.serve(close_on_retr=2).port)
        status, lines, _ = self.update("-S")
        self.assertEqual(status, 0, "\n".join(lines))
        self.assert_installed(lines)
        self.assertIn(error_code(421), lines)
        self.assertEqual(len(self.server.sent("USER")), 2)

    def test_silent_server_times_out_within_the_budget(self):
        self.configure(self.serve(silent={"CONNECT": 100}).port, tries=2, timeout=1)
        status, lines, seconds = self.update(timeout=60)
        self.assertNotEqual(status, 0)
        # Two waits of one second spend the catalogue's budget of 2 tries.
        self.assertLess(seconds, 15)
        self.assertGreaterEqual(sum(line.endswith(" Timeout") for line in lines), 2, lines)
        self.assertIn(error_code(421), lines)

    def test_unanswered_retr_spends_the_files_budget_then_says_goodbye(self):
        self.configure(self.serve(silent={"RETR": 1}).port, tries=3, timeout=1)
        status, lines, seconds = self.update("-S", timeout=60)
        self.assertNotIn(status, (0, 1), "\n".join(lines))
        # Expired waits count as attempts: three waits and no retry.
        self.assertEqual(sum(line.endswith(" Timeout") for line in lines), 3, lines)
        self.assertFalse(any("Retrying" in line for line in lines), lines)
        self.assertIn(bad_reply(), lines)
        self.assertLess(seconds, 15)
        # The goodbye still gets its answer.
        self.assertEqual(self.sent(lines)[-1], "QUIT")
        self.assertEqual(self.received(lines)[-1], "221 Goodbye.")

    def test_stranger_on_the_port_listener_is_turned_away(self):
        self.configure(self.serve(stranger=True).port, passive="on")
        status, lines, _ = self.update("-S")
        self.assertEqual(status, 0, "\n".join(lines))
        self.assert_installed(lines)
        self.assertTrue(self.server.stranger_closed)
        self.assertEqual(len(self.server.sent("PORT")), 3)

    def test_zero_tries_makes_one_attempt_that_reads_nothing(self):
        self.configure(self.serve().port, tries=0, timeout=5)
        status, lines, seconds = self.update(timeout=60)
        self.assertNotEqual(status, 0)
        self.assertLess(seconds, 5)
        self.assertFalse(any("Retrying" in line for line in lines), lines)
        self.assertEqual(self.server.sent(), [])


if __name__ == "__main__":
    unittest.main()
