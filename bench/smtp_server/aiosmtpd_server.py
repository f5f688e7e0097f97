# The comparison server: aiosmtpd on a loopback port with a handler that
# accepts every message at once. Prints "ready <port>" when listening.
import asyncio
import socket
import sys

from aiosmtpd.smtp import SMTP


class Handler:
    async def handle_DATA(self, server, session, envelope):
        return "250 OK"


async def main():
    loop = asyncio.get_running_loop()
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    sock.listen(1024)
    handler = Handler()
    server = await loop.create_server(lambda: SMTP(handler, hostname="bench"), sock=sock)
    print("ready", sock.getsockname()[1], flush=True)
    await loop.run_in_executor(None, sys.stdin.read)
    server.close()


asyncio.run(main())
