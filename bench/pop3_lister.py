#!/usr/bin/env python3
"""Lists a POP3 mailbox's headers the way other mail listers do, for the
benchmark beside this program's check. Standard library only.

    pop3_lister.py {sequential|burst} HOST PORT USER PASSWORD
    pop3_lister.py known HOST PORT USER PASSWORD COUNT

sequential: one command at a time, each answer awaited (what most mail
notifiers do). burst: after the log-in, every TOP command written at once,
then all answers read. known: the mailbox's size known in advance, so the
log-in and all COUNT TOP commands go in one write after the greeting.
Prints the number of headers read; exits 1 on any error reply.
"""
import socket
import sys


class Session:
    def __init__(self, host, port):
        self.sock = socket.create_connection((host, port), timeout=60)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # Buffered reading in C: splitting a growing buffer in Python would
        # make the client, not the network, the bottleneck.
        self.input = self.sock.makefile("rb", buffering=65536)

    def line(self):
        line = self.input.readline()
        if not line.endswith(b"\r\n"):
            raise EOFError("connection closed")
        return line[:-2]

    def status(self):
        line = self.line()
        if not line.startswith(b"+OK"):
            raise RuntimeError(line.decode("latin-1"))
        return line

    def multiline(self):
        self.status()
        lines = []
        while True:
            line = self.line()
            if line == b".":
                return lines
            lines.append(line[1:] if line.startswith(b"..") else line)

    def send(self, text):
        self.sock.sendall(text.encode() + b"\r\n")

    def command(self, text):
        self.send(text)
        return self.status()


def main():
    mode, host, port, user, password = sys.argv[1:6]
    s = Session(host, int(port))
    s.status()
    if mode == "known":
        count = int(sys.argv[6])
        s.sock.sendall(("USER %s\r\nPASS %s\r\n" % (user, password)).encode()
                       + b"".join(b"TOP %d 0\r\n" % i for i in range(1, count + 1)))
        s.status()
        s.status()
        for _ in range(count):
            s.multiline()
        s.command("QUIT")
        print(count)
        return
    s.command("USER " + user)
    s.command("PASS " + password)
    count = int(s.command("STAT").split()[1])
    headers = 0
    if mode == "sequential":
        for i in range(1, count + 1):
            s.send("TOP %d 0" % i)
            s.multiline()
            headers += 1
    elif mode == "burst":
        s.sock.sendall(b"".join(b"TOP %d 0\r\n" % i for i in range(1, count + 1)))
        for _ in range(count):
            s.multiline()
            headers += 1
    else:
        raise SystemExit("unknown mode " + mode)
    s.command("QUIT")
    print(headers)


if __name__ == "__main__":
    try:
        main()
    except (OSError, RuntimeError, EOFError) as e:
        print("error:", e, file=sys.stderr)
        sys.exit(1)
