"""A real FTP server (pyftpdlib) serving one directory as a site.

Usage: pyftpd_site.py ROOT_DIR PORT_FILE [PORT]
Writes the port it listens on to PORT_FILE once it accepts connections.
"""

import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root, port_file = sys.argv[1], sys.argv[2]
    port = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    logging.basicConfig(level=logging.WARNING)
    auth = DummyAuthorizer()
    auth.add_user("user", "secret", root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = auth
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
