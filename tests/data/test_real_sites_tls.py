"""The TLS mode of the vsftpd and proftpd sites, checked straight against each
server with ftplib: plain logins are refused, and a protected listing and
download work once the data connection reuses the control session, and only then."""

import ftplib
import os
import shutil
import ssl
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from real_sites import ProftpdSite, VsftpdSite, proftpd_tls_available, vsftpd_available  # noqa: E402

CONTENT = b"payload \x00\xff over TLS\r\n" * 300


class SessionReusingFTP(ftplib.FTP_TLS):
    """ftplib opens each protected data connection as a new TLS session."""

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host, session=self.sock.session)
        return conn, size


class TlsSites:
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="ferrytls-")
        os.chmod(self.root, 0o755)
        with open(os.path.join(self.root, "data file.bin"), "wb") as f:
            f.write(CONTENT)
        self.addCleanup(shutil.rmtree, self.root, True)
        self.site = self.make_site(self.root)
        self.addCleanup(self.site.stop)

    def login(self, cls):
        f = cls(context=ssl.create_default_context(cafile=self.site.cert))
        self.addCleanup(f.close)
        f.connect("127.0.0.1", self.site.port, timeout=20)
        f.login(self.site.user, self.site.password)
        f.prot_p()
        return f

    def test_protected_list_and_retrieve_need_tls_and_session_reuse(self):
        plain = ftplib.FTP()
        self.addCleanup(plain.close)
        plain.connect("127.0.0.1", self.site.port, timeout=20)
        with self.assertRaises(ftplib.error_perm):
            plain.login(self.site.user, self.site.password)

        f = self.login(SessionReusingFTP)
        self.assertEqual(f.nlst(), ["data file.bin"])
        got = []
        f.retrbinary("RETR data file.bin", got.append)
        self.assertEqual(b"".join(got), CONTENT)

        with self.assertRaises((ftplib.error_temp, ftplib.error_perm)):
            self.login(ftplib.FTP_TLS).nlst()


@unittest.skipUnless(vsftpd_available(), "vsftpd is missing, or not root")
class VsftpdTls(TlsSites, unittest.TestCase):
    make_site = staticmethod(lambda root: VsftpdSite(root, tls=True))


@unittest.skipUnless(proftpd_tls_available(), "proftpd or its mod_tls is missing, or not root")
class ProftpdTls(TlsSites, unittest.TestCase):
    make_site = staticmethod(lambda root: ProftpdSite(root, tls=True))


if __name__ == "__main__":
    unittest.main()
