"""`sitedown degrade` with real sites (pyftpdlib) that the test stops and
starts: logins while a site is down, a site lost at the root and in its own
section, its return, and lftp through the daemon while a site is stopped."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ferry_harness import (HOST, WAIT, Daemon, ScriptedSitesCase, free_port, login_script,  # noqa: E402
                           read_to_end, stop_process, wait_for, write_tree)

SITE_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "pyftpd_site.py")


class StoppableSite:
    """pyftpdlib on a fixed port, so that it can be started again where the daemon looks."""

    def __init__(self, root):
        self.root, self.port, self.proc = root, free_port(), None
        self.start()

    def start(self):
        port_file = tempfile.mktemp(prefix="ferrysite-port-")
        self.proc = subprocess.Popen(["/usr/bin/python3", SITE_SCRIPT, self.root, port_file, str(self.port)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: os.path.exists(port_file) or self.proc.poll() is not None):
            raise RuntimeError("site did not start")
        os.unlink(port_file)

    def stop(self):
        stop_process(self.proc)


def say(c, line):
    return "".join(c.cmd(line))


def login(daemon):
    c = daemon.client()
    greeting = "".join(c.reply())
    say(c, "USER user")
    return c, greeting, say(c, "PASS secret")


def root_names(c):
    """NLST of "/" through the daemon's passive port."""
    line = say(c, "PASV")
    nums = line[line.index("(") + 1:line.index(")")].split(",")
    with socket.create_connection((HOST, int(nums[4]) * 256 + int(nums[5])), timeout=WAIT) as data:
        say(c, "NLST")
        body = read_to_end(data)
    c.reply()
    return sorted(body.decode().split())


class SiteDownDegrade(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="ferrydown-")
        one, two = os.path.join(self.tmp, "one"), os.path.join(self.tmp, "two")
        write_tree(one, {"a.txt": b"from one\n", "GAMES/g.txt": b"game\n"})
        write_tree(two, {"b.txt": b"from two\n", "VCD/v.txt": b"video\n"})
        self.sites = [StoppableSite(one), StoppableSite(two)]
        self.daemon = Daemon(sites=[s.port for s in self.sites],
                             settings={"sitedown": "degrade", "connectiontimeout": "5", "replytimeout": "10"})

    def tearDown(self):
        self.daemon.stop()
        for s in self.sites:
            s.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    @unittest.skipUnless(shutil.which("lftp"), "needs lftp")
    def test_down_at_login_lost_mid_session_and_back(self):
        # Lost at the root: the session goes on with the other site.
        at_root, _, ok = login(self.daemon)
        self.assertTrue(ok.startswith("230"), ok)
        in_section, _, _ = login(self.daemon)
        self.assertTrue(say(in_section, "CWD /VCD").startswith("250"))
        self.sites[1].stop()
        self.assertEqual(root_names(at_root), ["GAMES", "a.txt"])
        self.assertTrue(say(at_root, "CWD /GAMES").startswith("250"))
        # In the lost site's own section the session ends.
        in_section.send("PWD\r\n")
        self.assertTrue(in_section.closed_within(WAIT))
        self.assertTrue(wait_for(lambda: "site 2 is down: " in self.daemon.log()), self.daemon.log())

        # Logins while it is down: the first site's greeting, its sections
        # and files only, and no account change.
        c, greeting, ok = login(self.daemon)
        self.assertTrue(greeting.startswith("220") and ok.startswith("230"), greeting + ok)
        self.assertEqual(root_names(c), ["GAMES", "a.txt"])
        self.assertEqual(say(c, "CWD /VCD"), "450 Site 2 is down, try again later.\r\n")
        self.assertTrue(say(c, "TYPE I").startswith("200"))
        self.assertEqual(say(c, "SIZE /VCD/v.txt"), "450 Site 2 is down, try again later.\r\n")
        # At the root a file no live site holds may be on the missing one.
        self.assertEqual(say(c, "SIZE /b.txt"), "450 Site 2 is down, try again later.\r\n")
        self.assertEqual(say(c, "SIZE /a.txt"), "213 9\r\n")
        self.assertEqual(say(c, "SITE ADDUSER someone secret"),
                         "450 Site 2 is down, account changes wait until every site is back.\r\n")
        # During the back-off no session waits on the site.
        started = time.monotonic()
        quick, _, ok = login(self.daemon)
        self.assertTrue(ok.startswith("230"))
        self.assertLess(time.monotonic() - started, 2.0)
        self.assertIn("goes without site 2: down", self.daemon.log())
        for client in (at_root, c, quick):
            client.close()
        # A real client sees the same.
        script = ("set cmd:fail-exit no; set net:max-retries 1; set net:reconnect-interval-base 1; "
                  "open -u user,secret -p %d %s; cls -1 /; cd /VCD; cd /GAMES; cat g.txt; "
                  "quote SITE ADDUSER someone secret; bye" % (self.daemon.port, HOST))
        run = subprocess.run(["lftp", "-d", "-c", script], capture_output=True, timeout=120)
        self.assertEqual(run.stdout.decode().splitlines(), [
            "/GAMES/", "/a.txt", "game", "450 Site 2 is down, account changes wait until every site is back."])
        self.assertIn(b"cd: Fatal error: max-retries exceeded (450 Site 2 is down, try again later.)", run.stderr)

        # Started again, the site joins the first session after its back-off.
        self.sites[1].start()
        deadline = time.monotonic() + 90
        names = []
        while time.monotonic() < deadline:
            c, _, _ = login(self.daemon)
            names = root_names(c)
            c.close()
            if "b.txt" in names:
                break
            time.sleep(1)
        self.assertEqual(names, ["GAMES", "VCD", "a.txt", "b.txt"])
        self.assertRegex(self.daemon.log(), r"site 2 is back after \d+ s\n")
        self.assertEqual(self.daemon.log().count("site 2 is down: "), 1)


class SiteLostWithScriptedSites(ScriptedSitesCase):
    def test_silent_site_dropped_at_root_and_transfer_on_a_closing_site_ends_in_426(self):
        def hang_up_after_150(session, line):
            session.send("150 Opening data connection.\r\n")
            time.sleep(0.2)
            session.close()

        self.start_sites([login_script(extra={"RETR ": "550 No such file.\r\n"}),
                          login_script(extra={"PWD": None, "RETR ": hang_up_after_150})],
                         settings={"sitedown": "degrade", "replytimeout": "2"})
        # A site silent at the root is left behind; the other's reply comes through.
        c = self.client()
        self.assertEqual(c.cmd("PWD"), ['257 "/" is current directory.\r\n'])
        self.assertIn("site 2 is down: no answer within 2 s\n", self.daemon.log())
        # Within its back-off a root file no site at hand has may be on it.
        during = self.client()
        self.assertEqual(during.cmd("RETR x.bin"), ["450 Site 2 is down, try again later.\r\n"])
        # Past it the site is tried again; a transfer on it that it hangs up ends in 426.
        time.sleep(SiteHealthBackoff)
        after = self.client()
        self.assertEqual(after.cmd("RETR x.bin"), ["150 Opening data connection.\r\n"])
        self.assertEqual(after.reply(), ["426 Site 2 went down, transfer aborted.\r\n"])
        self.assertEqual(after.cmd("NOOP"), ["200 site0 ok.\r\n"])
        self.assertRegex(self.daemon.log(), r"site 2 is back after \d+ s\n")
        self.assertEqual(self.daemon.log().count("site 2 is down: "), 2)


# The first back-off, and a little room.
SiteHealthBackoff = 5.5
