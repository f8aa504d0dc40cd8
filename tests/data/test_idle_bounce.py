"""A client that asks for a passive port and never connects: the bounce waits
its fixed 180 seconds, logs the port, and closes everything it held."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from data_peers import ListingScript, daemon_usage, three_listings, wait_for  # noqa: E402
from ferry_harness import Daemon, ScriptedSite  # noqa: E402


class IdleBounce(unittest.TestCase):
    def test_bounce_ends_after_its_wait_and_nothing_leaks(self):
        listings, _ = three_listings(10)
        scripts = [ListingScript(l) for l in listings[:2]]
        sites = [ScriptedSite("site%d" % i, script=s.script()) for i, s in enumerate(scripts)]
        d = Daemon([s.port for s in sites])
        self.addCleanup(lambda: (d.stop(), [s.close() for s in sites]))
        c = d.client()
        self.addCleanup(c.close)
        c.reply()
        c.cmd("USER u")
        c.cmd("PASS p")
        before = daemon_usage(d.proc.pid)
        reply = c.cmd("PASV")[0]
        m = re.match(r"227 Entering Passive Mode \(127,0,0,1,(\d+),(\d+)\)\.\r\n$", reply)
        self.assertIsNotNone(m, reply)
        port = int(m.group(1)) * 256 + int(m.group(2))
        # The sites' data ports were connected at once; they stay open until the wait ends.
        self.assertTrue(wait_for(lambda: daemon_usage(d.proc.pid)[0] >= before[0] + 3))
        self.assertTrue(wait_for(lambda: "no data connection came to port %d within 180s\n" % port in d.log(),
                                 timeout=200))
        self.assertTrue(wait_for(lambda: daemon_usage(d.proc.pid) == before))
        self.assertEqual(c.cmd("PWD"), ['257 "/" is current directory.\r\n'])


if __name__ == "__main__":
    unittest.main()
