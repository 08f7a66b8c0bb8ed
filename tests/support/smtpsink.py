#!/usr/bin/python3
"""A mail sink for the tests: aiosmtpd on 127.0.0.1 at a port the system
chooses. Each message received is saved in the given folder as N.eml (the
message data as received, dot-stuffing removed) and N.json (the envelope,
and the message as Python's email package reads it). The port is written to
the file "port" once the server listens. Ends on SIGTERM or SIGINT.

With --cert and --key the server offers STARTTLS with that certificate and
requires it; with --user and --password it also requires a login (AUTH PLAIN
or LOGIN, offered only over TLS) with exactly those credentials.
"""

import argparse
import asyncio
import base64
import email
import email.policy
import json
import os
import signal
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def write_atomically(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def describe(raw):
    """The message as a reader sees it: decoded headers, each leaf part with
    its decoded bytes, and every defect the parser found."""
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    defects = [type(d).__name__ for d in msg.defects]
    parts = []
    for part in msg.walk():
        defects += [type(d).__name__ for d in part.defects]
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True) or b""
        text = None
        if part.get_content_maintype() == "text":
            text = part.get_content()
        parts.append({
            "content_type": part.get_content_type(),
            "charset": part.get_content_charset(),
            "transfer_encoding": str(part.get("Content-Transfer-Encoding", "")),
            "disposition": part.get_content_disposition(),
            "filename": part.get_filename(),
            "payload_base64": base64.b64encode(payload).decode("ascii"),
            "text": text,
        })
    headers = []
    for name, value in msg.items():
        try:
            headers.append([name, str(value)])
        except Exception as e:  # a header the parser cannot read is a finding
            headers.append([name, "<unreadable: %s>" % e])
            defects.append("UnreadableHeader")
    return {
        "headers": headers,
        "content_type": msg.get_content_type(),
        "is_multipart": msg.is_multipart(),
        "parts": parts,
        "defects": defects,
    }


class Sink:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        raw = envelope.original_content
        if raw is None:
            raw = envelope.content
        if isinstance(raw, str):
            raw = raw.encode("utf-8", "surrogateescape")
        info = {
            "tls": session.ssl is not None,
            "auth_user": session.auth_data if isinstance(session.auth_data, str) else None,
            "helo": session.host_name,
            "mail_from": envelope.mail_from,
            "mail_options": envelope.mail_options,
            "rcpt_tos": envelope.rcpt_tos,
        }
        try:
            info.update(describe(raw))
        except Exception as e:
            info["defects"] = ["ParserFailed: %s" % e]
        base = os.path.join(self.folder, str(self.count))
        write_atomically(base + ".eml", raw)
        write_atomically(base + ".json", json.dumps(info, ensure_ascii=False, indent=1).encode("utf-8"))
        return "250 2.0.0 Message accepted"


class Authenticator:
    """Accepts exactly the one account; the user name becomes the session's
    auth_data so that each message records who sent it."""

    def __init__(self, user, password):
        self.user = user.encode("utf-8")
        self.password = password.encode("utf-8")

    def __call__(self, server, session, envelope, mechanism, auth_data):
        if not isinstance(auth_data, LoginPassword):
            return AuthResult(success=False, handled=False)
        if auth_data.login == self.user and auth_data.password == self.password:
            return AuthResult(success=True, auth_data=auth_data.login.decode("utf-8"))
        return AuthResult(success=False, handled=False)


async def serve(args):
    folder = args.folder
    loop = asyncio.get_running_loop()
    handler = Sink(folder)
    options = {}
    if args.cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
        options.update(tls_context=context, require_starttls=True)
    if args.user is not None:
        options.update(authenticator=Authenticator(args.user, args.password or ""), auth_required=True)
    server = await loop.create_server(
        lambda: SMTP(handler, hostname="sink.test", enable_SMTPUTF8=True, decode_data=False, **options),
        host="127.0.0.1", port=0)
    port = server.sockets[0].getsockname()[1]
    write_atomically(os.path.join(folder, "port"), str(port).encode("ascii"))
    print("listening on 127.0.0.1:%d" % port, flush=True)

    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    server.close()
    await server.wait_closed()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--user")
    parser.add_argument("--password")
    args = parser.parse_args()
    asyncio.run(serve(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
