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
from pyftpdlib.handlers import FTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--log", required=True)
    # Every command's verb, one a line, written as it arrives.
    parser.add_argument("--commands", required=True)
    # Explicit FTPS: AUTH TLS is required before the login, PROT P before
    # any data connection.
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    # Data connections must resume the control connection's TLS session.
    parser.add_argument("--tls-session-reuse", action="store_true")
    # TLS 1.2 at most.
    parser.add_argument("--tls12", action="store_true")
    # Passive mode as behind a badly set up NAT: EPSV is refused and PASV
    # names a port where nothing listens, so a client must go active.
    parser.add_argument("--broken-passive", action="store_true")
    args = parser.parse_args()

    logging.basicConfig(filename=args.log, level=logging.DEBUG,
                        format="%(asctime)s %(message)s")

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")

    commands = open(args.commands, "a", buffering=1)

    class Handler(TLS_FTPHandler if args.tls_cert else FTPHandler):
        def pre_process_command(self, line, cmd, arg):
            commands.write(cmd + "\n")
            super().pre_process_command(line, cmd, arg)

    if args.tls_session_reuse:
        from OpenSSL._util import lib as ssl_lib

        # As many FTPS servers: a data connection must resume the control
        # connection's TLS session, so it is known to come from the client
        # that logged in.
        class DataHandler(Handler.dtp_handler):
            def handle_ssl_established(self):
                if not ssl_lib.SSL_session_reused(self.socket._ssl):
                    self.cmd_channel.log("data connection without session reuse")
                    self.cmd_channel.respond("522 Dataforbindelsen må gjenbruke TLS-økten.")
                    self.close()

        Handler.dtp_handler = DataHandler
    if args.tls12:
        from OpenSSL import SSL
        Handler.ssl_options |= SSL.OP_NO_TLSv1_3
    if args.tls_cert:
        Handler.certfile = args.tls_cert
        Handler.keyfile = args.tls_key
        Handler.tls_control_required = True
        Handler.tls_data_required = True

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
