"""A site's TLS certificate must name the site: real vsftpd sites showing
certificates made here (one for the site's address, one for a DNS name only,
an expired one, a self-signed one) behind the daemon with `sitetlsca` set,
and a plain TCP forwarder on another loopback address standing in for a man
in the middle."""

import datetime
import ftplib
import ipaddress
import os
import shutil
import socket
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from ferry_harness import HOST, Daemon, wait_for  # noqa: E402
from real_sites import VsftpdSite, vsftpd_available  # noqa: E402

try:
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import rsa
    from cryptography.x509.oid import NameOID
except ImportError:  # scripts/install-deps.sh installs it
    x509 = None

STRANGER = "127.0.0.2"
CONTENT = b"through a checked site \x00\xff\r\n" * 4000
REFUSED = "421 Site 1 refused a protected connection, closing.\r\n"


class Certificates:
    """A CA and the certificates it signs, written as PEM files into `directory`."""

    def __init__(self, directory):
        self.dir = directory
        self.key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        self.key_path = self._write("leaf.key", self.key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.TraditionalOpenSSL, serialization.NoEncryption()))
        self.ca_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        self.ca_cert = self._build("test CA", self.ca_key, None, None, ca=True)
        self.ca_path = self._write("ca.pem", self.ca_cert.public_bytes(serialization.Encoding.PEM))

    def _write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def _build(self, cn, key, names, signer, ca=False, days=(-1, 2)):
        now = datetime.datetime.utcnow()
        subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])
        b = (x509.CertificateBuilder().subject_name(subject)
             .issuer_name(signer[0].subject if signer else subject)
             .public_key(key.public_key()).serial_number(x509.random_serial_number())
             .not_valid_before(now + datetime.timedelta(days=days[0]))
             .not_valid_after(now + datetime.timedelta(days=days[1])))
        if ca:
            b = b.add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        if names:
            b = b.add_extension(x509.SubjectAlternativeName(names), critical=False)
        return b.sign(signer[1] if signer else key, hashes.SHA256())

    def leaf(self, name, names, signed=True, days=(-1, 2)):
        """(certificate path, key path) of a certificate for `names` (DNS names and addresses)."""
        sans = [x509.IPAddress(ipaddress.ip_address(n)) if n[0].isdigit() else x509.DNSName(n) for n in names]
        cert = self._build("site", self.key, sans, (self.ca_cert, self.ca_key) if signed else None, days=days)
        return self._write(name + ".pem", cert.public_bytes(serialization.Encoding.PEM)), self.key_path


class Forwarder:
    """Plain TCP from a port on `host` to `target`, both ways, for every connection."""

    def __init__(self, host, target):
        self.target = target
        self.sock = socket.socket()
        self.sock.bind((host, 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.conns = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                down, _ = self.sock.accept()
                up = socket.create_connection(self.target, timeout=10)
            except OSError:
                return
            self.conns += [down, up]
            for a, b in ((down, up), (up, down)):
                threading.Thread(target=self._pump, args=(a, b), daemon=True).start()

    @staticmethod
    def _pump(src, dst):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def close(self):
        for s in [self.sock] + self.conns:
            try:
                s.close()
            except OSError:
                pass


@unittest.skipUnless(vsftpd_available() and x509 is not None, "needs vsftpd (as root) and python3-cryptography")
class SiteCertificates(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.base = tempfile.mkdtemp(prefix="ferry-sitecert-")
        cls.root = os.path.join(cls.base, "root")
        os.makedirs(cls.root)
        with open(os.path.join(cls.root, "file.bin"), "wb") as f:
            f.write(CONTENT)
        certs = Certificates(cls.base)
        cls.ca = certs.ca_path
        made = {
            "address": certs.leaf("address", [HOST]),
            "dns": certs.leaf("dns", ["site.test"]),
            "expired": certs.leaf("expired", [HOST], days=(-10, -5)),
            "self": certs.leaf("self", [HOST], signed=False),
        }
        cls.sites = {}
        try:
            for kind, pair in made.items():
                cls.sites[kind] = VsftpdSite(cls.root, tls=True, certificate=pair)
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for site in cls.sites.values():
            site.stop()
        shutil.rmtree(cls.base, ignore_errors=True)

    def daemon(self, host, port, extra=None):
        settings = {"cycleip": "%s:%d" % (host, port), "sitetls": "yes", "sitetlsca": self.ca, "replytimeout": "20"}
        settings.update(extra or {})
        d = Daemon(settings=settings)
        self.addCleanup(d.stop)
        return d

    def test_certificate_naming_the_site_passes_on_control_and_data(self):
        for kind, host, extra in (("address", HOST, {}), ("dns", HOST, {"sitetlsnames": "site.test"})):
            site = self.sites[kind]
            d = self.daemon(host, site.port, extra)
            f = ftplib.FTP()
            f.connect(HOST, d.port, timeout=30)
            self.addCleanup(f.close)
            f.login(site.user, site.password)
            self.assertEqual(f.nlst(), ["file.bin"], kind)
            got = []
            f.retrbinary("RETR file.bin", got.append)
            self.assertEqual(b"".join(got), CONTENT, kind)
            f.quit()
            self.assertNotIn("refused TLS", d.log(), kind)

    def test_certificate_for_another_name_expired_or_unsigned_ends_the_session(self):
        forwarder = Forwarder(STRANGER, (HOST, self.sites["address"].port))
        self.addCleanup(forwarder.close)
        cases = [
            ("dns", HOST, None, {}, "certificate name mismatch: expected 127.0.0.1, the certificate holds DNS:site.test"),
            ("address", STRANGER, forwarder.port, {},
             "certificate name mismatch: expected 127.0.0.2, the certificate holds IP:127.0.0.1"),
            ("address", HOST, None, {"sitetlsnames": "other.test"},
             "certificate name mismatch: expected other.test, the certificate holds IP:127.0.0.1"),
            ("expired", HOST, None, {}, "certificate expired on "),
            ("self", HOST, None, {}, "certificate not signed by sitetlsca (self-signed certificate)"),
        ]
        for kind, host, port, extra, why in cases:
            d = self.daemon(host, port or self.sites[kind].port, extra)
            with socket.create_connection((HOST, d.port), timeout=30) as c:
                c.settimeout(30)
                self.assertEqual(c.recv(1024).decode(), REFUSED, why)
            said = "site 1 refused TLS for 127.0.0.1 (" + why
            self.assertTrue(wait_for(lambda: said in d.log()), (said, d.log()))


if __name__ == "__main__":
    unittest.main(verbosity=2)
