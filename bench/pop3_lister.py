#!/usr/bin/env python3
"""Lists a POP3 mailbox's headers the way other mail listers do, for the
benchmark beside this program's check. Standard library only.

    pop3_lister.py {sequential|burst} HOST PORT USER PASSWORD

sequential: one command at a time, each answer awaited (what most mail
notifiers do). burst: after the log-in, every TOP command written at once,
then all answers read. Prints the number of headers read; exits 1 on any
error reply.
"""
import socket
import sys


class Session:
    def __init__(self, host, port):
        self.sock = socket.create_connection((host, port), timeout=60)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""

    def line(self):
        while b"\r\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("connection closed")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

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
