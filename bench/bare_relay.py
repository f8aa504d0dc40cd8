"""The least a relay in front of one FTP site can do, as a floor to measure a
daemon against: the control connection copied line by line, and each data
connection the site offers in a 227 or 229 reply carried, nothing else.
Plain data is spliced through a pipe by the kernel, one blocking thread per
direction. With a certificate and key the relay also speaks TLS: it takes
AUTH TLS to both sides, and protected data is decrypted and encrypted again
by one thread per data connection (TLS server to the client, TLS client to
the site resuming its control session, as sites require).

Usage: bare_relay.py LISTEN_HOST SITE_HOST SITE_PORT PORT_FILE [CERT KEY]
Passive mode only; no checks: a benchmark instrument, not something to put
in front of anyone.
"""

import faulthandler
import fcntl
import os
import re
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

F_SETPIPE_SZ = 1031
CHUNK = 1 << 20
PASV = re.compile(rb"^(227 |229 )")


def splice_one_way(src, dst):
    r, w = os.pipe()
    try:
        fcntl.fcntl(w, F_SETPIPE_SZ, CHUNK)
    except OSError:
        pass
    try:
        while True:
            got = os.splice(src.fileno(), w, CHUNK)
            if got == 0:
                break
            while got:
                got -= os.splice(r, dst.fileno(), got)
    except OSError:
        pass
    finally:
        os.close(r)
        os.close(w)


def take_ready(sock, into=None):
    """What a socket select() called readable holds: None when that was a
    record without data (a session ticket, say). A blocking read would then
    wait for the next record while the other side waits for us."""
    sock.setblocking(False)
    try:
        return sock.recv_into(into) if into is not None else sock.recv(65536)
    except (ssl.SSLWantReadError, ssl.SSLWantWriteError, BlockingIOError):
        return None
    finally:
        sock.setblocking(True)


def end_sending(sock):
    try:
        if isinstance(sock, ssl.SSLSocket):
            sock.settimeout(5)
            sock.unwrap()
        else:
            sock.shutdown(socket.SHUT_WR)
    except (OSError, ValueError):
        pass


def carry_both(a, b, tls):
    if tls:
        carry_tls(a, b)
        return

    def one_way(src, dst):
        splice_one_way(src, dst)
        end_sending(dst)

    t = threading.Thread(target=one_way, args=(b, a), daemon=True)
    t.start()
    one_way(a, b)
    t.join()
    a.close()
    b.close()


def carry_tls(a, b):
    # One thread: a TLS connection must not be read and written by two
    # threads at once. A data connection carries one way: the end whose data
    # comes first is the source, read blocking from then on, and its end
    # ends the connection.
    buf = bytearray(CHUNK)
    view = memoryview(buf)
    try:
        got = None
        while got is None:
            ready = [s for s in (a, b) if s.pending()] or select.select([a, b], [], [], 600)[0]
            if not ready:
                return
            src = ready[0]
            got = take_ready(src, buf)
        dst = b if src is a else a
        while got:
            dst.sendall(view[:got])
            got = src.recv_into(buf)
        end_sending(dst)
    except (OSError, ValueError):
        pass
    finally:
        a.close()
        b.close()


class Session:
    def __init__(self, client, relay):
        self.client, self.relay = client, relay
        self.site = socket.create_connection((relay.site_host, relay.site_port))
        self.protect = False

    def data_leg(self, listener, port):
        try:
            client, _ = listener.accept()
        except OSError:
            return
        finally:
            listener.close()
        site = socket.create_connection((self.relay.site_host, port))
        if self.protect:
            # The client's handshake first: the site starts its own only once
            # the command the client sends after it has arrived.
            client = self.relay.server_ctx.wrap_socket(client, server_side=True)
            site = self.relay.client_ctx.wrap_socket(site, session=self.site.session)
        carry_both(client, site, self.protect)

    def down(self):
        # One thread for both directions: a TLS connection must not be read
        # and written by two threads at once.
        pending = {self.client: b"", self.site: b""}
        try:
            while True:
                ready = [s for s in (self.client, self.site) if isinstance(s, ssl.SSLSocket) and s.pending()]
                if not ready:
                    ready = select.select([self.client, self.site], [], [], 600)[0]
                    if not ready:
                        break
                for sock in ready:
                    if sock is not self.client and sock is not self.site:
                        break  # upgraded: wait again on the new sockets
                    data = take_ready(sock)
                    if data is None:
                        continue
                    if not data:
                        return
                    pending[sock] += data
                    while b"\n" in pending[sock]:
                        line, pending[sock] = pending[sock].split(b"\n", 1)
                        if sock is self.client:
                            self.from_client(line + b"\n")
                        else:
                            self.from_site(line + b"\n")
                        if sock is not self.client and sock is not self.site:
                            pending = {self.client: b"", self.site: b""}
                            break
        except (OSError, ValueError):
            pass
        finally:
            self.client.close()
            self.site.close()

    def from_client(self, line):
        word = line.split(b" ", 1)[0].strip().upper()
        if word == b"PROT":
            self.protect = line.strip().upper().endswith(b"P")
        self.site.sendall(line)

    def from_site(self, line):
        if PASV.match(line):
            digits = re.findall(rb"\d+", line[4:])
            port = int(digits[-1]) if line.startswith(b"229") else int(digits[-2]) * 256 + int(digits[-1])
            # Open before the client reads the port.
            listener = socket.create_server((self.relay.listen_host, 0))
            listener.settimeout(30)
            mine = listener.getsockname()[1]
            threading.Thread(target=self.data_leg, args=(listener, port), daemon=True).start()
            if line.startswith(b"229"):
                line = b"229 Entering Extended Passive Mode (|||%d|)\r\n" % mine
            else:
                line = b"227 Entering Passive Mode (%s,%d,%d)\r\n" % (
                    self.relay.listen_host.replace(".", ",").encode(), mine >> 8, mine & 255)
        self.client.sendall(line)
        if line.startswith(b"234 ") and self.relay.server_ctx:
            self.site = self.relay.client_ctx.wrap_socket(self.site)
            self.client = self.relay.server_ctx.wrap_socket(self.client, server_side=True)


class Relay:
    def __init__(self, listen_host, site_host, site_port, cert=None, key=None):
        self.listen_host, self.site_host, self.site_port = listen_host, site_host, site_port
        self.server_ctx = self.client_ctx = None
        if cert:
            self.server_ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.server_ctx.load_cert_chain(cert, key)
            self.client_ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            self.client_ctx.check_hostname = False
            self.client_ctx.verify_mode = ssl.CERT_NONE


class BareRelay:
    """This script in a process of its own on 127.0.0.3 in front of the site
    at host:port; with cert and key it speaks TLS. Stopped by its pid."""

    def __init__(self, host, port, cert=None, key=None):
        self.dir = tempfile.mkdtemp(prefix="ferrybare-")
        port_file = os.path.join(self.dir, "port")
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "127.0.0.3", host, str(port),
                                      port_file] + ([cert, key] if cert else []))
        for _ in range(500):
            if os.path.exists(port_file) or self.proc.poll() is not None:
                break
            time.sleep(0.01)
        with open(port_file) as f:
            self.port = int(f.read())

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def main():
    faulthandler.register(signal.SIGUSR1, all_threads=True)  # a stuck relay shows where
    listen_host, site_host, site_port, port_file = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    relay = Relay(listen_host, site_host, site_port, *sys.argv[5:7])
    server = socket.create_server((listen_host, 0))
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.getsockname()[1]))
    os.rename(tmp, port_file)
    while True:
        client, _ = server.accept()
        threading.Thread(target=Session(client, relay).down, daemon=True).start()


if __name__ == "__main__":
    main()
