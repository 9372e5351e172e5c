"""Servers that misbehave on purpose, for what nginx and vsftpd never do: HTTP/1.1 and anonymous
FTP, each serving one directory on a loopback port and keeping everything the client sent."""
import os
import socket
import socketserver
import threading
import urllib.parse


class _Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # a client that hangs up early is no fault of the test


class Threaded:
    def __init__(self, root, handler):
        self.root = os.path.abspath(root)
        self.lock, self.stopping = threading.Lock(), threading.Event()
        self.server = _Server(("127.0.0.1", 0), handler)
        self.server.owner = self
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.stopping.set()
        self.server.shutdown()
        self.server.server_close()

    def file(self, relative):
        full = os.path.realpath(os.path.join(self.root, relative.lstrip("/")))
        if not full.startswith(self.root + os.sep) or not os.path.isfile(full):
            return None
        with open(full, "rb") as f:
            return f.read()


class HttpFaults(Threaded):
    """Faults by path suffix ("*": any), each for `times` requests or all: chunked N (N-byte
    chunks), chunked_late N (its final empty line 50 ms late), chunked_cut N (no last chunk, then a
    close), cut N (the whole length announced, N bytes sent, a close), ignore_range (200 and the
    whole file to a Range), no_length (the body ends with the connection), close (a close after a
    counted body, announced; with N, N seconds after it), drop (the same unannounced), status N (with a body of its own), raw
    BYTES (these bytes, then a close), stall (no answer), stall_after N (the head and N bytes of the
    body, then silence), corrupt (the first byte of the body changed, the connection kept), before
    F (F called, then the usual answer).
    padding {path: N}: N more bytes served."""

    def __init__(self, root):
        self.faults, self.padding, self.requests, self.connections = [], {}, [], 0
        super().__init__(root, _HttpHandler)

    def fault(self, path, kind, arg=None, times=None):
        with self.lock:
            self.faults.append([path, kind, arg, times])

    def of(self, suffix):
        """The requests (request line, [(name, value)]) for one file."""
        return [r for r in self.requests if r[0].split(" ")[1].endswith(suffix)]

    def take(self, path):
        with self.lock:
            for fault in self.faults:
                if (fault[0] == "*" or path.endswith(fault[0])) and fault[3] != 0:
                    fault[3] = None if fault[3] is None else fault[3] - 1
                    return fault[1], fault[2]
        return None, None

    def answer(self, conn, request, headers):
        """Sends one reply; False when the connection ends with it."""
        parts = request.split(" ")
        target = parts[1] if len(parts) == 3 else "/"
        path = urllib.parse.unquote(urllib.parse.urlsplit(target).path).lstrip("/")
        kind, arg = self.take(path)
        if kind == "before":
            arg()
        if kind in ("stall", "raw"):  # no answer, or these bytes; then a close
            self.stopping.wait(120) if kind == "stall" else conn.sendall(arg)
            return False
        data = self.file(path)
        if kind == "status" or data is None:
            code = int(arg) if kind == "status" else 404
            body = b"status %d: a body longer than small files\n" % code
            conn.sendall(head(code, [("Content-Length", len(body)), ("Location", "/x")]) + body)
            return True
        data += b"#" * next((n for p, n in self.padding.items() if path.endswith(p)), 0)
        if kind == "corrupt" and data:
            data = bytes([data[0] ^ 0xff]) + data[1:]
        status, fields = 200, []
        wanted = headers.get("Range", "")
        if wanted.startswith("bytes=") and wanted.endswith("-") and kind != "ignore_range":
            start, status = int(wanted[6:-1]), 206
            fields.append(("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data))))
            data = data[start:]
        if kind in ("chunked", "chunked_cut", "chunked_late"):
            size = int(arg)
            body = b"".join(b"%x\r\n%s\r\n" % (len(data[at:at + size]), data[at:at + size])
                            for at in range(0, len(data), size))
            fields.append(("Transfer-Encoding", "chunked"))
            ending = {"chunked": b"0\r\n\r\n", "chunked_late": b"0\r\n"}.get(kind, b"")
            conn.sendall(head(status, fields) + body + ending)
            if kind == "chunked_late":
                self.stopping.wait(0.05)
                conn.sendall(b"\r\n")
            return kind != "chunked_cut"
        if kind == "no_length":
            conn.sendall(head(status, fields + [("Connection", "close")]) + data)
            return False
        fields.append(("Content-Length", len(data)))
        if kind in ("cut", "stall_after"):
            conn.sendall(head(status, fields) + data[:int(arg)])
            if kind == "stall_after":
                self.stopping.wait(120)
            return False
        conn.sendall(head(status, fields + ([("Connection", "close")] if kind == "close" else []))
                     + data)
        if kind == "close" and arg:
            self.stopping.wait(arg)  # the end arrives well after the reply
        return kind not in ("close", "drop")


def head(status, fields):
    lines = ["HTTP/1.1 %d %s" % (status, {200: "OK", 206: "Partial Content"}.get(status, "Oops"))]
    return ("\r\n".join(lines + ["%s: %s" % f for f in fields]) + "\r\n\r\n").encode("latin-1")


class _HttpHandler(socketserver.StreamRequestHandler):
    def handle(self):
        owner = self.server.owner
        with owner.lock:
            owner.connections += 1
        while line := self.rfile.readline(65536):
            headers = []
            while field := self.rfile.readline(65536).decode("latin-1").rstrip("\r\n"):
                name, _, value = field.partition(":")
                headers.append((name, value.strip()))
            request = line.decode("latin-1").rstrip("\r\n")
            with owner.lock:
                owner.requests.append((request, headers))
            if not owner.answer(self.connection, request, dict(headers)):
                return


class FtpFaults(Threaded):
    """Faults, all optional: greeting (the replies on connect), rest_reply (to every REST, not 350),
    missing (names answered 550 on RETR), cut ({name: N}: its first transfer stops after N bytes,
    then 426), close_on_retr (the RETR of this number, server-wide, gets 421 and a close), silent
    ({verb: count}: so many such commands, or "CONNECT" greetings, go unanswered), stranger (connect
    to a PORT listener from 127.0.0.2 first), extra ({name: N}: N more bytes sent)."""

    def __init__(self, root, greeting=("220 Faulty FTP ready.",), rest_reply=None, missing=(),
                 cut=None, close_on_retr=None, silent=None, stranger=False, extra=None):
        self.greeting, self.rest_reply = greeting, rest_reply
        self.missing, self.cut, self.close_on_retr = set(missing), dict(cut or {}), close_on_retr
        self.silent, self.stranger, self.extra = dict(silent or {}), stranger, dict(extra or {})
        self.commands, self.retrs, self.stranger_closed = [], 0, None
        super().__init__(root, _FtpHandler)

    def sent(self, verb=None):
        return [c for c in self.commands if verb is None or c.split(" ")[0] == verb]

    def hush(self, verb):
        with self.lock:
            if self.silent.get(verb, 0) > 0:
                self.silent[verb] -= 1
                return True
        return False


class _FtpHandler(socketserver.StreamRequestHandler):
    def reply(self, text):
        self.wfile.write(text.encode("latin-1") + b"\r\n")

    def setup(self):
        super().setup()
        self.offset, self.passive, self.active, self.cwd = 0, None, None, "/"

    def handle(self):
        owner = self.server.owner
        if owner.hush("CONNECT"):
            self.rfile.readline()
            return
        for line in owner.greeting:
            self.reply(line)
        canned = {"USER": "331 Password.", "PASS": "230 Login successful.",
                  "TYPE": "200 Binary mode.", "QUIT": "221 Goodbye."}
        for line in self.rfile:
            command = line.decode("latin-1").rstrip("\r\n")
            with owner.lock:
                owner.commands.append(command)
            verb, _, argument = command.partition(" ")
            if owner.hush(verb):
                continue
            say_canned = lambda *_: self.reply(canned.get(verb, "502 Command not implemented."))
            if getattr(self, "do_" + verb, say_canned)(owner, argument) == "quit" or verb == "QUIT":
                return

    def finish(self):
        if self.passive is not None:
            self.passive.close()
        super().finish()

    def do_CWD(self, owner, argument):
        target = os.path.normpath(os.path.join(self.cwd, argument))
        found = os.path.isdir(owner.root + target)
        self.cwd = target if found else self.cwd
        self.reply("250 Directory changed." if found else "550 No such directory.")

    def do_PASV(self, owner, argument):
        if self.passive is not None:
            self.passive.close()
        self.passive = socket.create_server(("127.0.0.1", 0))
        port = self.passive.getsockname()[1]
        self.reply("227 Entering Passive Mode (127,0,0,1,%d,%d)." % (port // 256, port % 256))

    def do_PORT(self, owner, argument):
        numbers = [int(n) for n in argument.split(",")]
        self.active = ("%d.%d.%d.%d" % tuple(numbers[:4]), numbers[4] * 256 + numbers[5])
        self.reply("200 PORT command successful.")

    def do_REST(self, owner, argument):
        if owner.rest_reply is None:
            self.offset = int(argument)
        self.reply(owner.rest_reply or "350 Restart position accepted.")

    def data_connection(self, owner):
        if self.passive is not None:
            self.passive.settimeout(30)
            conn = self.passive.accept()[0]
            self.passive.close()
            self.passive = None
            return conn
        if owner.stranger:
            with socket.socket() as stranger:
                stranger.bind(("127.0.0.2", 0))
                stranger.connect(self.active)
                stranger.settimeout(10)
                try:  # the client must close a stranger's connection unread
                    owner.stranger_closed = stranger.recv(1) == b""
                except OSError:
                    owner.stranger_closed = True
        return socket.create_connection(self.active, timeout=30)

    def do_RETR(self, owner, argument):
        with owner.lock:
            owner.retrs += 1
            count, limit = owner.retrs, owner.cut.pop(argument, None)
        offset, self.offset = self.offset, 0
        if owner.close_on_retr == count:
            self.reply("421 Service not available, closing control connection.")
            return "quit"
        data = owner.file(os.path.join(self.cwd, argument))
        if argument in owner.missing or data is None:
            return self.reply("550 Failed to open file.")
        data = data[offset:] + b"#" * owner.extra.get(argument, 0)
        self.reply("150 Opening BINARY mode data connection (%d bytes)." % len(data))
        with self.data_connection(owner) as conn:
            conn.sendall(data[:limit])
        self.reply("426 Transfer aborted." if limit is not None else "226 Transfer complete.")
