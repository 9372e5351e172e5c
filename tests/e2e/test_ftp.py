"""Updates over FTP: from vsftpd in passive and active mode, and from the
fault server for greetings, restarts, cut transfers, 421s and silence."""
import time
import unittest

from faults import FtpFaults
from harness import CONF, DATA, INFO, SO, SiteTest, loopback, server

BAD_REPLY = "FTP ERROR: Bad reply from server"
CODE = "FTP ERROR: ftp server retuns an error code(%d)"


def dialogue(run, arrow):
    return [line[5:].rstrip("\r") for line in run.lines if line.startswith(arrow)]


class FtpTest(SiteTest):
    def update(self, port, *args, **settings):
        started = time.monotonic()
        got = self.site.rerun(port, *args, protocol="ftp", **{"tries": 3, "timeout": 2, **settings})
        return got, time.monotonic() - started

    def test_vsftpd_passive_and_active(self):
        vsftpd = server(self, loopback.Vsftpd, self.site.path("www"))
        login = ["USER ftp", "TYPE I", "CWD pub/qavo"]  # the password is not shown
        retrs = ["RETR " + name for name in (INFO, DATA, CONF, SO)]
        got, _ = self.update(vsftpd.port, "-S")
        self.assertUpdated(got)
        # One login for the run, one data connection per file.
        self.assertEqual(dialogue(got, "->>- "),
                         login + [x for r in retrs for x in ("PASV", r)] + ["QUIT"])
        received = dialogue(got, "-<<- ")
        self.assertEqual((received[0][:3], [sum(r.startswith(p) for r in received) for p in (
            "227 Entering Passive Mode (127,0,0,1,", "226")], got.lines.count(
                "Connecting to 127.0.0.1:%d" % vsftpd.port)), ("220", [4, 4], 1), received)
        again = self.site.update("-S")
        self.assertRun(again, 1, "There are no files to update.")
        self.assertEqual(dialogue(again, "->>- "), login + ["PASV", retrs[0], "QUIT"])
        for args, settings in ((["-S"], {"passive": "on"}), (["-S", "--ftp-passive=on"], {})):
            got, _ = self.update(vsftpd.port, *args, **settings)
            self.assertUpdated(got)
            ports = [s.split(",")[:4] for s in dialogue(got, "->>- ") if s[:4] in ("PORT", "PASV")]
            self.assertEqual(ports, [["PORT 127", "0", "0", "1"]] * 4)

    def test_faults(self):
        meter = lambda got, start: [l for l in got.lines if l.endswith("B/s")  # noqa: E731
                                    and l.startswith(start)]
        cases = [  # (faults, settings, status, {line: count}, {verb: commands}, check)
            (dict(greeting=["120 Ready in a moment.",
                            "220-Welcome to the mirror\r\n220-Second line\r\n220 Ready."]),
             {}, 0, {}, {"USER": 1, "PASS": ["PASS qavoupdate-0.9.10-20021125@mails.qavo."
                                             "example"]}, None),
            (dict(cut={SO: 60000}), {}, 0, {BAD_REPLY: 1}, {"REST": ["REST 60000"], "USER": 1},
             lambda got: meter(got, "   50K  ,,,,,,,,.. ")),
            (dict(cut={SO: 70000}, rest_reply="502 Command not implemented."), {}, 0,
             {CODE % 502: 1}, {"REST": ["REST 70000"], "RETR": 5},
             lambda got: meter(got, "    0K  .......... ")),
            (dict(extra={CONF: 1}), {"tries": 2}, 6, {"Error: write (File too large)": 2},
             {"REST": ["REST 21"], "RETR": 4}, None),
            # After a 550 the client says goodbye and logs in again.
            (dict(missing={SO}), {"tries": 2}, 6, {CODE % 550: 2}, {"USER": 2, "QUIT": 2}, None),
            (dict(close_on_retr=2), {}, 0, {CODE % 421: 1}, {"USER": 2}, None),
            (dict(silent={"CONNECT": 100}), {"tries": 2, "timeout": 1}, 6,
             {CODE % 421: 1, " Timeout": 2}, {}, None),
            # Expired waits count as attempts: three waits and no retry, then goodbye.
            (dict(silent={"RETR": 1}), {"timeout": 1}, 6, {" Timeout": 3, "Retrying": 0,
                                                           BAD_REPLY: 1}, {"QUIT": 1}, None),
            # The goodbye gets one wait of its own after the budget is spent.
            (dict(silent={"RETR": 1, "QUIT": 1}), {"timeout": 1}, 6, {" Timeout": 4}, {}, None),
            (dict(stranger=True), {"passive": "on"}, 0, {}, {"PORT": 4},
             lambda got: self.ftp.stranger_closed),
            (dict(), {"tries": 0, "timeout": 5}, 6, {"Retrying": 0}, {"USER": 0}, None)]
        for faults, settings, status, lines, commands, check in cases:
            with self.subTest(faults=faults, settings=settings):
                self.ftp = FtpFaults(self.site.path("www"), **faults)
                self.addCleanup(self.ftp.stop)
                got, seconds = self.update(self.ftp.port, "-S", **settings)
                self.assertLess(seconds, 15)
                self.assertUpdated(got) if status == 0 else self.assertRun(got, status)
                self.assertEqual({text: got.ending(text) for text in lines}, lines, got)
                for verb, expected in commands.items():  # the commands, or how many
                    self.assertIn(expected, (self.ftp.sent(verb), len(self.ftp.sent(verb))), verb)
                self.assertTrue(check is None or check(got), got)


if __name__ == "__main__":
    unittest.main()
