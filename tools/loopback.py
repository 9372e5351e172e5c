"""Shared by the demo (tools/demo.py) and the end-to-end benchmark
(bench/e2e_bench.py): deterministic file contents, a free loopback port,
nginx (HTTP, and HTTPS beside it), apache2 (HTTP) and vsftpd (anonymous FTP)
serving one directory from a configuration in a folder of ours, and a test
CA with its server certificates made with the openssl command."""
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import time

NGINX = "/usr/sbin/nginx"
APACHE = "/usr/sbin/apache2"
VSFTPD = "/usr/sbin/vsftpd"
OPENSSL = shutil.which("openssl") or "/usr/bin/openssl"
CHUNK = 1 << 20


def write_random(path, size, seed, mtime=None):
    """Writes `size` pseudo-random bytes that depend on `seed` only, so every
    run publishes the same mirror."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    rng = random.Random(seed)
    with open(path, "wb") as out:
        left = size
        while left > 0:
            n = min(left, CHUNK)
            out.write(rng.randbytes(n))
            left -= n
    if mtime is not None:
        os.utime(path, (mtime, mtime))
    return path


def write_text(path, text, mtime=None, mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as out:
        out.write(text)
    if mode is not None:
        os.chmod(path, mode)
    if mtime is not None:
        os.utime(path, (mtime, mtime))
    return path


def free_port(address="127.0.0.1"):
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as probe:
        probe.bind((address, 0))
        return probe.getsockname()[1]


def _accepts(port, address="127.0.0.1"):
    try:
        with socket.create_connection((address, port), timeout=0.5):
            return True
    except OSError:
        return False


class Server:
    """A server on loopback serving `root`; configuration and logs live in
    `folder`. Use with `with`: the server stops when the block ends, also on
    errors and on SIGTERM/SIGHUP turned into exceptions by stop_on_signals().
    Subclasses write the configuration and give the command line."""

    name = None
    # The loopback address it listens on: "127.0.0.1" or "::1" (set it on a
    # subclass: the port is picked for it when the server is made).
    address = "127.0.0.1"

    def __init__(self, root, folder):
        self.root = os.path.abspath(root)
        self.folder = os.path.abspath(folder)
        self.port = free_port(self.address)
        self.process = None

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def start(self):
        os.makedirs(self.folder, exist_ok=True)
        argv = self.configure()
        with open(self.path("output.log"), "ab") as out:
            self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=subprocess.STDOUT, cwd=self.folder)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and self.process.poll() is None:
            if _accepts(self.port, self.address):
                return self
            time.sleep(0.1)
        self.stop()
        raise RuntimeError("%s did not start; see the logs in %s" % (self.name, self.folder))

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def _openssl(*args):
    subprocess.run([OPENSSL, *args], check=True, capture_output=True)


def make_ca(folder, name="Loopback test CA"):
    """A CA key and self-signed certificate in folder: (certificate, key)."""
    os.makedirs(folder, exist_ok=True)
    cert, key = os.path.join(folder, "ca.pem"), os.path.join(folder, "ca.key")
    _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
             "-keyout", key, "-out", cert, "-days", "30", "-subj", "/CN=" + name)
    return cert, key


def make_certificate(folder, name, ca=None, hosts="IP:127.0.0.1,DNS:localhost", days=30):
    """A server key and certificate for `hosts` (subjectAltName) in folder,
    signed by ca (certificate, key) or self-signed without; days < 0 makes
    one that has expired. (certificate, key)."""
    os.makedirs(folder, exist_ok=True)
    cert, key = (os.path.join(folder, name + ext) for ext in (".pem", ".key"))
    extension = write_text(os.path.join(folder, name + ".ext"), "subjectAltName=%s\n" % hosts)
    request = os.path.join(folder, name + ".csr")
    _openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
             "-keyout", key, "-out", request, "-subj", "/CN=" + name)
    signer = ["-CA", ca[0], "-CAkey", ca[1], "-CAcreateserial"] if ca else ["-signkey", key]
    _openssl("x509", "-req", "-in", request, *signer, "-days", str(days), "-extfile", extension,
             "-out", cert)
    return cert, key


class Nginx(Server):
    name = "nginx"
    # Further directives of the server block (TLS, redirects, ...), and of
    # the http block (log formats).
    server_extra = http_extra = ""
    # (certificate, key): the same tree is served over TLS on tls_port too.
    tls = None

    def listen(self, port=None):
        """The listen directive's address and options."""
        host = "[%s]" % self.address if ":" in self.address else self.address
        return "%s:%d" % (host, port or self.port)

    def tls_directives(self):
        if not self.tls:
            return ""
        self.tls_port = getattr(self, "tls_port", None) or free_port()
        return "    listen %s ssl;\n    ssl_certificate %s;\n    ssl_certificate_key %s;\n" % (
            self.listen(self.tls_port), *self.tls)

    def configure(self):
        temp = self.path("temp")
        for name in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"):
            os.makedirs(os.path.join(temp, name), exist_ok=True)
        # Without a master process nginx keeps our user; as root it must be
        # told so, or it would read the mirror as an unprivileged user.
        user = "user root;\n" if os.geteuid() == 0 else ""
        write_text(self.path("nginx.conf"), (
            "daemon off;\nmaster_process off;\nworker_processes 1;\n%s"
            "pid %s;\nerror_log %s notice;\n"
            "events { worker_connections 64; }\n"
            "http {\n"
            "  access_log %s;\n  sendfile on;\n"
            "  client_body_temp_path %s/client_body;\n  proxy_temp_path %s/proxy;\n"
            "  fastcgi_temp_path %s/fastcgi;\n  uwsgi_temp_path %s/uwsgi;\n"
            "  scgi_temp_path %s/scgi;\n"
            "  default_type application/octet-stream;\n%s"
            "  server {\n    listen %s;\n    root %s;\n%s"
            "    location / { }\n  }\n}\n") %
            (user, self.path("nginx.pid"), self.path("error.log"), self.path("access.log"),
             temp, temp, temp, temp, temp, self.http_extra, self.listen(), self.root,
             self.tls_directives() + self.server_extra))
        return [NGINX, "-p", self.folder, "-c", self.path("nginx.conf"),
                "-e", self.path("error.log")]


class Apache(Server):
    """apache2 from a configuration of ours alone: the event MPM, keep-alive
    on as by default, every request logged."""

    name = "apache2"

    def configure(self):
        directives = [
            "ServerRoot " + self.folder, "ServerName localhost",
            "Listen 127.0.0.1:%d" % self.port,
            "LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so",
            "LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so",
            "DocumentRoot " + self.root, "PidFile " + self.path("apache2.pid"),
            "ErrorLog " + self.path("error.log"),
            'CustomLog %s "%%h %%r %%>s %%b"' % self.path("access.log")]
        # As root it serves as www-data: it refuses to serve as root.
        if os.geteuid() == 0:
            directives += ["User www-data", "Group www-data"]
        write_text(self.path("apache2.conf"), "\n".join(directives) + "\n")
        return [APACHE, "-DFOREGROUND", "-f", self.path("apache2.conf")]


class Vsftpd(Server):
    """Anonymous, read-only FTP; vsftpd needs root for its chroot."""

    name = "vsftpd"

    @staticmethod
    def usable():
        return os.access(VSFTPD, os.X_OK) and os.geteuid() == 0

    def configure(self):
        # The chroot of anonymous sessions needs an empty directory the ftp
        # user cannot write; the served tree must be readable only.
        empty = self.path("empty")
        os.makedirs(empty, exist_ok=True)
        os.chmod(empty, 0o755)
        passive = free_port(self.address)
        # Over IPv6 the passive address is the control connection's own.
        listen = ("listen=NO\nlisten_ipv6=YES\nlisten_address6=%s\n" if ":" in self.address else
                  "listen=YES\nlisten_ipv6=NO\nlisten_address=%s\npasv_address=%s\n")
        write_text(self.path("vsftpd.conf"), (
            listen.replace("%s", self.address) + "listen_port=%d\n"
            "background=NO\nanonymous_enable=YES\nno_anon_password=YES\nlocal_enable=NO\n"
            "write_enable=NO\nanon_root=%s\nsecure_chroot_dir=%s\n"
            "pasv_enable=YES\npasv_min_port=%d\npasv_max_port=%d\n"
            "port_enable=YES\nconnect_from_port_20=NO\nseccomp_sandbox=NO\n"
            "xferlog_enable=YES\nxferlog_std_format=NO\nvsftpd_log_file=%s\n"
            "syslog_enable=NO\n") %
            (self.port, self.root, empty, passive, min(passive + 15, 65535),
             self.path("vsftpd.log")))
        return [VSFTPD, self.path("vsftpd.conf")]


def stop_on_signals():
    """Turns SIGTERM and SIGHUP into SystemExit, so `with` blocks and
    `finally` clauses (which stop the servers) run on them as on Ctrl-C."""

    def leave(signum, _frame):
        raise SystemExit(128 + signum)

    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, leave)


def need_nginx():
    if not os.access(NGINX, os.X_OK):
        sys.exit("nginx is not installed (%s missing): run as root to have it installed, "
                 "or: apt-get install nginx" % NGINX)


def clean(path):
    shutil.rmtree(path, ignore_errors=True)
