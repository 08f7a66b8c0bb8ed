#!/usr/bin/env python3
"""Lists an IMAP INBOX's unseen headers the way a script with Python's
imaplib would, for the benchmark beside this program's check. Standard
library only.

    imap_lister.py HOST PORT USER PASSWORD

Logs in, EXAMINEs INBOX, asks UID SEARCH UNSEEN UNDELETED, fetches the
From, Subject, Date and Message-ID fields of all of them in one UID FETCH,
logs out. Prints the number of headers read; exits 1 on any error.
"""
import imaplib
import sys


def main():
    host, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    imap = imaplib.IMAP4(host, port)
    imap.login(user, password)
    imap.select("INBOX", readonly=True)
    status, data = imap.uid("SEARCH", None, "UNSEEN", "UNDELETED")
    if status != "OK":
        return 1
    uids = data[0].split()
    count = 0
    if uids:
        status, data = imap.uid("FETCH", b",".join(uids),
                                "(BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE MESSAGE-ID)])")
        if status != "OK":
            return 1
        count = sum(1 for part in data if isinstance(part, tuple))
    imap.logout()
    print(count)
    return 0 if count == len(uids) else 1


if __name__ == "__main__":
    sys.exit(main())
