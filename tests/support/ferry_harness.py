"""End-to-end test support: scripted sites, the real daemon, and a raw client.

Everything listens on 127.0.0.1 on ports the system chooses; every wait is
bounded and every process started here is stopped by its pid.
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

HOST = "127.0.0.1"
WAIT = 10.0


def ferrynet_binary():
    path = os.environ.get("FERRYNET_BIN")
    if path:
        return path
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(here, "..", "..", "build", "bin", "ferrynet")


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def stop_process(proc):
    """Ends a process this harness started, by its pid, within bounded waits."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=WAIT)


def write_tree(root, files, open_to_all=False):
    """Writes {relative path: bytes} below `root`; open_to_all for servers
    that run their sessions as an unprivileged user."""
    for rel, data in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    if open_to_all:
        for here, _, names in os.walk(root):
            os.chmod(here, 0o777)
            for n in names:
                os.chmod(os.path.join(here, n), 0o666)


def read_to_end(sock):
    """Every byte a connection brings until its end of file."""
    parts = []
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return b"".join(parts)
        parts.append(chunk)


def wait_for(predicate, timeout=WAIT, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


TELNET_COMMAND = re.compile(rb"\xff(?:\xff|[\xfb-\xfe].|\xfa.*?\xff\xf0|[^\xff\xfa])", re.S)


def without_telnet(raw):
    """A control line as an FTP server reads it: Telnet commands taken out."""
    return TELNET_COMMAND.sub(lambda m: b"\xff" if m.group(0) == b"\xff\xff" else b"", raw)


class SiteSession:
    """One control connection to a scripted site."""

    def __init__(self, site, conn, index):
        self.site = site
        self.conn = conn
        # Telnet's Synch arrives as urgent data; FTP servers read it in place.
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_OOBINLINE, 1)
        self.index = index
        self.lines = []  # every line received, without its line end
        self.raw = b""   # every byte received
        self.closed = threading.Event()

    def send(self, data, chunks=None, pause=0.05):
        """Sends `data` whole, or split into the given chunk sizes with pauses between."""
        if isinstance(data, str):
            data = data.encode()
        if not chunks:
            self.conn.sendall(data)
            return
        pos = 0
        for size in chunks:
            self.conn.sendall(data[pos:pos + size])
            pos += size
            time.sleep(pause)
        if pos < len(data):
            self.conn.sendall(data[pos:])

    def close(self):
        try:
            self.conn.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.conn.close()


class ScriptedSite:
    """A site that answers exactly as scripted and records what it receives.

    `script` maps a command (matched case-insensitively as a prefix of the
    received line, longest key first) to a reply: text, or a callable
    (session, line) -> text or None (None sends nothing), or a tuple
    (text, [chunk sizes]) to split the reply over several reads.
    Unmatched commands get `default`.
    """

    def __init__(self, name="site", greeting="220 {name} ready.\r\n", script=None,
                 default="200 {name} ok.\r\n", session_id=None):
        self.name = name
        self.greeting = greeting
        self.script = dict(script or {})
        self.default = default
        self.sessions = []
        self.lock = threading.Lock()
        self.session_id = session_id
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((HOST, 0))
        self.sock.listen(4096)
        self.port = self.sock.getsockname()[1]
        self._stop = False
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _fmt(self, text, session):
        if text is None:
            return None
        sid = self.session_id if self.session_id is not None else 1000 + session.index
        return text.replace("{name}", self.name).replace("{id}", str(sid))

    def reply_for(self, session, line):
        upper = line.upper()
        for key in sorted(self.script, key=len, reverse=True):
            if upper.startswith(key.upper()):
                r = self.script[key]
                if callable(r):
                    r = r(session, line)
                return r
        return self.default

    def _accept(self):
        self.sock.settimeout(0.2)
        while not self._stop:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                s = SiteSession(self, conn, len(self.sessions))
                self.sessions.append(s)
            threading.Thread(target=self._serve, args=(s,), daemon=True).start()

    def _serve(self, s):
        try:
            g = self._fmt(self.greeting, s)
            if g:
                s.send(g)
            buf = b""
            while True:
                data = s.conn.recv(65536)
                if not data:
                    break
                s.raw += data
                buf += data
                while b"\n" in buf:
                    raw, buf = buf.split(b"\n", 1)
                    line = without_telnet(raw).decode("latin-1").rstrip("\r")
                    s.lines.append(line)
                    r = self.reply_for(s, line)
                    if isinstance(r, tuple):
                        text, chunks = r
                        text = self._fmt(text, s)
                        if text:
                            s.send(text, chunks)
                    else:
                        r = self._fmt(r, s)
                        if r:
                            s.send(r)
        except OSError:
            pass
        finally:
            s.closed.set()
            try:
                s.conn.close()
            except OSError:
                pass

    def received(self):
        """All lines received by all sessions, in session order."""
        with self.lock:
            return [l for s in self.sessions for l in s.lines]

    def wait_sessions(self, n, timeout=WAIT):
        return wait_for(lambda: len(self.sessions) >= n, timeout)

    def close(self):
        self._stop = True
        try:
            self.sock.close()
        except OSError:
            pass
        with self.lock:
            for s in self.sessions:
                s.close()


SANITIZER_MARKS = ("WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                   "runtime error:")


def sanitizer_report(text):
    """The first sanitizer report in a process's output, or an empty text."""
    for mark in SANITIZER_MARKS:
        at = text.find(mark)
        if at >= 0:
            return text[max(0, at - 200):at + 3000]
    return ""


class Daemon:
    """The real ferrynet, started from a generated configuration file."""

    def __init__(self, sites=None, settings=None, port=None, binary=None, extra_lines=()):
        self.dir = tempfile.mkdtemp(prefix="ferrytest-")
        self.port = port or free_port()
        self.log_path = os.path.join(self.dir, "ferrynet.log")
        self.pid_path = os.path.join(self.dir, "ferrynet.pid")
        conf = {
            "bouncemodedown": "c",
            "bouncemodeup": "x",
            "ip": HOST,
            "connip": HOST,
            "port": str(self.port),
            "fork": "no",
            "log": "cerdfitm",
            "logfile": self.log_path,
            "cyclemode": "l",
            # Tests and benchmarks bring many clients from one address; the
            # admission limits have tests of their own that set them.
            "maxclients": "100000",
            "maxclientsperip": "0",
        }
        if sites:
            conf["cycleip"] = " ".join("%s:%d" % (HOST, p) for p in sites)
        conf.update(settings or {})
        self.conf_path = os.path.join(self.dir, "ferrynet.conf")
        self.out_path = os.path.join(self.dir, "stdout.txt")
        # A port found free may be taken by a test running beside this one
        # before the daemon binds it (on "*" a port in use on any address
        # counts): a port of our own choosing is then chosen again.
        ours = not port and conf.get("port") == str(self.port)
        for attempt in range(5):
            with open(self.conf_path, "w") as f:
                for k, v in conf.items():
                    if v is not None:
                        f.write("%s %s\n" % (k, v))
                for line in extra_lines:
                    f.write(line + "\n")
            self.out = open(self.out_path, "wb")
            self.proc = subprocess.Popen([os.path.abspath(binary or ferrynet_binary()), self.conf_path],
                                         stdout=self.out, stderr=subprocess.STDOUT, cwd=self.dir)
            if not wait_for(self._listening):
                self.stop()
                raise RuntimeError("ferrynet did not start listening: " + self.output())
            if not ours or attempt == 4 or self.proc.poll() is None or "cannot bind to" not in self.output():
                break
            self.proc.wait()
            self.out.close()
            self.port = free_port()
            conf["port"] = str(self.port)

    def _listening(self):
        # Probing with a connection would make the daemon open sessions on the
        # sites, so wait for its own word that it is bound.
        return self.proc.poll() is not None or "bound to " in self.output()

    def output(self):
        self.out.flush()
        with open(self.out_path, "rb") as f:
            return f.read().decode("latin-1")

    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def client(self, timeout=WAIT):
        return RawClient(self.port, timeout)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=WAIT)
        self.out.close()
        report = sanitizer_report(self.output_text())
        if report:
            raise AssertionError("sanitizer report from ferrynet:\n" + report)
        return self.proc.returncode

    def output_text(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("latin-1")


class RawClient:
    """A line-level FTP control client that sees exactly what the daemon sends."""

    def __init__(self, port, timeout=WAIT):
        self.sock = socket.create_connection((HOST, port), timeout=timeout)
        self.sock.settimeout(timeout)
        self.buf = b""

    def send(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        self.sock.sendall(data)

    def cmd(self, line):
        self.send(line + "\r\n")
        return self.reply()

    def read_line(self):
        while b"\n" not in self.buf:
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("connection closed; pending %r" % self.buf)
            self.buf += data
        line, self.buf = self.buf.split(b"\n", 1)
        return line.decode("latin-1") + "\n"

    def reply(self):
        """One whole reply: lines up to the one whose fourth character is a blank."""
        lines = []
        while True:
            line = self.read_line()
            lines.append(line)
            if len(line) > 3 and line[:3].isdigit() and line[3] == " ":
                return lines

    def nothing_within(self, seconds):
        """True when the daemon sends nothing for `seconds`."""
        if self.buf:
            return False
        self.sock.settimeout(seconds)
        try:
            data = self.sock.recv(65536)
        except socket.timeout:
            return True
        finally:
            self.sock.settimeout(WAIT)
        self.buf += data
        return False

    def closed_within(self, seconds):
        self.sock.settimeout(seconds)
        try:
            while True:
                data = self.sock.recv(65536)
                if not data:
                    return True
                self.buf += data
        except socket.timeout:
            return False
        except OSError:
            return True

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class SitesAndDaemon:
    """Class-wide real sites with the daemon in front, and a scratch folder `tmp`."""

    @classmethod
    def start_over_sites(cls, start_sites, settings=None):
        """`start_sites` appends to cls.sites; whatever started is stopped again on failure."""
        cls.sites = []
        try:
            start_sites()
            cls.daemon = Daemon([s.port for s in cls.sites], settings)
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "daemon", None):
            cls.daemon.stop()
        for s in getattr(cls, "sites", []):
            s.stop()
        if getattr(cls, "tmp", None):
            shutil.rmtree(cls.tmp, ignore_errors=True)


class ScriptedSitesCase(unittest.TestCase):
    """The daemon in front of scripted sites, stopped with the test."""

    def start_sites(self, scripts, settings=None, session_ids=None, **site_kw):
        self.sites = [ScriptedSite(name="site%d" % i, script=script,
                                   session_id=session_ids[i] if session_ids else None, **site_kw)
                      for i, script in enumerate(scripts)]
        self.daemon = Daemon([s.port for s in self.sites], settings)
        self.addCleanup(self._stop_sites)

    def _stop_sites(self):
        self.daemon.stop()
        for s in self.sites:
            s.close()

    def client(self, login=True):
        """A client past the greeting, logged in unless told otherwise."""
        c = self.daemon.client()
        self.addCleanup(c.close)
        c.reply()
        if login:
            c.cmd("USER u")
            self.assertEqual(c.cmd("PASS p"), ["230 User logged in.\r\n"])
        return c


def login_script(ids=True, extra=None):
    """Replies of a site that accepts any login and reports its session id."""
    s = {
        "USER ": "331 Password required.\r\n",
        "PASS ": "230 User logged in.\r\n",
        "SITE SHOWPID": "200- {id}\r\n200 Command Successful.\r\n" if ids else "500 Unknown command.\r\n",
        "PWD": '257 "/" is current directory.\r\n',
        "QUIT": "221 Goodbye.\r\n",
    }
    s.update(extra or {})
    return s


class RealSite:
    """A real FTP server (pyftpdlib) in a process of its own, serving `root`."""

    def __init__(self, root, user="user", password="secret", total=False):
        self.root = root
        self.user, self.password = user, password
        self.dir = tempfile.mkdtemp(prefix="ferrysite-")
        port_file = os.path.join(self.dir, "port")
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pyftpd_site.py")
        self.proc = subprocess.Popen(["/usr/bin/python3", script, root, port_file, "0", user, password]
                                     + (["total"] if total else []),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: os.path.exists(port_file) or self.proc.poll() is not None):
            self.stop()
            raise RuntimeError("site did not start")
        with open(port_file) as f:
            self.port = int(f.read())

    def stop(self):
        stop_process(self.proc)


def pure_ftpd_available():
    return os.geteuid() == 0 and shutil.which("pure-ftpd") and shutil.which("pure-pw")


class PureFtpdSite:
    """pure-ftpd in the foreground serving `root` to user/secret on `host`; stopped by its pid."""

    def __init__(self, root, host=HOST, connections=200, user="user", password="secret"):
        self.host, self.root = host, root
        self.user, self.password = user, password
        self.dir = tempfile.mkdtemp(prefix="ferrypure-")
        pw, pdb = os.path.join(self.dir, "pw.txt"), os.path.join(self.dir, "pw.pdb")
        subprocess.run(["pure-pw", "useradd", user, "-u", "nobody", "-d", root, "-f", pw, "-m", "-F", pdb],
                       input=("%s\n%s\n" % (password, password)).encode(), capture_output=True, check=True,
                       timeout=WAIT)
        with socket.socket() as s:
            s.bind((host, 0))
            self.port = s.getsockname()[1]
        self.proc = subprocess.Popen(["pure-ftpd", "-S", "%s,%d" % (host, self.port), "-l", "puredb:" + pdb, "-E",
                                      "-H", "-c", str(connections), "-C", str(connections)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def up():
            try:
                with socket.create_connection((host, self.port), timeout=0.5) as c:
                    return c.recv(3) == b"220"
            except OSError:
                return False

        if not wait_for(up):
            self.stop()
            raise RuntimeError("pure-ftpd did not start")

    def stop(self):
        stop_process(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)
