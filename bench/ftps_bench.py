"""FTPS with TLS on both legs: a merged root listing and a large download
through ferrynet, against the same fetched straight from the sites with TLS,
in the same run; and the daemon's CPU time per listing and per byte.

Usage: ftps_bench.py FERRYNET_BINARY [--entries N] [--size-mib N] [--rounds N]
Three TLS sites on 127.0.0.1: vsftpd (site 1, requiring session reuse on its
data connections) and two proftpd with mod_tls (sites 2 and 3), each serving a
directory in /dev/shm whose root holds N empty files, a third of the names on
every site. The daemon runs with `clienttls yes` and `sitetls yes`.
  listing   ftplib with TLS and PROT P (resuming its control session on the
            data connections, which the sites require): one whole session
            (connect, AUTH TLS, login, PROT P, LIST read to its end, QUIT)
            through the daemon, against one such session with each site in
            turn (the sum). The LIST alone (PASV to its last reply) is shown too.
  download  curl (--ssl-reqd, passive: PROT P) fetching a file of section FREE,
            which lives on the vsftpd site, to /dev/null; through the daemon
            the protected data passes through it, decrypted and encrypted again.
            The throughput of the transfer (RETR to its last reply, as curl
            times it) and of the whole session are shown.
Rounds alternate direct and through the daemon after one warming round; the
medians are compared, and both measures of each are held to its target. The
daemon's CPU time is utime + stime of its process (/proc/PID/stat), every
thread included; on a machine shared with other work it also holds kernel
work done for others while the daemon ran, hence the minimum beside the
median. Needs root (vsftpd's login is a system account). Exits non-zero only
when a transfer fails, arrives at the wrong size, or a merged listing is not
exactly the union of the names.
"""

import argparse
import ftplib
import os
import shutil
import ssl
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from ferry_harness import HOST, Daemon, read_to_end  # noqa: E402
sys.path.insert(0, HERE)
from bare_relay import BareRelay  # noqa: E402
from real_sites import ProftpdSite, VsftpdSite, make_certificate, proftpd_tls_available, vsftpd_available  # noqa: E402

PASSWORD = "secret"
LISTING_TARGET = 1.5
DOWNLOAD_TARGET = 0.8


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime, the 14th and 15th fields of the whole line.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def insecure_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


class SessionReusingFTP(ftplib.FTP_TLS):
    """ftplib opens each protected data connection as a new TLS session,
    which the sites refuse."""

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host, session=self.sock.session)
        return conn, size


def fetch_listing(port, user):
    """One protected session listing "/". (raw listing, whole seconds, LIST seconds)"""
    start = time.perf_counter()
    f = SessionReusingFTP(context=insecure_context(), timeout=120)
    try:
        f.connect(HOST, port)
        f.auth()
        f.login(user, PASSWORD)
        f.prot_p()
        f.voidcmd("TYPE A")
        listing_start = time.perf_counter()
        conn = f.transfercmd("LIST")
        raw = read_to_end(conn)
        try:
            conn.unwrap()
        except (OSError, ValueError):
            pass
        conn.close()
        f.voidresp()
        listing = time.perf_counter() - listing_start
        f.quit()
    finally:
        f.close()
    return raw, time.perf_counter() - start, listing


def machine_busy_seconds():
    # Every CPU's time outside idle and iowait, from the first line of /proc/stat.
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    return (sum(fields[:8]) - fields[3] - fields[4]) / os.sysconf("SC_CLK_TCK")


def curl_download(port, user, size, host=HOST):
    """(whole seconds, transfer seconds): the transfer is what follows the
    commands before RETR, so the logins (vsftpd's goes through PAM and varies
    by tenths of a second) do not drown the data path."""
    out = subprocess.run(["curl", "-sS", "--max-time", "600", "--ssl-reqd", "-k", "--ftp-pasv",
                          "-u", "%s:%s" % (user, PASSWORD), "-o", "/dev/null",
                          "-w", "%{size_download} %{time_pretransfer} %{time_total}",
                          "ftp://%s:%d/FREE/big.bin" % (host, port)], capture_output=True, timeout=700)
    fields = out.stdout.split()
    if out.returncode != 0 or len(fields) != 3 or int(float(fields[0])) != size:
        sys.exit("download from %s:%d failed: %r %r" % (host, port, out.stdout, out.stderr))
    total = float(fields[2])
    return total, total - float(fields[1])


def cipher_ns_per_byte():
    """What `openssl speed` makes of the cipher, at the size of a full record; None when it cannot say."""
    out = subprocess.run(["openssl", "speed", "-seconds", "2", "-bytes", "16384", "-evp", "aes-256-gcm"],
                         capture_output=True, text=True, timeout=60)
    for line in out.stdout.splitlines():
        fields = line.split()
        if line.upper().startswith("AES-256-GCM") and fields[-1].endswith("k"):
            return 1e9 / (float(fields[-1][:-1]) * 1000)
    return None


def make_trees(base, entries, size_mib):
    roots, names = [], set()
    block = os.urandom(1 << 20)
    for s in range(3):
        root = os.path.join(base, "site%d" % s)
        os.makedirs(root)
        for i in range(entries):
            name = "shared.%d" % i if i % 3 == 0 else "site%d.%d" % (s, i)
            open(os.path.join(root, name), "w").close()
            names.add(name)
        roots.append(root)
    os.makedirs(os.path.join(roots[0], "FREE"))
    names.add("FREE")
    with open(os.path.join(roots[0], "FREE", "big.bin"), "wb") as f:
        for _ in range(size_mib):
            f.write(block)
    # The servers read the trees as their logins, after dropping root.
    for d, _, files in os.walk(base):
        os.chmod(d, 0o755)
        for name in files:
            os.chmod(os.path.join(d, name), 0o644)
    return roots, names


def listing_names(raw):
    # Neither kind of site puts blanks in these names.
    return [l.split()[-1] for l in raw.decode("latin-1").splitlines() if l.strip() and not l.startswith("total")]


def run(args, sites, daemon, bare, user, names, size):
    pid = daemon.proc.pid
    whole, listing, list_cpu = {"direct": [], "ferrynet": []}, {"direct": [], "ferrynet": []}, []
    for r in range(args.rounds + 1):
        d_whole = d_list = 0.0
        for s in sites:
            _, w, l = fetch_listing(s.port, user)
            d_whole += w
            d_list += l
        before = cpu_seconds(pid)
        raw, m_whole, m_list = fetch_listing(daemon.port, user)
        cpu = cpu_seconds(pid) - before
        got = listing_names(raw)
        if len(got) != len(set(got)) or set(got) != names:
            print("the merged listing is not exactly the union of the names (%d names, %d distinct, %d wanted)"
                  % (len(got), len(set(got)), len(names)))
            return 1
        if r == 0:
            continue  # the warming round
        for t, d, m in ((whole, d_whole, m_whole), (listing, d_list, m_list)):
            t["direct"].append(d)
            t["ferrynet"].append(m)
        list_cpu.append(cpu)

    # The bare relay (bare_relay.py) decrypts and encrypts every byte as the
    # daemon must, and does nothing else: the floor of any relay here.
    paths = (("direct", HOST, sites[0].port, None), ("ferrynet", HOST, daemon.port, pid),
             ("bare relay", "127.0.0.3", bare.port, bare.proc.pid))
    down = {p[0]: [] for p in paths}
    down_whole = {p[0]: [] for p in paths}
    down_cpu = {p[0]: [] for p in paths}
    # The machine's busy cores over each whole download: what the cores can
    # give is what bounds a path that keeps them all busy.
    busy = {p[0]: [] for p in paths}
    for r in range(args.rounds + 1):
        for name, host, port, carrier in paths:
            b0 = machine_busy_seconds()
            before = cpu_seconds(carrier) if carrier else 0
            t = curl_download(port, user, size, host)
            cpu = cpu_seconds(carrier) - before if carrier else 0
            if r == 0:
                continue
            busy[name].append((machine_busy_seconds() - b0) / t[0])
            down_whole[name].append(t[0])
            down[name].append(t[1])
            down_cpu[name].append(cpu)

    med = statistics.median
    print("FTPS, TLS on both legs, PROT P; median of %d rounds after one warming round" % args.rounds)
    print("root listing: 3 sites (vsftpd, proftpd, proftpd), %d entries each, union %d names"
          % (args.entries, len(names)))
    print("%-26s %12s %14s %7s" % ("", "direct ms", "ferrynet ms", "ratio"))
    for label, t in (("whole session (sum of 3)", whole), ("LIST only (sum of 3)", listing)):
        d, m = med(t["direct"]), med(t["ferrynet"])
        print("%-26s %12.1f %14.1f %7.2f" % (label, d * 1e3, m * 1e3, m / d))
    print("daemon CPU per merged listing: %.1f ms (min %.1f)" % (med(list_cpu) * 1e3, min(list_cpu) * 1e3))
    mib = size / (1 << 20)
    print("download: %d MiB from section FREE on the vsftpd site, curl" % args.size_mib)
    print("%-26s %12s %14s %7s %16s %7s" % ("", "direct MiB/s", "ferrynet MiB/s", "ratio", "bare relay MiB/s",
                                           "ratio"))
    for label, t in (("transfer (RETR to 226)", down), ("whole session", down_whole)):
        d, m, b = med(t["direct"]), med(t["ferrynet"]), med(t["bare relay"])
        print("%-26s %12.1f %14.1f %7.3f %16.1f %7.3f" % (label, mib / d, mib / m, d / m, mib / b, d / b))
    for name in ("ferrynet", "bare relay"):
        print("%s CPU per byte carried: %.3f ns/B (min %.3f)" % (
            "daemon" if name == "ferrynet" else "bare relay", med(down_cpu[name]) * 1e9 / size,
            min(down_cpu[name]) * 1e9 / size))
    print("busy cores over the whole download: direct %.2f, ferrynet %.2f, bare relay %.2f, of %d"
          % (med(busy["direct"]), med(busy["ferrynet"]), med(busy["bare relay"]), os.cpu_count()))
    cipher = cipher_ns_per_byte()
    if cipher:
        print("AES-256-GCM (these sessions' cipher) on this machine, 16 KiB records: %.3f ns/B; a relay applies it"
              " twice per byte: %.3f ns/B" % (cipher, 2 * cipher))
    # Busy cores times seconds per GiB: the whole machine's cost of a GiB on each path.
    gib = size / (1 << 30)
    print("machine CPU seconds per GiB: " + ", ".join(
        "%s %.2f" % (name, med(busy[name]) * med(down_whole[name]) / gib) for name in busy))
    list_ratio = max(med(t["ferrynet"]) / med(t["direct"]) for t in (whole, listing))
    down_ratio = min(med(t["direct"]) / med(t["ferrynet"]) for t in (down, down_whole))
    print("targets: listing ratio <= %.1f (%s); download ratio >= %.1f (%s)"
          % (LISTING_TARGET, "met" if list_ratio <= LISTING_TARGET else "MISSED",
             DOWNLOAD_TARGET, "met" if down_ratio >= DOWNLOAD_TARGET else "MISSED"))
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--entries", type=int, default=3000, help="files at each site's root")
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    if not (vsftpd_available() and proftpd_tls_available() and shutil.which("curl")):
        print("ftps bench skipped: needs root, vsftpd, proftpd with mod_tls and curl")
        return 0

    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    tmp = tempfile.mkdtemp(prefix="ferrybench-", dir=base)
    sites, daemon, bare = [], None, None
    try:
        roots, names = make_trees(tmp, args.entries, args.size_mib)
        sites.append(VsftpdSite(roots[0], password=PASSWORD, tls=True))
        user = sites[0].user
        for root in roots[1:]:
            sites.append(ProftpdSite(root, user=user, password=PASSWORD, tls=True))
        cert, key = make_certificate(tmp)
        daemon = Daemon([s.port for s in sites], {"clienttls": "yes", "sitetls": "yes", "tlscertfile": cert,
                                                  "tlskeyfile": key, "log": "ei", "replytimeout": "60"},
                        binary=os.path.abspath(args.binary))
        bare = BareRelay(HOST, sites[0].port, cert, key)
        return run(args, sites, daemon, bare, user, names, args.size_mib << 20)
    finally:
        if bare:
            bare.stop()
        if daemon:
            daemon.stop()
        for s in sites:
            s.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
