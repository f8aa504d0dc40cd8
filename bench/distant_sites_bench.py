"""Distant sites: what a session costs when every site leg crosses a real
network, and what an idle protected session costs in memory.

Usage: distant_sites_bench.py FERRYNET_BINARY [--delay-ms D] [--rounds N] [--idle N]
Three pyftpdlib sites on 127.0.0.1, each behind a delay proxy of its own
(tests/support/delay_proxy.py: its connect to the site and every chunk held
D ms each way, the sites' passive data ports proxied the same way). For
plain sites and for TLS sites (`sitetls yes`), in the same run:
  greeting  connect to the first reply line;
  login     connect to the 230 reply (direct with TLS: AUTH TLS and the
            handshake first, as an FTPS client does);
  LIST      PASV, LIST read to its end and the completion reply, at the root
            (direct with TLS: PROT P; through ferrynet every site's data leg
            is protected), against one site directly through its proxy.
Rounds alternate direct and through ferrynet; medians are compared. Then the
daemon's resident memory grows by what N idle sessions cost (no proxies),
plain and with TLS on the client leg and all three site legs.
Exits non-zero only when a session fails or a merged listing is wrong.
"""

import argparse
import os
import shutil
import socket
import ssl
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from far_sites import FarSite  # noqa: E402
from ferry_harness import HOST, Daemon  # noqa: E402
from real_sites import make_certificate  # noqa: E402

USER, PASSWORD = "user", "secret"
TLS_GREETING_TARGET = 1.3
TLS_LOGIN_TARGET = 1.3
PLAIN_LOGIN_TARGET = 1.4
LIST_TARGET = 1.3
IDLE_TLS_TARGET_KIB = 110


def insecure_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


class Control:
    """A control connection that reads whole replies."""

    def __init__(self, port):
        self.sock = socket.create_connection((HOST, port), timeout=60)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.f = self.sock.makefile("rb")
        self.ctx = insecure_context()

    def reply(self):
        lines = []
        while True:
            line = self.f.readline()
            if not line:
                raise EOFError("closed after %r" % lines)
            lines.append(line)
            if len(line) > 3 and line[3:4] == b" " and not line.startswith(b"1"):
                return b"".join(lines).decode("latin-1")

    def cmd(self, line, want=None):
        self.sock.sendall(line.encode() + b"\r\n")
        r = self.reply()
        if want and not r.startswith(want):
            raise RuntimeError("%s answered %r" % (line.split()[0], r))
        return r

    def secure(self):
        self.cmd("AUTH TLS", "234")
        self.sock = self.ctx.wrap_socket(self.sock, server_hostname=HOST)
        self.f = self.sock.makefile("rb")

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def pasv_address(reply):
    nums = reply[reply.index("(") + 1:reply.index(")")].split(",")
    return ".".join(nums[:4]), int(nums[4]) * 256 + int(nums[5])


def session(port, tls_client):
    """(greeting s, login s, LIST s, names): one whole session."""
    start = time.perf_counter()
    c = Control(port)
    try:
        c.reply()
        greeting = time.perf_counter() - start
        if tls_client:
            c.secure()
        c.cmd("USER " + USER)
        c.cmd("PASS " + PASSWORD, "230")
        login = time.perf_counter() - start
        if tls_client:
            c.cmd("PBSZ 0", "200")
            c.cmd("PROT P", "200")
        c.cmd("TYPE A", "200")
        t = time.perf_counter()
        host, dport = pasv_address(c.cmd("PASV", "227"))
        data = socket.create_connection((host, dport), timeout=60)
        c.sock.sendall(b"LIST\r\n")
        line = c.f.readline()
        if not line.startswith(b"1"):
            raise RuntimeError("LIST answered %r" % line)
        if tls_client:
            data = c.ctx.wrap_socket(data, server_hostname=HOST, session=c.sock.session)
        raw = b""
        while True:
            chunk = data.recv(65536)
            if not chunk:
                break
            raw += chunk
        data.close()
        done = c.reply()
        if not done.startswith("226"):
            raise RuntimeError("LIST ended with %r" % done)
        listing = time.perf_counter() - t
        c.sock.sendall(b"QUIT\r\n")
    finally:
        c.close()
    names = sorted(l.split()[-1] for l in raw.decode("latin-1").splitlines() if l.strip())
    return greeting, login, listing, names


def tls_setup_seconds(port):
    """One site's AUTH TLS, handshake, PBSZ and PROT, after its greeting."""
    c = Control(port)
    try:
        c.reply()
        t = time.perf_counter()
        c.secure()
        c.cmd("PBSZ 0", "200")
        c.cmd("PROT P", "200")
        return time.perf_counter() - t
    finally:
        c.close()


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def idle_cost_kib(daemon, count, tls):
    """RSS growth per idle session, logged in (and with PROT P where protected)."""
    before = rss_kib(daemon.proc.pid)
    held = []
    try:
        for _ in range(count):
            c = Control(daemon.port)
            held.append(c)
            c.reply()
            if tls:
                c.secure()
            c.cmd("USER " + USER)
            c.cmd("PASS " + PASSWORD, "230")
            if tls:
                c.cmd("PBSZ 0", "200")
                c.cmd("PROT P", "200")
        time.sleep(1.0)
        return (rss_kib(daemon.proc.pid) - before) / count
    finally:
        for c in held:
            c.close()


def compare(label, direct, through, extra=0.0, target=None):
    d, m = statistics.median(direct), statistics.median(through)
    ratio = m / (d + extra)
    verdict = ""
    if target:
        verdict = "target %.1f: %s" % (target, "met" if ratio <= target else "MISSED")
    print("%-34s %10.1f %12.1f %7.2f  %s" % (label, (d + extra) * 1e3, m * 1e3, ratio, verdict))


def run_kind(args, binary, base, cert, key, tls):
    roots, names = [], set()
    for s in range(3):
        root = os.path.join(base, "%s%d" % ("tls" if tls else "plain", s))
        os.makedirs(root)
        for i in range(30):
            name = "shared.%d" % i if i % 3 == 0 else "site%d.%d" % (s, i)
            open(os.path.join(root, name), "w").close()
            names.add(name)
        roots.append(root)
    sites, taken, daemon = [], [], None
    try:
        for root in roots:
            sites.append(FarSite(root, cert if tls else None, key if tls else None, delay_ms=args.delay_ms,
                                 taken=taken))
        settings = {"log": "ei", "replytimeout": "60"}
        if tls:
            settings["sitetls"] = "yes"
        daemon = Daemon([s.port for s in sites], settings, binary=binary)
        direct = {"greeting": [], "login": [], "list": []}
        through = {"greeting": [], "login": [], "list": []}
        setup = []
        one_site = sorted(os.listdir(roots[0]))
        for r in range(args.rounds + 1):
            g, l, t, got = session(sites[0].port, tls)
            if got != one_site:
                sys.exit("direct listing wrong: %r" % got)
            s = tls_setup_seconds(sites[0].port) if tls else 0.0
            mg, ml, mt, mgot = session(daemon.port, False)
            if mgot != sorted(names):
                sys.exit("merged listing is not the union of the names: %r" % mgot)
            if r == 0:
                continue  # warming round
            for k, v in (("greeting", g), ("login", l), ("list", t)):
                direct[k].append(v)
            for k, v in (("greeting", mg), ("login", ml), ("list", mt)):
                through[k].append(v)
            setup.append(s)
        kind = "TLS (sitetls yes)" if tls else "plain"
        print("%s, D = %d ms, median of %d rounds" % (kind, args.delay_ms, args.rounds))
        print("%-34s %10s %12s %7s" % ("", "direct ms", "ferrynet ms", "ratio"))
        if tls:
            compare("greeting (direct + one TLS set-up)", direct["greeting"], through["greeting"],
                    statistics.median(setup), TLS_GREETING_TARGET)
            compare("greeting (direct alone)", direct["greeting"], through["greeting"])
            compare("login (direct FTPS)", direct["login"], through["login"], target=TLS_LOGIN_TARGET)
            compare("root LIST (direct PROT P)", direct["list"], through["list"], target=LIST_TARGET)
        else:
            compare("greeting", direct["greeting"], through["greeting"])
            compare("login", direct["login"], through["login"], target=PLAIN_LOGIN_TARGET)
            compare("root LIST", direct["list"], through["list"], target=LIST_TARGET)
    finally:
        if daemon:
            daemon.stop()
        for s in sites:
            s.stop()
    return roots


def run_idle(args, binary, roots, cert, key):
    results = {}
    for tls in (False, True):
        sites, daemon = [], None
        try:
            for root in roots[3 * tls:3 * tls + 3]:
                sites.append(FarSite(root, cert if tls else None, key if tls else None))
            settings = {"log": "ei"}
            if tls:
                settings.update({"sitetls": "yes", "clienttls": "yes", "tlscertfile": cert, "tlskeyfile": key})
            daemon = Daemon([s.port for s in sites], settings, binary=binary)
            # One session first: what every session shares (contexts, arenas) is not counted.
            idle_cost_kib(daemon, 1, tls)
            results[tls] = idle_cost_kib(daemon, args.idle, tls)
        finally:
            if daemon:
                daemon.stop()
            for s in sites:
                s.stop()
    print("idle session, %d sessions, RSS growth per session: plain %.1f KiB; TLS on all four legs %.1f KiB"
          " (target %d: %s)" % (args.idle, results[False], results[True], IDLE_TLS_TARGET_KIB,
                                "met" if results[True] <= IDLE_TLS_TARGET_KIB else "MISSED"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--delay-ms", type=int, default=25)
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--idle", type=int, default=300, help="idle sessions for the memory figure (0: none)")
    ap.add_argument("--no-timing", action="store_true", help="the memory figure alone")
    args = ap.parse_args()
    binary = os.path.abspath(args.binary)
    base = tempfile.mkdtemp(prefix="ferrybench-far-")
    try:
        cert, key = make_certificate(base)
        if args.no_timing:
            roots = []
            for k in range(6):
                roots.append(os.path.join(base, "idle%d" % k))
                os.makedirs(roots[-1])
        else:
            roots = run_kind(args, binary, base, cert, key, False)
            roots += run_kind(args, binary, base, cert, key, True)
        if args.idle:
            run_idle(args, binary, roots, cert, key)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
