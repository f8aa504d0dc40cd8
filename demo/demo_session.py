"""Two demo sites on 127.0.0.1, ferrynet in front of them, and a client session
through it, printed as a transcript. Everything started here is stopped here."""

import ftplib
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from ferry_harness import Daemon, RealSite  # noqa: E402


class ShowingFTP(ftplib.FTP):
    """An ordinary client that prints what it says and what it hears."""

    def putcmd(self, line):
        shown = "PASS ******" if line.upper().startswith("PASS ") else line
        print("  > " + shown)
        super().putcmd(line)

    def getmultiline(self):
        text = super().getmultiline()
        for line in text.split("\n"):
            print("  < " + line)
        return text


def build_site(root, tree):
    for rel, data in tree.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def say(text):
    print("\n== " + text)


def main():
    binary = sys.argv[1]
    tmp = tempfile.mkdtemp(prefix="ferrynet-demo-")
    site_dirs = [os.path.join(tmp, "site1"), os.path.join(tmp, "site2")]
    build_site(site_dirs[0], {"GAMES/Chess.Master.v2-DEMO/chess.zip": b"x" * 4096,
                              "APPS/Editor.v1-DEMO/editor.zip": b"y" * 2048,
                              "welcome.txt": b"site 1 welcomes you\n"})
    build_site(site_dirs[1], {"VCD/Space.Trip-DEMO/cd1.bin": os.urandom(65536),
                              "DIVX/Ocean.Tale-DEMO/ocean.avi": b"z" * 1024,
                              "rules.txt": b"site 2 rules\n"})
    sites, daemon = [], None
    try:
        sites = [RealSite(d) for d in site_dirs]
        say("demo sites: site 1 on port %d holds GAMES and APPS, site 2 on port %d holds VCD and DIVX"
            % (sites[0].port, sites[1].port))
        # The sections are configuration: each top-level directory and its site.
        sections = ["section GAMES 1", "section APPS 1", "section VCD 2", "section DIVX 2"]
        for line in sections:
            print("    " + line)
        daemon = Daemon([s.port for s in sites], {"log": "cerdi"}, extra_lines=sections)
        say("ferrynet listens on 127.0.0.1 port %d" % daemon.port)

        f = ShowingFTP()
        say("connect: the client sees one greeting for both sites")
        f.connect("127.0.0.1", daemon.port, timeout=20)
        say("login: USER and PASS go to every site")
        f.login("user", "secret")
        say("the root is shared: PWD, and a listing merged from both sites")
        f.pwd()
        lines = []
        f.retrlines("LIST", lines.append)
        for line in lines:
            print("    | " + line)
        say("a section of site 1")
        f.cwd("/GAMES")
        f.pwd()
        data = []
        f.retrbinary("RETR Chess.Master.v2-DEMO/chess.zip", data.append)
        print("    fetched chess.zip: %d bytes" % len(b"".join(data)))
        say("a section of site 2")
        f.cwd("/VCD/Space.Trip-DEMO")
        f.pwd()
        data = []
        f.retrbinary("RETR cd1.bin", data.append)
        got = b"".join(data)
        with open(os.path.join(site_dirs[1], "VCD/Space.Trip-DEMO/cd1.bin"), "rb") as g:
            intact = g.read() == got
        print("    fetched cd1.bin: %d bytes, %s" % (len(got), "intact" if intact else "DIFFERENT"))
        say("a section no site holds")
        try:
            f.cwd("/MOVIES")
        except ftplib.error_perm:
            pass
        say("back to the root")
        f.cwd("/")
        f.pwd()
        f.quit()
        say("ferrynet's log")
        for line in daemon.log().splitlines():
            print("    " + line)
        if not intact:
            return 1
        return 0
    finally:
        if daemon is not None:
            daemon.stop()
        for s in sites:
            s.stop()
        shutil.rmtree(tmp, ignore_errors=True)
        say("stopped ferrynet and both sites")


if __name__ == "__main__":
    sys.exit(main())
