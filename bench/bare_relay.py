"""The least a relay in front of one FTP site can do, as a floor to measure a
daemon against: the control connection copied line by line, and each data
connection the site offers in a 227 or 229 reply spliced through a pipe by
the kernel, one blocking thread per direction, nothing else.

Usage: bare_relay.py LISTEN_HOST SITE_HOST SITE_PORT PORT_FILE
The client must take the data port from the reply and the address from its
control connection (curl does so by default). Passive mode only; no checks:
a benchmark instrument, not something to put in front of anyone.
"""

import fcntl
import os
import re
import socket
import sys
import threading

F_SETPIPE_SZ = 1031
CHUNK = 1 << 20
PASV = re.compile(rb"^(227 .*\(\d+,\d+,\d+,\d+,(\d+),(\d+)\)|229 .*\(\|\|\|(\d+)\|\))")


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
        try:
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def splice_both(a, b):
    t = threading.Thread(target=splice_one_way, args=(b, a), daemon=True)
    t.start()
    splice_one_way(a, b)
    t.join()
    a.close()
    b.close()


def data_leg(listener, site_host, port):
    try:
        client, _ = listener.accept()
    except OSError:
        return
    finally:
        listener.close()
    site = socket.create_connection((site_host, port))
    splice_both(client, site)


def control(client, listen_host, site_host, site_port):
    site = socket.create_connection((site_host, site_port))

    def up():
        try:
            while True:
                data = client.recv(65536)
                if not data:
                    break
                site.sendall(data)
        except OSError:
            pass
        try:
            site.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    threading.Thread(target=up, daemon=True).start()
    reader = site.makefile("rb")
    try:
        for line in reader:
            m = PASV.match(line)
            if m:
                port = int(m.group(4)) if m.group(4) else int(m.group(2)) * 256 + int(m.group(3))
                # Open before the client reads the port.
                listener = socket.create_server((listen_host, port))
                listener.settimeout(30)
                threading.Thread(target=data_leg, args=(listener, site_host, port), daemon=True).start()
            client.sendall(line)
    except OSError:
        pass
    client.close()
    site.close()


def main():
    listen_host, site_host, site_port, port_file = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    server = socket.create_server((listen_host, 0))
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.getsockname()[1]))
    os.rename(tmp, port_file)
    while True:
        client, _ = server.accept()
        threading.Thread(target=control, args=(client, listen_host, site_host, site_port), daemon=True).start()


if __name__ == "__main__":
    main()
