"""Real servers for the end-to-end tests: each runs as the test's own child
process on a free loopback port, with its configuration, logs and pid file
in a temporary directory that goes away with it."""
import os
import shutil
import socket
import subprocess
import tempfile
import time

NGINX = "/usr/sbin/nginx"
SQUID = "/usr/sbin/squid"


def free_port():
    """A loopback TCP port that nobody listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port, timeout, process=None):
    """Polls until something accepts on 127.0.0.1:port; False when the time
    runs out or the process ended first."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.1)
    return False


class Server:
    """A server process of the tests. Subclasses write their configuration
    in configure() and give the command line in command(); `available()`
    tells whether the program is installed at all."""

    program = None
    startup_seconds = 20

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="qavo-%s-" % type(self).__name__.lower())
        self.port = free_port()
        self.process = None
        self.output = os.path.join(self.dir, "output.log")

    @classmethod
    def available(cls):
        return cls.program is not None and os.access(cls.program, os.X_OK)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def configure(self):
        pass

    def command(self):
        raise NotImplementedError

    def start(self):
        self.configure()
        with open(self.output, "ab") as out:
            self.process = subprocess.Popen(self.command(), stdin=subprocess.DEVNULL,
                                            stdout=out, stderr=subprocess.STDOUT,
                                            cwd=self.dir)
        if not wait_for_port(self.port, self.startup_seconds, self.process):
            log = self.read("output.log")
            self.stop()
            raise RuntimeError("%s did not start: %s" % (type(self).__name__, log[-2000:]))
        return self

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None
        shutil.rmtree(self.dir, ignore_errors=True)

    def read(self, *parts):
        try:
            with open(self.path(*parts), encoding="latin-1") as f:
                return f.read()
        except OSError:
            return ""

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


# One line per request, with the request line as sent and the headers that
# the updater composes, so tests can check what reached the server.
_LOG_FORMAT = ('"$request" $status $body_bytes_sent host="$http_host" range="$http_range" '
               'cache="$http_cache_control" accept="$http_accept" agent="$http_user_agent"')


class Nginx(Server):
    """nginx serving `root` (a published mirror) on 127.0.0.1:port."""

    program = NGINX

    def __init__(self, root):
        super().__init__()
        self.root = os.path.abspath(root)

    def configure(self):
        for name in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"):
            os.makedirs(self.path("temp", name), exist_ok=True)
        user = "user root;\n" if os.geteuid() == 0 else ""
        temp = self.path("temp")
        with open(self.path("nginx.conf"), "w") as conf:
            conf.write(
                "daemon off;\nmaster_process off;\nworker_processes 1;\n%s"
                "pid %s;\nerror_log %s info;\n"
                "events { worker_connections 64; }\n"
                "http {\n"
                "  log_format qavo '%s';\n"
                "  access_log %s qavo;\n"
                "  client_body_temp_path %s/client_body;\n  proxy_temp_path %s/proxy;\n"
                "  fastcgi_temp_path %s/fastcgi;\n  uwsgi_temp_path %s/uwsgi;\n"
                "  scgi_temp_path %s/scgi;\n"
                "  default_type application/octet-stream;\n"
                "  server {\n    listen 127.0.0.1:%d;\n    root %s;\n"
                "    location / { }\n  }\n}\n" %
                (user, self.path("nginx.pid"), self.path("error.log"), _LOG_FORMAT,
                 self.path("access.log"), temp, temp, temp, temp, temp, self.port, self.root))

    def command(self):
        return [self.program, "-p", self.dir, "-c", self.path("nginx.conf"),
                "-e", self.path("error.log")]

    def access_log(self):
        return [line for line in self.read("access.log").split("\n") if line]


class Squid(Server):
    """squid as a forward proxy on 127.0.0.1:port, without a disk cache, for
    loopback clients only."""

    program = SQUID
    startup_seconds = 40

    def configure(self):
        user = "proxy" if os.geteuid() == 0 else None
        with open(self.path("squid.conf"), "w") as conf:
            conf.write(
                "http_port 127.0.0.1:%d\n"
                "acl loopback src 127.0.0.1/32\n"
                "http_access allow loopback\n"
                "http_access deny all\n"
                "pid_filename %s\n"
                "access_log stdio:%s\n"
                "cache_log %s\n"
                "cache_store_log none\n"
                "netdb_filename none\n"
                "coredump_dir %s\n"
                "logfile_rotate 0\n"
                "shutdown_lifetime 0 seconds\n"
                "max_filedescriptors 1024\n"
                "ftp_passive on\n"
                "dns_v4_first on\n" %
                (self.port, self.path("squid.pid"), self.path("access.log"),
                 self.path("cache.log"), self.dir))
            if user is not None:
                conf.write("cache_effective_user %s\n" % user)
        if os.geteuid() == 0:
            shutil.chown(self.dir, "proxy", "proxy")
            os.chmod(self.dir, 0o755)

    def command(self):
        return [self.program, "-N", "-f", self.path("squid.conf")]

    def access_log(self):
        return [line for line in self.read("access.log").split("\n") if line]


VSFTPD = "/usr/sbin/vsftpd"


class Vsftpd(Server):
    """vsftpd on 127.0.0.1:port with anonymous read-only access to `root`
    (a published mirror), passive ports on loopback, and every command and
    reply logged to vsftpd.log."""

    program = VSFTPD

    def __init__(self, root, passive_ports=16):
        super().__init__()
        self.root = os.path.abspath(root)
        self.passive_low = free_port()
        self.passive_high = min(self.passive_low + passive_ports - 1, 65535)

    def configure(self):
        # The chroot of anonymous sessions needs an empty directory that the
        # ftp user cannot write; the served tree must be readable, not writable.
        empty = self.path("empty")
        os.makedirs(empty, exist_ok=True)
        os.chmod(empty, 0o755)
        os.chmod(self.root, 0o755)
        with open(self.path("vsftpd.conf"), "w") as conf:
            conf.write(
                "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=%d\n"
                "background=NO\n"
                "anonymous_enable=YES\nno_anon_password=YES\nlocal_enable=NO\n"
                "write_enable=NO\nanon_root=%s\nsecure_chroot_dir=%s\n"
                "pasv_enable=YES\npasv_address=127.0.0.1\npasv_min_port=%d\n"
                "pasv_max_port=%d\nport_enable=YES\nconnect_from_port_20=NO\n"
                "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
                "xferlog_enable=YES\nxferlog_std_format=NO\nlog_ftp_protocol=YES\n"
                "vsftpd_log_file=%s\ndual_log_enable=NO\nsyslog_enable=NO\n"
                "idle_session_timeout=120\ndata_connection_timeout=60\n" %
                (self.port, self.root, empty, self.passive_low, self.passive_high,
                 self.path("vsftpd.log")))
            if os.geteuid() != 0:
                # Without root there is no chroot and no change of user.
                conf.write("run_as_launching_user=YES\n")

    def command(self):
        return [self.program, self.path("vsftpd.conf")]

    def log(self):
        return [line for line in self.read("vsftpd.log").split("\n") if line]
