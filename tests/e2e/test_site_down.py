"""`sitedown degrade` with real sites (pyftpdlib) that the test stops and
starts: logins while a site is down, a site lost at the root and in its own
section, its return, and lftp through the daemon while a site is stopped."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ferry_harness import HOST, WAIT, Daemon, free_port, stop_process, wait_for, write_tree  # noqa: E402

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
    import socket
    line = say(c, "PASV")
    nums = line[line.index("(") + 1:line.index(")")].split(",")
    data = socket.create_connection((HOST, int(nums[4]) * 256 + int(nums[5])), timeout=WAIT)
    first = say(c, "NLST")
    body = b""
    while True:
        chunk = data.recv(65536)
        if not chunk:
            break
        body += chunk
    data.close()
    last = "".join(c.reply())
    return first, sorted(body.decode().split()), last


class SiteDownDegrade(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="ferrydown-")
        one, two = os.path.join(self.tmp, "one"), os.path.join(self.tmp, "two")
        write_tree(one, {"a.txt": b"from one\n", "GAMES/g.txt": b"game\n"})
        write_tree(two, {"b.txt": b"from two\n", "VCD/v.txt": b"video\n"})
        self.sites = [StoppableSite(one), StoppableSite(two)]
        self.daemon = Daemon(sites=[s.port for s in self.sites],
                             settings={"sitedown": "degrade", "connectiontimeout": "5", "replytimeout": "10",
                                       "log": "cerdfitm"})

    def tearDown(self):
        self.daemon.stop()
        for s in self.sites:
            s.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_down_at_login_lost_mid_session_and_back(self):
        # Lost at the root: the session goes on with the other site.
        at_root, _, ok = login(self.daemon)
        self.assertTrue(ok.startswith("230"), ok)
        in_section, _, _ = login(self.daemon)
        self.assertTrue(say(in_section, "CWD /VCD").startswith("250"))
        self.sites[1].stop()
        self.assertEqual(root_names(at_root)[1], ["GAMES", "a.txt"])
        self.assertTrue(say(at_root, "CWD /GAMES").startswith("250"))
        # In the lost site's own section the session ends.
        in_section.send("PWD\r\n")
        self.assertTrue(in_section.closed_within(WAIT))
        self.assertTrue(wait_for(lambda: "site 2 is down: " in self.daemon.log()), self.daemon.log())

        # Logins while it is down: the first site's greeting, its sections
        # and files only, and no account change.
        c, greeting, ok = login(self.daemon)
        self.assertTrue(greeting.startswith("220") and ok.startswith("230"), greeting + ok)
        self.assertEqual(root_names(c)[1], ["GAMES", "a.txt"])
        self.assertEqual(say(c, "CWD /VCD"), "450 Site 2 is down, try again later.\r\n")
        self.assertTrue(say(c, "TYPE I").startswith("200"))
        self.assertEqual(say(c, "SIZE /VCD/v.txt"), "450 Site 2 is down, try again later.\r\n")
        # At the root a file no live site holds may be on the missing one.
        self.assertEqual(say(c, "SIZE /b.txt"), "450 Site 2 is down, try again later.\r\n")
        self.assertEqual(say(c, "SIZE /a.txt"), "213 9\r\n")
        self.assertEqual(say(c, "SITE ADDUSER someone secret"),
                         "450 Site 2 is down, account changes wait until every site is back.\r\n")
        self.assertTrue(say(c, "CWD /GAMES").startswith("250"))
        # During the back-off no session waits on the site.
        started = time.monotonic()
        quick, _, ok = login(self.daemon)
        self.assertTrue(ok.startswith("230"))
        self.assertLess(time.monotonic() - started, 2.0)
        self.assertIn("goes without site 2: down", self.daemon.log())
        for client in (at_root, c, quick):
            client.close()

        # Started again, the site joins the first session after its back-off.
        self.sites[1].start()
        deadline = time.monotonic() + 90
        names = []
        while time.monotonic() < deadline:
            c, _, _ = login(self.daemon)
            names = root_names(c)[1]
            c.close()
            if "b.txt" in names:
                break
            time.sleep(1)
        self.assertEqual(names, ["GAMES", "VCD", "a.txt", "b.txt"])
        self.assertRegex(self.daemon.log(), r"site 2 is back after \d+ s\n")
        self.assertEqual(self.daemon.log().count("site 2 is down: "), 1)

    @unittest.skipUnless(shutil.which("lftp"), "needs lftp")
    def test_lftp_while_a_site_is_stopped(self):
        self.sites[1].stop()
        script = ("set cmd:fail-exit no; set net:max-retries 1; set net:timeout 10; set ftp:passive-mode on; "
                  "open -u user,secret -p %d %s; cls -1 /; cd /VCD; cd /GAMES; cat g.txt; "
                  "quote SITE ADDUSER someone secret; bye" % (self.daemon.port, HOST))
        run = subprocess.run(["lftp", "-d", "-c", script], capture_output=True, timeout=120)
        out, err = run.stdout.decode(), run.stderr.decode()
        transcript = os.environ.get("FERRYNET_TRANSCRIPT")
        if transcript:
            with open(transcript, "w") as f:
                f.write(err + "\n--- output ---\n" + out + "\n--- log ---\n" + self.daemon.log())
        self.assertEqual(out.splitlines(), ["/GAMES/", "/a.txt", "game",
                                            "450 Site 2 is down, account changes wait until every site is back."],
                         out + err)
        self.assertIn("cd: Fatal error: max-retries exceeded (450 Site 2 is down, try again later.)", err)


if __name__ == "__main__":
    unittest.main()
