"""Root listings through the real daemon in front of different real servers at
once. vsftpd, proftpd, pure-ftpd and pyftpdlib each put the name in another
column; LIST and NLST must still give every name of the union exactly once."""

import collections
import ftplib
import os
import re
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ferry_harness import Daemon, PureFtpdSite, RealSite, pure_ftpd_available  # noqa: E402
from real_sites import ProftpdSite, VsftpdSite, proftpd_available, vsftpd_available  # noqa: E402

RECENT = time.time() - 3600  # listed with its time of day
OLD = time.mktime((2009, 5, 6, 12, 0, 0, 0, 0, -1))  # listed with its year
EVERY = (0, 1, 2)
# name, what it is, time stamp, the sites that hold it
SHARED = [
    ("shared by all.txt", "file", RECENT, EVERY),
    ("old year.bin", "file", OLD, EVERY),
    ("Common Dir", "dir", RECENT, EVERY),
    ("same link", "link", None, EVERY),
    ("link here, file there", "link", None, (0,)),
    ("link here, file there", "file", RECENT, (1, 2)),
    ("Jan 01 12:00 lookalike", "file", OLD, (0, 1)),
    ("two  blanks", "file", RECENT, (1, 2)),
    (" leading blank", "file", OLD, (0, 2)),
]

# Fields that hold no blanks, then the date, then the name: read by field,
# not by the date scan under test.
LONG_LINE = re.compile(r"^(\S+) +\d+ +\S+ +\S+ +\d+ [A-Z][a-z]{2} [ \d]\d (?:\d\d:\d\d| \d{4}) (.*)$")


def make_tree(root, site, kind):
    entries = SHARED + [("only on %s %d" % (kind, site), "file", OLD if site % 2 else RECENT, (site,)),
                        ("%s dir" % kind, "dir", RECENT, (site,))]
    names = set()
    os.makedirs(root)
    for name, what, stamp, sites in entries:
        if site not in sites:
            continue
        path = os.path.join(root, name)
        if what == "dir":
            os.mkdir(path)
        elif what == "link":
            os.symlink("shared by all.txt", path)
        else:
            with open(path, "w") as f:
                f.write(name)
        if stamp is not None:
            os.utime(path, (stamp, stamp))
        names.add(name)
    return names


def name_of(line):
    m = LONG_LINE.match(line)
    if not m:
        raise AssertionError("not a long listing line: %r" % line)
    name = m.group(2)
    return name.split(" -> ", 1)[0] if m.group(1).startswith("l") else name


class Mix:
    """Three sites of the kinds in `kinds`, one daemon in front of them."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="ferrymix-")
        cls.sites, cls.daemon = [], None
        try:
            roots = {kind: os.path.join(cls.tmp, kind) for kind in cls.kinds}
            cls.names = {kind: make_tree(roots[kind], i, kind) for i, kind in enumerate(cls.kinds)}
            # vsftpd only knows system accounts, so its login is the one every site gets.
            vs = VsftpdSite(roots["vsftpd"])
            cls.sites.append(vs)
            cls.user, cls.password = vs.user, vs.password
            cls.sites += [cls.start(kind, roots[kind]) for kind in cls.kinds if kind != "vsftpd"]
            cls.sites.sort(key=lambda s: cls.kinds.index(cls.kind_of(s)))
            cls.direct, cls.direct_nlst, cls.totals = set(), set(), 0
            for s in cls.sites:
                listing, names = cls.fetch(s.port)
                cls.totals += bool(listing) and listing[0].startswith("total")
                cls.direct.update(l for l in listing if not l.startswith("total"))
                cls.direct_nlst.update(names)
            cls.daemon = Daemon([s.port for s in cls.sites])
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def start(cls, kind, root):
        if kind == "proftpd":
            return ProftpdSite(root, user=cls.user, password=cls.password)
        if kind == "pure-ftpd":
            return PureFtpdSite(root, user=cls.user, password=cls.password)
        return RealSite(root, user=cls.user, password=cls.password, total=True)

    @staticmethod
    def kind_of(site):
        return {VsftpdSite: "vsftpd", ProftpdSite: "proftpd", PureFtpdSite: "pure-ftpd", RealSite: "pyftpdlib"}[
            type(site)]

    @classmethod
    def tearDownClass(cls):
        if cls.daemon:
            cls.daemon.stop()
        for s in cls.sites:
            s.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    @classmethod
    def fetch(cls, port, passive=True):
        """LIST and NLST in one session: pure-ftpd's password check is slow."""
        f = ftplib.FTP()
        f.connect("127.0.0.1", port, timeout=30)
        try:
            f.login(cls.user, cls.password)
            f.set_pasv(passive)
            listing, names = [], []
            f.retrlines("LIST", listing.append)
            f.retrlines("NLST", names.append)
            f.quit()
            return listing, names
        finally:
            f.close()

    def test_list_and_nlst_of_the_root_give_every_name_once(self):
        union = set().union(*self.names.values())
        # The mix must hold names the sites share and names only one has;
        # pure-ftpd's name listing holds "." and "..".
        self.assertTrue(set.intersection(*self.names.values()) and union - self.names["vsftpd"])
        self.assertEqual(self.direct_nlst - {".", ".."}, union)
        self.assertEqual(self.totals, int("pyftpdlib" in self.kinds))
        for passive in (True, False):
            with self.subTest(passive=passive):
                lines, names = self.fetch(self.daemon.port, passive)
                self.assertEqual([l for l in lines if l.startswith("total")], [])
                self.assertEqual([l for l in lines if l not in self.direct], [], "lines no site sent")
                counts = collections.Counter(name_of(l) for l in lines)
                self.assertEqual({n: c for n, c in counts.items() if c > 1}, {}, "names listed twice")
                self.assertEqual(set(counts), union)
                self.assertEqual(sorted(names), sorted(self.direct_nlst))


@unittest.skipUnless(vsftpd_available() and proftpd_available() and pure_ftpd_available(),
                     "vsftpd, proftpd or pure-ftpd is missing, or not root")
class VsftpdProftpdPureFtpd(Mix, unittest.TestCase):
    kinds = ("vsftpd", "proftpd", "pure-ftpd")


@unittest.skipUnless(vsftpd_available() and proftpd_available(), "vsftpd or proftpd is missing, or not root")
class PyftpdlibVsftpdProftpd(Mix, unittest.TestCase):
    # pyftpdlib here leads its listing with a "total" line, as ls -l does.
    kinds = ("pyftpdlib", "proftpd", "vsftpd")


if __name__ == "__main__":
    unittest.main()
