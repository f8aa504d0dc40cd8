"""The merged who-lists, tops and STATINFO through the real daemon, with one, two and three sites."""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, HERE)
from ferry_harness import ScriptedSitesCase, login_script, wait_for  # noqa: E402
import site_tables as t  # noqa: E402

SHOWPID = "200- {id}\r\n200 Command Successful.\r\n"
CWD_OK = "250 CWD command successful.\r\n"


class MergeCase(ScriptedSitesCase):
    def start(self, replies, session_ids=None):
        """One scripted site per entry of `replies` (command -> reply text)."""
        self.start_sites([login_script(extra=dict({"SITE SHOWPID": SHOWPID, "CWD ": CWD_OK}, **extra))
                          for extra in replies], session_ids=session_ids)

    def assert_in_step(self, c):
        """The merged reply left nothing behind: the next command gets its own reply."""
        self.assertEqual(c.cmd("NOOP"), ["200 site0 ok.\r\n"])


class SiteWho(MergeCase):
    def test_one_site_table_line_for_line(self):
        users = [t.who_user("UL: ", "alice", 12), t.who_user("DL: ", "bob", 13), t.who_user("IDLE", "carol", 14),
                 t.who_user("stor", "dave", 15)]
        a = t.WhoTable("alpha", users, "12.5", "3.7")
        self.start([{"SITE MWHO": a.text()}], [900])
        c = self.client()
        self.assertEqual(c.cmd("SITE WHO"), a.merged(users, "12.5", "3.7"))
        self.assertEqual(self.sites[0].received()[-1], "SITE MWHO")
        self.assert_in_step(c)

    def test_two_sites_interleave_sum_and_hide_the_daemons_session(self):
        a_users = [t.who_user("UL: ", "a-up", 1), t.who_user("IDLE", "a-idle1", 2), t.who_user("IDLE", "a-idle2", 3),
                   t.who_user("IDLE", "a-idle3", 4200)]
        b_users = [t.who_user("UL: ", "b-up", 5), t.who_user("IDLE", "daemon", 4200), t.who_user("IDLE", "b-idle", 6)]
        a = t.WhoTable("alpha", a_users, "10.9", "12.5")
        b = t.WhoTable("beta", b_users, "0.3", "3.7")
        self.start([{"SITE MWHO": a.text()}, {"SITE MWHO": b.text()}], [4100, 4200])
        c = self.client()
        # 4200 is the daemon's own connection to site 1: hidden there (it still
        # takes site 1's turn in its round), shown on site 0.
        want = [a_users[0], b_users[0], a_users[1], a_users[2], b_users[2], a_users[3]]
        self.assertEqual(c.cmd("SITE WHO"), a.merged(want, "11.2", "16.2"))
        self.assert_in_step(c)

    def test_three_sites_pass_by_pass(self):
        a_users = [t.who_user("IDLE", "a1", 11), t.who_user("UL: ", "a2", 12)]
        b_users = [t.who_user("DL: ", "b1", 21), t.who_user("UL: ", "b2", 4200), t.who_user("DL: ", "b3", 22)]
        c_users = [t.who_user("UL: ", "c1", 31), t.who_user("IDLE", "c2", 4300), t.who_user("site", "c3", 32)]
        a = t.WhoTable("alpha", a_users, "1.5", "0.5")
        b = t.WhoTable("beta", b_users, "2.5", "0.6")
        g = t.WhoTable("gamma", c_users, "3.5", "0.7")
        self.start([{"SITE MWHO": x.text()} for x in (a, b, g)], [4100, 4200, 4300])
        c = self.client()
        # UL: c1. DL: b1. IDLE: a1, c2 (hidden). Rest, round 1: a2, b2 (hidden), c3; round 2: b3.
        want = [c_users[0], b_users[0], a_users[0], a_users[1], c_users[2], b_users[2]]
        self.assertEqual(c.cmd("SITE WHO"), a.merged(want, "7.5", "1.8"))
        self.assert_in_step(c)

    def test_other_logged_in_clients_are_hidden_until_they_leave(self):
        a_users = [t.who_user("IDLE", "first", 1000), t.who_user("IDLE", "second", 1001)]
        b_users = [t.who_user("IDLE", "first", 1000), t.who_user("IDLE", "second", 1001),
                   t.who_user("IDLE", "local", 1002)]
        a = t.WhoTable("alpha", a_users)
        b = t.WhoTable("beta", b_users)
        # Each site numbers its sessions 1000, 1001, ... in order of arrival.
        self.start([{"SITE MWHO": a.text()}, {"SITE MWHO": b.text()}])
        first = self.client()
        second = self.client()
        want = [a_users[0], a_users[1], b_users[2]]
        self.assertEqual(second.cmd("SITE WHO"), a.merged(want, "0.0", "0.0"))
        first.cmd("QUIT")
        first.close()
        self.assertTrue(wait_for(lambda: all(s.sessions[0].closed.is_set() for s in self.sites)))
        want = [a_users[0], b_users[0], a_users[1], b_users[2]]
        self.assertEqual(second.cmd("SITE WHO"), a.merged(want, "0.0", "0.0"))

    def test_short_site_list_leaves_site0s_table_unchanged_and_ended(self):
        a_users = [t.who_user("UL: ", "a1", 1)]
        a = t.WhoTable("alpha", a_users, "1.0", "2.0")
        self.start([{"SITE MWHO": a.text()}, {"SITE MWHO": "200 No users online.\r\n"}])
        c = self.client()
        lines = a.text().splitlines(True)
        self.assertEqual(c.cmd("SITE WHO"), lines)
        self.assert_in_step(c)


class SiteSswho(MergeCase):
    def test_one_two_and_three_sites_in_site_order_with_own_sessions_hidden(self):
        replies = [
            [t.session_line("200- alice  /incoming  ", 1), t.session_line("200- me  idle", 4100)],
            [t.session_line("200- me  idle", 4200), t.session_line("200- bob /mp3", 4100)],
            [t.session_line("200- carol", 7), t.session_line("200- me idle", "0x10cc")],
        ]
        want_lines = [["200- alice  /incoming  \r\n", "200- me  idle\r\n"], ["200- bob /mp3\r\n"], ["200- carol\r\n"]]
        for n in (1, 2, 3):
            with self.subTest(sites=n):
                self.start([{"SITE MSWHO": "".join(r) + "200 x\r\n"} for r in replies[:n]], [4100, 4200, 4300][:n])
                c = self.client()
                # 0x10cc is 4300, the daemon's own session on site 2.
                want = [l for per_site in want_lines[:n] for l in per_site] + [t.DONE]
                self.assertEqual(c.cmd("SITE SSWHO"), want)
                self.assertEqual(self.sites[0].received()[-1], "SITE MSWHO")
                self.assert_in_step(c)
                self.doCleanups()

    def test_sites_with_nothing_to_list(self):
        self.start([{"SITE MSWHO": "200 x\r\n"}, {"SITE MSWHO": "200 y\r\n"}])
        c = self.client()
        self.assertEqual(c.cmd("SITE SSWHO"), [t.DONE])


class Tops(MergeCase):
    COMMANDS = ["SITE WKUP", "SITE WKDN", "SITE DAYUP", "SITE DAYDN", "SITE MONTHUP", "SITE MONTHDN"]

    def start_tops(self, users_per_site):
        replies = []
        for i, users in enumerate(users_per_site):
            replies.append({cmd: t.top_table("site%d" % i, cmd, users) for cmd in self.COMMANDS})
        self.start(replies)

    def test_six_tops_with_two_sites_merge_users(self):
        s0 = [t.top_user(1, "joe", "GRP", 10, 100, 50), t.top_user(2, "ann", "iND", 3, 30, 10)]
        s1 = [t.top_user(1, "new", "OTHER", 1, 5, 5), t.top_user(2, "joe", "ELSE", 5, 300, 150)]
        self.start_tops([s0, s1])
        c = self.client()
        for cmd in self.COMMANDS:
            with self.subTest(cmd=cmd):
                want = (t.top_header("site0", cmd) + [t.ranked(1, "joe", "GRP", 15, 400, 125),
                                                      t.ranked(2, "ann", "iND", 3, 30, 10),
                                                      t.ranked(3, "new", "OTHER", 1, 5, 5)] + t.top_closing("site0"))
                self.assertEqual(c.cmd(cmd), want)
                self.assertEqual(self.sites[1].received()[-1], cmd)
        self.assert_in_step(c)

    def test_one_site_rebuilt_with_ranks(self):
        s0 = [t.top_user(7, "zed", "STAFF", 1, 2, 3), t.top_user(9, "amy", "A_GROUP_OF_TWENTY_FOUR_", 4, 5, 6)]
        self.start_tops([s0])
        c = self.client()
        want = (t.top_header("site0", "SITE DAYDN") + [t.ranked(1, "zed", "STAFF", 1, 2, 3),
                                                       t.ranked(2, "amy", "A_GROUP_OF_TWENTY_FOUR_", 4, 5, 6)]
                + t.top_closing("site0"))
        self.assertEqual(c.cmd("SITE DAYDN"), want)

    def test_three_sites_closing_lines_of_the_current_site(self):
        s0 = [t.top_user(1, "a", "G0", 1, 10, 10)]
        s1 = [t.top_user(1, "b", "G1", 2, 20, 20), t.top_user(2, "a", "G1", 1, 30, 30)]
        s2 = []
        self.start_tops([s0, s1, s2])
        c = self.client()
        self.assertEqual(c.cmd("CWD /VCD"), [CWD_OK])  # a section on site 1
        want = (t.top_header("site0", "SITE MONTHUP") + [t.ranked(1, "a", "G0", 2, 40, 25),
                                                         t.ranked(2, "b", "G1", 2, 20, 20)] + t.top_closing("site1"))
        self.assertEqual(c.cmd("SITE MONTHUP"), want)
        self.assertEqual(c.cmd("NOOP"), ["200 site1 ok.\r\n"])


class Statinfo(MergeCase):
    def test_one_site_counts_as_plain_integers(self):
        self.start([{"SITE STATINFO ": t.statinfo(["a,b,x,010", "c,d,y,0x1f"])}])
        c = self.client()
        self.assertEqual(c.cmd("SITE STATINFO u"),
                         ["200-a,b,x,8\r\n", "200-c,d,y,31\r\n", "200 Command Successful.\r\n"])
        self.assert_in_step(c)

    def test_three_sites_keys_merged_in_order_of_first_appearance(self):
        self.start([{"SITE STATINFO ": t.statinfo(["s0,f,x,3", "s0,f,y,4"])},
                    {"SITE STATINFO ": t.statinfo(["s1,f,y,10", "s1,f,z,1"])},
                    {"SITE STATINFO ": t.statinfo(["s2,f,z,0x10", "s2,f,w,010"])}])
        c = self.client()
        self.assertEqual(c.cmd("site statinfo joe"),
                         ["200-s0,f,x,3\r\n", "200-s0,f,y,14\r\n", "200-s1,f,z,17\r\n", "200-s2,f,w,8\r\n",
                          "200 Command Successful.\r\n"])
        for s in self.sites:
            self.assertEqual(s.received()[-1], "site statinfo joe")
        self.assert_in_step(c)

    def test_two_sites_one_of_them_empty(self):
        self.start([{"SITE STATINFO ": t.statinfo([])}, {"SITE STATINFO ": t.statinfo(["a,b,c,2"])}])
        c = self.client()
        self.assertEqual(c.cmd("SITE STATINFO x"), ["200-a,b,c,2\r\n", "200 Command Successful.\r\n"])
        self.assert_in_step(c)


if __name__ == "__main__":
    unittest.main()
