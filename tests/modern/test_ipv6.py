"""The daemon on "*" in front of an IPv4 and an IPv6 site, with IPv6 and
IPv4 clients, passive and active."""

import os
import shutil
import socket
import subprocess
import tempfile
import unittest

from modern_peers import PyftpdSite, Daemon, make_trees

T = 60


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


@unittest.skipUnless(ipv6_loopback(), "no IPv6 loopback address here")
class MixedFamilies(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="ferryipv6-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, True)
        roots, names, cls.files = make_trees(cls.tmp, 30, 2)
        cls.union = set().union(*names)
        ports = []
        for host, root in zip(("127.0.0.2", "::1"), roots):
            site = PyftpdSite(host, root)
            cls.addClassCleanup(site.stop)
            ports.append(site.port)
        cls.daemon = Daemon(settings={"ip": "*", "connip": "*", "bouncedata": "yes",
                                      "cycleip": "127.0.0.2:%d [::1]:%d" % tuple(ports)})
        cls.addClassCleanup(cls.daemon.stop)

    def run_ok(self, argv):
        out = subprocess.run(argv, capture_output=True, timeout=T * 3, stdin=subprocess.DEVNULL)
        self.assertEqual(out.returncode, 0, out.stderr)
        return out.stdout

    def assertUnion(self, got):
        self.assertEqual(sorted(got), sorted(self.union))

    def test_real_clients_on_ipv6(self):
        url = "ftp://user:secret@[::1]:%d/" % self.daemon.port
        for mode in ([], ["-P", "::1"]):  # EPSV, EPRT
            curl = ["curl", "-sS", "-g", "--max-time", str(T)] + mode
            self.assertUnion(l.split()[-1] for l in self.run_ok(curl + [url]).decode().splitlines())
            for path, body in self.files.items():
                self.assertEqual(self.run_ok(curl + [url + path]), body, path)
        gets = "; ".join("get /%s -o %s/%s" % (p, self.tmp, p.replace("/", "_")) for p in self.files)
        out = self.run_ok(["lftp", "-u", "user,secret", "-p", str(self.daemon.port), "-e",
                           "set net:max-retries 1; cls -1; set ftp:passive-mode off; %s; bye" % gets, "::1"])
        self.assertUnion(n.rstrip("/") for n in out.decode().split())
        for path, body in self.files.items():
            with open(os.path.join(self.tmp, path.replace("/", "_")), "rb") as f:
                self.assertEqual(f.read(), body, path)
        log = self.daemon.log()
        self.assertRegex(log, r"successfully relayed client from ::1:\d+ to \[::1\]:\d+\n")
        self.assertNotIn("EPRT |2|::|", log)  # lftp names "::": its own address is meant

    def test_refusals_for_ipv6_and_plain_ipv4_beside_them(self):
        for host, exchanges in (
                ("::1", [("PASV", "502 PASV cannot name an IPv6 address, use EPSV.\r\n"),
                         ("PORT 127,0,0,1,19,137", "501 PORT cannot name an IPv6 address, use EPRT.\r\n"),
                         ("EPRT |1|127.0.0.1|5001|", "522 Network protocol not supported, use (2)\r\n"),
                         ("EPRT |2|::2|5001|", "504 EPRT must name your own address and a port from 1024 up.\r\n"),
                         ("EPSV 1", "522 Network protocol not supported, use (2)\r\n")]),
                ("127.0.0.1", [("EPRT |2|::1|5001|", "522 Network protocol not supported, use (1)\r\n")])):
            with socket.create_connection((host, self.daemon.port), timeout=T) as c:
                f = c.makefile("rb")
                login = [(None, "220 "), ("USER user", "331 "), ("PASS secret", "230 ")]
                for line, reply in login + exchanges:
                    if line:
                        c.sendall(line.encode() + b"\r\n")
                    got = f.readline().decode()
                    # Login replies by their code, the refusals word for word.
                    self.assertEqual(got[:4] if len(reply) == 4 else got, reply, line)
                c.sendall(b"PASV\r\n" if host == "127.0.0.1" else b"EPSV\r\n")
                self.assertRegex(f.readline().decode(), r"^(227 .*\(127,0,0,1,|229 .*\(\|\|\|\d)")
        log = self.daemon.log()
        self.assertRegex(log, r"new client from 127\.0\.0\.1 port \d+\n")
        self.assertNotIn("::ffff:", log)


if __name__ == "__main__":
    unittest.main()
