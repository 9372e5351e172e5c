"""A small HTTP/1.1 server that serves a directory and misbehaves on demand:
chunked replies, bodies cut after N bytes, Range requests ignored, replies
without Content-Length, a connection closed after each reply, a chosen
status with a body, a broken status line, or no answer at all. It keeps
every request it received (request line and headers in order) so that tests
can check what the client sent. Python standard library only.

Use in a test:
    with FaultServer(root) as server:
        server.fault("pub/qavo/engine.so", "cut", 600, times=1)
        ... run the client against 127.0.0.1:server.port ...
        server.requests  # [(request line, [(name, value), ...]), ...]

Or standalone: python3 httpfault.py ROOT [PORT] [PATH KIND [ARG]]...
"""
import os
import socket
import sys
import threading
import time
import urllib.parse

HEAD_LIMIT = 65536

# Fault kinds and what their argument means:
#   chunked N        body in chunks of N bytes (Transfer-Encoding: chunked)
#   cut N            announce the whole length, send N bytes, close
#   ignore_range     answer 200 with the whole file even to a Range request
#   no_length        no Content-Length: the body ends when the connection does
#   close            Content-Length as usual, then close the connection
#   status N         answer status N with a short body of its own
#   bad_status       a status line without any space
#   stall            read the request, answer nothing, keep the connection
#   stall_after N    send the head and N body bytes, then go quiet
KINDS = ("chunked", "cut", "ignore_range", "no_length", "close", "status", "bad_status",
         "stall", "stall_after")

REASONS = {200: "OK", 206: "Partial Content", 302: "Found", 404: "Not Found",
           500: "Internal Server Error"}


class Fault:
    def __init__(self, kind, arg, times):
        if kind not in KINDS:
            raise ValueError("unknown fault %r" % kind)
        self.kind, self.arg, self.times = kind, arg, times


class FaultServer:
    def __init__(self, root, port=0):
        self.root = os.path.abspath(root)
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", port))
        self._listener.listen(16)
        self.port = self._listener.getsockname()[1]
        self._faults = {}
        self._padding = {}
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._threads = []
        self._open = set()
        self.requests = []
        self.connections = 0

    def fault(self, path, kind, arg=None, times=None):
        """Misbehave for requests of `path` (relative to the root; "*" for
        every path): `times` requests, or all when None."""
        with self._lock:
            self._faults.setdefault(path.lstrip("/"), []).append(Fault(kind, arg, times))

    def pad(self, path, count):
        """Serve `path` with `count` bytes more than the file holds."""
        with self._lock:
            self._padding[path.lstrip("/")] = count

    def clear(self):
        with self._lock:
            self._faults.clear()
            self._padding.clear()

    def start(self):
        thread = threading.Thread(target=self._accept_loop, daemon=True)
        thread.start()
        self._threads.append(thread)
        return self

    def stop(self):
        self._stopping.set()
        try:
            self._listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._listener.close()
        with self._lock:
            for conn in list(self._open):
                try:
                    conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        for thread in self._threads:
            thread.join(timeout=5)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _take_fault(self, path):
        with self._lock:
            for key in (path, "*"):
                for fault in self._faults.get(key, []):
                    if fault.times is None or fault.times > 0:
                        if fault.times is not None:
                            fault.times -= 1
                        return fault
        return None

    def _accept_loop(self):
        while not self._stopping.is_set():
            try:
                conn, _ = self._listener.accept()
            except OSError:
                return
            with self._lock:
                self.connections += 1
                self._open.add(conn)
            thread = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            thread.start()
            self._threads.append(thread)

    def _read_head(self, conn, pending):
        while b"\r\n\r\n" not in pending:
            if len(pending) > HEAD_LIMIT:
                return None, b""
            data = conn.recv(4096)
            if not data:
                return None, b""
            pending += data
        head, rest = pending.split(b"\r\n\r\n", 1)
        return head.decode("latin-1"), rest

    def _serve(self, conn):
        pending = b""
        try:
            while not self._stopping.is_set():
                head, pending = self._read_head(conn, pending)
                if head is None:
                    return
                lines = head.split("\r\n")
                headers = [tuple(part.strip() if i else part for i, part in
                                 enumerate(line.split(":", 1))) for line in lines[1:]]
                with self._lock:
                    self.requests.append((lines[0], headers))
                if not self._answer(conn, lines[0], dict(headers)):
                    return
        except OSError:
            pass
        finally:
            with self._lock:
                self._open.discard(conn)
            conn.close()

    def _file(self, target):
        path = urllib.parse.urlsplit(target).path if "://" in target else target
        relative = urllib.parse.unquote(path).lstrip("/")
        full = os.path.realpath(os.path.join(self.root, relative))
        if not full.startswith(self.root + os.sep) or not os.path.isfile(full):
            return relative, None
        with open(full, "rb") as f:
            data = f.read()
        with self._lock:
            return relative, data + b"#" * self._padding.get(relative, 0)

    def _answer(self, conn, request_line, headers):
        """Sends one reply; False when the connection must end."""
        parts = request_line.split(" ")
        relative, data = self._file(parts[1] if len(parts) == 3 else "/")
        fault = self._take_fault(relative)
        kind = fault.kind if fault else None
        if kind == "stall":
            self._stopping.wait(120)
            return False
        if kind == "bad_status":
            conn.sendall(b"garbage-without-a-space\r\n\r\n")
            return False
        if kind == "status":
            code = int(fault.arg)
            body = ("status %d body\n" % code).encode()
            conn.sendall(self._head(code, [("Content-Length", str(len(body))),
                                           ("Location", "/elsewhere")]) + body)
            return True
        if data is None:
            body = b"not here\n"
            conn.sendall(self._head(404, [("Content-Length", str(len(body)))]) + body)
            return True

        status, fields = 200, []
        wanted = headers.get("Range", "")
        if wanted.startswith("bytes=") and wanted.endswith("-") and kind != "ignore_range":
            start = int(wanted[6:-1])
            status = 206
            fields.append(("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data))))
            data = data[start:]
        if kind == "chunked":
            size = int(fault.arg or 1024)
            body = b"".join(b"%x\r\n%s\r\n" % (len(data[at:at + size]), data[at:at + size])
                            for at in range(0, len(data), size)) + b"0\r\n\r\n"
            conn.sendall(self._head(status, fields + [("Transfer-Encoding", "chunked")]) + body)
            return True
        if kind == "no_length":
            conn.sendall(self._head(status, fields + [("Connection", "close")]) + data)
            return False
        fields.append(("Content-Length", str(len(data))))
        if kind == "cut":
            conn.sendall(self._head(status, fields) + data[:int(fault.arg)])
            return False
        if kind == "stall_after":
            conn.sendall(self._head(status, fields) + data[:int(fault.arg)])
            self._stopping.wait(120)
            return False
        if kind == "close":
            conn.sendall(self._head(status, fields + [("Connection", "close")]) + data)
            return False
        conn.sendall(self._head(status, fields) + data)
        return True

    @staticmethod
    def _head(status, fields):
        lines = ["HTTP/1.1 %d %s" % (status, REASONS.get(status, "Status"))]
        lines += ["%s: %s" % field for field in fields]
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    server = FaultServer(argv[1], int(argv[2]) if len(argv) > 2 else 0)
    rest = argv[3:]
    while rest:
        path, kind = rest[0], rest[1]
        arg = rest[2] if len(rest) > 2 and rest[2].isdigit() else None
        server.fault(path, kind, arg)
        rest = rest[3 if arg is not None else 2:]
    server.start()
    print("serving %s on 127.0.0.1:%d" % (server.root, server.port), flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
