"""Behind a TCP load balancer: HAProxy with send-proxy and send-proxy-v2 in
front of two daemons over two real sites, and real clients from 127.0.0.2
through it. HAProxy connects from 127.0.0.3, so only the PROXY header can
tell a daemon the client's address; the client's data connections and PORT
commands, which pass no balancer, are accepted only from that address.
Headers from peers not in proxyfrom, missing ones and malformed ones too.
"""

import ftplib
import io
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ferry_harness import (HOST, WAIT, Daemon, RealSite, ScriptedSite, free_port, login_script,  # noqa: E402
                           stop_process, wait_for, write_tree)
from real_sites import make_certificate  # noqa: E402

CLIENT = "127.0.0.2"
BALANCER = "127.0.0.3"
CURL_LIMIT = 60
HEADER_WAIT = 10  # the daemon's limit for a whole header

FILES = {
    "s0": {"rules.txt": b"site zero rules\n", "GAMES/Some.Game-GRP/game.rar": os.urandom(300000)},
    "s1": {"only1.nfo": b"site one nfo\n", "VCD/Movie-GRP/cd1.bin": os.urandom(200000)},
}


def haproxy_binary():
    return shutil.which("haproxy", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")


class HAProxy:
    """HAProxy in the foreground, one frontend per header version, each
    sharing its connections between the backends in turn; stopped by its pid."""

    def __init__(self, backends):
        self.dir = tempfile.mkdtemp(prefix="ferryhaproxy-")
        self.ports = {"v1": free_port(), "v2": free_port()}
        lines = ["global", "  maxconn 200", "defaults", "  mode tcp", "  timeout connect 5s",
                 "  timeout client 60s", "  timeout server 60s"]
        for version, option in (("v1", "send-proxy"), ("v2", "send-proxy-v2")):
            lines += ["frontend front_%s" % version, "  bind %s:%d" % (HOST, self.ports[version]),
                      "  default_backend back_%s" % version, "backend back_%s" % version, "  balance roundrobin"]
            lines += ["  server d%d %s:%d %s source %s" % (k, HOST, port, option, BALANCER)
                      for k, port in enumerate(backends)]
        conf = os.path.join(self.dir, "haproxy.cfg")
        with open(conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.out = open(os.path.join(self.dir, "haproxy.out"), "wb")
        self.proc = subprocess.Popen([haproxy_binary(), "-db", "-f", conf], stdout=self.out, stderr=subprocess.STDOUT)
        if not wait_for(lambda: self._up("v1") and self._up("v2")):
            self.stop()
            raise RuntimeError("haproxy did not start")

    def _up(self, version):
        # A connection would reach a daemon; a bound port shows in the socket table.
        if self.proc.poll() is not None:
            raise RuntimeError("haproxy exited: %s" % self.proc.returncode)
        with open("/proc/net/tcp") as f:
            return (":%04X " % self.ports[version]) in f.read()

    def stop(self):
        stop_process(self.proc)
        self.out.close()
        shutil.rmtree(self.dir, ignore_errors=True)


@unittest.skipUnless(haproxy_binary(), "haproxy is not installed")
class ThroughHAProxy(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="ferrylb-")
        cls.sites, cls.daemons, cls.haproxy = [], [], None
        try:
            for name in ("s0", "s1"):
                root = os.path.join(cls.tmp, name)
                write_tree(root, FILES[name])
                cls.sites.append(RealSite(root))
            # checkident: the lookup must go to the client, not to the balancer.
            settings = {"proxyfrom": "10.9.0.0/16 %s/32 ::1" % BALANCER, "checkident": "yes"}
            cls.daemons = [Daemon([s.port for s in cls.sites], settings) for _ in range(2)]
            cls.haproxy = HAProxy([d.port for d in cls.daemons])
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.haproxy:
            cls.haproxy.stop()
        for d in cls.daemons:
            d.stop()
        for s in cls.sites:
            s.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def ftplib_session(self, port, passive):
        f = ftplib.FTP()
        f.connect(HOST, port, timeout=30, source_address=(CLIENT, 0))
        try:
            f.login("user", "secret")
            f.set_pasv(passive)
            names = f.nlst("/")
            got = io.BytesIO()
            f.retrbinary("RETR /GAMES/Some.Game-GRP/game.rar", got.write)
            self.assertEqual(got.getvalue(), FILES["s0"]["GAMES/Some.Game-GRP/game.rar"])
            f.cwd("/VCD/Movie-GRP")
            got = io.BytesIO()
            f.retrbinary("RETR cd1.bin", got.write)
            self.assertEqual(got.getvalue(), FILES["s1"]["VCD/Movie-GRP/cd1.bin"])
            f.quit()
        finally:
            f.close()
        # The root is the union of both sites.
        self.assertEqual(sorted(n.strip("/") for n in names), ["GAMES", "VCD", "only1.nfo", "rules.txt"])

    def curl_session(self, port, options):
        out_dir = tempfile.mkdtemp(dir=self.tmp)
        url = "ftp://user:secret@%s:%d/" % (HOST, port)
        argv = ["curl", "-sS", "--max-time", str(CURL_LIMIT), "--interface", CLIENT, "--ftp-method", "nocwd"]
        argv += options + ["-o", os.path.join(out_dir, "root"), url,
                           "-o", os.path.join(out_dir, "cd1"), url + "VCD/Movie-GRP/cd1.bin"]
        run = subprocess.run(argv, capture_output=True, timeout=CURL_LIMIT + 30, stdin=subprocess.DEVNULL)
        self.assertEqual(run.returncode, 0, "%s: %s" % (options, run.stderr))
        with open(os.path.join(out_dir, "root"), "rb") as f:
            listing = f.read().decode("latin-1")
        for name in ("GAMES", "VCD", "only1.nfo", "rules.txt"):
            self.assertIn(name, listing)
        with open(os.path.join(out_dir, "cd1"), "rb") as f:
            self.assertEqual(f.read(), FILES["s1"]["VCD/Movie-GRP/cd1.bin"])

    def test_clients_through_both_header_versions_are_known_by_their_own_address(self):
        for version in ("v1", "v2"):
            port = self.haproxy.ports[version]
            # Two sessions per frontend: one on each daemon, in turn.
            self.ftplib_session(port, passive=True)
            self.ftplib_session(port, passive=False)  # PORT naming the client's own address
            self.curl_session(port, [])                 # EPSV
            self.curl_session(port, ["-P", CLIENT])     # EPRT
        header = re.compile(r"PROXY header from %s port \d+ names client %s port (\d+)" %
                            (re.escape(BALANCER), re.escape(CLIENT)))
        for k, d in enumerate(self.daemons):
            log = d.log()
            ports = header.findall(log)
            self.assertEqual(len(ports), 4, "daemon %d:\n%s" % (k, log[-3000:]))
            for p in ports:
                self.assertIn("new client from %s port %s\n" % (CLIENT, p), log)
                # Nothing listens for ident there, but it is asked, with the client's port.
                self.assertIn("ident lookup on %s:%s failed" % (CLIENT, p), log)
            self.assertNotIn("new client from %s" % BALANCER, log)
            self.assertNotIn("refused", log)
            self.assertNotIn("invalid format", log)


def free_port_range(count, host=HOST):
    """`count` consecutive ports free on `host` and on FRONT."""
    for _ in range(50):
        low = free_port()
        if low + count > 65535:
            continue
        socks = []
        try:
            for p in range(low, low + count):
                for h in (host, FRONT):
                    s = socket.socket()
                    socks.append(s)
                    s.bind((h, p))
            return low
        except OSError:
            continue
        finally:
            for s in socks:
                s.close()
    raise RuntimeError("no free port range")


FRONT = "127.0.0.4"  # the balancer's own address, the only one clients know


@unittest.skipUnless(haproxy_binary() and shutil.which("curl"), "haproxy or curl is not installed")
class PassivePortsThroughHAProxy(unittest.TestCase):
    """HAProxy forwards the control port and the passive port range, each with
    send-proxy-v2; curl in EPSV mode knows only the balancer's address."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="ferrylbdata-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.sites = []
        for name in ("s0", "s1"):
            root = os.path.join(self.tmp, name)
            write_tree(root, FILES[name])
            site = RealSite(root)
            self.addCleanup(site.stop)
            self.sites.append(site)
        low = free_port_range(10)
        self.daemon = Daemon([s.port for s in self.sites], {"proxyfrom": BALANCER,
                                                            "pasvports": "%d-%d" % (low, low + 9)})
        self.addCleanup(self.daemon.stop)
        self.front_port = free_port()
        lines = ["global", "  maxconn 200", "defaults", "  mode tcp", "  timeout connect 5s",
                 "  timeout client 60s", "  timeout server 60s",
                 "frontend control", "  bind %s:%d" % (FRONT, self.front_port), "  default_backend daemon_control",
                 "backend daemon_control",
                 "  server d %s:%d send-proxy-v2 source %s" % (HOST, self.daemon.port, BALANCER),
                 "frontend passive", "  bind %s:%d-%d" % (FRONT, low, low + 9), "  default_backend daemon_passive",
                 # No port: each connection goes to the port it came to.
                 "backend daemon_passive", "  server d %s send-proxy-v2 source %s" % (HOST, BALANCER)]
        conf = os.path.join(self.tmp, "haproxy.cfg")
        with open(conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.out = open(os.path.join(self.tmp, "haproxy.out"), "wb")
        self.addCleanup(self.out.close)
        proc = subprocess.Popen([haproxy_binary(), "-db", "-f", conf], stdout=self.out, stderr=subprocess.STDOUT)
        self.addCleanup(stop_process, proc)

        def up():
            with open("/proc/net/tcp") as f:
                return proc.poll() is None and (":%04X " % self.front_port) in f.read()
        self.assertTrue(wait_for(up), "haproxy did not start")

    def test_curl_in_epsv_mode_lists_and_fetches_through_the_balancer_and_a_headerless_peer_is_refused(self):
        url = "ftp://user:secret@%s:%d/" % (FRONT, self.front_port)
        root, cd1 = os.path.join(self.tmp, "root"), os.path.join(self.tmp, "cd1")
        argv = ["curl", "-sS", "--max-time", str(CURL_LIMIT), "--interface", CLIENT, "--ftp-method", "nocwd",
                "-o", root, url, "-o", cd1, url + "VCD/Movie-GRP/cd1.bin"]
        run = subprocess.run(argv, capture_output=True, timeout=CURL_LIMIT + 30, stdin=subprocess.DEVNULL)
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(root, "rb") as f:
            listing = f.read().decode("latin-1")
        for name in ("GAMES", "VCD", "only1.nfo", "rules.txt"):
            self.assertIn(name, listing)
        with open(cd1, "rb") as f:
            self.assertTrue(f.read() == FILES["s1"]["VCD/Movie-GRP/cd1.bin"])
        log = self.daemon.log()
        self.assertNotIn("refused", log)
        # A balancer's connection to a passive port without a header is not the client's.
        f = ftplib.FTP()
        f.connect(FRONT, self.front_port, timeout=30, source_address=(CLIENT, 0))
        self.addCleanup(f.close)
        f.login("user", "secret")
        port = int(re.search(r"\(\|\|\|(\d+)\|\)", f.sendcmd("EPSV")).group(1))
        with socket.create_connection((HOST, port), timeout=30, source_address=(BALANCER, 0)) as raw:
            raw.sendall(b"not a header at all\r\n")
            self.assertTrue(wait_for(lambda: "data connection from %s to port %d refused: no valid PROXY header"
                                     % (BALANCER, port) in self.daemon.log()), self.daemon.log()[-2000:])
        # The client's own, through the balancer, still gets the listing.
        lines = []
        with socket.create_connection((FRONT, port), timeout=30, source_address=(CLIENT, 0)) as data:
            f.putcmd("NLST")
            self.assertTrue(f.getresp().startswith("1"))
            while True:
                chunk = data.recv(65536)
                if not chunk:
                    break
                lines.append(chunk)
        self.assertTrue(f.voidresp().startswith("226"))
        self.assertIn(b"rules.txt", b"".join(lines))


class HeadersSentByHand(unittest.TestCase):
    """A scripted site shows the identity line the daemon sends for the client."""

    def setUp(self):
        self.site = ScriptedSite("site0", script=login_script())
        self.daemon = Daemon([self.site.port], {"proxyfrom": BALANCER, "bouncemodedown": "ca"})
        self.addCleanup(self.site.close)
        self.addCleanup(self.daemon.stop)

    def connect(self, source):
        s = socket.create_connection((HOST, self.daemon.port), timeout=WAIT, source_address=(source, 0))
        self.addCleanup(s.close)
        return s

    def read_reply(self, s):
        data = b""
        while not data.endswith(b"\n"):
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
        return data

    def closed_unanswered(self, s, within):
        s.settimeout(within)
        try:
            return s.recv(4096) == b""
        except ConnectionResetError:
            return True

    def test_a_trusted_header_names_the_client_in_the_identity_line(self):
        s = self.connect(BALANCER)
        # The client's first command in the same segment as the header: it must stay the client's.
        s.sendall(b"PROXY TCP4 198.51.100.9 127.0.0.1 5555 21\r\nUSER joe\r\n")
        self.assertTrue(self.read_reply(s).startswith(b"220 site0 ready.\r\n"))
        self.assertTrue(wait_for(lambda: "USER joe" in self.site.received()), self.site.received())
        self.assertEqual(self.site.received()[0], "AUTH *@198.51.100.9")
        self.assertIn("new client from 198.51.100.9 port 5555\n", self.daemon.log())

    def test_a_header_from_an_untrusted_peer_is_only_text(self):
        s = self.connect(CLIENT)
        self.assertTrue(self.read_reply(s).startswith(b"220 site0 ready.\r\n"))
        s.sendall(b"PROXY TCP4 198.51.100.9 127.0.0.1 5555 21\r\n")
        self.assertTrue(wait_for(lambda: len(self.site.received()) >= 3), self.site.received())
        # The NOOP marks where the answers to the identity line end.
        self.assertEqual(self.site.received()[:3],
                         ["AUTH *@%s" % CLIENT, "NOOP", "PROXY TCP4 198.51.100.9 127.0.0.1 5555 21"])
        log = self.daemon.log()
        self.assertIn("new client from %s port" % CLIENT, log)
        self.assertNotIn("198.51.100.9 port", log)

    def test_the_per_address_limit_counts_the_clients_not_the_balancer(self):
        d = Daemon([self.site.port], {"proxyfrom": BALANCER, "maxclientsperip": "1"})
        self.addCleanup(d.stop)

        def through_balancer(client):
            s = socket.create_connection((HOST, d.port), timeout=WAIT, source_address=(BALANCER, 0))
            self.addCleanup(s.close)
            s.sendall(b"PROXY TCP4 %s 127.0.0.1 5555 21\r\n" % client.encode())
            return self.read_reply(s)

        self.assertTrue(through_balancer("198.51.100.1").startswith(b"220 "))
        self.assertTrue(through_balancer("198.51.100.2").startswith(b"220 "))
        self.assertEqual(through_balancer("198.51.100.1"),
                         b"421 Too many connections from your address, try again later.\r\n")
        refused = "refused client from 198.51.100.1 port 5555: maxclientsperip reached"
        self.assertTrue(wait_for(lambda: refused in d.log()), d.log())

    def test_with_implicit_tls_the_handshake_follows_the_header_directly(self):
        base = tempfile.mkdtemp(prefix="ferrylbtls-")
        self.addCleanup(shutil.rmtree, base, True)
        cert, key = make_certificate(base)
        d = Daemon([self.site.port], {"proxyfrom": BALANCER, "clienttls": "implicit", "tlscertfile": cert,
                                      "tlskeyfile": key})
        self.addCleanup(d.stop)
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        raw = socket.create_connection((HOST, d.port), timeout=WAIT, source_address=(BALANCER, 0))
        # Version 2, PROXY, TCP over IPv4: 198.51.100.9 port 40000 to 127.0.0.1 port 990.
        raw.sendall(b"\r\n\r\n\x00\r\nQUIT\n\x21\x11\x00\x0c\xc6\x33\x64\x09\x7f\x00\x00\x01\x9c\x40\x03\xde")
        with ctx.wrap_socket(raw) as s:
            self.assertTrue(self.read_reply(s).startswith(b"220 site0 ready.\r\n"))
        self.assertIn("new client from 198.51.100.9 port 40000\n", d.log())

    def test_a_malformed_or_missing_header_closes_before_any_site_is_asked(self):
        bad = self.connect(BALANCER)
        bad.sendall(b"USER joe\r\n")
        self.assertTrue(self.closed_unanswered(bad, WAIT))
        self.assertTrue(wait_for(lambda: "malformed PROXY header from %s port" % BALANCER in self.daemon.log()))
        # v2 signature with a version nibble of 3.
        bad2 = self.connect(BALANCER)
        bad2.sendall(b"\r\n\r\n\x00\r\nQUIT\n\x31\x11\x00\x0c" + bytes(12))
        self.assertTrue(self.closed_unanswered(bad2, WAIT))
        started = time.monotonic()
        silent = self.connect(BALANCER)
        silent.sendall(b"PROXY TCP4 198.51.100.9")  # and no more
        self.assertTrue(self.closed_unanswered(silent, HEADER_WAIT + WAIT))
        self.assertGreaterEqual(time.monotonic() - started, HEADER_WAIT - 1)
        self.assertIn("no whole PROXY header from %s port" % BALANCER, self.daemon.log())
        self.assertEqual(len(self.site.sessions), 0)
        self.assertNotIn("new client", self.daemon.log())


if __name__ == "__main__":
    unittest.main()
