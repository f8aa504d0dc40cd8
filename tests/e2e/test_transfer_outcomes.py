"""Transfers the daemon carries tell the client what its data connection saw,
and end with their session only when nothing moves: real pyftpdlib sites,
ftplib and raw sockets as clients."""

import ftplib
import io
import os
import re
import shutil
import socket
import ssl
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ferry_harness import HOST, Daemon, RealSite, wait_for, write_tree  # noqa: E402
from real_sites import make_certificate  # noqa: E402

BIG = os.urandom(24 << 20)
FILES = {
    "s0": {"big.bin": BIG, "GAMES/readme.txt": b"games\n"},
    "s1": {"small.txt": b"site one\n", "VCD/readme.txt": b"vcd\n"},
}
# The daemon's own limit is 5 s; the rest is room for a loaded machine.
SETTLE = 15


def usage(pid):
    """(open descriptors, threads) of a process."""
    return len(os.listdir("/proc/%d/fd" % pid)), len(os.listdir("/proc/%d/task" % pid))


def insecure_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def passive_port(f):
    reply = f.sendcmd("PASV")
    n = [int(x) for x in re.search(r"\((\d+(?:,\d+){5})\)", reply).group(1).split(",")]
    return n[4] * 256 + n[5]


def read_exactly(conn, n):
    got = bytearray()
    while len(got) < n:
        chunk = conn.recv(min(1 << 20, n - len(got)))
        if not chunk:
            break
        got += chunk
    return bytes(got)


class TransferOutcomes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="ferryoutcome-")
        cls.sites, cls.daemons = [], []
        try:
            cls.roots = []
            for name in ("s0", "s1"):
                root = os.path.join(cls.tmp, name)
                write_tree(root, FILES[name])
                cls.roots.append(root)
                cls.sites.append(RealSite(root))
            cert, key = make_certificate(cls.tmp)
            ports = [s.port for s in cls.sites]
            # One session per address: a slot held by a transfer shows.
            cls.plain = Daemon(ports, {"maxclientsperip": "1"})
            cls.tls = Daemon(ports, {"clienttls": "yes", "tlscertfile": cert, "tlskeyfile": key})
            cls.daemons = [cls.plain, cls.tls]
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for d in cls.daemons:
            d.stop()
        for s in cls.sites:
            s.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def login(self, daemon, tls=False):
        f = ftplib.FTP_TLS(context=insecure_context(), timeout=30) if tls else ftplib.FTP(timeout=30)
        f.connect(HOST, daemon.port)
        if tls:
            f.auth()
        f.login("user", "secret")
        if tls:
            f.prot_p()
        self.addCleanup(f.close)
        return f

    def settles(self, daemon, idle):
        return wait_for(lambda: usage(daemon.proc.pid) == idle, timeout=SETTLE)

    def test_a_protected_upload_cut_without_close_notify_gets_the_sites_failure(self):
        f = self.login(self.tls, tls=True)
        f.cwd("/GAMES")
        whole = os.urandom(1 << 20)
        f.storbinary("STOR whole.bin", io.BytesIO(whole))
        with open(os.path.join(self.roots[0], "GAMES", "whole.bin"), "rb") as stored:
            self.assertEqual(stored.read(), whole)
        conn = f.transfercmd("STOR cut.bin")
        conn.sendall(os.urandom(3 << 20))
        conn.close()  # TCP closes, no close_notify: the upload may have been cut
        with self.assertRaises(ftplib.Error) as failed:
            f.voidresp()
        self.assertTrue(str(failed.exception)[:3] in ("426", "451"), failed.exception)
        self.assertTrue(wait_for(lambda: re.search(r"data connection of 127\.0\.0\.1:\d+ was cut", self.tls.log())),
                        self.tls.log()[-2000:])
        self.assertTrue(f.sendcmd("NOOP").startswith("200"))

    def test_the_client_hears_a_1xx_once_connected_and_426_when_its_download_was_cut(self):
        f = self.login(self.plain)
        # PASV and LIST at the root, the data connection not yet made: no 1xx.
        port = passive_port(f)
        f.putcmd("LIST")
        f.sock.settimeout(1.5)
        with self.assertRaises(socket.timeout):
            f.sock.recv(100)
        f.sock.settimeout(30)
        with socket.create_connection((HOST, port), timeout=30) as data:
            self.assertTrue(f.getresp().startswith("1"))
            listing = b""
            while True:
                chunk = data.recv(65536)
                if not chunk:
                    break
                listing += chunk
        self.assertTrue(f.voidresp().startswith("226"))
        for name in (b"big.bin", b"GAMES", b"small.txt", b"VCD"):
            self.assertIn(name, listing)
        # A download the client gives up after 2 MB of 24 MB is not complete.
        f.voidcmd("TYPE I")
        conn = f.transfercmd("RETR big.bin")
        self.assertEqual(len(read_exactly(conn, 2 << 20)), 2 << 20)
        conn.close()
        with self.assertRaises(ftplib.error_temp) as cut:
            f.voidresp()
        self.assertTrue(str(cut.exception).startswith("426"), cut.exception)
        # The whole one is, and the session goes on.
        got = io.BytesIO()
        self.assertTrue(f.retrbinary("RETR big.bin", got.write).startswith("226"))
        self.assertTrue(got.getvalue() == BIG)
        self.assertTrue(f.sendcmd("NOOP").startswith("200"))

    def test_transfers_outlive_their_session_only_while_they_move(self):
        d = self.plain
        f = self.login(d)
        f.quit()
        time.sleep(1.5)
        idle = usage(d.proc.pid)

        # QUIT during a download: the transfer, its reply, then 221.
        f = self.login(d)
        f.voidcmd("TYPE I")
        conn = f.transfercmd("RETR big.bin")
        head = read_exactly(conn, 1 << 20)
        f.putcmd("QUIT")
        got = head + read_exactly(conn, len(BIG))
        conn.close()
        self.assertTrue(got == BIG)
        self.assertTrue(f.getresp().startswith("226"))
        self.assertTrue(f.getresp().startswith("221"))
        f.close()
        self.assertTrue(self.settles(d, idle), "%r now, %r idle" % (usage(d.proc.pid), idle))

        # A client still reading keeps its download, and its slot, after it closed its control connection.
        for rounds in range(2):
            f = self.login(d)
            f.voidcmd("TYPE I")
            conn = f.transfercmd("RETR big.bin")
            head = read_exactly(conn, 1 << 20)
            f.close()
            time.sleep(0.5)
            other = socket.create_connection((HOST, d.port), timeout=30)
            self.assertTrue(other.recv(200).startswith(b"421 Too many connections from your address"))
            other.close()
            # Slowly, for longer than an idle transfer may last.
            until = time.monotonic() + 7
            while time.monotonic() < until:
                head += read_exactly(conn, 256 << 10)
                time.sleep(0.3)
            got = head + read_exactly(conn, len(BIG) - len(head))
            conn.close()
            self.assertTrue(got == BIG, "round %d: %d of %d bytes" % (rounds, len(got), len(BIG)))
            self.assertTrue(self.settles(d, idle), "%r now, %r idle" % (usage(d.proc.pid), idle))

        # One that reads nothing, whether at the root or a listing, ends a few seconds after.
        for command in ("RETR big.bin", "LIST"):
            f = self.login(d)
            conn = f.transfercmd(command)
            f.close()
            closed = time.monotonic()
            self.assertTrue(self.settles(d, idle), "%s: %r now, %r idle" % (command, usage(d.proc.pid), idle))
            self.assertLess(time.monotonic() - closed, SETTLE)
            conn.close()
            self.login(d).quit()  # the address is free again
            self.assertTrue(self.settles(d, idle))

        # A protected data connection that never starts its handshake.
        t = self.tls
        f = self.login(t, tls=True)
        f.quit()
        time.sleep(1.5)
        tls_idle = usage(t.proc.pid)
        for command in (None, "LIST"):
            f = self.login(t, tls=True)
            port = passive_port(f)
            raw = socket.create_connection((HOST, port), timeout=30)
            if command:
                f.putcmd(command)
                time.sleep(0.5)
            f.close()
            self.assertTrue(self.settles(t, tls_idle), "%s: %r now, %r idle" % (command, usage(t.proc.pid),
                                                                               tls_idle))
            raw.close()


if __name__ == "__main__":
    unittest.main()
