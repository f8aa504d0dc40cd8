"""ferrynet set up as operators set it up: sections of their own, stock
servers that answer the identity line, and implicit TLS in front."""

import ftplib
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ferry_harness import HOST, WAIT, Daemon, RealSite, ScriptedSite, login_script, wait_for, write_tree  # noqa: E402
from real_sites import VsftpdSite, make_certificate, vsftpd_available  # noqa: E402

NO_SECTION = "550 Sorry, No Such Section in Config ;)"


class ConfiguredSections(unittest.TestCase):
    def test_cwd_paths_and_listings_follow_the_configured_table(self):
        # Site 1 holds Movies and VCD, site 2 holds TV; both hold GAMES, which no line names.
        tmp = tempfile.mkdtemp(prefix="ferrysections-")
        self.addCleanup(shutil.rmtree, tmp, True)
        roots = [os.path.join(tmp, "s1"), os.path.join(tmp, "s2")]
        write_tree(roots[0], {"Movies/a.txt": b"movie on site 1\n", "VCD/v.txt": b"vcd on site 1\n",
                              "GAMES/g.txt": b"game\n", "one.txt": b"root of 1\n"})
        write_tree(roots[1], {"TV/Show-GRP/b.txt": b"show on site 2\n", "VCD/v.txt": b"vcd on site 2\n",
                              "GAMES/g.txt": b"game\n", "two.txt": b"root of 2\n"})
        sites = [RealSite(r) for r in roots]
        for site in sites:
            self.addCleanup(site.stop)
        d = Daemon([s.port for s in sites], extra_lines=["section Movies 1", "section VCD 1", "section tv 2"])
        self.addCleanup(d.stop)
        f = ftplib.FTP()
        f.connect(HOST, d.port, timeout=WAIT)
        self.addCleanup(f.close)
        f.login("user", "secret")

        def fetch(path):
            data = []
            f.retrbinary("RETR " + path, data.append)
            return b"".join(data)

        self.assertEqual(set(f.nlst()), {"Movies", "VCD", "GAMES", "TV", "one.txt", "two.txt"})
        # Paths from the root go to the section's site ("tv" in the file names TV).
        self.assertEqual(fetch("/TV/Show-GRP/b.txt"), b"show on site 2\n")
        self.assertEqual(fetch("/Movies/a.txt"), b"movie on site 1\n")
        self.assertEqual(f.size("/TV/Show-GRP/b.txt"), len(b"show on site 2\n"))
        # The configured VCD is on site 1, whatever the built-in table says.
        self.assertTrue(f.cwd("/VCD").startswith("250"))
        self.assertEqual((fetch("v.txt"), f.nlst()), (b"vcd on site 1\n", ["v.txt"]))
        f.cwd("/TV")
        self.assertEqual(f.nlst(), ["Show-GRP"])
        # A built-in name that no line configures is no section any more.
        with self.assertRaises(ftplib.error_perm) as refused:
            f.cwd("/GAMES")
        self.assertEqual((str(refused.exception), f.pwd()), (NO_SECTION, "/TV"))
        f.quit()


@unittest.skipUnless(vsftpd_available() and shutil.which("curl"), "needs vsftpd and curl")
class IdentityLineTowardsStockServers(unittest.TestCase):
    def test_vsftpds_answer_to_the_identity_line_never_reaches_the_client(self):
        tmp = tempfile.mkdtemp(prefix="ferryidentity-")
        self.addCleanup(shutil.rmtree, tmp, True)
        write_tree(tmp, {"hello.txt": b"hello from vsftpd\n"}, open_to_all=True)
        site = VsftpdSite(tmp)
        self.addCleanup(site.stop)
        d = Daemon([site.port], {"bouncemodedown": "ca", "replytimeout": "20"})
        self.addCleanup(d.stop)
        url = "ftp://%s:%d/" % (HOST, d.port)
        for args in ([url], [url + "hello.txt"]):
            got = subprocess.run(["curl", "-sS", "--max-time", "30", "-u", "%s:secret" % site.user] + args,
                                 capture_output=True, timeout=60)
            self.assertEqual(got.returncode, 0, got.stderr)
        self.assertEqual(got.stdout, b"hello from vsftpd\n")
        f = ftplib.FTP()
        f.connect(HOST, d.port, timeout=WAIT)
        self.addCleanup(f.close)
        self.assertTrue(f.login(site.user, "secret").startswith("230"))
        self.assertEqual(f.pwd(), "/")
        self.assertEqual(f.sendcmd("NOOP")[:3], "200")
        f.quit()
        self.assertIn("site 1 answered the identity line: 530", d.log())


class ImplicitTlsOrdering(unittest.TestCase):
    def test_sites_are_contacted_only_after_the_clients_handshake(self):
        tmp = tempfile.mkdtemp(prefix="ferryimplicit-")
        self.addCleanup(shutil.rmtree, tmp, True)
        cert, key = make_certificate(tmp)
        site = ScriptedSite("site0", script=login_script())
        self.addCleanup(site.close)
        d = Daemon([site.port], {"clienttls": "implicit", "tlscertfile": cert, "tlskeyfile": key})
        self.addCleanup(d.stop)
        # A plain client speaks where a handshake is due; another says nothing.
        silent = socket.create_connection((HOST, d.port), timeout=WAIT)
        self.addCleanup(silent.close)
        with socket.create_connection((HOST, d.port), timeout=WAIT) as plain:
            plain.sendall(b"USER anonymous\r\n")
            self.assertTrue(wait_for(lambda: "TLS handshake with client 127.0.0.1 failed" in d.log()))
        time.sleep(1.0)  # a site connection made for either would have arrived by now
        self.assertEqual(len(site.sessions), 0)

        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        with ctx.wrap_socket(socket.create_connection((HOST, d.port), timeout=WAIT)) as tls:
            self.assertEqual(tls.recv(1024), b"220 site0 ready.\r\n")
        self.assertEqual(len(site.sessions), 1)


if __name__ == "__main__":
    unittest.main()
