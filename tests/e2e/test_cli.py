"""Black-box tests of the command line and the run control of qavoupdate:
informational texts, option order, configuration search, dump, exit
statuses, the update lock and quiet mode."""
import fcntl
import os
import re
import socket
import subprocess
import sys
import time
import unittest

from qavotest import Sandbox, UPDATER, run

HELP_BODY = (
    "Usage:\nqavoupdate\t[OPTION ...] [modules ...]\n"
    "\t-c, --conf=file\t\tUse alternative configuration file\n"
    "\t-d, --dump[=file]\tUse file to dump current configuration and exit.\n"
    "\t\tIf optional argument is missing use stdout to dump configuration\n"
    "\t-v, --verbose\t\tBe more verbose\n"
    "\t-S, --server-response\tPrint communication between client and server\n"
    "\t-t, --tries=number\tNumber of retries\n"
    "\t-T, --timeout=secs\tWait secs before timeout\n"
    "\t-Y, --use-proxy=on|off\tEnable/Disable proxy\n"
    "\t-p, --proxy=http://proxy_server:port\n"
    "\t\t\t\tSet proxy server to this proxy_server:port\n"
    "\t-a, --proxy-auth=none|basic|digest\n"
    "\t\t\t\tOnly 'none' is implemented ;-)\n"
    "\t-f, --ftp-passive=on|off\tUse PORT|PASV to initiate data connection.\n"
    "\t-h, --help\t\tDisplay this help and exit\n"
    "\t    --usage\t\tGive a short usage message\n"
    "\t-V, --version\t\tOutput version information and exit\n"
    "\t-q, --quiet\t\tQuietly update.\n"
    "Mandatory or optional arguments to long options are also mandatory or optional\n"
    "for any corresponding short options\n\n")

USAGE_BODY = (
    "Usage: qavoupdate [-acdfhStTvVY] [--help] [--ftp-passive=on|off]\n"
    "\t[--usage] [--use-proxy=on|off] [--dump] [--server-response]\n"
    "\t[--tries=number] [--proxy=http://[user[:password]@]sever:port]\n"
    "\t[--timeout=secs] [--verbose] [--version] [--conf=file] [--quiet]\n")

STAMP = r"[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}"
NO_FILE = "(No such file or directory)"


def assignment(dump, name):
    """The value of an assignment in a dump, and whether it is active."""
    match = re.search(r"^(#?) %s=(.*)$" % re.escape(name), dump, re.M)
    if match is None:
        raise AssertionError("no assignment of %s in dump" % name)
    return match.group(2), match.group(1) == ""


class CliTestCase(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        # Runs happen two levels down, so ".", ".." and "../etc" are ours.
        self.cwd = self.box.mkdir("top/work")
        self.temp = self.box.mkdir("tmp")

    def tearDown(self):
        self.box.cleanup()

    def run_here(self, *args):
        return run(list(args), cwd=self.cwd)

    def check(self, args, status, out=None, err=None):
        """Runs with args; checks the status and, when given, the exact texts."""
        got = self.run_here(*args)
        self.assertEqual(got[0], status, (args, got))
        for expected, text in ((out, got[1]), (err, got[2])):
            if expected is not None:
                self.assertEqual(text, expected, args)
        return got

    def dump(self, *args):
        return self.check(["-d"] + list(args), 0)[1]

    def sandbox_conf(self, extra=""):
        """A configuration that keeps the lock inside the sandbox and whose
        mirror is a closed loopback port, so a run fails fast."""
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        return self.box.write("top/work/qup.conf",
                              "[global]\ntemppath=%s\ntries=1\ntimeout=2\n"
                              "[hosts]\nhost=127.0.0.1\n[ftp]\nport=%d\n%s"
                              % (self.temp, port, extra))


class InformationalOptions(CliTestCase):
    def test_help_usage_and_version(self):
        for option, body in (("-h", HELP_BODY), ("--help", HELP_BODY), ("--he", HELP_BODY),
                             ("--usage", USAGE_BODY)):
            _, out, _ = self.check([option], 0, err="")
            banner, rest = out.split("\n", 1)
            self.assertRegex(banner, r"2001-%d" % time.localtime().tm_year)
            self.assertTrue(rest.startswith(body), rest)
            if body is HELP_BODY:  # one more line: where to write to
                self.assertEqual(rest[len(body):].count("\n"), 1)
                self.assertIn("@", rest[len(body):])
        # -V ends the program before the unknown module is even looked at.
        for args in (["-V"], ["-V", "nosuchmodule"]):
            _, out, _ = self.check(args, 0)
            self.assertTrue(out.endswith(
                "\nqavoupdate for linux-gnu (i686) Version-0.9.10 Snapshot-20021125\n"))
            self.assertEqual(out.count("\n"), 2)


class OptionErrors(CliTestCase):
    def test_unknown_option_prints_usage_and_ends_with_one(self):
        for args in (["-x"], ["--no-such-option"], ["-t"], ["--conf"], ["--ver"]):
            _, out, err = self.check(args, 1)
            self.assertIn(USAGE_BODY, out)
            self.assertNotEqual(err, "", "the option parser explains itself on stderr")

    def test_every_error_is_reported_before_stopping_with_two(self):
        self.sandbox_conf()
        self.check(["-Y", "maybe"], 2, "Unknown boolean value 'maybe' for use-proxy\n")
        self.check(["--ftp-passive=1"], 2,
                   "Fatal error: Unknown boolean value '1' for ftp-passive option\n")
        # getopt moves module words behind the options: -Y x are 1 and 2.
        self.check(["bogus", "-Y", "x", "qavomd", "other"], 2,
                   "Unknown boolean value 'x' for use-proxy\n"
                   "Fatal error: unknown module 'bogus' (argment 3) in command line\n"
                   "Fatal error: unknown module 'other' (argment 5) in command line\n")
        self.check(["-c", "absent.conf"], 2, "", "Can't open file absent.conf " + NO_FILE)


class DumpAndOrder(CliTestCase):
    def test_defaults_commented_out_and_command_line_values_active(self):
        out = self.dump()
        self.assertTrue(out.startswith("[global]\n#This section contains global parameters\n\n"
                                       "#\n# Option 'BINDIR'\n#\tBinaries dir\n# Type: string\n"
                                       "# Default value: /opt/qavo/bin\n# BINDIR=/opt/qavo/bin\n\n"))
        self.assertNotRegex(out, r"(?m)^ \w")
        out = self.dump("-t", "5", "-T", "  -7xyz", "-S", "-p", "http://p:3128", "qavomd",
                        "--ftp-passive=on")
        for name, value, active in (("tries", "5", True), ("timeout", "-7", True),
                                    ("serverresponse", "on", True), ("proxy", "http://p:3128", True),
                                    ("qavomd", "on", True), ("engine", "on", False),
                                    ("passive", "on", True)):
            self.assertEqual(assignment(out, name), (value, active), name)
        self.assertIn("# Default value: 20\n tries=5\n", out)
        # No digits read as zero.
        self.assertEqual(assignment(self.dump("--tries=abc"), "tries"), ("0", True))

    def test_options_apply_in_command_line_order_around_conf(self):
        conf = self.box.write("verbose-off.conf", "[global]\nverbose=off\ntries=3\n")
        for args, verbose, tries in ((["-v", "-t", "9", "-c", conf], ("off", False), "3"),
                                     (["-c", conf, "-v", "-t", "9"], ("on", True), "9")):
            out = self.dump(*args)
            self.assertEqual(assignment(out, "verbose"), verbose, args)
            self.assertEqual(assignment(out, "tries"), (tries, True), args)

    def test_dump_into_file_and_separate_word(self):
        target = self.box.path("dump.conf")
        self.check(["--dump=" + target], 0, "")
        with open(target) as dumped:
            self.assertIn("[modules]\n#This sections contains configuration for\n"
                          "#what modules to update\n\n", dumped.read())
        # A separate word is no argument of -d: stdout dump, word is a module.
        self.assertTrue(self.dump("word.conf").startswith(
            "Fatal error: unknown module 'word.conf' (argment 2) in command line\n[global]\n"))
        self.assertFalse(os.path.exists(os.path.join(self.cwd, "word.conf")))
        missing = self.box.path("no", "such", "dir")
        self.check(["-d" + missing], 5, err="Can't open file %s %s\n" % (missing, NO_FILE))

    def test_dump_read_back_as_configuration_keeps_values(self):
        first = self.dump("-t", "7", "-p", "http://a b:1", "qavoexim")
        self.assertEqual(self.dump("-c", self.box.write("roundtrip.conf", first)), first)


class ConfigurationSearch(CliTestCase):
    def tries_seen(self):
        _, out, err = self.check(["-d"], 0)
        return assignment(out, "tries")[0], err

    def test_first_directory_in_search_order_wins_and_none_means_defaults(self):
        self.assertEqual(self.tries_seen(), ("20", ""))
        for where, tries in (("top/etc", "3"), ("top", "2"), ("top/work", "1")):
            self.box.write(where + "/qup.conf", "[global]\ntries=%s\n" % tries)
            self.assertEqual(self.tries_seen()[0], tries, where)

    def test_broken_first_file_falls_back_to_defaults_not_next_file(self):
        self.box.write("top/work/qup.conf", "[global]\ntries=1\nverbose=perhaps\n")
        self.box.write("top/qup.conf", "[global]\ntries=2\n")
        self.assertEqual(self.tries_seen(), ("20", "Section [global]:Line 3: Unknown boolean "
                                                   "value 'perhaps'. Please use on/off\n"))


class RunControl(CliTestCase):
    def test_temporary_path_missing_or_a_regular_file(self):
        self.box.write("top/work/qup.conf", "[global]\ntemppath=/nonexistent/qavo\n")
        self.check([], 4, "Can't stat temporary path '/nonexistent/qavo' %s\n" % NO_FILE)
        plain = self.box.write("plain", "x")
        self.box.write("top/work/qup.conf", "[global]\ntemppath=%s\n" % plain)
        self.check([], 255, "Can't open %s/update.start (Not a directory)\n" % plain)

    def test_second_run_reports_lock_holder_and_ends_with_three(self):
        self.sandbox_conf()
        lock = os.path.join(self.temp, "update.start")
        holder = subprocess.Popen(
            [sys.executable, "-c",
             "import fcntl,sys,time\nf=open(sys.argv[1],'a')\nfcntl.lockf(f,fcntl.LOCK_EX)\n"
             "print('locked',flush=True)\ntime.sleep(60)\n", lock],
            stdout=subprocess.PIPE)
        try:
            self.assertEqual(holder.stdout.readline().strip(), b"locked")
            self.check([], 3, "Another process is running (pid %d)\n" % holder.pid)
        finally:
            holder.kill()
            holder.wait()
            holder.stdout.close()
        self.assertEqual(os.path.getsize(lock), 0)

    def test_lock_file_is_created_empty_and_released_at_exit(self):
        self.sandbox_conf()
        self.run_here()
        lock = os.path.join(self.temp, "update.start")
        self.assertEqual(os.path.getsize(lock), 0)
        mask = os.umask(0)
        os.umask(mask)
        self.assertEqual(os.stat(lock).st_mode & 0o777, 0o660 & ~mask)
        with open(lock, "a") as f:
            fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)  # raises if still held

    def test_unknown_protocol_names_the_configuration_line(self):
        # A section without login options is no protocol either.
        for extra, line, name in (("[hosts]\n\nprotocol=file\n", 11, "file"),
                                  ("[hosts]\nprotocol=global\n", 10, "global")):
            self.sandbox_conf(extra)
            self.check([], 2, "Fatal Error:Line %d:Unkown protocol '%s'\n" % (line, name))

    def test_failed_update_names_the_invoked_program_between_the_stamps(self):
        self.sandbox_conf()
        invoked = os.path.relpath(UPDATER, self.cwd)
        status, out, _ = run([], cwd=self.cwd, program=invoked)
        self.assertRegex(out, r"^%s: Update started\n" % STAMP)
        self.assertRegex(out, r"\n%s: Update ended\n$" % STAMP)
        self.assertIn(" \nAn error occured. Please run %s with '-v' and/or '-S' flags to see "
                      "what is wrong\n" % invoked, out)
        self.assertEqual(status, 6)


class QuietMode(CliTestCase):
    def test_quiet_silences_everything_including_stderr(self):
        self.sandbox_conf()
        # Messages buffered before -q are lost with the closed stream too.
        for args, status in ((["-q", "-Y", "bad"], 2), (["-q", "-c", "absent.conf"], 2),
                             (["-q"], 6), (["--quiet", "-d"], 0), (["-Y", "bad", "-q"], 2)):
            with self.subTest(args=args):
                self.check(args, status, "", "")


if __name__ == "__main__":
    unittest.main()
