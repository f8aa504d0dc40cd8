"""Time of one root listing through ferrynet against fetching the three
sites' listings directly one after another, measured in the same run.

Usage: root_listing_bench.py FERRYNET_BINARY [--rounds N] [--sites scripted|pyftpdlib|both]
Three sites on 127.0.0.1 each list E entries (about a third of the names on
every site): scripted sites that send a listing held in memory, and real
pyftpdlib servers listing directories of empty files. The client is ftplib in
passive mode, reading the data connection raw. Prints the median of N rounds
for each E, the ratio to the direct total and the growth from 8,000 to 32,000
entries. Exits non-zero only when a merged listing is not exactly the union
of the names.
"""

import argparse
import ftplib
import os
import shutil
import tempfile
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "data"))
from data_peers import ListingScript, make_listing_trees, three_listings  # noqa: E402
from ferry_harness import Daemon, RealSite, ScriptedSite  # noqa: E402

SIZES = (2000, 8000, 32000)


def fetch(port, user):
    """One session: login, PASV, LIST read to its end, QUIT. The raw listing."""
    f = ftplib.FTP()
    f.connect("127.0.0.1", port, timeout=300)
    f.login(*user)
    f.voidcmd("TYPE A")
    conn = f.transfercmd("LIST")
    parts = []
    while True:
        data = conn.recv(1 << 16)
        if not data:
            break
        parts.append(data)
    conn.close()
    f.voidresp()
    f.quit()
    return b"".join(parts)


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


def scripted_sites(entries):
    listings, names = three_listings(entries)
    scripts = [ListingScript(l, piece=1 << 16, pause=0) for l in listings]
    sites = [ScriptedSite("site%d" % i, script=s.script()) for i, s in enumerate(scripts)]
    return sites, names, ("u", "p"), lambda: [s.close() for s in sites]


def pyftpdlib_sites(entries):
    tmp = tempfile.mkdtemp(prefix="ferrybench-")
    roots, names = make_listing_trees(tmp, entries)
    sites = [RealSite(r) for r in roots]

    def stop():
        for s in sites:
            s.stop()
        shutil.rmtree(tmp, ignore_errors=True)

    return sites, names, ("user", "secret"), stop


def bench_size(make_sites, entries, rounds, binary):
    sites, names, user, stop_sites = make_sites(entries)
    daemon = Daemon([s.port for s in sites], {"log": "ei"}, binary=binary)
    try:
        direct, through = [], []
        for _ in range(rounds):
            direct.append(sum(timed(lambda p=s.port: fetch(p, user))[0] for s in sites))
            t, merged = timed(lambda: fetch(daemon.port, user))
            through.append(t)
            # Both kinds of site keep blanks out of these names.
            got = [l.split()[-1] for l in merged.decode("latin-1").splitlines() if l.strip()]
            if len(got) != len(set(got)) or set(got) != names:
                print("E=%d: the merged listing is not the union of the names" % entries)
                return None
        return statistics.median(direct), statistics.median(through), len(names)
    finally:
        daemon.stop()
        stop_sites()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--sites", choices=("scripted", "pyftpdlib", "both"), default="both")
    args = ap.parse_args()
    binary = os.path.abspath(args.binary)
    kinds = [("scripted", scripted_sites), ("pyftpdlib", pyftpdlib_sites)]
    for kind, make_sites in kinds:
        if args.sites not in (kind, "both"):
            continue
        print("root listing, 3 %s sites, median of %d rounds" % (kind, args.rounds))
        print("%8s %8s %12s %12s %8s" % ("E", "union", "direct s", "ferrynet s", "ratio"))
        results = {}
        for e in SIZES:
            r = bench_size(make_sites, e, args.rounds, binary)
            if r is None:
                return 1
            direct, through, union = r
            results[e] = through
            print("%8d %8d %12.4f %12.4f %8.2f" % (e, union, direct, through, through / direct), flush=True)
        print("growth 8000 -> 32000 entries: %.2f (linear is 4)" % (results[32000] / results[8000]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
