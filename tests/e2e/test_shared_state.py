"""Two daemons behind HAProxy sharing a Redis store: who-lists hide the
other instance's extra sessions, maxclientsperip counts across instances,
a site one instance found down is skipped by the other, and a store that
stops and comes back costs the sessions nothing."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "rewrite"))
from ferry_harness import (HOST, WAIT, Daemon, RawClient, ScriptedSite, free_port, login_script,  # noqa: E402
                           stop_process, wait_for)
from test_load_balancer import BALANCER, CLIENT, HAProxy, haproxy_binary  # noqa: E402
import site_tables as t  # noqa: E402

REDIS = shutil.which("redis-server", path=os.environ.get("PATH", "") + ":/usr/sbin:/usr/bin")
REFUSED = "421 Too many connections from your address, try again later.\r\n"


class Redis:
    def __init__(self, port=None):
        self.port = port or free_port()
        self.proc = subprocess.Popen([REDIS, "--bind", HOST, "--port", str(self.port), "--save", "",
                                      "--appendonly", "no"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(self.answers):
            self.stop()
            raise RuntimeError("redis-server did not start")

    def answers(self):
        try:
            with socket.create_connection((HOST, self.port), timeout=1) as s:
                s.sendall(b"PING\r\n")
                return s.recv(16).startswith(b"+PONG")
        except OSError:
            return False

    def stop(self):
        stop_process(self.proc)


def who_reply(site, session, line):
    """SITE MWHO: one user line per session the site holds open."""
    with site.lock:
        ids = [1000 + s.index for s in site.sessions if not s.closed.is_set()]
    return t.WhoTable(site.name, [t.who_user("IDLE", "u%d" % i, i) for i in ids]).text()


def user_lines(reply):
    return [l for l in reply if " is around" in l]


class Counter:
    """A listener on a stopped site's port that counts who tries it and hangs up."""

    def __init__(self, port):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((HOST, port))
        self.sock.listen(16)
        self.sock.settimeout(0.1)
        self.tries = 0
        self.done = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.done:
            try:
                conn, _ = self.sock.accept()
            except (socket.timeout, OSError):
                continue
            self.tries += 1
            conn.close()

    def stop(self):
        self.done = True
        self.thread.join(WAIT)
        self.sock.close()


@unittest.skipUnless(REDIS and haproxy_binary(), "redis-server or haproxy is not installed")
class SharedAcrossInstances(unittest.TestCase):
    def setUp(self):
        self.redis = Redis()
        self.addCleanup(lambda: self.redis.stop())
        self.sites = []
        for i in range(3):
            site = ScriptedSite(name="site%d" % i, script=login_script())
            site.script["SITE MWHO"] = lambda s, line, site=site: who_reply(site, s, line)
            self.sites.append(site)
            self.addCleanup(site.close)
        settings = {"proxyfrom": "%s/32" % BALANCER, "maxclientsperip": "2", "sitedown": "degrade",
                    "sharedstate": "redis://%s:%d" % (HOST, self.redis.port), "sharedstateprefix": "t%d" % os.getpid()}
        self.daemons = []
        for _ in range(2):
            d = Daemon([s.port for s in self.sites], settings)
            self.addCleanup(d.stop)
            self.daemons.append(d)
        self.haproxy = HAProxy([d.port for d in self.daemons])
        self.addCleanup(self.haproxy.stop)

    def login(self, daemon=None, port=None, source=None):
        c = RawClient(port or daemon.port) if source is None else self.from_client(port)
        self.addCleanup(c.close)
        greeting = c.reply()
        if greeting[0].startswith("421"):
            return c, greeting
        c.cmd("USER u")
        return c, c.cmd("PASS p")

    def from_client(self, port):
        c = RawClient.__new__(RawClient)
        c.sock = socket.socket()
        c.sock.settimeout(WAIT)
        c.sock.bind((CLIENT, 0))
        c.sock.connect((HOST, port))
        c.buf = b""
        return c

    def test_presence_limits_health_and_the_store_going_away(self):
        a, b = self.daemons
        ca, ok = self.login(a)
        self.assertEqual(ok, ["230 User logged in.\r\n"])
        cb, ok = self.login(b)
        self.assertEqual(ok, ["230 User logged in.\r\n"])
        # Two users on three sites: each shown once, asked through either instance.
        self.assertEqual(len(user_lines(ca.cmd("SITE WHO"))), 2)
        self.assertEqual(len(user_lines(cb.cmd("SITE WHO"))), 2)

        # Through the balancer, in turn to each instance: the third from one address is refused.
        through = [self.login(port=self.haproxy.ports["v2"], source=CLIENT) for _ in range(3)]
        self.assertEqual([r for _, r in through[:2]], [["230 User logged in.\r\n"]] * 2)
        self.assertEqual(through[2][1], [REFUSED])
        self.assertTrue(all("new client from %s" % CLIENT in d.log() for d in self.daemons))
        for c, _ in through:
            c.close()

        # Site 3 stops; an instance-A session finds it down, B's next session does not try it.
        for c in (ca, cb):
            c.cmd("QUIT")
            c.close()
        self.assertTrue(wait_for(lambda: all(s.closed.is_set() for s in self.sites[2].sessions)))
        port3 = self.sites[2].port
        self.sites[2].close()
        ca, ok = self.login(a)
        self.assertEqual(ok, ["230 User logged in.\r\n"])
        self.assertTrue(wait_for(lambda: "site 3 is down" in a.log()))
        counter = Counter(port3)
        self.addCleanup(counter.stop)
        cb, ok = self.login(b)
        self.assertEqual(ok, ["230 User logged in.\r\n"])
        self.assertEqual(counter.tries, 0)
        self.assertIn("site 3 is down: so another instance found", b.log())
        counter.stop()
        self.assertEqual(len(user_lines(ca.cmd("SITE WHO"))), 2)

        # The store stops: sessions go on, logins too, the who-list is the local view.
        self.redis.stop()
        self.assertEqual(cb.cmd("NOOP"), ["200 site0 ok.\r\n"])
        self.assertEqual(len(user_lines(ca.cmd("SITE WHO"))), 3)
        self.assertIn("shared state unavailable: ", a.log())
        started = time.monotonic()
        cc, ok = self.login(a)
        self.assertEqual(ok, ["230 User logged in.\r\n"])
        self.assertLess(time.monotonic() - started, 5)
        cc.close()

        # Back again: B writes its sessions again within one refresh.
        self.redis = Redis(self.redis.port)
        self.assertTrue(wait_for(lambda: len(user_lines(ca.cmd("SITE WHO"))) == 2, timeout=20, step=0.5))
        self.assertTrue(wait_for(lambda: "shared state back" in a.log() and "shared state back" in b.log()))


if __name__ == "__main__":
    unittest.main()
