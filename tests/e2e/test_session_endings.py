"""Sessions that end when they should and say why: a client that leaves, a
site that closes, a transfer whose site never completes it or whose data
connection fails, idle sites kept open, and replies longer than a slice."""

import os
import shutil
import socket
import sys
import tempfile
import threading
import time
import unittest

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "support"))
sys.path.insert(0, os.path.join(here, "..", "data"))
from ferry_harness import HOST, Daemon, RawClient, ScriptedSite, ScriptedSitesCase, login_script, wait_for  # noqa: E402
from data_peers import ListingScript, three_listings  # noqa: E402
from real_sites import VsftpdSite, vsftpd_available  # noqa: E402


def later(seconds, action):
    t = threading.Timer(seconds, action)
    t.daemon = True
    t.start()


def read_all(sock):
    sock.settimeout(10)
    parts = []
    while True:
        data = sock.recv(65536)
        if not data:
            return b"".join(parts)
        parts.append(data)


def closed_port():
    s = socket.socket()
    s.bind((HOST, 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Endings(ScriptedSitesCase):
    def test_a_client_that_closes_ends_its_session_though_a_reply_is_owed(self):
        # The site announces a transfer and never completes it.
        self.start_sites([login_script(extra={"RETR ": "150 Opening data connection.\r\n"}), login_script()])
        c = self.client()
        self.assertEqual(c.cmd("RETR x"), ["150 Opening data connection.\r\n"])
        c.close()
        for site in self.sites:
            self.assertTrue(site.sessions[0].closed.wait(3), site.name)

    def test_a_site_that_closes_mid_transfer_is_named_after_a_426(self):
        def cut(session, line):
            later(0.3, session.close)
            return "150 Opening data connection.\r\n"

        self.start_sites([login_script(extra={"RETR ": cut}), login_script()])
        c = self.client()
        self.assertEqual(c.cmd("RETR x"), ["150 Opening data connection.\r\n"])
        self.assertEqual([c.reply(), c.reply()], [["426 Site 1 closed its connection, transfer aborted.\r\n"],
                                                  ["421 Site 1 closed its connection, closing the session.\r\n"]])
        self.assertTrue(c.closed_within(3))
        self.assertEqual(c.buf, b"")
        self.assertIn("site 1 closed its connection, closing the session of 127.0.0.1\n", self.daemon.log())

    def test_a_carried_listing_whose_site_never_completes_gets_426_and_the_session_goes_on(self):
        listings, _ = three_listings(20)
        scripts = [ListingScript(l) for l in listings[:2]]

        def no_completion(session, line):
            # Serves its listing, then never says it is done.
            session.send("150 Here comes the directory listing.\r\n")
            conn, _ = session.data_listener.accept()
            with conn:
                conn.sendall(listings[1].encode())
            return None

        late = login_script(extra={"PASV": scripts[1]._pasv, "LIST": no_completion,
                                   "ABOR": "426 Aborted.\r\n226 Abort done.\r\n"})
        self.start_sites([scripts[0].script(), late], {"replytimeout": "2"})
        c = self.client()
        reply = c.cmd("PASV")[0]
        nums = reply[reply.index("(") + 1:reply.index(")")].split(",")
        data = socket.create_connection((HOST, int(nums[4]) * 256 + int(nums[5])), timeout=10)
        c.send("LIST\r\n")
        self.assertEqual(c.reply(), ["150 Here comes the directory listing.\r\n"])
        self.assertIn(b"site1.1", read_all(data))
        data.close()
        started = time.monotonic()
        self.assertEqual(c.reply(), ["426 Site 2 did not complete the transfer in time.\r\n"])
        self.assertLess(time.monotonic() - started, 6)
        # The site's answers to the abort are used up, never shown.
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])
        self.assertEqual(c.cmd("PWD"), ['257 "/" is current directory.\r\n'])
        self.assertTrue(c.nothing_within(0.5))
        self.assertEqual(self.sites[1].received()[-4:], ["LIST", "ABOR", "NOOP", "PWD"])

    def test_a_failed_data_connection_to_a_site_aborts_its_transfer_with_426(self):
        listings, _ = three_listings(20)
        first = ListingScript(listings[0])
        dead = closed_port()
        # Its passive port takes no connection; it waits for one for ever.
        broken = login_script(extra={
            "PASV": "227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n" % (dead // 256, dead % 256),
            "LIST": "150 Opening data connection.\r\n", "ABOR": "426 Aborted.\r\n226 Abort done.\r\n"})
        self.start_sites([first.script(), broken])
        c = self.client()
        self.assertTrue(c.cmd("PASV")[0].startswith("227 "))
        c.send("LIST\r\n")
        # No data can come: one 4xx line ends the transfer (no 1xx before it).
        reply = c.reply()
        self.assertEqual(len(reply), 1)
        self.assertRegex(reply[0], r"^42[56] ")
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])
        self.assertEqual(c.cmd("PWD"), ['257 "/" is current directory.\r\n'])
        self.assertTrue(c.nothing_within(0.5))
        self.assertEqual(self.sites[1].received()[-4:], ["LIST", "ABOR", "NOOP", "PWD"])
        self.assertIn("data connection to site 2 failed, its transfer for 127.0.0.1 aborted\n", self.daemon.log())

    def test_long_replies_pass_line_by_line_and_a_merge_too_long_is_refused(self):
        lines = ["257-%05d %s\r\n" % (i, "x" * 60) for i in range(320)]  # some 21 KB
        long_pwd = "".join(lines) + '257 "/" is current directory.\r\n'
        long_line = "200 " + "y" * 20000 + "\r\n"
        who = "200-" + "".join("| user%d | idle |\r\n" % i for i in range(1500)) + "200 Command Successful.\r\n"
        self.start_sites([login_script(extra={"PWD": long_pwd, "SITE LONG": long_line}),
                          login_script(extra={"SITE MWHO": who})])
        c = self.client()
        self.assertEqual("".join(c.cmd("PWD")), long_pwd)
        self.assertEqual(c.cmd("SITE LONG"), [long_line])
        self.assertEqual(c.cmd("SITE WHO"), ["550 SITE WHO: reply too long to merge.\r\n"])
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])
        log = self.daemon.log()
        self.assertIn("reply of site 1 to PWD passes 16383 bytes, sent on line by line", log)
        self.assertIn("reply of site 2 to SITE WHO is too long to merge", log)


class Greeting(unittest.TestCase):
    def test_a_site_that_never_greets_is_named_whichever_limit_runs_out_first(self):
        sites = [ScriptedSite("site0", script=login_script()), ScriptedSite("site1", greeting=None)]
        self.addCleanup(lambda: [s.close() for s in sites])
        for limits in ({"logintimeout": "1", "replytimeout": "30"}, {"logintimeout": "1", "replytimeout": "1"}):
            d = Daemon([s.port for s in sites], limits)
            self.addCleanup(d.stop)
            c = d.client()
            self.addCleanup(c.close)
            self.assertEqual(c.reply(), ["421 Site 2 did not answer in time, closing the session.\r\n"], limits)
            self.assertTrue(c.closed_within(5))


@unittest.skipUnless(vsftpd_available(), "vsftpd and root needed")
class IdleSite(unittest.TestCase):
    """vsftpd as site 1 closes sessions idle for 3 s; site 0 holds GAMES and
    runs a transfer of 7 s."""

    def run_session(self, keepalive):
        root = tempfile.mkdtemp(prefix="ferryidle-")
        self.addCleanup(shutil.rmtree, root, True)
        vs = VsftpdSite(root, extra=["idle_session_timeout=3"])
        self.addCleanup(vs.stop)

        def slow_transfer(session, line):
            later(7, lambda: session.send("226 Transfer complete.\r\n"))
            return "150 Opening data connection.\r\n"

        scripted = ScriptedSite("site0", script=login_script(extra={
            "USER ": "331 Password required.\r\n", "CWD ": "250 Directory changed.\r\n", "RETR ": slow_transfer}))
        self.addCleanup(scripted.close)
        d = Daemon([scripted.port, vs.port], {"sitekeepalive": str(keepalive), "replytimeout": "20"})
        self.addCleanup(d.stop)
        c = d.client()
        self.addCleanup(c.close)
        c.reply()
        c.cmd("USER " + vs.user)
        self.assertEqual(c.cmd("PASS " + vs.password), ["230 User logged in.\r\n"])
        self.assertEqual(c.cmd("CWD /GAMES"), ["250 Directory changed.\r\n"])
        self.assertEqual(c.cmd("RETR big.rar"), ["150 Opening data connection.\r\n"])
        return c, d

    def test_keepalive_holds_an_idle_site_through_a_long_transfer_on_the_other(self):
        c, d = self.run_session(1)
        self.assertEqual(c.reply(), ["226 Transfer complete.\r\n"])
        # Both sites still answer.
        self.assertEqual(c.cmd("CWD /"), ["250 Directory changed.\r\n"])
        self.assertEqual(c.cmd("PWD"), ['257 "/" is current directory.\r\n'])
        self.assertTrue(c.nothing_within(1.5))
        # Without it the idle site closes, in its own words, and the cut transfer hears first.
        c, d = self.run_session(0)
        self.assertEqual([c.reply(), c.reply()], [["426 Site 2 closed its connection, transfer aborted.\r\n"],
                                                  ["421 Timeout.\r\n"]])
        self.assertTrue(c.closed_within(5))


if __name__ == "__main__":
    unittest.main()
