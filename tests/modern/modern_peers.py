"""Peers for the modern-client tests: real FTP servers on loopback addresses
other than the daemon's, their trees, and a daemon configured for them."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import ferry_harness  # noqa: E402
from ferry_harness import WAIT, Daemon, pure_ftpd_available, stop_process, wait_for  # noqa: E402,F401

# The daemon stays on 127.0.0.1; a site on it would hide an address mistake.
SITE_HOSTS = ("127.0.0.2", "127.0.0.3", "127.0.0.4")


class PyftpdSite:
    """pyftpdlib serving `root` on `host` to user/secret; stopped by its pid."""

    def __init__(self, host, root):
        self.host, self.root = host, root
        self.dir = tempfile.mkdtemp(prefix="ferrymodern-")
        port_file = os.path.join(self.dir, "port")
        self.proc = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "site_server.py"), host, root, port_file],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: os.path.exists(port_file) or self.proc.poll() is not None):
            self.stop()
            raise RuntimeError("site on %s did not start" % host)
        with open(port_file) as f:
            self.port = int(f.read())

    def stop(self):
        stop_process(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)


def PureFtpdSite(host, root):
    return ferry_harness.PureFtpdSite(root, host=host, connections=50)


def make_trees(base, entries, sites):
    """One directory per site: `entries` files, a third of the names on every
    site, and one section directory per site with a file of its own in it.
    Returns the roots, every site's root names, and {section path: bytes}."""
    roots, names, files = [], [], {}
    # Sections by the daemon's table: FREE lives on site 0, VCD on site 1.
    sections = {0: "FREE", 1: "VCD"}
    for s in range(sites):
        root = os.path.join(base, "site%d" % s)
        os.makedirs(root)
        roots.append(root)
        for i in range(entries):
            name = "shared.%d" % i if i % 3 == 0 else "site%d.%d" % (s, i)
            open(os.path.join(root, name), "w").close()
        if s in sections:
            section = os.path.join(root, sections[s])
            os.makedirs(section)
            # Every byte value, CR LF and lone CRs: a line filter or a text
            # conversion on the way would show.
            body = bytes(range(256)) * 64 + b"\r\n\r\r\n" + os.urandom(200000 + s)
            path = "%s/release%d.bin" % (sections[s], s)
            with open(os.path.join(root, path), "wb") as f:
                f.write(body)
            files[path] = body
        names.append(set(os.listdir(root)))
    for dirpath, dirnames, filenames in os.walk(base):
        os.chmod(dirpath, 0o755)
        for f in filenames:
            os.chmod(os.path.join(dirpath, f), 0o644)
    return roots, names, files


def daemon_for(sites, bouncedata):
    """The daemon on 127.0.0.1 with the given sites, site 0 first."""
    return Daemon(settings={"cycleip": " ".join("%s:%d" % (s.host, s.port) for s in sites),
                            "bouncedata": "yes" if bouncedata else "no"})
