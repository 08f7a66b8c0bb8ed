#!/usr/bin/python3
"""A private FTP server for the tests: one user with its own root folder, on
127.0.0.1 at a port the system chooses. Prints "READY <port>" when it
listens and ends when its standard input closes, so it never outlives the
test that started it."""

import argparse
import logging
import os
import socket
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--log", required=True)
    # Passive mode as behind a badly set up NAT: EPSV is refused and PASV
    # names a port where nothing listens, so a client must go active.
    parser.add_argument("--broken-passive", action="store_true")
    args = parser.parse_args()

    logging.basicConfig(filename=args.log, level=logging.DEBUG,
                        format="%(asctime)s %(message)s")

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")

    class Handler(FTPHandler):
        pass

    Handler.authorizer = authorizer
    Handler.banner = "Brevglimt FTP-testserver klar."
    # No pause after a refused login: the tests refuse on purpose.
    Handler.auth_failed_timeout = 0

    if args.broken_passive:
        # Bound but never listening: a connection to it is refused.
        dead = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        dead.bind(("127.0.0.1", 0))
        dead_port = dead.getsockname()[1]

        def ftp_EPSV(self, line):
            self.respond("502 EPSV er slått av.")

        def ftp_PASV(self, line):
            self.respond("227 Entering passive mode (127,0,0,1,%d,%d)."
                         % (dead_port >> 8, dead_port & 0xFF))

        Handler.ftp_EPSV = ftp_EPSV
        Handler.ftp_PASV = ftp_PASV

    server = FTPServer(("127.0.0.1", 0), Handler)
    print("READY %d" % server.socket.getsockname()[1], flush=True)

    def watch_stdin():
        sys.stdin.buffer.read()
        os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
