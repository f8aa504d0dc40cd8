"""Sites far away: three pyftpdlib TLS sites behind delay proxies (data ports
too). A session with `sitetls yes` starts at the pace of one site, not of
three; a refusal still names the first refusing site in site order."""

import ftplib
import os
import shutil
import socket
import ssl
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from delay_proxy import DelayProxy  # noqa: E402
from ferry_harness import HOST, Daemon, RawClient, ScriptedSite  # noqa: E402
from real_sites import make_certificate  # noqa: E402
from far_sites import FarSite  # noqa: E402

DELAY_MS = 100
ROUNDS = 3


def reply(f):
    lines = []
    while True:
        line = f.readline()
        if not line:
            raise EOFError("closed after %r" % lines)
        lines.append(line)
        if len(line) > 3 and line[3:4] == b" ":
            return b"".join(lines)


def direct_setup_seconds(port):
    """Greeting, AUTH TLS, handshake, PBSZ and PROT with one site, as the daemon makes them."""
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    start = time.perf_counter()
    with socket.create_connection((HOST, port), timeout=30) as s:
        f = s.makefile("rb")
        reply(f)
        s.sendall(b"AUTH TLS\r\n")
        assert reply(f).startswith(b"234")
        with ctx.wrap_socket(s, server_hostname=HOST) as t:
            tf = t.makefile("rb")
            for cmd in (b"PBSZ 0\r\n", b"PROT P\r\n"):
                t.sendall(cmd)
                assert reply(tf).startswith(b"200")
            return time.perf_counter() - start


class DistantSites(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.base = tempfile.mkdtemp(prefix="ferry-distant-")
        cls.cert, cls.key = make_certificate(cls.base)
        cls.sites, cls.roots, taken = [], [], []
        try:
            for i in range(3):
                root = os.path.join(cls.base, "s%d" % i)
                os.makedirs(root)
                for name in ("shared.txt", "only%d.txt" % i):
                    with open(os.path.join(root, name), "w") as f:
                        f.write("site %d\n" % i)
                cls.roots.append(root)
                cls.sites.append(FarSite(root, cls.cert, cls.key, delay_ms=DELAY_MS, taken=taken))
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for s in cls.sites:
            s.stop()
        shutil.rmtree(cls.base, ignore_errors=True)

    def test_tls_session_starts_at_the_pace_of_one_site_and_lists_through_every_proxy(self):
        daemon = Daemon([s.port for s in self.sites], {"sitetls": "yes", "replytimeout": "30"})
        self.addCleanup(daemon.stop)
        one_site = min(direct_setup_seconds(self.sites[0].port) for _ in range(ROUNDS))
        through = []
        for _ in range(ROUNDS):
            start = time.perf_counter()
            c = RawClient(daemon.port, timeout=30)
            greeting = c.reply()
            through.append(time.perf_counter() - start)
            self.assertTrue(greeting[-1].startswith("220 "), greeting)
            c.close()
        self.assertLess(min(through), 2 * one_site,
                        "greeting through ferrynet %.0f ms, one site's set-up %.0f ms"
                        % (min(through) * 1e3, one_site * 1e3))

        # The merged root listing: every site's data port reached through
        # its proxy and protected, all at once.
        f = ftplib.FTP()
        f.connect(HOST, daemon.port, timeout=30)
        self.addCleanup(f.close)
        f.login("user", "secret")
        names = set()
        for root in self.roots:
            names.update(os.listdir(root))
        self.assertEqual(sorted(f.nlst()), sorted(names))
        f.quit()
        self.assertNotIn("failed", daemon.log())

    def test_refusal_names_the_first_refusing_site_even_when_a_later_one_refuses_sooner(self):
        refusing = [ScriptedSite(name="r%d" % i, script={"AUTH TLS": "504 Not here.\r\n"}) for i in range(2)]
        slow = DelayProxy(DELAY_MS, refusing[0].port)
        for s in refusing:
            self.addCleanup(s.close)
        self.addCleanup(slow.stop)
        daemon = Daemon([self.sites[0].port, slow.port, refusing[1].port], {"sitetls": "yes", "replytimeout": "30"})
        self.addCleanup(daemon.stop)
        c = RawClient(daemon.port, timeout=30)
        self.addCleanup(c.close)
        self.assertEqual(c.reply(), ["421 Site 2 refused a protected connection, closing.\r\n"])
        self.assertTrue(c.closed_within(10))
        self.assertIn("site 2 refused TLS for 127.0.0.1 (AUTH TLS answered 504 Not here.)", daemon.log())


if __name__ == "__main__":
    unittest.main()
