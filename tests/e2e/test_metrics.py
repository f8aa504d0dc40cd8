"""The metrics endpoint under a real Prometheus server, and the health answer
a load balancer reads, with real FTP servers as sites and ftplib as client.

Site 1 holds GAMES and a file at the root, site 2 holds VCD. The client's
root download passes through the daemon and is counted in data bytes; its
download in VCD goes straight to site 2 and is not.
"""

import ftplib
import json
import os
import re
import shutil
import ssl
import subprocess
import sys
import tempfile
import unittest
import urllib.error
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ferry_harness import HOST, Daemon, RealSite, free_port, stop_process, wait_for, write_tree  # noqa: E402
from real_sites import ProftpdSite, VsftpdSite, make_certificate, proftpd_tls_available, vsftpd_available  # noqa: E402

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
ROOT_FILE = bytes(range(256)) * 517 + b"tail"  # 132356 bytes
SECTION_FILE = b"section bytes\r\n" * 1000
# Prometheus and the daemon share two cores with other tests.
SLOW = 90.0


def http_get(url, timeout=10):
    """(status, body) of a GET; an HTTP error status is an answer too."""
    try:
        with urllib.request.urlopen(url, timeout=timeout) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def metrics_port(daemon):
    found = []

    def logged():
        m = re.search(r"metrics on \S+, port (\d+)", daemon.output())
        if m:
            found.append(int(m.group(1)))
        return bool(found)

    if not wait_for(logged):
        raise RuntimeError("no metrics endpoint: " + daemon.output())
    return found[0]


def start_daemon(sites, settings=None):
    conf = {"metricsaddress": "%s:0" % HOST}
    conf.update(settings or {})
    d = Daemon([s.port for s in sites], conf)
    return d, metrics_port(d)


class Prometheus:
    """Debian's Prometheus scraping `target` every second, stopped by its pid."""

    def __init__(self, target):
        self.dir = tempfile.mkdtemp(prefix="ferryprom-")
        self.port = free_port()
        conf = os.path.join(self.dir, "prometheus.yml")
        with open(conf, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "scrape_configs:\n  - job_name: ferrynet\n    static_configs:\n"
                    "      - targets: ['%s']\n" % target)
        self.log = open(os.path.join(self.dir, "prometheus.log"), "wb")
        self.proc = subprocess.Popen(["/usr/bin/prometheus", "--config.file=" + conf,
                                      "--storage.tsdb.path=" + os.path.join(self.dir, "data"),
                                      "--web.listen-address=%s:%d" % (HOST, self.port)],
                                     stdout=self.log, stderr=subprocess.STDOUT, cwd=self.dir)
        if not wait_for(self._ready, SLOW, 0.2):
            self.stop()
            raise RuntimeError("prometheus did not start")

    def _ready(self):
        try:
            return http_get("http://%s:%d/-/ready" % (HOST, self.port), 2)[0] == 200
        except OSError:
            return False

    def query(self, expr):
        """{labels as sorted tuple: value} of an instant query."""
        url = "http://%s:%d/api/v1/query?%s" % (HOST, self.port, urllib.parse.urlencode({"query": expr}))
        status, body = http_get(url)
        answer = json.loads(body)
        if status != 200 or answer["status"] != "success":
            raise AssertionError("query %s: %s" % (expr, body))
        return {tuple(sorted((k, v) for k, v in r["metric"].items() if k not in ("job", "instance", "__name__"))):
                float(r["value"][1]) for r in answer["data"]["result"]}

    def stop(self):
        stop_process(self.proc)
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def sample(page, name, **labels):
    """The value of one sample of a scrape, or None."""
    want = ",".join('%s="%s"' % kv for kv in sorted(labels.items()))
    for line in page.splitlines():
        if line.startswith("#"):
            continue
        key, _, value = line.rpartition(" ")
        m = re.fullmatch(r"([a-z_]+)(?:\{(.*)\})?", key)
        if m and m.group(1) == name and ",".join(sorted((m.group(2) or "").split(","))).strip(",") == want:
            return float(value)
    return None


class MetricsUnderPrometheus(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="ferrymetrics-")
        cls.roots = [os.path.join(cls.tmp, "site%d" % k) for k in (1, 2)]
        write_tree(cls.roots[0], {"ROOT.bin": ROOT_FILE, "GAMES/Some.Game-GRP/game.rar": b"g" * 100})
        write_tree(cls.roots[1], {"VCD/Movie-GRP/cd1.bin": SECTION_FILE})
        cls.sites, cls.daemon, cls.prometheus = [], None, None
        try:
            cls.sites = [RealSite(root) for root in cls.roots]
            cls.daemon, cls.mport = start_daemon(cls.sites)
            cls.prometheus = Prometheus("%s:%d" % (HOST, cls.mport))
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.prometheus:
            cls.prometheus.stop()
        if cls.daemon:
            cls.daemon.stop()
        for s in cls.sites:
            s.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def url(self, path):
        return "http://%s:%d%s" % (HOST, self.mport, path)

    def eventually(self, expr, expected):
        seen = {}

        def matches():
            seen["last"] = self.prometheus.query(expr)
            return seen["last"] == expected

        self.assertTrue(wait_for(matches, SLOW, 0.5), "%s: %r, expected %r" % (expr, seen.get("last"), expected))

    def test_a_session_shows_in_prometheus_and_a_scrape_passes_promtool(self):
        self.eventually("ferrynet_site_up", {(("site", "1"),): 1.0, (("site", "2"),): 1.0})
        f = ftplib.FTP()
        f.connect(HOST, self.daemon.port, timeout=30)
        f.login("user", "secret")
        names = []
        f.retrlines("NLST", names.append)
        self.assertEqual(sorted(names), ["GAMES", "ROOT.bin", "VCD"])
        got = []
        f.retrbinary("RETR ROOT.bin", got.append)
        self.assertEqual(b"".join(got), ROOT_FILE)
        f.cwd("/VCD/Movie-GRP")
        got = []
        f.retrbinary("RETR cd1.bin", got.append)
        self.assertEqual(b"".join(got), SECTION_FILE)
        f.quit()
        wrong = ftplib.FTP()
        wrong.connect(HOST, self.daemon.port, timeout=30)
        with self.assertRaises(ftplib.error_perm):
            wrong.login("user", "wrong")
        wrong.close()

        self.eventually("ferrynet_sessions_total", {(): 2.0})
        self.eventually("ferrynet_sessions", {(): 0.0})
        # The root download counts its file's bytes; the section's went past the daemon.
        self.eventually('ferrynet_data_bytes_total{direction="down"}',
                        {(("direction", "down"), ("site", "1")): float(len(ROOT_FILE)),
                         (("direction", "down"), ("site", "2")): 0.0})
        self.eventually('ferrynet_data_bytes_total{direction="list"} > 0',
                        {(("direction", "list"), ("site", "1")): self.listing_bytes(1),
                         (("direction", "list"), ("site", "2")): self.listing_bytes(2)})

        status, page = http_get(self.url("/metrics"))
        self.assertEqual(status, 200)
        check = subprocess.run(["/usr/bin/promtool", "check", "metrics"], input=page.encode(),
                               capture_output=True, timeout=60)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertEqual(sample(page, "ferrynet_logins_total", result="ok"), 1)
        self.assertEqual(sample(page, "ferrynet_logins_total", result="failed"), 1)
        for site, direction in ((1, "down"), (2, "down"), (1, "list"), (2, "list")):
            self.assertEqual(sample(page, "ferrynet_transfers_total", site=str(site), direction=direction,
                                    result="ok"), 1, (site, direction))
        self.assertEqual(sample(page, "ferrynet_root_listing_seconds_count"), 1)
        # Every site answered every command of both sessions within the histogram's range.
        for site in ("1", "2"):
            count = sample(page, "ferrynet_site_reply_seconds_count", site=site)
            self.assertGreaterEqual(count, 5)
            self.assertEqual(sample(page, "ferrynet_site_reply_seconds_bucket", site=site, le="+Inf"), count)
        self.assertEqual(sample(page, "ferrynet_build_info", version="0.1.0"), 1)
        self.assertGreater(sample(page, "process_open_fds"), 3)
        self.assertGreater(sample(page, "ferrynet_threads"), 1)

        self.assertEqual(http_get(self.url("/health")), (200, "ok: 2 of 2 sites up\n"))
        self.assertEqual(http_get(self.url("/nothing"))[0], 404)

    def test_dashboard_is_json_naming_only_metrics_the_daemon_serves(self):
        with open(os.path.join(SOURCE, "contrib", "grafana-dashboard.json")) as f:
            board = json.load(f)
        exprs = [t["expr"] for p in board["panels"] for t in p.get("targets", [])]
        self.assertGreaterEqual(len(exprs), 8)
        named = set(n for e in exprs for n in re.findall(r"\b((?:ferrynet|process)_[a-z_]+)", e))
        served = dict(re.findall(r"^# TYPE (\S+) (\S+)$", http_get(self.url("/metrics"))[1], re.M))
        for name in named:
            base = re.sub(r"_(bucket|sum|count)$", "", name)
            self.assertTrue(name in served or served.get(base) == "histogram", name)
        for wanted in ("ferrynet_sessions", "ferrynet_logins_total", "ferrynet_site_up",
                       "ferrynet_site_reply_seconds_bucket", "ferrynet_transfers_total", "ferrynet_data_bytes_total"):
            self.assertIn(wanted, named)

    def listing_bytes(self, site):
        """What a site's pyftpdlib sends for NLST of its root."""
        return float(sum(len(n) + 2 for n in os.listdir(self.roots[site - 1])))


class HealthAnswer(unittest.TestCase):
    """/health of two daemons before the same two sites, one with `sitedown close`
    (the default) and one with `degrade`, while site 2 runs and once it stopped."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="ferryhealth-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        roots = [os.path.join(self.tmp, "site%d" % k) for k in (1, 2)]
        write_tree(roots[0], {"GAMES/a": b"a"})
        write_tree(roots[1], {"VCD/b": b"b"})
        self.sites = []
        for root in roots:
            site = RealSite(root)
            self.addCleanup(site.stop)
            self.sites.append(site)
        self.close, self.close_port = start_daemon(self.sites)
        self.addCleanup(self.close.stop)
        self.degrade, self.degrade_port = start_daemon(self.sites, {"sitedown": "degrade"})
        self.addCleanup(self.degrade.stop)

    def health(self, port):
        return http_get("http://%s:%d/health" % (HOST, port))

    def test_health_follows_the_sites_and_the_sitedown_mode(self):
        for port in (self.close_port, self.degrade_port):
            self.assertEqual(self.health(port), (200, "ok: 2 of 2 sites up\n"))
        self.sites[1].stop()
        # The health is what sessions found: each daemon learns of the loss from a client.
        c = self.close.client()
        self.assertEqual(c.reply(), ["421 Site 2 is unreachable, try again later.\r\n"])
        c.close()
        self.assertEqual(self.health(self.close_port), (503, "site 2 is down\n"))
        page = http_get("http://%s:%d/metrics" % (HOST, self.close_port))[1]
        self.assertEqual(sample(page, "ferrynet_site_up", site="2"), 0)
        self.assertEqual(sample(page, "ferrynet_site_up", site="1"), 1)
        self.assertEqual(sample(page, "ferrynet_site_connect_failures_total", site="2"), 1)
        self.assertEqual(sample(page, "ferrynet_sessions_refused_total", reason="sitedown"), 1)

        c = self.degrade.client()
        self.assertTrue(c.reply()[-1].startswith("220 "))
        c.close()
        self.assertEqual(self.health(self.degrade_port), (200, "ok: 1 of 2 sites up\n"))
        self.sites[0].stop()
        c = self.degrade.client()
        self.assertEqual(c.reply(), ["421 Site 1 is unreachable, try again later.\r\n"])
        c.close()
        self.assertEqual(self.health(self.degrade_port), (503, "every site is down\n"))


@unittest.skipUnless(vsftpd_available() and proftpd_tls_available(), "needs vsftpd and proftpd with mod_tls")
class TlsCounts(unittest.TestCase):
    """Every TLS leg of a protected root listing, before vsftpd (which refuses
    data connections that do not resume the control session) and proftpd."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="ferrytlsmetrics-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        roots = [os.path.join(self.tmp, "s%d" % k) for k in (1, 2)]
        write_tree(roots[0], {"one.txt": b"1"}, open_to_all=True)
        write_tree(roots[1], {"two.txt": b"2"}, open_to_all=True)
        vsftpd = VsftpdSite(roots[0], password="secret", tls=True)
        self.addCleanup(vsftpd.stop)
        proftpd = ProftpdSite(roots[1], user=vsftpd.user, password="secret", tls=True)
        self.addCleanup(proftpd.stop)
        self.user = vsftpd.user
        cert, key = make_certificate(self.tmp)
        self.daemon, self.mport = start_daemon(
            [vsftpd, proftpd], {"clienttls": "yes", "sitetls": "yes", "tlscertfile": cert, "tlskeyfile": key})
        self.addCleanup(self.daemon.stop)

    def test_handshakes_of_every_leg_and_resumed_site_sessions_are_counted(self):
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        f = ftplib.FTP_TLS(context=ctx)
        f.connect(HOST, self.daemon.port, timeout=30)
        f.auth()
        f.login(self.user, "secret")
        f.prot_p()
        self.assertEqual(sorted(f.nlst()), ["one.txt", "two.txt"])
        f.quit()
        page = http_get("http://%s:%d/metrics" % (HOST, self.mport))[1]
        for leg, count in (("client", 1), ("site", 2), ("client_data", 1), ("site_data", 2)):
            self.assertEqual(sample(page, "ferrynet_tls_handshakes_total", leg=leg, result="ok"), count, leg)
            self.assertEqual(sample(page, "ferrynet_tls_handshakes_total", leg=leg, result="failed"), 0, leg)
        self.assertEqual(sample(page, "ferrynet_tls_resumed_total", site="1"), 1)


if __name__ == "__main__":
    unittest.main()
