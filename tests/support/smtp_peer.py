#!/usr/bin/env python3
"""An Internet SMTP server for the client tests: aiosmtpd on 127.0.0.1 at a
port of the system's choosing, with AUTH LOGIN offered without TLS.

Usage: smtp_peer.py DIR USER PASSWORD
Prints "PORT n" once it listens (or "SKIP reason"), then serves until its
standard input closes. Message n is kept as DIR/n.eml (the data as received,
dot-stuffing undone) and DIR/n.env (the sender, then one recipient a line).
A recipient whose local part starts with "refuse" gets 550.
"""
import asyncio
import os
import logging
import sys

try:
    from aiosmtpd.smtp import SMTP, AuthResult
except ImportError:
    print("SKIP aiosmtpd is not installed", flush=True)
    sys.exit(0)


class LongLines(SMTP):
    # Long lines are part of what the tests send.
    line_length_limit = 1 << 20


class Handler:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address.startswith("refuse"):
            return "550 5.1.1 No such user here"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, str(self.count))
        with open(base + ".env.tmp", "w") as f:
            f.write("\n".join([envelope.mail_from] + envelope.rcpt_tos) + "\n")
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        os.rename(base + ".env.tmp", base + ".env")
        return "250 OK"


def main():
    # aiosmtpd warns about its own use of a deprecated field at each login.
    logging.getLogger("mail.log").setLevel(logging.ERROR)
    folder, user, password = sys.argv[1], sys.argv[2].encode(), sys.argv[3].encode()

    def authenticator(server, session, envelope, mechanism, data):
        ok = data.login == user and data.password == password
        # A failure not "handled" gets the 535 reply.
        return AuthResult(success=ok, handled=ok)

    loop = asyncio.new_event_loop()
    handler = Handler(folder)
    server = loop.run_until_complete(loop.create_server(
        lambda: LongLines(handler, auth_require_tls=False, authenticator=authenticator,
                          data_size_limit=64 << 20),
        "127.0.0.1", 0))
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    done = loop.create_future()
    loop.add_reader(sys.stdin.fileno(),
                    lambda: os.read(sys.stdin.fileno(), 1024) or done.done() or done.set_result(0))
    loop.run_until_complete(done)
    server.close()


main()
