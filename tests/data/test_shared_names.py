"""A name that several real sites hold at the root: the merged listings show
the first site's line every time, and reads and changes of a root-level
name go to the first site in order that holds it."""

import ftplib
import io
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ferry_harness import Daemon, RealSite  # noqa: E402


class SharedNames(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="ferryshared-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.roots = [os.path.join(self.tmp, "site%d" % i) for i in range(3)]
        for r in self.roots:
            os.mkdir(r)
        # The first site's listing is long, so the later sites' short ones
        # would arrive before its README line if arrival decided.
        for i in range(4000):
            open(os.path.join(self.roots[0], "bulk%05d" % i), "w").close()
        self.put(0, "README", 314)
        self.put(1, "README", 5034)
        self.put(2, "README", 77)
        self.put(1, "only2.txt", 1000)
        self.put(1, "gone2.txt", 10)
        self.put(1, "move2.txt", 20)
        self.put(1, "mode2.txt", 30)
        self.put(1, "log2.txt", 40)
        self.put(2, "log2.txt", 50)
        os.utime(os.path.join(self.roots[1], "only2.txt"), (1500000000, 1500000000))
        self.sites = [RealSite(r) for r in self.roots]
        for s in self.sites:
            self.addCleanup(s.stop)
        self.daemon = Daemon([s.port for s in self.sites], {"log": "ei"})
        self.addCleanup(self.daemon.stop)

    def put(self, site, name, size):
        with open(os.path.join(self.roots[site], name), "wb") as f:
            f.write(bytes([65 + site]) * size)

    def path(self, site, name):
        return os.path.join(self.roots[site], name)

    def ftp(self):
        f = ftplib.FTP()
        f.connect("127.0.0.1", self.daemon.port, timeout=60)
        self.addCleanup(f.close)
        f.login("user", "secret")
        return f

    def raw(self, f, command):
        out = io.BytesIO()
        f.retrbinary(command, out.write)
        return out.getvalue()

    def test_listings_show_the_first_holder_and_reads_and_changes_go_to_it(self):
        f = self.ftp()
        first = self.raw(f, "LIST")
        for _ in range(5):
            self.assertEqual(self.raw(f, "LIST"), first)
        readme = [l for l in first.decode().splitlines() if l.endswith(" README")]
        self.assertEqual(len(readme), 1)
        self.assertIn(" 314 ", readme[0])
        names = self.raw(f, "NLST").decode().split("\r\n")
        self.assertEqual(names.count("README"), 1)
        self.assertEqual(len(names), len(set(names)))
        facts = [l for l in self.raw(f, "MLSD").decode().splitlines() if l.endswith("; README")]
        self.assertEqual(len(facts), 1)
        self.assertIn("size=314;", facts[0])
        self.assertEqual(self.raw(f, "MLSD"), self.raw(f, "MLSD"))

        # Reads of the shared name: the first site's copy, as listed.
        self.assertEqual(f.size("README"), 314)
        self.assertEqual(self.raw(f, "RETR README"), b"A" * 314)
        self.assertIn("size=314;", f.sendcmd("MLST README"))
        self.assertTrue(f.sendcmd("MDTM README").startswith("213 "))
        # A name only the second site holds is read there...
        self.assertEqual(f.size("only2.txt"), 1000)
        self.assertEqual(f.sendcmd("MDTM only2.txt"), "213 20170714024000")
        # ...and changed there.
        self.assertTrue(f.sendcmd("MFMT 20200102030405 only2.txt").startswith("213 "))
        self.assertEqual(int(os.stat(self.path(1, "only2.txt")).st_mtime), 1577934245)
        self.assertTrue(f.delete("gone2.txt").startswith("250 "))
        self.assertFalse(os.path.exists(self.path(1, "gone2.txt")))
        f.rename("move2.txt", "moved2.txt")
        self.assertTrue(os.path.exists(self.path(1, "moved2.txt")))
        self.assertFalse(os.path.exists(self.path(0, "moved2.txt")))
        self.assertTrue(f.sendcmd("SITE CHMOD 600 mode2.txt").startswith("200 "))
        self.assertEqual(os.stat(self.path(1, "mode2.txt")).st_mode & 0o777, 0o600)
        # APPE of a held name appends to the first holder's copy, and the
        # listing still shows that copy.
        f.storbinary("APPE log2.txt", io.BytesIO(b"xyz"))
        self.assertEqual(os.path.getsize(self.path(1, "log2.txt")), 43)
        self.assertEqual(os.path.getsize(self.path(2, "log2.txt")), 50)
        self.assertFalse(os.path.exists(self.path(0, "log2.txt")))
        self.assertEqual(f.size("log2.txt"), 43)
        # APPE and STOR of a new name go to the current site, the first.
        f.storbinary("APPE new.txt", io.BytesIO(b"12345"))
        f.storbinary("STOR new2.txt", io.BytesIO(b"1234"))
        self.assertEqual(os.path.getsize(self.path(0, "new.txt")), 5)
        self.assertEqual(os.path.getsize(self.path(0, "new2.txt")), 4)
        self.assertFalse(os.path.exists(self.path(1, "new.txt")))
        # Deleting the shared name removes the listed copy; the next site's shows through.
        f.delete("README")
        self.assertFalse(os.path.exists(self.path(0, "README")))
        self.assertEqual(f.size("README"), 5034)
        with self.assertRaises(ftplib.error_perm) as refused:
            f.delete("nowhere.txt")
        self.assertTrue(str(refused.exception).startswith("550"))
        self.assertEqual(f.pwd(), "/")


if __name__ == "__main__":
    unittest.main()
