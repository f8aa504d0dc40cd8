"""Session safety through the real daemon: data ports that take only the
expected peer, sites that close, stall or send odd lines, clients that
pipeline or half-close, and bounces that end with their session.

127.0.0.2 plays a stranger on the same host."""

import os
import re
import socket
import sys
import threading
import time
import unittest

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "support"))
sys.path.insert(0, os.path.join(here, "..", "data"))
from ferry_harness import HOST, ScriptedSitesCase, login_script, read_to_end, wait_for  # noqa: E402
from data_peers import ListingScript, daemon_usage, names_of, three_listings  # noqa: E402

INTRUDER = "127.0.0.2"
PASSIVE = re.compile(r"(?:227 Entering Passive Mode \(127,0,0,1,(\d+),(\d+)\)\.|"
                     r"229 Entering Extended Passive Mode \(\|\|\|(\d+)\|\))\r\n$")


def announced_port(reply):
    m = PASSIVE.match(reply)
    if not m:
        raise AssertionError("not a passive reply: %r" % reply)
    return int(m.group(3)) if m.group(3) else int(m.group(1)) * 256 + int(m.group(2))


def intrude(port, text=b""):
    s = socket.socket()
    s.settimeout(5)
    s.bind((INTRUDER, 0))
    s.connect((HOST, port))
    if text:
        s.sendall(text)
    return s


def closed_on(sock, seconds=5):
    """True when the peer closes `sock` within `seconds` without sending a byte."""
    sock.settimeout(seconds)
    try:
        return sock.recv(100) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False
    finally:
        sock.close()


def read_all(sock):
    sock.settimeout(10)
    return read_to_end(sock).decode("latin-1")


def later(seconds, action):
    t = threading.Timer(seconds, action)
    t.daemon = True
    t.start()


class SafetyCase(ScriptedSitesCase):
    start = ScriptedSitesCase.start_sites
    connect = ScriptedSitesCase.client

    def listing_sites(self, entries=300, extra=()):
        listings, names = three_listings(entries)
        self.scripts = [ListingScript(l) for l in listings[:2]]
        scripts = [s.script() for s in self.scripts]
        for s, e in zip(scripts, list(extra) + [{}] * 2):
            s.update(e)
        self.start(scripts, {"log": "ceritp"})
        return set(names_of(listings[0].splitlines()[1:] + listings[1].splitlines()[1:]))

    def assert_listing(self, text, names):
        got = names_of(text.splitlines(True))
        self.assertEqual(sorted(got), sorted(names))

    def assert_refused_logged(self, port):
        line = "data connection from %s to port %d refused: expected %s\n" % (INTRUDER, port, HOST)
        self.assertTrue(wait_for(lambda: line in self.daemon.log()), line)


class DataPorts(SafetyCase):
    def test_passive_port_takes_only_the_clients_address(self):
        names = self.listing_sites()
        c = self.connect()
        for command in ("PASV", "EPSV"):
            port = announced_port(c.cmd(command)[0])
            self.assertTrue(closed_on(intrude(port)), command)
            self.assert_refused_logged(port)
            # The bounce still waits for the client itself.
            data = socket.create_connection((HOST, port), timeout=10)
            self.assertEqual(c.cmd("LIST"), ["150 Here comes the directory listing.\r\n"])
            self.assert_listing(read_all(data), names)
            data.close()
            self.assertEqual(c.reply(), ["226 Directory send OK.\r\n"])

    def test_active_ports_take_only_their_sites_address(self):
        names = self.listing_sites()
        c = self.connect()
        injected = ("-rw-r--r--   1 user     group        1234 Jan 01 12:00 injected\r\n" * 20).encode()
        for command in ("PORT 127,0,0,1,%d,%d", "EPRT |1|127.0.0.1|%d|"):
            client_side = socket.socket()
            client_side.bind((HOST, 0))
            client_side.listen(1)
            client_side.settimeout(10)
            p = client_side.getsockname()[1]
            line = command % ((p // 256, p % 256) if command.startswith("PORT") else (p,))
            self.assertEqual(c.cmd(line), ["200 PORT command successful.\r\n"])
            site_ports = [s.sessions[-1].data_target[1] for s in self.sites]
            strangers = [intrude(sp, injected) for sp in site_ports]
            self.assertEqual(c.cmd("LIST"), ["150 Here comes the directory listing.\r\n"])
            data, _ = client_side.accept()
            client_side.close()
            self.assert_listing(read_all(data), names)
            data.close()
            self.assertEqual(c.reply(), ["226 Directory send OK.\r\n"])
            for sp, stranger in zip(site_ports, strangers):
                self.assertTrue(closed_on(stranger), line)
                self.assert_refused_logged(sp)

    def test_passive_reply_naming_another_host_is_not_followed(self):
        listings, names = three_listings(50)
        intruders = []

        def pasv_elsewhere(session, line):
            # The site's data port on its own address; its reply names the
            # same port on another, where a stranger listens.
            while True:
                own, intruder = socket.socket(), socket.socket()
                own.bind((HOST, 0))
                try:
                    intruder.bind((INTRUDER, own.getsockname()[1]))
                    break
                except OSError:
                    own.close()
                    intruder.close()
            own.listen(4)
            intruder.listen(4)
            intruders.append(intruder)
            session.data_listener = own
            p = own.getsockname()[1]
            return "227 Entering Passive Mode (127,0,0,2,%d,%d).\r\n" % (p // 256, p % 256)

        scripts = [ListingScript(l).script() for l in listings[:2]]
        scripts[1]["PASV"] = pasv_elsewhere
        self.start(scripts, {"log": "ceritp"})
        c = self.connect()
        for _ in range(2):
            data = socket.create_connection((HOST, announced_port(c.cmd("PASV")[0])), timeout=10)
            self.assertEqual(c.cmd("LIST"), ["150 Here comes the directory listing.\r\n"])
            self.assert_listing(read_all(data), set(names_of((listings[0] + listings[1]).splitlines()[1:])) - {""})
            data.close()
            self.assertEqual(c.reply(), ["226 Directory send OK.\r\n"])
        for intruder in intruders:
            intruder.setblocking(False)
            self.assertRaises(BlockingIOError, intruder.accept)
            intruder.close()
        said = [l for l in self.daemon.log().splitlines() if "passive reply for" in l]
        self.assertEqual(len(said), 1, said)
        self.assertTrue(said[0].endswith("site 2's passive reply for 127.0.0.1 names 127.0.0.2, not 127.0.0.1: "
                                         "its data connection goes to 127.0.0.1"), said)

    def test_new_data_port_and_end_of_session_close_the_earlier_ones(self):
        self.listing_sites(10)
        # The daemon's own long-lived threads (and a sanitizer's) may still be
        # starting: count from after a first session, once nothing changes.
        warm = self.connect()
        self.assertEqual(warm.cmd("QUIT"), ["221 Goodbye.\r\n"])
        warm.close()
        samples = []

        def settled():
            samples.append(daemon_usage(self.daemon.proc.pid))
            time.sleep(0.3)
            return len(samples) > 1 and samples[-1] == samples[-2]

        self.assertTrue(wait_for(settled, 15))
        before = samples[-1]
        c = self.connect()
        first = announced_port(c.cmd("PASV")[0])
        for _ in range(49):
            announced_port(c.cmd("PASV")[0])

        def refused():
            try:
                socket.create_connection((HOST, first), timeout=1).close()
                return False
            except ConnectionRefusedError:
                return True

        self.assertTrue(wait_for(refused, 3))
        self.assertEqual(c.cmd("QUIT"), ["221 Goodbye.\r\n"])
        c.close()
        self.assertTrue(wait_for(lambda: daemon_usage(self.daemon.proc.pid) == before, 30),
                        "%r now, %r before" % (daemon_usage(self.daemon.proc.pid), before))


class SiteTrouble(SafetyCase):
    def test_site_closing_while_idle_ends_the_session_at_once(self):
        self.start([login_script(), login_script()])
        # The current site's last words reach the client.
        c = self.connect()
        self.sites[0].sessions[-1].send("421 Timeout.\r\n")
        self.sites[0].sessions[-1].close()
        self.assertEqual(c.reply(), ["421 Timeout.\r\n"])
        self.assertTrue(c.closed_within(3))
        # Another site's are not the client's, but its end ends the session too.
        c = self.connect()
        self.sites[1].sessions[-1].send("421 Timeout.\r\n")
        self.sites[1].sessions[-1].close()
        self.assertTrue(c.closed_within(3))
        self.assertEqual(c.buf, b"")

    def test_site_lines_pass_whole_and_end_at_a_nul(self):
        long_first, long_last = "211-" + "a" * 1500 + "\r\n", "211 " + "b" * 3000 + "\r\n"
        self.start([login_script(extra={"STAT": long_first + long_last, "SITE NUL": "200-ab\0cd\r\n200 ef\0gh\r\n"}),
                    login_script()])
        c = self.connect()
        self.assertEqual(c.cmd("STAT"), [long_first, long_last])
        self.assertEqual(c.cmd("SITE NUL"), ["200-ab\r\n", "200 ef\r\n"])
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])
        self.assertEqual(c.cmd("NO\0OP"), ["500 Command line holds a NUL byte.\r\n"])
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])
        self.assertNotIn(b"\0", self.sites[0].sessions[-1].raw)
        self.assertEqual(self.sites[0].received()[-3:], ["SITE NUL", "NOOP", "NOOP"])

    def test_sites_answering_one_broadcast_differently_stay_in_step(self):
        def late_end(session, line):
            later(0.4, lambda: session.send("226 Transfer done.\r\n"))
            return "150 Opening data connection.\r\n"

        self.listing_sites(10, [{"MLSD": late_end}, {"MLSD": "500 MLSD not understood.\r\n"}])
        c = self.connect()
        announced_port(c.cmd("PASV")[0])
        self.assertEqual(c.cmd("MLSD"), ["500 MLSD not understood.\r\n"])
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])
        self.assertEqual(c.cmd("PWD"), ['257 "/" is current directory.\r\n'])
        self.assertTrue(c.nothing_within(0.5))

    def test_silent_site_ends_the_session_after_the_reply_limit(self):
        limit = 2

        def stalled(session, line):
            return "200-first of many\r\n"

        def slow_transfer(session, line):
            later(limit + 1, lambda: session.send("226 Transfer done.\r\n"))
            return "150 Opening data connection.\r\n"

        def closing(site):
            return "421 Site %d did not answer in time, closing the session.\r\n" % (site + 1)

        scripts = [login_script(extra={"SITE STALL": stalled, "RETR ": slow_transfer}),
                   login_script(extra={"SITE MWHO": None})]
        self.start(scripts, {"replytimeout": str(limit)})
        # A transfer may take longer than the limit.
        c = self.connect()
        self.assertEqual(c.cmd("RETR x"), ["150 Opening data connection.\r\n"])
        self.assertEqual(c.reply(), ["226 Transfer done.\r\n"])
        # Stopping inside a multi-line reply, and not answering at all.
        for command, site in (("SITE STALL", 0), ("SITE WHO", 1)):
            c = self.connect()
            started = time.monotonic()
            self.assertEqual(c.cmd(command), [closing(site)])
            self.assertGreaterEqual(time.monotonic() - started, limit - 0.5)
            self.assertTrue(c.closed_within(3))
        # A greeting counts as a reply.
        self.sites[1].greeting = None
        c = self.daemon.client()
        self.addCleanup(c.close)
        self.assertEqual(c.reply(), [closing(1)])
        self.assertTrue(c.closed_within(3))


class ClientLines(SafetyCase):
    def test_lines_of_one_read_each_matched_by_their_own_text_in_turn(self):
        times = {}

        def slow_pwd(session, line):
            time.sleep(0.3)
            times["pwd answered"] = time.monotonic()
            return '257 "/" is current directory.\r\n'

        def dele(session, line):
            times["dele heard"] = time.monotonic()
            return "250 {name} deleted.\r\n"

        extra = [{"DELE ": dele, "SITE MWHO": "200 {name} has nobody.\r\n"},
                 {"PWD": slow_pwd, "DELE ": dele, "SITE MWHO": "200 {name} has nobody.\r\n"}]
        self.listing_sites(10, extra)
        c = self.connect(login=False)
        c.send("USER u\r\nPASS p\r\n")
        self.assertEqual([c.reply(), c.reply()], [["331 Password required.\r\n"], ["230 User logged in.\r\n"]])
        c.send("PWD\r\nDELE file\r\n")
        self.assertEqual([c.reply(), c.reply()], [['257 "/" is current directory.\r\n'], ["250 site0 deleted.\r\n"]])
        self.assertGreater(times["dele heard"], times["pwd answered"])
        c.send("NOOP\r\nPASV\r\n")
        self.assertEqual(c.reply(), ["200 site0 ok.\r\n"])
        port = announced_port(c.reply()[0])
        self.assertNotIn(port, [s.sessions[-1].data_listener.getsockname()[1] for s in self.sites])
        c.send("SITE WHO\r\nQUIT\r\n")
        self.assertEqual([c.reply(), c.reply()], [["200 site0 has nobody.\r\n"], ["221 Goodbye.\r\n"]])
        self.assertEqual(self.sites[0].received()[2:], ["SITE SHOWPID", "PWD", "DELE file", "NOOP", "PASV",
                                                        "SITE MWHO", "QUIT"])
        self.assertEqual(self.sites[1].received()[2:], ["SITE SHOWPID", "PWD", "PASV", "SITE MWHO"])

    def test_abor_and_stat_reach_the_site_while_a_transfer_runs(self):
        script = login_script(extra={"RETR ": "150 Opening data connection.\r\n", "STAT": "211 Transferring.\r\n",
                                     "ABOR": "426 Transfer aborted.\r\n226 Abort successful.\r\n"})
        self.start([script, login_script()])
        c = self.connect()
        # The site never ends these transfers by itself.
        self.assertEqual(c.cmd("RETR x"), ["150 Opening data connection.\r\n"])
        self.assertEqual(c.cmd("STAT"), ["211 Transferring.\r\n"])
        self.assertEqual(c.cmd("RETR y"), ["150 Opening data connection.\r\n"])
        self.assertEqual([c.cmd("ABOR"), c.reply()], [["426 Transfer aborted.\r\n"], ["226 Abort successful.\r\n"]])
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])

    def test_half_closed_client_still_gets_its_replies(self):
        def slow_noop(session, line):
            time.sleep(0.3)
            return "200 {name} ok.\r\n"

        self.start([login_script(extra={"NOOP": slow_noop}), login_script()])
        c = self.connect()
        c.send("PWD\r\nNOOP\r\n")
        c.sock.shutdown(socket.SHUT_WR)
        self.assertEqual([c.reply(), c.reply()], [['257 "/" is current directory.\r\n'], ["200 site0 ok.\r\n"]])
        self.assertTrue(c.closed_within(3))
        self.assertEqual(c.buf, b"")


class OwnLines(SafetyCase):
    def test_lines_the_daemon_makes_end_in_crlf(self):
        # Sites take the identity line without a word.
        script = login_script(extra={"AUTH ": None, "SITE STATINFO ": "200-a,b,k,1\r\n200 x\r\n"})
        self.start([script, dict(script)], {"bouncemodedown": "ac"})
        c = self.connect()
        self.assertEqual(c.cmd("CWD /MOVIES"), ["550 Sorry, No Such Section in Config ;)\r\n"])
        self.assertEqual(c.cmd("SITE STATINFO k"), ["200-a,b,k,2\r\n", "200 Command Successful.\r\n"])
        c.cmd("SITE WHO")
        c.cmd("SITE SSWHO")
        for s in self.sites:
            raw = s.sessions[-1].raw
            self.assertTrue(raw.startswith(b"AUTH *@127.0.0.1\r\nNOOP\r\nUSER u\r\n"), raw)
            self.assertIn(b"SITE MWHO\r\nSITE MSWHO\r\n", raw)


if __name__ == "__main__":
    unittest.main()
