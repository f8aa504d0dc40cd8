"""pyftpdlib sites, plain or with explicit TLS required, each in a process of
its own, optionally behind a delay proxy (delay_proxy.py) that makes them look distant,
data ports included. Stopped by their pids."""

import os
import shutil
import subprocess
import tempfile

from delay_proxy import DelayProxy, free_range
from ferry_harness import stop_process, wait_for

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pyftpd_far_site.py")
PASSIVE_PORTS = 40


class FarSite:
    """pyftpdlib; with `cert` and `key` TLS is required on control and data. With `delay_ms` the
    site is reached through a delay proxy: `port` is the proxy's, and the
    site's 227 replies name the proxy's data ports."""

    def __init__(self, root, cert=None, key=None, user="user", password="secret", delay_ms=None, taken=None):
        self.user, self.password = user, password
        self.proxy = None
        self.dir = tempfile.mkdtemp(prefix="ferrytlssite-")
        port_file = os.path.join(self.dir, "port")
        argv = ["/usr/bin/python3", SCRIPT, root, port_file, "--user", user, "--password", password]
        if cert:
            argv += ["--tls", cert, key]
        data = None
        if delay_ms is not None:
            # Ranges handed out to earlier sites of the same test are avoided.
            taken = taken if taken is not None else []
            site_first = free_range(PASSIVE_PORTS, taken)
            taken.append((site_first, site_first + PASSIVE_PORTS))
            proxy_first = free_range(PASSIVE_PORTS, taken)
            taken.append((proxy_first, proxy_first + PASSIVE_PORTS))
            argv += ["--passive", str(site_first), str(PASSIVE_PORTS), "--announce-offset",
                     str(proxy_first - site_first)]
            data = (proxy_first, site_first, PASSIVE_PORTS)
        self.proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: os.path.exists(port_file) or self.proc.poll() is not None):
            self.stop()
            raise RuntimeError("site did not start")
        with open(port_file) as f:
            self.site_port = int(f.read())
        self.port = self.site_port
        if delay_ms is not None:
            try:
                self.proxy = DelayProxy(delay_ms, self.site_port, data)
            except Exception:
                self.stop()
                raise
            self.port = self.proxy.port

    def stop(self):
        if self.proxy:
            self.proxy.stop()
        stop_process(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)
