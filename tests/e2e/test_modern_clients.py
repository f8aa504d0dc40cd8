"""What today's clients send first: FEAT, AUTH TLS, EPSV ALL."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ferry_harness import Daemon, ScriptedSite, login_script  # noqa: E402

FEATURES = ("211-Features:\r\n AUTH TLS\r\n PBSZ\r\n PROT\r\n MDTM\r\n MLST type*;size*;modify*;\r\n"
            " SIZE\r\n TLS\r\n UTF8\r\n EPSV\r\n211 End\r\n")


ROOT_FEATURES = ["211-Features:\r\n", " MDTM\r\n", " SIZE\r\n", " UTF8\r\n", " EPSV\r\n", "211 End\r\n"]


class FirstWords(unittest.TestCase):
    def setUp(self):
        self.c = self.start([FEATURES, FEATURES])

    def start(self, features):
        sites = [ScriptedSite("site%d" % i, script=login_script(extra={"FEAT": f, "CWD ": "250 ok.\r\n"}))
                 for i, f in enumerate(features)]
        daemon = Daemon([s.port for s in sites])
        self.addCleanup(lambda: (daemon.stop(), [s.close() for s in sites]))
        self.sites = sites
        c = daemon.client()
        self.addCleanup(c.close)
        c.reply()
        return c

    def test_features_at_root_hide_security_and_offer_machine_listings_only_from_every_site(self):
        every = ROOT_FEATURES[:2] + [" MLST type*;size*;modify*;\r\n"] + ROOT_FEATURES[2:]
        without = FEATURES.replace(" MLST type*;size*;modify*;\r\n", "")
        # A site that refuses FEAT withholds MLST; the client still gets the first site's list.
        refused = "500 FEAT not understood.\r\n"
        for second, want in ((FEATURES, every), (without, ROOT_FEATURES), (refused, ROOT_FEATURES)):
            with self.subTest(second=second):
                c = self.start([FEATURES, second])
                self.assertEqual(c.cmd("FEAT"), want)
                self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])
                self.assertEqual([l for l in self.sites[1].received() if l.upper() == "FEAT"], ["FEAT"])

    def test_features_in_a_section_keep_machine_listings(self):
        self.c.cmd("USER u")
        self.c.cmd("PASS p")
        self.c.cmd("CWD /VCD")
        self.assertEqual(self.c.cmd("FEAT"), ["211-Features:\r\n", " MDTM\r\n", " MLST type*;size*;modify*;\r\n",
                                              " SIZE\r\n", " UTF8\r\n", " EPSV\r\n", "211 End\r\n"])

    def test_auth_is_answered_by_the_daemon(self):
        for line in ("AUTH TLS", "AUTH SSL", "auth tls"):
            reply = self.c.cmd(line)
            self.assertEqual(len(reply), 1)
            self.assertTrue(reply[0].startswith("534 "), reply)
        time.sleep(0.2)
        for s in self.sites:
            self.assertFalse([l for l in s.received() if l.upper().startswith("AUTH")])
        self.assertEqual(self.c.cmd("USER u"), ["331 Password required.\r\n"])

    def test_epsv_all_refused(self):
        reply = self.c.cmd("EPSV ALL")
        self.assertTrue(reply[0].startswith("5"), reply)
        self.assertNotIn("EPSV ALL", self.sites[0].received())


if __name__ == "__main__":
    unittest.main()
