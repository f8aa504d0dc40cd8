"""Who the daemon lets in, and the clients it sheds: unreachable sites,
maxclients, maxclientsperip, logintimeout, and the start-up limit line."""

import os
import resource
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ferry_harness import HOST, WAIT, Daemon, RawClient, ScriptedSite, free_port, login_script, wait_for  # noqa: E402

GREETING = ["220 site0 ready.\r\n"]
TOO_MANY = ["421 Too many clients, try again later.\r\n"]
TOO_MANY_HERE = ["421 Too many connections from your address, try again later.\r\n"]
LIMIT = 512  # this module's descriptor hard limit, inherited by every daemon it starts


def setUpModule():
    # A known hard limit above the soft one: the daemon must raise its soft
    # limit to it and derive maxclients from it. Lowering a hard limit cannot
    # be undone, but this process runs only this module.
    global LIMIT
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < LIMIT:
        LIMIT = None
        return
    resource.setrlimit(resource.RLIMIT_NOFILE, (256, LIMIT))


class ClientFrom(RawClient):
    """A raw client whose connection leaves from `source`."""

    def __init__(self, port, source):
        self.sock = socket.create_connection((HOST, port), timeout=WAIT, source_address=(source, 0))
        self.buf = b""


class Admission(unittest.TestCase):
    def start(self, settings, sites=1, ports=()):
        self.sites = [ScriptedSite("site%d" % i, script=login_script()) for i in range(sites)]
        self.daemon = Daemon([s.port for s in self.sites] + list(ports), settings)
        self.addCleanup(self._stop)
        return self.daemon

    def _stop(self):
        self.daemon.stop()
        for s in self.sites:
            s.close()

    def client(self, source=HOST):
        c = ClientFrom(self.daemon.port, source)
        self.addCleanup(c.close)
        return c

    def assertRefused(self, c, reply):
        self.assertEqual(c.reply(), reply)
        self.assertTrue(c.closed_within(WAIT))
        self.assertEqual(c.buf, b"")

    def test_unreachable_site_is_named_in_a_421_line_before_the_close(self):
        dead = free_port()
        d = self.start({}, sites=1, ports=[dead])
        c = self.client()
        self.assertRefused(c, ["421 Site 2 is unreachable, try again later.\r\n"])
        self.assertRegex(d.log(), r"failed to relay client from 127\.0\.0\.1:\d+ to 127\.0\.0\.1:%d "
                                  r"\(Connection refused\)\n" % dead)

    def test_a_daemon_out_of_descriptors_says_too_many_clients_and_logs_why(self):
        d = self.start({}, sites=2)
        self.assertEqual(self.client().reply(), GREETING)
        # Room for the next client's control connection and its first site only.
        time.sleep(0.3)
        in_use = len(os.listdir("/proc/%d/fd" % d.proc.pid))
        _, hard = resource.prlimit(d.proc.pid, resource.RLIMIT_NOFILE)
        resource.prlimit(d.proc.pid, resource.RLIMIT_NOFILE, (in_use + 2, hard))
        self.assertRefused(self.client(), TOO_MANY)
        self.assertRegex(d.log(), r"failed to relay client from 127\.0\.0\.1:\d+ to 127\.0\.0\.1:%d "
                                  r"\(Too many open files\)\n" % self.sites[1].port)

    def test_maxclientsperip_refuses_the_third_from_one_address_only(self):
        d = self.start({"maxclientsperip": "2", "replytimeout": "30"})
        first, second = self.client(), self.client()
        self.assertEqual((first.reply(), second.reply()), (GREETING, GREETING))
        third = self.client()
        self.assertRefused(third, TOO_MANY_HERE)
        other = self.client("127.0.0.2")
        self.assertEqual(other.reply(), GREETING)
        self.assertEqual(len(self.sites[0].sessions), 3)
        self.assertRegex(d.log(), r"refused client from 127\.0\.0\.1 port \d+: maxclientsperip reached\n")
        # A client that leaves makes room for the next one from its address.
        first.close()
        self.assertTrue(wait_for(lambda: any(s.closed.is_set() for s in self.sites[0].sessions)))
        self.assertEqual(self.client().reply(), GREETING)

    def test_without_maxclientsperip_one_address_holds_more_than_ten(self):
        d = self.start({"maxclientsperip": None})
        clients = [self.client() for _ in range(12)]
        self.assertEqual([c.reply() for c in clients], [GREETING] * 12)
        self.assertNotIn("maxclientsperip reached", d.log())

    def test_maxclients_refuses_before_any_site_is_contacted(self):
        d = self.start({"maxclients": "1"}, sites=2)
        first = self.client()
        self.assertEqual(first.reply(), GREETING)
        second = self.client("127.0.0.3")
        self.assertRefused(second, TOO_MANY)
        time.sleep(0.3)  # a site connection made for it would have arrived by now
        self.assertEqual([len(s.sessions) for s in self.sites], [1, 1])
        self.assertRegex(d.log(), r"refused client from 127\.0\.0\.3 port \d+: maxclients reached\n")
        if LIMIT:
            self.assertIn("maxclients 1 (descriptor limit %d)\n" % LIMIT, d.log())

    def test_logintimeout_sheds_the_silent_client_and_keeps_the_logged_in_one(self):
        d = self.start({"logintimeout": "1"})
        started = time.monotonic()
        idle, active = self.client(), self.client()
        self.assertEqual((idle.reply(), active.reply()), (GREETING, GREETING))
        self.assertEqual(active.cmd("USER u"), ["331 Password required.\r\n"])
        self.assertEqual(active.cmd("PASS p"), ["230 User logged in.\r\n"])
        self.assertEqual(idle.reply(), ["421 Login not completed in time (1 s).\r\n"])
        self.assertLess(time.monotonic() - started, 2.5)
        self.assertTrue(idle.closed_within(WAIT))
        self.assertTrue(wait_for(lambda: [s.closed.is_set() for s in self.sites[0].sessions].count(True) == 1))
        self.assertRegex(d.log(), r"client from 127\.0\.0\.1 port \d+ did not log in within 1 s\n")
        time.sleep(max(0.0, started + 2.0 - time.monotonic()))
        self.assertEqual(active.cmd("NOOP"), ["200 site0 ok.\r\n"])

    def test_default_maxclients_comes_from_the_raised_descriptor_limit(self):
        if not LIMIT:
            self.skipTest("descriptor hard limit below %d" % 512)
        d = self.start({"maxclients": None}, sites=3)
        # 32 descriptors kept back, 3 * 3 + 2 per client.
        self.assertIn("maxclients %d (descriptor limit %d)\n" % ((LIMIT - 32) // 11, LIMIT), d.log())
        self.assertEqual(self.client().reply(), GREETING)


if __name__ == "__main__":
    unittest.main()
