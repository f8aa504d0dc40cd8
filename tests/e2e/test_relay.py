"""The control relay through the real daemon, with scripted sites."""

import os
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ferry_harness import Daemon, ScriptedSite, login_script, wait_for, free_port  # noqa: E402

UNKNOWN = "550 Sorry, No Such Section in Config ;)\r\n"


class RelayCase(unittest.TestCase):
    def start(self, n=2, scripts=None, settings=None, **site_kw):
        scripts = scripts or [login_script() for _ in range(n)]
        self.sites = [ScriptedSite(name="site%d" % i, script=scripts[i], **site_kw) for i in range(n)]
        self.daemon = Daemon([s.port for s in self.sites], settings)
        self.addCleanup(self._stop)
        return self.daemon

    def _stop(self):
        self.daemon.stop()
        for s in self.sites:
            s.close()

    def connect(self, login=False):
        c = self.daemon.client()
        self.addCleanup(c.close)
        c.greeting = c.reply()
        if login:
            self.assertEqual(c.cmd("USER u"), ["331 Password required.\r\n"])
            c.login_reply = c.cmd("PASS p")
        return c

    def session(self, site, k=-1):
        self.assertTrue(site.wait_sessions(1))
        return site.sessions[k]

    def wait_lines(self, site, count, k=-1):
        s = self.session(site, k)
        self.assertTrue(wait_for(lambda: len(s.lines) >= count), "site got %r" % s.lines)
        return s.lines


class Greeting(RelayCase):
    def test_client_sees_site0_greeting_once_all_greeted(self):
        self.start(2)
        c = self.connect()
        self.assertEqual(c.greeting, ["220 site0 ready.\r\n"])
        self.assertTrue(c.nothing_within(0.3))

    def test_error_greeting_of_another_site_wins(self):
        self.sites = [ScriptedSite("site0", script=login_script()),
                      ScriptedSite("site1", greeting="530-Too many users\r\n530 Go away.\r\n")]
        self.daemon = Daemon([s.port for s in self.sites])
        self.addCleanup(self._stop)
        c = self.connect()
        self.assertEqual(c.greeting, ["530-Too many users\r\n", "530 Go away.\r\n"])

    def test_nothing_reaches_client_until_every_site_greeted(self):
        slow = ScriptedSite("slow", greeting=None, script=login_script())
        fast = ScriptedSite("fast", script=login_script())
        self.sites = [fast, slow]
        self.daemon = Daemon([fast.port, slow.port])
        self.addCleanup(self._stop)
        c = self.daemon.client()
        self.addCleanup(c.close)
        self.assertTrue(c.nothing_within(0.5))
        slow.wait_sessions(1)
        slow.sessions[0].send("220 slow ready.\r\n")
        self.assertEqual(c.reply(), ["220 fast ready.\r\n"])

    def test_multiline_greeting_split_over_reads(self):
        g = "220-Welcome\r\n220-to the\r\n220 site.\r\n"
        self.sites = [ScriptedSite("a", greeting=None, script=login_script()),
                      ScriptedSite("b", script=login_script())]
        self.daemon = Daemon([s.port for s in self.sites])
        self.addCleanup(self._stop)
        c = self.daemon.client()
        self.addCleanup(c.close)
        self.sites[0].wait_sessions(1)
        self.sites[0].sessions[0].send(g, chunks=[3, 9, 5, 11], pause=0.1)
        self.assertEqual(c.reply(), ["220-Welcome\r\n", "220-to the\r\n", "220 site.\r\n"])


class Login(RelayCase):
    def test_session_ids_recorded_and_showpid_answers_hidden(self):
        three_line = "230-Welcome\r\n230-back\r\n230 User logged in.\r\n"
        scripts = [login_script(extra={"PASS ": three_line}) for _ in range(2)]
        self.start(2, scripts)
        c = self.connect(login=True)
        self.assertEqual(c.login_reply, ["230-Welcome\r\n", "230-back\r\n", "230 User logged in.\r\n"])
        for site in self.sites:
            lines = self.wait_lines(site, 3)
            self.assertEqual(lines[:3], ["USER u", "PASS p", "SITE SHOWPID"])
        # The next reply is the next command's, not left-overs of the id answers.
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])

    def test_one_line_login_and_refused_showpid(self):
        scripts = [login_script(ids=False), login_script(ids=False)]
        self.start(2, scripts)
        c = self.connect(login=True)
        self.assertEqual(c.login_reply, ["230 User logged in.\r\n"])
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])

    def test_showpid_answer_split_over_reads(self):
        split = ("200- {id}\r\n200 Command Successful.\r\n", [4, 10, 7])
        scripts = [login_script(extra={"SITE SHOWPID": split}) for _ in range(2)]
        self.start(2, scripts)
        c = self.connect(login=True)
        self.assertEqual(c.login_reply, ["230 User logged in.\r\n"])
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])

    def test_refused_password_reaches_client(self):
        scripts = [login_script(), login_script(extra={"PASS ": "530 Login incorrect.\r\n"})]
        self.start(2, scripts)
        c = self.connect(login=True)
        self.assertEqual(c.login_reply, ["530 Login incorrect.\r\n"])
        self.assertNotIn("SITE SHOWPID", self.sites[0].received())

    def test_second_login_in_one_session(self):
        self.start(2)
        c = self.connect(login=True)
        self.assertEqual(c.cmd("USER v"), ["331 Password required.\r\n"])
        self.assertEqual(c.cmd("PASS q"), ["230 User logged in.\r\n"])
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])
        self.assertEqual(self.sites[1].received().count("SITE SHOWPID"), 2)


class Commands(RelayCase):
    def test_broadcast_reaches_every_site_client_gets_one_reply(self):
        self.start(3, [login_script() for _ in range(3)])
        c = self.connect(login=True)
        self.assertEqual(c.cmd("SITE ADDUSER bob secret"), ["200 site0 ok.\r\n"])
        for site in self.sites:
            self.assertIn("SITE ADDUSER bob secret", self.wait_lines(site, 4))

    def test_broadcast_sends_the_client_line_byte_for_byte(self):
        self.start(2)
        c = self.connect(login=True)
        c.send("SITE TAGLINE  two  blanks \r\n")
        self.assertEqual(c.reply(), ["200 site0 ok.\r\n"])
        for site in self.sites:
            self.assertTrue(wait_for(lambda: b"SITE TAGLINE  two  blanks \r\n" in site.sessions[0].raw))

    def test_transfer_type_reaches_every_site_from_any_directory(self):
        self.start(2, [login_script(extra={"CWD ": "250 ok.\r\n"}) for _ in range(2)])
        c = self.connect(login=True)
        c.cmd("CWD /GAMES")
        self.assertEqual(c.cmd("TYPE I"), ["200 site0 ok.\r\n"])
        for site in self.sites:
            self.assertTrue(wait_for(lambda: site.received()[-1] == "TYPE I"))

    def test_plain_command_goes_to_current_site_only(self):
        self.start(2)
        c = self.connect(login=True)
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])
        self.assertIn("NOOP", self.sites[0].received())
        time.sleep(0.2)
        self.assertNotIn("NOOP", self.sites[1].received())

    def test_site_who_asks_machine_lists_lower_case_too(self):
        self.start(2)
        c = self.connect(login=True)
        c.cmd("site who")
        for site in self.sites:
            lines = self.wait_lines(site, 4)
            self.assertIn("SITE MWHO", lines)
            self.assertNotIn("site who", lines)
        c.cmd("SITE SSWHO")
        for site in self.sites:
            self.assertIn("SITE MSWHO", self.wait_lines(site, 5))

    def test_root_commands_broadcast_only_at_root(self):
        self.start(2, [login_script(extra={"CWD ": "250 ok.\r\n"}) for _ in range(2)])
        c = self.connect(login=True)
        self.assertEqual(c.cmd("PWD"), ['257 "/" is current directory.\r\n'])
        self.assertIn("PWD", self.sites[1].received())
        self.assertEqual(c.cmd("CWD /GAMES"), ["250 ok.\r\n"])
        c.cmd("PWD")
        self.assertEqual(self.sites[1].received().count("PWD"), 1)
        self.assertEqual(self.sites[0].received().count("PWD"), 2)

    def test_error_reply_of_any_site_preferred(self):
        scripts = [login_script(), login_script(extra={"SITE KICK ": "550 No such user.\r\n"})]
        self.start(2, scripts)
        c = self.connect(login=True)
        self.assertEqual(c.cmd("SITE KICK bob"), ["550 No such user.\r\n"])

    def test_two_lines_in_one_read_each_match_their_own_text_in_turn(self):
        self.start(2, [login_script(extra={"CWD ": "250 CWD ok.\r\n"}) for _ in range(2)])
        c = self.connect(login=True)
        self.assertEqual(c.cmd("CWD /VCD"), ["250 CWD ok.\r\n"])
        # The PWD is read once the CWD has brought the client back to the
        # root, and is then a root command of its own: every site hears it.
        c.send("CWD /\r\nPWD\r\n")
        self.assertEqual(c.reply(), ["250 CWD ok.\r\n"])
        self.assertEqual(c.reply(), ['257 "/" is current directory.\r\n'])
        self.assertEqual(self.sites[0].received()[-2:], ["CWD /", "PWD"])
        self.assertEqual(self.sites[1].received()[-3:], ["CWD /VCD", "CWD /", "PWD"])

    def test_long_client_lines(self):
        self.start(2)
        c = self.connect(login=True)
        fits = "NOOP " + "x" * (1022 - 5)  # with CR LF, the longest line that goes out whole
        self.assertEqual(c.cmd(fits), ["200 site0 ok.\r\n"])
        self.assertIn(fits, self.sites[0].received())
        # Longer lines are refused by the daemon rather than cut and sent on.
        self.assertEqual(c.cmd("DELE " + "y" * 3000), ["500 Command line too long.\r\n"])
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])
        self.assertFalse([l for l in self.sites[0].received() if l.startswith("DELE")])


class Sections(RelayCase):
    def start_sections(self, n=2):
        scripts = [login_script(extra={"CWD ": "250 CWD command successful.\r\n",
                                       "CDUP": "250 CDUP command successful.\r\n"}) for _ in range(n)]
        self.start(n, scripts)
        return self.connect(login=True)

    def last(self, site):
        return site.received()[-1]

    def test_section_of_each_site_and_current_site_follows(self):
        c = self.start_sections()
        self.assertEqual(c.cmd("CWD vcd"), ["250 CWD command successful.\r\n"])
        self.assertEqual(self.last(self.sites[1]), "CWD vcd")
        self.assertEqual(c.cmd("NOOP"), ["200 site1 ok.\r\n"])
        self.assertEqual(c.cmd("CWD /GAMES"), ["250 CWD command successful.\r\n"])
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])

    def test_cdup_inside_and_to_root(self):
        c = self.start_sections()
        c.cmd("CWD /VCD/a")
        c.cmd("CDUP")
        self.assertEqual(self.last(self.sites[1]), "CDUP")
        before0 = len(self.sites[0].received())
        c.cmd("CDUP")  # /VCD -> /, every site
        self.assertTrue(wait_for(lambda: len(self.sites[0].received()) == before0 + 1))
        self.assertEqual(self.last(self.sites[0]), "CDUP")
        c.cmd("PWD")  # at the root again, PWD is broadcast
        self.assertTrue(wait_for(lambda: self.last(self.sites[0]) == "PWD"))

    def test_relative_path_sent_unchanged(self):
        c = self.start_sections()
        c.cmd("CWD /GAMES/x")
        self.assertEqual(c.cmd("CWD ../../DOX/./y"), ["250 CWD command successful.\r\n"])
        self.assertEqual(self.last(self.sites[0]), "CWD ../../DOX/./y")

    def test_unknown_sections_answered_by_daemon(self):
        c = self.start_sections()
        before = [len(s.received()) for s in self.sites]
        for line in ("CWD /MOVIES", "CWD \\APPS", "CWD /" + "a" * 300):
            self.assertEqual(c.cmd(line), [UNKNOWN])
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])
        self.assertEqual([len(s.received()) for s in self.sites], [before[0] + 1, before[1]])

    def test_root_forms_go_to_every_site(self):
        c = self.start_sections()
        for line in ("CWD /../..", "CWD //"):
            c.cmd(line)
            for s in self.sites:
                self.assertTrue(wait_for(lambda: self.last(s) == line))
        c.cmd("CWD //GAMES//")
        self.assertEqual(self.last(self.sites[0]), "CWD //GAMES//")

    def test_refused_cwd_keeps_directory(self):
        scripts = [login_script(extra={"CWD ": "250 ok.\r\n"}),
                   login_script(extra={"CWD ": "550 No such directory.\r\n"})]
        self.start(2, scripts)
        c = self.connect(login=True)
        self.assertEqual(c.cmd("CWD /VCD"), ["550 No such directory.\r\n"])
        c.cmd("PWD")  # still at the root: broadcast
        self.assertTrue(wait_for(lambda: self.sites[0].received()[-1] == "PWD"))

    def test_section_of_unconnected_site_is_unknown(self):
        self.start(1, [login_script(extra={"CWD ": "250 ok.\r\n"})])
        c = self.connect(login=True)
        self.assertEqual(c.cmd("CWD /VCD"), [UNKNOWN])
        self.assertEqual(c.cmd("CWD /GAMES"), ["250 ok.\r\n"])


class IdentityLine(RelayCase):
    def test_auth_line_with_star_when_no_ident(self):
        self.start(2, settings={"bouncemodedown": "ac"})
        self.connect()
        for s in self.sites:
            self.assertEqual(self.wait_lines(s, 1)[0], "AUTH *@127.0.0.1")

    def test_idnt_line_when_compatible(self):
        self.start(1, [login_script()], settings={"bouncemodedown": "ac", "rftpdcompatible": "yes"})
        self.connect()
        self.assertEqual(self.wait_lines(self.sites[0], 1)[0], "IDNT *@127.0.0.1")


class Cycling(RelayCase):
    def test_mode_t_puts_every_slot_on_entry_0(self):
        self.start(2, settings={"cyclemode": "t"})
        self.connect()
        self.assertTrue(self.sites[0].wait_sessions(2))
        self.assertEqual(len(self.sites[1].sessions), 0)

    def test_mode_l_moves_one_entry_per_slot(self):
        self.start(2, settings={"cyclemode": "l"})
        self.connect()
        self.connect()
        self.assertTrue(self.sites[0].wait_sessions(2))
        self.assertTrue(self.sites[1].wait_sessions(2))

    def test_mode_r_stays_within_the_list(self):
        self.start(2, settings={"cyclemode": "r"})
        for _ in range(3):
            self.connect()
        self.assertTrue(wait_for(lambda: len(self.sites[0].sessions) + len(self.sites[1].sessions) == 6))

    def test_failed_connect_on_slot_1_closes_slot_0(self):
        site = ScriptedSite("only", script=login_script())
        dead = free_port()
        self.sites = [site]
        self.daemon = Daemon([site.port, dead])
        self.addCleanup(self._stop)
        c = self.daemon.client()
        self.addCleanup(c.close)
        self.assertTrue(site.wait_sessions(1))
        self.assertTrue(site.sessions[0].closed.wait(10))
        self.assertTrue(c.closed_within(10))
        self.assertTrue(wait_for(lambda: "failed to relay client from 127.0.0.1:" in self.daemon.log()))

    def test_clients_arriving_together_get_entry_i_on_slot_i(self):
        scripts = [login_script(extra={"CWD ": "250 {name} CWD ok.\r\n"}) for _ in range(2)]
        self.start(2, scripts, settings={"cyclemode": "l"})
        count = 40
        barrier = threading.Barrier(count)
        results = [None] * count

        def one(k):
            try:
                barrier.wait(10)
                c = self.daemon.client(timeout=30)
                c.reply()
                c.cmd("USER u")
                c.cmd("PASS p")
                a = c.cmd("CWD /VCD")
                b = c.cmd("CWD /GAMES")
                c.close()
                results[k] = (a, b)
            except Exception as e:  # recorded and reported below
                results[k] = e

        threads = [threading.Thread(target=one, args=(k,)) for k in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        for r in results:
            self.assertEqual(r, (["250 site1 CWD ok.\r\n"], ["250 site0 CWD ok.\r\n"]))


class Burst(RelayCase):
    def test_clients_arriving_in_one_burst_are_all_greeted(self):
        self.start(1, [login_script()])
        import socket as socketlib
        socks = []
        for _ in range(300):
            s = socketlib.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", self.daemon.port))
            socks.append(s)
        self.addCleanup(lambda: [s.close() for s in socks])
        deadline = time.monotonic() + 20
        greeted = set()
        import select
        while len(greeted) < len(socks) and time.monotonic() < deadline:
            pending = [s for s in socks if s not in greeted]
            r, _, _ = select.select(pending[:500], [], [], 0.2)
            for s in r:
                try:
                    if s.recv(100).startswith(b"220 "):
                        greeted.add(s)
                except BlockingIOError:
                    pass
        self.assertEqual(len(greeted), len(socks))


class MendedFaults(RelayCase):
    def test_reply_arriving_with_the_one_before_is_not_held_back(self):
        self.start(1, [login_script(extra={"RETR ": "150 Opening.\r\n226 Done.\r\n"})])
        c = self.connect(login=True)
        self.assertEqual(c.cmd("RETR x"), ["150 Opening.\r\n"])
        self.assertEqual(c.reply(), ["226 Done.\r\n"])

    def test_unsolicited_text_current_site_passed_other_dropped(self):
        self.start(2)
        c = self.connect(login=True)
        self.sites[1].sessions[0].send("421 site1 timeout.\r\n")
        self.sites[0].sessions[0].send("421 site0 timeout.\r\n")
        self.assertEqual(c.reply(), ["421 site0 timeout.\r\n"])
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])

    def test_unsolicited_text_does_not_spin(self):
        self.start(2)
        c = self.connect(login=True)
        self.sites[1].sessions[0].send("200 stray.\r\n")
        pid = self.daemon.proc.pid

        def cpu():
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return int(fields[11]) + int(fields[12])

        before = cpu()
        time.sleep(1.0)
        self.assertLess(cpu() - before, 30, "daemon busy while idle")  # clock ticks
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])

    def test_site_closing_ends_session(self):
        self.start(2)
        c = self.connect(login=True)
        self.sites[1].sessions[0].close()
        self.assertTrue(c.closed_within(15))

    def test_client_line_filling_buffer_ends_session(self):
        self.start(1, [login_script()])
        c = self.connect(login=True)
        c.send("A" * 16383)
        self.assertTrue(c.closed_within(15))

    def test_site_reply_without_line_end_filling_slice_ends_session(self):
        self.start(1, [login_script(extra={"STAT": "2" * 20000})])
        c = self.connect(login=True)
        c.send("STAT\r\n")
        self.assertTrue(c.closed_within(15))

    def test_termination_signal_ends_daemon_and_sessions(self):
        self.start(2)
        c = self.connect(login=True)
        self.assertEqual(self.daemon.stop(), -15)  # no handler: the default action
        self.assertTrue(c.closed_within(5))
        for s in self.sites:
            self.assertTrue(s.sessions[0].closed.wait(5))


if __name__ == "__main__":
    unittest.main()
