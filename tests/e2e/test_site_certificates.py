"""A site's certificate must name the site: real vsftpd sites showing
certificates made here, behind the daemon with `sitetlsca` set, and socat on
another loopback address playing a man in the middle."""

import datetime
import ftplib
import ipaddress
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ferry_harness import HOST, Daemon, stop_process, wait_for  # noqa: E402
from real_sites import VsftpdSite, vsftpd_available  # noqa: E402

from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec  # noqa: E402
from cryptography.x509.oid import NameOID  # noqa: E402

CONTENT = b"through a checked site \x00\xff\r\n" * 4000


def certificate(path, key, names, signer=None, days=(-1, 2)):
    """Writes a certificate for `names` (DNS names and addresses), signed by `signer` (cert, key) or by itself."""
    cn = "site" if names else "test CA"
    now, subject = datetime.datetime.utcnow(), x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])
    b = (x509.CertificateBuilder().subject_name(subject).issuer_name(signer[0].subject if signer else subject)
         .public_key(key.public_key()).serial_number(x509.random_serial_number())
         .not_valid_before(now + datetime.timedelta(days=days[0])).not_valid_after(now + datetime.timedelta(days=days[1])))
    sans = [x509.IPAddress(ipaddress.ip_address(n)) if n[0].isdigit() else x509.DNSName(n) for n in names]
    b = b.add_extension(x509.SubjectAlternativeName(sans) if sans else x509.BasicConstraints(True, None), not sans)
    cert = b.sign(signer[1] if signer else key, hashes.SHA256())
    with open(path, "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    return cert


@unittest.skipUnless(vsftpd_available() and shutil.which("socat"), "needs vsftpd (as root) and socat")
class SiteCertificates(unittest.TestCase):
    def test_only_a_certificate_naming_the_site_passes(self):
        base = tempfile.mkdtemp(prefix="ferry-sitecert-")
        self.addCleanup(shutil.rmtree, base, True)
        os.chmod(base, 0o755)
        with open(os.path.join(base, "file.bin"), "wb") as f:
            f.write(CONTENT)
        key, ca_key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
        key_path, ca = os.path.join(base, "leaf.key"), os.path.join(base, "ca.pem")
        with open(key_path, "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.TraditionalOpenSSL,
                                      serialization.NoEncryption()))
        signer = (certificate(ca, ca_key, []), ca_key)
        sites = {}
        for kind, names, signed, days in (("address", [HOST], True, (-1, 2)), ("dns", ["site.test"], True, (-1, 2)),
                                          ("expired", [HOST], True, (-10, -5)), ("self", [HOST], False, (-1, 2))):
            certificate(os.path.join(base, kind + ".pem"), key, names, signer if signed else None, days)
            sites[kind] = VsftpdSite(base, tls=True, certificate=(os.path.join(base, kind + ".pem"), key_path))
            self.addCleanup(sites[kind].stop)
        with socket.socket() as probe:
            probe.bind(("127.0.0.2", 0))
            relay_port = probe.getsockname()[1]
        socat = subprocess.Popen(["socat", "TCP-LISTEN:%d,bind=127.0.0.2,fork,reuseaddr" % relay_port,
                                  "TCP:%s:%d" % (HOST, sites["address"].port)], stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, socat)
        self.assertTrue(wait_for(lambda: subprocess.run(["ss", "-Hltn", "src", "127.0.0.2:%d" % relay_port],
                                                        capture_output=True).stdout.strip() != b""))
        mismatch = "certificate name mismatch: expected %s, the certificate holds %s"
        cases = [("address", HOST, 0, "", None), ("dns", HOST, 0, "site.test", None),
                 ("dns", HOST, 0, "", mismatch % (HOST, "DNS:site.test")),
                 ("address", "127.0.0.2", relay_port, "", mismatch % ("127.0.0.2", "IP:127.0.0.1")),
                 ("address", HOST, 0, "other.test", mismatch % ("other.test", "IP:127.0.0.1")),
                 ("expired", HOST, 0, "", "certificate expired on "),
                 ("self", HOST, 0, "", "certificate not signed by sitetlsca (self-signed certificate)")]
        for kind, host, port, names, why in cases:
            d = Daemon(settings={"cycleip": "%s:%d" % (host, port or sites[kind].port), "sitetls": "yes",
                                 "sitetlsca": ca, "sitetlsnames": names or None, "replytimeout": "20"})
            self.addCleanup(d.stop)
            if why:
                with socket.create_connection((HOST, d.port), timeout=30) as c:
                    self.assertEqual(c.recv(1024), b"421 Site 1 refused a protected connection, closing.\r\n", why)
                said = "site 1 refused TLS for 127.0.0.1 (" + why
                self.assertTrue(wait_for(lambda: said in d.log()), (said, d.log()))
                continue
            # Control and data connections check the same name.
            f = ftplib.FTP()
            f.connect(HOST, d.port, timeout=30)
            self.addCleanup(f.close)
            f.login(sites[kind].user, sites[kind].password)
            self.assertIn("file.bin", f.nlst())
            got = []
            f.retrbinary("RETR file.bin", got.append)
            self.assertEqual(b"".join(got), CONTENT, kind)
