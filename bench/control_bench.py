"""Control path benchmark.

1. Round trip of NOOP: straight to a real FTP site, through a plain TCP relay
   (socat) to the same site, and through ferrynet; medians and ratios.
2. Hold: many clients logged in at once through one daemon with 3 sites each;
   resident memory per client and processor use while they idle.

Usage: control_bench.py FERRYNET_BINARY [--clients N] [--rounds N]
"""

import argparse
import asyncio
import os
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from ferry_harness import Daemon, RealSite, free_port, wait_for  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def rtt_series(port, rounds, login=True):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    f = s.makefile("rb")

    def reply():
        while True:
            line = f.readline()
            if not line:
                raise EOFError
            if len(line) > 3 and line[3:4] == b" ":
                return line

    reply()
    if login:
        s.sendall(b"USER user\r\n")
        reply()
        s.sendall(b"PASS secret\r\n")
        reply()
    times = []
    for _ in range(rounds + 200):
        t0 = time.perf_counter()
        s.sendall(b"NOOP\r\n")
        reply()
        times.append(time.perf_counter() - t0)
    s.close()
    return times[200:]


def round_trips(binary, rounds):
    tmp = tempfile.mkdtemp(prefix="ferrybench-")
    site = RealSite(tmp)
    relay_port = free_port()
    socat = subprocess.Popen(["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % relay_port,
                              "TCP:127.0.0.1:%d" % site.port], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    daemon = Daemon(binary=binary, settings={"siteip": "127.0.0.1", "siteport": str(site.port),
                                             "bouncemodedown": "x", "cyclemode": None, "log": "ei"})
    try:
        def relay_up():
            try:
                socket.create_connection(("127.0.0.1", relay_port), timeout=0.3).close()
                return True
            except OSError:
                return False
        wait_for(relay_up)
        results = {}
        # Interleave the three paths so that drift of the machine hits each alike.
        series = {"direct": [], "socat": [], "ferrynet": []}
        ports = {"direct": site.port, "socat": relay_port, "ferrynet": daemon.port}
        for _ in range(5):
            for name in series:
                series[name] += rtt_series(ports[name], rounds // 5)
        for name, t in series.items():
            results[name] = statistics.median(t) * 1e6
        print("NOOP round trip, median of %d (microseconds):" % rounds)
        for name in series:
            print("  %-9s %8.1f" % (name, results[name]))
        ratio = results["ferrynet"] / results["socat"]
        print("  ferrynet / socat  = %.3f  (target <= 1.25)" % ratio)
        print("  ferrynet / direct = %.3f" % (results["ferrynet"] / results["direct"]))
        return ratio <= 1.25
    finally:
        daemon.stop()
        socat.terminate()
        socat.wait()
        site.stop()
        shutil.rmtree(tmp, ignore_errors=True)


class LightSite:
    """A site of asyncio sessions: cheap enough to hold thousands of connections."""

    def __init__(self, loop):
        self.loop = loop
        self.count = 0

    async def start(self):
        self.server = await asyncio.start_server(self.serve, "127.0.0.1", 0, backlog=4096)
        self.port = self.server.sockets[0].getsockname()[1]

    async def serve(self, reader, writer):
        self.count += 1
        ident = self.count
        writer.write(b"220 ready.\r\n")
        try:
            while True:
                line = await reader.readline()
                if not line:
                    break
                cmd = line.strip().upper()
                if cmd.startswith(b"USER"):
                    writer.write(b"331 Password required.\r\n")
                elif cmd.startswith(b"PASS"):
                    writer.write(b"230 User logged in.\r\n")
                elif cmd.startswith(b"SITE SHOWPID"):
                    writer.write(b"200-PID: %d\r\n200 Command Successful.\r\n" % ident)
                else:
                    writer.write(b"200 ok.\r\n")
                await writer.drain()
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            writer.close()


def proc_stat(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


async def hold(binary, clients, idle_seconds):
    loop = asyncio.get_running_loop()
    sites = [LightSite(loop) for _ in range(3)]
    for s in sites:
        await s.start()
    daemon = Daemon([s.port for s in sites], binary=binary, settings={"log": "ei"})
    try:
        base = rss_kib(daemon.proc.pid)
        conns = []
        sem = asyncio.Semaphore(200)

        async def reply(reader):
            while True:
                line = await asyncio.wait_for(reader.readline(), 60)
                if not line:
                    raise EOFError
                if len(line) > 3 and line[3:4] == b" ":
                    return line

        async def one():
            async with sem:
                reader, writer = await asyncio.open_connection("127.0.0.1", daemon.port)
                await reply(reader)
                writer.write(b"USER user\r\n")
                await reply(reader)
                writer.write(b"PASS secret\r\n")
                r = await reply(reader)
                conns.append((reader, writer))
                return r.startswith(b"230 ")

        t0 = time.perf_counter()
        ok = await asyncio.gather(*[one() for _ in range(clients)], return_exceptions=True)
        logged = sum(1 for r in ok if r is True)
        failures = {}
        for r in ok:
            if r is not True:
                failures[repr(r)[:60]] = failures.get(repr(r)[:60], 0) + 1
        for k, v in failures.items():
            print("  failed login: %d x %s" % (v, k))
        t_login = time.perf_counter() - t0
        await asyncio.sleep(1.0)
        rss = rss_kib(daemon.proc.pid)
        fds = len(os.listdir("/proc/%d/fd" % daemon.proc.pid))
        c0 = proc_stat(daemon.proc.pid)
        w0 = time.perf_counter()
        await asyncio.sleep(idle_seconds)
        cpu = (proc_stat(daemon.proc.pid) - c0) / TICKS / (time.perf_counter() - w0) * 100

        async def noop(rw):
            reader, writer = rw
            writer.write(b"NOOP\r\n")
            return (await reply(reader)).startswith(b"200 ")

        served = sum(1 for r in await asyncio.gather(*[noop(rw) for rw in conns], return_exceptions=True)
                     if r is True)
        per_client = (rss - base) / max(logged, 1)
        print("hold: %d clients x 3 sites (daemon holds %d descriptors)" % (clients, fds))
        print("  logged in   %d of %d in %.1f s" % (logged, clients, t_login))
        print("  served NOOP %d of %d after idling" % (served, clients))
        print("  resident    %.1f KiB per client (target < 256)" % per_client)
        print("  processor   %.2f %% of one core while idle for %d s (target < 2)" % (cpu, idle_seconds))
        for _, w in conns:
            w.close()
        return logged == clients and served == clients and per_client < 256 and cpu < 2
    finally:
        daemon.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--clients", type=int, default=2000)
    ap.add_argument("--rounds", type=int, default=5000)
    ap.add_argument("--idle", type=int, default=20)
    args = ap.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = min(hard, 65536)
    resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
    if want < args.clients * 4 + 200:
        print("descriptor limit %d too low for %d clients" % (want, args.clients))
        return 1
    ok_rtt = round_trips(args.binary, args.rounds)
    ok_hold = asyncio.run(hold(args.binary, args.clients, args.idle))
    print("control bench: %s" % ("targets met" if ok_rtt and ok_hold else "TARGETS MISSED"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
