"""Throughput of a large file carried through ferrynet with `bouncedata yes`,
downloaded and uploaded, against the same transfers straight to the site, in
the same run; and the daemon's CPU time per byte carried.

Usage: bouncedata_bench.py FERRYNET_BINARY [--size-mib N] [--rounds N] [--compare OTHER_BINARY] [--metrics]
The site is pyftpdlib (sending with sendfile) on 127.0.0.2 serving a
directory in /dev/shm (so neither way waits on a disk), the daemon on
127.0.0.1; the client is curl in passive mode, writing to /dev/null or
reading the site's own copy of the file. Rounds alternate direct and through
the daemon (and through OTHER_BINARY's daemon, with --compare: an older
build, say, measured in the same run; with --metrics, through a second
daemon of the same build that keeps its counts for `metricsaddress`), and through bare_relay.py: the least
any relay can do (the kernel splicing each data connection, one blocking
thread per direction), which shows what the extra hop alone costs on this
machine; the medians are compared. The
daemon's CPU time is utime + stime of its process (/proc/PID/stat) over each
transfer, every thread included; on a machine shared with other work it
also holds network processing the kernel did for others while the daemon
ran, hence the minimum beside the median. Exits non-zero only when a transfer fails
or arrives at the wrong size.
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "modern"))
sys.path.insert(0, HERE)
from modern_peers import Daemon, PyftpdSite  # noqa: E402
from bare_relay import BareRelay  # noqa: E402


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime, the 14th and 15th fields of the whole line.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def machine_busy_seconds():
    # Every CPU's time outside idle and iowait, from the first line of /proc/stat.
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    return (sum(fields[:8]) - fields[3] - fields[4]) / os.sysconf("SC_CLK_TCK")


def children_cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def curl(args, size, what):
    start = time.monotonic()
    out = subprocess.run(["curl", "-sS", "--max-time", "600"] + args + ["-w", what], capture_output=True, timeout=700)
    took = time.monotonic() - start
    if out.returncode != 0 or int(float(out.stdout or b"0")) != size:
        sys.exit("transfer failed: %r %r" % (out.stdout, out.stderr))
    return took


def download(port, size, root):
    return curl(["-o", "/dev/null", "ftp://user:secret@%s:%d/FREE/big.bin" % port], size, "%{size_download}")


def upload(port, size, root):
    took = curl(["-T", os.path.join(root, "FREE", "big.bin"), "ftp://user:secret@%s:%d/FREE/up.bin" % port], size,
                "%{size_upload}")
    path = os.path.join(root, "FREE", "up.bin")
    if os.path.getsize(path) != size:
        sys.exit("upload arrived with %d bytes of %d" % (os.path.getsize(path), size))
    os.remove(path)
    return took


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--compare", help="another daemon binary, measured in the same rounds")
    ap.add_argument("--metrics", action="store_true", help="also through the same build with metricsaddress set")
    args = ap.parse_args()

    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    tmp = tempfile.mkdtemp(prefix="ferrybench-", dir=base)
    site = None
    bare = None
    daemons = []
    try:
        # The file lives in section FREE, on site 0.
        os.makedirs(os.path.join(tmp, "FREE"))
        path = os.path.join(tmp, "FREE", "big.bin")
        block = os.urandom(1 << 20)
        with open(path, "wb") as f:
            for _ in range(args.size_mib):
                f.write(block)
        for d, _, files in os.walk(tmp):
            os.chmod(d, 0o777)
            for name in files:
                os.chmod(os.path.join(d, name), 0o644)
        size = args.size_mib << 20
        site = PyftpdSite("127.0.0.2", tmp)
        settings = {"cycleip": "%s:%d" % (site.host, site.port), "bouncedata": "yes"}
        binaries = [os.path.abspath(args.binary)] + ([os.path.abspath(args.compare)] if args.compare else [])
        for b in binaries:
            daemons.append(Daemon(settings=settings, binary=b))
        metered = []
        if args.metrics:
            metered.append(Daemon(settings=dict(settings, metricsaddress="127.0.0.1:0"), binary=binaries[0]))
            daemons.append(metered[0])
        bare = BareRelay(site.host, site.port)
        paths = [("direct", None, ("127.0.0.2", site.port))] + [
            (b, d, ("127.0.0.1", d.port)) for b, d in zip(binaries, daemons)] + [
            ("metrics", d, ("127.0.0.1", d.port)) for d in metered] + [("bare", bare, ("127.0.0.3", bare.port))]
        results = {}
        for way, transfer in (("download", download), ("upload", upload)):
            for _, _, port in paths:
                transfer(port, size, tmp)  # warms every path (and the page cache)
            times = {name: [] for name, _, _ in paths}
            cpus = {name: [] for name, _, _ in paths}
            # Per round: client, site and whole-machine CPU seconds, to show what bounds a path.
            shares = {name: [] for name, _, _ in paths}
            for _ in range(args.rounds):
                for name, daemon, port in paths:
                    before = cpu_seconds(daemon.proc.pid) if daemon else 0
                    site_before, client_before, busy_before = (cpu_seconds(site.proc.pid), children_cpu_seconds(),
                                                               machine_busy_seconds())
                    times[name].append(transfer(port, size, tmp))
                    shares[name].append((children_cpu_seconds() - client_before,
                                         cpu_seconds(site.proc.pid) - site_before,
                                         machine_busy_seconds() - busy_before))
                    if daemon:
                        cpus[name].append(cpu_seconds(daemon.proc.pid) - before)
            results[way] = (times, cpus, shares)

        mib = size / (1 << 20)
        print("bouncedata, file %d MiB, %d rounds each way, medians" % (args.size_mib, args.rounds))
        print("%-9s %-10s %10s %8s %24s" % ("", "path", "MiB/s", "ratio", "daemon CPU ns/B (min)"))
        for way in ("download", "upload"):
            times, cpus, _ = results[way]
            direct = statistics.median(times["direct"])
            for i, (name, daemon, _) in enumerate(paths):
                t = statistics.median(times[name])
                label = "direct" if daemon is None else ("ferrynet" if i == 1 else "bare relay" if name == "bare" else
                                                         "+metrics" if name == "metrics" else "compared")
                cpu = ("%17.3f (%.3f)" % (statistics.median(cpus[name]) * 1e9 / size, min(cpus[name]) * 1e9 / size)
                       if daemon else "%24s" % "-")
                print("%-9s %-10s %10.1f %8.3f %s" % (way, label, mib / t, direct / t, cpu))
        if args.compare:
            print("compared: " + binaries[1])
        if args.metrics:
            for way in ("download", "upload"):
                times = results[way][0]
                print("%s: with metricsaddress / without, time ratio %.3f" %
                      (way, statistics.median(times["metrics"]) / statistics.median(times[binaries[0]])))
        # The machine's cores are shared by client, site and daemon: when the
        # direct path already keeps them busy, what the daemon costs comes
        # off the throughput.
        print("CPU seconds per GiB, medians: client, site, daemon, whole machine; busy cores = machine / elapsed")
        gib = size / (1 << 30)
        for way in ("download", "upload"):
            times, cpus, shares = results[way]
            for i, (name, daemon, _) in enumerate(paths):
                label = "direct" if daemon is None else ("ferrynet" if i == 1 else "bare relay" if name == "bare" else
                                                         "+metrics" if name == "metrics" else "compared")
                med = [statistics.median(x[k] for x in shares[name]) / gib for k in range(3)]
                d = statistics.median(cpus[name]) / gib if daemon else 0.0
                busy = statistics.median(x[2] / t for x, t in zip(shares[name], times[name]))
                print("%-9s %-10s %7.2f %7.2f %7.2f %7.2f   busy cores %.2f of %d" %
                      (way, label, med[0], med[1], d, med[2], busy, os.cpu_count()))
        print("bare relay: the hop alone, the floor of any relay on this machine (its CPU column is that of the relay)")
        print("targets: ratio >= 0.95 each way; CPU per byte at most half of the build before the splice copy")
    finally:
        for d in daemons:
            d.stop()
        if bare:
            bare.stop()
        if site:
            site.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
