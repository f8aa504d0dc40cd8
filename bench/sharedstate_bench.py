"""Shared state benchmark.

1. Login latency (connect to 230) through one daemon over three scripted
   sites, without and with `sharedstate`, in the same run: median and p99,
   and the difference of the medians.
2. Idle cost: N sessions held across two instances sharing one Redis; the
   store's commands per second over a window, from INFO commandstats, and
   per session per 10 s.

Usage: sharedstate_bench.py FERRYNET_BINARY [--logins N] [--idle N] [--window S]
"""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from ferry_harness import HOST, Daemon, ScriptedSite, free_port, login_script, stop_process, wait_for  # noqa: E402


def start_redis():
    port = free_port()
    proc = subprocess.Popen([shutil.which("redis-server") or "/usr/bin/redis-server", "--bind", HOST, "--port",
                             str(port), "--save", "", "--appendonly", "no"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for(lambda: redis_call(port, "PING").startswith("+PONG"))
    return proc, port


def redis_call(port, command):
    try:
        with socket.create_connection((HOST, port), timeout=2) as s:
            s.sendall(command.encode() + b"\r\n")
            time.sleep(0.05)
            return s.recv(1 << 20).decode("latin-1")
    except OSError:
        return ""


def total_commands(port):
    """Commands the store ran, besides those this benchmark sent it."""
    n = 0
    for line in redis_call(port, "INFO commandstats").splitlines():
        if line.startswith("cmdstat_") and not line.startswith(("cmdstat_info", "cmdstat_ping")):
            n += int(line.split("calls=")[1].split(",")[0])
    return n


def login(port):
    s = socket.create_connection((HOST, port), timeout=10)
    f = s.makefile("rb")

    def reply():
        while True:
            line = f.readline()
            if not line or (len(line) > 3 and line[3:4] == b" "):
                return line

    reply()
    s.sendall(b"USER u\r\n")
    reply()
    s.sendall(b"PASS p\r\n")
    if not reply().startswith(b"230"):
        raise RuntimeError("login refused")
    return s, f


def latencies(port, n):
    out = []
    for _ in range(n):
        started = time.perf_counter()
        s, f = login(port)
        out.append((time.perf_counter() - started) * 1000)
        s.sendall(b"QUIT\r\n")
        f.readline()
        s.close()
    out.sort()
    return statistics.median(out), out[min(len(out) - 1, int(len(out) * 0.99))]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--logins", type=int, default=2000)
    ap.add_argument("--idle", type=int, default=2000)
    ap.add_argument("--window", type=float, default=30.0)
    a = ap.parse_args()
    sites = [ScriptedSite(name="site%d" % i, script=login_script()) for i in range(3)]
    redis, rport = start_redis()
    daemons, held = [], []
    try:
        shared = {"sharedstate": "redis://%s:%d" % (HOST, rport)}
        for label, settings in (("without", {}), ("with", shared)):
            d = Daemon([s.port for s in sites], settings, binary=a.binary)
            daemons.append(d)
            med, p99 = latencies(d.port, a.logins)
            print("login %-8s sharedstate: median %.3f ms, p99 %.3f ms (%d logins)" % (label, med, p99, a.logins))
            if label == "without":
                base = med
            else:
                print("median difference: %+.3f ms (target: within 1 ms)" % (med - base))
        pair = [daemons[1], Daemon([s.port for s in sites], shared, binary=a.binary)]
        daemons.append(pair[1])
        for k in range(a.idle):
            held.append(login(pair[k % 2].port))
        time.sleep(2)
        before, started = total_commands(rport), time.monotonic()
        time.sleep(a.window)
        ran = total_commands(rport) - before
        rate = ran / (time.monotonic() - started)
        print("idle: %d sessions on two instances, %.2f store commands/s, %.4f per session per 10 s (target: <= 1)"
              % (a.idle, rate, rate * 10 / a.idle))
    finally:
        for s, _ in held:
            s.close()
        for d in daemons:
            d.stop()
        for s in sites:
            s.close()
        stop_process(redis)


if __name__ == "__main__":
    main()
