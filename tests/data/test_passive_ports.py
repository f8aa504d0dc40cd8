"""The daemon's own passive ports at the root between two real sites:
pasvaddress announced behind NAT (the port opens where the client arrived)
or bound where it is the machine's own, pasvports for PASV and EPSV alike,
and a 425 when the range has no free port.
"""

import ftplib
import os
import re
import shutil
import socket
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ferry_harness import HOST, WAIT, Daemon, RealSite, free_port, read_to_end  # noqa: E402

NO_FREE_PORT = "425 Can't open passive connection: no free port in pasvports."


class PassivePorts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="ferrypasv-")
        cls.sites = []
        try:
            for k, name in enumerate(("rules.txt", "only1.nfo")):
                root = os.path.join(cls.tmp, "s%d" % k)
                os.makedirs(root)
                with open(os.path.join(root, name), "w") as f:
                    f.write(name)
                cls.sites.append(RealSite(root))
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for s in cls.sites:
            s.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def daemon(self, settings):
        d = Daemon([s.port for s in self.sites], settings)
        self.addCleanup(d.stop)
        return d

    def login(self, d):
        f = ftplib.FTP()
        f.connect(HOST, d.port, timeout=WAIT)
        self.addCleanup(f.close)
        f.login("user", "secret")
        return f

    def list_over(self, f, host, port):
        """LIST on a data connection the test opens itself to `host`:`port`."""
        with socket.create_connection((host, port), timeout=WAIT, source_address=(HOST, 0)) as data:
            f.putcmd("LIST")
            self.assertRegex(f.getresp(), r"^1(25|50) ")
            listing = read_to_end(data)
        self.assertTrue(f.voidresp().startswith("226"))
        return listing.decode("latin-1")

    def test_behind_nat_the_one_port_range_is_announced_used_and_then_busy(self):
        port = free_port()
        d = self.daemon({"pasvaddress": "203.0.113.5", "pasvports": "%d-%d" % (port, port)})
        first, second = self.login(d), self.login(d)
        self.assertEqual(first.sendcmd("PASV"),
                         "227 Entering Passive Mode (203,0,113,5,%d,%d)." % (port // 256, port % 256))
        # The first bounce holds the only port until its client connects.
        with self.assertRaises(ftplib.error_temp) as busy:
            second.sendcmd("PASV")
        self.assertEqual(str(busy.exception), NO_FREE_PORT)
        self.assertIn("no free port in pasvports %d-%d" % (port, port), d.log())
        # Not the machine's address: the port opened where the client arrived.
        listing = self.list_over(first, HOST, port)
        self.assertIn("rules.txt", listing)
        self.assertIn("only1.nfo", listing)
        # Free again once taken, and EPSV keeps to the range too.
        self.assertEqual(second.sendcmd("EPSV"), "229 Entering Extended Passive Mode (|||%d|)" % port)
        self.assertIn("only1.nfo", self.list_over(second, HOST, port))
        second.quit()
        first.quit()

    def test_a_local_pasvaddress_is_where_the_port_opens(self):
        low = free_port()
        d = self.daemon({"ip": "*", "pasvaddress": "127.0.0.4", "pasvports": "%d-%d" % (low, low + 20)})
        f = self.login(d)
        reply = f.sendcmd("PASV")
        m = re.fullmatch(r"227 Entering Passive Mode \(127,0,0,4,(\d+),(\d+)\)\.", reply)
        self.assertTrue(m, reply)
        port = int(m.group(1)) * 256 + int(m.group(2))
        self.assertTrue(low <= port <= low + 20, port)
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection((HOST, port), timeout=WAIT).close()
        self.assertIn("rules.txt", self.list_over(f, "127.0.0.4", port))
        f.quit()


if __name__ == "__main__":
    unittest.main()
