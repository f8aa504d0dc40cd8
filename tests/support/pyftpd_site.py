"""A real FTP server (pyftpdlib) serving one directory as a site.

Usage: pyftpd_site.py ROOT_DIR PORT_FILE [PORT [USER PASSWORD [total]]]
Writes the port it listens on to PORT_FILE once it accepts connections.
With "total", long listings lead with a "total" line as ls -l prints it.
"""

import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


class LeadingTotalFS(AbstractedFS):
    def format_list(self, basedir, listing, ignore_err=True):
        yield ("total %d\r\n" % len(listing)).encode()
        yield from super().format_list(basedir, listing, ignore_err)


def main():
    root, port_file = sys.argv[1], sys.argv[2]
    port = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    logging.basicConfig(level=logging.WARNING)
    auth = DummyAuthorizer()
    user, password = sys.argv[4:6] if len(sys.argv) > 5 else ("user", "secret")
    auth.add_user(user, password, root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = auth
    if sys.argv[6:7] == ["total"]:
        handler.abstracted_fs = LeadingTotalFS
    handler.permit_foreign_addresses = True
    server = FTPServer(("127.0.0.1", port), handler)
    server.max_cons = 4096
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.socket.getsockname()[1]))
    os.rename(tmp, port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
