"""FTPS on every leg: real clients with TLS forced, through the daemon, in front
of a vsftpd site that requires session reuse and a proftpd site with TLS."""

import ftplib
import hashlib
import io
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from ferry_harness import HOST, Daemon, RealSite, wait_for  # noqa: E402
from real_sites import ProftpdSite, VsftpdSite, make_certificate, proftpd_tls_available, vsftpd_available  # noqa: E402

PASSWORD = "secret"


def insecure_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def digest(data):
    return hashlib.sha256(data).hexdigest()


@unittest.skipUnless(vsftpd_available() and proftpd_tls_available() and shutil.which("curl") and shutil.which("lftp"),
                     "needs vsftpd, proftpd with mod_tls, curl and lftp")
class Ftps(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.base = tempfile.mkdtemp(prefix="ferry-ftps-")
        cls.roots = [os.path.join(cls.base, "s0"), os.path.join(cls.base, "s1")]
        cls.files = {}
        for i, (root, section) in enumerate(zip(cls.roots, ("GAMES", "VCD"))):
            os.makedirs(os.path.join(root, section))
            os.chmod(os.path.join(root, section), 0o777)
            for name, data in (("shared.txt", b"site %d\n" % i), ("only%d.txt" % i, b"only on %d\n" % i),
                               ("with blanks %d" % i, b"x")):
                with open(os.path.join(root, name), "wb") as f:
                    f.write(data)
            # Lines that repeat in column 55 would show a listing filter at work.
            body = b"".join(b"-rw-r--r--   1 user     group    %8d Jan 01 12:00 same\r\n" % k for k in range(20000))
            body += os.urandom(1 << 20)
            cls.files[section] = body
            with open(os.path.join(root, section, "big.bin"), "wb") as f:
                f.write(body)
        cls.vsftpd = VsftpdSite(cls.roots[0], password=PASSWORD, tls=True, writable=True)
        cls.user = cls.vsftpd.user
        cls.proftpd = ProftpdSite(cls.roots[1], user=cls.user, password=PASSWORD, tls=True, writable=True)
        cls.cert, cls.key = make_certificate(cls.base)
        cls.daemon = cls.start_daemon("yes")

    @classmethod
    def start_daemon(cls, clienttls, sites=None, extra=None):
        settings = {"clienttls": clienttls, "sitetls": "yes", "tlscertfile": cls.cert, "tlskeyfile": cls.key,
                    "replytimeout": "20"}
        settings.update(extra or {})
        return Daemon(sites or [cls.vsftpd.port, cls.proftpd.port], settings=settings)

    @classmethod
    def tearDownClass(cls):
        cls.daemon.stop()
        cls.vsftpd.stop()
        cls.proftpd.stop()
        shutil.rmtree(cls.base, ignore_errors=True)

    def root_names(self):
        names = set()
        for root in self.roots:
            names.update(os.listdir(root))
        return names

    def ftps(self, daemon=None):
        f = ftplib.FTP_TLS(context=insecure_context(), timeout=30)
        f.connect(HOST, (daemon or self.daemon).port)
        f.auth()
        f.login(self.user, PASSWORD)
        f.prot_p()
        self.addCleanup(f.close)
        return f

    def curl(self, *args, data=None):
        cmd = ["curl", "-sS", "--max-time", "60", "--ssl-reqd", "-k", "-u", "%s:%s" % (self.user, PASSWORD)] + list(args)
        return subprocess.run(cmd, input=data, capture_output=True, timeout=90)

    def test_ftplib_lists_the_union_and_moves_files_intact_on_both_sites(self):
        f = self.ftps()
        feat = f.sendcmd("FEAT")
        for word in ("AUTH TLS", "PBSZ", "PROT"):
            self.assertIn(word, feat)
        # vsftpd has no machine listings, so the root offers none, and one
        # asked for anyway is refused with the dialogue in step.
        self.assertNotIn("MLST", feat)
        with self.assertRaises(ftplib.error_perm):
            list(f.mlsd())
        self.assertTrue(f.sendcmd("NOOP").startswith("200"))
        f.cwd("/VCD")
        self.assertIn("MLST", f.sendcmd("FEAT"))
        f.cwd("/")
        self.assertEqual(sorted(f.nlst()), sorted(self.root_names()))
        lines = []
        f.retrlines("LIST", lines.append)
        self.assertEqual(len(lines), len(self.root_names()), lines)
        for section in ("GAMES", "VCD"):
            got = io.BytesIO()
            f.retrbinary("RETR /%s/big.bin" % section, got.write)
            self.assertEqual(digest(got.getvalue()), digest(self.files[section]), section)
            up = os.urandom(700000) + b"\r\n" * 1000
            f.storbinary("STOR /%s/up-ftplib.bin" % section, io.BytesIO(up))
            root = self.roots[0 if section == "GAMES" else 1]
            with open(os.path.join(root, section, "up-ftplib.bin"), "rb") as stored:
                self.assertEqual(digest(stored.read()), digest(up), section)
        # A file at the root level comes from the first site that holds it.
        got = io.BytesIO()
        f.retrbinary("RETR only1.txt", got.write)
        self.assertEqual(got.getvalue(), b"only on 1\n")
        self.assertTrue(f.sendcmd("NOOP").startswith("200"))

    def test_curl_and_lftp_passive_and_active_with_tls_forced(self):
        # curl's active mode with TLS stalls against these servers even when
        # connected directly, so curl runs passive and lftp covers active.
        for mode in ([],):
            listing = self.curl(*mode, "-l", "ftp://%s:%d/" % (HOST, self.daemon.port))
            self.assertEqual(listing.returncode, 0, listing.stderr)
            names = set(listing.stdout.decode().splitlines())
            self.assertEqual({n.rstrip("\r") for n in names}, self.root_names(), mode)
            got = self.curl(*mode, "ftp://%s:%d/VCD/big.bin" % (HOST, self.daemon.port))
            self.assertEqual(got.returncode, 0, got.stderr)
            self.assertEqual(digest(got.stdout), digest(self.files["VCD"]), mode)
        script = ("set ftp:ssl-force true; set ftp:ssl-protect-data true; set ssl:verify-certificate no; "
                  "set ftp:passive-mode false; set ftp:port-ipv4 127.0.0.1; "
                  "set net:max-retries 1; set net:timeout 30; open -u %s,%s %s:%d; cls -1 /; "
                  "get /GAMES/big.bin -o %s; put %s -o /VCD/up-lftp.bin; bye")
        out = os.path.join(self.base, "lftp-got.bin")
        src = os.path.join(self.base, "lftp-up.bin")
        up = os.urandom(500000)
        with open(src, "wb") as f:
            f.write(up)
        run = subprocess.run(["lftp", "-c", script % (self.user, PASSWORD, HOST, self.daemon.port, out, src)],
                             capture_output=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual({l.strip("/") for l in run.stdout.decode().split("\n") if l}, self.root_names())
        with open(out, "rb") as f:
            self.assertEqual(digest(f.read()), digest(self.files["GAMES"]))
        with open(os.path.join(self.roots[1], "VCD", "up-lftp.bin"), "rb") as f:
            self.assertEqual(digest(f.read()), digest(up))

    def test_implicit_tls_forced_login_and_refusals(self):
        implicit = self.start_daemon("implicit")
        self.addCleanup(implicit.stop)
        got = subprocess.run(["curl", "-sS", "--max-time", "60", "-k", "-u", "%s:%s" % (self.user, PASSWORD),
                              "ftps://%s:%d/GAMES/big.bin" % (HOST, implicit.port)], capture_output=True, timeout=90)
        self.assertEqual(got.returncode, 0, got.stderr)
        self.assertEqual(digest(got.stdout), digest(self.files["GAMES"]))

        forced = self.start_daemon("force")
        self.addCleanup(forced.stop)
        plain = ftplib.FTP(timeout=20)
        plain.connect(HOST, forced.port)
        with self.assertRaises(ftplib.error_perm) as refused:
            plain.login(self.user, PASSWORD)
        self.assertTrue(str(refused.exception).startswith("530 TLS is required"), refused.exception)
        plain.close()
        self.ftps(forced).quit()

        # A client that stops in the middle of its handshake costs its own session only.
        with socket.create_connection((HOST, self.daemon.port), timeout=10) as stuck:
            stuck.recv(1024)
            stuck.sendall(b"AUTH TLS\r\n")
            self.assertTrue(stuck.recv(1024).startswith(b"234"))
            stuck.sendall(b"\x16\x03\x01")
            self.ftps().quit()

    def test_sites_without_tls_or_with_an_untrusted_certificate_end_the_session(self):
        plain_root = tempfile.mkdtemp(prefix="ferry-plain-", dir=self.base)
        plain_site = RealSite(plain_root, user=self.user, password=PASSWORD)
        self.addCleanup(plain_site.stop)
        other_cert, _ = make_certificate(tempfile.mkdtemp(dir=self.base))
        cases = [([self.vsftpd.port, plain_site.port], {}, "421 Site 2 refused a protected connection"),
                 ([self.vsftpd.port], {"sitetlsca": other_cert}, "421 Site 1 refused a protected connection")]
        for sites, extra, want in cases:
            d = self.start_daemon("yes", sites=sites, extra=extra)
            self.addCleanup(d.stop)
            with socket.create_connection((HOST, d.port), timeout=30) as c:
                c.settimeout(30)
                self.assertTrue(c.recv(1024).decode().startswith(want), want)
            self.assertTrue(wait_for(lambda: "refused TLS" in open(d.log_path).read()))


if __name__ == "__main__":
    unittest.main(verbosity=2)
