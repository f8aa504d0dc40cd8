"""A real FTP server (pyftpdlib) serving one directory, with explicit TLS
required on control and data when given a certificate.

Usage: pyftpd_far_site.py ROOT PORT_FILE [--tls CERT KEY] [--user U --password P]
                          [--passive FIRST COUNT [--announce-offset OFF]]
Writes its port to PORT_FILE once it accepts connections. With --passive its
data ports are FIRST..FIRST+COUNT-1, and a 227 reply names the port OFF above
the one it listens on: where a proxy in front of it takes data connections.
"""

import argparse
import logging
import os
import re

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer

PASV = re.compile(r"^(227 .*\(\d+,\d+,\d+,\d+,)(\d+),(\d+)(\).*)$", re.S)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("root")
    ap.add_argument("port_file")
    ap.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    ap.add_argument("--user", default="user")
    ap.add_argument("--password", default="secret")
    ap.add_argument("--passive", nargs=2, type=int)
    ap.add_argument("--announce-offset", type=int, default=0)
    args = ap.parse_args()
    logging.basicConfig(level=logging.WARNING)
    auth = DummyAuthorizer()
    auth.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    offset = args.announce_offset

    class Handler(TLS_FTPHandler if args.tls else FTPHandler):
        def respond(self, resp, logfun=logging.debug):
            m = PASV.match(resp) if offset else None
            if m:
                port = int(m.group(2)) * 256 + int(m.group(3)) + offset
                resp = "%s%d,%d%s" % (m.group(1), port // 256, port % 256, m.group(4))
            return super().respond(resp, logfun)

    Handler.authorizer = auth
    if args.tls:
        Handler.certfile, Handler.keyfile = args.tls
        Handler.tls_control_required = True
        Handler.tls_data_required = True
    Handler.permit_foreign_addresses = True
    if args.passive:
        Handler.passive_ports = list(range(args.passive[0], args.passive[0] + args.passive[1]))
    server = FTPServer(("127.0.0.1", 0), Handler)
    server.max_cons = 4096
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.socket.getsockname()[1]))
    os.rename(tmp, args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
