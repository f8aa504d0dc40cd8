"""Time of one root listing through ferrynet against fetching the three
sites' listings directly one after another, measured in the same run.

Usage: root_listing_bench.py FERRYNET_BINARY [--rounds N] [--sites KIND,...] [--metrics]
Three sites on 127.0.0.1 each list E entries (about a third of the names on
every site), for E = 2,000, 8,000 and 32,000. Kinds of site:
  whole      scripted sites, each in a process of its own, sending a listing
             held in memory in segments of whole lines (about 64 KiB each);
  midline    the same in segments of exactly 64 KiB, which end inside lines;
  pyftpdlib  real pyftpdlib servers listing directories of empty files.
The client is ftplib in passive mode, reading the data connection raw. Each
round fetches directly (the three sites one after another) and through the
daemon, alternately; one round before the measured ones warms both paths.
Prints the medians, their ratio, the daemon's CPU time per listing (from
/proc/PID/stat) and the growth exponent k of t ~ E^k from 8,000 to 32,000
entries (1 is linear) for both paths. With --metrics, every round also
lists through a second daemon of the same build with `metricsaddress` set,
the two daemons taking turns at going first, and the ratio of their medians
is printed. Exits non-zero only when a merged
listing is not exactly the union of the names.
"""

import argparse
import ftplib
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "data"))
from data_peers import make_listing_trees, three_listings  # noqa: E402
from ferry_harness import Daemon, RealSite, read_to_end  # noqa: E402

SIZES = (2000, 8000, 32000)
KINDS = ("whole", "midline", "pyftpdlib")


def fetch(port, user):
    """One session: login, PASV, LIST read to its end, QUIT. The raw listing."""
    f = ftplib.FTP()
    f.connect("127.0.0.1", port, timeout=300)
    f.login(*user)
    f.voidcmd("TYPE A")
    conn = f.transfercmd("LIST")
    raw = read_to_end(conn)
    conn.close()
    f.voidresp()
    f.quit()
    return raw


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime, the 14th and 15th fields of the whole line.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class SiteProcess:
    """bench/listing_site.py: one scripted site in a process of its own."""

    def __init__(self, entries, index, mode):
        self.proc = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "listing_site.py"), str(entries),
                                      str(index), mode], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = self.proc.stdout.readline()
        if not line:
            self.stop()
            raise RuntimeError("listing site did not start")
        self.port = int(line)

    def stop(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


def scripted_sites(mode):
    def make(entries):
        names = three_listings(entries)[1]
        sites = []
        try:
            for i in range(3):
                sites.append(SiteProcess(entries, i, mode))
        except Exception:
            for s in sites:
                s.stop()
            raise
        return sites, names, ("u", "p"), lambda: [s.stop() for s in sites]
    return make


def pyftpdlib_sites(entries):
    tmp = tempfile.mkdtemp(prefix="ferrybench-")
    roots, names = make_listing_trees(tmp, entries)
    sites = [RealSite(r) for r in roots]

    def stop():
        for s in sites:
            s.stop()
        shutil.rmtree(tmp, ignore_errors=True)

    return sites, names, ("user", "secret"), stop


def timed_fetch(daemon, user):
    """(seconds, daemon CPU seconds) of one listing through `daemon`."""
    before = cpu_seconds(daemon.proc.pid)
    t = time.perf_counter()
    fetch(daemon.port, user)
    return time.perf_counter() - t, cpu_seconds(daemon.proc.pid) - before


def bench_size(make_sites, entries, rounds, binary, metrics=False):
    sites, names, user, stop_sites = make_sites(entries)
    daemon = Daemon([s.port for s in sites], {"log": "ei"}, binary=binary)
    metered = Daemon([s.port for s in sites], {"log": "ei", "metricsaddress": "127.0.0.1:0"},
                     binary=binary) if metrics else None
    try:
        direct, through, cpu, counted = [], [], [], []
        for r in range(rounds + 1):
            t = time.perf_counter()
            for s in sites:
                fetch(s.port, user)
            d = time.perf_counter() - t
            # With both daemons, each goes first every other round.
            if metered and r % 2:
                counted.append(timed_fetch(metered, user))
            before = cpu_seconds(daemon.proc.pid)
            t = time.perf_counter()
            merged = fetch(daemon.port, user)
            m = time.perf_counter() - t
            c = cpu_seconds(daemon.proc.pid) - before
            if metered and not r % 2:
                counted.append(timed_fetch(metered, user))
            # Both kinds of site keep blanks out of these names.
            got = [l.split()[-1] for l in merged.decode("latin-1").splitlines() if l.strip()]
            if len(got) != len(set(got)) or set(got) != names:
                print("E=%d: the merged listing is not exactly the union of the names" % entries)
                return None
            if r == 0:
                continue  # the warming round
            direct.append(d)
            through.append(m)
            cpu.append(c)
        if metered:
            print("E=%d: with metricsaddress / without: time %.3f (medians), daemon CPU %.3f (means)" %
                  (entries, statistics.median(t for t, _ in counted[1:]) / statistics.median(through),
                   statistics.mean(c for _, c in counted[1:]) / statistics.mean(cpu)), flush=True)
        return statistics.median(direct), statistics.median(through), len(names), sum(cpu) / len(cpu)
    finally:
        daemon.stop()
        if metered:
            metered.stop()
        stop_sites()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--rounds", type=int, default=9)
    ap.add_argument("--sites", default=",".join(KINDS), help="comma-separated: " + ", ".join(KINDS))
    ap.add_argument("--metrics", action="store_true", help="also through the same build with metricsaddress set")
    args = ap.parse_args()
    binary = os.path.abspath(args.binary)
    makers = {"whole": scripted_sites("whole"), "midline": scripted_sites("midline"), "pyftpdlib": pyftpdlib_sites}
    for kind in args.sites.split(","):
        if kind not in makers:
            ap.error("unknown kind of site: " + kind)
        print("root listing, 3 sites (%s), median of %d rounds" % (kind, args.rounds))
        print("%8s %8s %11s %12s %7s %14s" % ("E", "union", "direct ms", "ferrynet ms", "ratio", "daemon CPU ms"))
        results = {}
        for e in SIZES:
            r = bench_size(makers[kind], e, args.rounds, binary, args.metrics)
            if r is None:
                return 1
            direct, through, union, cpu = r
            results[e] = (direct, through)
            print("%8d %8d %11.2f %12.2f %7.2f %14.2f" % (e, union, direct * 1e3, through * 1e3, through / direct,
                                                          cpu * 1e3), flush=True)
        k = [math.log(results[32000][i] / results[8000][i]) / math.log(4) for i in (1, 0)]
        print("growth exponent 8000 -> 32000 entries: ferrynet %.2f, direct %.2f (1 is linear)" % tuple(k))
        print(flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
