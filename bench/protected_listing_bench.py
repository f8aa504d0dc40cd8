"""Many protected root listings at once: every leg under TLS (`clienttls yes`,
`sitetls yes`, PROT P), three pyftpdlib TLS sites, several clients listing
"/" over and over. Counts the listings that fail or come back wrong, and the
daemon's log lines about failed data connections.

Usage: protected_listing_bench.py FERRYNET_BINARY [--lists N] [--clients C]
Each client holds one session and lists N / C times (ftplib, PASV, PROT P).
Prints the failures (target 0) and the listings per second; exits non-zero
when any listing failed.
"""

import argparse
import ftplib
import os
import shutil
import ssl
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from far_sites import FarSite  # noqa: E402
from ferry_harness import HOST, Daemon  # noqa: E402
from real_sites import make_certificate  # noqa: E402


def insecure_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def client(port, count, names, failures, lock):
    f = None
    done = 0
    while done < count:
        try:
            if f is None:
                f = ftplib.FTP_TLS(context=insecure_context(), timeout=60)
                f.connect(HOST, port)
                f.auth()
                f.login("user", "secret")
                f.prot_p()
            lines = []
            f.retrlines("LIST", lines.append)
            got = sorted(l.split()[-1] for l in lines if l.strip())
            if got != names:
                raise RuntimeError("wrong listing: %d names" % len(got))
        except Exception as e:  # noqa: BLE001 (every failure is counted)
            with lock:
                failures.append("%s: %s" % (type(e).__name__, e))
            try:
                if f:
                    f.close()
            except OSError:
                pass
            f = None
        done += 1
    if f:
        try:
            f.quit()
        except Exception:  # noqa: BLE001
            f.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--lists", type=int, default=10000)
    ap.add_argument("--clients", type=int, default=5)
    ap.add_argument("--entries", type=int, default=40)
    args = ap.parse_args()
    base = tempfile.mkdtemp(prefix="ferrybench-prot-")
    sites, daemon = [], None
    try:
        cert, key = make_certificate(base)
        names = set()
        for s in range(3):
            root = os.path.join(base, "site%d" % s)
            os.makedirs(root)
            for i in range(args.entries):
                name = "shared.%d" % i if i % 3 == 0 else "site%d.%d" % (s, i)
                open(os.path.join(root, name), "w").close()
                names.add(name)
            sites.append(FarSite(root, cert, key))
        daemon = Daemon([s.port for s in sites], {"clienttls": "yes", "sitetls": "yes", "tlscertfile": cert,
                                                  "tlskeyfile": key, "log": "ei", "replytimeout": "60"},
                        binary=os.path.abspath(args.binary))
        failures, lock = [], threading.Lock()
        per = args.lists // args.clients
        threads = [threading.Thread(target=client, args=(daemon.port, per, sorted(names), failures, lock))
                   for _ in range(args.clients)]
        start = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        took = time.perf_counter() - start
        log = daemon.log()
        data_errors = [l for l in log.splitlines() if "data connection" in l]
        total = per * args.clients
        print("protected root listings: %d from %d clients in %.1f s (%.0f per second)"
              % (total, args.clients, took, total / took))
        print("failed listings: %d (target 0); daemon log lines about data connections: %d"
              % (len(failures), len(data_errors)))
        for line in (failures[:5] + data_errors[:5]):
            print("  " + line)
        return 1 if failures else 0
    finally:
        if daemon:
            daemon.stop()
        for s in sites:
            s.stop()
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
