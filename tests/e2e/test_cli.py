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

    def qup(self, relative, text):
        return self.box.write(relative, text)

    def run_here(self, *args, **kwargs):
        return run(list(args), cwd=self.cwd, **kwargs)

    def sandbox_conf(self, extra=""):
        """A configuration that keeps the lock inside the sandbox and whose
        mirror is a closed loopback port, so a run fails fast."""
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        return self.qup("top/work/qup.conf",
                        "[global]\ntemppath=%s\ntries=1\ntimeout=2\n"
                        "[hosts]\nhost=127.0.0.1\n[ftp]\nport=%d\n%s"
                        % (self.temp, port, extra))


class InformationalOptions(CliTestCase):
    def check_banner(self, line):
        self.assertRegex(line, r"2001-%d" % time.localtime().tm_year)

    def test_help_text_exact_and_status_zero(self):
        for option in ("-h", "--help", "--he"):
            status, out, err = self.run_here(option)
            self.assertEqual(status, 0, option)
            banner, body = out.split("\n", 1)
            self.check_banner(banner)
            self.assertTrue(body.startswith(HELP_BODY), body)
            self.assertEqual(body[len(HELP_BODY):].count("\n"), 1)
            self.assertIn("@", body[len(HELP_BODY):])
            self.assertEqual(err, "")

    def test_usage_and_version(self):
        status, out, _ = self.run_here("--usage")
        self.assertEqual(status, 0)
        banner, body = out.split("\n", 1)
        self.check_banner(banner)
        self.assertTrue(body.startswith(USAGE_BODY))
        status, out, _ = self.run_here("-V")
        self.assertEqual(status, 0)
        self.assertTrue(out.endswith(
            "\nqavoupdate for linux-gnu (i686) Version-0.9.10 Snapshot-20021125\n"))
        self.assertEqual(out.count("\n"), 2)

    def test_informational_option_ends_before_later_options(self):
        # -V ends the program before the unknown module is even looked at.
        status, out, _ = self.run_here("-V", "nosuchmodule")
        self.assertEqual(status, 0)
        self.assertNotIn("unknown module", out)


class OptionErrors(CliTestCase):
    def test_unknown_option_prints_usage_and_ends_with_one(self):
        for args in (["-x"], ["--no-such-option"], ["-t"], ["--conf"], ["--ver"]):
            status, out, err = self.run_here(*args)
            self.assertEqual(status, 1, args)
            self.assertIn(USAGE_BODY, out)
            self.assertNotEqual(err, "", "the option parser explains itself on stderr")

    def test_bad_boolean_words_are_counted_and_stop_the_run(self):
        self.sandbox_conf()
        status, out, _ = self.run_here("-Y", "maybe")
        self.assertEqual(status, 2)
        self.assertEqual(out, "Unknown boolean value 'maybe' for use-proxy\n")
        status, out, _ = self.run_here("--ftp-passive=1")
        self.assertEqual(status, 2)
        self.assertEqual(out, "Fatal error: Unknown boolean value '1' for ftp-passive option\n")

    def test_every_error_is_reported_before_stopping(self):
        self.sandbox_conf()
        status, out, _ = self.run_here("bogus", "-Y", "x", "qavomd", "other")
        self.assertEqual(status, 2)
        # getopt moves module words behind the options: -Y x are 1 and 2.
        self.assertEqual(out,
                         "Unknown boolean value 'x' for use-proxy\n"
                         "Fatal error: unknown module 'bogus' (argment 3) in command line\n"
                         "Fatal error: unknown module 'other' (argment 5) in command line\n")

    def test_missing_conf_file_ends_with_two(self):
        status, out, err = self.run_here("-c", "absent.conf")
        self.assertEqual(status, 2)
        self.assertEqual(err, "Can't open file absent.conf (No such file or directory)")
        self.assertEqual(out, "")


class DumpAndOrder(CliTestCase):
    def dump(self, *args):
        status, out, err = self.run_here("-d", *args)
        self.assertEqual(status, 0, err)
        return out

    def test_defaults_are_all_commented_out(self):
        out = self.dump()
        self.assertTrue(out.startswith("[global]\n#This section contains global parameters\n\n"
                                       "#\n# Option 'BINDIR'\n#\tBinaries dir\n# Type: string\n"
                                       "# Default value: /opt/qavo/bin\n# BINDIR=/opt/qavo/bin\n\n"))
        self.assertNotRegex(out, r"(?m)^ \w")

    def test_command_line_values_become_active_assignments(self):
        out = self.dump("-t", "5", "-T", "  -7xyz", "-S", "-p", "http://p:3128", "qavomd",
                        "--ftp-passive=on")
        self.assertEqual(assignment(out, "tries"), ("5", True))
        self.assertEqual(assignment(out, "timeout"), ("-7", True))
        self.assertEqual(assignment(out, "serverresponse"), ("on", True))
        self.assertEqual(assignment(out, "proxy"), ("http://p:3128", True))
        self.assertEqual(assignment(out, "qavomd"), ("on", True))
        self.assertEqual(assignment(out, "engine"), ("on", False))
        self.assertEqual(assignment(out, "passive"), ("on", True))
        self.assertIn("# Default value: 20\n tries=5\n", out)

    def test_tries_without_digits_is_zero(self):
        self.assertEqual(assignment(self.dump("--tries=abc"), "tries"), ("0", True))

    def test_options_apply_in_command_line_order_around_conf(self):
        quiet_conf = self.qup("verbose-off.conf", "[global]\nverbose=off\ntries=3\n")
        out = self.dump("-v", "-t", "9", "-c", quiet_conf)
        self.assertEqual(assignment(out, "verbose"), ("off", False))
        self.assertEqual(assignment(out, "tries"), ("3", True))
        out = self.dump("-c", quiet_conf, "-v", "-t", "9")
        self.assertEqual(assignment(out, "verbose"), ("on", True))
        self.assertEqual(assignment(out, "tries"), ("9", True))

    def test_dump_into_file_and_separate_word(self):
        target = self.box.path("dump.conf")
        status, out, _ = self.run_here("--dump=" + target)
        self.assertEqual((status, out), (0, ""))
        with open(target) as dumped:
            self.assertIn("[modules]\n#This sections contains configuration for\n"
                          "#what modules to update\n\n", dumped.read())
        # A separate word is no argument of -d: stdout dump, word is a module.
        status, out, _ = self.run_here("-d", "word.conf")
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith(
            "Fatal error: unknown module 'word.conf' (argment 2) in command line\n[global]\n"))
        self.assertFalse(os.path.exists(os.path.join(self.cwd, "word.conf")))

    def test_dump_read_back_as_configuration_keeps_values(self):
        first = self.dump("-t", "7", "-p", "http://a b:1", "qavoexim")
        conf = self.qup("roundtrip.conf", first)
        self.assertEqual(self.dump("-c", conf), first)

    def test_unwritable_dump_file_ends_with_five(self):
        status, out, err = self.run_here("-d" + self.box.path("no", "such", "dir"))
        self.assertEqual(status, 5)
        self.assertEqual(err, "Can't open file %s (No such file or directory)\n"
                         % self.box.path("no", "such", "dir"))


class ConfigurationSearch(CliTestCase):
    def tries_seen(self):
        status, out, err = self.run_here("-d")
        self.assertEqual(status, 0)
        return assignment(out, "tries")[0], err

    def test_no_file_means_defaults_without_message(self):
        self.assertEqual(self.tries_seen(), ("20", ""))

    def test_first_directory_in_search_order_wins(self):
        self.qup("top/etc/qup.conf", "[global]\ntries=3\n")
        self.assertEqual(self.tries_seen()[0], "3")
        self.qup("top/qup.conf", "[global]\ntries=2\n")
        self.assertEqual(self.tries_seen()[0], "2")
        self.qup("top/work/qup.conf", "[global]\ntries=1\n")
        self.assertEqual(self.tries_seen()[0], "1")

    def test_broken_first_file_falls_back_to_defaults_not_next_file(self):
        self.qup("top/work/qup.conf", "[global]\ntries=1\nverbose=perhaps\n")
        self.qup("top/qup.conf", "[global]\ntries=2\n")
        tries, err = self.tries_seen()
        self.assertEqual(tries, "20")
        self.assertEqual(err, "Section [global]:Line 3: Unknown boolean value 'perhaps'. "
                              "Please use on/off\n")


class RunControl(CliTestCase):
    def test_missing_temporary_path_ends_with_four(self):
        self.qup("top/work/qup.conf", "[global]\ntemppath=/nonexistent/qavo\n")
        status, out, _ = self.run_here()
        self.assertEqual(status, 4)
        self.assertEqual(out, "Can't stat temporary path '/nonexistent/qavo' "
                              "(No such file or directory)\n")

    def test_regular_file_as_temporary_path_fails_on_the_lock(self):
        plain = self.box.write("plain", "x")
        self.qup("top/work/qup.conf", "[global]\ntemppath=%s\n" % plain)
        status, out, _ = self.run_here()
        self.assertEqual(status, 255)
        self.assertEqual(out, "Can't open %s/update.start (Not a directory)\n" % plain)

    def test_second_run_reports_lock_holder_and_ends_with_three(self):
        self.sandbox_conf()
        lock = os.path.join(self.temp, "update.start")
        holder = subprocess.Popen(
            [sys.executable, "-c",
             "import fcntl,sys,time\n"
             "f=open(sys.argv[1],'a')\n"
             "fcntl.lockf(f,fcntl.LOCK_EX)\n"
             "print('locked',flush=True)\n"
             "time.sleep(60)\n", lock],
            stdout=subprocess.PIPE)
        try:
            self.assertEqual(holder.stdout.readline().strip(), b"locked")
            status, out, _ = self.run_here()
            self.assertEqual(status, 3)
            self.assertEqual(out, "Another process is running (pid %d)\n" % holder.pid)
        finally:
            holder.kill()
            holder.wait()
        self.assertEqual(os.path.getsize(lock), 0)

    def test_lock_file_is_created_empty_and_released_at_exit(self):
        self.sandbox_conf()
        status, _, _ = self.run_here()
        lock = os.path.join(self.temp, "update.start")
        self.assertEqual(os.path.getsize(lock), 0)
        self.assertEqual(os.stat(lock).st_mode & 0o777, 0o660 & ~self.umask())
        with open(lock, "a") as f:
            fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)  # raises if still held

    @staticmethod
    def umask():
        mask = os.umask(0)
        os.umask(mask)
        return mask

    def test_unknown_protocol_names_the_configuration_line(self):
        self.sandbox_conf("[hosts]\n\nprotocol=file\n")
        status, out, _ = self.run_here()
        self.assertEqual(status, 2)
        self.assertEqual(out, "Fatal Error:Line 11:Unkown protocol 'file'\n")

    def test_section_without_login_options_is_no_protocol(self):
        self.sandbox_conf("[hosts]\nprotocol=global\n")
        status, out, _ = self.run_here()
        self.assertEqual(status, 2)
        self.assertEqual(out, "Fatal Error:Line 10:Unkown protocol 'global'\n")

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
        for args, expected in ((["-q", "-Y", "bad"], 2),
                               (["-q", "-c", "absent.conf"], 2),
                               (["-q"], 6),
                               (["--quiet", "-d"], 0)):
            status, out, err = self.run_here(*args)
            self.assertEqual((status, out, err), (expected, "", ""), args)

    def test_messages_buffered_before_quiet_are_lost(self):
        self.sandbox_conf()
        status, out, _ = self.run_here("-Y", "bad", "-q")
        self.assertEqual(status, 2)
        self.assertEqual(out, "")  # buffered, then the stream was closed


if __name__ == "__main__":
    unittest.main()
