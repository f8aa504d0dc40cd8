"""A real FTP server (pyftpdlib) serving one directory on a chosen loopback address.

Usage: site_server.py HOST ROOT_DIR PORT_FILE
Writes the port it listens on to PORT_FILE once it accepts connections.
"""

import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    host, root, port_file = sys.argv[1:4]
    logging.basicConfig(level=logging.WARNING)
    auth = DummyAuthorizer()
    auth.add_user("user", "secret", root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = auth
    # The daemon's data side speaks from 127.0.0.1 for a site on another address.
    handler.permit_foreign_addresses = True
    server = FTPServer((host, 0), handler)
    server.max_cons = 512
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.socket.getsockname()[1]))
    os.rename(tmp, port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
