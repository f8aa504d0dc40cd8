"""Data-side peers for the end-to-end tests: scripted sites that serve a
listing over PASV or PORT, pure-ftpd as a site, listing trees, and a look at
the daemon's descriptors and threads."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ferry_harness import HOST, WAIT, PureFtpdSite, login_script, pure_ftpd_available, wait_for  # noqa: E402,F401


def entry(name, end="\r\n", size=1234):
    """A listing line with its name at column 55."""
    return "-rw-r--r--   1 user     group    %8d Jan 01 12:00 %s%s" % (size, name, end)


def three_listings(entries, end="\r\n"):
    """Listings of `entries` names per site, a third of them on every site, led
    by a "total" line; and the set of names in their union."""
    out, names = [], set()
    for s in range(3):
        lines = ["total %d\r\n" % entries]
        for i in range(entries):
            name = "shared.%d" % i if i % 3 == 0 else "site%d.%d" % (s, i)
            names.add(name)
            lines.append(entry(name, end))
        out.append("".join(lines))
    return out, names


def names_of(lines, column=55):
    return [l.rstrip("\r\n")[column:] for l in lines]


class ListingScript:
    """Script entries for a ScriptedSite whose data side serves `listing`
    (text, sent in pieces of `piece` bytes, `pause` seconds apart) after PASV or PORT and LIST.
    `pasv` may replace the 227 line (to script a malformed one)."""

    def __init__(self, listing, piece=1000, pasv=None, pause=0.0002):
        self.listing = listing.encode("latin-1")
        self.piece = piece
        self.pause = pause
        self.pasv_line = pasv
        self.data_closed = threading.Event()  # set when the daemon closed the data connection

    def script(self):
        return login_script(extra={"PASV": self._pasv, "PORT ": self._port, "LIST": self._list})

    def _pasv(self, session, line):
        if self.pasv_line:
            return self.pasv_line
        l = socket.socket()
        l.bind((HOST, 0))
        l.listen(4)
        session.data_listener = l
        p = l.getsockname()[1]
        return "227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n" % (p // 256, p % 256)

    def _port(self, session, line):
        n = [int(x) for x in line.split(" ", 1)[1].split(",")]
        session.data_target = ("%d.%d.%d.%d" % tuple(n[:4]), n[4] * 256 + n[5])
        return "200 PORT command successful.\r\n"

    def _list(self, session, line):
        # 150 and 226 are two small writes; without this the second waits for
        # a delayed acknowledgement and every listing gains some 40 ms.
        session.conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=self._serve, args=(session,), daemon=True).start()
        return None

    def _serve(self, session):
        session.send("150 Here comes the directory listing.\r\n")
        try:
            listener = getattr(session, "data_listener", None)
            if listener is not None:
                listener.settimeout(WAIT)
                conn, _ = listener.accept()
                listener.close()
                session.data_listener = None
            else:
                conn = socket.create_connection(session.data_target, timeout=WAIT)
            with conn:
                for pos in range(0, len(self.listing), self.piece):
                    conn.sendall(self.listing[pos:pos + self.piece])
                    if self.pause:
                        time.sleep(self.pause)
        except OSError:
            pass
        session.send("226 Directory send OK.\r\n")


def make_listing_trees(base, entries, sites=3):
    """One directory per site with `entries` empty files, a third of the names
    on every site, all with one time stamp so shared names list alike."""
    roots, names = [], set()
    for s in range(sites):
        root = os.path.join(base, "site%d" % s)
        os.makedirs(root)
        for i in range(entries):
            name = "shared.%d" % i if i % 3 == 0 else "site%d.%d" % (s, i)
            path = os.path.join(root, name)
            open(path, "w").close()
            os.utime(path, (1700000000, 1700000000))
            names.add(name)
        roots.append(root)
    os.chmod(base, 0o755)
    return roots, names


def daemon_usage(pid):
    """(open descriptors, threads) of a process."""
    return len(os.listdir("/proc/%d/fd" % pid)), len(os.listdir("/proc/%d/task" % pid))
