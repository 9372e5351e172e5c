#!/usr/bin/env python3
"""The demo behind `./dev.sh demo`: publishes a small mirror with the demo keys
(a signed catalogue, and beside it the signed manifest that the demo's updater
configuration requires), serves it with nginx on loopback and runs qavoupdate
three times in a sandbox folder (first install, nothing to do, one changed
file, which comes as a patch against the installed version), once over HTTPS
from the same nginx (with a demo CA made by the openssl command), then once
more over FTP from vsftpd when run as root."""
import argparse
import hashlib
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import loopback  # noqa: E402

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INFOFILE = "pub/qavo/update/engine/i686/qavoe.info"
MARKER = ".qavo-demo"
RELEASE_TIME = 1764547200  # 2025-12-01: the release files' dates, the same in every demo
KIB = 1024

# Mirror path, installation path, size in bytes, seed; the engine module
# requires base, as a real engine needs its shared configuration.
ENGINE_FILES = [
    ("engine/libqavoengine.so", "${DATADIR}/libqavoengine.so", 1536 * KIB, 1),
    ("engine/signatures.db", "${DATADIR}/signatures.db", 3072 * KIB, 2),
    ("engine/qavoscan", "${BINDIR}/qavoscan", 320 * KIB, 3),
]
BASE_FILES = [
    ("base/libqavobase.so", "${DATADIR}/libqavobase.so", 704 * KIB, 4),
]
CHANGED = "engine/signatures.db"


class Demo:
    def __init__(self, build, folder):
        self.build = os.path.abspath(build)
        self.folder = os.path.abspath(folder)
        self.updater = os.path.join(self.build, "qavoupdate")
        self.publisher = os.path.join(self.build, "tools", "qavopublish")
        self.key = os.path.join(SOURCE, "keys", "demo-private-key.pem")
        self.signing_key = os.path.join(SOURCE, "keys", "demo-ed25519-private-key.pem")

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def fresh_folder(self):
        """Empties the demo folder, but only one that this script made."""
        if os.path.exists(self.folder):
            if os.listdir(self.folder) and not os.path.exists(self.path(MARKER)):
                sys.exit("%s exists and is not a demo folder: not touching it" % self.folder)
            loopback.clean(self.folder)
        for name in ("release", "www", "nginx", "tmp", "install/bin", "install/data",
                     "install/conf"):
            os.makedirs(self.path(name), exist_ok=True)
        # Private, as a temporary directory for a root process should be.
        os.chmod(self.path("tmp"), 0o700)
        loopback.write_text(self.path(MARKER), "made by tools/demo.py; removed by the next demo\n")

    def write_release(self):
        release = self.path("release")
        for mirror, _, size, seed in ENGINE_FILES + BASE_FILES:
            loopback.write_random(os.path.join(release, mirror), size, seed, RELEASE_TIME)
        loopback.write_text(os.path.join(release, "base/qavo.conf"),
                            "# Qavo engine settings (demo)\nScanArchives yes\nMaxFileSize 64M\n"
                            "DatabaseDirectory %s\n" % self.path("install", "data"),
                            RELEASE_TIME)
        # The post-install program leaves a trace, so the demo can show it ran.
        loopback.write_text(os.path.join(release, "engine/post-install"),
                            "#!/bin/sh\n# Runs after the engine module is installed.\n"
                            "echo \"$(date '+%%F %%T') engine module installed\" >> '%s'\n" %
                            self.path("install", "data", "post-install.log"),
                            RELEASE_TIME, 0o755)
        lines = ["# Demo mirror of tools/demo.py", "catalogue qavoe.info",
                 'kit "Qavo demo kit"', "", "module engine", "    require base"]
        lines += ["    file %s %s" % (m, i) for m, i, _, _ in ENGINE_FILES]
        lines += ["    file engine/post-install ${BINDIR}/qavo-post-install post 1", "",
                  "module base", "    file base/qavo.conf ${CONFDIR}/qavo.conf"]
        lines += ["    file %s %s" % (m, i) for m, i, _, _ in BASE_FILES]
        loopback.write_text(os.path.join(release, "mirror.desc"), "\n".join(lines) + "\n")

    def publish(self):
        target = self.path("www", os.path.dirname(INFOFILE))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        # The history holds every version kept: outside the served tree.
        subprocess.run([self.publisher, "build", "--key", self.key, "--signing-key",
                        self.signing_key, "--history", self.path("history"),
                        self.path("release", "mirror.desc"), target], check=True)
        return target

    def write_config(self, port, protocol="http", name="qup.conf", section_extra=""):
        loopback.write_text(self.path(name), (
            "# Sandboxed configuration of the demo: everything under %s\n"
            "[global]\ntemppath=%s\nstatepath=%s\nstatusfile=%s\nmanifest=required\n"
            "BINDIR=%s\nDATADIR=%s\nCONFDIR=%s\nINSTALL=%s\n"
            "tries=3\ntimeout=10\nalarm=600\n"
            "[hosts]\nprotocol=%s\nhost=127.0.0.1\ninfofile=%s\n"
            "[%s]\nport=%d\n%s[modules]\nengine=on\n") % (
                self.folder, self.path("tmp"), self.path("state"), self.path("status.prom"),
                self.path("install", "bin"),
                self.path("install", "data"), self.path("install", "conf"),
                self.path("install", "data"), protocol, INFOFILE, protocol, port, section_extra))

    def update(self, title, expected, conf="qup.conf"):
        """Runs the updater with a demo configuration, showing its output
        as it comes (meter included) and keeping it for the checks."""
        print("\n=== %s: qavoupdate -c %s" % (title, self.path(conf)), flush=True)
        proc = subprocess.Popen([self.updater, "-c", self.path(conf)], cwd=self.folder,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        seen = bytearray()
        while True:
            chunk = proc.stdout.read1(4096)
            if not chunk:
                break
            seen += chunk
            sys.stdout.buffer.write(chunk)
            sys.stdout.flush()
        status = proc.wait()
        print("=== exit status %d (expected %d)" % (status, expected), flush=True)
        if status != expected:
            raise RuntimeError("%s: qavoupdate ended with %d, expected %d" %
                               (title, status, expected))
        return seen.decode("latin-1")

    def check_installed(self):
        release = self.path("release")
        pairs = [(m, i) for m, i, _, _ in ENGINE_FILES + BASE_FILES]
        pairs += [("base/qavo.conf", "${CONFDIR}/qavo.conf")]
        places = {"${BINDIR}": "install/bin", "${DATADIR}": "install/data",
                  "${CONFDIR}": "install/conf"}
        for mirror, install in pairs:
            where, name = install.split("/", 1)
            with open(os.path.join(release, mirror), "rb") as a, \
                    open(self.path(places[where], name), "rb") as b:
                if hashlib.md5(a.read()).digest() != hashlib.md5(b.read()).digest():
                    raise RuntimeError("installed %s differs from the mirror" % name)
        print("=== all %d installed files match the release" % len(pairs))

    def change_one_file(self):
        """A day's signature update: in the middle of the database some
        records replaced and new ones inserted, more appended at the end."""
        path = self.path("release", CHANGED)
        with open(path, "rb") as old:
            data = old.read()
        third = len(data) // 3
        replaced = b"".join(b"fixed signature %06d\n" % i for i in range(200))
        inserted = b"".join(b"new signature %06d\n" % i for i in range(1000))
        appended = b"".join(b"new signature %06d\n" % i for i in range(1000, 3000))
        data = (data[:third] + inserted + data[third:2 * third] + replaced +
                data[2 * third + len(replaced):] + appended)
        with open(path, "wb") as out:
            out.write(data)
        os.utime(path, (RELEASE_TIME + 86400, RELEASE_TIME + 86400))
        print("\n=== %s changed on the release; republishing" % CHANGED, flush=True)
        self.publish()

    def check_patched(self, out):
        """The changed file came as a patch: the console named it and the
        status file counted it."""
        with open(self.path("status.prom")) as status:
            gauges = dict(line.split() for line in status if line.startswith("qavoupdate_"))
        patch = "Getting file patches/%s/" % CHANGED
        if patch not in out or gauges.get("qavoupdate_files_patched") != "1":
            raise RuntimeError("the third run did not patch %s" % CHANGED)
        size = os.path.getsize(self.path("release", CHANGED))
        saved = int(gauges["qavoupdate_bytes_saved"])
        print("=== %s patched: %d of its %d bytes fetched, %d saved (%s)" % (
            CHANGED, size - saved, size, saved, shown(self.path("status.prom"))))
        self.check_installed()

    def make_certificates(self):
        """A demo CA and the server certificate nginx shows on its TLS port
        (for 127.0.0.1 and localhost), signed by it."""
        ca = loopback.make_ca(self.path("tls"), "Qavo demo CA")
        print("=== demo CA made: %s" % shown(ca[0]))
        return ca, loopback.make_certificate(self.path("tls"), "server", ca)

    def over_https(self, nginx, ca):
        """The same nginx over TLS, trusting only the demo CA."""
        print("\n=== nginx serves the same tree on https://127.0.0.1:%d/" % nginx.tls_port)
        self.write_config(nginx.tls_port, "https", "qup-https.conf", 'cafile="%s"\n' % ca[0])
        self.update("Fourth run, over HTTPS: nothing to update", 1, "qup-https.conf")

    def over_ftp(self):
        """The same mirror from vsftpd: the catalogue comes over FTP and
        nothing needs an update."""
        if not loopback.Vsftpd.usable():
            print("=== FTP run skipped: it needs vsftpd (%s) and root" % loopback.VSFTPD)
            return
        with loopback.Vsftpd(self.path("www"), self.path("vsftpd")) as vsftpd:
            print("=== vsftpd serves %s on ftp://127.0.0.1:%d/" % (self.path("www"), vsftpd.port))
            self.write_config(vsftpd.port, "ftp", "qup-ftp.conf")
            self.update("Fifth run, over FTP: nothing to update", 1, "qup-ftp.conf")
        print("=== vsftpd stopped.")

    def run(self):
        loopback.stop_on_signals()
        self.fresh_folder()
        self.write_release()
        mirror = self.publish()
        ca, certificate = self.make_certificates()
        nginx = loopback.Nginx(self.path("www"), self.path("nginx"))
        nginx.tls = certificate
        with nginx:
            print("=== nginx serves %s on http://127.0.0.1:%d/" % (self.path("www"), nginx.port))
            self.write_config(nginx.port)
            self.update("First run: installs both modules", 0)
            self.check_installed()
            self.update("Second run: nothing to update", 1)
            self.change_one_file()
            out = self.update("Third run: one changed file, patched", 0)
            if "\t- 1 files downloaded," not in out:
                raise RuntimeError("the third run did not fetch exactly one file")
            self.check_patched(out)
            self.over_https(nginx, ca)
        print("\n=== nginx stopped.")
        self.over_ftp()
        print("\n=== Everything is under %s:" % self.folder)
        for what, where in (
                ("release files and mirror description", "release/mirror.desc"),
                ("published mirror (catalogue)", os.path.join(mirror, "qavoe.info")),
                ("its signed manifest", os.path.join(mirror, "qavoe.info.sig")),
                ("its signed patch index", os.path.join(mirror, "qavoe.info.delta")),
                ("the patches it lists", os.path.join(mirror, "patches/")),
                ("nginx configuration and logs", "nginx/"),
                ("updater configuration", "qup.conf"),
                ("the same over HTTPS", "qup-https.conf"),
                ("demo CA and server certificate", "tls/"),
                ("the same over FTP (vsftpd, as root)", "qup-ftp.conf"),
                ("vsftpd configuration and log", "vsftpd/"),
                ("temporary directory (lock file)", "tmp/"),
                ("manifest serials, installed versions", "state/"),
                ("the last run's status (gauges)", "status.prom"),
                ("publisher's history (not served)", "history/"),
                ("installed files", "install/{bin,data,conf}/"),
                ("post-install program's log", "install/data/post-install.log")):
            print("  %-38s %s" % (what, shown(self.path(where))))
        with open(self.path("install", "data", "post-install.log")) as log:
            print("The post-install program ran %d times (first and third run)." %
                  len(log.readlines()))
        print("To run it again yourself: %s -p %s -c %s &\n  then: %s -c %s" % (
            # nginx reads -c relative to its -p prefix: absolute paths.
            loopback.NGINX, self.path("nginx"), self.path("nginx", "nginx.conf"),
            shown(self.updater), shown(self.path("qup.conf"))))


def shown(path):
    """A path as the user can type it from here: relative below the current
    directory, absolute elsewhere."""
    relative = os.path.relpath(path)
    return path if relative.startswith("..") else relative

def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"),
                        help="build directory with qavoupdate and tools/qavopublish")
    parser.add_argument("--folder", default=os.path.join(SOURCE, "demo"),
                        help="demo folder; everything the demo writes goes there")
    args = parser.parse_args()
    loopback.need_nginx()
    try:
        Demo(args.build, args.folder).run()
    except (RuntimeError, subprocess.CalledProcessError) as error:
        sys.exit("demo failed: %s" % error)
    except KeyboardInterrupt:
        sys.exit("demo interrupted; nginx was stopped")


if __name__ == "__main__":
    main()
