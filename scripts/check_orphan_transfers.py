#!/usr/bin/env python3
"""Clients that start a carried transfer, read nothing and close their control
connection: N of each kind at once (a root RETR, a root LIST, a `bouncedata`
RETR in a section, a PROT P data connection that never starts its
handshake), then how long the daemon takes to be back at its idle thread and
descriptor counts after the last close. Needs pyftpdlib; run from the
source tree after a build: scripts/check_orphan_transfers.py [N]"""

import ftplib
import os
import shutil
import socket
import ssl
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from ferry_harness import HOST, Daemon, RealSite, write_tree  # noqa: E402
from real_sites import make_certificate  # noqa: E402


def usage(pid):
    return len(os.listdir("/proc/%d/fd" % pid)), len(os.listdir("/proc/%d/task" % pid))


def context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def open_case(daemon, case):
    tls = case == "handshake"
    f = ftplib.FTP_TLS(context=context(), timeout=60) if tls else ftplib.FTP(timeout=60)
    f.connect(HOST, daemon.port)
    if tls:
        f.auth()
    f.login("user", "secret")
    if tls:
        f.prot_p()
        f.sendcmd("TYPE I")
        reply = f.sendcmd("PASV")
        n = [int(x) for x in reply[reply.index("(") + 1:reply.index(")")].split(",")]
        data = socket.create_connection((HOST, n[4] * 256 + n[5]), timeout=60)
        f.putcmd("RETR big.bin")
        time.sleep(0.05)
        return f, data
    if case == "section":
        f.cwd("/GAMES")
    f.voidcmd("TYPE I")
    data = f.transfercmd({"retr": "RETR big.bin", "list": "LIST", "section": "RETR game.bin"}[case])
    return f, data


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    tmp = tempfile.mkdtemp(prefix="ferryorphans-")
    blob = os.urandom(8 << 20)
    write_tree(os.path.join(tmp, "s0"), {"big.bin": blob, "GAMES/game.bin": blob})
    write_tree(os.path.join(tmp, "s1"), {"VCD/x": b"x"})
    sites = [RealSite(os.path.join(tmp, n)) for n in ("s0", "s1")]
    cert, key = make_certificate(tmp)
    daemon = Daemon([s.port for s in sites], {"bouncedata": "yes", "clienttls": "yes", "tlscertfile": cert,
                                               "tlskeyfile": key})
    worst = 0.0
    try:
        f = ftplib.FTP(timeout=30)
        f.connect(HOST, daemon.port)
        f.login("user", "secret")
        f.quit()
        time.sleep(2)
        idle = usage(daemon.proc.pid)
        for case in ("retr", "list", "section", "handshake"):
            opened = [open_case(daemon, case) for _ in range(rounds)]
            busy = usage(daemon.proc.pid)
            for f, _ in opened:
                f.close()
            last_close = time.monotonic()
            while usage(daemon.proc.pid) != idle and time.monotonic() - last_close < 60:
                time.sleep(0.05)
            took = time.monotonic() - last_close
            worst = max(worst, took)
            print("%-9s %d clients: %r busy, %r idle again after %.1f s (now %r)" %
                  (case, rounds, busy, idle, took, usage(daemon.proc.pid)))
            for _, data in opened:
                data.close()
    finally:
        daemon.stop()
        for s in sites:
            s.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    return 0 if worst <= 7 else 1


if __name__ == "__main__":
    sys.exit(main())
