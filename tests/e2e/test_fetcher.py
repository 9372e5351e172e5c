"""The network side, seen from strace: only the fetcher, after it became another user
and restricted itself with Landlock, makes Internet sockets, and it opens nothing for writing."""
import os
import re
import shutil
import unittest

from harness import ROOT, UPDATER, SiteTest, access_log, loopback, run, server

STRACE = shutil.which("strace")
TRACED = "socket,connect,bind,socketpair,setresuid,landlock_restrict_self,openat,open,creat,execve"
CALL = re.compile(r"^(\d+) +(\w+)\((.*)\) += (.*)$")
WRITING = re.compile(r"\bO_(WRONLY|RDWR|CREAT|TRUNC)\b")
UNCONFINED = "Warning: sandbox is off: the network side runs with the updater's privileges"


def calls(log):
    """(pid, name, arguments, result, line) of each finished call, resumed ones joined up."""
    pending, found = {}, []
    with open(log, encoding="latin-1") as lines:
        for line in lines:
            pid, _, rest = line.rstrip("\n").partition(" ")
            if rest.endswith(" <unfinished ...>"):
                pending[pid] = rest[:-len(" <unfinished ...>")]
                continue
            resumed = re.match(r"<\.\.\. \w+ resumed>(.*)$", rest)
            whole = "%s %s" % (pid, pending.pop(pid, "") + resumed.group(1) if resumed else rest)
            match = CALL.match(whole)
            if match:
                found.append(match.groups() + (whole,))
    return found


def audit(found):
    """Internet calls not made by a confined fetcher, the fetcher's opens for writing, connects
    made by the updater and by the fetcher, and every pid seen."""
    main, stage = found[0][0], {}
    report = dict(unconfined=[], writes=[], main=0, fetcher=0, pids={pid for pid, *_ in found})
    for pid, name, args, result, line in found:
        if name == "setresuid" and result == "0" and stage.get(pid, 0) == 0:
            stage[pid] = 1 if "0" not in re.split(r",\s*", args) else -1
        elif name == "landlock_restrict_self" and result == "0" and stage.get(pid) == 1:
            stage[pid] = 2
        elif name == "bind" or name in ("socket", "connect") and re.search(r"\bAF_INET6?\b", args):
            if pid == main or stage.get(pid) != 2:
                report["unconfined"].append(line)
            if name == "connect":
                report["main" if pid == main else "fetcher"] += 1
        elif name in ("open", "openat", "creat") and pid != main and (
                name == "creat" or WRITING.search(re.sub(r'"(?:[^"\\]|\\.)*"', '""', args))):
            report["writes"].append(line)
    return report


@unittest.skipUnless(STRACE and ROOT, "needs strace and root")
class FetcherTest(SiteTest):
    def traced(self, port, *args, **settings):
        """A run from an empty installation under strace: the run and what the log shows."""
        self.site.uninstall()
        self.site.configure(port, **settings)
        log = self.site.path("strace.log")
        # LeakSanitizer cannot run under a tracer.
        leaks = "ASAN_OPTIONS=%s:detect_leaks=0" % os.environ.get("ASAN_OPTIONS", "")
        got = run(["-f", "-E", leaks, "-o", log, "-e", "trace=" + TRACED, UPDATER, "-c",
                   self.site.path("qup.conf"), "-S", *args], program=STRACE, cwd=self.site.root,
                  merge=True)
        return got, calls(log)

    def assertConfined(self, report, got):
        self.assertEqual((report["unconfined"], report["writes"], report["main"],
                          report["fetcher"] > 0, len(report["pids"])), ([], [], 0, True, 2),
                         "%s\n%s" % (report, got))

    def test_only_the_confined_fetcher_touches_the_network(self):
        www = self.site.path("www")
        for kind, protocol in ((loopback.Nginx, "http"), (loopback.Vsftpd, "ftp")):
            with self.subTest(protocol=protocol):
                # A user that does not exist: the fetcher, not the updater, finds that out.
                got, found = self.traced(server(self, kind, www).port, "-v", protocol=protocol,
                                         fetchuser="_qavo_absent")
                self.assertUpdated(got)
                self.assertNotIn(UNCONFINED, got.lines)
                self.assertConfined(audit(found), got)
                self.assertEqual(got.matching(r"^(User _qavo_absent does not exist.*)$"),
                                 ["User _qavo_absent does not exist: the network side runs as "
                                  "nobody"], got)
                self.assertEqual([line for pid, name, args, _, line in found if pid == found[0][0]
                                  and re.search(r'"/etc/passwd"|libnss_', args)], [])
                # ... and before it starts afresh: what the user database loads stays out of
                # the process that reads the network.
                fetcher = [(name, args) for pid, name, args, _, _ in found if pid != found[0][0]
                           and (name == "execve" or re.search(r'"/etc/passwd"|libnss_', args))]
                started = [i for i, (name, _) in enumerate(fetcher) if name == "execve"]
                self.assertTrue(len(started) == 1 and 0 < started[0] == len(fetcher) - 1, fetcher)
                if protocol == "ftp":  # passive: the fetcher connects to the data port too
                    self.assertEqual(set(got.matching(r"^->>- (PASV|PORT)")), {"PASV"}, got)

    def test_without_the_sandbox_the_updater_connects_itself(self):
        nginx = server(self, loopback.Nginx, self.site.path("www"))
        got, found = self.traced(nginx.port, sandbox="off")
        self.assertUpdated(got)
        self.assertIn(UNCONFINED, got.lines, got)
        report = audit(found)
        self.assertEqual((report["main"] > 0, report["fetcher"], len(report["pids"]),
                          len(report["unconfined"]) > 0), (True, 0, 1, True), report)

    def test_a_fetch_user_that_is_root_is_refused_before_any_request(self):
        nginx = server(self, loopback.Nginx, self.site.path("www"))
        got = self.site.rerun(nginx.port, fetchuser="root")
        self.assertRun(got, 6, "Error: the network side could not start (ids after the switch are "
                               "not all 0:0 and non-zero)")
        self.assertEqual((self.site.tree(), access_log(nginx)), ({}, []), got)

    def test_a_redirection_to_an_unconfigured_port_is_refused_by_landlock(self):
        other = server(self, loopback.Nginx, self.site.path("www"))
        kind = type("Redirecting", (loopback.Nginx,), {
            "server_extra": "location /pub/ { return 302 http://127.0.0.1:%d$request_uri; }\n"
                            % other.port})
        got, found = self.traced(server(self, kind, self.site.path("www")).port)
        self.assertRun(got, 6, "Error: connect (Permission denied)")
        self.assertConfined(audit(found), got)
        refused = [line for pid, name, args, result, line in found if name == "connect"
                   and "htons(%d)" % other.port in args and result.startswith("-1 EACCES")]
        self.assertTrue(refused and all(line.split()[0] != found[0][0] for line in refused),
                        "%s\n%s" % ([c[4] for c in found if c[1] == "connect"], got))
        self.assertEqual((self.site.tree(), access_log(other)), ({}, []))


if __name__ == "__main__":
    unittest.main()
