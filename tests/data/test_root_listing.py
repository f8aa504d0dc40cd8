"""Root listings through the real daemon with scripted sites: both modes,
listings that cross every read boundary, failures the client must hear of,
early ends, and many clients at once."""

import ftplib
import os
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from data_peers import ListingScript, entry, names_of, three_listings, daemon_usage, wait_for  # noqa: E402
from ferry_harness import Daemon, ScriptedSite  # noqa: E402


class RootCase(unittest.TestCase):
    def start(self, listings, pieces=(1000, 777, 1500), pasv=()):
        pasv = list(pasv) + [None] * len(listings)
        self.scripts = [ListingScript(l, pieces[i % len(pieces)], pasv[i]) for i, l in enumerate(listings)]
        self.sites = [ScriptedSite("site%d" % i, script=s.script()) for i, s in enumerate(self.scripts)]
        self.daemon = Daemon([s.port for s in self.sites], {"log": "ceritp"})
        self.addCleanup(self._stop)

    def _stop(self):
        self.daemon.stop()
        for s in self.sites:
            s.close()

    def ftp(self, passive=True):
        f = ftplib.FTP()
        f.connect("127.0.0.1", self.daemon.port, timeout=30)
        self.addCleanup(f.close)
        f.login("u", "p")
        f.set_pasv(passive)
        return f

    def listing(self, f):
        lines = []
        f.retrlines("LIST", lines.append)
        return lines

    def assert_union(self, lines, names):
        got = names_of(lines)
        self.assertEqual(len(got), len(set(got)), "a name arrived twice")
        self.assertEqual(set(got), names)
        self.assertFalse([l for l in lines if l.startswith("total")])


class RootListing(RootCase):
    def test_passive_and_active_merge_big_listings_cut_anywhere(self):
        listings, names = three_listings(20000)
        # One site ends its lines in a bare LF; the names must still compare whole.
        listings[2] = listings[2].replace("\r\n", "\n")
        self.start(listings)
        f = self.ftp()
        self.assert_union(self.listing(f), names)
        f.set_pasv(False)
        self.assert_union(self.listing(f), names)
        self.assertEqual(f.pwd(), "/")

    def test_site_listing_nothing_leaves_the_others(self):
        listings, _ = three_listings(500)
        listings[1] = ""
        self.start(listings)
        want = set(names_of(listings[0].splitlines()[1:] + listings[2].splitlines()[1:]))
        for passive in (True, False):
            self.assert_union(self.listing(self.ftp(passive)), want)

    def test_malformed_pasv_reply_answers_the_client_and_the_session_goes_on(self):
        listings, _ = three_listings(10)
        # A terminal escape sequence in it must reach standard output escaped.
        self.start(listings, pasv=[None, "227 Entering \x1b[2J Passive Mode 127,0,0,1,4,1\r\n"])
        c = self.daemon.client()
        self.addCleanup(c.close)
        c.reply()
        c.cmd("USER u")
        c.cmd("PASS p")
        self.assertEqual(c.cmd("PASV"), ["425 Cannot open a data connection.\r\n"])
        self.assertTrue(wait_for(lambda: "PASV reply from server in wrong syntax: "
                                 "227 Entering \\x1b[2J Passive Mode 127,0,0,1,4,1\n" in self.daemon.log()))
        out = self.daemon.output()
        self.assertIn("CURDIR 227 Entering \\x1b[2J Passive Mode 127,0,0,1,4,1\\r\\n\n, 1\n", out)
        self.assertNotIn("\x1b", out)
        self.assertEqual(c.cmd("PWD"), ['257 "/" is current directory.\r\n'])

    def test_malformed_and_bouncing_port_commands_are_answered_and_reach_no_site(self):
        listings, _ = three_listings(10)
        self.start(listings)
        c = self.daemon.client()
        self.addCleanup(c.close)
        c.reply()
        c.cmd("USER u")
        c.cmd("PASS p")
        refused = "504 PORT must name your own address and a port from 1024 up.\r\n"
        for line, reply in (("PORT 127,0,0,1,200", "501 Syntax error in PORT command.\r\n"),
                            ("port 127,0,0,1,200,1", "501 Syntax error in PORT command.\r\n"),
                            ("PORT 127,0,0,2,200,1", refused),
                            ("PORT 127,0,0,1,0,22", refused)):
            self.assertEqual(c.cmd(line), [reply], line)
            self.assertIn("client supplied PORT command in invalid format: %s\n" % line, self.daemon.log())
        self.assertEqual(c.cmd("PWD"), ['257 "/" is current directory.\r\n'])
        for s in self.sites:
            self.assertFalse([l for l in s.received() if l.upper().startswith("PORT")])

    def test_client_closing_its_data_connection_early_leaves_nothing_behind(self):
        listings, names = three_listings(30000)
        self.start(listings, pieces=(4000,))
        f = self.ftp()
        f.pwd()
        before = daemon_usage(self.daemon.proc.pid)
        f.sendcmd("TYPE A")
        conn = f.transfercmd("LIST")
        conn.recv(100)
        conn.close()
        # The client did not get the listing, and hears so.
        with self.assertRaises(ftplib.error_temp) as cut:
            f.voidresp()
        self.assertEqual(str(cut.exception), "426 Connection closed; transfer aborted.")
        self.assertTrue(wait_for(lambda: daemon_usage(self.daemon.proc.pid) == before),
                        "%r now, %r before" % (daemon_usage(self.daemon.proc.pid), before))
        self.assert_union(self.listing(f), names)

    def test_fifty_clients_list_the_root_at_once(self):
        listings, names = three_listings(2000)
        self.start(listings)
        results, errors = [], []

        def one(k):
            try:
                f = ftplib.FTP()
                f.connect("127.0.0.1", self.daemon.port, timeout=60)
                f.login("u", "p")
                f.set_pasv(k % 2 == 0)
                lines = []
                f.retrlines("LIST", lines.append)
                f.quit()
                results.append(lines)
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(repr(e))

        threads = [threading.Thread(target=one, args=(k,)) for k in range(50)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertEqual(errors, [])
        self.assertEqual(len(results), 50)
        for lines in results:
            self.assert_union(lines, names)


if __name__ == "__main__":
    unittest.main()
