"""ABOR as real clients send it, through the daemon to real sites: Python's
ftplib sends the line itself as urgent data, lftp sends Telnet IP and Synch
before it. At the root (a download the daemon carries) and in a section
(the site's own data connection) the transfer ends with 426 and 226, and
the session goes on."""

import ftplib
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ferry_harness import Daemon  # noqa: E402
from real_sites import ProftpdSite, proftpd_available  # noqa: E402

BIG = 64 << 20


@unittest.skipUnless(proftpd_available(), "proftpd is not available")
class Abort(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="ferryabort-")
        roots = [os.path.join(cls.tmp, "site%d" % i) for i in range(2)]
        os.makedirs(roots[0])
        os.makedirs(os.path.join(roots[1], "VCD"))
        for path in (os.path.join(roots[0], "big0.bin"), os.path.join(roots[1], "VCD", "big1.bin")):
            with open(path, "wb") as f:
                f.truncate(BIG)
        # proftpd answers a command it cannot read with 500, as a Telnet
        # interrupt that reached it would be.
        cls.sites = []
        try:
            cls.sites = [ProftpdSite(r) for r in roots]
            cls.daemon = Daemon([s.port for s in cls.sites], {"log": "ei"})
        except Exception:
            for s in cls.sites:
                s.stop()
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.daemon.stop()
        for s in cls.sites:
            s.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def ftplib_abort(self, where, name):
        f = ftplib.FTP()
        f.connect("127.0.0.1", self.daemon.port, timeout=20)
        self.addCleanup(f.close)
        f.login("user", "secret")
        f.cwd(where)
        f.voidcmd("TYPE I")
        conn = f.transfercmd("RETR " + name)
        self.assertEqual(len(conn.recv(4096, socket.MSG_WAITALL)), 4096)
        # The line goes out as urgent data; an answer must come before the time-out.
        self.assertTrue(f.abort().startswith("426"))
        # The data connection ends with the abort (a reset when the daemon
        # cut it): what was on its way comes, then the end.
        got = 4096
        while True:
            try:
                piece = conn.recv(1 << 16)
            except ConnectionResetError:
                break
            if not piece:
                break
            got += len(piece)
        conn.close()
        self.assertTrue(f.voidresp().startswith("226"))
        self.assertLess(got, BIG)
        # Nothing of the ABOR is left to be glued to the next command.
        self.assertEqual(f.sendcmd("NOOP")[:3], "200")
        self.assertEqual(f.size(name), BIG)

    def test_ftplib_abort_at_the_root_and_in_a_section(self):
        self.ftplib_abort("/", "big0.bin")
        self.ftplib_abort("/VCD", "big1.bin")

    @unittest.skipUnless(shutil.which("lftp"), "lftp is not installed")
    def test_lftp_abort_at_the_root_and_in_a_section(self):
        script = ("set cmd:fail-exit yes; set net:max-retries 1; set net:timeout 20; set ftp:use-feat no; "
                  "open -u user,secret ftp://127.0.0.1:%d; "
                  "cat big0.bin | head -c 1000 >/dev/null; "
                  "cd VCD; cat big1.bin | head -c 1000 >/dev/null; "
                  "cd /; quote NOOP" % self.daemon.port)
        r = subprocess.run(["lftp", "-d", "-c", script], capture_output=True, timeout=120, text=True,
                           errors="replace")
        dialog = r.stderr
        self.assertEqual(r.returncode, 0, dialog[-3000:])
        # lftp writes its Telnet interrupt in the log line of the command it sends.
        self.assertGreaterEqual(len(re.findall(r"---> .*ABOR", dialog)), 2, dialog[-3000:])
        replies = re.findall(r"<--- (\d{3})", dialog)
        self.assertNotIn("500", replies)
        self.assertGreaterEqual(replies.count("426"), 2, dialog[-3000:])
        # lftp prints the answer to its quoted command on its output.
        self.assertTrue(r.stdout.startswith("200 "), r.stdout + dialog[-3000:])


if __name__ == "__main__":
    unittest.main()
