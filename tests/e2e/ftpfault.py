"""A small FTP server for the end-to-end tests that can misbehave on
purpose: delayed or multi-line greetings, refused restarts, missing files,
421 in the middle of a run, data connections cut after some bytes, replies
that never come, and a stranger knocking on the client's PORT listener.
It serves one directory read-only on a loopback port, one thread per
session, and keeps a log of every command it received."""
import os
import socket
import threading
import time


class FaultyFtpServer:
    """Faults (all optional):
    greeting: list of replies sent on connect (default one "220").
    user_reply: reply to USER (default "331"; "230" logs in without PASS).
    rest_reply: reply to every REST instead of "350".
    missing: names answered "550" on RETR.
    cut: {name: bytes}: the first `cut_times` transfers of that file stop
        after that many bytes, the data connection is closed and "426" sent.
    close_on_retr: number of the RETR (1-based, whole server) answered
        "421" with the control connection closed.
    silent: {command: count}: the first `count` such commands (or the
        greeting, command "CONNECT") are never answered.
    stranger: connect to a PORT listener from 127.0.0.2 first.
    extra: {name: bytes}: every transfer of that file sends that many bytes
        more than the file holds."""

    def __init__(self, root, greeting=None, user_reply="331 Password required.\r\n",
                 rest_reply=None, missing=(), cut=None, cut_times=1, close_on_retr=None,
                 silent=None, stranger=False, extra=None):
        self.root = os.path.abspath(root)
        self.greeting = greeting or ["220 Faulty FTP ready.\r\n"]
        self.user_reply = user_reply
        self.rest_reply = rest_reply
        self.missing = set(missing)
        self.cut = dict(cut or {})
        self.cut_left = {name: cut_times for name in self.cut}
        self.close_on_retr = close_on_retr
        self.silent = dict(silent or {})
        self.stranger = stranger
        self.extra = dict(extra or {})
        self.stranger_closed = None
        self.commands = []  # (session number, command line without its end)
        self.sessions = 0
        self.retrs = 0
        self.lock = threading.Lock()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.running = True
        self.threads = []

    def start(self):
        thread = threading.Thread(target=self._serve, daemon=True)
        thread.start()
        self.threads.append(thread)
        return self

    def stop(self):
        self.running = False
        try:
            self.listener.close()
        except OSError:
            pass

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def sent(self, verb=None):
        """The commands received, optionally only those of one verb."""
        with self.lock:
            lines = [line for _, line in self.commands]
        if verb is None:
            return lines
        return [line for line in lines if line.split(" ", 1)[0].upper() == verb]

    def _serve(self):
        while self.running:
            try:
                control, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.sessions += 1
                number = self.sessions
            thread = threading.Thread(target=self._session, args=(control, number), daemon=True)
            thread.start()
            self.threads.append(thread)

    def _take_silence(self, command):
        with self.lock:
            left = self.silent.get(command, 0)
            if left > 0:
                self.silent[command] = left - 1
                return True
        return False

    def _session(self, control, number):
        control.settimeout(120)
        session = _Session(self, control, number)
        try:
            session.run()
        except OSError:
            pass
        finally:
            session.close_data()
            control.close()


class _Session:
    def __init__(self, server, control, number):
        self.server = server
        self.control = control
        self.number = number
        self.cwd = "/"
        self.offset = 0
        self.passive = None  # listening socket of PASV
        self.active = None  # (host, port) of PORT
        self.buffer = b""

    def reply(self, text):
        self.control.sendall(text.encode("latin-1"))

    def read_command(self):
        while b"\n" not in self.buffer:
            chunk = self.control.recv(4096)
            if not chunk:
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.rstrip(b"\r").decode("latin-1")

    def close_data(self):
        if self.passive is not None:
            self.passive.close()
            self.passive = None

    def run(self):
        if self.server._take_silence("CONNECT"):
            self.read_command()  # hold the connection until the client leaves
            return
        for line in self.server.greeting:
            self.reply(line)
        while True:
            line = self.read_command()
            if line is None:
                return
            with self.server.lock:
                self.server.commands.append((self.number, line))
            verb, _, argument = line.partition(" ")
            verb = verb.upper()
            if self.server._take_silence(verb):
                continue
            handler = getattr(self, "do_" + verb, None)
            if handler is None:
                self.reply("502 Command not implemented.\r\n")
            elif handler(argument) == "quit":
                return

    def do_USER(self, argument):
        self.reply(self.server.user_reply)

    def do_PASS(self, argument):
        self.reply("230 Login successful.\r\n")

    def do_TYPE(self, argument):
        self.reply("200 Switching to Binary mode.\r\n")

    def do_CWD(self, argument):
        target = os.path.normpath(os.path.join(self.cwd, argument))
        if os.path.isdir(self.server.root + target):
            self.cwd = target
            self.reply("250 Directory successfully changed.\r\n")
        else:
            self.reply("550 Failed to change directory.\r\n")

    def do_PASV(self, argument):
        self.close_data()
        self.active = None
        self.passive = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.passive.bind(("127.0.0.1", 0))
        self.passive.listen(1)
        port = self.passive.getsockname()[1]
        self.reply("227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n" % (port // 256, port % 256))

    def do_PORT(self, argument):
        self.close_data()
        numbers = [int(n) for n in argument.split(",")]
        self.active = ("%d.%d.%d.%d" % tuple(numbers[:4]), numbers[4] * 256 + numbers[5])
        self.reply("200 PORT command successful.\r\n")

    def do_REST(self, argument):
        if self.server.rest_reply is not None:
            self.reply(self.server.rest_reply)
            return
        self.offset = int(argument)
        self.reply("350 Restart position accepted (%d).\r\n" % self.offset)

    def do_QUIT(self, argument):
        self.reply("221 Goodbye.\r\n")
        return "quit"

    def open_data(self):
        if self.passive is not None:
            self.passive.settimeout(30)
            data, _ = self.passive.accept()
            self.close_data()
            return data
        if self.server.stranger:
            stranger = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            stranger.bind(("127.0.0.2", 0))
            stranger.connect(self.active)
            stranger.settimeout(10)
            try:
                # The client closes a stranger's connection unread.
                self.server.stranger_closed = stranger.recv(1) == b""
            except OSError:
                self.server.stranger_closed = True
            stranger.close()
        return socket.create_connection(self.active, timeout=30)

    def do_RETR(self, argument):
        server = self.server
        with server.lock:
            server.retrs += 1
            count = server.retrs
        offset, self.offset = self.offset, 0
        if server.close_on_retr == count:
            self.reply("421 Service not available, closing control connection.\r\n")
            return "quit"
        path = os.path.normpath(os.path.join(self.cwd, argument))
        if argument in server.missing or not os.path.isfile(server.root + path):
            self.reply("550 Failed to open file.\r\n")
            return None
        with open(server.root + path, "rb") as f:
            f.seek(offset)
            content = f.read() + b"#" * server.extra.get(argument, 0)
        limit = None
        with server.lock:
            if server.cut_left.get(argument, 0) > 0:
                server.cut_left[argument] -= 1
                limit = server.cut[argument]
        self.reply("150 Opening BINARY mode data connection for %s (%d bytes).\r\n" %
                   (argument, len(content)))
        data = self.open_data()
        try:
            data.sendall(content if limit is None else content[:limit])
        finally:
            data.close()
        if limit is not None:
            time.sleep(0.05)
            self.reply("426 Connection closed; transfer aborted.\r\n")
        else:
            self.reply("226 Transfer complete.\r\n")
        return None
